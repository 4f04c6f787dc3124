import copy
import gc
import math
import pickle
from collections import deque

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.deadtime import Delay, Delay_Algorithm
from korvel.algorithm.utilities import dataStore


def drive(block, inputs, nLag=None):
    out = []
    for u in inputs:
        block.Ut = u
        if nLag is not None:
            block.nLag = nLag
        block.call()
        out.append(block.Yt)
    return out


class PyDelayAlgorithm:
    """The field-driven delay written plainly in Python with NumPy."""

    def __init__(self):
        self.Ut, self.Yt, self.nLag = 0, 0, 1
        self.U_array = np.array([], dtype=float)

    def call(self):
        if self.U_array.size == 0:
            self.U_array = np.array([self.Ut], dtype=float)
        if self.nLag > self.U_array.size - 1:
            pad = np.full(self.nLag + 1 - self.U_array.size, self.U_array[-1])
            self.U_array = np.hstack([self.U_array, pad])
        dataStore(self.U_array, self.Ut)
        self.Yt = self.U_array[self.nLag]


class TestDelayAlgorithm:
    def test_defaults(self):
        d = Delay_Algorithm()
        assert (d.Ut, d.Yt, d.nLag) == (0, 0, 1)
        assert isinstance(d.U_array, np.ndarray) and d.U_array.dtype == np.float64
        assert d.U_array.size == 0

    def test_delay_of_two(self):
        d = Delay_Algorithm()
        assert drive(d, [1, 2, 3, 4], nLag=2) == [1.0, 1.0, 1.0, 2.0]

    def test_growing_delay_extends_with_the_oldest_value(self):
        d = Delay_Algorithm()
        assert drive(d, [1, 2, 3]) == [1.0, 1.0, 2.0]
        assert d.U_array.tolist() == [3.0, 2.0]
        d.nLag = 3
        assert drive(d, [4]) == [2.0]
        assert d.U_array.tolist() == [4.0, 3.0, 2.0, 2.0]

    def test_zero_delay_and_shrinking_delay(self):
        d = Delay_Algorithm()
        assert drive(d, [5, 6], nLag=0) == [5.0, 6.0]
        assert d.U_array.tolist() == [6.0]
        drive(d, [7, 8, 9], nLag=2)
        d.nLag = 1
        assert drive(d, [10]) == [9.0]
        assert d.U_array.size == 3  # never shortened

    def test_history_is_shifted_in_place_and_replaced_when_grown(self):
        d = Delay_Algorithm()
        d.nLag = 0
        d.call()
        arr = d.U_array
        d.nLag = 1
        d.Ut = 1.5
        d.call()
        assert d.U_array is not arr  # grown: a new array
        arr = d.U_array
        d.Ut = 2.5
        d.call()
        assert d.U_array is arr and arr.tolist() == [2.5, 1.5]
        arr[1] = -1.0  # the caller may edit the live array
        d.call()
        assert d.Yt == 2.5 and arr.tolist() == [2.5, 2.5]

    def test_assigning_an_empty_array_restarts(self):
        d = Delay_Algorithm()
        drive(d, [1, 2, 3], nLag=2)
        d.U_array = np.array([])
        assert drive(d, [9], nLag=2) == [9.0]
        assert d.U_array.tolist() == [9.0, 9.0, 9.0]

    def test_negative_delay_reads_from_the_old_end(self):
        d = Delay_Algorithm()
        drive(d, [1, 2, 3, 4], nLag=3)
        assert d.U_array.tolist() == [4.0, 3.0, 2.0, 1.0]
        assert drive(d, [5], nLag=-1) == [2.0]
        d.nLag = -5
        with pytest.raises(IndexError) as exc:
            d.call()
        assert str(exc.value) == "index -5 is out of bounds for axis 0 with size 4"
        assert d.U_array.tolist() == [5.0, 5.0, 4.0, 3.0]  # shifted before the failure
        assert d.Yt == 2.0

    def test_non_integer_delay_fails_in_the_array_operations(self):
        d = Delay_Algorithm()
        drive(d, [1, 2, 3], nLag=2)
        d.Ut, d.nLag = 4, 1.0
        with pytest.raises(IndexError, match="only integers, slices"):
            d.call()
        assert d.U_array.tolist() == [4.0, 3.0, 2.0]
        d.nLag = 7.5  # more history needed: fails before the shift
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            d.call()
        assert d.U_array.tolist() == [4.0, 3.0, 2.0]
        d.nLag = None
        with pytest.raises(TypeError):
            d.call()
        d.nLag = np.int64(1)
        d.call()
        assert d.Yt == 4.0
        d.nLag, d.Ut = True, 5  # a delay of 1, not a boolean mask
        d.call()
        assert d.Yt == 4.0

    def test_fields_take_any_object(self):
        d = Delay_Algorithm()
        d.U_array = [1.0, 2.0]  # a plain list is shifted like any history
        d.Ut, d.nLag = 3, 0
        d.call()
        assert d.U_array == [3, 1.0] and d.Yt == 3
        d.Ut = "x"
        d.call()
        assert d.U_array == ["x", 3] and d.Yt == "x"  # a list takes any value
        e = Delay_Algorithm()
        e.Ut = None  # NumPy stores None into a float array as NaN
        e.call()
        assert math.isnan(e.Yt) and e.U_array.size == 2
        f = Delay_Algorithm()
        f.Ut = "abc"
        with pytest.raises(ValueError):
            f.call()
        assert f.U_array.size == 0  # the first history is only kept once filled

    def test_unconvertible_input_fails_after_the_shift(self):
        d = Delay_Algorithm()
        drive(d, [1, 2], nLag=1)
        d.Ut = "abc"
        with pytest.raises(ValueError):
            d.call()
        assert d.U_array.tolist() == [2.0, 2.0]

    @given(
        st.lists(
            st.tuples(
                st.floats(allow_nan=False) | st.integers(-(2**62), 2**62) | st.booleans(),
                st.integers(0, 6),
            ),
            max_size=25,
        )
    )
    def test_matches_python_transcription(self, steps):
        d, ref = Delay_Algorithm(), PyDelayAlgorithm()
        for u, lag in steps:
            for o in (d, ref):
                o.Ut, o.nLag = u, lag
                o.call()
            assert d.Yt == ref.Yt
            assert d.U_array.tolist() == ref.U_array.tolist()

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        d = Delay_Algorithm()
        drive(d, [1, 2, 3, 4], nLag=2)
        twin = clone(d)
        assert twin.U_array is not d.U_array
        inputs = [5, 6, 7, 8, 9]
        assert drive(twin, inputs, nLag=3) == drive(d, inputs, nLag=3)
        assert twin.U_array.tolist() == d.U_array.tolist()

    def test_uninitialised_instance_raises(self):
        d = Delay_Algorithm.__new__(Delay_Algorithm)
        for op in (d.call, lambda: d.Yt, d.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()
        with pytest.raises(TypeError, match="not initialized"):
            d.Ut = 1

    def test_call_takes_no_arguments(self):
        with pytest.raises(TypeError) as exc:
            Delay_Algorithm().call(1)
        assert str(exc.value) == "call() takes exactly 1 positional argument (2 given)"

    def test_reference_cycles_through_fields_are_collected(self):
        freed = []

        class Marker:
            def __del__(self):
                freed.append(True)

        d = Delay_Algorithm()
        d.Ut, d.Yt = d, Marker()
        del d
        gc.collect()
        assert freed == [True]


class TestDelay:
    def test_prefilled_with_the_first_input(self):
        d, z = Delay(), Delay()
        assert [d(u) for u in (5, 6, 7)] == [5, 5, 6]
        assert [z(u, 0) for u in (5, 6, 7)] == [5, 6, 7]
        assert len(d._cache) == 10000

    def test_lag_bounds(self):
        d = Delay(3)
        assert d(1, 2) == 1
        with pytest.raises(ValueError) as exc:
            d(2, 3)
        assert str(exc.value) == "nLag must be between 0 and 2, but got 3."
        assert d(3, 1) == 2  # the failed call's input is in the history
        with pytest.raises(ValueError, match=r"^nLag must be between 0 and 2, but got -1\.$"):
            d(4, -1)
        with pytest.raises(ValueError, match=r"^nLag must be between 0 and 9999, but got 10000\.$"):
            Delay()(0, 10000)
        with pytest.raises(ValueError, match=r"but got 1267650600228229401496703205376\.$"):
            Delay()(0, 2**100)

    def test_none_before_any_history(self):
        d = Delay(4)
        with pytest.raises(ValueError) as exc:
            d(None)
        assert str(exc.value) == "Ut is None and cache is empty."
        assert len(d._cache) == 0
        assert [d(1), d(None), d(2), d(3, 2)] == [1, 1, None, None]
        assert list(d._cache) == [3, 2, None, 1]

    def test_zero_capacity_always_fails(self):
        d = Delay(0)
        with pytest.raises(ValueError, match=r"^nLag must be between 0 and -1, but got 0\.$"):
            d(1, 0)
        with pytest.raises(ValueError, match=r"^Ut is None and cache is empty\.$"):
            d(None, 0)

    def test_capacity_and_lag_must_be_ints(self):
        with pytest.raises(ValueError, match="^maxlen must be non-negative$"):
            Delay(-1)
        with pytest.raises(TypeError) as exc:
            Delay(10.0)
        assert str(exc.value) == "Argument 'max_cache' has incorrect type (expected int, got float)"
        d = Delay(5)
        for lag in (1.0, True, None):
            with pytest.raises(TypeError, match="Argument 'nLag' has incorrect type"):
                d(7, lag)
        assert len(d._cache) == 0  # nothing stored by a refused call

    def test_cache_view(self):
        d = Delay(3)
        d(1)
        d("two")
        view = d._cache
        assert view == deque(["two", 1, 1], maxlen=3)
        view.appendleft(0)
        assert d(3, 2) == 1  # the view is a copy

    def test_values_are_returned_as_given(self):
        d = Delay(2)
        token = object()
        d(token)
        assert d(1) is token

    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        empty = clone(Delay(4))
        with pytest.raises(ValueError, match="cache is empty"):
            empty(None)
        d = Delay(4)
        for u in (1.5, None, 3):
            d(u)
        twin = clone(d)
        assert twin._cache == d._cache and twin._cache.maxlen == 4
        seq = [(4, 3), (5, 0), (6, 2), (7, 3)]
        assert [twin(*s) for s in seq] == [d(*s) for s in seq]

    def test_argument_binding_messages(self):
        d = Delay()
        cases = [
            (lambda: d(), "__call__() takes at least 2 positional arguments (1 given)"),
            (lambda: d(1, 2, 3), "__call__() takes at most 3 positional arguments (4 given)"),
            (lambda: d(1, lag=2), "__call__() got an unexpected keyword argument 'lag'"),
            (lambda: Delay(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message
        assert d(Ut=4, nLag=0) == 4

    def test_uninitialised_instance_raises(self):
        d = Delay.__new__(Delay)
        for op in (lambda: d(1), lambda: d._cache, d.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()

    def test_nan_is_delayed_like_any_value(self):
        d = Delay(3)
        d(math.nan)
        assert math.isnan(d(1.0, 1))
