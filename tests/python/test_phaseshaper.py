import copy
import math
import pickle
import re

import numpy as np
import pytest
from scipy import signal

from korvel.algorithm.phaseshaper import LDLAG, filter_stp, positive_parameter_property


def bits(a):
    a = np.asarray(a, dtype=float)
    return a.shape, a.tobytes()


class RefLDLAG:
    """The lead-lag filter written directly on scipy.signal, as it is defined."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1, u_ini=None, y_ini=None):
        self._Ts, self._alpha, self._tao = Ts, float(alpha), float(tao)
        self._u_ini, self._y_ini = u_ini, y_ini
        self._modify_param()

    def _modify_param(self):
        if self._tao == 0:
            num, den = [1.0], [1.0]
        elif self._alpha == 0 and self._tao > 0:
            num, den, _ = signal.cont2discrete(([1.0], [self._tao, 1.0]), dt=self._Ts)
            num = [num[0][1]]
        elif self._alpha > 0 and self._tao > 0:
            lead = [self._alpha * self._tao, 1.0]
            num, den, _ = signal.cont2discrete((lead, [self._tao, 1.0]), dt=self._Ts)
            num = num[0]
        else:
            raise ValueError("no rule")
        self._b, self._a = np.array(num, dtype=float), np.array(den, dtype=float)
        if self._u_ini is not None and self._y_ini is not None:
            self._zi = signal.lfiltic(self._b, self._a, [self._y_ini], [self._u_ini])
        else:
            self._zi = None

    def set(self, name, v):
        if v != getattr(self, "_" + name):
            setattr(self, "_" + name, v)
            self._modify_param()

    def __call__(self, u):
        u = float(u)
        if self._zi is None:
            self._zi = signal.lfiltic(self._b, self._a, [u], [u])
        y, self._zi = signal.lfilter(self._b, self._a, [u], zi=self._zi)
        self._u_ini, self._y_ini = u, y[0]
        return y[0]

    def multi_step(self, u):
        if self._zi is None:
            self._zi = signal.lfiltic(self._b, self._a, [u[0]], [u[0]])
        y, self._zi = signal.lfilter(self._b, self._a, u, zi=self._zi)
        self._u_ini, self._y_ini = u[-1], y[-1]
        return y


def same_state(f, ref):
    assert bits(f._b) == bits(ref._b) and bits(f._a) == bits(ref._a)
    assert (f._zi is None) == (ref._zi is None)
    if ref._zi is not None:
        assert bits(f._zi) == bits(ref._zi)


class TestAgainstScipy:
    @pytest.mark.parametrize("seed", range(8))
    def test_random_runs_with_parameter_changes(self, seed):
        rng = np.random.default_rng(seed)
        alphas = [0.0, 0, 0.5, 1.0, 2.5, float(rng.uniform(0.01, 3))]
        taos = [0.0, 5.0, 3, float(rng.uniform(0.2, 30))]
        Ts = int(rng.choice([1, 2, 5]))
        start = dict(alpha=rng.choice(alphas[1:]), tao=rng.choice(taos[1:]), Ts=Ts)
        if seed % 2:
            start.update(u_ini=float(rng.standard_normal()), y_ini=float(rng.standard_normal()))
        f, ref = LDLAG(**start), RefLDLAG(**start)
        same_state(f, ref)
        for _ in range(120):
            op = rng.integers(5)
            if op < 2:
                u = float(rng.standard_normal() * 4)
                assert bits(f(u)) == bits(ref(u))
            elif op == 2:
                u = rng.standard_normal(int(rng.integers(1, 30))) * 4
                u = u.tolist() if rng.random() < 0.5 else u
                assert bits(f.multi_step(u)) == bits(ref.multi_step(u))
            else:
                name = "alpha" if op == 3 else "tao"
                v = (alphas if op == 3 else taos)[rng.integers(4)]
                setattr(f, name, v)
                ref.set(name, v)
            same_state(f, ref)
            assert f._u_ini == ref._u_ini and f._y_ini == ref._y_ini

    @pytest.mark.parametrize(
        "alpha,tao,Ts", [(0.0, 5.0, 1), (0.5, 5.0, 1), (2.0, 0.7, 3), (1.0, 40, 2)]
    )
    def test_coefficients_follow_cont2discrete(self, alpha, tao, Ts):
        f = LDLAG(alpha, tao, Ts)
        lead = [alpha * tao, 1.0] if alpha else [1.0]
        num, den, _ = signal.cont2discrete((lead, [tao, 1.0]), dt=Ts)
        expected = [num[0][1]] if alpha == 0 else num[0]
        assert bits(f._b) == bits(expected) and bits(f._a) == bits(den)
        e = math.exp(-Ts / tao)
        assert f._a.tolist() == pytest.approx([1.0, -e])


class TestLDLAG:
    def test_documented_sequences(self):
        f = LDLAG(alpha=0.5, tao=5)
        y = [f(u) for u in (0, 1, 1, 1)]
        assert y[0] == 0.0
        assert y[1:] == pytest.approx([0.5, 0.5906346, 0.6648400], abs=1e-7)
        assert y[1:] == pytest.approx(filter_stp(3, 5, 0.5).tolist(), rel=1e-14)
        g = LDLAG()
        assert [g(u) for u in (0, 1, 1, 1)] == pytest.approx(
            [0.0, 0.1812692, 0.3296800, 0.4511884], abs=1e-7
        )
        assert g._b.tolist() == pytest.approx([0.1812692], abs=1e-7)

    def test_pass_through_settings(self):
        x = np.random.default_rng(2).standard_normal(20)
        for f in (LDLAG(alpha=1.0, tao=5), LDLAG(tao=0), LDLAG(alpha=-1.0, tao=0)):
            assert [f(v) for v in x] == pytest.approx(x.tolist(), rel=1e-12, abs=1e-12)
        f = LDLAG()
        f(1.0)
        f(3.0)
        f.tao = 0
        assert f(-2.0) == -2.0

    def test_starting_points(self):
        f = LDLAG()
        assert f._zi is None and f._u_ini is None
        assert f(2.0) == 2.0 and f(2.0) == 2.0
        g = LDLAG(u_ini=0.0, y_ini=1.0)
        assert g._zi is not None
        y = [g(0.0) for _ in range(3)]
        assert y[0] == pytest.approx(math.exp(-0.2), abs=1e-15) and y[0] > y[1] > y[2] > 0

    def test_bumpless_parameter_change(self):
        f = LDLAG()
        f(2.0)
        f.tao = 20
        assert f(2.0) == pytest.approx(2.0, abs=1e-15)
        f.alpha = 0.5
        assert f(2.0) == pytest.approx(2.0, abs=1e-15)

    def test_assigning_the_current_value_does_nothing(self):
        f = LDLAG()
        f(1.0)
        f(5.0)
        state = f._zi
        f.alpha = 0.0
        f.tao = 5
        assert f._zi is state and type(f._tao) is float

    def test_assignment_keeps_the_type_given(self):
        f = LDLAG()
        f.tao = 7
        assert f.tao == 7 and type(f.tao) is int and type(f._tao) is int

    def test_refused_assignments_change_nothing(self):
        f = LDLAG(alpha=0.5)
        f(1.0)
        b, zi = f._b.copy(), f._zi.copy()
        with pytest.raises(ValueError, match=r"^Expected a non-negative value\.$"):
            f.alpha = -0.1
        with pytest.raises(
            TypeError, match=r"^alpha must be a \(<class 'float'>, <class 'int'>\)$"
        ):
            f.alpha = "1"
        with pytest.raises(ValueError):
            f.tao = math.nan  # no coefficient rule: the old value comes back
        assert f.alpha == 0.5 and f.tao == 5.0
        assert f._b.tolist() == b.tolist() and f._zi.tolist() == zi.tolist()
        assert f(1.0) == pytest.approx(1.0)

    def test_construction_errors(self):
        with pytest.raises(
            TypeError, match=r"Argument 'Ts' has incorrect type \(expected int, got float\)"
        ):
            LDLAG(Ts=0.5)
        with pytest.raises(TypeError, match="expected int, got bool"):
            LDLAG(Ts=True)
        for kwargs in (dict(tao=-1.0), dict(alpha=-0.5, tao=2.0)):
            with pytest.raises(ValueError, match="tao >= 0"):
                LDLAG(**kwargs)
        with pytest.raises(TypeError):
            LDLAG(alpha="a")
        with pytest.raises(TypeError, match=r"__init__\(\) takes at most 6 positional"):
            LDLAG(0, 1, 1, 0, 0, 0)

    def test_multi_step(self):
        f = LDLAG(alpha=2.0, tao=3)
        y = f.multi_step([1, 2, 3])
        assert y.dtype == np.float64 and y[0] == 1.0
        assert f._u_ini == 3.0 and f._y_ini == y[-1]
        with pytest.raises(IndexError):
            LDLAG().multi_step([])
        state = f._zi.copy()
        with pytest.raises(IndexError):
            f.multi_step(np.array([]))
        with pytest.raises(ValueError):
            f.multi_step([[1.0, 2.0]])
        assert f._zi.tolist() == state.tolist()

    def test_state_assignment(self):
        f = LDLAG()
        f(1.0)
        saved = f._zi
        y = [f(2.0), f(3.0)]
        f._zi = saved
        f._u_ini = 1.0
        assert [f(2.0), f(3.0)] == y
        with pytest.raises(ValueError, match="expected"):
            f._zi = [1.0, 2.0]
        f._zi = None
        assert f(4.0) == 4.0

    def test_coefficients_lfilter_refuses_fail_the_next_step_as_it_does(self):
        for tao, field, value in ((0.0, "_b", []), (5.0, "_b", []), (5.0, "_a", [0.0, 1.0])):
            f = LDLAG(tao=tao)
            f(1.0)
            setattr(f, field, value)
            with pytest.raises(ValueError) as theirs:
                signal.lfilter(f._b, f._a, [1.0], zi=f._zi)
            with pytest.raises(ValueError, match=f"^{re.escape(str(theirs.value))}$"):
                f(1.0)

    def test_uninitialised_instance_is_refused(self):
        with pytest.raises(TypeError, match="not initialized"):
            LDLAG.__new__(LDLAG)(1.0)

    def test_pickle_and_deepcopy_continue_exactly(self):
        x = np.random.default_rng(5).standard_normal(10)
        for f in (LDLAG(alpha=0.3, tao=4), LDLAG(u_ini=1.0, y_ini=2.0)):
            f.multi_step(x[:3])
            expected = copy.deepcopy(f).multi_step(x[3:])
            for clone in (pickle.loads(pickle.dumps(f)), copy.deepcopy(f)):
                assert bits(clone.multi_step(x[3:])) == bits(expected)
                clone.tao = 9.0
                assert clone.tao == 9.0 and f.tao != 9.0
        fresh = pickle.loads(pickle.dumps(LDLAG()))
        assert fresh._zi is None and fresh(3.0) == 3.0

    def test_restored_coefficients_lfilter_refuses_are_not_stepped(self):
        state = LDLAG(0.5, 5.0).__getstate__()
        f = LDLAG.__new__(LDLAG)
        f.__setstate__(state[:3] + ((),) + state[4:])  # no numerator
        with pytest.raises(ValueError, match="non-empty"):
            f(0.0)


class TestFilterStp:
    def test_matches_its_numpy_expression(self):
        rng = np.random.default_rng(11)
        for _ in range(300):
            N = int(rng.integers(0, 400))
            tao = float(rng.choice([rng.uniform(0.01, 100), 0.0, -1.0, rng.uniform(1e-4, 1e-2)]))
            alpha, r1, r2 = (float(v) for v in rng.standard_normal(3) * 3)
            t = np.arange(0, N)
            w = np.ones(N) if tao <= 0 else 1 - (1 - alpha) * np.exp((-1 / tao) * t)
            assert bits(filter_stp(N, tao, alpha, r1, r2)) == bits(r1 + (r2 - r1) * w)

    def test_edge_cases(self):
        assert filter_stp(5, 0, 0.3, 2.0, 4.0).tolist() == [4.0] * 5
        y = filter_stp(3, 2, 0.0, 0.0, 1.0)
        assert y.tolist() == pytest.approx([0.0, 1 - math.exp(-0.5), 1 - math.exp(-1)])
        assert filter_stp(0, 1.0, 0.0).shape == (0,)
        assert filter_stp(-2, 1.0, 0.0).shape == (0,)
        with pytest.raises(ValueError, match="negative dimensions"):
            filter_stp(-2, 0.0, 0.0)

    def test_N_must_be_an_int(self):
        for bad, name in ((3.0, "float"), (True, "bool"), (np.int64(3), "numpy.int64")):
            with pytest.raises(TypeError, match=rf"expected int, got {name}\)"):
                filter_stp(bad, 1.0, 0.0)
        with pytest.raises(TypeError):
            filter_stp(3, "1", 0.0)


class TestPositiveParameterProperty:
    class Plant:
        gain = positive_parameter_property("gain", int)
        lag = positive_parameter_property("lag", (float, int))

        def __init__(self):
            self._gain, self._lag, self.calls = 1, 2.0, 0

        def _modify_param(self):
            if self._lag == 99:
                raise RuntimeError("cannot use 99")
            self.calls += 1

    def test_is_a_property_on_any_class(self):
        assert isinstance(self.Plant.__dict__["gain"], property)
        assert isinstance(LDLAG.__dict__["tao"], property)
        p = self.Plant()
        assert p.gain == 1 and p.lag == 2.0

    def test_effective_assignment_stores_and_recomputes(self):
        p = self.Plant()
        p.gain = 3
        assert p._gain == 3 and p.calls == 1
        p.gain = 3
        p.lag = 2
        assert p.calls == 1  # equal values change nothing
        p.lag = 0
        assert p._lag == 0 and type(p._lag) is int and p.calls == 2

    def test_failed_assignments_change_nothing(self):
        p = self.Plant()
        with pytest.raises(TypeError, match=r"^gain must be a <class 'int'>$"):
            p.gain = 2.5
        with pytest.raises(ValueError, match=r"^Expected a non-negative value\.$"):
            p.lag = -1
        with pytest.raises(RuntimeError, match="cannot use 99"):
            p.lag = 99
        assert (p._gain, p._lag, p.calls) == (1, 2.0, 0)

    def test_arguments(self):
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
            positive_parameter_property("x")
        prop = positive_parameter_property(name="x", expected_type=float)
        assert isinstance(prop, property)
