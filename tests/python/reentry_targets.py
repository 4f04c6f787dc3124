"""Re-entrancy fuzzing of korvel.algorithm, one module per process.

    python reentry_targets.py <module> [scale]

Any call into Python code that a block makes (a number's __float__ or
__index__, a value's __bool__ or __eq__, a tag's __hash__, the __del__ of a
value the block releases) may run code that re-initialises the block, restores
another state into it, replaces or empties its fields or calls its operations.
Hypothesis drives every block of the module (the targets of fuzz_targets.py)
with such values in its arguments, its fields and the tag mappings it takes.
A call must finish or raise an ordinary Python exception (RuntimeError
included: a block may refuse to be entered in the middle of its own step);
the interpreter must not crash, no SystemError may appear, and objects created
by the callbacks must keep their contents (a block writing through a stale
pointer would change them). test_robustness.py runs this under
PYTHONMALLOC=debug, whose checks catch freed memory being used.
"""

from __future__ import annotations

import contextlib
import copy
import gc
import io
import os
import pickle
import sys
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
from fuzz_targets import ORDINARY, SETTINGS, Target, call, run, targets_for
from hypothesis import given, settings
from hypothesis import strategies as st

FAULTS: list[str] = []
WITNESSES: list[tuple[Any, Any]] = []


def witness():
    """Objects made inside a callback, where a freed one's memory is reused."""
    for _ in range(3):
        d, lst = {"w": 1.5, "x": 2}, [1.5, "w"]
        WITNESSES.append((d, copy.deepcopy(d)))
        WITNESSES.append((lst, list(lst)))


def check_witnesses(label):
    for obj, expected in WITNESSES:
        if obj != expected:
            raise AssertionError(f"{label}: an object made in a callback changed: {obj!r}")
    WITNESSES.clear()


class Fire:
    """Runs one action against the block, once, from inside a callback."""

    def __init__(self, block, action):
        self.block, self.action, self.done = block, action, False

    def __call__(self):
        if self.done:
            return
        self.done = True
        with contextlib.suppress(Exception):
            self.action(self.block)
        witness()


class Trigger:
    """A number, truth value, sequence and key that fires on every use."""

    def __init__(self, fire, value=1.0):
        self.fire, self.value = fire, value

    def __float__(self):
        self.fire()
        return float(self.value)

    def __index__(self):
        self.fire()
        return int(self.value)

    __int__ = __index__

    def __bool__(self):
        self.fire()
        return bool(self.value)

    def __eq__(self, other):
        self.fire()
        return self.value == other

    def __ne__(self, other):
        self.fire()
        return self.value != other

    def __lt__(self, other):
        self.fire()
        return self.value < other

    def __gt__(self, other):
        self.fire()
        return self.value > other

    __le__, __ge__ = __lt__, __gt__

    def __hash__(self):
        self.fire()
        return hash(self.value)

    def __len__(self):
        self.fire()
        return 1

    def __iter__(self):
        self.fire()
        return iter([float(self.value)])

    def __getitem__(self, i):
        self.fire()
        return float(self.value)


def _with_del(base):
    class Dying(base):
        """A plain value that fires when the block lets it go."""

        def __del__(self):
            fire = self.__dict__.get("fire")
            if fire is not None:
                fire()

    Dying.__name__ = f"Dying{base.__name__}"
    return Dying


DyingFloat, DyingInt, DyingStr, DyingList, DyingDict = map(_with_del, (float, int, str, list, dict))


class HashTag(str):
    """A tag equal to a plain one whose hashing and comparing fire."""

    def fire(self):
        pass

    def __hash__(self):
        self.fire()
        return str.__hash__(self)

    def __eq__(self, other):
        self.fire()
        return str.__eq__(self, other)

    __ne__ = lambda self, other: not self.__eq__(other)  # noqa: E731


class DyingArray(np.ndarray):
    def __del__(self):
        fire = getattr(self, "fire", None)
        if fire is not None:
            fire()


def dying(value, fire):
    if isinstance(value, np.ndarray):
        v = np.array(value).view(DyingArray)
        v.fire = fire
        return v
    for base, kind in ((bool, DyingInt), (float, DyingFloat), (int, DyingInt), (str, DyingStr)):
        if isinstance(value, base):
            v = kind(value)
            v.fire = fire
            return v
    if isinstance(value, list):
        v = DyingList(value)
        v.fire = fire
        return v
    if isinstance(value, dict):
        v = DyingDict(value)
        v.fire = fire
        return v
    return value


def hostile(value, how, fire):
    """`value` made to fire: a trigger in its place, a dying copy, or a firing tag."""
    if how == "trigger" and isinstance(value, (int, float)) and not isinstance(value, bool):
        return Trigger(fire, value)
    if how == "tag" and isinstance(value, str):
        t = HashTag(value)
        t.fire = fire
        return t
    return dying(value, fire)


def leaves(value, path=()):
    """Paths to every number, text, key and container inside a valid argument."""
    yield path
    if isinstance(value, (list, tuple)):
        for i, v in enumerate(value):
            yield from leaves(v, (*path, ("i", i)))
    elif isinstance(value, dict):
        for k, v in list(value.items()):
            yield (*path, ("k", k))
            yield from leaves(v, (*path, ("v", k)))


def replaced(value, path, how, fire):
    if not path:
        return hostile(value, how, fire)
    (kind, at), rest = path[0], path[1:]
    if isinstance(value, tuple):
        items = list(value)
        items[at] = replaced(items[at], rest, how, fire)
        return tuple(items)
    if isinstance(value, list):
        items = list(value)
        items[at] = replaced(items[at], rest, how, fire)
        return items
    out = {}
    for k, v in value.items():
        if k == at and kind == "k" and not rest:
            out[hostile(k, "tag" if how == "trigger" else how, fire)] = v
        elif k == at and kind == "v":
            out[k] = replaced(v, rest, how, fire)
        else:
            out[k] = v
    return out


# --- what a callback does to the block -----------------------------------


def donor(target: Target):
    """A block of the same kind that has run, so its state and fields differ."""
    d = target.make()
    for name, args in target.valid * 2:
        with contextlib.suppress(Exception), contextlib.redirect_stdout(io.StringIO()):
            call(d, name, copy.deepcopy(args() if callable(args) else args))
    return d


def actions_for(target: Target) -> list[tuple[str, Callable[[Any], Any]]]:
    acts: list[tuple[str, Callable[[Any], Any]]] = []
    if target.init_args is not None:
        acts.append(("init", lambda o: o.__init__(*copy.deepcopy(target.init_args))))
    states = []
    for d in (target.make(), donor(target)):
        with contextlib.suppress(Exception):
            states.append(d.__getstate__())
    for i, s in enumerate(states):
        acts.append((f"setstate {i}", lambda o, s=s: o.__setstate__(copy.deepcopy(s))))
    for i, (name, args) in enumerate(target.valid):
        acts.append((f"op {i} {name}", lambda o, n=name, a=args: call(o, n, copy.deepcopy(a))))
    d = donor(target)
    for name, _ in target.fields:
        with contextlib.suppress(Exception):
            v = getattr(d, name)
            acts.append((f"set {name} from donor", lambda o, n=name, v=v: setattr(o, n, v)))
        for alt in (None, [], {}, np.zeros(0), np.zeros(4096), np.zeros(3, dtype=bool)):
            acts.append((f"set {name}={alt!r:.20}", lambda o, n=name, v=alt: setattr(o, n, v)))
        acts.append((f"empty {name}", lambda o, n=name: getattr(o, n).clear()))
    acts += [(f"reenter {i}", a) for i, a in enumerate(target.reenter)]
    return acts


# --- the fuzzing ---------------------------------------------------------


def valid_args(target, i):
    name, args = target.valid[i]
    return name, copy.deepcopy(args() if callable(args) else args)


def ops_strategy(target: Target, n_actions: int):
    op = st.one_of(
        st.tuples(
            st.just("op"),
            st.integers(0, len(target.valid) - 1),
            st.integers(0, 10**6),  # which leaf
            st.sampled_from(["trigger", "dying", "tag"]),
            st.integers(0, n_actions - 1),
        ),
        st.tuples(
            st.just("field"),
            st.integers(0, max(len(target.fields) - 1, 0)),
            st.just(0),
            st.sampled_from(["trigger", "dying"]),
            st.integers(0, n_actions - 1),
        ),
        st.tuples(
            st.just("act"), st.just(0), st.just(0), st.just(""), st.integers(0, n_actions - 1)
        ),
    )
    return st.lists(op, min_size=1, max_size=6)


TRACE = bool(os.environ.get("FUZZ_TRACE"))


def attempt(fn, label, target):
    if TRACE:
        print("CALL", label, file=sys.stderr, flush=True)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            fn()
    except SystemError as e:
        raise AssertionError(f"SystemError from {label}: {e!r}") from e
    except ORDINARY + target.allowed + (RuntimeError, OSError):
        pass


def perform(block, target, actions, op):
    kind, index, leaf, how, action = op
    name_a, act = actions[action]
    fire = Fire(block, act)
    label = f"{target.name} {op!r} ({name_a})"
    if kind == "act":
        attempt(lambda: act(block), label, target)
    elif kind == "field" and target.fields:
        field_name = target.fields[index][0]
        try:
            current = getattr(block, field_name)
        except Exception:  # noqa: BLE001 - then a plain number stands in
            current = 1.0
        value = hostile(current if how == "dying" else 1.0, how, fire)
        attempt(lambda: setattr(block, field_name, value), label, target)
        del value
    elif kind == "op":
        name, args = valid_args(target, index)
        paths = list(leaves(args))
        value = replaced(args, paths[leaf % len(paths)], how, fire)
        attempt(lambda: call(block, name, value), label, target)
        del value
    gc.collect()
    check_witnesses(label)


def fuzz_target(target: Target, examples: int):
    actions = actions_for(target)

    @settings(**SETTINGS, max_examples=examples)
    @given(ops=ops_strategy(target, len(actions)))
    def check(ops):
        block = target.make()
        for op in ops:
            perform(block, target, actions, op)
        # The block is still a block: its operations finish or refuse (and
        # release what it held, which fires the values that die with it).
        for _ in range(3):
            for i in range(len(target.valid)):
                name, args = valid_args(target, i)
                attempt(lambda n=name, a=args: call(block, n, a), f"{target.name} after", target)
        for how in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            attempt(lambda h=how: h(block), f"copy of {target.name}", target)
        block = None  # the block goes, with what it held
        gc.collect()
        check_witnesses(f"{target.name} released")
        if FAULTS:
            raise AssertionError("; ".join(FAULTS))

    run(check)


def unraisable(info):
    if isinstance(info.exc_value, SystemError):
        FAULTS.append(f"SystemError in {info.object!r}: {info.exc_value!r}")


def main(argv):
    warnings.simplefilter("ignore")
    sys.unraisablehook = unraisable
    sys.setrecursionlimit(400)
    module = argv[1]
    scale = float(argv[2]) if len(argv) > 2 else 1.0
    os.environ.setdefault("MPLBACKEND", "Agg")
    for target in targets_for(module):
        if target.valid:
            fuzz_target(target, max(10, int(40 * scale)))
    print(f"{module}: ok")


if __name__ == "__main__":
    main(sys.argv)
