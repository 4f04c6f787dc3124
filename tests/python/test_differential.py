"""Every block driven from Python and from the C++ core alone, with the same
random input sequences, gives the same outputs and states to the bit.

The core runs in tests/cpp/drive.cpp (built by `make test`, found through
KORVEL_DRIVE); continuous transfer functions it discretises are answered by
SciPy, as the Python modules discretise them.
"""

import contextlib
import io
import math
import time

import pytest
from core_driver import DRIVE, CoreError, number, same
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvel.algorithm.clampwind import AntiWindupLimter
from korvel.algorithm.deadtime import Delay, Delay_Algorithm
from korvel.algorithm.excite import TestSignal as Excitation
from korvel.algorithm.flatline import ConstDect
from korvel.algorithm.gainsched import LPVPlantSim
from korvel.algorithm.heartbeat import WatchDog
from korvel.algorithm.labbias import LabDataRecorder, SoftSensorBiasUpdate
from korvel.algorithm.latches import RStrigger, TOFFtrigger, TONtrigger
from korvel.algorithm.loopctl import PID
from korvel.algorithm.phaseshaper import LDLAG
from korvel.algorithm.plantmodels import MIMOSim
from korvel.algorithm.slewguard import RateLimit
from korvel.algorithm.tfblock import sFilter, zFilter

pytestmark = pytest.mark.skipif(not DRIVE, reason="the C++ driver is built by `make test`")
SETTINGS = settings(
    max_examples=60, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


def nums(text):
    return [number(t) for t in text.split()]


def outcome(fn):
    """A value, or the fact that it failed."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return fn()
    except (CoreError, ValueError, TypeError, IndexError, OverflowError, ZeroDivisionError):
        return "failed"


def check(steps):
    for py, cpp in steps:
        a, b = outcome(py), outcome(cpp)
        assert a == "failed" if b == "failed" else same(a, b), (a, b)


reals = st.floats(-1e3, 1e3, allow_nan=False)
small = st.floats(-10, 10, allow_nan=False)


# --- PID ----------------------------------------------------------------------

pid_ops = st.lists(
    st.one_of(
        st.tuples(
            st.just("run"), st.sampled_from([0, 1, 1, 0.5, 1.5, 2]), reals, reals, reals, reals
        ),
        st.tuples(
            st.just("params"), small, st.floats(-5, 100), st.floats(-1, 20), st.floats(-1, 20)
        ),
        st.tuples(st.just("limits"), reals, reals),
    ),
    max_size=30,
)


def pid_state(p):
    s = p.getInnerSaveState()
    h = [p._et1, p._et2, p._OP1, p._FF1, p._dOPD1]
    return [*s.values(), *h, *p.getPIDParam(), *p.getOPHighLowLimit()]


@SETTINGS
@given(ts=st.sampled_from([1.0, 0.5, 2.0]), ops=pid_ops)
def test_pid(core, ts, ops):
    p, c = PID(ts), core.new("pid", ts)
    for op, *args in ops:
        if op == "run":
            check([(lambda: p.run(*args), lambda: nums(core(c, "run", *map(float, args)))[0])])
        elif op == "params":
            p.setPIDParam(*args)
            core(c, "params", *args)
        else:
            with contextlib.redirect_stdout(io.StringIO()):
                p.setOPHighLowLimit(*args)
            core(c, "limits", *args)
        if not p._iniFlag:
            assert same(pid_state(p), nums(core(c, "state")))


# --- filters ------------------------------------------------------------------

coeffs = st.lists(st.floats(-2, 2, allow_nan=False), min_size=1, max_size=5)
inputs = st.lists(reals, max_size=8)


@SETTINGS
@given(
    b=coeffs,
    a=coeffs.filter(lambda a: a[0] != 0),
    u0=st.none() | reals,
    y0=st.none() | reals,
    ops=st.lists(st.tuples(st.booleans(), inputs, small), max_size=8),
)
def test_zfilter(core, b, a, u0, y0, ops):
    z, c = zFilter(b, a, u0, y0), core.new("zfilter", b, a, u0, y0)
    for single, xs, y_arg in ops:
        if single:
            for x in xs:
                check([(lambda x=x: z(x, y_arg), lambda x=x: nums(core(c, "step", x, y_arg))[0])])
        elif len(a) == 1 and len(b) > 1 and len(xs) > 1:
            # The one place the core rounds otherwise: NumPy's convolution
            # against the core's sample steps, each a sum of the same terms.
            zi_before = list(z._zi)
            py = outcome(lambda: list(z.run_multistep(xs, y_arg)))
            cpp = outcome(lambda: nums(core(c, "run", xs, y_arg))[1:])
            state = nums(core(c, "state").replace("none", "nan"))
            cpp_zi = state[1 : 1 + int(state[0])]
            if py == "failed" or cpp == "failed":
                assert py == cpp
                continue
            taps = [v / a[0] for v in b]
            dev = [x - z._u_ini for x in xs]
            terms = sum(map(abs, taps)) * max(map(abs, dev)) + max(map(abs, zi_before))
            m = len(taps) + 1
            bound = 2 * m * 2.0**-53 / (1 - m * 2.0**-53) * terms
            for p_, c_ in zip(py + list(z._zi), cpp + cpp_zi, strict=True):
                close = abs(p_ - c_) <= bound + 2 * math.ulp(max(abs(p_), abs(c_)))
                assert same(p_, c_) or close, (p_, c_)
            z._zi = cpp_zi  # both go on from one state
        else:
            check(
                [
                    (
                        lambda: list(z.run_multistep(xs, y_arg)),
                        lambda: nums(core(c, "run", xs, y_arg))[1:],
                    )
                ]
            )
        state = nums(core(c, "state").replace("none", "nan"))
        assert same(list(z._zi), state[1 : 1 + int(state[0])])


@SETTINGS
@given(
    tau=st.floats(0.5, 30),
    gain=st.floats(-5, 5, allow_nan=False),
    ts=st.sampled_from([1, 0.5, 2]),
    xs=st.lists(reals, max_size=20),
)
def test_sfilter(core, tau, gain, ts, xs):
    f, c = (
        sFilter([gain], [tau, 1], ts),
        core.new("sfilter", [gain], [tau, 1.0], float(ts), None, None),
    )
    check([(lambda x=x: f(x), lambda x=x: nums(core(c, "step", x, 0.0))[0]) for x in xs])


@SETTINGS
@given(
    alpha=st.floats(0, 3),
    tao=st.sampled_from([0.0, 0.5, 5.0, 20.0]),
    ts=st.sampled_from([1, 2]),
    ops=st.lists(
        st.one_of(
            st.tuples(st.just("step"), reals),
            st.tuples(st.just("run"), st.lists(reals, min_size=1, max_size=6)),
            st.tuples(st.sampled_from(["alpha", "tao"]), st.floats(-1, 10)),
        ),
        max_size=12,
    ),
)
def test_leadlag(core, alpha, tao, ts, ops):
    f, c = LDLAG(alpha, tao, ts), core.new("leadlag", alpha, tao, ts, None, None)
    for op, arg in ops:
        if op == "step":
            check([(lambda: f(arg), lambda: nums(core(c, "step", arg))[0])])
        elif op == "run":
            check([(lambda: list(f.multi_step(arg)), lambda: nums(core(c, "run", arg))[1:])])
        else:
            check([(lambda: setattr(f, op, arg), lambda: (core(c, op, arg), None)[1])])


# --- signal conditioning, logic, timing ---------------------------------------


@SETTINGS
@given(ops=st.lists(st.tuples(reals, reals, reals), max_size=20))
def test_anti_windup(core, ops):
    a, c = AntiWindupLimter(), core.new("antiwindup")
    check([(lambda o=o: a(*o), lambda o=o: nums(core(c, "step", *o))[0]) for o in ops])


@SETTINGS
@given(
    u0=reals,
    ts=st.sampled_from([1.0, 0.5, 3.0]),
    ops=st.lists(
        st.tuples(reals, st.floats(-100, 100), st.none() | st.floats(-100, 100)), max_size=20
    ),
)
def test_rate_limit(core, u0, ts, ops):
    r, c = RateLimit(u0, ts), core.new("ratelimit", u0, ts)
    check([(lambda o=o: r(*o), lambda o=o: nums(core(c, "step", *o))[0]) for o in ops])


@SETTINGS
@given(cap=st.integers(1, 6), ops=st.lists(st.tuples(reals, st.integers(-1, 7)), max_size=20))
def test_delays(core, cap, ops):
    d, c = Delay(cap), core.new("delayline", cap)
    da, cb = Delay_Algorithm(), core.new("delaybuffer")
    for u, lag in ops:
        check([(lambda: float(d(u, lag)), lambda: nums(core(c, "step", u, lag))[0])])
        if lag >= 0:
            da.Ut, da.nLag = u, lag
            da.call()
            assert same(float(da.Yt), nums(core(cb, "step", u, lag))[0])


@SETTINGS
@given(
    ops=st.lists(st.tuples(st.sampled_from([0.0, 1e-7, 2e-6, 5.0]), st.integers(1, 5)), max_size=25)
)
def test_const_detect(core, ops):
    d, c = ConstDect(), core.new("constwindow")
    check([(lambda o=o: int(d(*o)), lambda o=o: nums(core(c, "step", *o))[0]) for o in ops])


@SETTINGS
@given(
    dt=st.integers(-1, 4),
    ins=st.lists(st.tuples(st.integers(-1, 2), st.integers(0, 1), st.integers(0, 1)), max_size=25),
)
def test_latches_and_timers(core, dt, ins):
    rs, ton, toff = RStrigger(), TONtrigger(), TOFFtrigger()
    ton.DT = toff.DT = dt
    c_rs, c_on, c_off = core.new("rs"), core.new("ondelay", dt), core.new("offdelay", dt)
    for u, s, r in ins:
        rs.S, rs.R = s, r
        rs.call()
        assert int(rs.Q) == nums(core(c_rs, "step", s, r))[0]
        for t, c in ((ton, c_on), (toff, c_off)):
            t.Ut = u
            t.call()
            assert [t.Yt, t.ET] == nums(core(c, "step", u))


@SETTINGS
@given(bounds=st.lists(st.integers(-4, 6), max_size=25))
def test_watchdog(core, bounds):
    w, c = WatchDog(), core.new("watchdog")
    check([(lambda m=m: w(m), lambda m=m: nums(core(c, "step", m))[0]) for m in bounds])


@SETTINGS
@given(
    seed=st.integers(0, 2**31),
    et=st.integers(1, 30),
    amp=st.floats(-2, 5),
    times=st.lists(st.integers(-(10**6), 10**6), max_size=10),
)
def test_test_signal(core, seed, et, amp, times):
    s = Excitation(seed)
    s.set_ET(et)
    s.set_amplitude(amp)
    c = core.new("testsignal", list(s._rand_arr), et, amp)
    for t in times:
        assert same([float(x) for x in s(t)], [float(x) for x in nums(core(c, "at", t))])


# --- process simulation -------------------------------------------------------

MVS, CVS = ["MV1", "MV2", "MV3"], ["CV1", "CV2"]


@st.composite
def pair_spec(draw):
    mode = draw(st.sampled_from(["tf_s", "tf_z", "stp", "stpxy", "None"]))
    mark = draw(st.integers(0, 1))
    if mode == "tf_s":
        spec = {
            "num_s": [0, draw(st.floats(-5, 5))],
            "den_s": [draw(st.floats(1, 60)), 1],
            "iodelay_s": draw(st.floats(0, 6)),
        }
    elif mode == "tf_z":
        spec = {
            "num_z": draw(coeffs),
            "den_z": [1.0, draw(st.floats(-0.95, 0.95))],
            "iodelay_z": draw(st.integers(0, 3)),
        }
    elif mode == "stp":
        spec = {"stp": draw(st.lists(small, min_size=1, max_size=6))}
    elif mode == "stpxy":
        x = sorted(draw(st.sets(st.integers(0, 8), min_size=1, max_size=4)))
        spec = {"x": x, "y": draw(st.lists(small, min_size=len(x), max_size=len(x)))}
    else:
        spec = {}
    return {"mode": mode, "IntegralMark": mark, **spec}


model_dicts = st.dictionaries(
    st.sampled_from(CVS),
    st.dictionaries(st.sampled_from(MVS), pair_spec(), min_size=1, max_size=3),
    min_size=1,
    max_size=2,
)
ini_values = st.dictionaries(st.sampled_from(MVS + CVS), small, max_size=5)
u_maps = st.dictionaries(st.sampled_from([*MVS, "other"]), small, max_size=3)
v_maps = st.dictionaries(st.sampled_from(CVS), small, max_size=2)


def core_dict(d):
    out = [len(d)]
    for cv, row in d.items():
        out += [cv, len(row)]
        for mv, s in row.items():
            mode, mark = s.get("mode", "None"), s.get("IntegralMark", 0)
            if mode == "tf_s":
                out += [mv, "tf_s", mark, s["num_s"], s["den_s"], float(s["iodelay_s"])]
            elif mode == "tf_z":
                out += [mv, "tf_z", mark, s["num_z"], s["den_z"], s["iodelay_z"]]
            elif mode == "stp":
                out += [mv, "stp", mark, s["stp"]]
            elif mode == "stpxy":
                out += [mv, "stpxy", mark, s["x"], s["y"]]
            else:
                out += [mv, "none", mark]
    return out


@SETTINGS
@given(
    d=model_dicts,
    ini=ini_values,
    steps=st.lists(st.tuples(u_maps, v_maps, st.booleans()), max_size=15),
)
def test_mimo(core, d, ini, steps):
    sim = outcome(lambda: MIMOSim(d, ini, 1))
    c = outcome(lambda: core.new("mimo", ini, 1.0, *core_dict(d)))
    assert (sim == "failed") == (c == "failed")
    if c == "failed":
        return
    for u, v, reset in steps:
        if reset:
            sim.reset()
            core(c, "reset")
        got = nums(core(c, "step", u, v))[1:]
        assert same(list(sim(u, v).values()), got)


@SETTINGS
@given(
    d=model_dicts,
    ini=ini_values,
    plants=st.lists(
        st.tuples(st.integers(0, 3), st.sampled_from([5.0, 10.0, 20.0, 30.0]), st.floats(0.5, 2)),
        min_size=1,
        max_size=4,
    ),
    steps=st.lists(st.tuples(st.floats(0, 40), u_maps, v_maps), max_size=10),
)
def test_lpv(core, d, ini, plants, steps):
    sim, c = LPVPlantSim(ini), core.new("lpv", ini)
    for pid, wp, gain in plants:
        scaled = {cv: {mv: dict(s) for mv, s in row.items()} for cv, row in d.items()}
        for row in scaled.values():
            for s in row.values():
                for key in ("num_s", "num_z", "stp"):
                    if key in s:
                        s[key] = [gain * v for v in s[key]]
        check(
            [
                (
                    lambda: sim.addPlant(pid, wp, scaled, 1),
                    lambda: (core(c, "add", pid, wp, 1.0, *core_dict(scaled)), None)[1],
                )
            ]
        )
    if not sim.plant_list:
        return
    for wv, u, v in steps:
        out = core(c, "step", wv, u, v).split()
        got = dict(zip(out[1::2], [number(t) for t in out[2::2]], strict=True))
        assert same(list(sim(wv, u, v).items()), list(got.items()))
        bank = nums(core(c, "bank"))
        assert same(
            list(sim.get_current_plant_weight_dict().items()),
            list(zip(bank[1::2], bank[2::2], strict=True)),
        )


# --- soft sensor ---------------------------------------------------------------


@SETTINGS
@given(
    tao=st.sampled_from([0.0, 3.0, 5.0]),
    thr=st.sampled_from([0.0, 1e-6, 0.5]),
    prd_len=st.integers(0, 6),
    const_len=st.integers(0, 4),
    calls=st.lists(
        st.tuples(
            small,
            st.sampled_from([1.0, 2.0, 2.5]),
            st.integers(-400, 20),
            st.none() | st.sampled_from([0.0, 1.0]),
        ),
        max_size=25,
    ),
)
def test_soft_sensor(core, tao, thr, prd_len, const_len, calls):
    s = SoftSensorBiasUpdate("S", tao, thr, prd_len, const_len)
    c = core.new("softsensor", "S", tao, thr, prd_len, const_len)
    for k, (prd, lab, lab_dt, trigger) in enumerate(calls):
        now = 1_000.0 + 60 * k
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            bias = s.run(prd, lab, now + lab_dt, now, trigger)
        got = nums(core(c, "run", prd, lab, now + lab_dt, now, trigger))
        assert same([bias, buf.getvalue().count("\n")], got)
        state = [
            s.get_bias(),
            int(s.get_update_flag()),
            s.get_lab_data(),
            s.get_lab_time(),
            s.get_prd_data_at_labtime(),
        ]
        assert same(state, nums(core(c, "state")))


@SETTINGS
@given(
    const_len=st.integers(0, 4),
    thr=st.sampled_from([1e-6, 0.5]),
    values=st.lists(st.sampled_from([1.0, 1.0 + 1e-7, 2.0, 3.0]), max_size=25),
)
def test_lab_recorder_rule(core, tmp_path_factory, const_len, thr, values):
    r = LabDataRecorder(
        abs_threshold=thr, const_len=const_len, csv_dir=str(tmp_path_factory.mktemp("lab"))
    )
    c = core.new("labhistory", const_len + 2)
    for v in values:
        assert int(r.run(v, 0.0)) == nums(core(c, "record", v, thr))[0]


@SETTINGS
@given(x=st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([1e16, 1e-5, 1e-4]))
def test_float_text_is_python_repr(core, x):
    assert core("repr", x) == repr(x)


def test_lab_row_is_local_time_and_repr(core):
    for stamp, lab, value in ((1_700_000_000, 1_700_000_123.9, 0.25), (0, -1.5, 1e20)):
        fmt = "%Y-%m-%d %H:%M:%S"
        expected = (
            f"{time.strftime(fmt, time.localtime(stamp))},"
            f"{time.strftime(fmt, time.localtime(math.floor(lab)))},{value!r}"
        )
        assert core("labrow", stamp, lab, value) == expected
