import copy
import gc
import math
import pickle
import subprocess
import sys
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.slewguard import RateLimit


class PyRateLimit:
    """The rate limiter written plainly in Python."""

    def __init__(self, u_ini, Ts=1):
        self.u_last = float(u_ini)
        self.Ts = Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        u_last = self.u_last
        rise = abs((PRLimPerMin / 60) * self.Ts)
        fall = -rise if NRLimPerMin is None else -abs((NRLimPerMin / 60) * self.Ts)
        if u_end - u_last >= 0:
            u_out = u_last + rise if (u_end - u_last) > rise else u_end
        else:
            u_out = u_last + fall if (u_end - u_last) < fall else u_end
        self.u_last = u_out
        return float(u_out)


class TestRamp:
    def test_ramp_rounds_and_lands_on_the_target(self):
        lim = RateLimit(3)
        out = [lim(10, 10, -10) for _ in range(45)]
        assert out[:2] == [3.1666666666666665, 3.333333333333333]
        assert out[41] == 9.999999999999998
        assert out[42:] == [10.0, 10.0, 10.0]

    def test_falls_by_the_rising_rate_without_a_falling_one(self):
        lim = RateLimit(0)
        assert [lim(-5, 60) for _ in range(7)] == [-1.0, -2.0, -3.0, -4.0, -5.0, -5.0, -5.0]

    def test_zero_rate_holds_but_returns_an_equal_target(self):
        lim = RateLimit(4)
        assert [lim(9, 0), lim(-9, 0), lim(4, 0)] == [4.0, 4.0, 4.0]

    def test_signs_of_the_rates_are_ignored(self):
        a, b, c = RateLimit(10, 2), RateLimit(10, 2), RateLimit(10, 2)
        assert a(0, 60, -30) == b(0, 60, 30) == c(0, -60, 30) == 9.0
        assert RateLimit(0, 2)(10, -30) == 1.0

    def test_reset_restarts_without_a_ramp(self):
        lim = RateLimit(0)
        lim(100)
        assert lim.reset(7) is None
        assert lim.u_last == 7.0 and type(lim.u_last) is float
        assert lim(7, 0) == 7.0

    def test_target_equal_to_the_output_is_returned_unchanged(self):
        lim = RateLimit(2.5)
        assert lim(2.5, 0, 0) == 2.5

    def test_nan_target_passes_then_limiting_resumes(self):
        lim = RateLimit(0)
        assert math.isnan(lim(math.nan))
        assert lim(50) == 50.0  # the difference is NaN: no limit this call
        assert lim(60) == 51.0

    @given(
        st.floats(-100, 100) | st.integers(-100, 100),
        st.sampled_from([1, 0.5, 2, 3.7]),
        st.lists(
            st.tuples(
                st.floats(-200, 200) | st.integers(-200, 200),
                st.floats(-500, 500) | st.integers(-500, 500),
                st.none() | st.floats(-500, 500) | st.integers(-500, 500),
            ),
            max_size=30,
        ),
    )
    def test_matches_python_transcription(self, u_ini, Ts, steps):
        lim, ref = RateLimit(u_ini, Ts), PyRateLimit(u_ini, Ts)
        for step in steps:
            assert lim(*step) == ref(*step)
            assert lim.u_last == ref.u_last and type(lim.u_last) is type(ref.u_last)


class TestFields:
    def test_construction(self):
        lim = RateLimit(3)
        assert lim.u_last == 3.0 and type(lim.u_last) is float
        assert lim.Ts == 1 and type(lim.Ts) is int
        assert RateLimit(u_ini=1, Ts=0.5).Ts == 0.5

    def test_fields_take_any_object_and_calls_use_python_arithmetic(self):
        lim, ref = RateLimit(0), PyRateLimit(0)
        for o in (lim, ref):
            o.Ts = Fraction(1, 3)
            o.u_last = Fraction(1, 2)
        for target in (10, Fraction(7, 5), -3):
            assert lim(target) == ref(target)
            assert lim.u_last == ref.u_last and type(lim.u_last) is type(ref.u_last)

    def test_a_bad_field_fails_the_call_not_the_assignment(self):
        lim = RateLimit(0)
        lim.Ts = "fast"
        with pytest.raises(TypeError):
            lim(1)
        assert lim.u_last == 0.0
        lim.Ts = None
        lim.u_last = None
        with pytest.raises(TypeError):
            lim(1)

    def test_reaching_the_target_stores_the_target_itself(self):
        lim = RateLimit(9.5)
        assert lim(10) == 10.0
        assert lim.u_last == 10 and type(lim.u_last) is int

    def test_argument_binding_messages(self):
        lim = RateLimit(0)
        cases = [
            (lambda: RateLimit(), "__init__() takes at least 2 positional arguments (1 given)"),
            (lambda: lim(1, 2, 3, 4), "__call__() takes at most 4 positional arguments (5 given)"),
            (lambda: lim(1, PRLim=5), "__call__() got an unexpected keyword argument 'PRLim'"),
            (lambda: lim.reset(), "reset() takes exactly 2 positional arguments (1 given)"),
            (
                lambda: RateLimit(1, u_ini=2),
                "__init__() got multiple values for keyword argument 'u_ini'",
            ),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message
        with pytest.raises(TypeError):
            RateLimit("3")
        with pytest.raises(TypeError):
            lim.reset(None)
        assert lim.u_last == 0.0

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        lim = RateLimit(3, 0.5)
        for _ in range(5):
            lim(10, 10)
        twin = clone(lim)
        assert twin.Ts == 0.5
        assert [twin(-4, 30, 7) for _ in range(50)] == [lim(-4, 30, 7) for _ in range(50)]

    def test_uninitialised_instance_raises(self):
        lim = RateLimit.__new__(RateLimit)
        for op in (lambda: lim(1), lambda: lim.reset(1), lambda: lim.u_last, lim.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()

    def test_reference_cycles_through_fields_are_collected(self):
        freed = []

        class Marker:
            def __del__(self):
                freed.append(True)

        lim = RateLimit(0)
        lim.Ts, lim.u_last = lim, Marker()
        del lim
        gc.collect()
        assert freed == [True]


def test_demonstration():
    done = subprocess.run(
        [sys.executable, "-m", "korvel.algorithm", "slewguard"],
        capture_output=True,
        text=True,
        check=True,
    )
    values = [3]
    ref = PyRateLimit(values[-1])
    for _ in range(100):
        values.append(ref(10, 10, -10))
    assert done.stdout == f"{values}\n"
