import copy
import math
import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.clampwind import AntiWindupLimter


def reference(steps):
    """The limiter written plainly in Python."""
    u0 = y0 = None
    out = []
    for u, hi, lo in steps:
        u = float(u)
        if u0 is None:
            u0 = u
        if y0 is None:
            x = lo if lo > u else u
            y0 = hi if hi < x else x
        delta = u - u0
        x = lo if lo > y0 + delta else y0 + delta
        y = hi if hi < x else x
        u0, y0 = u, y
        out.append(y)
    return out


class TestLimiting:
    def test_leaves_the_limit_with_the_first_reversal(self):
        lim = AntiWindupLimter()
        assert [lim(150), lim(160), lim(155)] == [100.0, 100.0, 95.0]

    def test_below_the_band(self):
        lim = AntiWindupLimter()
        assert [lim(-20), lim(-10)] == [0.0, 10.0]

    def test_new_limits_apply_at_once_without_moving_the_input(self):
        lim = AntiWindupLimter()
        assert lim(50) == 50.0
        assert lim(50, HI=40) == 40.0
        assert lim(50, HI=100) == 40.0
        assert (lim._u0, lim._y0) == (50.0, 40.0)

    def test_equal_limits_and_crossed_limits(self):
        lim = AntiWindupLimter()
        assert [lim(u, 7, 7) for u in (-100, 3, 1e9, 7)] == [7.0] * 4
        crossed = AntiWindupLimter()
        assert [crossed(u, HI=10, LO=20) for u in (0, 15, 30)] == [10.0] * 3

    def test_result_is_float_for_integer_limits(self):
        y = AntiWindupLimter()(500, 100, 0)
        assert type(y) is float and y == 100.0

    def test_limits_accept_any_real_number(self):
        lim = AntiWindupLimter()
        assert lim(np.float32(150.0), HI=np.int64(80), LO=True) == 80.0

    def test_nan_input_sticks(self):
        lim = AntiWindupLimter()
        lim(10)
        assert math.isnan(lim(math.nan))
        assert math.isnan(lim(20)) and math.isnan(lim._y0)

    @given(
        st.lists(
            st.tuples(
                st.floats(-1e6, 1e6) | st.integers(-1000, 1000),
                st.floats(-1e3, 1e3),
                st.floats(-1e3, 1e3),
            ),
            max_size=40,
        )
    )
    def test_matches_python_transcription(self, steps):
        lim = AntiWindupLimter()
        assert [lim(u, hi, lo) for u, hi, lo in steps] == reference(steps)


class TestInterface:
    def test_run_and_call_are_the_same_step(self):
        a, b = AntiWindupLimter(), AntiWindupLimter()
        seq = [(150, 100, 0), (40, 60, 10), (-5, 60, 10), (33, 30, 20)]
        assert [a.run(*s) for s in seq] == [b(*s) for s in seq]
        assert (a._u0, a._y0) == (b._u0, b._y0)
        c = AntiWindupLimter()
        c(1)
        c.run(u=5, LO=2, HI=3)
        assert (c._u0, c._y0) == (5.0, 3.0)

    def test_fields_do_not_exist_before_the_first_call(self):
        lim = AntiWindupLimter()
        for name in ("_u0", "_y0"):
            with pytest.raises(
                AttributeError, match=f"'AntiWindupLimter' object has no attribute '{name}'"
            ):
                getattr(lim, name)
        lim(3)
        assert (lim._u0, lim._y0) == (3.0, 3.0)

    def test_a_bad_argument_changes_nothing(self):
        lim = AntiWindupLimter()
        with pytest.raises(TypeError):
            lim(5, HI="x")
        with pytest.raises(AttributeError):
            _ = lim._u0
        with pytest.raises(TypeError):
            lim("5")

    def test_argument_binding_messages(self):
        lim = AntiWindupLimter()
        cases = [
            (lambda: lim(), "__call__() takes at least 2 positional arguments (1 given)"),
            (lambda: lim.run(1, 2, 3, 4), "run() takes at most 4 positional arguments (5 given)"),
            (lambda: lim(1, u=2), "__call__() got multiple values for keyword argument 'u'"),
            (lambda: lim.run(1, hi=2), "run() got an unexpected keyword argument 'hi'"),
            (
                lambda: AntiWindupLimter(1),
                "__init__() takes exactly 1 positional argument (2 given)",
            ),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        fresh = clone(AntiWindupLimter())
        with pytest.raises(AttributeError):
            _ = fresh._y0
        lim = AntiWindupLimter()
        for u in (150, 160):
            lim(u)
        twin = clone(lim)
        seq = [(155, 100, 0), (20, 50, 0), (-30, 50, 0)]
        assert [twin(*s) for s in seq] == [lim(*s) for s in seq]

    def test_uninitialised_instance_raises(self):
        lim = AntiWindupLimter.__new__(AntiWindupLimter)
        for op in (lambda: lim(1), lambda: lim.run(1), lambda: lim._u0, lim.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()
