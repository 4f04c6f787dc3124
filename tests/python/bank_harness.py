"""Drives a bank and n scalar blocks with the same values and checks, after
every operation, that lane i is block i to the bit: results, printed lines,
errors and the whole state (the pickle of ``bank[i]`` is the block's).

A bank's operation takes, per argument, one value for all lanes or an array
of n values (a two-dimensional array is samples x lanes: lane i takes
column i, and answers with column i of the result); a lane whose block
fails fails the call, which names the lanes ("<the block's message>
(lanes 0, 3)"), changes what those lanes' blocks change and leaves every
other lane as it was. Lines a block prints come once,
naming the lanes that printed them.
"""

import copy
import functools
import pickle

import numpy as np
from hypothesis import strategies as st


def lane_value(v, i):
    """Lane i's value as a caller of the block passes it: a Python number (a
    block that keeps what it is given keeps that, not a NumPy scalar), or lane
    i's column of samples x lanes."""
    if not isinstance(v, np.ndarray):
        return v
    if v.ndim == 2:
        return v[:, i]
    return v[i].item() if isinstance(v[i], np.generic) else v[i]


def lanes_text(lanes):
    shown = ", ".join(map(str, lanes[:20])) + (", ..." if len(lanes) > 20 else "")
    return f"{'lane' if len(lanes) == 1 else 'lanes'} {shown}"


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # the lanes' errors are compared with the bank's
        return (type(e), str(e))


def lane_result(result, i):
    """What lane i answered, in a bank's answer (arrays hold one per lane)."""
    if isinstance(result, np.ndarray):
        assert result.dtype == np.float64
        return result[:, i] if result.ndim == 2 else float(result[i])
    if isinstance(result, tuple):
        return tuple(lane_result(r, i) for r in result)
    if isinstance(result, dict):
        return {k: lane_result(v, i) for k, v in result.items()}
    return result


def same(a, b):
    """Equal to the bit (NaN equal to NaN)."""
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, float) and isinstance(b, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def _renamed(text, names, name):
    for n in names:
        text = text.replace(n, name)
    return text


def drive(bank, blocks, capsys, name, *args, **kwargs):
    """Calls `name` on the bank and on each block with its lane's values."""
    before = [copy.deepcopy(b) for b in blocks]
    capsys.readouterr()
    got = outcome(lambda: getattr(bank, name)(*args, **kwargs))
    bank_printed = capsys.readouterr().out
    lanes, printed = [], []
    for i, b in enumerate(blocks):
        lane_args = [lane_value(a, i) for a in args]
        lane_kwargs = {k: lane_value(v, i) for k, v in kwargs.items()}
        lanes.append(outcome(functools.partial(getattr(b, name), *lane_args, **lane_kwargs)))
        printed.append(capsys.readouterr().out)
    # A block's messages name its class where the bank's name the bank's.
    own, theirs = f"'{type(bank).__name__}'", {f"'{type(b).__name__}'" for b in blocks}
    lanes = [o if o[0] == "ok" else (o[0], _renamed(o[1], theirs, own)) for o in lanes]
    failed = [i for i, o in enumerate(lanes) if o[0] != "ok"]
    if failed:
        assert got[0] != "ok", (name, args, lanes)
        errors = [
            (kind, f"{text} ({lanes_text([i for i in failed if lanes[i] == (kind, text)])})")
            for kind, text in {lanes[i] for i in failed}
        ]
        assert got in errors, (got, errors)
        for i in range(len(blocks)):
            if i not in failed:
                blocks[i] = before[i]
    else:
        assert got[0] == "ok", (name, args, got)
        for i, o in enumerate(lanes):
            assert same(lane_result(got[1], i), o[1]), (name, i, got[1], o[1])
    expected = ""
    for line in dict.fromkeys(p for p in printed if p):
        who = [i for i, p in enumerate(printed) if p == line]
        expected += f"{line.rstrip()} ({lanes_text(who)})\n"
    assert bank_printed == expected
    check_lanes(bank, blocks)
    return got


def check_lanes(bank, blocks):
    assert len(bank) == len(blocks)
    for i, b in enumerate(blocks):
        assert pickle.dumps(bank[i]) == pickle.dumps(b), i


def lane_values(n, values):
    """One value for every lane, or an array of n values."""
    return st.one_of(values, st.lists(values, min_size=n, max_size=n).map(np.array))


def lane_op(bank, blocks, capsys, op, *args):
    """What every bank offers: "get" takes lane i out (it continues as the
    lane does), "set" puts a copy of block i+1 into lane i (it continues as
    itself), "copy" pickles or deep-copies the bank (the copy continues);
    any other name is an operation, driven. Returns the bank to go on with."""
    n = len(blocks)
    if op == "get":
        blocks[args[0]] = bank[args[0]]
    elif op == "set":
        bank[args[0]] = blocks[args[0]] = copy.deepcopy(blocks[(args[0] + 1) % n])
        check_lanes(bank, blocks)
    elif op == "copy":
        bank = pickle.loads(pickle.dumps(bank)) if args[0] % 2 else copy.deepcopy(bank)
        check_lanes(bank, blocks)
    else:
        drive(bank, blocks, capsys, op, *args)
    return bank
