import copy
import math
import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.latches import RStrigger, TOFFtrigger, TONtrigger
from korvel.algorithm.utilities import dataStore


class PyTimer:
    """Both timers written plainly in Python with NumPy."""

    def __init__(self, on_delay):
        self.on_delay = on_delay
        self.Ut, self.Yt, self.DT, self.ET = 0, 0, 3, 0
        self.Ut_array = np.zeros(2, dtype=int)

    def call(self):
        dataStore(self.Ut_array, self.Ut)
        a0, a1 = self.Ut_array[0], self.Ut_array[1]
        if self.on_delay:
            if a0 == 0:
                self.ET = self.DT
            if self.ET < self.DT and self.ET > 0:
                self.ET = self.ET - 1
            if a0 > a1:
                self.ET = self.DT - 1
            self.Yt = 0 if self.ET > 0 else 1
        else:
            if a0 > 0:
                self.ET = self.DT
            if self.ET < self.DT and self.ET > 0:
                self.ET = self.ET - 1
            if a0 < a1:
                self.ET = self.DT - 1
            self.Yt = 1 if self.ET > 0 else 0


def drive(timer, inputs, DT=None):
    if DT is not None:
        timer.DT = DT
    out = []
    for u in inputs:
        timer.Ut = u
        timer.call()
        out.append(timer.Yt)
    return out


class TestRStrigger:
    def test_defaults(self):
        rs = RStrigger()
        assert (rs.S, rs.R, rs.Q, rs.nQ) == (0, 0, False, True)
        assert rs.Q_array.dtype == np.bool_ and rs.Q_array.tolist() == [False]

    def test_set_hold_reset_dominates(self):
        rs = RStrigger()
        out = []
        for S, R in [(1, 0), (0, 0), (1, 1), (0, 0), (0, 1), (1, 0)]:
            rs.S, rs.R = S, R
            rs.call()
            out.append((rs.Q, rs.nQ))
        assert out == [
            (True, False),
            (True, False),
            (False, True),
            (False, True),
            (False, True),
            (True, False),
        ]
        assert all(type(q) is bool for q, _ in out)

    def test_inputs_by_truthiness(self):
        rs = RStrigger()
        rs.S, rs.R = "on", []
        rs.call()
        assert rs.Q is True
        rs.S, rs.R = None, np.float64(0.5)
        rs.call()
        assert rs.Q is False
        rs.R = np.array([1, 2])
        with pytest.raises(ValueError):
            rs.call()

    def test_history_array_is_updated_in_place(self):
        rs = RStrigger()
        arr = rs.Q_array
        rs.S = 1
        rs.call()
        assert rs.Q_array is arr and arr.tolist() == [True]
        arr[0] = False  # the caller may edit it: the hold reads it
        rs.S = 0
        rs.call()
        assert rs.Q is False

    def test_other_histories(self):
        rs = RStrigger()
        rs.Q_array = [7]  # held by truthiness, shifted like any history
        rs.call()
        assert rs.Q is True and rs.Q_array == [True]
        rs.Q_array = np.zeros(0, dtype=bool)
        with pytest.raises(IndexError):
            rs.call()


class TestTimers:
    def test_on_delay(self):
        assert drive(TONtrigger(), [0, 1, 1, 1, 1, 0]) == [0, 0, 0, 1, 1, 0]
        assert drive(TONtrigger(), [1, 1, 1, 1]) == [0, 0, 1, 1]
        assert drive(TONtrigger(), [0, 1, 0, 1, 1, 0, 0]) == [0] * 7  # short pulses

    def test_off_delay(self):
        assert drive(TOFFtrigger(), [1, 1, 0, 0, 0, 0]) == [1, 1, 1, 1, 0, 0]
        assert drive(TOFFtrigger(), [1, 0, 1, 1, 0, 0, 0]) == [1, 1, 1, 1, 1, 1, 0]

    def test_delay_of_one_follows_the_input(self):
        seq = [0, 1, 1, 0, 1, 0, 0]
        assert drive(TONtrigger(), seq, DT=1) == seq
        assert drive(TOFFtrigger(), seq, DT=1) == seq

    def test_non_positive_delay_fixes_the_output(self):
        for DT in (0, -2):
            assert drive(TONtrigger(), [0, 1, 0, 1], DT) == [1, 1, 1, 1]
            assert drive(TOFFtrigger(), [0, 1, 0, 1], DT) == [0, 0, 0, 0]

    def test_negative_and_fractional_inputs(self):
        assert drive(TONtrigger(), [0, -1, -1, -1]) == [0, 0, 0, 0]
        assert drive(TOFFtrigger(), [1, -1, -1, -1]) == [1, 1, 1, 0]  # -1 is off
        ton = TONtrigger()
        assert drive(ton, [0.7, 0.7, 0.7]) == [0, 0, 0]
        assert ton.Ut_array.tolist() == [0, 0]  # truncated toward zero
        drive(ton, [-1.9])
        assert ton.Ut_array.tolist() == [-1, 0]

    def test_a_rise_restarts_a_running_count(self):
        assert drive(TONtrigger(), [1, 2, 2, 2]) == [0, 0, 0, 1]

    def test_delay_change_applies_at_the_next_call(self):
        ton = TONtrigger()
        drive(ton, [0])
        assert ton.ET == 3
        ton.DT = 5
        assert drive(ton, [1, 1, 1, 1, 1]) == [0, 0, 0, 0, 1]
        ton.DT = 2  # a running count keeps going down from where it is
        assert drive(ton, [1]) == [1] and ton.ET == 0

    def test_defaults(self):
        for cls in (TONtrigger, TOFFtrigger):
            t = cls()
            assert (t.Ut, t.Yt, t.DT, t.ET) == (0, 0, 3, 0)
            assert t.Ut_array.dtype == np.int64 and t.Ut_array.tolist() == [0, 0]

    def test_nan_input_fails_after_the_shift(self):
        ton = TONtrigger()
        drive(ton, [1])
        state = (ton.Yt, ton.ET)
        ton.Ut = math.nan
        with pytest.raises(ValueError, match="^cannot convert float NaN to integer$"):
            ton.call()
        assert ton.Ut_array.tolist() == [1, 1]
        assert (ton.Yt, ton.ET) == state
        ton.Ut = math.inf
        with pytest.raises(OverflowError):
            ton.call()

    def test_fields_take_any_object(self):
        ton = TONtrigger()
        ton.DT = "x"  # accepted; the call fails when it compares
        ton.Ut = 0
        with pytest.raises(TypeError):
            ton.call()
        ton.DT, ton.ET = 2.5, 2.5
        assert drive(ton, [1, 1, 1, 1]) == [0, 0, 1, 1]
        short = TONtrigger()
        short.Ut_array = np.zeros(1, dtype=int)
        with pytest.raises(IndexError):  # the previous input is read last
            short.call()
        assert short.ET == 3 and short.Ut_array.tolist() == [0]
        toff = TOFFtrigger()
        toff.Ut_array = np.zeros(2)  # a float history keeps fractions
        drive(toff, [0.5])
        assert toff.Ut_array.tolist() == [0.5, 0.0] and toff.Yt == 1

    @given(
        st.booleans(),
        st.integers(-1, 5),
        st.lists(st.sampled_from([-1, 0, 1, 2, 0.7, -0.5, 3.9, True]), max_size=30),
    )
    def test_matches_python_transcription(self, on_delay, DT, inputs):
        timer, ref = (TONtrigger() if on_delay else TOFFtrigger()), PyTimer(on_delay)
        timer.DT = ref.DT = DT
        for u in inputs:
            for t in (timer, ref):
                t.Ut = u
                t.call()
            assert (timer.Yt, timer.ET) == (ref.Yt, ref.ET)
            assert timer.Ut_array.tolist() == ref.Ut_array.tolist()


class TestState:
    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        for cls in (TONtrigger, TOFFtrigger):
            t = cls()
            drive(t, [1, 1, 0])
            twin = clone(t)
            assert twin.Ut_array is not t.Ut_array
            seq = [0, 1, 1, 1, 0, 0, 0]
            assert drive(twin, seq) == drive(t, seq)
        rs = RStrigger()
        rs.S = 1
        rs.call()
        twin = clone(rs)
        for r in (twin, rs):
            r.S = 0
            r.call()
        assert (twin.Q, twin.nQ, twin.Q_array.tolist()) == (True, False, [True])

    @pytest.mark.parametrize("cls", [RStrigger, TONtrigger, TOFFtrigger])
    def test_uninitialised_instance_raises(self, cls):
        obj = cls.__new__(cls)
        with pytest.raises(TypeError, match="not initialized"):
            obj.call()
        with pytest.raises(TypeError, match="not initialized"):
            obj.__getstate__()

    @pytest.mark.parametrize("cls", [RStrigger, TONtrigger, TOFFtrigger])
    def test_binding_messages(self, cls):
        obj = cls()
        with pytest.raises(TypeError) as exc:
            obj.call(1)
        assert str(exc.value) == "call() takes exactly 1 positional argument (2 given)"
        with pytest.raises(TypeError) as exc:
            obj.call(x=1)
        assert str(exc.value) == "call() got an unexpected keyword argument 'x'"
        with pytest.raises(TypeError) as exc:
            cls(1)
        assert str(exc.value) == "__init__() takes exactly 1 positional argument (2 given)"
