"""Each bank is n scalar blocks: driven with random per-lane and shared
values, every lane answers, prints, fails and ends as its block does."""

from collections import deque

import numpy as np
import pytest
from bank_harness import drive, lane_values, run_op, same
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvel.algorithm.deadtime import Delay, DelayBank
from korvel.algorithm.loopctl import PID, PIDBank

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
        bank = run_op(bank, pids, capsys, op, *args)
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


@st.composite
def delay_ops(draw, n, longest):
    ops = []
    # Mostly delays every lane takes, now and then one too long or negative.
    lags = st.one_of(st.integers(0, longest), st.integers(-2, longest + 3))
    for _ in range(draw(st.integers(1, 30))):
        op = draw(st.sampled_from(["call"] * 5 + ["get", "set", "copy"]))
        if op == "call":
            Ut = draw(lane_values(n, st.floats(allow_infinity=True, allow_nan=True)))
            ops.append(("__call__", Ut, draw(lane_values(n, lags))))
        else:
            ops.append((op, draw(st.integers(0, n - 1))))
    return ops


@SETTINGS
@given(data=st.data(), n=st.integers(1, 5))
def test_delay_bank_lanes_are_delays(capsys, data, n):
    max_cache = data.draw(lane_values(n, st.integers(0, 6)))
    bank = DelayBank(n, max_cache)
    delays = [Delay(int(np.broadcast_to(max_cache, n)[i])) for i in range(n)]
    # A delay put into a lane brings its own capacity.
    for op, *args in data.draw(delay_ops(n, max(int(np.min(max_cache)) - 1, 0))):
        bank = run_op(bank, delays, capsys, op, *args)
    assert same([a.tolist() for a in bank._cache], [list(d._cache) for d in delays])


def test_delay_bank_arguments():
    bank = DelayBank(3, max_cache=[1, 2, 3])
    assert [bank[i]._cache.maxlen for i in range(3)] == [1, 2, 3]
    with pytest.raises(ValueError, match=r"^maxlen must be non-negative \(lane 1\)$"):
        DelayBank(3, [1, -1, 2])
    with pytest.raises(TypeError, match=r"\(expected int, got float\)"):
        bank(1.0, 1.5)
    with pytest.raises(TypeError, match="^nLag must be an int or 3 ints, not an array of float64$"):
        bank(1.0, [1.0, 0.0, 0.0])
    with pytest.raises(
        ValueError, match=r"nLag must be an int or 3 ints, not an array of shape \(2,\)"
    ):
        bank(1.0, [0, 0])
    with pytest.raises(TypeError, match="not None: a DelayBank lane holds floats"):
        bank(None)
    assert all(len(c) == 0 for c in bank._cache)  # nothing stored by the refusals
    # A delay beyond 64 bits is named as given; the lanes that take theirs do not step.
    with pytest.raises(ValueError, match=r"but got 1267650600228229401496703205376\. \(lane 2\)$"):
        bank(1.0, np.array([0, 0, 2**100], dtype=object))
    assert [len(c) for c in bank._cache] == [0, 0, 3]
    # A Delay of numbers goes in as floats; one holding anything else is refused.
    d = Delay(4)
    d(1)
    d(2)
    bank[0] = d
    assert bank[0]._cache == deque([2.0, 1.0, 1.0, 1.0]) and type(bank[0]._cache[3]) is float
    d("x")
    with pytest.raises(TypeError, match=r"sample 0 \(newest first\) is str$"):
        bank[0] = d
    with pytest.raises(TypeError, match="takes a Delay"):
        bank[0] = bank
    with pytest.raises(IndexError, match="DelayBank index out of range"):
        bank[3]
    assert len(DelayBank(0)(1.0)) == 0
