"""Hostile-input fuzzing of korvel.algorithm, one module per process.

    python fuzz_targets.py <module> [scale]

Every public callable and field of the module gets arguments of wrong kinds and
extreme values from Hypothesis. A call may return or raise an ordinary
exception; a failed call must leave the block as it was, and the block must
stay usable. Each example drives two objects built alike: A sees every call,
B only the calls that succeeded (and the failures documented to change state),
so their results and states must stay equal. The process exits non-zero on the
first fault; a crash ends it with a signal, which test_robustness.py watches
for. FUZZ_TRACE=1 prints every call to stderr before it is made.
"""

from __future__ import annotations

import collections
import contextlib
import copy
import decimal
import fractions
import gc
import io
import os
import pickle
import sys
import tempfile
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

TRACE = bool(os.environ.get("FUZZ_TRACE"))


# --- hostile values -----------------------------------------------------


class Boom(Exception):
    """Raised by the dunder methods of the hostile objects below."""


class BadFloat:
    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class FloatGivesStr:
    def __float__(self):
        return "1.0"


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__
    __hash__ = object.__hash__


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class BadLen:
    def __len__(self):
        raise Boom("__len__")

    def __iter__(self):
        raise Boom("__iter__")

    def __getitem__(self, i):
        raise Boom("__getitem__")


class LyingLen(list):
    """A list that claims a length it does not have."""

    def __len__(self):
        return 1000


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    """A dict whose items() yields no pairs."""

    def items(self):
        return [1, (2,), (3, 4, 5)]


class ListSub(list):
    pass


class Reenter:
    """Runs `action(ctx)` from inside the callee, then behaves as 1.0."""

    def __init__(self, ctx, action):
        self.ctx, self.action, self.fired = ctx, action, False

    def fire(self):
        if self.fired:  # once: re-entering from the action again would recurse
            return
        self.fired = True
        FIRED[0] += 1
        with contextlib.suppress(Exception):
            self.action(self.ctx)

    def __float__(self):
        self.fire()
        return 1.0

    def __index__(self):
        self.fire()
        return 1

    def __bool__(self):
        self.fire()
        return True

    def __eq__(self, other):
        self.fire()
        return False

    __hash__ = object.__hash__

    def __len__(self):
        self.fire()
        return 1

    def __iter__(self):
        self.fire()
        return iter([1.0])


FIRED = [0]


def _hostile_builders() -> list[Callable[[], Any]]:
    nan = float("nan")
    return [
        lambda: None,
        lambda: True,
        lambda: False,
        lambda: 0,
        lambda: -1,
        lambda: 10**400,
        lambda: -(10**400),
        lambda: 2**63,
        lambda: -(2**63) - 1,
        lambda: -(2**63),
        lambda: 2**64,
        lambda: nan,
        lambda: float("inf"),
        lambda: float("-inf"),
        lambda: -0.0,
        lambda: 1e308,
        lambda: 5e-324,
        lambda: "1.5",
        lambda: "",
        lambda: "a.b",
        lambda: b"1",
        lambda: bytearray(b"12"),
        lambda: [],
        lambda: [1.0, nan],
        lambda: [[1.0], [2.0]],
        lambda: (1, 2),
        lambda: (),
        lambda: {},
        lambda: {"a": 1},
        lambda: {1: {2: None}},
        lambda: set(),
        lambda: 1 + 2j,
        lambda: fractions.Fraction(1, 3),
        lambda: decimal.Decimal("nan"),
        lambda: object(),
        lambda: np.float32(1.5),
        lambda: np.float64(nan),
        lambda: np.int64(-5),
        lambda: np.int64(2**63 - 1),
        lambda: np.uint64(2**64 - 1),
        lambda: np.bool_(True),
        lambda: np.array(1.5),
        lambda: np.array([[1.0, 2.0], [3.0, 4.0]]),
        lambda: np.array([1, None], dtype=object),
        lambda: np.array([]),
        lambda: np.array([1.0, 2.0, 3.0]),
        lambda: np.array([1, 2], dtype=np.int8),
        lambda: np.array(["a", "b"]),
        lambda: np.zeros(4)[::2],
        lambda: _readonly(np.ones(3)),
        lambda: BadFloat(),
        lambda: BadIndex(),
        lambda: FloatGivesStr(),
        lambda: BadEq(),
        lambda: BadBool(),
        lambda: BadLen(),
        lambda: LyingLen([1.0]),
        lambda: FloatSub(2.5),
        lambda: IntSub(3),
        lambda: StrSub("x"),
        lambda: DictSub(a=1),
        lambda: ListSub([1.0, 2.0]),
        lambda: collections.deque([1.0, 2.0]),
        lambda: range(3),
        lambda: iter([1.0, 2.0]),
        lambda: slice(1),
        lambda: Ellipsis,
        lambda: float,
        lambda: len,
    ]


def _readonly(a):
    a.flags.writeable = False
    return a


HOSTILE = _hostile_builders()
# Positive ints a loop or an allocation would take at their word; parameters
# that count iterations (kind "size") never get them.
HUGE_IN_RANGE = {2**63 - 1}

KINDS = ("float", "int", "size", "alloc", "seq", "str", "dict", "any")


def valid_value(kind: str):
    """Strategy of plausible values of one parameter kind."""
    finite = st.floats(-1e3, 1e3, allow_nan=False)
    if kind == "float":
        return st.one_of(finite, st.sampled_from([0.0, 1.0, -1.0, 0.5]), st.integers(-5, 5))
    if kind in ("int", "size", "alloc"):
        return st.integers(-3, 12)
    if kind == "seq":
        return st.lists(finite, min_size=0, max_size=4)
    if kind == "str":
        return st.text(max_size=6)
    if kind == "dict":
        return st.sampled_from([{}, {"a": 1.0}, {"CV": {"MV": {}}}])
    return st.one_of(finite, st.none(), st.text(max_size=3))


@dataclass
class Value:
    """A recipe for one argument, built afresh for each object it is given to."""

    how: str  # "hostile", "valid", "reenter"
    data: Any

    def build(self, ctx, target):
        if self.how == "hostile":
            return HOSTILE[self.data]()
        if self.how == "reenter":
            actions = target.reenter or [lambda o: None]
            return Reenter(ctx, actions[self.data % len(actions)])
        return copy.deepcopy(self.data)

    def __repr__(self):
        if self.how == "hostile":
            try:
                return f"H[{HOSTILE[self.data]()!r}]"
            except Exception:
                return f"H[{self.data}]"
        return f"{self.how}:{self.data!r}"


def arg_value(kind: str):
    hostile = st.integers(0, len(HOSTILE) - 1)
    if kind == "size":
        hostile = hostile.filter(lambda i: _plain_int(i) not in HUGE_IN_RANGE)
    return st.one_of(
        hostile.map(lambda i: Value("hostile", i)),
        valid_value(kind).map(lambda v: Value("valid", v)),
        st.integers(0, 7).map(lambda i: Value("reenter", i)),
    )


def _plain_int(i):
    v = HOSTILE[i]()
    return v if type(v) is int else None


# --- targets ------------------------------------------------------------


@dataclass
class Method:
    name: str  # "__call__" for the call operation
    params: list[tuple[str, str]]  # (name, kind)
    # Exception types that this method may raise after changing state, as
    # the block's own rules say; such failures are replayed on B.
    mutates_on: tuple = ()


@dataclass
class Target:
    name: str
    make: Callable[[], Any]
    methods: list[Method]
    valid: list[tuple[str, Any]]  # (method, args) calls that must work
    fields: list[tuple[str, str]] = field(default_factory=list)  # (name, kind)
    reenter: list[Callable[[Any], Any]] = field(default_factory=list)
    # Extra exception types an ordinary failure of this block may have.
    allowed: tuple = ()
    init_args: tuple = ()
    # Methods whose success depends on entropy or the wall clock.
    unrepeatable: tuple = ()
    # Fields the block reads through structures it derives from them at
    # reset() and when restored: after assigning one, a copy (rebuilt from the
    # fields) may step differently from the original (not yet rebuilt).
    cached_fields: tuple = ()


ORDINARY = (
    TypeError,
    ValueError,
    OverflowError,
    ArithmeticError,  # ZeroDivisionError, OverflowError, decimal signals
    IndexError,
    KeyError,
    AttributeError,
    AssertionError,
    MemoryError,
    RecursionError,
    Boom,
)


def call(obj, name, args=(), kwargs=None):
    kwargs = kwargs or {}
    f = obj if name == "__call__" else getattr(obj, name)
    return f(*args, **kwargs)


@dataclass
class Outcome:
    value: Any = None
    exc: BaseException | None = None


def attempt(fn, label) -> Outcome:
    if TRACE:
        print("CALL", label, file=sys.stderr, flush=True)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return Outcome(value=fn())
    except SystemError as e:
        raise AssertionError(f"SystemError from {label}: {e!r}") from e
    except Exception as e:  # noqa: BLE001 - every ordinary exception is an outcome
        return Outcome(exc=e)


def check_ordinary(out: Outcome, target: Target, label: str):
    if out.exc is not None and not isinstance(out.exc, ORDINARY + target.allowed):
        raise AssertionError(f"{label} raised {type(out.exc).__name__}: {out.exc}")


def snap(o, depth=0):
    """A comparable picture of a value: exact floats, arrays, nested blocks."""
    if depth > 8:
        return ("...",)
    if isinstance(o, float):
        return ("f", repr(o))
    if isinstance(o, (bool, int, str, bytes, type(None))):
        return (type(o).__name__, o)
    if isinstance(o, np.ndarray):
        items = o.ravel().tolist() if o.dtype != object else list(o.ravel())
        return ("nd", o.dtype.str, o.shape, tuple(snap(x, depth + 1) for x in items))
    if isinstance(o, np.generic):
        return ("np", type(o).__name__, repr(o.item()))
    if type(o) in (list, tuple, collections.deque):
        return (type(o).__name__, tuple(snap(x, depth + 1) for x in o))
    if type(o) is dict:
        return ("dict", tuple((snap(k, depth + 1), snap(v, depth + 1)) for k, v in o.items()))
    if type(o).__module__.startswith("korvel.algorithm") and hasattr(o, "__getstate__"):
        try:
            state = o.__getstate__()
        except Exception as e:  # noqa: BLE001
            return (type(o).__name__, "no state", type(e).__name__)
        return (type(o).__name__, snap(state, depth + 1))
    return (type(o).__name__,)


def same(a: Outcome, b: Outcome, label: str):
    if (a.exc is None) != (b.exc is None):
        raise AssertionError(f"{label}: A gave {a.value!r}/{a.exc!r}, B gave {b.value!r}/{b.exc!r}")
    if a.exc is not None:
        if type(a.exc) is not type(b.exc):
            raise AssertionError(f"{label}: A raised {a.exc!r}, B raised {b.exc!r}")
        return
    sa, sb = snap(a.value), snap(b.value)
    if sa != sb:
        raise AssertionError(f"{label}: A gave {a.value!r}, B gave {b.value!r}")


# --- operations drawn by Hypothesis --------------------------------------

WRONG_KEYWORDS = ["x", "self", "", "Ut ", "ut", "kwargs", "dU_"]


@dataclass
class Op:
    kind: str  # "valid", "call", "set"
    name: str
    args: list = field(default_factory=list)
    kwargs: dict = field(default_factory=dict)

    def __repr__(self):
        return f"{self.kind} {self.name}{tuple(self.args)!r} {self.kwargs!r}"


def call_op(m: Method):
    n = len(m.params)
    kinds = [k for _, k in m.params]
    names = [p for p, _ in m.params]

    @st.composite
    def build(draw):
        count = draw(st.integers(0, n + 2))
        args = [draw(arg_value(kinds[i] if i < n else "any")) for i in range(count)]
        kw_names = draw(
            st.lists(st.sampled_from(names + WRONG_KEYWORDS), max_size=2, unique=True)
            if names
            else st.lists(st.sampled_from(WRONG_KEYWORDS), max_size=1)
        )
        kwargs = {
            k: draw(arg_value(kinds[names.index(k)] if k in names else "any")) for k in kw_names
        }
        return Op("call", m.name, args, kwargs)

    return build()


def ops_strategy(target: Target):
    choices = [st.sampled_from(range(len(target.valid))).map(lambda i: Op("valid", str(i)))]
    choices += [call_op(m) for m in target.methods]
    if target.fields:
        choices.append(
            st.builds(
                lambda f, v: Op("set", f[0], [v]),
                st.sampled_from(target.fields),
                st.sampled_from(KINDS).flatmap(arg_value),
            )
        )
    return st.lists(st.one_of(choices), max_size=6)


def method_of(target: Target, name: str) -> Method:
    return next(m for m in target.methods if m.name == name)


def perform(obj, op: Op, target: Target) -> Outcome:
    if op.kind == "valid":
        name, args = target.valid[int(op.name)]
        args = args() if callable(args) else copy.deepcopy(args)
        return attempt(lambda: call(obj, name, args), f"{target.name}.{name}{args!r}")
    args = [v.build(obj, target) for v in op.args]
    if op.kind == "set":
        return attempt(lambda: setattr(obj, op.name, args[0]), f"{target.name}.{op!r}")
    kwargs = {k: v.build(obj, target) for k, v in op.kwargs.items()}
    return attempt(lambda: call(obj, op.name, args, kwargs), f"{target.name}.{op!r}")


def run_valid_tail(objs, target: Target, label: str):
    outs = [
        [perform(o, Op("valid", str(i)), target) for i in range(len(target.valid))] for o in objs
    ]
    for other in outs[1:]:
        for i, (a, b) in enumerate(zip(outs[0], other, strict=True)):
            same(a, b, f"{label}: {target.valid[i][0]}")


def differential(target: Target, ops: list[Op]):
    """A gets every operation, B the successful ones; they must agree."""
    a, b = target.make(), target.make()
    tainted = False  # A holds something a copy may refuse
    stale = False  # A's derived structures lag behind an assigned field
    for op in ops:
        FIRED[0] = 0
        out = perform(a, op, target)
        fired = FIRED[0] > 0
        check_ordinary(out, target, repr(op))
        if op.kind == "valid":
            same(out, perform(b, op, target), repr(op))
            continue
        m = method_of(target, op.name) if op.kind == "call" else None
        replay = out.exc is None or fired or (m is not None and isinstance(out.exc, m.mutates_on))
        if out.exc is None and op.kind != "valid":
            tainted = True
            stale |= op.kind == "set" and op.name in target.cached_fields
        if replay and op.name in target.unrepeatable:
            b = copy.deepcopy(a)  # drew from entropy or the clock: B takes A's draw
        elif replay:
            same(out, perform(b, op, target), f"replay of {op!r}")
        if m is None and out.exc is None:
            continue
    sa, sb = snap(a), snap(b)
    if sa != sb:
        raise AssertionError(f"{target.name}: states differ after {ops!r}:\n{sa}\n{sb}")

    # Copies continue exactly as the original; an untainted block must copy.
    copies = []
    for how in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
        out = attempt(lambda h=how: h(a), f"copy of {target.name}")
        if out.exc is None:
            copies.append(out.value)
        elif not tainted:
            raise AssertionError(f"copy of {target.name} failed: {out.exc!r} after {ops!r}")
    if stale:
        run_valid_tail(copies, target, f"copies of {target.name} after {ops!r}")
        copies = []
    run_valid_tail([a, b, *copies], target, f"{target.name} after {ops!r}")

    # A second __init__ starts the block over.
    if target.init_args is not None:
        out = attempt(lambda: a.__init__(*target.init_args), f"{target.name}.__init__ again")
        if out.exc is not None:
            raise AssertionError(f"re-init of {target.name} failed: {out.exc!r}")
        fresh = target.make()
        if snap(a) != snap(fresh):
            raise AssertionError(f"re-initialised {target.name} differs from a fresh one")


def unconstructed(target: Target):
    """Every method and field of an instance made by __new__ alone refuses."""
    # Freed blocks leave their values behind: a new instance must not read them.
    used = target.make()
    run_valid_tail([used], target, "warm-up")
    cls = type(used)
    del used
    gc.collect()
    obj = cls.__new__(cls)
    for m in target.methods:
        if m.name == "__init__":
            continue
        for args in ((), (1.0,), (1.0, 1.0), (1.0, 1.0, 1.0, 1.0)):
            out = attempt(
                lambda a=args, n=m.name: call(obj, n, a), f"unconstructed {target.name}.{m.name}"
            )
            if out.exc is None:
                raise AssertionError(
                    f"unconstructed {target.name}.{m.name}{args} returned {out.value!r}"
                )
            check_ordinary(out, target, f"unconstructed {m.name}")
    for i, (name, _) in enumerate(target.valid):
        out = perform(obj, Op("valid", str(i)), target)
        if out.exc is None:
            raise AssertionError(f"unconstructed {target.name}.{name} returned {out.value!r}")
    for name, _ in target.fields:
        out = attempt(lambda n=name: getattr(obj, n), f"unconstructed {target.name}.{name}")
        if out.exc is None:
            raise AssertionError(f"unconstructed {target.name}.{name} read {out.value!r}")
        out = attempt(lambda n=name: setattr(obj, n, 1.0), f"unconstructed {target.name}.{name}=")
        if out.exc is None:
            raise AssertionError(f"unconstructed {target.name}.{name} accepted a value")
    for how in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o)), repr):
        out = attempt(lambda h=how: h(obj), f"copy of unconstructed {target.name}")
        assert out.exc is None or isinstance(out.exc, Exception)
    # A failed state restore leaves it unconstructed; a good one revives it.
    good = target.make()
    state = good.__getstate__()
    bad_states = [(), (None,) * len(state), state[:-1], state + (0,), None, "x"]
    bad_states += [state[:i] + (v,) + state[i + 1 :] for i in range(len(state)) for v in SPOILERS]
    for bad in bad_states:
        out = attempt(lambda b=bad, o=obj: o.__setstate__(b), f"{target.name}.__setstate__(bad)")
        check_ordinary(out, target, f"{target.name}.__setstate__({bad!r})")
        if out.exc is None:  # a state it can take: the block must then behave
            for i in range(len(target.valid)):
                check_ordinary(perform(obj, Op("valid", str(i)), target), target, f"after {bad!r}")
            obj = cls.__new__(cls)
    # A state holds the block's own containers and models: restore a copy.
    out = attempt(lambda: obj.__setstate__(copy.deepcopy(state)), f"{target.name}.__setstate__")
    if out.exc is not None:
        raise AssertionError(f"{target.name}.__setstate__ of a good state failed: {out.exc!r}")
    run_valid_tail([obj, good], target, f"restored {target.name}")


# Values put in place of one element of a saved state.
SPOILERS = [
    None,
    "x",
    -1,
    2**63,
    float("nan"),
    (),
    (1.0,),
    np.zeros(0),
    np.zeros((2, 2)),
    BadFloat(),
]


# --- module descriptions ---------------------------------------------------

F, INT, S, A, Q, T, D, X = "float", "int", "size", "alloc", "seq", "str", "dict", "any"


def M(name, *params, mutates_on=()):
    return Method(name, [tuple(p.split(":")) for p in params], mutates_on)


def targets_for(module: str) -> list[Target]:
    from korvel.algorithm import (
        clampwind,
        deadtime,
        excite,
        flatline,
        gainsched,
        heartbeat,
        labbias,
        latches,
        loopctl,
        phaseshaper,
        plantmodels,
        slewguard,
        tfblock,
    )

    if module == "loopctl":
        ran_pid = loopctl.PID(0.5)
        ran_pid.run(1, 50.0, 45.0, 40.0)
        return [
            Target(
                "PID",
                lambda: loopctl.PID(0.5),
                [
                    M("__init__", "TS:float"),
                    M(
                        "run",
                        *"MODE:float SP:float PV:float TV:float FF:float".split(),
                        mutates_on=(ValueError, OverflowError),
                    ),
                    M("PID_Auto", "SP:float", "PV:float", "FF:float"),
                    M("setPIDParam", "KP:float", "TI:float", "TD:float", "N:float"),
                    M("getPIDParam"),
                    M("setOPHighLowLimit", "OP_HI:float", "OP_LO:float"),
                    M("getOPHighLowLimit"),
                    M("_resetPID", "SP:float", "PV:float", "TV:float", "FF:float"),
                    M("_setInnerSaveState", *[f"{n}:float" for n in "abcdefg"]),
                    M("getInnerSaveState"),
                    M("getPIDForm"),
                ],
                [
                    ("run", (1, 50.0, 48.0, 40.0)),
                    ("setPIDParam", (2.0, 30.0, 1.0, 8.0)),
                    ("run", (1, 50.0, 47.0, 40.0, 1.0)),
                    ("PID_Auto", (50.0, 49.0)),
                    ("getInnerSaveState", ()),
                    ("getPIDParam", ()),
                    ("setOPHighLowLimit", (90, 10)),
                    ("getOPHighLowLimit", ()),
                    ("run", (0, 1.0, 2.0, 120.0)),
                ],
                [(f, F) for f in ("_TS", "_KP", "_TI", "_TD", "_N", "_OP_HI", "_OP_LO")]
                + [("_iniFlag", X)]
                + [(f, F) for f in ("_et1", "_et2", "_OP1", "_FF1", "_dOPD1", "_OP_save")],
                reenter=[
                    lambda o: o.__init__(),
                    lambda o: o.run(1, 2.0, 1.0, 5.0),
                    lambda o: o.setPIDParam(TD=5.0),
                ],
                init_args=(0.5,),
            ),
            Target(
                "PIDBank",
                lambda: loopctl.PIDBank(3, 0.5),
                [
                    M("__init__", "n:alloc", "TS:seq"),
                    M(
                        "run",
                        *"MODE:float SP:seq PV:float TV:seq FF:float".split(),
                        mutates_on=(ValueError, OverflowError),
                    ),
                    M("PID_Auto", "SP:seq", "PV:float", "FF:seq"),
                    M("setPIDParam", "KP:float", "TI:seq", "TD:float", "N:seq"),
                    M("getPIDParam"),
                    M("setOPHighLowLimit", "OP_HI:seq", "OP_LO:float"),
                    M("getOPHighLowLimit"),
                    M("_resetPID", "SP:float", "PV:seq", "TV:float", "FF:seq"),
                    M(
                        "_setInnerSaveState",
                        *"OP_save:seq OPcal_save:float dOP_save:seq dOP_P_save:float".split(),
                        *"dOP_I_save:seq dOP_D_save:float dFF_save:seq".split(),
                    ),
                    M("getInnerSaveState"),
                    M("getPIDForm"),
                    M("__getitem__", "index:int"),
                    M("__setitem__", "index:int", "value:any"),
                ],
                [
                    ("run", (1, 50.0, [48.0, 47.0, 46.0], 40.0)),
                    ("setPIDParam", (2.0, [30.0, 10.0, 0.0], 1.0, 8.0)),
                    ("run", ([1, 0, 1], 50.0, 47.0, [40.0, 41.0, 42.0], 1.0)),
                    ("PID_Auto", ([50.0, 55.0, 60.0], 49.0)),
                    ("getInnerSaveState", ()),
                    ("getPIDParam", ()),
                    ("setOPHighLowLimit", ([90, 80, 70], 10)),
                    ("getOPHighLowLimit", ()),
                    ("__setitem__", (1, ran_pid)),
                    ("__getitem__", (-1,)),
                    ("run", (0, 1.0, 2.0, 120.0)),
                ],
                reenter=[
                    lambda o: o.__init__(5),
                    lambda o: o.run(1, 2.0, 1.0, 5.0),
                    lambda o: o.__setitem__(0, loopctl.PID()),
                    lambda o: o.__init__(3, 0.5),
                ],
                # Entered from its own argument conversions, it refuses.
                allowed=(RuntimeError,),
                init_args=(3, 0.5),
            ),
        ]

    if module == "clampwind":
        return [
            Target(
                "AntiWindupLimter",
                clampwind.AntiWindupLimter,
                [
                    M("__init__"),
                    M("__call__", "u:float", "HI:float", "LO:float"),
                    M("run", "u:float", "HI:float", "LO:float"),
                ],
                [("__call__", (150.0,)), ("run", (20.0, 40, 10)), ("__call__", (-5, 3.0, 1.0))],
                [("_u0", F), ("_y0", F)],
                reenter=[lambda o: o.__init__(), lambda o: o(7.0)],
            ),
            Target(
                "AntiWindupLimterBank",
                lambda: clampwind.AntiWindupLimterBank(3),
                [
                    M("__init__", "n:size"),
                    M("__call__", "u:float", "HI:float", "LO:float"),
                    M("run", "u:float", "HI:float", "LO:float"),
                ],
                [
                    ("__call__", (150.0,)),
                    ("run", ([20.0, 30.0, 50.0], 40, 10)),
                    ("__call__", (-5, 3.0, [1.0, 2.0, 5.0])),
                ],
                reenter=[lambda o: o.__init__(5), lambda o: o(7.0), lambda o: o.__init__(3)],
                # Started over with other lanes while its arguments convert.
                allowed=(RuntimeError,),
                init_args=(3,),
            ),
        ]

    if module == "slewguard":
        return [
            Target(
                "RateLimit",
                lambda: slewguard.RateLimit(3.0),
                [
                    M("__init__", "u_ini:float", "Ts:float"),
                    M("__call__", "u_end:float", "PRLimPerMin:float", "NRLimPerMin:float"),
                    M("reset", "u_ini:float"),
                ],
                [("__call__", (10, 10, -10)), ("__call__", (-4.0, 30.0)), ("reset", (2.0,))],
                [("u_last", F), ("Ts", X)],
                reenter=[lambda o: o.__init__(9.0), lambda o: o.reset(1.0)],
                init_args=(3.0,),
            ),
            Target(
                "RateLimitBank",
                lambda: slewguard.RateLimitBank(3, 3.0),
                [
                    M("__init__", "n:size", "u_ini:float", "Ts:float"),
                    M("__call__", "u_end:float", "PRLimPerMin:float", "NRLimPerMin:float"),
                    M("reset", "u_ini:float"),
                ],
                [
                    ("__call__", (10, 10, -10)),
                    ("__call__", ([-4.0, 0.0, 4.0], 30.0, [None, 6.0, None])),
                    ("reset", ([2.0, 1.0, 0.0],)),
                ],
                reenter=[
                    lambda o: o.__init__(5, 9.0),
                    lambda o: o.reset(1.0),
                    lambda o: o.__init__(3, 0.0),
                ],
                allowed=(RuntimeError,),
                init_args=(3, 3.0),
            ),
        ]

    if module == "heartbeat":
        return [
            Target(
                "WatchDog",
                heartbeat.WatchDog,
                # A non-integer ticks is stored before the result is refused.
                [M("__init__"), M("__call__", "MaxOut:float", mutates_on=(TypeError,))],
                [("__call__", (3,)), ("__call__", ()), ("__call__", (2.7,)), ("__call__", (-3,))],
                [("ticks", X)],
                reenter=[lambda o: o.__init__(), lambda o: setattr(o, "ticks", "x")],
            )
        ]

    if module == "flatline":
        return [
            Target(
                "ConstDect",
                flatline.ConstDect,
                [
                    M("__init__"),
                    M("__call__", "Ut:float", "DectLen:size", mutates_on=(IndexError,)),
                ],
                [("__call__", (1.0, 3)), ("__call__", (2.0, 3)), ("__call__", (2.0,))],
                reenter=[lambda o: o.__init__(), lambda o: o(5.0, 2)],
            )
        ]

    if module == "deadtime":
        return [
            Target(
                "Delay_Algorithm",
                deadtime.Delay_Algorithm,
                [M("__init__"), M("call", mutates_on=ORDINARY)],
                [("call", ()), ("call", ())],
                [("Ut", X), ("Yt", X), ("nLag", A), ("U_array", X)],
                reenter=[
                    lambda o: o.__init__(),
                    lambda o: setattr(o, "U_array", np.zeros(0)),
                    lambda o: setattr(o, "U_array", [1.0]),
                    lambda o: o.call(),
                ],
            ),
            Target(
                "Delay",
                lambda: deadtime.Delay(5),
                [
                    M("__init__", "max_cache:alloc"),
                    M("__call__", "Ut:any", "nLag:int", mutates_on=(ValueError,)),
                ],
                [("__call__", (5.0,)), ("__call__", (6.0, 0)), ("__call__", (7.0, 4))],
                reenter=[lambda o: o.__init__(3), lambda o: o(1.0)],
                init_args=(5,),
            ),
            Target(
                "DelayBank",
                lambda: deadtime.DelayBank(3, [5, 2, 1]),
                [
                    M("__init__", "n:alloc", "max_cache:alloc"),
                    M("__call__", "Ut:float", "nLag:int", mutates_on=(ValueError,)),
                ],
                [
                    ("__call__", (5.0, 0)),
                    ("__call__", ([6.0, 7.0, 8.0], [4, 1, 0])),
                    ("__call__", (7.0, [3, 0, 0])),
                ],
                reenter=[
                    lambda o: o.__init__(2),
                    lambda o: o(1.0, 0),
                    lambda o: o.__setitem__(0, deadtime.Delay(2)),
                ],
                # Entered from its own argument conversions, it refuses.
                allowed=(RuntimeError,),
                init_args=(3, [5, 2, 1]),
            ),
        ]

    if module == "latches":
        timer_valid = [
            ("call", ()),
            ("__setattr__", ("Ut", 1)),
            ("call", ()),
            ("call", ()),
            ("__setattr__", ("Ut", 0)),
            ("call", ()),
        ]
        timer_fields = [("Ut", X), ("Yt", X), ("DT", INT), ("ET", INT), ("Ut_array", X)]
        timer_reenter = [
            lambda o: o.__init__(),
            lambda o: setattr(o, "Ut_array", np.zeros(1, dtype=int)),
            lambda o: setattr(o, "Ut_array", [5, 6]),
            lambda o: o.call(),
        ]
        return [
            Target(
                "RStrigger",
                latches.RStrigger,
                [M("__init__"), M("call", mutates_on=ORDINARY)],
                [("__setattr__", ("S", 1)), ("call", ()), ("__setattr__", ("S", 0)), ("call", ())],
                [("S", X), ("R", X), ("Q", X), ("nQ", X), ("Q_array", X)],
                reenter=[
                    lambda o: o.__init__(),
                    lambda o: setattr(o, "Q_array", np.zeros(0, dtype=bool)),
                    lambda o: setattr(o, "Q_array", []),
                ],
            ),
            Target(
                "TONtrigger",
                latches.TONtrigger,
                [M("__init__"), M("call", mutates_on=ORDINARY)],
                timer_valid,
                timer_fields,
                reenter=timer_reenter,
            ),
            Target(
                "TOFFtrigger",
                latches.TOFFtrigger,
                [M("__init__"), M("call", mutates_on=ORDINARY)],
                timer_valid,
                timer_fields,
                reenter=timer_reenter,
            ),
        ]

    if module == "excite":
        return [
            Target(
                "TestSignal",
                lambda: excite.TestSignal(7),
                [
                    M("__init__", "SEED:int"),
                    M("get_ET"),
                    M("set_ET", "ET:float"),
                    M("get_amplitude"),
                    M("set_amplitude", "amp:float"),
                    M("__call__", "t:int"),
                ],
                [
                    ("__call__", (23,)),
                    ("__call__", (-7,)),
                    ("set_ET", (4,)),
                    ("set_amplitude", (2.5,)),
                    ("__call__", (123456789,)),
                    ("get_ET", ()),
                    ("get_amplitude", ()),
                ],
                [("_ET", X), ("_amp", X), ("_rand_arr", X)],
                reenter=[lambda o: o.__init__(3), lambda o: o.set_ET(0)],
                init_args=(7,),
                unrepeatable=("__init__",),
            )
        ]

    if module == "tfblock":
        bank_rows = ([[0, 0.1], [0, 0.5], [0, 0.9]], [1, -0.5])
        return [
            Target(
                "zFilter",
                lambda: tfblock.zFilter([0, 0.1], [1, -0.9]),
                [
                    M("__init__", "Bz:seq", "Az:seq", "u_ini:float", "y_ini:float"),
                    # Coefficients refused at the step (an empty Bz): the
                    # operating point is taken first.
                    M("__call__", "Ut:float", "y_ini:float", mutates_on=(ValueError,)),
                    M("run", "Ut:float", "y_ini:float", mutates_on=(ValueError,)),
                    M("run_multistep", "U_arr:seq", "y_ini:float", mutates_on=(ValueError,)),
                ],
                [
                    ("__call__", (5.0,)),
                    ("run", (6.0, 3.0)),
                    ("run_multistep", ([1.0, 2.0, 3.0],)),
                    ("__call__", (6,)),
                ],
                [("_Bz", X), ("_Az", X), ("_zi", X), ("_u_ini", X), ("_y_ini", X)],
                reenter=[
                    lambda o: o.__init__([1, 2, 3], [1]),
                    lambda o: setattr(o, "_zi", np.zeros(1)),
                    lambda o: o(1.0),
                ],
                init_args=([0, 0.1], [1, -0.9]),
            ),
            Target(
                "sFilter",
                lambda: tfblock.sFilter([1], [5, 1], 1),
                [
                    M("__init__", "Bs:seq", "As:seq", "Ts:float", "u_ini:float", "y_ini:float"),
                    M("__call__", "Ut:float", "y_ini:float"),
                    M("run", "Ut:float", "y_ini:float"),
                    M("run_multistep", "U_arr:seq", "y_ini:float"),
                ],
                [("__call__", (0.0,)), ("run", (1.0,)), ("run_multistep", ([1.0, 2.0],))],
                [("_Bs", X), ("_As", X), ("_Ts", X), ("_zfilter", X)],
                reenter=[
                    lambda o: o.__init__([1], [2, 1], 2),
                    lambda o: setattr(o, "_zfilter", tfblock.zFilter()),
                ],
                init_args=([1], [5, 1], 1),
            ),
            Target(
                "zFilterBank",
                lambda: tfblock.zFilterBank(3, *bank_rows),
                [
                    M("__init__", *"n:alloc Bz:seq Az:seq u_ini:seq y_ini:float".split()),
                    # Lanes whose coefficients are refused take their operating point.
                    M("__call__", "Ut:seq", "y_ini:float", mutates_on=(ValueError,)),
                    M("run", "Ut:float", "y_ini:seq", mutates_on=(ValueError,)),
                    M("run_multistep", "U_arr:seq", "y_ini:seq", mutates_on=(ValueError,)),
                    M("__getitem__", "index:int"),
                    M("__setitem__", "index:int", "value:any"),
                ],
                [
                    ("__call__", (5.0,)),
                    ("run", ([6.0, 7.0, 8.0], [3.0, 0.0, 1.0])),
                    ("run_multistep", ([[1.0, 2.0, 3.0], [2.0, 2.0, 2.0]],)),
                    ("__setitem__", (1, tfblock.zFilter([0, 0.3], [1, -0.7]))),
                    ("run_multistep", ([1.0, 2.0], 4.0)),
                    ("__getitem__", (-1,)),
                    ("__call__", (6,)),
                ],
                reenter=[
                    lambda o: o.__init__(2, [1, 2, 3], [1]),
                    lambda o: o(1.0),
                    lambda o: o.__setitem__(0, tfblock.zFilter([0, 0.2], [1, -0.8])),
                    lambda o: o.__init__(3, *bank_rows),
                    # A lane whose coefficients every step refuses.
                    lambda o: o.__setitem__(0, tfblock.zFilter([], [1, -0.5])),
                ],
                allowed=(RuntimeError,),
                init_args=(3, *bank_rows),
            ),
        ]

    if module == "phaseshaper":
        return [
            Target(
                "LDLAG",
                lambda: phaseshaper.LDLAG(0.5, 5.0),
                [
                    M(
                        "__init__",
                        *"alpha:float tao:float Ts:int u_ini:float y_ini:float".split(),
                    ),
                    M("__call__", "u:float"),
                    M("multi_step", "u:seq"),
                    M("_modify_param"),
                ],
                [
                    ("__call__", (0.0,)),
                    ("__call__", (1.0,)),
                    ("multi_step", ([1.0, 2.0],)),
                    ("__setattr__", ("tao", 3.0)),
                    ("__setattr__", ("alpha", 0)),
                    ("__call__", (1,)),
                ],
                [
                    ("alpha", X),
                    ("tao", X),
                    ("_alpha", X),
                    ("_tao", X),
                    ("_Ts", X),
                    ("_b", X),
                    ("_a", X),
                    ("_zi", X),
                    ("_u_ini", X),
                    ("_y_ini", X),
                ],
                reenter=[
                    lambda o: o.__init__(0.0, 2.0),
                    lambda o: setattr(o, "_zi", None),
                    lambda o: setattr(o, "_b", np.zeros(3)),
                    lambda o: setattr(o, "tao", 9.0),
                ],
                init_args=(0.5, 5.0),
            ),
            Target(
                "LDLAGBank",
                lambda: phaseshaper.LDLAGBank(3, 0.5, [5.0, 0.0, 2.0]),
                [
                    M("__init__", *"n:size alpha:seq tao:seq Ts:int u_ini:seq y_ini:seq".split()),
                    M("__call__", "u:seq"),
                    M("_modify_param"),
                    M("__getitem__", "index:int"),
                    M("__setitem__", "index:int", "value:any"),
                ],
                [
                    ("__call__", (0.0,)),
                    ("__call__", ([1.0, 2.0, 3.0],)),
                    ("__setattr__", ("tao", [3.0, 1.0, 0.0])),
                    ("__setattr__", ("alpha", 0)),
                    ("__setitem__", (1, phaseshaper.LDLAG(0.2, 4.0))),
                    ("__call__", (1,)),
                ],
                [("alpha", X), ("tao", X)],
                reenter=[
                    lambda o: o.__init__(1),
                    lambda o: o(2.0),
                    lambda o: setattr(o, "tao", 9.0),
                ],
                init_args=(3, 0.5, [5.0, 0.0, 2.0]),
            ),
        ]

    if module == "plantmodels":
        ref = {
            "CV1": {
                "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 3},
                "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]},
            },
            "CV2": {
                "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 4]},
                "MV3": {"mode": "stpxy", "x": [0, 2, 4], "y": [0, 1, 3], "IntegralMark": 1},
            },
        }
        return [
            Target(
                "no_model",
                plantmodels.no_model,
                [M("__init__"), M("deltaU_sim", "dU:float")],
                [("deltaU_sim", (1.0,)), ("deltaU_sim", ())],
            ),
            Target(
                "tfz_model",
                lambda: plantmodels.tfz_model([0, 1, 0.5], [1, -1.5, 0.7], 1),
                [
                    M("__init__", "num:seq", "den:seq", "delay:alloc"),
                    M("deltaU_sim", "dU:float"),
                    M("reset_zi"),
                ],
                [("deltaU_sim", (1.0,)), ("deltaU_sim", (2,)), ("reset_zi", ())],
                [("Gz_num", X), ("Gz_den", X), ("_zi", X)],
                reenter=[
                    lambda o: o.__init__([1, 2, 3, 4], [1]),
                    lambda o: setattr(o, "_zi", np.zeros(9)),
                    lambda o: setattr(o, "Gz_num", np.zeros(0)),
                ],
                init_args=([0, 1, 0.5], [1, -1.5, 0.7], 1),
            ),
            Target(
                "tfs_model",
                lambda: plantmodels.tfs_model([0, 2], [5, 1], 2, 1),
                [
                    M("__init__", "num:seq", "den:seq", "delay:float", "Ts:float"),
                    M("deltaU_sim", "dU:float"),
                    M("reset_zi"),
                ],
                [("deltaU_sim", (1.0,)), ("deltaU_sim", (1.0,)), ("deltaU_sim", (1.0,))],
                [("Gz_num", X), ("Gz_den", X), ("_zi", X)],
                init_args=([0, 2], [5, 1], 2, 1),
            ),
            Target(
                "stp_model",
                lambda: plantmodels.stp_model([0, 1, 3]),
                [M("__init__", "stp:seq"), M("deltaU_sim", "dU:float"), M("reset_zi")],
                [("deltaU_sim", (1.0,)), ("deltaU_sim", (1.0,))],
                [("Gz_num", X), ("Gz_den", X), ("_zi", X)],
                init_args=([0, 1, 3],),
            ),
            Target(
                "stpxy_model",
                lambda: plantmodels.stpxy_model([0, 2], [1, 3]),
                [M("__init__", "x:seq", "y:seq"), M("deltaU_sim", "dU:float")],
                [("deltaU_sim", (1.0,)), ("deltaU_sim", (1.0,))],
                [("Gz_num", X), ("Gz_den", X), ("_zi", X)],
                init_args=([0, 2], [1, 3]),
            ),
            Target(
                "MISOSimulator",
                lambda: plantmodels.MISOSimulator(
                    [plantmodels.stp_model([1, 2]), plantmodels.no_model()], [1.0, 2.0]
                ),
                [
                    M("__init__", "model_list:seq", "u_ini_list:seq"),
                    M("one_step_sim", "u_list:seq", mutates_on=ORDINARY),
                ],
                [("one_step_sim", ([2.0, 3.0],)), ("one_step_sim", ((1.0, 1.0),))],
                [("model_list", X), ("u_ini_list", X)],
                reenter=[
                    lambda o: setattr(o, "model_list", []),
                    lambda o: setattr(o, "u_ini_list", None),
                    lambda o: o.__init__([], []),
                ],
                init_args=None,
            ),
            Target(
                "MIMOSim",
                lambda: plantmodels.MIMOSim(ref, {"CV1": 10, "MV2": 16}, 1),
                [
                    M("__init__", "process_model_dict:dict", "ini_value_dict:dict", "Ts:float"),
                    M("__call__", "u_Value_Dict:dict", "v_Value_Dict:dict", mutates_on=ORDINARY),
                    M("reset"),
                    M("get_process_tags"),
                    M("get_input_data_dict"),
                    M("get_output_data_dict"),
                    M("get_all_data_dict"),
                    M("get_cv_list"),
                    M("get_mv_list"),
                    M("get_model_dict"),
                    M("plot_model_stp", "plotLen:size"),
                ],
                [
                    ("__call__", ()),
                    ("__call__", ({"MV2": 17, "MV1": 1.0},)),
                    ("__call__", ({}, {"CV2": 1.5})),
                    ("get_all_data_dict", ()),
                    ("get_process_tags", ()),
                    ("reset", ()),
                    ("__call__", ({"MV3": 2},)),
                ],
                [
                    ("_u_dict", X),
                    ("_y_dict", X),
                    ("cv_list", X),
                    ("mv_list", X),
                    ("ini_value_dict", X),
                    ("cv_simulators", X),
                    ("yu_model_obj", X),
                    ("process_model_dict", X),
                    ("Ts", X),
                ],
                reenter=[
                    lambda o: o.__init__({"A": {"B": {}}}),
                    lambda o: setattr(o, "_u_dict", {}),
                    lambda o: setattr(o, "cv_simulators", {}),
                    lambda o: o.reset(),
                    lambda o: o({"MV1": 3.0}),
                ],
                allowed=(RuntimeError,),
                init_args=(ref, {"CV1": 10, "MV2": 16}, 1),
                cached_fields=("mv_list", "cv_list", "cv_simulators", "ini_value_dict"),
            ),
            Target(
                "MIMOSimBank",
                lambda: plantmodels.MIMOSimBank([ref, ref], {"CV1": [10, 9], "MV2": 16}, 1),
                [
                    M("__init__", "process_model_dicts:seq", "ini_value_dict:dict", "Ts:seq"),
                    M("__call__", "u_Value_Dict:dict", "v_Value_Dict:dict"),
                    M("reset"),
                    M("get_all_data_dict"),
                    M("get_model_dict"),
                    M("__getitem__", "index:int"),
                    M("__setitem__", "index:int", "value:any"),
                ],
                [
                    ("__call__", ()),
                    ("__call__", ({"MV2": [17, 18], "MV1": 1.0},)),
                    ("__call__", ({}, {"CV2": 1.5})),
                    ("__setitem__", (0, plantmodels.MIMOSim(ref))),
                    ("reset", ()),
                    ("__call__", ({"MV3": 2},)),
                ],
                [],
                reenter=[
                    lambda o: o.__init__([{"A": {"B": {}}}]),
                    lambda o: o.reset(),
                    lambda o: o({"MV1": 3.0}),
                    lambda o: o.__setitem__(0, plantmodels.MIMOSim(ref)),
                ],
                allowed=(RuntimeError,),
                init_args=([ref, ref], {"CV1": [10, 9], "MV2": 16}, 1),
            ),
            Target(
                "SISOSim",
                lambda: plantmodels.SISOSim(2.0, 10.0, 2),
                [
                    M(
                        "__init__",
                        *"gain:float tao:float delay:float Ts:float integralMark:any".split(),
                    ),
                    M("__call__", "u_Value_Dict:dict", "v_Value_Dict:dict", mutates_on=ORDINARY),
                ],
                [("__call__", ({"MV": 1.0},)), ("__call__", ({}, {"CV": 3.0})), ("__call__", ())],
                [("_u_dict", X), ("_y_dict", X)],
                init_args=(2.0, 10.0, 2),
            ),
        ]

    if module == "gainsched":
        model = {"CV1": {"MV1": {"mode": "stp", "stp": [0, 1, 2]}}}

        def lpv():
            s = gainsched.LPVPlantSim({"CV1": 5.0, "MV1": 2.0})
            s.addPlant(1, 10.0, model, 1)
            s.addPlant(2, 30.0, {"CV1": {"MV1": {"mode": "tf_z", "num_z": [1], "den_z": [1]}}}, 1)
            return s

        return [
            Target(
                "LPVLocalPlant",
                gainsched.LPVLocalPlant,
                [M("__init__")],
                [("__getattribute__", ("Ts",)), ("__setattr__", ("plant_id", 3))],
                [(f, X) for f in ("plant_id", "working_point", "plant", "yu_model_tf", "Ts")]
                + [("current_weight", X)],
            ),
            Target(
                "LPVPlantSim",
                lpv,
                [
                    M("__init__", "ini_value_dict:dict"),
                    M(
                        "__call__",
                        *"working_value:float u_Value_Dict:dict v_Value_Dict:dict".split(),
                        mutates_on=ORDINARY,
                    ),
                    M(
                        "run",
                        *"working_value:float u_Value_Dict:dict v_Value_Dict:dict".split(),
                        mutates_on=ORDINARY,
                    ),
                    M(
                        "addPlant",
                        *"plant_id:int working_point:float yu_model_tf:dict Ts:int".split(),
                        mutates_on=ORDINARY,
                    ),
                    M("delPlant", "plant_id:int"),
                    M("_sort_plant_list_by_working_point", mutates_on=ORDINARY),
                    M("get_plant_dict"),
                    M("get_current_plant_weight_dict"),
                    M("get_cv_list"),
                    M("get_mv_list"),
                    M("get_input_data_dict"),
                    M("get_output_data_dict"),
                    M("get_all_data_dict"),
                    M("plot_model_stp", "plant_id:int", "plotLen:size"),
                ],
                [
                    ("__call__", (15.0,)),
                    ("run", (20.0, {"MV1": 3.0})),
                    ("__call__", (40, {}, {"CV1": 1.0})),
                    ("get_current_plant_weight_dict", ()),
                    ("get_all_data_dict", ()),
                    ("addPlant", (3, 20.0, model, 1)),
                    ("delPlant", (1,)),
                    ("__call__", (12.0,)),
                ],
                [("plant_list", X), ("ini_value_dict", X), ("_u_dict", X), ("_y_dict", X)]
                + [("_working_value", X)],
                reenter=[
                    lambda o: o.__init__(),
                    lambda o: o.delPlant(1),
                    lambda o: setattr(o, "plant_list", []),
                    lambda o: o.plant_list[0].__init__(),
                    lambda o: setattr(o.plant_list[0], "plant", None),
                ],
                allowed=(RuntimeError,),
                init_args=None,
            ),
        ]

    if module == "labbias":
        tmp = tempfile.mkdtemp(prefix="korvel-fuzz-")
        return [
            Target(
                "SoftSensorBiasUpdate",
                lambda: labbias.SoftSensorBiasUpdate("ss", 5.0, 1e-6, 8, 2),
                [
                    M(
                        "__init__",
                        *"name:str filter_tao:float abs_threshold:float prd_len:size".split(),
                        "const_len:size",
                    ),
                    M(
                        "run",
                        *"prd_data:float lab_data:float lab_time:float prd_time:float".split(),
                        "update_trigger:float",
                    ),
                    M("get_name"),
                    M("get_lab_data"),
                    M("get_lab_time"),
                    M("get_prd_data_at_labtime"),
                    M("get_update_flag"),
                    M("get_bias"),
                    M("_update_bias", "lab_data:float", "lab_time:float"),
                ],
                [
                    ("run", (1.0, 2.0, 950.0, 1000.0)),
                    ("run", (1.5, 3.0, 990.0, 1060.0, 1.0)),
                    ("run", (1.2, 3.0, 990.0, 1120.0)),
                    ("get_bias", ()),
                    ("get_update_flag", ()),
                    ("_update_bias", (4.0, 1100.0)),
                ],
                [
                    ("_bias", X),
                    ("_fil", X),
                    ("_name", X),
                    ("_abs_threshold", X),
                    ("_prd_data_list", X),
                    ("_prd_time_list", X),
                    ("_lab_data_list", X),
                    ("_current_lab_data", X),
                    ("_current_lab_time", X),
                ],
                reenter=[
                    lambda o: o.__init__("other", 0.0, 1e-6, 3, 1),
                    lambda o: o.run(1.0, 1.0, 1.0, 2.0),
                    lambda o: setattr(o, "_fil", None),
                ],
                init_args=("ss", 5.0, 1e-6, 8, 2),
                unrepeatable=("run",),  # stamped with the wall clock without prd_time
            ),
            Target(
                "LabDataRecorder",
                lambda: labbias.LabDataRecorder("rec", 1e-6, 1, tmp),
                [
                    M(
                        "__init__",
                        "name:str",
                        "abs_threshold:float",
                        "const_len:size",
                        "csv_dir:str",
                    ),
                    M("run", "lab_data:float", "lab_time:float", mutates_on=(OSError,)),
                    M("export_lab_data_csv", "lab_data:float", "lab_time:float"),
                ],
                [("run", (1.0, 100.0)), ("run", (2.0, 160.0)), ("run", (2.0, 220.0))],
                [("_name", X), ("_abs_threshold", X), ("_csv_file", X), ("_lab_data_list", X)],
                reenter=[lambda o: o.__init__("rec2", 1e-6, 0, tmp)],
                allowed=(OSError,),
                init_args=("rec", 1e-6, 1, tmp),
            ),
        ]
    raise SystemExit(f"unknown module {module}")


# --- module functions -------------------------------------------------------


@dataclass
class Function:
    name: str
    fn: Callable
    params: list[tuple[str, str]]
    allowed: tuple = ()


def functions_for(module: str) -> list[Function]:
    if module == "toolbox":
        from korvel.algorithm import toolbox as t

        return [
            Function(
                "c2d",
                t.c2d,
                [("Gs_num", Q), ("Gs_den", Q), ("Gs_delay", F), ("Ts", F), ("method", T)],
            ),
            Function(
                "dict2pairs",
                lambda *a, **k: list(t.dict2pairs(*a, **k)),
                [("d", D), ("path", T)],
                (RuntimeError,),
            ),
            Function("pair2dict", t.pair2dict, [("pair", X), ("d", D)]),
            Function("str2xpyp", t.str2xpyp, [("s", T)]),
            Function("current_time_str", t.current_time_str, []),
            Function("dataStore", t.dataStore, [("xArray", Q), ("xt", F)]),
        ]
    if module == "utilities":
        from korvel.algorithm import utilities as u

        return [Function("dataStore", u.dataStore, [("xArray", Q), ("xt", F)])]
    if module == "phaseshaper":
        from korvel.algorithm import phaseshaper as p

        def use_property(name, expected):
            prop = p.positive_parameter_property(name, expected)
            holder = type("Holder", (), {"x": prop, "_modify_param": lambda self: None})
            h = holder()
            h._x = 1
            for v in (2, -1, "s", None, float("nan")):
                with contextlib.suppress(TypeError, ValueError):
                    h.x = v
            return h.x

        return [
            Function(
                "filter_stp",
                p.filter_stp,
                [("N", A), ("tao", F), ("alpha", F), ("r1", F), ("r2", F)],
            ),
            Function(
                "positive_parameter_property",
                p.positive_parameter_property,
                [("name", T), ("expected_type", X)],
            ),
            Function(
                "positive_parameter_property in use", use_property, [("name", T), ("expected", X)]
            ),
        ]
    if module == "identify":
        from korvel.algorithm import identify as i

        counts = [("delay", INT), ("max_delay", INT), ("length", INT)]
        return [
            Function(
                "fit_pair",
                i.fit_pair,
                [("u", Q), ("y", Q), ("Ts", F), ("kind", T), ("u0", F), ("y0", F), *counts],
            ),
            Function(
                "fit_process",
                i.fit_process,
                [("records", D), ("cv_tags", X), ("mv_tags", X), ("Ts", F), ("kinds", X)]
                + [("ini_values", D), *counts[1:]],
            ),
        ]
    if module == "tuning":
        from korvel.algorithm import tuning as tn

        return [
            Function("simc", tn.simc, [("model", D), ("tau_c", F), ("Ts", F)]),
            Function("lambda_tuning", tn.lambda_tuning, [("model", D), ("lam", F), ("Ts", F)]),
        ]
    if module == "plantmodels":
        from korvel.algorithm import plantmodels as pm

        return [
            Function("get_model_tags", pm.get_model_tags, [("yu_model", D)]),
            Function(
                "get_model_stp", pm.get_model_stp, [("yu_model", D), ("Ts", INT), ("length", S)]
            ),
            Function(
                "plot_model_stp", pm.plot_model_stp, [("yu_model", D), ("Ts", INT), ("plotLen", S)]
            ),
        ]
    return []


def fuzz_function(f: Function, examples: int):
    m = Method(f.name, f.params)

    @settings(**SETTINGS, max_examples=examples)
    @given(op=call_op(m))
    def check(op):
        target = Target(f.name, lambda: None, [], [], allowed=f.allowed)
        args = [v.build(None, target) for v in op.args]
        kwargs = {k: v.build(None, target) for k, v in op.kwargs.items()}
        out = attempt(lambda: f.fn(*args, **kwargs), f"{f.name}{op!r}")
        check_ordinary(out, target, f"{f.name}{op!r}")

    run(check)


# --- driver -------------------------------------------------------------------

# FUZZ_SEED=<n> explores other examples than the fixed ones CI runs.
EXPLORE = os.environ.get("FUZZ_SEED")
SETTINGS = dict(
    deadline=None,
    derandomize=not EXPLORE,
    database=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)


def run(check):
    (seed(int(EXPLORE))(check) if EXPLORE else check)()


def fuzz_target(target: Target, examples: int):
    unconstructed(target)

    @settings(**SETTINGS, max_examples=examples)
    @given(ops=ops_strategy(target))
    def check(ops):
        differential(target, ops)

    run(check)


def main(argv):
    warnings.simplefilter("ignore")
    module = argv[1]
    scale = float(argv[2]) if len(argv) > 2 else 1.0
    os.environ.setdefault("MPLBACKEND", "Agg")
    functions_only = ("toolbox", "utilities", "identify", "tuning")  # no classes
    for target in targets_for(module) if module not in functions_only else []:
        fuzz_target(target, max(10, int(60 * scale)))
    for f in functions_for(module):
        fuzz_function(f, max(10, int(150 * scale)))
    print(f"{module}: ok")


if __name__ == "__main__":
    main(sys.argv)
