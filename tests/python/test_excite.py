import copy
import math
import pickle
import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.excite import TestSignal as Signal


def reference(table, ET, amp, t):
    """The call written plainly in Python on the same table."""
    period_index = t // (2 * ET)
    L = len(table)
    sw = [int((2 * ET) * table[(period_index + k) % L]) for k in range(3)]
    tp = t % (2 * ET)
    if tp < sw[0]:
        n2 = 2 * ET - tp
        return (amp, sw[0] - tp, n2, n2 + sw[1], 4 * ET - tp, 4 * ET - tp + sw[2])
    n1 = 2 * ET - tp
    return (-amp, n1, n1 + sw[1], 4 * ET - tp, 4 * ET - tp + sw[2], 6 * ET - tp)


@pytest.fixture
def known():
    sig = Signal(0)
    sig._rand_arr[1:4] = [0.25, 0.5, 0.75]
    return sig


class TestTable:
    def test_drawn_from_numpys_global_generator(self):
        sig = Signal(1234)
        after = np.random.random()
        np.random.seed(1234)
        expected = np.random.randint(10, 91, 10000) / 100
        assert sig._rand_arr.dtype == np.float64 and sig._rand_arr.shape == (10000,)
        assert (sig._rand_arr == expected).all()
        assert np.random.random() == after  # the generator was left where the draw ends

    def test_same_seed_same_signal(self):
        a, b = Signal(7), Signal(7)
        assert [a(t) for t in range(0, 400, 7)] == [b(t) for t in range(0, 400, 7)]
        fractions = Signal()._rand_arr
        assert fractions.min() >= 0.1 and fractions.max() <= 0.9

    def test_defaults(self):
        sig = Signal(0)
        assert sig.get_ET() == 10 and type(sig.get_ET()) is int
        assert sig.get_amplitude() == 1.0 and type(sig.get_amplitude()) is float


class TestCall:
    def test_high_phase(self, known):
        assert known(23) == (1.0, 2, 17, 27, 37, 52)

    def test_low_phase(self, known):
        assert known(30) == (-1.0, 10, 20, 30, 45, 50)

    def test_switching_instant_is_low(self, known):
        assert known(25)[0] == -1.0
        assert known(24)[0] == 1.0

    def test_negative_time_is_floored(self, known):
        table = known._rand_arr
        assert known(-7) == reference(table, 10, 1.0, -7)
        known._rand_arr[[9999, 0]] = [0.5, 0.25]
        assert known(-7) == (-1.0, 7, 12, 27, 32, 47)  # tp 13, cycles 9999, 0, 1

    def test_truncated_switching_instant(self, known):
        known._rand_arr[2] = 0.57  # 20 * 0.57 == 11.399999999999999
        assert known(40) == (1.0, 11, 20, 35, 40, 55)

    def test_negative_amplitude_becomes_zero(self, known):
        known.set_amplitude(-2)
        high, low = known(23)[0], known(30)[0]
        assert high == 0.0 and math.copysign(1, high) == 1
        assert low == 0.0 and math.copysign(1, low) == -1

    def test_table_edits_apply_at_the_next_call(self, known):
        known._rand_arr[1] = 0.9
        assert known(23)[:2] == (1.0, 15)

    def test_huge_times_use_python_integers(self, known):
        for t in (2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**30, -(10**30) + 7):
            assert known(t) == reference(known._rand_arr, 10, 1.0, t)

    def test_switching_instants_are_at_least_one_second_for_half_cycles_of_five(self):
        sig = Signal(3)
        sig.set_ET(5)
        assert all(sig(t)[0] == 1.0 for t in range(0, 100_000, 10))  # every cycle starts high
        sig.set_ET(2)
        starts = [sig(t)[0] for t in range(0, 40_000, 4)]
        assert -1.0 in starts  # 4 * 0.1 truncates to 0: whole cycles low

    @given(
        st.integers(-(2**70), 2**70) | st.integers(-(10**6), 10**6),
        st.integers(-40, 40).filter(bool),
        st.sampled_from([1.0, 2.5, 3, 0.0]),
    )
    def test_matches_python_transcription(self, t, ET, amp):
        sig = Signal(11)
        sig.set_ET(ET)
        sig.set_amplitude(amp)
        assert sig(t) == reference(sig._rand_arr, ET, amp, t)

    def test_wall_clock_when_no_time_is_given(self):
        sig = Signal(5)
        sig.set_ET(1000)
        before = int(time.time())
        got = sig()
        after = int(time.time())
        assert got in [reference(sig._rand_arr, 1000, 1.0, t) for t in range(before, after + 1)]
        assert sig(None) in [
            reference(sig._rand_arr, 1000, 1.0, t) for t in range(before, after + 2)
        ]

    def test_float_time_fails_like_numpy_indexing(self, known):
        for t in (23.0, 23.5, math.nan):
            with pytest.raises(IndexError) as exc:
                known(t)
            assert str(exc.value) == (
                "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) "
                "and integer or boolean arrays are valid indices"
            )
        assert known(np.int64(23)) == (1.0, 2, 17, 27, 37, 52)

    def test_zero_half_cycle_divides_by_zero(self, known):
        known.set_ET(0)
        with pytest.raises(ZeroDivisionError):
            known(5)


class TestSettings:
    def test_set_ET_truncates(self):
        sig = Signal(0)
        sig.set_ET(12.9)
        assert sig.get_ET() == 12 and type(sig.get_ET()) is int
        sig.set_ET(-3.7)
        assert sig.get_ET() == -3
        sig.set_ET()
        assert sig.get_ET() == 10
        with pytest.raises(ValueError):
            sig.set_ET(math.nan)
        with pytest.raises(OverflowError):
            sig.set_ET(math.inf)
        assert sig.get_ET() == 10

    def test_set_amplitude(self):
        sig = Signal(0)
        sig.set_amplitude(2)
        assert sig.get_amplitude() == 2 and sig(0)[0] == 2
        sig.set_amplitude(math.nan)
        assert sig.get_amplitude() == 0.0
        sig.set_amplitude()
        assert sig.get_amplitude() == 1.0
        with pytest.raises(TypeError):
            sig.set_amplitude("2")
        assert sig.get_amplitude() == 1.0

    def test_argument_binding_messages(self):
        sig = Signal(0)
        cases = [
            (lambda: sig.set_ET(1, 2), "set_ET() takes at most 2 positional arguments (3 given)"),
            (
                lambda: sig.set_amplitude(a=1),
                "set_amplitude() got an unexpected keyword argument 'a'",
            ),
            (lambda: sig.get_ET(1), "get_ET() takes exactly 1 positional argument (2 given)"),
            (lambda: sig(1, t=2), "__call__() got multiple values for keyword argument 't'"),
            (lambda: Signal(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        sig = Signal(21)
        sig.set_ET(7)
        sig.set_amplitude(0.5)
        twin = clone(sig)
        assert twin._rand_arr is not sig._rand_arr
        assert [twin(t) for t in range(-50, 500, 3)] == [sig(t) for t in range(-50, 500, 3)]

    def test_uninitialised_instance_raises(self):
        sig = Signal.__new__(Signal)
        for op in (lambda: sig(1), sig.get_ET, lambda: sig.set_amplitude(1), lambda: sig._rand_arr):
            with pytest.raises(TypeError, match="not initialized"):
                op()
