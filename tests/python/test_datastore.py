import numpy as np
import pytest

from korvel.algorithm.utilities import dataStore


def test_pushes_shift_the_history():
    h = [0, 0, 0, 0]
    for v in (1, 2, 3):
        dataStore(h, v)
    assert h == [3, 2, 1, 0]


@pytest.mark.parametrize(
    "dtype", [np.float64, np.float32, np.int64, np.int8, np.uint16, np.bool_, np.complex128]
)
def test_arrays_of_any_dtype_keep_identity_and_length(dtype):
    a = np.arange(5).astype(dtype)
    expected = a.copy()
    expected[1:] = a[:-1].copy()
    expected[0] = 1
    view = a
    dataStore(a, 1)
    assert a is view and a.dtype == dtype and np.array_equal(a, expected)


def test_value_takes_the_element_type():
    a = np.zeros(3, dtype=np.int64)
    dataStore(a, 7.9)
    assert a.tolist() == [7, 0, 0]
    b = np.zeros(2, dtype=bool)
    dataStore(b, 5)
    assert b.tolist() == [True, False]


def test_strided_views_and_object_arrays():
    base = np.arange(10.0)
    view = base[::2]
    dataStore(view, -1.0)
    assert base.tolist() == [-1, 1, 0, 3, 2, 5, 4, 7, 6, 9]
    obj = np.array([1, "a", None], dtype=object)
    dataStore(obj, (2,))
    assert obj.tolist() == [(2,), 1, "a"]


def test_one_element_history_is_replaced():
    h = [5]
    dataStore(h, 6)
    assert h == [6]


def test_empty_history_fails_without_change():
    with pytest.raises(IndexError):
        dataStore([], 1)
    with pytest.raises(IndexError):
        dataStore(np.zeros(0), 1)


def test_unstorable_value_fails_after_the_shift():
    a = np.array([1.0, 2.0, 3.0])
    with pytest.raises((TypeError, ValueError)):
        dataStore(a, "x")
    assert a.tolist() == [1.0, 1.0, 2.0]
    i = np.array([1, 2])
    with pytest.raises(ValueError):
        dataStore(i, float("nan"))
    assert i.tolist()[1] == 1


def test_list_references_are_kept_alive():
    import sys

    marker = object()
    h = [marker, 1, 2]
    before = sys.getrefcount(marker)
    dataStore(h, 0)
    dataStore(h, 0)
    dataStore(h, 0)
    assert h == [0, 0, 0] and sys.getrefcount(marker) == before - 1


def test_argument_binding():
    with pytest.raises(
        TypeError, match=r"^dataStore\(\) takes exactly 2 positional arguments \(1 given\)$"
    ):
        dataStore([1])
    h = [1, 2]
    dataStore(xt=9, xArray=h)
    assert h == [9, 1]
