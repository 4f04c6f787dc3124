import collections
import contextlib
import copy
import gc
import math
import os
import pickle
import random
import re
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import weakref
from pathlib import Path

import numpy as np
import pytest
from scipy import signal

import korvel.algorithm.labbias as labbias_module
from korvel.algorithm.labbias import LabDataRecorder, SoftSensorBiasUpdate
from korvel.algorithm.tfblock import sFilter

FIRST = "{}: Bias Update is triggered by the first data.\n"
UNCHANGED = "{}: Bias Update is not triggered, lab_data or lab_time is unchanged.\n"
FMT = "%Y-%m-%d %H:%M:%S"
HEADER = "ExportTime,LabTime,LabData\n"
# Child processes import the same build of the package as this one.
PKG_ROOT = str(Path(labbias_module.__file__).resolve().parents[2])


def state(obj):
    """Every field of a block, histories as lists."""
    names = [n for n in dir(obj) if n.startswith("_") and not n.startswith("__")]
    out = {}
    for n in names:
        v = getattr(obj, n)
        if callable(v) and not isinstance(v, sFilter):
            continue
        if isinstance(v, collections.deque):
            v = (list(v), v.maxlen)
        elif isinstance(v, float) and math.isnan(v):
            v = "nan"
        elif isinstance(v, sFilter):
            v = (list(v._zfilter._zi), v._zfilter._u_ini, v._zfilter._y_ini)
        out[n] = v
    return out


class Reference:
    """The bias update written plainly with deques and NumPy, to compare against."""

    def __init__(
        self, name="softSensor", filter_tao=5.0, abs_threshold=1e-6, prd_len=28800, const_len=60
    ):
        self._name = name
        self._prd_data_list = collections.deque(maxlen=prd_len + 1)
        self._prd_time_list = collections.deque(maxlen=prd_len + 1)
        self._lab_data_list = collections.deque(maxlen=const_len + 2)
        self._bias = 0.0
        self._fil = sFilter([1], [filter_tao, 1], u_ini=0.0, y_ini=0.0) if filter_tao > 0 else None
        self._abs_threshold = abs_threshold
        self._update_flag = False
        self._current_lab_data = math.nan
        self._current_lab_time = math.nan
        self._prd_data_at_labtime = math.nan

    def run(self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None):
        first = len(self._prd_data_list) == 0
        if first:
            while len(self._lab_data_list) < self._lab_data_list.maxlen:
                self._lab_data_list.append(lab_data)
            k = 1
            while len(self._prd_data_list) < self._prd_data_list.maxlen:
                self._prd_data_list.append(prd_data)
                self._prd_time_list.appendleft(prd_time - k * 60)
                k += 1
        self._prd_data_list.append(prd_data)
        self._prd_time_list.append(prd_time)
        self._lab_data_list.append(lab_data)
        self._update_flag = False
        if first:
            self._update_bias(lab_data, lab_time)
            print(self._name + ": Bias Update is triggered by the first data.")
        elif update_trigger is None:
            d = np.abs(np.diff(self._lab_data_list))
            if d[0] >= self._abs_threshold and np.all(d[1:] < 1e-6):
                self._update_bias(lab_data, lab_time)
        elif update_trigger > 0.5:
            self._update_bias(lab_data, lab_time)
        return self._fil(self._bias) if self._fil else self._bias

    def _update_bias(self, lab_data, lab_time):
        if (
            abs(lab_data - self._current_lab_data) < self._abs_threshold
            and abs(lab_time - self._current_lab_time) < 0.1
        ):
            print(self._name + ": Bias Update is not triggered, lab_data or lab_time is unchanged.")
            return
        if self._prd_time_list[0] <= lab_time <= self._prd_time_list[-1]:
            idx = np.searchsorted(self._prd_time_list, lab_time, side="right") - 1
            prd = self._prd_data_list[idx]
            self._bias = lab_data - prd
            self._update_flag = True
            self._current_lab_data = lab_data
            self._current_lab_time = lab_time
            self._prd_data_at_labtime = prd


def lag_outputs(biases, tao=5.0):
    """The bias filter's outputs from scipy: 1/(tao s + 1), zero-order hold, Ts = 1, at rest."""
    num, den, _ = signal.cont2discrete(([1.0], [tao, 1.0]), 1)
    return list(signal.lfilter(num[0], den, biases))


# ---------------------------------------------------------------- SoftSensorBiasUpdate


class TestBiasConstruction:
    def test_defaults(self):
        s = SoftSensorBiasUpdate()
        assert s.get_name() == s._name == "softSensor"
        assert s._prd_data_list == collections.deque(maxlen=28801)
        assert s._prd_data_list.maxlen == s._prd_time_list.maxlen == 28801
        assert s._lab_data_list.maxlen == 62 and len(s._lab_data_list) == 0
        assert s._bias == 0.0 and s._abs_threshold == 1e-6 and s._update_flag is False
        assert all(math.isnan(v) for v in (s.get_lab_data(), s.get_lab_time()))
        assert math.isnan(s.get_prd_data_at_labtime()) and s.get_update_flag() is False
        f = s._fil
        assert type(f) is sFilter
        assert list(f._Bs) == [1.0] and list(f._As) == [5.0, 1.0] and f._Ts == 1
        assert (f._zfilter._u_ini, f._zfilter._y_ini) == (0.0, 0.0)

    def test_arguments_by_name_and_conversion(self):
        s = SoftSensorBiasUpdate(
            const_len=3, prd_len=9, abs_threshold=np.float32(0.5), filter_tao=2, name="FI101"
        )
        assert s._name == "FI101" and s._abs_threshold == 0.5
        assert type(s._abs_threshold) is float
        assert s._prd_time_list.maxlen == 10 and s._lab_data_list.maxlen == 5
        assert list(s._fil._As) == [2.0, 1.0]

    @pytest.mark.parametrize("tao", [0, -1.0, math.nan])
    def test_no_filter(self, tao):
        assert SoftSensorBiasUpdate(filter_tao=tao)._fil is None

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"name": b"x"}, "Argument 'name' has incorrect type (expected str, got bytes)"),
            ({"name": type("S", (str,), {})("x")}, "(expected str, got S)"),
            ({"prd_len": True}, "Argument 'prd_len' has incorrect type (expected int, got bool)"),
            ({"prd_len": 10.0}, "(expected int, got float)"),
            ({"const_len": np.int64(3)}, "'const_len' has incorrect type (expected int, got "),
            ({"filter_tao": "5"}, "must be real number, not str"),
        ],
    )
    def test_type_errors(self, kwargs, message):
        with pytest.raises(TypeError) as e:
            SoftSensorBiasUpdate(**kwargs)
        assert message in str(e.value)

    def test_argument_binding_messages(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 6 positional arguments"):
            SoftSensorBiasUpdate("a", 1.0, 1.0, 1, 1, 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'Ts'"):
            SoftSensorBiasUpdate(Ts=1)
        s = SoftSensorBiasUpdate()
        with pytest.raises(TypeError, match=r"^run\(\) takes at least 4 positional arguments \(3"):
            s.run(1.0, 2.0)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'lab_data'"):
            s.run(1.0, 2.0, 3.0, lab_data=1.0)
        with pytest.raises(TypeError, match=r"^_update_bias\(\) takes exactly 3 positional"):
            s._update_bias(1.0)
        with pytest.raises(TypeError, match=r"^get_bias\(\) takes exactly 1 positional"):
            s.get_bias(1)

    def test_negative_lengths_fail_as_deque_does(self):
        with pytest.raises(ValueError, match="maxlen must be non-negative"):
            SoftSensorBiasUpdate(prd_len=-2)
        with pytest.raises(ValueError, match="maxlen must be non-negative"):
            SoftSensorBiasUpdate(const_len=-3)

    @pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""),
        reason="the address sanitizer aborts on oversized allocations",
    )
    def test_histories_too_large_for_memory(self, capsys):
        with pytest.raises(OverflowError):
            SoftSensorBiasUpdate(prd_len=2**63 - 1)
        for n in (10**15, 2**63 - 2):
            s = SoftSensorBiasUpdate(prd_len=n)  # the rings are allocated by the first call
            with pytest.raises(MemoryError):
                s.run(1.0, 1.0, 1.0, 1.0)
            assert len(s._prd_data_list) == len(s._prd_time_list) == 0
        assert capsys.readouterr().out == ""

    def test_uninitialised_instance_is_refused(self):
        s = SoftSensorBiasUpdate.__new__(SoftSensorBiasUpdate)
        with pytest.raises(TypeError, match="not initialized"):
            s.run(1.0, 1.0, 1.0)


class TestBiasValidation:
    @pytest.mark.parametrize(
        "args, what",
        [
            ((math.nan, 1.0, 1.0), "prd_data"),
            ((1.0, math.inf, 1.0), "lab_data"),
            ((-math.inf, math.nan, 1.0), "prd_data"),
            ((1.0, 1.0, math.nan), "lab_time"),
            ((1.0, 1.0, 1.0, math.inf), "prd_time"),
            ((1.0, 1.0, 1.0, None, math.nan), "update_trigger"),
            ((1.0, 1.0, 1.0, math.nan, math.nan), "prd_time"),
        ],
    )
    def test_non_finite_inputs_change_nothing(self, args, what, capsys):
        s = SoftSensorBiasUpdate(name="AI-7", prd_len=5, const_len=2)
        for _ in range(2):  # before the first call and while running
            before = state(s)
            with pytest.raises(ValueError) as e:
                s.run(*args)
            assert str(e.value) == f"AI-7 Bias Update: {what} is not finite!"
            assert state(s) == before
            s.run(1.0, 1.0, 0.0, 100.0)
        capsys.readouterr()

    @pytest.mark.parametrize(
        "value, shown",
        [(100, "int"), (np.float64(100.0), "numpy.float64"), (True, "bool"), ("1.0", "str")],
    )
    @pytest.mark.parametrize("arg", ["prd_time", "update_trigger"])
    def test_optional_floats_must_be_exact_floats(self, arg, value, shown):
        s = SoftSensorBiasUpdate(prd_len=5)
        with pytest.raises(TypeError) as e:
            s.run(math.nan, 1.0, 1.0, **{arg: value})  # the type check comes first
        assert str(e.value) == f"Argument '{arg}' has incorrect type (expected float, got {shown})"
        assert len(s._prd_data_list) == 0

    def test_numbers_of_any_type(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=5, filter_tao=0)
        assert s.run(np.int32(3), 10**3 + 1, np.float32(50.0), 100.0) == 998.0
        with pytest.raises(TypeError):
            s.run("1", 1.0, 1.0)
        capsys.readouterr()


class TestBiasFirstCall:
    def test_backfill_and_update_inside_window(self, capsys):
        s = SoftSensorBiasUpdate(name="QI", prd_len=100, const_len=4)
        t = 1_700_000_000.25
        assert s.run(3.5, 5.0, t - 30.0, t) == 0.0
        assert capsys.readouterr().out == FIRST.format("QI")
        assert list(s._prd_data_list) == [3.5] * 101
        assert list(s._prd_time_list) == [t - k * 60 for k in range(100, -1, -1)]
        assert list(s._lab_data_list) == [5.0] * 6
        assert s.get_bias() == 1.5 and s.get_update_flag() is True
        assert (s.get_lab_data(), s.get_lab_time(), s.get_prd_data_at_labtime()) == (
            5.0,
            t - 30.0,
            3.5,
        )

    @pytest.mark.parametrize("offset", [0.0, -600.0])
    def test_window_bounds_are_inclusive(self, offset, capsys):
        s = SoftSensorBiasUpdate(prd_len=10)
        s.run(1.0, 4.0, 1000.0 + offset, 1000.0)
        assert s.get_update_flag() and s.get_bias() == 3.0
        capsys.readouterr()

    @pytest.mark.parametrize("lab_time", [1000.001, 1000.0 - 600.001, -1e300])
    def test_outside_window_keeps_bias_but_prints(self, lab_time, capsys):
        s = SoftSensorBiasUpdate(name="X", prd_len=10, filter_tao=0)
        assert s.run(1.0, 4.0, lab_time, 1000.0) == 0.0
        assert capsys.readouterr().out == FIRST.format("X")
        assert s.get_update_flag() is False and math.isnan(s.get_lab_data())

    def test_default_prediction_time_is_the_wall_clock(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=3)
        before = time.time()
        s.run(1.0, 1.0, 0.0)
        after = time.time()
        stamps = list(s._prd_time_list)
        assert before <= stamps[-1] <= after
        assert stamps[:-1] == [stamps[-1] - k * 60 for k in (3, 2, 1)]
        capsys.readouterr()

    def test_zero_capacity_history_fails_on_lookup(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=-1)
        with pytest.raises(IndexError):
            s.run(1.0, 1.0, 1.0, 1.0)
        with pytest.raises(IndexError):
            SoftSensorBiasUpdate()._update_bias(1.0, 1.0)
        assert capsys.readouterr().out == ""


class TestBiasDetection:
    def run_levels(self, s, levels, lab_time=500.0, trigger=None):
        """Calls at prd_time 1000, 1060, ...; returns the calls that updated."""
        hits = []
        for i, lab in enumerate(levels):
            s.run(float(i), lab, lab_time, 1000.0 + 60.0 * i, trigger)
            if s.get_update_flag():
                hits.append(i)
        return hits

    def test_new_value_is_taken_after_const_len_calls(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=200)
        levels = [1.0] * 10 + [2.0] * 100
        assert self.run_levels(s, levels, lab_time=1000.0 + 60 * 40) == [70]
        assert s.get_prd_data_at_labtime() == 40.0 and s.get_bias() == 2.0 - 40.0
        capsys.readouterr()

    def test_const_len_zero_takes_every_step(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=50, const_len=0)
        levels = [1.0, 1.0, 2.0, 2.0, 2.0 + 1e-7, 3.0, 3.5]
        for i, lab in enumerate(levels):
            s.run(0.0, lab, 1000.0 + 60.0 * i, 1000.0 + 60.0 * i)
            assert s.get_update_flag() is (i in (0, 2, 5, 6))
        capsys.readouterr()

    def test_interrupted_value_never_counts(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=50, const_len=3)
        levels = [1.0, 2.0, 2.0, 2.0 + 1e-6, 2.0 + 1e-6, 2.0 + 1e-6, 2.0 + 1e-6, 2.0 + 1e-6]
        assert self.run_levels(s, levels, lab_time=1000.0 + 120.0) == [6]
        capsys.readouterr()

    def test_constant_value_and_zero_threshold(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=50, const_len=2)
        assert self.run_levels(s, [1.0] * 8, lab_time=1000.0) == [0]
        z = SoftSensorBiasUpdate(prd_len=50, const_len=2, abs_threshold=0.0)
        assert self.run_levels(z, [1.0] * 5, lab_time=1000.0) == [0, 1, 2, 3, 4]
        assert capsys.readouterr().out == FIRST.format("softSensor") * 2

    def test_trigger_mode(self, capsys):
        s = SoftSensorBiasUpdate(name="T", prd_len=50, abs_threshold=0.01)
        s.run(0.0, 1.0, 0.0, 1000.0)  # lab time outside: nothing accepted yet
        assert capsys.readouterr().out == FIRST.format("T")
        s.run(2.0, 5.0, 1060.0, 1060.0, 0.5)
        assert not s.get_update_flag()
        s.run(3.0, 5.0, 1060.0, 1120.0, 0.51)
        assert s.get_update_flag() and s.get_bias() == 3.0
        before = state(s)
        s.run(4.0, 5.005, 1060.05, 1180.0, 1.0)
        assert capsys.readouterr().out == UNCHANGED.format("T")
        assert not s.get_update_flag() and s.get_bias() == 3.0
        after = state(s)
        for f in ("_bias", "_current_lab_data", "_current_lab_time", "_prd_data_at_labtime"):
            assert after[f] == before[f]
        # A new time with the same value is a new result.
        s.run(4.0, 5.0, 1180.0, 1240.0, 1.0)
        assert s.get_update_flag() and s.get_bias() == 1.0 and s.get_lab_time() == 1180.0
        assert capsys.readouterr().out == ""

    def test_update_bias_directly(self, capsys):
        s = SoftSensorBiasUpdate(name="D", prd_len=5)
        s.run(1.0, 1.0, 0.0, 1000.0)
        s._update_bias(lab_data=7, lab_time=np.float64(940.0))
        assert s.get_bias() == 6.0 and s.get_lab_time() == 940.0
        s._update_bias(7.0, 940.0)
        s._update_bias(8.0, 2000.0)  # outside: nothing, no line
        assert capsys.readouterr().out == FIRST.format("D") + UNCHANGED.format("D")
        assert s.get_bias() == 6.0

    def history(self, steps):
        s = SoftSensorBiasUpdate(prd_len=40, filter_tao=0)
        t = 0.0
        s.run(0.0, 0.0, -1e9, t)
        for i, dt in enumerate(steps):
            t += dt
            s.run(float(i + 1), 0.0, -1e9, t, 0.0)
        return s, np.array(s._prd_time_list), np.array(s._prd_data_list)

    def test_lookup_equals_searchsorted(self, capsys):
        rng = random.Random(7)
        s, stamps, data = self.history([rng.choice([0.0, 0.0, 1.0, 2.5]) for _ in range(60)])
        probes = list(stamps) + [rng.uniform(stamps[0] - 5, stamps[-1] + 5) for _ in range(300)]
        for j, lab_time in enumerate(probes):
            s._update_bias(float(j), lab_time)
            if not stamps[0] <= lab_time <= stamps[-1]:
                assert s.get_lab_data() != float(j)
                continue
            idx = np.searchsorted(stamps, lab_time, side="right") - 1
            assert s.get_prd_data_at_labtime() == data[idx]
        capsys.readouterr()

    def test_unsorted_stamps_still_pick_a_kept_prediction(self, capsys):
        rng = random.Random(2)
        s, stamps, data = self.history([rng.uniform(-50, 50) for _ in range(60)])
        assert stamps[0] < stamps[-1] and not np.all(np.diff(stamps) >= 0)
        for j in range(300):
            s._update_bias(float(j), rng.uniform(stamps[0], stamps[-1]))
            assert s.get_lab_data() == float(j) and s.get_prd_data_at_labtime() in data
        capsys.readouterr()

    def test_equal_stamps_use_the_later_prediction(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10, filter_tao=0)
        s.run(1.0, 0.0, -1.0, 100.0)
        s.run(2.0, 0.0, -1.0, 200.0, 0.0)
        s.run(3.0, 0.0, -1.0, 200.0, 0.0)
        s.run(4.0, 0.0, -1.0, 300.0, 0.0)
        s.run(5.0, 10.0, 200.0, 400.0, 1.0)
        assert s.get_prd_data_at_labtime() == 3.0 and s.get_bias() == 7.0
        capsys.readouterr()

    def test_histories_are_bounded_fifo_snapshots(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=3, const_len=1)
        for i in range(6):
            s.run(float(i), float(i) * 10, 0.0, 1000.0 + i)
        assert list(s._prd_data_list) == [2.0, 3.0, 4.0, 5.0]
        assert list(s._prd_time_list) == [1002.0, 1003.0, 1004.0, 1005.0]
        assert list(s._lab_data_list) == [30.0, 40.0, 50.0]
        snap = s._lab_data_list
        snap.append(99.0)
        assert list(s._lab_data_list) == [30.0, 40.0, 50.0]
        with pytest.raises(AttributeError):
            s._prd_data_list = collections.deque()
        capsys.readouterr()

    def test_matches_plain_transcription(self, capsys):
        rng = random.Random(11)
        for trial in range(12):
            kwargs = {
                "name": f"S{trial}",
                "filter_tao": rng.choice([0.0, 3.0, 5.0]),
                "abs_threshold": rng.choice([0.0, 1e-6, 0.3]),
                "prd_len": rng.choice([0, 1, 5, 30]),
                "const_len": rng.choice([0, 1, 4]),
            }
            ours, ref = SoftSensorBiasUpdate(**kwargs), Reference(**kwargs)
            t, lab, lab_time = 1e6, 1.0, 1e6 - 100
            for _ in range(150):
                t += rng.choice([0.0, 30.0, 60.0])
                if rng.random() < 0.1:
                    lab = rng.choice([lab, lab + 1e-7, lab + 0.5, round(rng.uniform(0, 5), 1)])
                    lab_time = rng.choice([lab_time, t - rng.uniform(0, 400)])
                trig = rng.choice([None, None, None, 0.5, 0.9])
                args = (rng.uniform(-1, 1), lab, lab_time, t, trig)
                out = ours.run(*args)
                printed = capsys.readouterr().out
                assert out == ref.run(*args)
                assert printed == capsys.readouterr().out
                for f in ("_bias", "_update_flag", "_prd_data_at_labtime", "_current_lab_time"):
                    a, b = getattr(ours, f), getattr(ref, f)
                    assert a == b or (math.isnan(a) and math.isnan(b)), f
            assert list(ours._prd_time_list) == list(ref._prd_time_list)
            assert list(ours._lab_data_list) == list(ref._lab_data_list)

    def test_printed_lines_match_transcription(self, capsys):
        ours, ref = SoftSensorBiasUpdate(name="P", prd_len=5), Reference(name="P", prd_len=5)
        calls = [
            (1.0, 2.0, 990.0, 1000.0),
            (1.0, 2.0, 990.0, 1010.0, 1.0),
            (1.0, 3.0, 990.0, 1020.0, 1.0),
            (1.0, 3.0, 990.0, 1030.0, 1.0),
        ]
        for args in calls:
            ours.run(*args)
            mine = capsys.readouterr().out
            ref.run(*args)
            assert mine == capsys.readouterr().out
        assert mine == UNCHANGED.format("P")


class TestBiasFilter:
    def test_returns_the_lagged_bias(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10)
        b = 2.5
        outs = [s.run(1.0, 1.0 + b, 1000.0, 1000.0 + i) for i in range(8)]
        assert outs == lag_outputs([b] * 8)
        assert outs[0] == 0.0 and outs[1] == pytest.approx((1 - math.exp(-0.2)) * b)
        capsys.readouterr()

    def test_filter_follows_every_bias_change(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10, filter_tao=3.0, const_len=0)
        biases, outs = [], []
        for i, lab in enumerate([1.0, 1.0, 4.0, 4.0, 4.0, 2.0, 2.0]):
            outs.append(s.run(0.0, lab, 1000.0 + i, 1000.0 + i))
            biases.append(s.get_bias())
        assert outs == lag_outputs(biases, 3.0)
        capsys.readouterr()

    def test_without_filter_returns_the_bias(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10, filter_tao=0.0)
        assert s.run(1.0, 3.0, 1000.0, 1000.0) == 2.0 == s.get_bias()
        capsys.readouterr()

    def test_filter_field_takes_any_callable(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10)
        seen = []
        s._fil = lambda x: seen.append(x) or "out"
        assert s.run(1.0, 3.0, 1000.0, 1000.0) == "out" and seen == [2.0]
        s._fil = 0  # false: unfiltered
        assert s.run(1.0, 3.0, 1000.0, 1001.0) == 2.0
        s._fil = None
        assert s.run(1.0, 3.0, 1000.0, 1002.0) == 2.0

        def broken(x):
            raise RuntimeError("filter failed")

        s._fil = broken
        with pytest.raises(RuntimeError, match="filter failed"):
            s.run(7.0, 3.0, 1000.0, 1003.0)
        assert s._prd_data_list[-1] == 7.0  # histories were updated before the filter
        capsys.readouterr()

    def test_filter_may_replace_itself_while_called(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10)

        class Once:
            def __call__(self, x):
                s._fil = None  # drops the last reference to this very object
                return x * 2

        s._fil = Once()
        assert s.run(1.0, 3.0, 1000.0, 1000.0) == 4.0
        assert s.run(1.0, 3.0, 1000.0, 1001.0) == 2.0

        class Renaming:
            def write(self, text):
                s._name = "renamed" + "x" * 50
                out.append(text)

        out = []
        with contextlib.redirect_stdout(Renaming()):
            s._current_lab_data, s._current_lab_time = 3.0, 1000.0
            SoftSensorBiasUpdate.__init__(s, prd_len=10)
            s._current_lab_data, s._current_lab_time = 3.0, 1000.0
            s.run(1.0, 3.0, 1000.0, 1000.0)
        assert "".join(out) == UNCHANGED.format("softSensor") + FIRST.format("renamed" + "x" * 50)
        capsys.readouterr()

    def test_filter_object_is_shared_live(self, capsys):
        s = SoftSensorBiasUpdate(prd_len=10)
        f = s._fil
        s.run(1.0, 2.0, 1000.0, 1000.0)
        s.run(1.0, 2.0, 1000.0, 1001.0)
        assert f._zfilter._zi[0] != 0.0 and s._fil is f
        capsys.readouterr()

    def test_cycle_through_filter_field_is_collected(self):
        class Holder:
            def __call__(self, x):
                return x

        s = SoftSensorBiasUpdate(prd_len=10)
        h = Holder()
        h.block, s._fil = s, h
        ref = weakref.ref(h)
        del s, h
        gc.collect()
        assert ref() is None


class TestBiasCopies:
    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copy_continues_exactly(self, clone, capsys):
        s = SoftSensorBiasUpdate(name="C", prd_len=30, const_len=3, abs_threshold=0.01)
        rng = random.Random(3)
        calls = []
        lab = 1.0
        for i in range(80):
            if i % 9 == 0:
                lab += 0.5
            calls.append((rng.uniform(0, 1), lab, 1000.0 + 60 * (i - 2), 1000.0 + 60 * i))
        for args in calls[:40]:
            s.run(*args)
        twin = clone(s)
        assert state(twin) == state(s) and twin._fil is not s._fil
        for args in calls[40:]:
            assert twin.run(*args) == s.run(*args)
        assert state(twin) == state(s)
        capsys.readouterr()

    def test_fresh_and_unfiltered_copies(self):
        for s in (SoftSensorBiasUpdate(), SoftSensorBiasUpdate(filter_tao=0, prd_len=0)):
            twin = pickle.loads(pickle.dumps(s))
            assert state(twin) == state(s)


# ---------------------------------------------------------------- LabDataRecorder


@pytest.fixture
def tz(monkeypatch):
    """Local time fixed to UTC+05:30 (no DST), restored afterwards."""
    monkeypatch.setenv("TZ", "IST-5:30")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def rows(path):
    return Path(path).read_bytes().decode("utf-8").split("\n")


def check_row(line, lab_time, value_text, before, after):
    export, lab, value = line.split(",")
    # The export stamp comes from the second-resolution clock, which may tick
    # a little apart from time.time(): allow one second either side.
    stamp = time.mktime(time.strptime(export, FMT))
    assert int(before) - 1 <= stamp <= int(after) + 1
    assert time.strftime(FMT, time.localtime(stamp)) == export
    assert lab == time.strftime(FMT, time.localtime(lab_time))
    assert value == value_text


class TestRecorderConstruction:
    def test_defaults_resolve_cwd_and_create_no_file(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        r = LabDataRecorder()
        assert r._name == "softSensor" and r._abs_threshold == 1e-6
        assert r._lab_data_list == collections.deque(maxlen=62)
        assert isinstance(r._csv_file, Path)
        assert r._csv_file == tmp_path.resolve() / "softSensor_Raw_LabData.csv"
        assert list(tmp_path.iterdir()) == []

    def test_directory_is_created_and_resolved(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "real").mkdir()
        (tmp_path / "link").symlink_to(tmp_path / "real")
        r = LabDataRecorder("FI", 0.5, 4, "link/a/../b/c")
        assert r._csv_file == tmp_path.resolve() / "real" / "b" / "c" / "FI_Raw_LabData.csv"
        assert (tmp_path / "real" / "b" / "c").is_dir()
        assert r._lab_data_list.maxlen == 6 and r._abs_threshold == 0.5
        r2 = LabDataRecorder(csv_dir=tmp_path / "real" / "b" / "c")  # exists already; a Path
        assert r2._csv_file.parent == r._csv_file.parent

    def test_directory_failure_propagates(self, tmp_path):
        (tmp_path / "file").write_text("x")
        with pytest.raises(OSError):
            LabDataRecorder(csv_dir=tmp_path / "file")
        with pytest.raises(OSError):
            LabDataRecorder(csv_dir=tmp_path / "file" / "sub")

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"name": 1}, "Argument 'name' has incorrect type (expected str, got int)"),
            (
                {"const_len": False},
                "Argument 'const_len' has incorrect type (expected int, got bool)",
            ),
            (
                {"const_len": 1.0},
                "Argument 'const_len' has incorrect type (expected int, got float)",
            ),
        ],
    )
    def test_type_errors_create_nothing(self, tmp_path, kwargs, message):
        with pytest.raises(TypeError) as e:
            LabDataRecorder(csv_dir=tmp_path / "new", **kwargs)
        assert str(e.value) == message
        assert not (tmp_path / "new").exists()

    @pytest.mark.parametrize("name", ["../escape", "/tmp/abs", "a/b", "nul\0name", "/"])
    def test_name_that_would_leave_the_directory_is_refused(self, tmp_path, name):
        with pytest.raises(ValueError) as e:
            LabDataRecorder(name=name, csv_dir=tmp_path / "new")
        assert str(e.value).startswith(name + " LabDataRecorder: ")
        assert not (tmp_path / "new").exists()

    @pytest.mark.parametrize("name", ["..", ".", "", "Ünïcode name", "a\\b"])
    def test_other_names_stay_inside(self, tmp_path, name):
        r = LabDataRecorder(name=name, csv_dir=tmp_path, const_len=0)
        r.export_lab_data_csv(1.0, 0.0)
        assert [p.name for p in tmp_path.iterdir()] == [name + "_Raw_LabData.csv"]


class TestRecorderRun:
    def test_first_call_never_records(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path, const_len=0)
        assert r.run(5.0, 1e9) is False
        assert list(r._lab_data_list) == [5.0, 5.0]
        assert not r._csv_file.exists()
        # A zero threshold takes the constant history as a step of 0 >= 0.
        z = LabDataRecorder(name="Z", csv_dir=tmp_path, const_len=0, abs_threshold=0.0)
        assert z.run(5.0, 1e9) is True and z.run(5.0, 1e9) is True

    def test_new_value_recorded_once_after_const_len_calls(self, tmp_path, tz):
        r = LabDataRecorder(csv_dir=tmp_path)
        results = []
        t0 = time.time()
        for i in range(150):
            results.append(r.run(1.0 if i < 10 else 2.25, 1.7e9 + i + 0.75))
        t1 = time.time()
        assert [i for i, x in enumerate(results) if x] == [70]
        lines = rows(r._csv_file)
        assert lines[0] + "\n" == HEADER and lines[2] == "" and len(lines) == 3
        check_row(lines[1], 1.7e9 + 70, "2.25", t0, t1)

    def test_const_len_zero_and_threshold(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path, const_len=0, abs_threshold=0.1)
        levels = [1.0, 1.0, 1.05, 1.2, 1.2, 1.0]
        assert [r.run(v, 0.0) for v in levels] == [False, False, False, True, False, True]
        assert len(rows(r._csv_file)) == 4

    def test_pending_value_cancelled_by_a_later_step(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path, const_len=2)
        levels = [1.0, 2.0, 2.0, 2.000001, 2.000001, 2.000001]
        assert [r.run(v, 0.0) for v in levels] == [False] * 5 + [True]

    @pytest.mark.parametrize(
        "args, what", [((math.nan, 1.0), "lab_data"), ((1.0, -math.inf), "lab_time")]
    )
    def test_non_finite_inputs_change_nothing(self, tmp_path, args, what):
        r = LabDataRecorder(name="R", csv_dir=tmp_path, const_len=1)
        r.run(1.0, 0.0)
        with pytest.raises(ValueError) as e:
            r.run(*args)
        assert str(e.value) == f"R LabDataRecorder: {what} is not finite!"
        assert list(r._lab_data_list) == [1.0] * 3
        assert list(tmp_path.iterdir()) == []

    def test_argument_messages(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path)
        with pytest.raises(TypeError, match=r"^run\(\) takes exactly 3 positional arguments \(2"):
            r.run(1.0)
        with pytest.raises(TypeError, match="export_lab_data_csv.. got an unexpected keyword"):
            r.export_lab_data_csv(1.0, 2.0, value=3)
        with pytest.raises(TypeError):
            r.run("1.0", 0.0)

    def test_failed_export_propagates_after_the_history_moved(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path / "d", const_len=0)
        r.run(1.0, 0.0)
        shutil.rmtree(tmp_path / "d")
        with pytest.raises(FileNotFoundError) as e:
            r.run(2.0, 0.0)
        assert e.value.filename == r._csv_file
        assert r.run(2.0, 0.0) is False  # the result that failed does not trigger again

    def test_csv_file_field_redirects_exports(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path)
        r._csv_file = str(tmp_path / "other.csv")
        r.export_lab_data_csv(1.0, 0.0)
        assert (tmp_path / "other.csv").exists() and r._csv_file == str(tmp_path / "other.csv")
        r._csv_file = os.devnull  # a device is no file of records
        with pytest.raises(OSError, match="Not a regular file"):
            r.export_lab_data_csv(1.0, 0.0)


class TestRecorderFile:
    def test_exact_bytes(self, tmp_path, tz):
        r = LabDataRecorder(name="LAB", csv_dir=tmp_path)
        values = [
            2,
            0.25,
            0.0001,
            0.00001,
            1.5e16,
            1e16,
            9999999999999998.0,
            0.1 + 0.2,
            -0.0,
            123456789.125,
            5e-324,
            math.nan,
            math.inf,
            -math.inf,
            np.float32(0.1),
        ]
        times = [0.0, 1.7e9 + 0.999, -1.5, 86399.5, 1e10, np.int64(1_000_000_000)]
        t0 = time.time()
        for i, v in enumerate(values):
            r.export_lab_data_csv(v, times[i % len(times)])
        t1 = time.time()
        data = r._csv_file.read_bytes()
        assert data.startswith(HEADER.encode()) and data.endswith(b"\n")
        assert b"\r" not in data and data.count(HEADER.encode()) == 1
        lines = data.decode("utf-8").split("\n")[1:-1]
        assert len(lines) == len(values)
        for i, (line, v) in enumerate(zip(lines, values, strict=True)):
            check_row(line, float(times[i % len(times)]), repr(float(v)), t0, t1)
        assert lines[0].endswith(",1970-01-01 05:30:00,2.0")
        assert lines[2].endswith(",1970-01-01 05:29:58,0.0001")  # -1.5 s: the second below
        assert [ln.rsplit(",", 1)[1] for ln in lines[3:5]] == ["1e-05", "1.5e+16"]
        assert [ln.rsplit(",", 1)[1] for ln in lines[11:14]] == ["nan", "inf", "-inf"]

    def test_header_only_for_a_new_file(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path)
        r._csv_file.write_bytes(b"")
        r.export_lab_data_csv(1.0, 0.0)
        assert rows(r._csv_file)[0].endswith(",1.0")
        other = LabDataRecorder(name="B", csv_dir=tmp_path)
        other.export_lab_data_csv(1.0, 0.0)
        other.export_lab_data_csv(2.0, 0.0)
        lines = rows(other._csv_file)
        assert lines[0] + "\n" == HEADER and len(lines) == 4
        assert sorted(p.name for p in tmp_path.iterdir()) == [
            "B_Raw_LabData.csv",
            "softSensor_Raw_LabData.csv",
        ]

    def test_invalid_lab_time_fails_before_the_file(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path)
        with pytest.raises(ValueError):
            r.export_lab_data_csv(1.0, math.nan)
        with pytest.raises(OverflowError):
            r.export_lab_data_csv(1.0, 1e300)
        assert list(tmp_path.iterdir()) == []

    def test_threads_sharing_a_file_write_whole_lines(self, tmp_path):
        recorders = [LabDataRecorder(name="S", csv_dir=tmp_path) for _ in range(4)]
        n = 150

        def work(k, r):
            for i in range(n):
                r.export_lab_data_csv(k * 1000 + i + 0.5, 1.7e9)

        threads = [threading.Thread(target=work, args=(k, r)) for k, r in enumerate(recorders)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.check_shared(
            recorders[0]._csv_file, {k * 1000 + i + 0.5 for k in range(4) for i in range(n)}
        )

    def test_processes_sharing_a_file_write_whole_lines(self, tmp_path):
        script = textwrap.dedent(
            """
            import sys
            from korvel.algorithm.labbias import LabDataRecorder
            k = int(sys.argv[2])
            r = LabDataRecorder(name="P", csv_dir=sys.argv[1])
            for i in range(100):
                r.export_lab_data_csv(k * 1000 + i, 1.7e9)
            """
        )
        env = dict(os.environ, PYTHONPATH=PKG_ROOT)
        procs = [
            subprocess.Popen([sys.executable, "-c", script, str(tmp_path), str(k)], env=env)
            for k in range(3)
        ]
        assert [p.wait() for p in procs] == [0, 0, 0]
        self.check_shared(
            tmp_path / "P_Raw_LabData.csv",
            {float(k * 1000 + i) for k in range(3) for i in range(100)},
        )
        assert [p.name for p in tmp_path.iterdir()] == ["P_Raw_LabData.csv"]

    @staticmethod
    def check_shared(path, expected):
        lines = rows(path)
        assert lines[0] + "\n" == HEADER and lines[-1] == ""
        pattern = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,[^,]+")
        assert all(pattern.fullmatch(line) for line in lines[1:-1])
        values = [float(line.rsplit(",", 1)[1]) for line in lines[1:-1]]
        assert sorted(values) == sorted(expected)

    def run_limited(self, tmp_path, setup, limit_extra):
        """Runs an export under a file-size limit in a child; returns its report."""
        script = textwrap.dedent(
            """
            import os, resource, signal, sys
            from korvel.algorithm.labbias import LabDataRecorder
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            r = LabDataRecorder(csv_dir=sys.argv[1])
            for _ in range(int(sys.argv[2])):
                r.export_lab_data_csv(1.0, 0.0)
            size = os.path.getsize(r._csv_file) if r._csv_file.exists() else 0
            limit = size + int(sys.argv[3])
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            try:
                r.export_lab_data_csv(2.0, 0.0)
                print("ok")
            except OSError as e:
                print(e.errno, e.filename == r._csv_file)
            """
        )
        done = subprocess.run(
            [sys.executable, "-c", script, str(tmp_path), str(setup), str(limit_extra)],
            env=dict(os.environ, PYTHONPATH=PKG_ROOT),
            capture_output=True,
            text=True,
        )
        assert done.returncode == 0, done.stderr
        return done.stdout.split()

    def test_a_failed_write_keeps_the_file_and_the_next_record_starts_a_line(self, tmp_path):
        import errno

        # The file-size limit cuts the record after 10 bytes: the error is the
        # operating system's own, what reached the file stays (cutting it off
        # could cut off other writers' records), and the next record starts
        # on a line of its own.
        assert self.run_limited(tmp_path, 1, 10) == [str(errno.EFBIG), "True"]
        path = tmp_path / "softSensor_Raw_LabData.csv"
        lines = rows(path)
        assert len(lines) == 3 and lines[1].endswith(",1.0") and len(lines[2]) == 10
        assert self.run_limited(tmp_path, 0, 0) == [str(errno.EFBIG), "True"]
        LabDataRecorder(csv_dir=tmp_path).export_lab_data_csv(3.0, 0.0)
        lines = rows(path)
        assert len(lines[2]) == 10 and lines[3].endswith(",3.0") and lines[4] == ""

    def test_failed_creation_leaves_no_file(self, tmp_path):
        import errno

        assert self.run_limited(tmp_path, 0, 10) == [str(errno.EFBIG), "True"]
        assert list(tmp_path.iterdir()) == []

    def test_a_writer_at_its_size_limit_loses_no_other_writers_record(self, tmp_path):
        # One process exports under a file-size limit that the shared file soon
        # passes (its writes fail, some part-way), another exports 300 records:
        # every record the second reported is in the file, whole.
        script = textwrap.dedent(
            """
            import os, resource, signal, sys
            from korvel.algorithm.labbias import LabDataRecorder
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            r = LabDataRecorder(name="S", csv_dir=sys.argv[1])
            if sys.argv[2] == "limited":
                r.export_lab_data_csv(-1.0, 0.0)
                limit = os.path.getsize(r._csv_file) + 3000
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                for i in range(3000):
                    try:
                        r.export_lab_data_csv(-2.0 - i / 7, 0.0)
                    except OSError:
                        pass
            else:
                for i in range(300):
                    r.export_lab_data_csv(i + 0.5, 1.7e9)
                    print(i + 0.5, flush=True)
            """
        )
        env = dict(os.environ, PYTHONPATH=PKG_ROOT)
        run = [sys.executable, "-c", script, str(tmp_path)]
        limited = subprocess.Popen([*run, "limited"], env=env)
        time.sleep(0.2)
        writer = subprocess.run([*run, "free"], env=env, capture_output=True, text=True)
        assert limited.wait() == 0 and writer.returncode == 0, writer.stderr
        reported = [float(v) for v in writer.stdout.split()]
        assert len(reported) == 300
        found = {
            float(line.rsplit(",", 1)[1])
            for line in rows(tmp_path / "S_Raw_LabData.csv")[1:]
            if re.fullmatch(r"[0-9: -]{19},[0-9: -]{19},\d+\.5", line)
        }
        assert set(reported) <= found

    @pytest.mark.parametrize("kind", ["link", "dangling link", "fifo", "unterminated"])
    def test_what_stands_at_the_file_path(self, tmp_path, kind):
        import errno

        r = LabDataRecorder(name="N", csv_dir=tmp_path / "d")
        target = tmp_path / "elsewhere.csv"
        if kind == "link":
            target.write_text("mine\n")
            r._csv_file.symlink_to(target)
        elif kind == "dangling link":
            r._csv_file.symlink_to(target)
        elif kind == "fifo":
            os.mkfifo(r._csv_file)
        else:
            r._csv_file.write_bytes(b"a,b,c")
        if kind == "unterminated":
            r.export_lab_data_csv(1.0, 0.0)
            lines = rows(r._csv_file)
            assert lines[0] == "a,b,c" and lines[1].endswith(",1.0") and lines[2] == ""
            return
        with pytest.raises(OSError) as e:
            r.export_lab_data_csv(1.0, 0.0)
        assert e.value.errno in (errno.ELOOP, errno.ENXIO, errno.EINVAL)
        assert e.value.filename == r._csv_file
        # Nothing was written through the link, or created at its target.
        assert (target.read_text() if target.exists() else None) == (
            "mine\n" if kind == "link" else None
        )

    @pytest.mark.parametrize("name", ["n" * 240, "\ud800"])
    def test_names_the_file_system_cannot_take_are_refused_first(self, tmp_path, name):
        with pytest.raises(ValueError, match="LabDataRecorder: name cannot make a file name"):
            LabDataRecorder(name=name, csv_dir=tmp_path / "new")
        assert not (tmp_path / "new").exists()

    @pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
    def test_row_is_synced_before_return(self, tmp_path):
        script = textwrap.dedent(
            """
            import os, sys
            from korvel.algorithm.labbias import LabDataRecorder
            r = LabDataRecorder(csv_dir=sys.argv[1])
            r.export_lab_data_csv(1.0, 0.0)
            r.export_lab_data_csv(2.0, 0.0)
            os.write(1, b"returned\\n")
            """
        )
        log = tmp_path / "trace"
        done = subprocess.run(
            [
                "strace",
                "-f",
                "-qq",
                "-s",
                "300",
                "-e",
                "trace=write,fsync,fdatasync",
                "-o",
                str(log),
                sys.executable,
                "-c",
                script,
                str(tmp_path / "d"),
            ],
            env=dict(os.environ, PYTHONPATH=PKG_ROOT),
            capture_output=True,
            text=True,
        )
        if done.returncode != 0 and "ptrace" in done.stderr:
            pytest.skip("ptrace is not permitted here")
        assert done.returncode == 0, done.stderr
        calls = [c.split(None, 1)[1] for c in log.read_text().splitlines()]
        row_writes = [i for i, c in enumerate(calls) if c.startswith("write(") and ",2.0\\n" in c]
        assert len(row_writes) == 1
        i = row_writes[0]
        fd = calls[i][len("write(") : calls[i].index(",")]
        returned = next(j for j, c in enumerate(calls) if "returned" in c)
        assert any(c.startswith(f"fsync({fd})") for c in calls[i + 1 : returned])


class TestRecorderCopies:
    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_pending_result_continues_in_the_copy(self, tmp_path, clone):
        r = LabDataRecorder(csv_dir=tmp_path, const_len=5)
        r.run(1.0, 0.0)
        r.run(2.0, 0.0)
        twin = clone(r)
        assert list(twin._lab_data_list) == list(r._lab_data_list)
        assert twin._lab_data_list.maxlen == 7 and twin._csv_file == r._csv_file
        assert twin._name == r._name and twin._abs_threshold == r._abs_threshold
        a = [r.run(2.0, 0.0) for _ in range(6)]
        b = [twin.run(2.0, 0.0) for _ in range(6)]
        assert a == b == [False, False, False, False, True, False]
        assert len(rows(r._csv_file)) == 4

    def test_fresh_copy(self, tmp_path):
        r = LabDataRecorder(csv_dir=tmp_path)
        twin = pickle.loads(pickle.dumps(r))
        assert len(twin._lab_data_list) == 0 and twin._lab_data_list.maxlen == 62
