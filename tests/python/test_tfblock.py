import copy
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy import signal

from korvel.algorithm.tfblock import sFilter, zFilter


def bits(a):
    """Exact identity of float data, signed zeros and NaN payloads included."""
    a = np.asarray(a, dtype=float)
    return a.shape, a.tobytes()


class RefZ:
    """The filter written directly on scipy.signal, the way it is defined."""

    def __init__(self, Bz=(0, 0.1), Az=(1, -0.9), u_ini=None, y_ini=None):
        self._Bz = np.array(Bz, dtype=float)
        self._Az = np.array(Az, dtype=float)
        self._u_ini, self._y_ini = u_ini, y_ini
        n = max(len(self._Az), len(self._Bz))
        self._zi = signal.lfiltic(Bz, Az, y=np.zeros(n), x=np.zeros(n))

    def __call__(self, Ut, y_ini=0.0):
        Ut, y_ini = float(Ut), float(y_ini)
        if self._u_ini is None:
            self._u_ini = Ut
        if self._y_ini is None:
            self._y_ini = y_ini
        y, self._zi = signal.lfilter(self._Bz, self._Az, [Ut - self._u_ini], zi=self._zi)
        return y[0] + self._y_ini

    def run_multistep(self, U_arr, y_ini=0.0):
        U = np.array(U_arr, dtype=float)
        if self._u_ini is None:
            self._u_ini = U[0]
        if self._y_ini is None:
            self._y_ini = y_ini
        Y, self._zi = signal.lfilter(self._Bz, self._Az, U - self._u_ini, zi=self._zi)
        Y += self._y_ini
        return Y


def random_filter(rng, order, nb):
    """A stable denominator of the given order with a0 != 1, and nb numerator taps."""
    roots = []
    while len(roots) < order:
        r = rng.uniform(0.05, 0.95)
        if order - len(roots) >= 2 and rng.random() < 0.5:
            phi = rng.uniform(0, np.pi)
            roots += [r * np.exp(1j * phi), r * np.exp(-1j * phi)]
        else:
            roots.append(r * rng.choice([-1.0, 1.0]))
    a0 = rng.choice([1.7, -0.3, 3.0, 0.9])
    a = np.real(np.poly(roots)) * a0 if order else np.array([a0])
    b = rng.standard_normal(nb)
    return b, a


def segments(rng, x):
    """Split x into single samples, lists and arrays at random."""
    i = 0
    while i < len(x):
        kind = rng.integers(3)
        if kind == 0:
            yield "one", x[i]
            i += 1
        else:
            n = int(rng.integers(1, 12))
            part = x[i : i + n]
            yield "many", part.tolist() if kind == 1 else part
            i += n


class TestAgainstLfilter:
    @pytest.mark.parametrize("order", range(7))
    def test_random_filters_sample_array_and_mixed(self, order):
        rng = np.random.default_rng(100 + order)
        for trial in range(12):
            b, a = random_filter(rng, order, int(rng.integers(1, 8)))
            x = rng.standard_normal(60) * 3 + 1.5
            u0 = None if trial % 3 == 0 else float(rng.standard_normal())
            y0 = None if trial % 4 == 0 else float(rng.standard_normal())

            f, ref = zFilter(b, a, u0, y0), RefZ(b, a, u0, y0)
            assert bits(f._zi) == bits(ref._zi)
            for v in x:
                assert bits(f(v, 0.25)) == bits(ref(v, 0.25))
                assert bits(f._zi) == bits(ref._zi)

            f, ref = zFilter(b, a, u0, y0), RefZ(b, a, u0, y0)
            assert bits(f.run_multistep(x, 0.5)) == bits(ref.run_multistep(x, 0.5))
            assert bits(f._zi) == bits(ref._zi)

            f, ref = zFilter(b, a, u0, y0), RefZ(b, a, u0, y0)
            for kind, part in segments(rng, x):
                if kind == "one":
                    assert bits(f.run(part)) == bits(ref(part))
                else:
                    assert bits(f.run_multistep(part)) == bits(ref.run_multistep(part))
                assert bits(f._zi) == bits(ref._zi)
            assert f._u_ini == ref._u_ini and f._y_ini == ref._y_ini

    @pytest.mark.parametrize(
        "nb,n,chunk",
        [(3, 40, 40), (12, 30, 7), (20, 50, 50), (40, 17, 5), (70, 200, 64), (40, 20_000, 6_000)],
    )
    def test_long_fir_arrays_follow_the_convolution(self, nb, n, chunk):
        # A one-coefficient denominator takes lfilter's convolution path,
        # whose sums the host's BLAS rounds; long arrays split the dots
        # between threads.
        rng = np.random.default_rng(nb * n)
        b = rng.standard_normal(nb)
        x = rng.standard_normal(n) + 2.0
        f, ref = zFilter(b, [1.3], 0.5), RefZ(b, [1.3], 0.5)
        assert bits(f(0.7, 0.25)) == bits(ref(0.7, 0.25))
        for i in range(0, n, chunk):
            part = x[i : i + chunk]
            assert bits(f.run_multistep(part)) == bits(ref.run_multistep(part))
            assert bits(f._zi) == bits(ref._zi)

    def test_special_values_propagate_as_in_lfilter(self):
        for b, a in [
            ([1.0, 0.0, 2.0], [2.0, -1.0]),
            ([0.5, -0.0], [1.0]),
            ([np.inf, 1.0], [1.0, 0.5]),
        ]:
            f, ref = zFilter(b, a, 0.0, 0.0), RefZ(b, a, 0.0, 0.0)
            for v in [1.0, -0.0, -3.0, np.inf, 2.0, np.nan, 1.0]:
                assert bits(f(v)) == bits(ref(v))
                assert bits(f._zi) == bits(ref._zi)

    def test_leading_coefficient_other_than_one(self):
        f, g = zFilter([0, 0.2], [2, -1.8]), zFilter([0, 0.1], [1, -0.9])
        assert [f(v) for v in [0.0, 1, 1, 1, 1]] == [g(v) for v in [0.0, 1, 1, 1, 1]]


def test_lfilter_equality_under_every_blas_kernel():
    # Whatever dot kernel and thread split the BLAS takes, the filters give
    # lfilter's result: each run forces one and repeats the comparisons.
    flags = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    kernels = ["Prescott", "Nehalem", "Sandybridge"]
    kernels += ["Haswell"] * (" avx2" in flags) + ["SkylakeX"] * (" avx512f" in flags)
    here = Path(__file__).resolve().parent
    script = (
        "import sys, hashlib, numpy as np, pytest\n"
        "from scipy import signal\n"
        "rng = np.random.default_rng(1)\n"
        "y = signal.lfilter(rng.standard_normal(40), [1.0], rng.standard_normal(20_000))\n"
        "print(hashlib.sha256(y.tobytes()).hexdigest())\n"
        f"sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', {str(here / 'test_tfblock.py')!r}"
        ", '-k', 'TestAgainstLfilter']))\n"
    )
    digests = set()
    for kernel in kernels:
        for threads in ("1", "3"):
            env = dict(os.environ, OPENBLAS_CORETYPE=kernel, OPENBLAS_NUM_THREADS=threads)
            done = subprocess.run(
                [sys.executable, "-c", script], env=env, capture_output=True, text=True, cwd=here
            )
            assert done.returncode == 0, (kernel, threads, done.stdout[-3000:], done.stderr)
            digests.add(done.stdout.split()[0])
    blas = np.__config__.CONFIG["Build Dependencies"]["blas"]
    if "DYNAMIC_ARCH" in str(blas.get("openblas configuration", "")):
        assert len(digests) > 1, "OPENBLAS_CORETYPE took no effect"


class TestZFilter:
    def test_default_first_calls(self):
        f = zFilter()
        assert f(5) == 0.0
        assert f._u_ini == 5.0 and f._y_ini == 0.0
        assert [f(6), f(6), f(6)] == [0.0, 0.1, 0.19]
        assert f._Bz.dtype == np.float64 and f._Az.tolist() == [1.0, -0.9]

    def test_pure_gain_has_empty_state(self):
        f = zFilter([2], [1], u_ini=1.0, y_ini=10.0)
        assert f._zi.shape == (0,)
        assert f(3.0) == 14.0

    def test_operating_point_adopted_once(self):
        f = zFilter(u_ini=2)
        assert f._y_ini is None
        assert f(2.0, y_ini=7.0) == 7.0
        assert f(2.0, y_ini=100.0) == 7.0 and f._y_ini == 7.0 and f._u_ini == 2

    def test_run_multistep_sets_operating_point_from_first_sample(self):
        assert zFilter().run_multistep([1, 1, 1]).tolist() == [0.0, 0.0, 0.0]
        f = zFilter()
        y = f.run_multistep(np.array([3.0, 4.0, 4.0]), y_ini=1.0)
        assert y.dtype == np.float64 and y.tolist() == [1.0, 1.0, 1.1]
        assert f._u_ini == 3.0 and f._y_ini == 1.0

    def test_multistep_equals_single_calls(self):
        x = np.random.default_rng(1).standard_normal(30)
        f, g = (
            zFilter([0.3, 0.2, 0.1], [1.2, -0.5, 0.06]),
            zFilter([0.3, 0.2, 0.1], [1.2, -0.5, 0.06]),
        )
        assert bits(f.run_multistep(x)) == bits([g(v) for v in x])

    def test_state_can_be_saved_and_restored(self):
        f = zFilter([0.1, 0.2, 0.3], [1, -0.5, 0.1])
        f(1.0)
        f(2.0)
        saved = f._zi
        first = [f(v) for v in (3.0, -1.0, 4.0)]
        assert saved.tolist() != f._zi.tolist()  # the saved array kept its values
        f._zi = saved
        assert [f(v) for v in (3.0, -1.0, 4.0)] == first

    def test_state_written_in_place_is_seen(self):
        # The field's array is the state until the next step, which makes it
        # a new array (as lfilter returns one): an array held from before keeps
        # its values, and writing into it then changes nothing.
        f, ref = zFilter(), RefZ()
        f(0.0)
        ref(0.0)
        f._zi[0] = 0.5
        ref._zi[0] = 0.5
        assert f(1.0) == ref(1.0)
        old, values = f._zi, f._zi.tolist()
        assert f._zi is old
        f.run_multistep([2.0, 3.0])
        ref.run_multistep([2.0, 3.0])
        assert old.tolist() == values and f._zi is not old
        old[0] = 99.0
        assert f(1.0) == ref(1.0)

    def test_state_of_wrong_length_is_refused_and_nothing_changes(self):
        f = zFilter()
        f(1.0)
        before = f._zi.copy()
        with pytest.raises(ValueError, match="expected"):
            f._zi = [0.0, 0.0]
        with pytest.raises(ValueError):
            f._zi = [[0.0]]
        assert f._zi.tolist() == before.tolist()
        f._zi = [0.25]
        assert f._zi.dtype == np.float64 and f._zi.tolist() == [0.25]

    def test_coefficients_needing_another_state_length_are_refused(self):
        f = zFilter()
        with pytest.raises(ValueError):
            f._Bz = [1.0, 2.0, 3.0]
        assert f._Bz.tolist() == [0.0, 0.1]
        f._Bz = [0.0, 0.2]
        assert [f(1.0), f(2.0)] == [0.0, 0.0] and f(2.0) == pytest.approx(0.2)

    def test_zero_leading_denominator_refused_at_construction(self):
        with pytest.raises(ValueError, match="First `a` filter coefficient must be non-zero."):
            zFilter([1.0], [0.0, 1.0])
        with pytest.raises(ValueError, match="at least one `a` coefficient"):
            zFilter([1.0], [])
        with pytest.raises(ValueError, match="must be 1-D"):
            zFilter([[1.0]], [1.0, 0.5])

    def test_empty_numerator_fails_on_the_first_step_after_setting_operating_point(self):
        f = zFilter([], [1.0, 0.5])
        with pytest.raises(ValueError, match="b is not a non-empty"):
            f(2.0)
        assert f._u_ini == 2.0

    def test_non_numeric_input_changes_nothing(self):
        f = zFilter()
        with pytest.raises(TypeError):
            f("1.0")
        with pytest.raises(TypeError):
            f(1.0, y_ini="x")
        with pytest.raises(TypeError):
            f.run_multistep([1.0], y_ini=None)
        assert f._u_ini is None and f._y_ini is None
        with pytest.raises(TypeError):
            zFilter(u_ini="a")

    def test_empty_multistep(self):
        with pytest.raises(IndexError):
            zFilter().run_multistep([])
        for b, a in [([0.0, 0.1], [1.0, -0.9]), ([0.5, 0.5], [1.0])]:
            f = zFilter(b, a)
            f(1.0)
            f(2.0)
            state = f._zi.tolist()
            assert f.run_multistep([]).shape == (0,)
            assert f._zi.tolist() == state  # the filter keeps its memory

    def test_multistep_refuses_other_shapes_without_changing_state(self):
        f = zFilter()
        with pytest.raises(IndexError):
            f.run_multistep(3.0)
        with pytest.raises(ValueError):
            f.run_multistep([[1.0, 2.0]])
        assert f._u_ini is None

    def test_argument_binding(self):
        f = zFilter()
        with pytest.raises(
            TypeError, match=r"__call__\(\) takes at least 2 positional arguments \(1 given\)"
        ):
            f()
        with pytest.raises(
            TypeError, match=r"run\(\) takes at most 3 positional arguments \(4 given\)"
        ):
            f.run(1, 2, 3)
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            f.run_multistep([1], x=1)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'Ut'"):
            f(1, Ut=2)
        assert f.run(Ut=1.0, y_ini=3.0) == 3.0
        with pytest.raises(TypeError, match="takes at most 5 positional"):
            zFilter(1, 2, 3, 4, 5)

    def test_uninitialised_instance_is_refused(self):
        f = zFilter.__new__(zFilter)
        with pytest.raises(TypeError, match="not initialized"):
            f(1.0)

    def test_pickle_and_deepcopy_continue_exactly(self):
        x = np.random.default_rng(4).standard_normal(20)
        for make in (lambda: zFilter([0.1, 0.2, 0.3], [1.5, -0.4, 0.1]), zFilter):
            f = make()
            f.run_multistep(x[:5])
            for clone in (pickle.loads(pickle.dumps(f)), copy.deepcopy(f)):
                assert bits(clone.run_multistep(x[5:])) == bits(
                    copy.deepcopy(f).run_multistep(x[5:])
                )
            g = make()
            assert pickle.loads(pickle.dumps(g))._u_ini is None


class TestSFilter:
    def test_default_discretisation_and_sequence(self):
        s = sFilter()
        num, den, _ = signal.cont2discrete(([1.0], [5.0, 1.0]), 1)
        assert bits(s._zfilter._Bz) == bits(num[0]) and bits(s._zfilter._Az) == bits(den)
        assert isinstance(s._zfilter, zFilter)
        assert s._Bs.dtype == np.float64 and s._Ts == 1 and type(s._Ts) is int
        y = [s(0.0), s(1.0), s(1.0), s(1.0)]
        assert y[:2] == [0.0, 0.0]
        assert y[2] == pytest.approx(0.1812692, abs=1e-7) and y[3] == pytest.approx(
            0.32968, abs=1e-6
        )

    @pytest.mark.filterwarnings("ignore::scipy.signal.BadCoefficients")
    @pytest.mark.parametrize(
        "Bs,As,Ts",
        [
            ([2.0], [3.0, 4.0, 1.0], 0.5),
            ([1.0, 0.5], [2.0, 1.0], 2),
            ([0.0, 1.0], [1.0, 0.2, 0.3], 1),
        ],
    )
    def test_behaves_as_zfilter_of_cont2discrete(self, Bs, As, Ts):
        num, den, _ = signal.cont2discrete((np.array(Bs, float), np.array(As, float)), Ts)
        rng = np.random.default_rng(len(As))
        x = rng.standard_normal(40)
        s, ref = sFilter(Bs, As, Ts, 0.5, -1.0), RefZ(num[0], den, 0.5, -1.0)
        for v in x[:20]:
            assert bits(s(v)) == bits(ref(v))
        assert bits(s.run_multistep(x[20:].tolist())) == bits(ref.run_multistep(x[20:]))
        assert bits(s._zfilter._zi) == bits(ref._zi)

    def test_multistep_takes_only_a_list(self):
        s = sFilter()
        with pytest.raises(
            TypeError,
            match=r"Argument 'U_arr' has incorrect type \(expected list, got numpy.ndarray\)",
        ):
            s.run_multistep(np.ones(3))
        with pytest.raises(TypeError, match="expected list, got tuple"):
            s.run_multistep((1.0,))
        assert s.run_multistep([1.0, 1.0]).tolist() == [0.0, 0.0]

    def test_improper_transfer_function_refused(self):
        with pytest.raises(ValueError):
            sFilter([1.0, 2.0, 3.0], [1.0, 1.0])

    def test_owned_zfilter_is_shared_state(self):
        s = sFilter()
        s(1.0)
        s._zfilter._zi = [0.5]
        assert s(1.0) == 0.5 * 1.0 + 0.0 + s._zfilter._y_ini
        with pytest.raises(TypeError):
            s._zfilter = 3

    def test_pickle_and_deepcopy_continue_exactly(self):
        s = sFilter([1.0], [2.0, 3.0, 1.0], 1, 0.0, 1.0)
        s.run_multistep([1.0, 2.0, 3.0])
        x = [0.5, -1.0, 2.0, 4.0]
        expected = copy.deepcopy(s).run_multistep(x)
        for clone in (pickle.loads(pickle.dumps(s)), copy.deepcopy(s)):
            assert bits(clone.run_multistep(x)) == bits(expected)
            assert clone._zfilter is not s._zfilter


class TestCallOperation:
    def test_subclasses_and_a_second_init(self):
        class Tagged(zFilter):
            def __call__(self, Ut, y_ini=0.0):
                return ("tagged", super().__call__(Ut, y_ini))

        class Plain(sFilter):
            pass

        assert Tagged()(1.0) == ("tagged", 0.0)
        assert Plain()(2.0, 5.0) == 5.0
        f = zFilter()
        f(1.0)
        f.__init__([3.0], [1.0])
        assert f._u_ini is None and f(2.0) == 0.0 and f(3.0) == 3.0

    def test_sfilter_in_a_reference_cycle_is_collected(self):
        import gc
        import weakref

        class Marker:
            pass

        s = sFilter()
        s._Ts = [s]  # the field holds anything, itself included
        s._Bs = marker = Marker()
        probe = weakref.ref(marker)
        del s, marker
        gc.collect()
        assert probe() is None


def test_reference_cycle_through_operating_point_is_collected():
    import gc
    import weakref

    class Level(float):
        pass

    z = zFilter()
    level = Level(1.0)
    level.owner = z  # the filter holds the level, the level holds the filter
    z._u_ini = level
    probe = weakref.ref(level)
    del z, level
    gc.collect()
    assert probe() is None
