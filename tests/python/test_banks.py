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
from korvel.algorithm.tfblock import zFilter, zFilterBank

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


# Coefficients finite, some huge: an overflow gives inf and NaN, and every
# NaN the arithmetic makes has the same bits.
coefficients = st.one_of(st.floats(-2, 2), st.sampled_from([0.0, -0.0, 1e300, -1e300]))


@st.composite
def zfilter_rows(draw, n, nb, na):
    """Bz and Az: one row for all lanes or one per lane (as a list or an array)."""

    def rows(length, first):
        row = st.lists(coefficients, min_size=length, max_size=length).map(
            lambda r: [first, *r[1:]] if first is not None and r else r
        )
        if draw(st.booleans()):
            return draw(row)
        return np.array(draw(st.lists(row, min_size=n, max_size=n)), dtype=float).reshape(n, length)

    return rows(nb, None), rows(na, draw(st.sampled_from([1.0, 1.0, 2.0, -0.5])))


def operating_points(n):
    """None, one value, n values, or n values some of them None."""
    return st.one_of(
        st.none(),
        lane_values(n, reals),
        st.lists(st.one_of(st.none(), reals), min_size=n, max_size=n),
    )


@SETTINGS
@given(data=st.data(), n=st.integers(1, 5), nb=st.integers(0, 4), na=st.integers(1, 4))
def test_zfilter_bank_lanes_are_zfilters(capsys, data, n, nb, na):
    Bz, Az = data.draw(zfilter_rows(n, nb, na))
    u, y = data.draw(operating_points(n)), data.draw(operating_points(n))
    bank = zFilterBank(n, Bz, Az, u, y)

    def lane(v, i):
        v = v if v is None or np.ndim(v) == 0 else v[i]
        return None if v is None else float(v)

    filters = [
        zFilter(
            Bz if np.ndim(Bz) == 1 else Bz[i],
            Az if np.ndim(Az) == 1 else Az[i],
            lane(u, i),
            lane(y, i),
        )
        for i in range(n)
    ]
    check_lanes(bank, filters)
    for _ in range(data.draw(st.integers(1, 12))):
        op = data.draw(
            st.sampled_from(["call", "run", "multi", "multi", "get", "set", "new", "copy"])
        )
        i = data.draw(st.integers(0, n - 1))
        if op in ("call", "run"):
            args = (data.draw(lane_values(n, reals)), data.draw(lane_values(n, reals)))
            drive(bank, filters, capsys, "__call__" if op == "call" else "run", *args)
        elif op == "multi":  # samples x lanes, or samples every lane takes
            m = data.draw(st.integers(0, 4))
            rows = st.lists(reals, min_size=m * n, max_size=m * n).map(
                lambda v, m=m: np.reshape(v, (m, n))
            )
            U = data.draw(st.one_of(rows, st.lists(reals, max_size=4)))
            drive(bank, filters, capsys, "run_multistep", U, data.draw(lane_values(n, reals)))
        elif op == "get":  # a lane taken out continues as the lane does
            filters[i] = bank[i]
        elif op == "set":  # a filter put in continues as itself
            bank[i] = filters[i] = copy.deepcopy(filters[(i + 1) % n])
        elif op == "new":  # coefficients of its own, or none (refused when it filters)
            b, a = (np.reshape(r, -1) for r in data.draw(zfilter_rows(1, nb, na)))
            if nb <= na and data.draw(st.booleans()):
                b = []
            bank[i] = filters[i] = zFilter(b, a, data.draw(st.one_of(st.none(), reals)))
        else:
            bank = pickle.loads(pickle.dumps(bank)) if i % 2 else copy.deepcopy(bank)
            check_lanes(bank, filters)


def test_zfilter_bank_arguments():
    bank = zFilterBank(3, u_ini=[1.0, None, 2.0], y_ini=5)
    assert [(bank[i]._u_ini, bank[i]._y_ini) for i in range(3)] == [
        (1.0, 5.0),
        (None, 5.0),
        (2.0, 5.0),
    ]
    with pytest.raises(
        ValueError,
        match=r"Az must be one row of coefficients or 3 rows, one per lane, not an array of shape",
    ):
        zFilterBank(3, [1], [[1, 2], [1, 2]])
    with pytest.raises(ValueError, match=r"must be non-zero. \(lane 1\)"):
        zFilterBank(3, [1], [[1, 2], [0, 1], [2, 1]])
    with pytest.raises(ValueError, match=r"must be non-zero.$"):
        zFilterBank(3, [1], [0, 1])
    with pytest.raises(
        ValueError, match=r"Ut must be a number or 3 values, not an array of shape \(2,\)"
    ):
        bank([1.0, 2.0])
    with pytest.raises(
        ValueError,
        match=r"U_arr must be samples x lanes, an array of shape \(m, 3\) or \(m,\), not \(2, 2\)",
    ):
        bank.run_multistep(np.zeros((2, 2)))
    with pytest.raises(IndexError, match=r"size 0 \(lane 1\)"):
        bank.run_multistep([])
    with pytest.raises(
        ValueError, match="have a state of 1 value and len.a. > 1; this filter has a state of 2"
    ):
        bank[0] = zFilter([1, 2, 3], [1])
    with pytest.raises(IndexError, match="zFilterBank index out of range"):
        bank[3]
    with pytest.raises(TypeError, match="takes a zFilter"):
        bank[0] = bank
    assert zFilterBank(0)(1.0).shape == (0,)
    assert zFilterBank(0, [[1, 2]] * 0, [1]).run_multistep([1.0, 2.0]).shape == (2, 0)
