import collections
import copy
import gc
import importlib.util
import itertools
import math
import pickle

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from reference import reference_dict, reference_ini
from scipy.signal import lfilter

from korvel.algorithm import plantmodels as pm
from korvel.algorithm import toolbox

c2d = toolbox.c2d


def lfilter_steps(b, a, inputs, zi=None):
    """Feeds lfilter one sample at a time, carrying its state."""
    b = np.asarray(b, dtype=float)
    a = np.asarray(a, dtype=float)
    zi = np.zeros(max(len(a), len(b)) - 1) if zi is None else np.asarray(zi, dtype=float)
    out = []
    for x in inputs:
        y, zi = lfilter(b, a, [x], zi=zi)
        out.append(y[0])
    return out, zi


def same_bits(ours, ref):
    """Equal bit for bit, signed zeros included; NaN where the reference has
    NaN (which NaN an operation yields is the processor's choice)."""
    ours, ref = np.asarray(ours, dtype=float), np.asarray(ref, dtype=float)
    nan = np.isnan(ref)
    return (np.isnan(ours) == nan).all() and ours[~nan].tobytes() == ref[~nan].tobytes()


def model_of(spec, Ts=1):
    """The model a simulator builds for one pair."""
    return pm.MIMOSim({"CV": {"MV": spec}}, {}, Ts).yu_model_obj["CV"]["MV"]


def run(sim, steps, u=None, v=None):
    return [sim(u or {}, v or {}) for _ in range(steps)]


# ---------------------------------------------------------------------------
# Model classes


class TestModelClasses:
    def test_tfz_defaults_and_fields(self):
        m = pm.tfz_model()
        assert m.Gz_num.dtype == np.float64 and m.Gz_den.dtype == np.float64
        assert m.Gz_num.tolist() == [0.0, 1.0, 0.5]
        assert m.Gz_den.tolist() == [1.0, -1.5, 0.7]
        assert m._zi.tolist() == [0.0, 0.0]
        assert isinstance(m, pm.model)

    def test_tfz_delay_pads_numerator_like_numpy(self):
        m = pm.tfz_model(num=[1, 2], den=[1, -0.5], delay=3)
        ref = np.pad(np.array([1, 2], dtype=float), (3, 0), "constant", constant_values=0)
        assert m.Gz_num.tolist() == ref.tolist()
        assert len(m._zi) == 4

    @settings(max_examples=60, deadline=None)
    @given(
        num=st.lists(
            st.floats(-5, 5, allow_nan=False) | st.sampled_from([0.0, -0.0]), min_size=1, max_size=6
        ),
        den_tail=st.lists(
            st.floats(-0.9, 0.9, allow_nan=False) | st.sampled_from([0.0, -0.0]), max_size=4
        ),
        a0=st.sampled_from([1.0, 2.0, -0.7, 3.3]),
        delay=st.integers(0, 12),
        u=st.lists(
            st.floats(-1e3, 1e3, allow_nan=False)
            | st.sampled_from([0.0, -0.0, 5e-324, math.inf, -math.inf, math.nan]),
            min_size=1,
            max_size=30,
        ),
    )
    # A negative zero carried through a dead time keeps its sign.
    @example(num=[1.0], den_tail=[0.5], a0=1.0, delay=8, u=[-0.0] * 20)
    def test_tfz_steps_equal_lfilter(self, num, den_tail, a0, delay, u):
        # Long dead times, signed zeros and non-finite samples.
        den = [a0] + den_tail
        m = pm.tfz_model(num, den, delay)
        ref, zf = lfilter_steps(np.pad(np.array(num, float), (delay, 0)), den, u)
        assert same_bits([m.deltaU_sim(x) for x in u], ref)
        assert same_bits(m._zi, zf)

    def test_stp_model_is_the_table_then_holds(self):
        m = pm.stp_model([0, 0, 1, 1, 0, 0, 4])
        assert m.Gz_num.tolist() == np.diff([0, 0, 1, 1, 0, 0, 4], prepend=0).tolist()
        assert m.Gz_den.tolist() == [1.0]
        assert [m.deltaU_sim(1) for _ in range(10)] == [0, 0, 1, 1, 0, 0, 4, 4, 4, 4]
        twice = pm.stp_model([0, 0, 1, 1, 0, 0, 4])
        assert [twice.deltaU_sim(2.0) for _ in range(8)] == [0, 0, 2, 2, 0, 0, 8, 8]
        assert pm.stp_model().Gz_num.tolist() == np.diff([0.5, 1, 2, 3, 4, 5], prepend=0).tolist()

    def test_stp_model_equals_lfilter_on_float_table(self):
        table = [0.1, 0.35, 0.7, 0.95, 1.2, 1.15]
        u = [1.0, 0.3, -2.5, 7.1, 0.0, 1e-3, 5.5, 5.5, -1.0]
        m = pm.stp_model(table)
        ref, _ = lfilter_steps(np.diff(table, prepend=0), [1.0], u)
        assert [m.deltaU_sim(x) for x in u] == ref

    def test_stpxy_interpolates_breakpoints(self):
        assert pm.stpxy_model().Gz_num.tolist() == pm.stp_model([10, 10, 20, 30]).Gz_num.tolist()
        x, y = [2, 5, 6.5], [1.0, 4.0, -2.0]
        table = np.interp(np.arange(0, x[-1] + 1), x, y).tolist()
        assert pm.stpxy_model(x, y).Gz_num.tolist() == pm.stp_model(table).Gz_num.tolist()

    def test_stpxy_lengths_must_agree(self):
        with pytest.raises(AssertionError) as e:
            pm.stpxy_model([1, 2, 3], [1, 2])
        assert e.value.args == ()

    def test_tfs_model_uses_c2d(self):
        m = pm.tfs_model([0, 4.05], [50, 1], 25, 1)
        num, den = c2d([0, 4.05], [50, 1], 25, 1)
        assert m.Gz_num.tolist() == num.tolist() and m.Gz_den.tolist() == den.tolist()
        d = pm.tfs_model()
        num, den = c2d([0, 1], [5, 1], 0, 1)
        assert d.Gz_num.tolist() == num.tolist() and d.Gz_den.tolist() == den.tolist()
        half = pm.tfs_model([2], [3, 1], delay=1.2, Ts=0.5)
        num, den = c2d([2], [3, 1], 1.2, 0.5)
        assert half.Gz_num.tolist() == num.tolist() and half.Gz_den.tolist() == den.tolist()

    def test_no_model(self):
        m = pm.no_model()
        assert m.deltaU_sim() == 0.0 and m.deltaU_sim(1e9) == 0.0 and m.deltaU_sim(dU=-3) == 0.0
        with pytest.raises(TypeError):
            m.deltaU_sim("1")
        with pytest.raises(TypeError, match="at most 2 positional"):
            m.deltaU_sim(1, 2)

    def test_reset_zi_keeps_coefficients(self):
        m = pm.tfz_model()
        for _ in range(5):
            m.deltaU_sim(1.0)
        assert any(m._zi)
        m.reset_zi()
        assert m._zi.tolist() == [0.0, 0.0]
        assert m.Gz_num.tolist() == [0.0, 1.0, 0.5]
        assert m.deltaU_sim(1.0) == 0.0

    def test_tfz_step_needs_a_number(self):
        m = pm.tfz_model()
        with pytest.raises(TypeError):
            m.deltaU_sim("x")
        with pytest.raises(TypeError, match="deltaU_sim"):
            m.deltaU_sim()
        assert m._zi.tolist() == [0.0, 0.0]

    def test_unrunnable_coefficients_are_refused_at_construction(self):
        with pytest.raises(ValueError, match="a\\[0\\] == 0"):
            pm.tfz_model([1, 2], [0, 1])
        with pytest.raises(ValueError, match="non-empty"):
            pm.stp_model([])
        with pytest.raises(ValueError):
            pm.tfz_model([1], [1], -1)
        with pytest.raises(TypeError):
            pm.tfz_model([1], [1], 1.5)


class TestModelFields:
    def test_coefficients_are_read_only_views(self):
        m = pm.tfz_model()
        with pytest.raises(ValueError):
            m.Gz_num[0] = 5.0
        m.Gz_num = [1, 1]
        assert m.Gz_num.tolist() == [1.0, 1.0]
        # Three den coefficients: the state keeps its two entries.
        assert m.deltaU_sim(2.0) == 2.0

    def test_state_is_live_and_assignable(self):
        m = pm.tfz_model([0, 1, 0.5], [1, -1.5, 0.7])
        zi = m._zi
        m.deltaU_sim(1.0)
        assert zi.tolist() == m._zi.tolist() != [0.0, 0.0]
        m._zi = [0.25, -1.0]
        ref, zf = lfilter_steps([0, 1, 0.5], [1, -1.5, 0.7], [3.0], zi=[0.25, -1.0])
        assert m.deltaU_sim(3.0) == ref[0]
        assert m._zi.tolist() == zf.tolist()
        m._zi[0] = 7.0
        ref, _ = lfilter_steps([0, 1, 0.5], [1, -1.5, 0.7], [0.0], zi=[7.0, zf[1]])
        assert m.deltaU_sim(0.0) == ref[0]

    def test_state_assignment_checks_its_length(self):
        m = pm.tfz_model([0, 1, 0.5], [1, -1.5, 0.7])
        with pytest.raises(ValueError) as ref:
            lfilter([0, 1, 0.5], [1, -1.5, 0.7], [1.0], zi=np.zeros(1))
        with pytest.raises(ValueError) as got:
            m._zi = [0.0]
        assert str(got.value) == str(ref.value)
        assert m._zi.tolist() == [0.0, 0.0]

    @pytest.mark.parametrize(
        "b, a, new_b",
        [([0, 1, 0.5], [1, -1.5, 0.7], [1, 2, 3, 4]), ([1, 1], [1.0], [1]), ([1], [2.0], [1, 2])],
    )
    def test_new_coefficients_with_old_state_fail_as_lfilter(self, b, a, new_b):
        m = pm.tfz_model(b, a)
        old_state = m._zi.copy()
        m.Gz_num = new_b
        with pytest.raises(ValueError) as ref:
            lfilter(new_b, a, [1.0], zi=old_state)
        with pytest.raises(ValueError) as got:
            m.deltaU_sim(1.0)
        assert str(got.value) == str(ref.value)
        m.reset_zi()
        assert len(m._zi) == max(len(a), len(new_b)) - 1
        assert m.deltaU_sim(1.0) == lfilter(new_b, a, [1.0])[0]


class TestAbstractModel:
    def test_model_cannot_be_instantiated(self):
        with pytest.raises(TypeError, match="abstract class model .*'deltaU_sim'"):
            pm.model()

        class Incomplete(pm.model):
            pass

        with pytest.raises(TypeError, match="abstract class Incomplete"):
            Incomplete()

    def test_python_model_in_miso_simulator(self):
        class Gain(pm.model):
            def __init__(self, k):
                self.k = k
                self.seen = []

            def deltaU_sim(self, dU):
                self.seen.append(dU)
                return self.k * dU

        g = Gain(3)
        miso = pm.MISOSimulator([g, pm.stp_model([1, 2])], [1.0, 0.0])
        assert miso.one_step_sim([5, 1]) == 0.0 + 12.0 + 1.0
        assert miso.one_step_sim([5, 1]) == 0.0 + 12.0 + 2.0
        assert g.seen == [4.0, 4.0]

    def test_python_model_in_mimo_through_reset(self):
        class Ramp(pm.model):
            def deltaU_sim(self, dU):
                return 10.0 * dU

        sim = pm.MIMOSim(reference_dict(), reference_ini())
        sim.yu_model_obj["CV1"]["MV3"] = Ramp()
        sim.reset()
        assert sim.cv_simulators["CV1"].model_list[2] is sim.yu_model_obj["CV1"]["MV3"]
        assert sim({"MV3": 18})["CV1"] == 10.0 + 10.0

    def test_python_subclass_of_builtin_model(self):
        class Doubling(pm.stp_model):
            def deltaU_sim(self, dU):
                return 2 * super().deltaU_sim(dU)

        class Plain(pm.tfz_model):
            pass

        d = Doubling([1, 2, 3])
        assert [d.deltaU_sim(1) for _ in range(3)] == [2, 4, 6]
        p = Plain([1], [1, -1])
        miso = pm.MISOSimulator([Doubling([1, 2, 3]), p], [0, 0])
        assert [miso.one_step_sim([1, 1]) for _ in range(3)] == [3.0, 6.0, 9.0]
        assert isinstance(d, pm.stp_model) and isinstance(d, pm.tfz_model)


# ---------------------------------------------------------------------------
# Construction rule


class TestConstructionRule:
    @pytest.mark.parametrize(
        "spec, missing",
        [
            ({"mode": "tf_s", "den_s": [1, 1]}, "num_s"),
            ({"mode": "tf_s", "num_s": [1]}, "den_s"),
            ({"mode": "tf_s"}, "num_s"),
            ({"mode": "tf_z", "den_z": [1]}, "num_z"),
            ({"mode": "tf_z", "num_z": [1]}, "den_z"),
            ({"mode": "stp"}, "stp"),
            ({"mode": "stpxy", "y": [1]}, "x"),
            ({"mode": "stpxy", "x": [1]}, "y"),
        ],
    )
    def test_missing_key_names_the_key(self, spec, missing):
        with pytest.raises(KeyError) as e:
            pm.MIMOSim({"CV": {"MV": spec}})
        assert e.value.args == (missing,)

    @pytest.mark.parametrize("mode", ["TF_S", "tf_S", "tfs", "", None, 0, "none"])
    def test_unknown_mode_is_a_bare_assertion(self, mode):
        with pytest.raises(AssertionError) as e:
            pm.MIMOSim({"CV": {"MV": {"mode": mode, "num_s": [1], "den_s": [1, 1]}}})
        assert e.value.args == ()

    def test_stpxy_lengths_fail_the_simulator(self):
        with pytest.raises(AssertionError) as e:
            pm.MIMOSim({"CV": {"MV": {"mode": "stpxy", "x": [0, 1], "y": [1]}}})
        assert e.value.args == ()

    @pytest.mark.parametrize("spec", [{}, {"mode": "None"}, {"IntegralMark": 1}, {"num_s": [1]}])
    def test_no_model_specs(self, spec):
        m = model_of(spec)
        assert type(m) is pm.no_model
        sim = pm.MIMOSim({"CV": {"MV": spec}}, {"CV": 5, "MV": 1})
        assert [sim({"MV": v})["CV"] for v in (1, 9, -4)] == [5.0, 5.0, 5.0]

    def test_classes_per_mode(self):
        sim = pm.MIMOSim(reference_dict(), reference_ini())
        kinds = {cv: {mv: type(m) for mv, m in row.items()} for cv, row in sim.yu_model_obj.items()}
        assert kinds == {
            "CV1": {"MV1": pm.tfs_model, "MV2": pm.tfz_model, "MV3": pm.no_model},
            "CV2": {"MV1": pm.tfs_model, "MV2": pm.stp_model, "MV3": pm.tfs_model},
        }
        xy = model_of({"mode": "stpxy", "x": [0, 2], "y": [0, 1]})
        assert type(xy) is pm.stpxy_model
        assert xy.Gz_num.tolist() == [0.0, 0.5, 0.5]

    def test_tf_z_delay_and_integration(self):
        delayed = model_of({"mode": "tf_z", "num_z": [1], "den_z": [1], "iodelay_z": 2})
        assert [delayed.deltaU_sim(x) for x in (3, 5, 7, 9)] == [0, 0, 3, 5]
        integ = model_of({"mode": "tf_z", "num_z": [1], "den_z": [1], "IntegralMark": 1})
        assert integ.Gz_den.tolist() == np.convolve([1, -1], [1]).tolist()
        assert [integ.deltaU_sim(1) for _ in range(4)] == [1, 2, 3, 4]
        two = model_of({"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5], "IntegralMark": True})
        assert two.Gz_den.tolist() == np.convolve([1, -1], [1, -0.5]).tolist()

    def test_tf_s_integration_divides_by_s(self):
        m = model_of(
            {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2, "IntegralMark": 1}
        )
        num, den = c2d([0, 1], np.convolve([1, 0], [20, 1]), 2, 1)
        assert m.Gz_num.tolist() == num.tolist() and m.Gz_den.tolist() == den.tolist()
        out = [m.deltaU_sim(1.0) for _ in range(400)]
        assert out[:3] == [0.0, 0.0, 0.0] and out[-1] > 370
        assert all(b > a for a, b in itertools.pairwise(out[3:]))

    def test_tf_s_uses_the_simulator_period(self):
        spec = {"mode": "tf_s", "num_s": [3], "den_s": [4, 1], "iodelay_s": 1.5}
        m = model_of(spec, Ts=0.5)
        num, den = c2d([3], [4, 1], 1.5, 0.5)
        assert m.Gz_num.tolist() == num.tolist() and m.Gz_den.tolist() == den.tolist()

    def test_step_tables_integrate_by_running_sum(self):
        stp = model_of({"mode": "stp", "stp": [0, 1, 0.5], "IntegralMark": 1})
        assert stp.Gz_num.tolist() == np.diff(np.cumsum([0, 1, 0.5]), prepend=0).tolist()
        xy = model_of({"mode": "stpxy", "x": [0, 1, 2], "y": [1, 1, 1], "IntegralMark": 1})
        assert [xy.deltaU_sim(1) for _ in range(5)] == [1, 2, 3, 3, 3]

    def test_numeric_faults_end_construction(self):
        with pytest.raises(ValueError):
            pm.MIMOSim({"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [0, 1]}}})
        with pytest.raises(ValueError):
            pm.MIMOSim(
                {"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [1], "iodelay_z": -1}}}
            )
        with pytest.raises(TypeError):
            pm.MIMOSim(
                {"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [1], "iodelay_z": 0.5}}}
            )
        with pytest.raises(ValueError):
            pm.MIMOSim({"CV": {"MV": {"mode": "stp", "stp": []}}})


# ---------------------------------------------------------------------------
# Simulators


def transcription_step(models, u_ini, y_ini, u, v):
    """Reference arithmetic of one step: lfilter per pair, summed per CV."""
    out = {}
    for cv, row in models.items():
        y0 = 0.0
        for mv, pair in row.items():
            if pair is None:
                continue
            b, a, zi = pair
            y, zf = lfilter(b, a, [u[mv] - u_ini[mv]], zi=zi)
            row[mv] = (b, a, zf)
            y0 += y[0]
        out[cv] = y0 + v.get(cv, 0.0) + y_ini[cv]
    return out


class TestMIMOSim:
    def test_worked_example(self):
        sim = pm.MIMOSim(reference_dict(), reference_ini())
        assert sim() == {"CV1": 10.0, "CV2": 20.0}
        cv2 = [sim({"MV2": 17})["CV2"] for _ in range(12)]
        assert cv2 == [20, 20, 21, 21, 20, 20, 24, 24, 24, 27, 28, 29]
        assert sim.get_input_data_dict() == {"MV1": 15, "MV2": 17, "MV3": 17}

    def test_every_pair_equals_lfilter(self):
        d, ini = reference_dict(), reference_ini()
        sim = pm.MIMOSim(d, ini)
        pairs = {}
        for cv in ("CV1", "CV2"):
            pairs[cv] = {}
            for mv in ("MV1", "MV2", "MV3"):
                m = sim.yu_model_obj[cv][mv]
                pairs[cv][mv] = (
                    None
                    if type(m) is pm.no_model
                    else (m.Gz_num.copy(), m.Gz_den.copy(), np.zeros(len(m._zi)))
                )
        rng = np.random.default_rng(7)
        u = {"MV1": 15.0, "MV2": 16.0, "MV3": 17.0}
        for _ in range(150):
            for mv in u:
                if rng.random() < 0.3:
                    u[mv] = float(rng.normal(16, 3))
            v = {"CV2": float(rng.normal())} if rng.random() < 0.5 else {}
            assert sim(dict(u), v) == transcription_step(pairs, ini, ini, u, v)

    def test_fields(self):
        d, ini = reference_dict(), reference_ini()
        sim = pm.MIMOSim(d, ini, 1)
        assert sim.Ts == 1
        assert sim.process_model_dict == d and sim.process_model_dict is not d
        assert sim.process_model_dict["CV2"]["MV2"]["stp"] is not d["CV2"]["MV2"]["stp"]
        assert sim.ini_value_dict == ini and sim.ini_value_dict is not ini
        assert sim.cv_list == ["CV1", "CV2"] and sim.mv_list == ["MV1", "MV2", "MV3"]
        assert list(sim._u_dict.items()) == [("MV1", 15), ("MV2", 16), ("MV3", 17)]
        assert list(sim._y_dict.items()) == [("CV1", 10), ("CV2", 20)]
        assert list(sim.cv_simulators) == ["CV1", "CV2"]
        for cv, miso in sim.cv_simulators.items():
            assert isinstance(miso, pm.MISOSimulator)
            assert all(
                m is sim.yu_model_obj[cv][mv]
                for m, mv in zip(miso.model_list, sim.mv_list, strict=True)
            )
            assert miso.u_ini_list == [15, 16, 17]
        d["CV1"]["MV1"]["num_s"].append(9)
        ini["CV1"] = 99
        assert sim.process_model_dict["CV1"]["MV1"]["num_s"] == [0, 4.05]
        assert sim() == {"CV1": 10.0, "CV2": 20.0}

    def test_missing_pairs_and_initial_values(self):
        d = {"A": {"M2": {"mode": "stp", "stp": [1]}, "M1": {}}, "B": {"M3": {}}}
        sim = pm.MIMOSim(d, {"M2": 1.0, "X": 5})
        assert sim.mv_list == ["M2", "M1", "M3"]
        assert {cv: list(row) for cv, row in sim.yu_model_obj.items()} == {
            "A": ["M2", "M1", "M3"],
            "B": ["M2", "M1", "M3"],
        }
        assert type(sim.yu_model_obj["B"]["M2"]) is pm.no_model
        assert sim() == {"A": 0.0, "B": 0.0}
        assert sim({"M2": 3.0, "M3": 8}) == {"A": 2.0, "B": 0.0}
        assert sim.get_input_data_dict() == {"M2": 3.0, "M1": 0.0, "M3": 8}

    def test_inputs_keep_order_and_ignore_unknown_tags(self):
        a = pm.MIMOSim(reference_dict(), reference_ini())
        b = pm.MIMOSim(reference_dict(), reference_ini())
        u = {"MV3": 20, "XX": 1, "MV1": 14}
        v = {"CV2": 0.5, "YY": 3}
        for _ in range(40):
            assert a(u, v) == b({"MV3": 20, "MV1": 14}, {"CV2": 0.5})
        assert list(a._u_dict) == ["MV1", "MV2", "MV3"]
        assert u == {"MV3": 20, "XX": 1, "MV1": 14} and v == {"CV2": 0.5, "YY": 3}
        assert a(u_Value_Dict={"MV2": 30}) == b({"MV2": 30})

    def test_disturbance_is_one_step_only(self):
        a = pm.MIMOSim(reference_dict(), reference_ini())
        b = pm.MIMOSim(reference_dict(), reference_ini())
        u = {"MV1": 16, "MV2": 17}
        for _ in range(30):
            a(u), b(u)
        ya, yb = a(u, {"CV1": 1.5}), b(u)
        assert ya["CV1"] == yb["CV1"] + 1.5 and ya["CV2"] == yb["CV2"]
        assert a(u) == b(u)

    def test_data_access_copies(self):
        sim = pm.MIMOSim(reference_dict(), reference_ini())
        sim({"MV1": 16})
        assert list(sim.get_all_data_dict()) == ["MV1", "MV2", "MV3", "CV1", "CV2"]
        assert sim.get_process_tags() == ["CV1", "CV2", "MV1", "MV2", "MV3"]
        for get in (
            sim.get_input_data_dict,
            sim.get_output_data_dict,
            sim.get_all_data_dict,
            sim.get_cv_list,
            sim.get_mv_list,
            sim.get_model_dict,
            sim.get_process_tags,
        ):
            first = get()
            first.clear()
            assert get() != first
        sim.get_model_dict()["CV1"]["MV1"]["num_s"].append(1)
        assert sim.process_model_dict == reference_dict()
        out = sim()
        out["CV1"] = -1
        assert sim._y_dict["CV1"] != -1

    def test_data_copies_are_what_deepcopy_gives(self):
        class Tag:
            def __init__(self, name):
                self.name = name

            def __eq__(self, other):
                return isinstance(other, Tag) and other.name == self.name

            def __hash__(self):
                return hash(self.name)

        sim = pm.MIMOSim({Tag("CV"): {Tag("MV"): {"mode": "stp", "stp": [2]}}})
        sim({Tag("MV"): 1.5})
        u, y = sim._u_dict, sim._y_dict
        assert (u, y) == ({Tag("MV"): 1.5}, {Tag("CV"): 3.0})
        for copied, held in (
            (sim({Tag("MV"): 1.5}), y),
            (sim.get_output_data_dict(), y),
            (sim.get_input_data_dict(), u),
            (sim.get_all_data_dict(), {**u, **y}),
        ):
            assert copied == held
            assert not any(k is h for k in copied for h in [*u, *y])  # as copy.deepcopy

        class Tags(dict):
            pass

        plain = pm.MIMOSim({"CV": {"MV": {"mode": "stp", "stp": [2]}}})
        plain._y_dict = Tags(plain._y_dict)
        assert type(plain.get_output_data_dict()) is Tags

    def test_tag_both_cv_and_mv_shows_cv_value(self):
        sim = pm.MIMOSim({"T": {"T": {"mode": "stp", "stp": [2]}}}, {"T": 1.0})
        assert sim({"T": 2.0}) == {"T": 3.0}
        assert sim.get_all_data_dict() == {"T": 3.0}
        assert sim.get_input_data_dict() == {"T": 2.0}

    def test_reset_keeps_model_states(self):
        sim = pm.MIMOSim(reference_dict(), reference_ini())
        for _ in range(10):
            sim({"MV2": 17})
        models = copy.copy(sim.yu_model_obj["CV2"])
        sim.reset()
        assert sim.get_input_data_dict() == {"MV1": 15, "MV2": 16, "MV3": 17}
        assert sim.get_output_data_dict() == {"CV1": 10, "CV2": 20}
        assert all(sim.yu_model_obj["CV2"][mv] is m for mv, m in models.items())
        assert sim()["CV2"] != 20.0

    def test_simulators_are_independent(self):
        d, ini = reference_dict(), reference_ini()
        a, b = pm.MIMOSim(d, ini), pm.MIMOSim(d, ini)
        ref = pm.MIMOSim(d, ini)
        for _ in range(30):
            a({"MV1": 30, "MV3": 0})
        assert [b() for _ in range(5)] == [ref() for _ in range(5)]

    def test_failed_step_keeps_partial_updates(self):
        sim = pm.MIMOSim(reference_dict(), reference_ini())
        twin = pm.MIMOSim(reference_dict(), reference_ini())
        with pytest.raises(TypeError):
            sim({"MV1": 16, "MV2": "bad", "MV3": 18})
        assert sim._u_dict == {"MV1": 16, "MV2": "bad", "MV3": 18}
        assert sim._y_dict == {"CV1": 10, "CV2": 20}
        # CV1's first model advanced before the bad value was reached.
        assert sim.yu_model_obj["CV1"]["MV1"]._zi.tolist() != [0.0] * 26
        assert sim.yu_model_obj["CV1"]["MV2"]._zi.tolist() == [0.0, 0.0]
        twin.yu_model_obj["CV1"]["MV1"].deltaU_sim(1.0)
        assert (
            sim.yu_model_obj["CV1"]["MV1"]._zi.tolist()
            == twin.yu_model_obj["CV1"]["MV1"]._zi.tolist()
        )

        sim = pm.MIMOSim(reference_dict(), reference_ini())
        with pytest.raises(TypeError):
            sim({"MV2": 17}, {"CV2": "bad"})
        assert sim._y_dict == {"CV1": 10.0, "CV2": 20}
        assert sim.yu_model_obj["CV2"]["MV2"]._zi[0] == 0.0  # advanced with dU 1: 0 + 0*1
        assert sim.yu_model_obj["CV2"]["MV2"]._zi[1] == 1.0
        # Every model moved on: the next step is the second step of a twin.
        twin = pm.MIMOSim(reference_dict(), reference_ini())
        twin({"MV2": 17})
        assert sim({"MV2": 17}) == twin({"MV2": 17})

    def test_argument_errors(self):
        with pytest.raises(TypeError) as e:
            pm.MIMOSim([("CV", {})])
        assert str(e.value) == (
            "Argument 'process_model_dict' has incorrect type (expected dict, got list)"
        )
        with pytest.raises(TypeError, match="expected dict, got collections.OrderedDict"):
            pm.MIMOSim(collections.OrderedDict())
        with pytest.raises(TypeError, match=r"__init__\(\) takes at least 2 positional"):
            pm.MIMOSim()
        sim = pm.MIMOSim({})
        assert sim() == {} and sim.get_process_tags() == []
        with pytest.raises(TypeError, match=r"__call__\(\) takes at most 3 positional"):
            sim({}, {}, {})
        with pytest.raises(TypeError, match="unexpected keyword argument 'u'"):
            sim(u={})

    def test_non_dict_inputs_use_mapping_protocol(self):
        class Values:
            def __init__(self, d):
                self.d = d

            def items(self):
                return self.d.items()

            def get(self, k, default):
                return self.d.get(k, default)

        a = pm.MIMOSim(reference_dict(), reference_ini())
        b = pm.MIMOSim(reference_dict(), reference_ini())
        for _ in range(5):
            assert a(Values({"MV2": 20}), Values({"CV1": 2})) == b({"MV2": 20}, {"CV1": 2})
        with pytest.raises(AttributeError):
            a(None)

    def test_numpy_values_and_initial_values(self):
        d = {"CV": {"MV": {"mode": "stp", "stp": [0.5, 1]}}}
        a = pm.MIMOSim(d, {"CV": np.float64(1.25), "MV": np.int64(2)})
        b = pm.MIMOSim(d, {"CV": 1.25, "MV": 2.0})
        for x in (np.float32(3.5), 4, np.float64(-1)):
            assert a({"MV": x}, {"CV": np.float64(0.5)}) == b({"MV": float(x)}, {"CV": 0.5})

    def test_bad_initial_value_fails_when_used(self):
        sim = pm.MIMOSim({"CV": {"MV": {"mode": "stp", "stp": [1]}}}, {"MV": "x"})
        with pytest.raises(TypeError):
            sim()
        sim = pm.MIMOSim({"CV": {"MV": {}}}, {"CV": "x"})
        with pytest.raises(TypeError):
            sim()

    def test_reentrant_step_is_refused(self):
        class Meddler(pm.model):
            def deltaU_sim(self, dU):
                if self.sim is not None:
                    self.sim.reset()
                return 0.0

        sim = pm.MIMOSim({"CV": {"MV": {}}})
        meddler = Meddler()
        meddler.sim = sim
        sim.yu_model_obj["CV"]["MV"] = meddler
        sim.reset()
        with pytest.raises(RuntimeError):
            sim()
        meddler.sim = None
        assert sim() == {"CV": 0.0}

    def test_cycles_through_python_models_are_collected(self):
        class Holder(pm.model):
            def deltaU_sim(self, dU):
                return 0.0

        import weakref

        sim = pm.MIMOSim({"CV": {"MV": {}}})
        h = Holder()
        h.sim = sim
        sim.yu_model_obj["CV"]["MV"] = h
        sim.reset()
        sim({"MV": 1})
        ref = weakref.ref(h)
        del sim, h
        gc.collect()
        assert ref() is None


class TestMISOSimulator:
    def test_sum_over_shortest(self):
        models = [pm.stp_model([1]), pm.stp_model([10]), pm.stp_model([100])]
        miso = pm.MISOSimulator(models, [1, 2, 3])
        assert miso.model_list is models
        assert miso.one_step_sim([2, 4]) == 0.0 + 1 + 20
        assert miso.one_step_sim((2, 4, 6, 8)) == 0.0 + 1 + 20 + 300
        assert pm.MISOSimulator([], []).one_step_sim([1]) == 0.0

    def test_bad_input_leaves_earlier_models_advanced(self):
        a, b = pm.stp_model([1, 2]), pm.stp_model([1, 2])
        miso = pm.MISOSimulator([a, b], [0, 0])
        with pytest.raises(TypeError):
            miso.one_step_sim([1, "x"])
        assert a._zi.tolist() == [1.0] and b._zi.tolist() == [0.0]


class TestSISOSim:
    def test_is_a_mimo(self):
        sim = pm.SISOSim(2.0, 10.0)
        assert isinstance(sim, pm.MIMOSim) and issubclass(pm.SISOSim, pm.MIMOSim)
        assert sim.get_mv_list() == ["MV"] and sim.get_cv_list() == ["CV"]
        assert sim.get_model_dict() == {
            "CV": {
                "MV": {
                    "mode": "tf_s",
                    "num_s": [0, 2.0],
                    "den_s": [10.0, 1],
                    "iodelay_s": 0,
                    "IntegralMark": 0,
                }
            }
        }
        assert sim.ini_value_dict == {"CV": 0.0, "MV": 0.0}

    def test_first_order_settles_at_gain(self):
        sim = pm.SISOSim(2.0, 10.0)
        out = [sim({"MV": 1.0})["CV"] for _ in range(300)]
        assert out[0] == 0.0
        assert all(b >= a for a, b in itertools.pairwise(out))
        assert abs(out[-1] - 2.0) < 1e-9
        num, den = c2d([0, 2.0], [10.0, 1], 0, 1)
        ref, _ = lfilter_steps(num, den, [1.0] * 300)
        assert out == [0.0 + y + 0.0 + 0.0 for y in ref]

    def test_dead_time(self):
        sim = pm.SISOSim(1.0, 3.0, delay=5, Ts=1)
        out = [sim({"MV": 1.0})["CV"] for _ in range(8)]
        assert out[:6] == [0.0] * 6 and out[6] > 0.0

    def test_integrating(self):
        sim = pm.SISOSim(0.5, 2.0, integralMark=1)
        out = [sim({"MV": 1.0})["CV"] for _ in range(200)]
        assert abs((out[-1] - out[-2]) - 0.5) < 1e-9

    def test_disturbance_and_held_input(self):
        a, b = pm.SISOSim(1.0, 4.0), pm.SISOSim(1.0, 4.0)
        a({"MV": 1.0}), b({"MV": 1.0})
        assert a({}, {"CV": 3.0})["CV"] == b()["CV"] + 3.0
        assert a() == b()

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"takes at least 3 positional"):
            pm.SISOSim(1.0)
        with pytest.raises(ZeroDivisionError):
            pm.SISOSim(1.0, 2.0, Ts=0)


# ---------------------------------------------------------------------------
# Tags, step responses, plots


class TestModelTags:
    def test_orders(self):
        assert pm.get_model_tags(reference_dict()) == (["CV1", "CV2"], ["MV1", "MV2", "MV3"])
        d = {"A": {"MV2": 0, "MV1": 0}, "B": {"MV1": 0, "MV3": 0}, "C": {}}
        assert pm.get_model_tags(d) == (["A", "B", "C"], ["MV2", "MV1", "MV3"])
        assert pm.get_model_tags({}) == ([], [])
        assert pm.get_model_tags(yu_model={"A": {}}) == (["A"], [])

    def test_non_mapping_entry(self):
        with pytest.raises(AttributeError, match="keys"):
            pm.get_model_tags({"A": ["MV1"]})
        with pytest.raises(TypeError, match="exactly 1 positional"):
            pm.get_model_tags()


class TestStepResponses:
    def test_reference_dictionary(self):
        d = reference_dict()
        stp = pm.get_model_stp(d, 1, 300)
        assert list(stp) == ["CV1", "CV2"]
        assert all(list(row) == ["MV1", "MV2", "MV3"] for row in stp.values())
        assert stp["CV1"]["MV3"] == []
        assert stp["CV2"]["MV2"][:12] == [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9]
        assert all(len(r) == 300 for row in stp.values() for r in row.values() if r)
        for cv, mv in [("CV1", "MV1"), ("CV1", "MV2"), ("CV2", "MV1"), ("CV2", "MV3")]:
            sim = pm.MIMOSim({cv: {mv: d[cv][mv]}}, {cv: 0.0, mv: 0.0}, 1)
            assert stp[cv][mv] == [sim({mv: 1.0})[cv] for _ in range(300)]

    def test_edge_cases(self):
        stp = {"CV": {"MV": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4]}}}
        assert pm.get_model_stp(stp, length=10) == {"CV": {"MV": [0, 0, 1, 1, 0, 0, 4, 4, 4, 4]}}
        tfz = {"CV": {"MV": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}}}
        assert pm.get_model_stp(tfz, 1, 3) == {"CV": {"MV": [0.0, 1.0, 1.5]}}
        assert pm.get_model_stp({}) == {}
        flat = {"CV": {"MV": {"mode": "stp", "stp": [0, 5e-7]}}}
        assert pm.get_model_stp(flat, 1, 5) == {"CV": {"MV": []}}
        edge = {"CV": {"MV": {"mode": "stp", "stp": [0, 1e-6]}}}
        assert pm.get_model_stp(edge, 1, 3) == {"CV": {"MV": [0.0, 1e-6, 1e-6]}}
        zero = {"CV": {"MV": {"mode": "tf_z", "num_z": [0.0], "den_z": [1]}}}
        assert pm.get_model_stp(zero, 1, 4) == {"CV": {"MV": []}}
        absent = {"A": {"M1": {"mode": "stp", "stp": [0, 1]}}, "B": {"M2": {}}}
        assert pm.get_model_stp(absent, 1, 2) == {
            "A": {"M1": [0.0, 1.0], "M2": []},
            "B": {"M1": [], "M2": []},
        }
        # A held table is flat over a window that starts after its change.
        held = {"A": {"M1": {"mode": "stp", "stp": [1]}}}
        assert pm.get_model_stp(held, 1, 2) == {"A": {"M1": []}}

    def test_argument_types(self):
        d = reference_dict()
        cases = [
            ((list(d),), "Argument 'yu_model' has incorrect type (expected dict, got list)"),
            ((d, 0.5), "Argument 'Ts' has incorrect type (expected int, got float)"),
            ((d, True), "Argument 'Ts' has incorrect type (expected int, got bool)"),
            ((d, 1, 3.0), "Argument 'length' has incorrect type (expected int, got float)"),
        ]
        for args, message in cases:
            with pytest.raises(TypeError) as e:
                pm.get_model_stp(*args)
            assert str(e.value) == message
        with pytest.raises(ValueError, match="max\\(\\) iterable argument is empty"):
            pm.get_model_stp(d, 1, 0)
        with pytest.raises(KeyError):
            pm.get_model_stp({"CV": {"MV": {"mode": "stp"}}}, 1, 0)

    def test_first_rejected_pair_in_tag_order(self):
        d = {"A": {"M1": {"mode": "bad"}, "M2": {"mode": "stp"}}}
        with pytest.raises(AssertionError):
            pm.get_model_stp(d)


@pytest.fixture
def agg(monkeypatch):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    shown = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    plt.close("all")
    yield shown
    plt.close("all")


class TestPlots:
    def test_figure_layout(self, agg):
        d = reference_dict()
        assert pm.plot_model_stp(d, 1, 50) is None
        (fig,) = agg
        import matplotlib.pyplot as plt

        assert plt.rcParams["font.sans-serif"] == ["SimHei"]
        assert plt.rcParams["axes.unicode_minus"] is False
        assert fig.get_size_inches().tolist() == [15.0, 10.0]
        assert fig.get_facecolor() == (1.0, 1.0, 1.0, 1.0)
        assert fig.get_tight_layout()
        axes = fig.get_axes()
        assert [ax.get_title() for ax in axes] == [
            "CV1-MV1",
            "CV1-MV2",
            "CV1-MV3",
            "CV2-MV1",
            "CV2-MV2",
            "CV2-MV3",
        ]
        assert all(ax.title.get_fontsize() == 11 for ax in axes)
        cells = [ax.get_subplotspec() for ax in axes]
        assert [(s.rowspan.start, s.colspan.start) for s in cells] == [
            (0, 0),
            (0, 1),
            (0, 2),
            (1, 0),
            (1, 1),
            (1, 2),
        ]
        stp = pm.get_model_stp(d, 1, 50)
        for ax, (cv, mv) in zip(axes, [(c, m) for c in stp for m in stp[c]], strict=True):
            lines = ax.get_lines()
            assert len(lines) == 1
            assert lines[0].get_ydata().tolist() == stp[cv][mv]
            assert lines[0].get_xdata().tolist() == list(range(len(stp[cv][mv])))
            assert all(line.get_visible() for line in ax.get_xgridlines() + ax.get_ygridlines())
            # Matplotlib draws sizes below 1 pt at 1 pt.
            size = 15 if stp[cv][mv] else 1
            assert all(t.label1.get_fontsize() == size for t in ax.xaxis.get_major_ticks())
            assert all(t.label1.get_fontsize() == size for t in ax.yaxis.get_major_ticks())

    def test_simulator_plot(self, agg):
        sim = pm.MIMOSim({"CV": {"MV": {"mode": "stp", "stp": [1, 2]}}}, {"CV": 5})
        assert sim.plot_model_stp(plotLen=20) is None
        (fig,) = agg
        assert fig.get_axes()[0].get_lines()[0].get_ydata().tolist() == [1.0] + [2.0] * 19
        half = pm.MIMOSim({"CV": {"MV": {}}}, {}, 0.5)
        half()
        with pytest.raises(TypeError) as e:
            half.plot_model_stp()
        assert str(e.value) == "Argument 'Ts' has incorrect type (expected int, got float)"
        with pytest.raises(TypeError, match="'plotLen'"):
            pm.plot_model_stp({}, 1, 2.0)

    def test_without_matplotlib_nothing_is_computed(self, monkeypatch):
        real = importlib.util.find_spec
        monkeypatch.setattr(
            importlib.util, "find_spec", lambda n, *a: None if n == "matplotlib" else real(n, *a)
        )
        assert pm.plot_model_stp({"CV": {"MV": {"mode": "unknown"}}}, 1, 0) is None

    def test_empty_dictionary_draws_nothing(self, agg):
        pm.plot_model_stp({})
        pm.plot_model_stp({"CV": {}})
        assert agg == []


# ---------------------------------------------------------------------------
# Copies


class TestCopies:
    @pytest.mark.parametrize(
        "make",
        [
            pm.no_model,
            pm.tfz_model,
            pm.tfs_model,
            pm.stp_model,
            pm.stpxy_model,
            lambda: pm.MISOSimulator([pm.stp_model([1, 2])], [0.5]),
        ],
    )
    def test_models_continue_exactly(self, make):
        for clone in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            m = make()
            step = m.one_step_sim if isinstance(m, pm.MISOSimulator) else m.deltaU_sim
            for x in (1.0, 0.5, -2.0):
                step([x]) if isinstance(m, pm.MISOSimulator) else step(x)
            c = clone(m)
            assert type(c) is type(m)
            cstep = c.one_step_sim if isinstance(c, pm.MISOSimulator) else c.deltaU_sim
            arg = [3.0] if isinstance(m, pm.MISOSimulator) else 3.0
            assert cstep(arg) == step(arg)
            assert cstep(arg) == step(arg)

    def test_running_simulator_copies(self):
        for clone in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            sim = pm.MIMOSim(reference_dict(), reference_ini())
            for k in range(40):
                sim({"MV1": 15 + k % 3, "MV2": 17})
            c = clone(sim)
            assert type(c) is pm.MIMOSim
            assert c.get_all_data_dict() == sim.get_all_data_dict()
            for k in range(30):
                assert c({"MV3": 20 - k % 4}) == sim({"MV3": 20 - k % 4})
            # Independent: stepping the copy alone leaves the original behind.
            ahead = [c({"MV1": 40}) for _ in range(5)]
            assert [sim({"MV1": 40}) for _ in range(5)] == ahead
            mc = c.cv_simulators["CV1"].model_list[0]
            assert mc is c.yu_model_obj["CV1"]["MV1"]
            assert mc is not sim.yu_model_obj["CV1"]["MV1"]

    def test_siso_and_subclasses(self):
        for clone in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            s, twin = pm.SISOSim(1.5, 4.0, 2), pm.SISOSim(1.5, 4.0, 2)
            for _ in range(5):
                s({"MV": 1}), twin({"MV": 1})
            c, c2 = clone(s), clone(s)
            assert type(c) is pm.SISOSim
            assert [c() for _ in range(6)] == [twin() for _ in range(6)]
            assert [s() for _ in range(6)] == [c2() for _ in range(6)]

        m = Tagged([1, 2], [1, -0.5])
        m.tag = "kept"
        m.deltaU_sim(1.0)
        for clone in (copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            c = clone(m)
            assert type(c) is Tagged and c.tag == "kept"
            assert c.deltaU_sim(2.0) == copy.deepcopy(m).deltaU_sim(2.0)
        g = pickle.loads(pickle.dumps(Scaled(4)))
        assert g.k == 4 and g.deltaU_sim(2) == 8


class Tagged(pm.tfz_model):
    pass


class Scaled(pm.model):
    def __init__(self, k):
        self.k = k

    def deltaU_sim(self, dU):
        return self.k * dU
