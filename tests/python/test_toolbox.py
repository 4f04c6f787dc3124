import pickle
import re
import time

import numpy as np
import pytest
from scipy import signal

from korvel.algorithm import toolbox
from korvel.algorithm.toolbox import (
    c2d,
    current_time_str,
    dataStore,
    dict2pairs,
    pair2dict,
    str2xpyp,
)


def bits(a):
    a = np.asarray(a)
    return a.dtype, a.shape, a.tobytes()


def ref_c2d(Gs_num, Gs_den, Gs_delay, Ts=1, method="zoh"):
    Gs_num = np.array(Gs_num, dtype=float)
    Gs_den = np.array(Gs_den, dtype=float)
    Gs_num = Gs_num[np.where(Gs_num != 0)[0][0] :]
    num, den, _ = signal.cont2discrete((Gs_num, Gs_den), dt=Ts, method=method, alpha=None)
    d = int(round(Gs_delay / Ts))
    return np.hstack((np.zeros(d), num[0])), den


def ref_str2xpyp(s):
    used = [e for e in s.split("#") if "," in e and len(e) >= 2]
    xp = [float(e.split(",")[0]) for e in used]
    yp = [float(e.split(",")[1]) for e in used]
    order = np.argsort(xp)
    return np.array(xp)[order].tolist(), np.array(yp)[order].tolist()


class TestC2d:
    def test_worked_example(self):
        num, den = c2d([0, 4.05], [50, 1], 25, 1)
        assert num.dtype == np.float64 and den.dtype == np.float64
        assert len(num) == 27 and num[:26].tolist() == [0.0] * 26
        assert num[26] == pytest.approx(0.0801954, abs=1e-7)
        assert den.tolist() == pytest.approx([1.0, -0.9801987], abs=1e-7)
        y = signal.lfilter(num, den, np.ones(30))
        assert y[25] == 0.0 and y[26] > 0.0

    @pytest.mark.parametrize(
        "method", ["zoh", "foh", "bilinear", "euler", "backward_diff", "impulse"]
    )
    def test_random_systems_match_cont2discrete(self, method):
        rng = np.random.default_rng(len(method))
        for _ in range(10):
            n = int(rng.integers(1, 4))
            den = np.poly(-rng.uniform(0.1, 3, n)) * rng.uniform(0.5, 4)
            num = [0.0] * int(rng.integers(0, 3)) + rng.standard_normal(
                int(rng.integers(1, n + 1))
            ).tolist()
            Ts = rng.choice([1, 0.5, 2.0, 3])
            delay = float(rng.uniform(0, 10))
            got = c2d(num, den.tolist(), delay, Ts, method)
            want = ref_c2d(num, den.tolist(), delay, Ts, method)
            assert bits(got[0]) == bits(want[0]) and bits(got[1]) == bits(want[1])

    def test_dead_time_rounds_half_to_even(self):
        base = len(c2d([1], [1, 1], 0)[0])
        for delay, Ts, extra in [
            (2.5, 1, 2),
            (3.5, 1, 4),
            (0.5, 1, 0),
            (1.5, 1, 2),
            (2.6, 1, 3),
            (10, 4, 2),
            (-0.4, 1, 0),
        ]:
            assert len(c2d([1], [1, 1], delay, Ts)[0]) == base + extra

    def test_leading_zeros_and_integer_input(self):
        a, b = c2d([0, 0, 2], [1, 3, 1], 0), c2d([2], [1, 3, 1], 0)
        assert bits(a[0]) == bits(b[0]) and bits(a[1]) == bits(b[1])
        num, den = c2d([1, 0], [1, 2, 1], 1, Ts=1)  # inner and trailing zeros stay
        assert bits(num) == bits(ref_c2d([1.0, 0.0], [1, 2, 1], 1)[0])

    def test_failures(self):
        with pytest.raises(IndexError):
            c2d([0, 0], [1, 1], 0)
        with pytest.raises(IndexError):
            c2d([], [1, 1], 0)
        with pytest.raises(ValueError):
            c2d([1, 2, 3], [1, 1], 0)  # improper
        with pytest.raises(ValueError, match="Alpha parameter must be specified"):
            c2d([1], [1, 1], 0, 1, "gbt")
        with pytest.raises(ZeroDivisionError):
            c2d([1], [1, 1], 1, 0)
        with pytest.raises(ValueError, match="negative dimensions"):
            c2d([1], [1, 1], -2)
        with pytest.raises(
            TypeError, match=r"c2d\(\) takes at least 3 positional arguments \(2 given\)"
        ):
            c2d([1], [1, 1])
        with pytest.raises(
            TypeError, match=r"c2d\(\) takes at most 5 positional arguments \(6 given\)"
        ):
            c2d([1], [1, 1], 0, 1, "zoh", 1)
        assert len(c2d(Gs_num=[1], Gs_den=[1, 1], Gs_delay=2, Ts=1, method="zoh")[0]) == 4


class TestDict2Pairs:
    def test_depth_first_in_insertion_order(self):
        d = {"1": {"2": {"3": {"4": 5}, "6": 7}, "8": 9}}
        assert list(dict2pairs(d)) == [("1.2.3.4", 5), ("1.2.6", 7), ("1.8", 9)]
        assert list(dict2pairs({"a": 1, "b": {"c": 2}})) == [("a", 1), ("b.c", 2)]
        assert list(dict2pairs({})) == [] and list(dict2pairs({"a": {}})) == []
        assert list(dict2pairs({"x": 1}, "top")) == [("top.x", 1)]
        assert list(dict2pairs({1: {2: "v"}})) == [("1.2", "v")]

    def test_values_are_produced_as_they_are(self):
        leaf = [1, 2]
        ((_, v),) = dict2pairs({"k": leaf})
        assert v is leaf

    def test_lazy_reads_the_dict_while_iterating(self):
        d = {"a": 1, "b": {"c": 2}}
        g = dict2pairs(d)
        assert iter(g) is g
        d["a"] = 10
        assert next(g) == ("a", 10)
        d["b"]["c"] = 3
        assert next(g) == ("b.c", 3)
        with pytest.raises(StopIteration):
            next(g)

    def test_changing_the_dict_while_iterating_fails_and_ends_the_iteration(self):
        d = {"a": 1, "b": 2}
        g = dict2pairs(d)
        next(g)
        d["c"] = 3
        with pytest.raises(RuntimeError, match="changed size during iteration"):
            next(g)
        assert list(g) == []
        inner = {"x": 1, "y": 2}
        g = dict2pairs({"b": inner})
        next(g)
        del inner["y"]
        with pytest.raises(RuntimeError):
            next(g)

    def test_type_of_d_is_checked_on_the_call(self):
        with pytest.raises(
            TypeError, match=r"Argument 'd' has incorrect type \(expected dict, got list\)"
        ):
            dict2pairs([])
        with pytest.raises(TypeError, match="expected dict, got collections.OrderedDict"):
            from collections import OrderedDict

            dict2pairs(OrderedDict())

    def test_iterator_is_not_picklable(self):
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(dict2pairs({"a": 1}))


class TestPair2Dict:
    def test_walk_creates_and_replaces(self):
        d = {}
        pair2dict(("a.b.c", 5), d)
        assert d == {"a": {"b": {"c": 5}}}
        pair2dict(("a.b.d", 6), d)
        assert d == {"a": {"b": {"c": 5, "d": 6}}}
        pair2dict(("a.b", 0), d)
        assert d == {"a": {"b": 0}}

    def test_edge_keys(self):
        for path, expected in [
            ("k", {"k": 1}),
            ("", {"": 1}),
            (".a", {"": {"a": 1}}),
            ("a..b", {"a": {"": {"b": 1}}}),
        ]:
            d = {}
            pair2dict((path, 1), d)
            assert d == expected

    def test_round_trip(self):
        d = {"L1": {"data": {"SP": 1.0, "PV": 2.0}, "mode": "AUTO"}, "L2": {"x": [1]}}
        rebuilt = {}
        for pair in dict2pairs(d):
            pair2dict(pair, rebuilt)
        assert rebuilt == d

    def test_path_through_a_leaf(self):
        d = {"a": 5}
        with pytest.raises(TypeError, match=r"^Expected dict, got int$"):
            pair2dict(("a.b", 1), d)
        assert d == {"a": 5}
        d = {}
        with pytest.raises(TypeError, match="Expected dict, got str"):
            pair2dict(("x.y.z", 1), {"x": {"y": "leaf"}})
        pair2dict(("n.m", 1), d)
        with pytest.raises(TypeError):
            pair2dict(("n.m.k", 2), d)
        assert d == {"n": {"m": 1}}

    def test_arguments_are_checked_before_d_is_touched(self):
        d = {}
        with pytest.raises(
            TypeError, match=r"Argument 'pair' has incorrect type \(expected tuple, got list\)"
        ):
            pair2dict(["a", 1], d)
        with pytest.raises(
            TypeError, match=r"Argument 'd' has incorrect type \(expected dict, got list\)"
        ):
            pair2dict(("a", 1), [])
        with pytest.raises(ValueError, match="too many values to unpack"):
            pair2dict(("a", 1, 2), d)
        with pytest.raises(ValueError, match="not enough values to unpack"):
            pair2dict(("a",), d)
        with pytest.raises(TypeError):
            pair2dict((3, 1), d)
        assert d == {}


class TestStr2xpyp:
    def test_examples(self):
        assert str2xpyp("100,1#0,5#50,3") == ([0.0, 50.0, 100.0], [5.0, 3.0, 1.0])
        assert str2xpyp("0,0##7#10,20") == ([0.0, 10.0], [0.0, 20.0])
        assert str2xpyp("") == ([], []) and str2xpyp("abc") == ([], [])
        assert str2xpyp(" 1 , 2 #3,4") == ([1.0, 3.0], [2.0, 4.0])
        assert str2xpyp("1,2,3#,") == ([1.0], [2.0])
        text = "1e2,inf#nan,1_0#-3,-0.5"
        assert repr(str2xpyp(text)) == repr(ref_str2xpyp(text))  # NaN sorts last

    def test_random_texts_sort_as_argsort_does(self):
        rng = np.random.default_rng(8)
        for n in [1, 2, 5, 17, 40, 200]:
            for _ in range(5):
                xs = rng.integers(0, max(2, n // 3), n)  # plenty of ties
                ys = rng.standard_normal(n)
                s = "#".join(f"{x},{float(y)!r}" for x, y in zip(xs, ys, strict=True))
                got = str2xpyp(s)
                assert got == ref_str2xpyp(s)
                assert all(type(v) is float for v in got[0] + got[1])

    def test_bad_fields(self):
        for s in ["1,", ",2", "a,b", "1,2#3,x"]:
            with pytest.raises(ValueError, match="could not convert string to float"):
                str2xpyp(s)
        with pytest.raises(ValueError, match="'b'"):
            str2xpyp("1,a#b,2")  # every x is read before any y
        with pytest.raises(
            TypeError, match=r"Argument 's' has incorrect type \(expected str, got bytes\)"
        ):
            str2xpyp(b"1,2")


class TestTimeAndDataStore:
    def test_current_time_str(self):
        before = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime())
        text = current_time_str()
        after = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime())
        assert len(text) == 19 and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", text)
        assert before <= text <= after
        with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
            current_time_str(1)

    def test_data_store(self):
        h = [0, 0, 0, 0]
        for v in (1, 2, 3):
            dataStore(h, v)
        assert h == [3, 2, 1, 0]
        a = np.zeros(3)
        dataStore(a, 7)
        dataStore(xArray=a, xt=8.5)
        assert a.tolist() == [8.5, 7.0, 0.0]
        one = [5]
        dataStore(one, 6)
        assert one == [6]
        with pytest.raises(IndexError):
            dataStore([], 1)
        assert toolbox.dataStore.__doc__
