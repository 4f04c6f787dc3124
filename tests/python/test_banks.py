"""Each bank is n scalar blocks: driven with random per-lane and shared
values, every lane answers, prints, fails and ends as its block does."""

import copy
import pickle
from collections import deque

import numpy as np
import pytest
from bank_harness import check_lanes, drive, lane_op, lane_result, lane_value, lane_values, same
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvel.algorithm._reference import process
from korvel.algorithm.clampwind import AntiWindupLimter, AntiWindupLimterBank
from korvel.algorithm.deadtime import Delay, DelayBank
from korvel.algorithm.loopctl import PID, PIDBank
from korvel.algorithm.phaseshaper import LDLAG, LDLAGBank
from korvel.algorithm.plantmodels import MIMOSim, MIMOSimBank
from korvel.algorithm.slewguard import RateLimit, RateLimitBank
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
        bank = lane_op(bank, pids, capsys, op, *args)
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
        op = draw(
            st.sampled_from(
                ["call"] * 4 + ["multi", "alpha", "tao", "modify", "get", "set", "copy"]
            )
        )
        if op == "call":
            drive(bank, blocks, capsys, "__call__", draw(lane_values(n, samples)))
        elif op == "multi":  # samples x lanes, or samples every lane takes
            m = draw(st.integers(0, 4))
            rows = st.lists(samples, min_size=m * n, max_size=m * n)
            u = draw(
                st.one_of(rows.map(lambda v, m=m: np.array(v).reshape(m, n)), st.just([1.0] * m))
            )
            drive(bank, blocks, capsys, "multi_step", u)
        elif op in ("alpha", "tao"):
            drive(
                bank, blocks, capsys, "__setattr__", op, as_objects(draw(lane_values(n, settings_)))
            )
            drive(bank, blocks, capsys, "__getattribute__", op)
        elif op == "modify":
            drive(bank, blocks, capsys, "_modify_param")
        else:
            bank = lane_op(bank, blocks, capsys, op, draw(st.integers(0, n - 1)))


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


def alike(a, b):
    """Dicts of equal floats to the bit, except which NaN: where two NaNs
    meet in a sum, the one that survives is the compiler's choice."""
    return a.keys() == b.keys() and all(
        (a[k] != a[k] and b[k] != b[k]) or same(a[k], b[k]) for k in a
    )


def lane_plant(gain, delay):
    p = process(gain)
    p["CV1"]["MV1"]["iodelay_s"] = delay
    return p


@SETTINGS
@given(
    data=st.data(),
    plants=st.lists(
        st.tuples(st.sampled_from([1.0, -0.5, 2.0]), st.sampled_from([25, 3, 0])),
        min_size=1,
        max_size=4,
    ),
)
def test_mimo_sim_bank_lanes_are_simulators(data, plants):
    n = len(plants)
    values = st.one_of(
        st.integers(-50, 50).map(float), st.sampled_from([float("nan"), float("inf"), -0.0])
    )
    dicts = [lane_plant(*p) for p in plants]
    ini = {t: data.draw(lane_values(n, reals)) for t in ("CV1", "MV2", "MV3")}
    bank = MIMOSimBank(dicts, ini)
    sims = [MIMOSim(d, {t: lane_value(v, i) for t, v in ini.items()}) for i, d in enumerate(dicts)]

    def lanes(mapping, i):
        return {t: lane_value(v, i) for t, v in mapping.items()}

    for _ in range(data.draw(st.integers(1, 40))):
        op = data.draw(st.sampled_from(["step"] * 6 + ["reset", "get", "set", "copy"]))
        if op == "step":
            tags = data.draw(st.lists(st.sampled_from(["MV1", "MV2", "MV3", "CV1", "X"])))
            u = {t: data.draw(lane_values(n, values)) for t in tags}
            v = {
                t: data.draw(lane_values(n, values))
                for t in ("CV2",)[: data.draw(st.integers(0, 1))]
            }
            got = bank(u, v)
            assert all(
                alike(lane_result(got, i), s(lanes(u, i), lanes(v, i))) for i, s in enumerate(sims)
            )
        elif op == "reset":
            bank.reset()
            for s in sims:
                s.reset()
        elif op == "get":  # a lane continues as its simulator, whatever it holds
            i = data.draw(st.integers(0, n - 1))
            lane, sim = bank[i], copy.deepcopy(sims[i])
            assert alike(lane.get_all_data_dict(), sim.get_all_data_dict())
            for k in range(30):
                assert alike(lane({"MV1": float(k)}), sim({"MV1": float(k)}))
        elif op == "set":
            i, j = data.draw(st.integers(0, n - 1)), data.draw(st.integers(0, n - 1))
            bank[i] = sims[j]
            sims[i] = copy.deepcopy(sims[j])
        else:
            bank = data.draw(
                st.sampled_from([copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))])
            )(bank)
        assert alike(lane_result(bank.get_all_data_dict(), 0), sims[0].get_all_data_dict())


def test_mimo_sim_bank_arguments():
    one = {"CV": {"MV": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1]}}}
    with pytest.raises(TypeError, match="one model dictionary per lane"):
        MIMOSimBank(one)
    with pytest.raises(ValueError, match=r"lane 1 has \['CV'\] and \['MV2'\]"):
        MIMOSimBank([one, {"CV": {"MV2": {}}}])
    bank = MIMOSimBank([one, one], {"MV": [1.0, 2.0]})
    with pytest.raises(ValueError, match=r"u_Value_Dict\['MV'\] must be a number or 2 values"):
        bank({"MV": [1.0, 2.0, 3.0]})
    assert same(
        lane_result(bank.get_input_data_dict(), 1), {"MV": 2.0}
    )  # refused call changed nothing
    with pytest.raises(TypeError, match="takes a MIMOSim"):
        bank[0] = PID()
    with pytest.raises(IndexError):
        bank[2]
    assert len(MIMOSimBank([])) == 0


@st.composite
def antiwindup_ops(draw, n):
    ops = []
    values = st.one_of(reals, st.sampled_from([float("nan"), float("inf"), -0.0]))
    for _ in range(draw(st.integers(1, 25))):
        v = lambda values: draw(lane_values(n, values))  # noqa: E731
        op = draw(st.sampled_from(["__call__", "__call__", "run", "part", "get", "set", "copy"]))
        if op in ("__call__", "run"):
            ops.append((op, v(values), v(st.floats(0, 150)), v(st.floats(-150, 50))))
        elif op == "part":  # a limiter with only some of its history
            ops.append(
                (op, draw(st.integers(0, n - 1)), *draw(st.tuples(*[st.none() | reals] * 2)))
            )
        else:
            ops.append((op, draw(st.integers(0, n - 1))))
    return ops


@SETTINGS
@given(data=st.data(), n=st.integers(1, 5))
def test_antiwindup_bank_lanes_are_limiters(capsys, data, n):
    bank, limiters = AntiWindupLimterBank(n), [AntiWindupLimter() for _ in range(n)]
    for op, *args in data.draw(antiwindup_ops(n)):
        if op == "part":
            block = AntiWindupLimter()
            for name, value in zip(("_u0", "_y0"), args[1:], strict=True):
                if value is not None:
                    setattr(block, name, value)
            bank[args[0]] = limiters[args[0]] = block
            check_lanes(bank, limiters)
        else:
            bank = lane_op(bank, limiters, capsys, op, *args)


@st.composite
def rate_ops(draw, n):
    ops = []
    targets = st.one_of(reals, st.just(float("nan")))
    rates = st.floats(-120, 120)
    for _ in range(draw(st.integers(1, 30))):
        v = lambda values: draw(lane_values(n, values))  # noqa: E731
        op = draw(
            st.sampled_from(["__call__", "__call__", "__call__", "reset", "get", "set", "copy"])
        )
        if op == "__call__":
            ops.append((op, v(targets), v(rates), v(st.none() | rates)))
        elif op == "reset":
            ops.append((op, v(reals)))
        else:
            ops.append((op, draw(st.integers(0, n - 1))))
    return ops


@SETTINGS
@given(data=st.data(), n=st.integers(1, 5))
def test_rate_limit_bank_lanes_are_rate_limits(capsys, data, n):
    u_ini = data.draw(lane_values(n, reals))
    Ts = data.draw(lane_values(n, st.sampled_from([1.0, 0.5, 2.0, 0.1])))
    bank = RateLimitBank(n, u_ini, Ts)
    limiters = [RateLimit(lane_value(u_ini, i), lane_value(Ts, i)) for i in range(n)]
    check_lanes(bank, limiters)
    for op, *args in data.draw(rate_ops(n)):
        bank = lane_op(bank, limiters, capsys, op, *args)


def test_limiter_banks_arguments():
    bank = RateLimitBank(3, [0.0, 1.0, 2.0], Ts=[1.0, 2.0, 0.5])
    assert [(bank[i].u_last, bank[i].Ts) for i in range(3)] == [(0.0, 1.0), (1.0, 2.0), (2.0, 0.5)]
    # Lanes given None fall at their rising rate, whatever holds the values.
    twin = pickle.loads(pickle.dumps(bank))
    assert bank(-10.0, 60, [None, 30, None]).tolist() == [-1.0, 0.0, 1.5]
    assert twin(-10.0, 60, np.array([None, 30, None])).tolist() == [-1.0, 0.0, 1.5]
    state = pickle.dumps(bank)
    with pytest.raises(
        ValueError, match=r"PRLimPerMin must be a number or 3 values, not an array of shape \(2,\)"
    ):
        bank(1.0, [1.0, 2.0])
    with pytest.raises(TypeError, match="u_end must be a number or 3 values, not None"):
        bank(None)

    class Restarts:  # converting it would start the bank over under its arguments
        def __float__(self):
            bank.__init__(5, 0.0)
            return 1.0

    with pytest.raises(RuntimeError, match="RateLimitBank is in the middle of a step"):
        bank(1.0, 60, Restarts())
    assert pickle.dumps(bank) == state and len(bank) == 3
    bank.__init__(5, 0.0)
    bank[-1] = RateLimit(4, 2)  # a lane holds floats
    assert (type(bank[4].u_last), bank[4].Ts) == (float, 2.0)
    with pytest.raises(IndexError, match="RateLimitBank index out of range"):
        bank[5]
    with pytest.raises(TypeError, match="takes a RateLimit, not .*AntiWindupLimter"):
        bank[0] = AntiWindupLimter()
    with pytest.raises(TypeError, match="cannot be deleted"):
        del bank[0]
    with pytest.raises(ValueError, match="n >= 0"):
        AntiWindupLimterBank(-1)
    with pytest.raises(ValueError, match="invalid AntiWindupLimterBank state"):
        AntiWindupLimterBank(2).__setstate__((3, b"\0\0", b"\0\0", bytes(16), bytes(16)))
    assert len(AntiWindupLimterBank(0)(1.0)) == 0


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
        bank = lane_op(bank, delays, capsys, op, *args)
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
    with pytest.raises(TypeError, match="^Ut must be a number or 3 values, not None$"):
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
    ops = ["__call__", "run", "run_multistep", "run_multistep", "get", "set", "new", "copy"]
    for _ in range(data.draw(st.integers(1, 12))):
        op, i = data.draw(st.sampled_from(ops)), data.draw(st.integers(0, n - 1))
        args = (i,)
        if op in ("__call__", "run"):
            args = (data.draw(lane_values(n, reals)), data.draw(lane_values(n, reals)))
        elif op == "run_multistep":  # samples x lanes, or samples every lane takes
            m = data.draw(st.integers(0, 4))
            rows = st.lists(reals, min_size=m * n, max_size=m * n).map(
                lambda v, m=m: np.reshape(v, (m, n))
            )
            args = (
                data.draw(st.one_of(rows, st.lists(reals, max_size=4))),
                data.draw(lane_values(n, reals)),
            )
        elif op == "new":  # coefficients of its own, or none (refused when it filters)
            b, a = (np.reshape(r, -1) for r in data.draw(zfilter_rows(1, nb, na)))
            if nb <= na and data.draw(st.booleans()):
                b = []
            bank[i] = filters[i] = zFilter(b, a, data.draw(st.one_of(st.none(), reals)))
            continue
        bank = lane_op(bank, filters, capsys, op, *args)


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

    class Restarts:  # converting it would start the bank over under its arguments
        def __float__(self):
            bank.__init__(5)
            return 1.0

    with pytest.raises(RuntimeError, match="zFilterBank is in the middle of a step"):
        bank(Restarts())
    assert len(bank) == 3
    assert zFilterBank(0)(1.0).shape == (0,)
    assert zFilterBank(0, [[1, 2]] * 0, [1]).run_multistep([1.0, 2.0]).shape == (2, 0)
