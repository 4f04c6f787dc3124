"""Each bank is n scalar blocks: driven with random per-lane and shared
values, every lane answers, prints, fails and ends as its block does."""

import copy
import pickle

import numpy as np
import pytest
from bank_harness import check_lanes, drive, lane_values
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvel.algorithm.loopctl import PID, PIDBank
from korvel.algorithm.phaseshaper import LDLAG, LDLAGBank

SETTINGS = settings(
    max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
reals = st.floats(-1e3, 1e3, allow_nan=False)
modes = st.sampled_from([0, 1, 1, 1, 0.5, 1.5, 2, -1, float("nan"), float("inf")])


@st.composite
def pid_ops(draw, n):
    ops = []
    for _ in range(draw(st.integers(1, 25))):
        v = lambda values: draw(lane_values(n, values))  # noqa: E731
        op = draw(
            st.sampled_from(
                [
                    "run",
                    "run",
                    "run",
                    "auto",
                    "params",
                    "limits",
                    "reset",
                    "saved",
                    "get",
                    "set",
                    "copy",
                ]
            )
        )
        if op == "run":
            ops.append(("run", v(modes), v(reals), v(reals), v(reals), v(reals)))
        elif op == "auto":
            ops.append(("PID_Auto", v(reals), v(reals), v(reals)))
        elif op == "params":
            ops.append(
                (
                    "setPIDParam",
                    v(st.floats(-2, 5)),
                    v(st.floats(-5, 100)),
                    v(st.floats(-1, 20)),
                    v(st.floats(-1, 20)),
                )
            )
        elif op == "limits":
            ops.append(("setOPHighLowLimit", v(reals), v(reals)))
        elif op == "reset":
            ops.append(("_resetPID", v(reals), v(reals), v(reals), v(reals)))
        elif op == "saved":
            ops.append(("_setInnerSaveState", *(v(reals) for _ in range(7))))
        else:
            ops.append((op, draw(st.integers(0, n - 1))))
    return ops


@SETTINGS
@given(data=st.data(), n=st.integers(1, 5), ts=st.sampled_from([1.0, 0.5, 2.0]))
def test_pid_bank_lanes_are_pids(capsys, data, n, ts):
    bank, pids = PIDBank(n, ts), [PID(ts) for _ in range(n)]
    for op, *args in data.draw(pid_ops(n)):
        if op == "get":  # a lane taken out continues as the lane does
            pids[args[0]] = bank[args[0]]
        elif op == "set":  # a block put in continues as itself
            bank[args[0]] = pids[args[0]] = copy.deepcopy(pids[(args[0] + 1) % n])
        elif op == "copy":
            bank = pickle.loads(pickle.dumps(bank)) if args[0] % 2 else copy.deepcopy(bank)
            check_lanes(bank, pids)
        else:
            drive(bank, pids, capsys, op, *args)
        for name in ("getPIDParam", "getOPHighLowLimit"):
            drive(bank, pids, capsys, name)
        if not bank[0]._iniFlag and all(not p._iniFlag for p in pids):
            drive(bank, pids, capsys, "getInnerSaveState")


def test_pid_bank_arguments():
    bank = PIDBank(3, TS=[1.0, 2.0, 0.5])
    assert [bank[i]._TS for i in range(3)] == [1.0, 2.0, 0.5]
    with pytest.raises(
        ValueError, match=r"SP must be a number or 3 values, not an array of shape \(2,\)"
    ):
        bank.run(1, [1.0, 2.0], 0.0, 0.0)
    with pytest.raises(
        AttributeError, match=r"'PIDBank' object has no attribute '_et1' \(lanes 0, 1, 2\)"
    ):
        bank.PID_Auto(1.0, 0.0)
    with pytest.raises(IndexError, match="PIDBank index out of range"):
        bank[3]
    with pytest.raises(TypeError, match="takes a PID"):
        bank[0] = bank
    assert len(PIDBank(0).run(1, 0.0, 0.0, 0.0)) == 0


# Inputs with signed zeros and non-finite values; parameters with zeros,
# negatives and NaN, which lanes refuse as their LDLAG does.
samples = st.one_of(reals, st.sampled_from([-0.0, float("inf"), -float("inf"), float("nan")]))
settings_ = st.one_of(st.floats(0, 20), st.sampled_from([0.0, 0.0, 1.0, -0.5, float("nan")]))


def as_objects(v):
    """The values with each lane's as a Python float, as a caller gives an LDLAG."""
    return np.array([float(x) for x in v], dtype=object) if isinstance(v, np.ndarray) else v


@SETTINGS
@given(data=st.data(), n=st.integers(1, 6))
def test_ldlag_bank_lanes_are_ldlags(capsys, data, n):
    draw = data.draw
    alpha, tao = draw(lane_values(n, settings_)), draw(lane_values(n, settings_))
    Ts = draw(lane_values(n, st.sampled_from([1, 2, 3])))
    points = [draw(st.one_of(st.none(), lane_values(n, reals))) for _ in range(2)]
    at = lambda v, i: v[i].item() if isinstance(v, np.ndarray) else v  # noqa: E731
    args = lambda i: [at(v, i) for v in (alpha, tao, Ts, *points)]  # noqa: E731
    made = [outcome_of(LDLAG, *args(i)) for i in range(n)]
    failed = [m for m in made if isinstance(m, Exception)]
    if failed:  # the bank refuses with some lane's error, naming lanes
        with pytest.raises(Exception) as refused:
            LDLAGBank(n, alpha, tao, Ts, *points)
        got = (type(refused.value), str(refused.value))
        assert any(got[0] is type(e) and got[1].startswith(f"{e} (lane") for e in failed)
        return
    bank, blocks = LDLAGBank(n, alpha, tao, Ts, *points), made
    check_lanes(bank, blocks)
    for _ in range(draw(st.integers(1, 20))):
        op = draw(st.sampled_from(["call"] * 4 + ["alpha", "tao", "modify", "get", "set", "copy"]))
        if op == "call":
            drive(bank, blocks, capsys, "__call__", draw(lane_values(n, samples)))
        elif op in ("alpha", "tao"):
            drive(
                bank, blocks, capsys, "__setattr__", op, as_objects(draw(lane_values(n, settings_)))
            )
            drive(bank, blocks, capsys, "__getattribute__", op)
        elif op == "modify":
            drive(bank, blocks, capsys, "_modify_param")
        elif op == "get":  # a lane taken out continues as the lane does
            i = draw(st.integers(0, n - 1))
            blocks[i] = bank[i]
        elif op == "set":  # a block put in continues as itself
            i = draw(st.integers(0, n - 1))
            bank[i] = blocks[i] = copy.deepcopy(blocks[(i + 1) % n])
        else:
            bank = pickle.loads(pickle.dumps(bank)) if draw(st.booleans()) else copy.deepcopy(bank)
            check_lanes(bank, blocks)


def outcome_of(make, *args):
    try:
        return make(*args)
    except Exception as e:  # a lane without a coefficient rule
        return e


def test_ldlag_bank_arguments():
    bank = LDLAGBank(3, alpha=0.5, Ts=[1, 2, 3], u_ini=[0.0, 1.0, 2.0])
    assert [bank[i]._Ts for i in range(3)] == [1, 2, 3]
    assert [bank[i]._u_ini for i in range(3)] == [0.0, 1.0, 2.0] and bank[2]._zi is None
    with pytest.raises(
        ValueError, match=r"u must be a number or 3 values, not an array of shape \(2,\)"
    ):
        bank([1.0, 2.0])
    with pytest.raises(
        TypeError, match=r"Argument 'Ts' has incorrect type \(expected int, got list\)"
    ):
        LDLAGBank(2, Ts=[1.0, 2.0])
    with pytest.raises(TypeError, match=r"alpha must be a .* \(lanes 0, 1, 2\)"):
        bank.alpha = "1"
    with pytest.raises(IndexError, match="LDLAGBank index out of range"):
        bank[3]
    with pytest.raises(TypeError, match="takes an LDLAG"):
        bank[0] = bank
    odd = LDLAG()
    odd._b = [0.5, 0.25, 0.25]  # another order than a lead-lag's
    with pytest.raises(ValueError, match="first-order"):
        bank[0] = odd
    assert len(LDLAGBank(0)(1.0)) == 0
