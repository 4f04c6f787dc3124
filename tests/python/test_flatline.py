import copy
import math
import pickle
from collections import deque

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.flatline import ConstDect


class PyConstDect:
    """The detector written plainly in Python with NumPy."""

    def __init__(self):
        self._U_queue = deque()

    def __call__(self, Ut, DectLen=10):
        self._U_queue.append(Ut)
        while len(self._U_queue) < DectLen:
            self._U_queue.append(Ut)
        while len(self._U_queue) > DectLen:
            self._U_queue.popleft()
        q = np.array(self._U_queue, dtype=float)
        with np.errstate(invalid="ignore"):
            Udiff = np.abs(np.diff(q, prepend=q[0]))
        return bool(np.all(np.where(Udiff < 1e-6, True, False)))


def run(det, inputs, n):
    return [det(u, n) for u in inputs]


class TestDetection:
    def test_first_call_is_constant(self):
        assert ConstDect()(123.4) is True

    def test_step_is_reported_while_both_sides_are_in_the_window(self):
        assert run(ConstDect(), [1, 1, 2, 2, 2], 3) == [True, True, False, False, True]

    def test_tolerance_is_strict(self):
        assert run(ConstDect(), [0, 1e-6], 3) == [True, False]
        assert run(ConstDect(), [0, 5e-7, 1e-6], 3) == [True, True, True]

    def test_window_of_one_is_always_constant(self):
        assert run(ConstDect(), [0, 5, -3, math.nan, 2], 1) == [True, True, True, False, True]

    def test_window_length_changes(self):
        det = ConstDect()
        run(det, range(10), 10)
        assert det(9, 3) is False
        assert list(det._U_queue) == [8, 9, 9]  # trimmed in the same call
        assert det(9, 6) is False
        assert list(det._U_queue) == [8, 9, 9, 9, 9, 9]  # filled with the current sample
        assert det(9, 5) is True

    def test_non_finite_samples_are_never_constant(self):
        det = ConstDect()
        assert run(det, [1, math.nan, 1, 1, 1], 3) == [True, False, False, False, True]
        assert ConstDect()(math.inf, 2) is False

    @given(
        st.lists(
            st.tuples(
                st.sampled_from([0.0, 1e-6, 5e-7, -5e-7, 1.0, 2, math.nan, math.inf, 3e-6]),
                st.integers(1, 8),
            ),
            max_size=40,
        )
    )
    def test_matches_numpy_transcription(self, steps):
        det, ref = ConstDect(), PyConstDect()
        for u, n in steps:
            assert det(u, n) is ref(u, n)
            # The same objects (math.nan included), so == holds item by item.
            assert list(det._U_queue) == list(ref._U_queue)


class TestFailures:
    def test_zero_length_empties_then_fails(self):
        det = ConstDect()
        run(det, [1, 2], 3)
        with pytest.raises(IndexError, match="^deque index out of range$"):
            det(3, 0)
        assert len(det._U_queue) == 0
        assert det(4, 2) is True

    def test_negative_length_empties_then_fails(self):
        det = ConstDect()
        run(det, [1, 2], 3)
        with pytest.raises(IndexError, match="^pop from an empty deque$"):
            det(3, -2)
        assert len(det._U_queue) == 0

    def test_refused_arguments_change_nothing(self):
        det = ConstDect()
        det(1, 3)
        with pytest.raises(TypeError) as exc:
            det(1, 3.0)
        assert str(exc.value) == "Argument 'DectLen' has incorrect type (expected int, got float)"
        with pytest.raises(TypeError, match="expected int, got bool"):
            det(1, True)
        with pytest.raises(TypeError):
            det("1", 3)
        assert list(det._U_queue) == [1, 1, 1]

    def test_argument_binding_messages(self):
        det = ConstDect()
        cases = [
            (lambda: det(), "__call__() takes at least 2 positional arguments (1 given)"),
            (lambda: det(1, 2, 3), "__call__() takes at most 3 positional arguments (4 given)"),
            (lambda: det(1, Ut=2), "__call__() got multiple values for keyword argument 'Ut'"),
            (lambda: ConstDect(3), "__init__() takes exactly 1 positional argument (2 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message
        assert det(Ut=1, DectLen=2) is True


class TestState:
    def test_queue_is_a_copy_of_the_samples_as_given(self):
        det = ConstDect()
        det(1, 2)
        det(np.float64(1.0), 2)
        q = det._U_queue
        assert isinstance(q, deque) and list(q) == [1, 1.0]
        assert type(q[0]) is int and type(q[1]) is np.float64
        q.append(99)
        assert len(det._U_queue) == 2

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        det = ConstDect()
        run(det, [1, 1, 2], 4)
        twin = clone(det)
        seq = [2, 2, 2, 3, 3, 3, 3, 3]
        assert run(twin, seq, 4) == run(det, seq, 4)
        assert twin._U_queue == det._U_queue

    def test_uninitialised_instance_raises(self):
        det = ConstDect.__new__(ConstDect)
        for op in (lambda: det(1), lambda: det._U_queue, det.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()
