"""Soft-sensor bias update and laboratory-data recorder against plain deque/NumPy transcriptions.

The transcriptions are written as a Python user would: collections.deque histories, np.diff for
the new-result rule, np.searchsorted for the lookup. Their bias filter is either an sFilter written
with scipy.signal.lfilter (an all-Python stack) or korvel's own tfblock.sFilter (so the ratio
shows this module's work alone).
"""

import collections
import contextlib
import io
import math
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import loop_time, table  # noqa: E402

from korvel.algorithm.labbias import LabDataRecorder, SoftSensorBiasUpdate  # noqa: E402
from korvel.algorithm.tfblock import sFilter  # noqa: E402


class PySFilter:
    """The continuous lag filter written with SciPy, one lfilter call per sample."""

    def __init__(self, Bs=(1,), As=(5, 1), Ts=1, u_ini=None, y_ini=None):
        num, den, _ = signal.cont2discrete((np.array(Bs, float), np.array(As, float)), Ts)
        self._Bz, self._Az = np.array(num[0], float), np.array(den, float)
        self._u_ini, self._y_ini = u_ini, y_ini
        n = max(len(self._Az), len(self._Bz))
        self._zi = signal.lfiltic(self._Bz, self._Az, y=np.zeros(n), x=np.zeros(n))

    def __call__(self, Ut, y_ini=0.0):
        if self._u_ini is None:
            self._u_ini = Ut
        if self._y_ini is None:
            self._y_ini = y_ini
        y, self._zi = signal.lfilter(self._Bz, self._Az, [Ut - self._u_ini], zi=self._zi)
        return y[0] + self._y_ini


class PyBiasUpdate:
    def __init__(
        self,
        name="softSensor",
        filter_tao=5.0,
        abs_threshold=1e-6,
        prd_len=28800,
        const_len=60,
        filter_class=PySFilter,
    ):
        self._name = name
        self._prd_data_list = collections.deque(maxlen=prd_len + 1)
        self._prd_time_list = collections.deque(maxlen=prd_len + 1)
        self._lab_data_list = collections.deque(maxlen=const_len + 2)
        self._bias = 0.0
        self._fil = (
            filter_class([1], [filter_tao, 1], u_ini=0.0, y_ini=0.0) if filter_tao > 0 else None
        )
        self._abs_threshold = abs_threshold
        self._update_flag = False
        self._current_lab_data = math.nan
        self._current_lab_time = math.nan
        self._prd_data_at_labtime = math.nan

    def run(self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None):
        for v, what in ((prd_data, "prd_data"), (lab_data, "lab_data"), (lab_time, "lab_time")):
            if not np.isfinite(v):
                raise ValueError(f"{self._name} Bias Update: {what} is not finite!")
        if prd_time is None:
            prd_time = time.time()
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


class PyRecorder:
    """The recorder's per-sample work (the export itself is file I/O either way)."""

    def __init__(self, abs_threshold=1e-6, const_len=60):
        self._lab_data_list = collections.deque(maxlen=const_len + 2)
        self._abs_threshold = abs_threshold

    def run(self, lab_data, lab_time):
        if not np.isfinite(lab_data) or not np.isfinite(lab_time):
            raise ValueError("not finite")
        while len(self._lab_data_list) < self._lab_data_list.maxlen:
            self._lab_data_list.append(lab_data)
        self._lab_data_list.append(lab_data)
        d = np.abs(np.diff(self._lab_data_list))
        return bool(d[0] >= self._abs_threshold and np.all(d[1:] < 1e-6))


def first_call_time(make, count=40, repeat=5):
    """Best time of a first run call (the back-fill), on fresh objects."""
    best = math.inf
    with contextlib.redirect_stdout(io.StringIO()):
        for _ in range(repeat):
            objs = [make() for _ in range(count)]
            t0 = time.perf_counter()
            for o in objs:
                o.run(1.0, 2.0, 1.7e9 - 3600.0, 1.7e9)
            best = min(best, (time.perf_counter() - t0) / count)
            del objs
    return best


MEMORY_CHILD = """
import contextlib, io, sys
sys.path.insert(0, {here!r})
import bench_labbias as b
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
kinds = {{"ours": b.SoftSensorBiasUpdate, "python": lambda: b.PyBiasUpdate(filter_class=b.sFilter)}}
make = kinds[sys.argv[1]]
n = 200
warm = [make() for _ in range(5)]
with contextlib.redirect_stdout(io.StringIO()):
    for o in warm:
        o.run(1.0, 2.0, 0.0)
    before = rss()
    objs = [make() for _ in range(n)]
    for i, o in enumerate(objs):
        o.run(float(i), 2.0, 0.0)
    after = rss()
print((after - before) / n)
"""


def memory_per_object(kind):
    here = str(Path(__file__).resolve().parent)
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD.format(here=here), kind],
        capture_output=True,
        text=True,
        check=True,
    )
    return float(done.stdout)


def us(seconds):
    return f"{seconds * 1e6:.2f} us"


def main() -> None:
    ours = SoftSensorBiasUpdate()
    py_scipy = PyBiasUpdate()
    py_native = PyBiasUpdate(filter_class=sFilter)
    scratch = tempfile.TemporaryDirectory()
    rec, py_rec = LabDataRecorder(csv_dir=scratch.name), PyRecorder()  # writes nothing
    env = {"ours": ours, "py_scipy": py_scipy, "py_native": py_native, "rec": rec, "py_rec": py_rec}
    with contextlib.redirect_stdout(io.StringIO()):
        for o in (ours, py_scipy, py_native):
            o.run(1.0, 2.0, 0.0)
    rec.run(2.0, 0.0)
    py_rec.run(2.0, 0.0)

    t_run = loop_time("ours.run(1.0, 2.0, 0.0)", env, number=50_000)
    t_scipy = loop_time("py_scipy.run(1.0, 2.0, 0.0)", env, number=5_000)
    t_native = loop_time("py_native.run(1.0, 2.0, 0.0)", env, number=10_000)
    t_rec = loop_time("rec.run(2.0, 0.0)", env, number=50_000)
    t_py_rec = loop_time("py_rec.run(2.0, 0.0)", env, number=10_000)

    f_ours = first_call_time(SoftSensorBiasUpdate)
    f_scipy = first_call_time(PyBiasUpdate, count=10)
    f_native = first_call_time(lambda: PyBiasUpdate(filter_class=sFilter), count=10)

    m_ours = memory_per_object("ours")
    m_py = memory_per_object("python")

    rows = [
        ("`SoftSensorBiasUpdate.run`, steady state, automatic", us(t_run), "1.00x"),
        ("transcription, SciPy lfilter sFilter", us(t_scipy), f"{t_scipy / t_run:.1f}x"),
        ("transcription, tfblock.sFilter", us(t_native), f"{t_native / t_run:.1f}x"),
        ("`SoftSensorBiasUpdate.run`, first call (28 801 back-filled)", us(f_ours), "1.00x"),
        ("transcription, SciPy lfilter sFilter", us(f_scipy), f"{f_scipy / f_ours:.1f}x"),
        ("transcription, tfblock.sFilter", us(f_native), f"{f_native / f_ours:.1f}x"),
        ("`LabDataRecorder.run`, steady state, no export", us(t_rec), "1.00x"),
        ("transcription", us(t_py_rec), f"{t_py_rec / t_rec:.1f}x"),
    ]
    print("## Soft-sensor bias update and laboratory-data recorder\n")
    print(table(rows, ("call", "time per call", "transcription / korvel")))
    print()
    print(
        table(
            [
                ("`SoftSensorBiasUpdate()` after its first call", f"{m_ours / 1e6:.3f} MB"),
                ("transcription (deques of floats)", f"{m_py / 1e6:.3f} MB"),
            ],
            ("one default object, RSS growth over 200 objects", "memory"),
        )
    )
    print()
    print(
        f"- Steady-state `run` is {t_native / t_run:.1f}x faster than the transcription with "
        f"the same native filter, {t_scipy / t_run:.1f}x with a SciPy filter (target >= 20x)."
    )
    print(f"- The first call is {f_native / f_ours:.1f}x faster (target >= 20x).")
    print(
        f"- One default object takes {m_ours / 1e6:.3f} MB (target <= 0.6 MB), "
        f"{m_py / m_ours:.1f}x less than the transcription."
    )


if __name__ == "__main__":
    main()
