import copy
import math
import pickle

import numpy as np
import pytest

from korvel.algorithm.loopctl import PID

FORM = (
    "\n"
    "Name: Non-Interacting A\n"
    "Continuous Time:\n"
    "                  1             TD*s\n"
    "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
    "                TI*s         TD\n"
    "                            -----*s  +  1\n"
    "                              N\n"
    "Discrete: (Backward Euler)\n"
    "\n"
    "    1        TS*z\n"
    "---- = ------------\n"
    "    s        z - 1\n"
    "\n"
    "Default Parameters:\n"
    "Kp = 1.0\n"
    "TI = 60.0\n"
    "TD = 0.0\n"
    "N = 10.0\n"
    "TS = 1\n"
)

LIMIT_MESSAGE = "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!\n"


def saved(pid):
    return pid.getInnerSaveState()


class TestConfiguration:
    def test_defaults(self):
        pid = PID()
        assert pid.getPIDParam() == (1.0, 60.0, 0.0, 10.0)
        assert pid.getOPHighLowLimit() == (100.0, 0.0)
        assert pid._iniFlag is True and pid._TS == 1.0

    def test_set_param_clamps_and_resets_omitted_to_defaults(self):
        pid = PID()
        pid.setPIDParam(KP=3.0, TI=10.0, TD=2.0, N=5.0)
        pid.setPIDParam(TI=-5)
        assert pid.getPIDParam() == (1.0, 0.0, 0.0, 10.0)
        pid.setPIDParam(N=0, TD=-1)
        assert pid.getPIDParam() == (1.0, 60.0, 0.0, 1e-6)
        pid.setPIDParam(KP=-2)
        assert pid.getPIDParam()[0] == -2.0

    def test_nan_tuning_is_stored_unchanged(self):
        pid = PID()
        pid.setPIDParam(TI=math.nan, TD=math.nan, N=math.nan)
        assert all(math.isnan(v) for v in pid.getPIDParam()[1:])

    def test_limits(self, capsys):
        pid = PID()
        pid.setOPHighLowLimit(50, 50)
        assert pid.getOPHighLowLimit() == (50.0, 50.0)
        pid.setOPHighLowLimit(0, 100)
        assert capsys.readouterr().out == LIMIT_MESSAGE
        assert pid.getOPHighLowLimit() == (50.0, 50.0)
        pid.setOPHighLowLimit(math.nan, 1)
        assert capsys.readouterr().out == LIMIT_MESSAGE
        pid.setOPHighLowLimit(OP_HI=80)
        assert pid.getOPHighLowLimit() == (80.0, 0.0)
        assert capsys.readouterr().out == ""

    def test_limit_message_goes_through_sys_stdout(self):
        import contextlib
        import io

        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            PID().setOPHighLowLimit(0, 1)
        assert buf.getvalue() == LIMIT_MESSAGE

    def test_form_is_fixed_text(self):
        pid = PID()
        assert pid.getPIDForm() == FORM
        pid.setPIDParam(KP=5, TI=3)
        assert pid.getPIDForm() == FORM
        assert FORM.count("\n") == 20

    def test_configuration_fields_are_assignable(self):
        pid = PID(TS=2)
        assert pid._TS == 2.0
        pid._KP, pid._TI, pid._TD, pid._N = 2.0, 0.0, 10.0, 10.0
        pid._OP_HI, pid._OP_LO = 60.0, -60.0
        assert pid.getPIDParam() == (2.0, 0.0, 10.0, 10.0)
        assert pid.getOPHighLowLimit() == (60.0, -60.0)
        with pytest.raises(TypeError):
            pid._KP = "fast"
        assert pid._KP == 2.0


class TestWorkedNumbers:
    def test_integral_only(self):
        pid = PID()
        assert pid.run(1, 1, 0, 0) == 0.016666666666666666
        assert pid.run(1, 1, 0, 0) == 0.03333333333333333
        s = saved(pid)
        assert (s["dOP_P"], s["dOP_I"], s["dOP_D"]) == (0.0, 0.016666666666666666, 0.0)

    def test_derivative_kick_decays(self):
        pid = PID()
        pid.setPIDParam(KP=2.0, TI=0.0, TD=10.0, N=10.0)
        assert pid.run(1, 1, 0, 50) == 50.0
        assert pid.run(1, 1, 0.5, 50) == 44.0
        assert (saved(pid)["dOP_P"], saved(pid)["dOP_D"]) == (-1.0, -5.0)
        assert pid.run(1, 1, 0.5, 50) == 46.5
        assert saved(pid)["dOP_D"] == 2.5

    def test_windup_is_bounded_by_limits(self):
        pid = PID()
        pid.setPIDParam(TI=1.0)
        assert pid.run(1, 10, 0, 99) == 100.0
        assert saved(pid)["OPcal"] == 109.0
        assert pid.run(1, 10, 0, 99) == 100.0
        assert saved(pid)["OPcal"] == 110.0
        assert pid.run(1, 0, 0, 99) == 90.0

    def test_tracking_outside_limits_keeps_unlimited_tv(self):
        pid = PID()
        assert pid.run(0, 1, 0, 120) == 100.0
        s = saved(pid)
        assert s == {
            "OP": 120.0,
            "OPcal": 120.0,
            "dOP": 0.0,
            "dOP_P": 0.0,
            "dOP_I": 0.0,
            "dOP_D": 0.0,
            "dFF": 0.0,
        }
        assert pid._OP1 == 120.0
        assert pid.run(1, 1, 0, 120) == 100.0
        assert saved(pid)["OPcal"] == 120.01666666666667

    @pytest.mark.parametrize(
        ("mode", "tracking"), [(0.5, True), (1.5, True), (0.7, False), (-0.5, True), (2.5, True)]
    )
    def test_mode_rounds_half_to_even(self, mode, tracking):
        pid = PID()
        pid.run(0, 1, 0, 30)
        out = pid.run(mode, 1, 0, 30)
        assert (out == 30.0) is tracking

    def test_equal_limits(self):
        pid = PID()
        pid.setOPHighLowLimit(50, 50)
        assert {pid.run(m, 7, 1, 3) for m in (0, 1, 1, 0, 1)} == {50.0}

    def test_feed_forward_step(self):
        pid = PID()
        pid.setPIDParam(TI=0.0)
        pid.run(1, 0, 0, 20)
        assert pid.run(1, 0, 0, 20, FF=5) == 25.0
        assert pid.run(1, 0, 0, 20, FF=5) == 25.0
        assert saved(pid)["dFF"] == 0.0

    def test_zero_times_switch_terms_off(self):
        pid = PID()
        pid.setPIDParam(KP=1.0, TI=0.0, TD=0.0)
        pid.run(1, 5, 0, 10)
        pid.run(1, 7, 0, 10)
        s = saved(pid)
        assert s["dOP_I"] == 0.0 and s["dOP_D"] == 0.0 and pid._dOPD1 == 0.0

    def test_first_automatic_call(self):
        pid = PID()
        pid.setPIDParam(KP=2.0, TI=4.0)
        assert pid.run(1, 3, 1, 10) == 10 + ((2.0 * 1.0) / 4.0) * 2.0

    def test_retuning_is_bumpless(self):
        pid = PID()
        pid.run(1, 1, 1, 40)
        pid.run(1, 1, 1, 40)
        pid.setPIDParam(KP=9, TI=3, TD=2)
        assert pid.run(1, 1, 1, 0) == 40.0


def reference_run(steps, KP, TI, TD, N, TS, hi, lo):
    """The algorithm written out with Python floats, for comparison."""
    out, h = [], None
    for mode, sp, pv, tv, ff in steps:
        if h is None:
            h = dict(et1=sp - pv, et2=sp - pv, OP1=tv, FF1=ff, dOPD1=0.0)
        if round(mode) != 1:
            x = lo if lo > tv else tv
            out.append(hi if hi < x else x)
            h = dict(et1=sp - pv, et2=sp - pv, OP1=tv, FF1=ff, dOPD1=0.0)
            continue
        et = sp - pv
        det = et - h["et1"]
        ddet = (et - 2 * h["et1"]) + h["et2"]
        dP = KP * det
        dI = ((KP * TS) / TI) * et if TI > 0 else 0.0
        dD = 0.0
        if TD > 0:
            tao = TD / N
            d = tao + TS
            d = 1e-6 if 1e-6 > d else d
            dD = (tao * h["dOPD1"] + (KP * TD) * ddet) / d
        dOP = ((dP + dI) + dD) + (ff - h["FF1"])
        cal = dOP + h["OP1"]
        x = lo if lo > cal else cal
        op = hi if hi < x else x
        h = dict(et1=et, et2=h["et1"], OP1=op, FF1=ff, dOPD1=dD)
        out.append(op)
    return out


def test_random_sequences_match_reference_bit_for_bit():
    rng = np.random.default_rng(7)
    for _ in range(40):
        KP, TI, TD, N = rng.uniform(-3, 3), rng.choice([0.0, 7.3]), rng.choice([0.0, 4.1]), 8.0
        TS = rng.uniform(0.1, 3)
        steps = [
            (
                float(rng.choice([0, 1, 1, 1])),
                *(float(v) for v in rng.normal(50, 20, 3)),
                float(rng.normal()),
            )
            for _ in range(60)
        ]
        pid = PID(TS)
        pid.setPIDParam(KP, TI, TD, N)
        pid.setOPHighLowLimit(90, 5)
        got = [pid.run(*s) for s in steps]
        assert got == reference_run(steps, KP, TI, TD, N, TS, 90.0, 5.0)


class TestFailures:
    def test_state_fields_do_not_exist_before_first_run(self):
        pid = PID()
        for name in ("_et1", "_et2", "_OP1", "_FF1", "_dOPD1", "_OP_save", "_dFF_save"):
            with pytest.raises(AttributeError, match=f"^'PID' object has no attribute '{name}'$"):
                getattr(pid, name)
            assert not hasattr(pid, name)
        with pytest.raises(AttributeError, match="'_et1'"):
            pid.PID_Auto(1, 0)
        with pytest.raises(AttributeError, match="'_OP_save'"):
            pid.getInnerSaveState()
        assert pid._iniFlag is True and not hasattr(pid, "_et1")
        pid.run(0, 1, 0, 5)
        assert pid._et1 == 1.0 and pid._iniFlag is False

    @pytest.mark.parametrize(
        ("mode", "exc", "message"),
        [
            (math.nan, ValueError, "cannot convert float NaN to integer"),
            (math.inf, OverflowError, "cannot convert float infinity to integer"),
            (-math.inf, OverflowError, "cannot convert float infinity to integer"),
        ],
    )
    def test_unroundable_mode_fails_after_first_call_initialisation(self, mode, exc, message):
        pid = PID()
        with pytest.raises(exc, match=message):
            pid.run(mode, 3, 1, 7)
        assert pid._iniFlag is False and pid._et1 == 2.0 and pid._OP1 == 7.0
        pid.run(1, 3, 1, 7)
        before = saved(pid)
        with pytest.raises(exc):
            pid.run(mode, 100, 1, 7)
        assert saved(pid) == before

    def test_non_numbers_are_type_errors_and_change_nothing(self):
        pid = PID()
        with pytest.raises(TypeError):
            pid.run(1, "1", 0, 0)
        assert pid._iniFlag is True
        with pytest.raises(TypeError):
            pid.setPIDParam(2.0, None)
        assert pid.getPIDParam() == (1.0, 60.0, 0.0, 10.0)
        with pytest.raises(TypeError):
            PID("1")

    def test_non_finite_inputs_propagate(self):
        pid = PID()
        pid.run(1, 1, 0, 0)
        assert math.isnan(pid.run(1, math.nan, 0, 0))
        assert math.isnan(pid._et1)


class TestArgumentBinding:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda p: p.run(1), "run() takes at least 5 positional arguments (2 given)"),
            (lambda p: p.run(), "run() takes at least 5 positional arguments (1 given)"),
            (
                lambda p: p.run(1, 2, 3, 4, 5, 6),
                "run() takes at most 6 positional arguments (7 given)",
            ),
            (
                lambda p: p.run(1, SP=2, TV=3),
                "run() takes at least 5 positional arguments (3 given)",
            ),
            (
                lambda p: p.run(1, 2, 3, 4, MODE=1),
                "run() got multiple values for keyword argument 'MODE'",
            ),
            (lambda p: p.run(1, 2, 3, 4, ff=1), "run() got an unexpected keyword argument 'ff'"),
            (
                lambda p: p.run(1, 2, 3, 4, x=1, MODE=2),
                "run() got an unexpected keyword argument 'x'",
            ),
            (
                lambda p: p.run(1, 2, 3, 4, MODE=2, x=1),
                "run() got multiple values for keyword argument 'MODE'",
            ),
            (
                lambda p: p._resetPID(1, 2, 3),
                "_resetPID() takes exactly 5 positional arguments (4 given)",
            ),
            (
                lambda p: p.getPIDParam(1),
                "getPIDParam() takes exactly 1 positional argument (2 given)",
            ),
            (lambda p: p.getPIDForm(x=1), "getPIDForm() got an unexpected keyword argument 'x'"),
            (
                lambda p: p.setOPHighLowLimit(1, 2, 3),
                "setOPHighLowLimit() takes at most 3 positional arguments (4 given)",
            ),
            (
                lambda p: p._setInnerSaveState(1, 2, 3, 4, 5, 6),
                "_setInnerSaveState() takes exactly 8 positional arguments (7 given)",
            ),
            (lambda p: PID(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
            (lambda p: PID(ts=1), "__init__() got an unexpected keyword argument 'ts'"),
        ],
    )
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call(PID())
        assert str(info.value) == message

    def test_missing_required_is_reported_before_keyword_errors(self):
        with pytest.raises(TypeError, match=r"\(2 given\)"):
            PID().run(1, bogus=3)

    def test_keywords_everywhere(self):
        pid = PID(TS=0.5)
        pid.setPIDParam(N=4.0, TD=1.0, TI=8.0, KP=0.5)
        pid.setOPHighLowLimit(OP_LO=-5.0, OP_HI=5.0)
        assert pid.run(FF=0.0, TV=1.0, PV=0.0, SP=1.0, MODE=1) == pid.getInnerSaveState()["OP"]
        pid._resetPID(FF=0, TV=2, PV=1, SP=1)
        pid._setInnerSaveState(
            dFF_save=7,
            dOP_D_save=6,
            dOP_I_save=5,
            dOP_P_save=4,
            dOP_save=3,
            OPcal_save=2,
            OP_save=1,
        )
        assert list(pid.getInnerSaveState().values()) == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
        assert pid.PID_Auto(SP=1, PV=1, FF=0) == 2.0

    def test_numbers_of_many_kinds_are_accepted(self):
        class Real:
            def __float__(self):
                return 2.0

        class Index:
            def __index__(self):
                return 3

        pid = PID()
        pid.run(np.int64(0), np.float32(1.5), Real(), Index(), True)
        assert pid._et1 == -0.5 and pid._OP1 == 3.0 and pid._FF1 == 1.0
        with pytest.raises(OverflowError):
            pid.run(1, 10**400, 0, 0)


class TestStateSurvives:
    def drive(self, pid, n=30):
        return [
            pid.run(1 if k % 7 else 0, 40 + k % 5, 38.0 + 0.1 * k, 35.0, k % 3) for k in range(n)
        ]

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
    def test_clone_before_and_after_first_run(self, clone):
        pid = PID(0.5)
        pid.setPIDParam(2.0, 9.0, 3.0, 6.0)
        pid.setOPHighLowLimit(80, 10)
        fresh = clone(pid)
        assert not hasattr(fresh, "_et1") and fresh._iniFlag is True
        assert self.drive(fresh) == self.drive(pid)
        twin = clone(pid)
        assert self.drive(twin) == self.drive(pid)
        assert twin.getInnerSaveState() == pid.getInnerSaveState()

    def test_partial_saved_state_survives_pickling(self):
        pid = PID()
        pid._setInnerSaveState(1, 2, 3, 4, 5, 6, 7)
        twin = pickle.loads(pickle.dumps(pid))
        assert twin.getInnerSaveState() == pid.getInnerSaveState()
        assert not hasattr(twin, "_et1")


def test_instance_made_by_new_alone_is_refused():
    pid = PID.__new__(PID)
    with pytest.raises(TypeError):
        pid.run(1, 1, 0, 0)
    with pytest.raises(TypeError):
        pid.getPIDParam()
    pid.__init__(2.0)
    assert pid.run(0, 1, 0, 3) == 3.0


def test_init_again_starts_over():
    pid = PID()
    pid.setPIDParam(KP=5)
    pid.run(1, 1, 0, 0)
    pid.__init__(3.0)
    assert pid._TS == 3.0 and pid.getPIDParam()[0] == 1.0 and pid._iniFlag is True
    assert not hasattr(pid, "_et1")
