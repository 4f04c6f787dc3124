import copy
import math
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvel.algorithm.gainsched import LPVLocalPlant, LPVPlantSim
from korvel.algorithm.plantmodels import MIMOSim


def gain_model(gain, cvs=("CV1",), mvs=("MV1",)):
    """A static-gain model dictionary: every CV = gain * sum of MV deviations."""
    return {cv: {mv: {"mode": "tf_z", "num_z": [gain], "den_z": [1.0]} for mv in mvs} for cv in cvs}


def lag_model(gain):
    return {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0.0, gain], "den_z": [1.0, -0.5]}}}


class TestBank:
    def test_record_defaults_and_fields(self):
        r = LPVLocalPlant()
        assert (r.plant_id, r.working_point, r.plant, r.yu_model_tf) == (None,) * 4
        assert r.Ts == 1 and type(r.Ts) is int and r.current_weight == 0.0
        r.plant_id = "anything"
        assert r.plant_id == "anything"
        r.plant_id = None  # back to the initial state
        assert r.plant_id is None

    def test_initial_values_must_be_a_mapping(self):
        from collections import UserDict

        with pytest.raises(TypeError, match="ini_value_dict"):
            LPVPlantSim(None)
        with pytest.raises(TypeError, match="ini_value_dict"):
            LPVPlantSim([("CV1", 1.0)])
        source = UserDict({"CV1": [5.0]})
        sim = LPVPlantSim(source)
        source["CV1"].append(1.0)
        assert type(sim.ini_value_dict) is dict and sim.ini_value_dict == {"CV1": [5.0]}

    def test_add_keeps_model_object_and_orders_by_working_point(self):
        sim = LPVPlantSim()
        models = {wp: gain_model(wp) for wp in (50, 10, 30)}
        for pid, wp in enumerate((50, 10, 30)):
            sim.addPlant(pid, wp, models[wp], 1)
        assert [r.working_point for r in sim.plant_list] == [10.0, 30.0, 50.0]
        assert list(sim.get_plant_dict()) == [1, 2, 0]
        rec = sim.get_plant_dict()[1]
        assert rec.yu_model_tf is models[10] and isinstance(rec.plant, MIMOSim)
        assert type(rec.working_point) is float and rec.Ts == 1
        assert rec is sim.plant_list[0]

    def test_same_id_replaces_with_fresh_simulator(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 10, lag_model(1.0), 1)
        old = sim.plant_list[0].plant
        sim(10, {"MV1": 1.0})
        sim.addPlant(1, 20, lag_model(1.0), 1)
        assert len(sim.plant_list) == 1 and sim.plant_list[0].working_point == 20.0
        assert sim.plant_list[0].plant is not old

    def test_equal_working_point_newest_wins(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 20.0, gain_model(1), 1)
        sim.addPlant(2, 20.0, gain_model(2), 1)
        assert list(sim.get_plant_dict()) == [2]
        sim.delPlant(1)
        assert list(sim.get_plant_dict()) == [2]

    def test_del_unknown_is_silent_and_tags_stay(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 1, gain_model(1, cvs=("A", "B")), 1)
        sim.addPlant(2, 2, gain_model(1, cvs=("B", "C")), 1)
        sim.delPlant(99)
        assert sim.get_cv_list() == ["A", "B", "C"]
        sim.delPlant(1)
        sim.delPlant(2)
        assert sim.plant_list == [] and sim.get_cv_list() == ["A", "B", "C"]
        assert sim.get_mv_list() == ["MV1"]

    def test_local_initial_values(self):
        ini = {"CV1": 5.0, "MV1": 2.0}
        sim = LPVPlantSim(ini)
        ini["CV1"] = 99.0
        sim.addPlant(1, 0, gain_model(1), 1)
        local = sim.plant_list[0].plant
        assert local.ini_value_dict == {"CV1": 0.0, "MV1": 2.0}
        assert sim._y_dict == {"CV1": 5.0} and sim._u_dict == {"MV1": 2.0}
        assert sim.ini_value_dict == {"CV1": 5.0, "MV1": 2.0}

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            ((True, 1, {}, 1), "Argument 'plant_id' has incorrect type (expected int, got bool)"),
            ((1, 1, {}, 0.5), "Argument 'Ts' has incorrect type (expected int, got float)"),
            ((1, 1, [], 1), "Argument 'yu_model_tf' has incorrect type (expected dict, got list)"),
        ],
    )
    def test_argument_types_checked_before_anything_changes(self, args, message):
        sim = LPVPlantSim()
        sim.addPlant(1, 5, gain_model(1), 1)
        with pytest.raises(TypeError) as info:
            sim.addPlant(*args)
        assert str(info.value) == message
        assert list(sim.get_plant_dict()) == [1]
        with pytest.raises(TypeError, match="plant_id"):
            sim.delPlant(1.0)

    def test_rejected_model_removes_old_plant_only(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 5, gain_model(1), 1)
        with pytest.raises(AssertionError):
            sim.addPlant(1, 5, {"CVX": {"MVX": {"mode": "TF_S"}}}, 1)
        assert sim.plant_list == [] and sim.get_cv_list() == ["CV1"]

    def test_nan_working_points_sort_last_and_are_never_weighted(self):
        sim = LPVPlantSim()
        sim.addPlant(1, math.nan, gain_model(100), 1)
        sim.addPlant(2, 10, gain_model(1), 1)
        sim.addPlant(3, math.nan, gain_model(200), 1)
        assert [r.plant_id for r in sim.plant_list] == [2, 3]
        assert sim(50, {"MV1": 1.0}) == {"CV1": 1.0}
        assert sim.get_current_plant_weight_dict() == {2: 1.0, 3: 0.0}


class TestStep:
    def make(self, points=(10, 30), gains=(1.0, 3.0), ini=None):
        sim = LPVPlantSim(ini or {"CV1": 5.0, "MV1": 2.0})
        for pid, (wp, g) in enumerate(zip(points, gains, strict=True)):
            sim.addPlant(pid, wp, gain_model(g), 1)
        return sim

    def test_first_step_returns_initial_values(self):
        assert self.make()(15) == {"CV1": 5.0}

    def test_between_two_points(self):
        sim = self.make()
        out = sim(15, {"MV1": 3.0})
        assert out == {"CV1": (0.75 * 1.0 + 0.25 * 3.0) + 5.0}
        assert sim.get_current_plant_weight_dict() == {0: 0.75, 1: 0.25}
        assert sim._working_value == 15.0

    @pytest.mark.parametrize(
        ("wv", "weights", "value"),
        [(30, {0: 0.0, 1: 1.0}, 8.0), (100, {0: 0.0, 1: 1.0}, 8.0), (5, {0: 1.0, 1: 0.0}, 6.0)],
    )
    def test_on_and_outside_the_points(self, wv, weights, value):
        sim = self.make()
        assert sim(wv, {"MV1": 3.0}) == {"CV1": value}
        assert sim.get_current_plant_weight_dict() == weights

    def test_index_equals_numpy_interp(self):
        rng = np.random.default_rng(3)
        for _ in range(200):
            pts = np.unique(rng.uniform(-50, 50, rng.integers(2, 6)))
            sim = LPVPlantSim()
            for i, p in enumerate(pts):
                sim.addPlant(i, float(p), gain_model(1.0), 1)
            x = float(rng.uniform(-60, 60))
            sim(x)
            idx = float(np.interp(x, pts, np.arange(len(pts))))
            lo, hi = int(np.floor(idx)), int(np.ceil(idx))
            w2 = min(max(idx - lo, 0.0), 1.0)
            w = sim.get_current_plant_weight_dict()
            if lo == hi:
                assert w[lo] == 1.0
            else:
                assert (w[lo], w[hi]) == (1.0 - w2, w2)

    def test_three_plants_all_advance(self):
        sim = LPVPlantSim()
        for pid, wp in enumerate((10, 20, 40)):
            sim.addPlant(pid, wp, lag_model(1.0), 1)
        for _ in range(3):
            sim(30, {"MV1": 1.0})
        assert sim.get_current_plant_weight_dict() == {0: 0.0, 1: 0.5, 2: 0.5}
        outs = [r.plant.get_output_data_dict()["CV1"] for r in sim.plant_list]
        assert outs[0] == outs[1] == outs[2] != 0.0

    def test_mv_bookkeeping_and_disturbance(self):
        sim = self.make()
        sim(15, {"MV1": 4.0, "MVX": 1.0}, {"CV1": 2.0})
        assert sim.get_input_data_dict() == {"MV1": 4.0}
        sim(15)
        assert sim._u_dict == {"MV1": 4.0}
        assert sim.get_all_data_dict() == {"MV1": 4.0, "CV1": 0.75 * 2 + 0.25 * 6 + 5.0}

    def test_disturbance_counted_once(self):
        sim = self.make()
        assert sim(15, {}, {"CV1": 2.0}) == {"CV1": 7.0}

    def test_run_equals_call(self):
        a, b = self.make(), self.make()
        for wv in (12, 17, 29, 3):
            assert a(wv, {"MV1": wv / 10}) == b.run(wv, u_Value_Dict={"MV1": wv / 10})

    def test_copies_never_alias(self):
        sim = self.make()
        out = sim(15)
        out["CV1"] = -1
        sim.get_input_data_dict()["MV1"] = -1
        sim.get_cv_list().append("Z")
        assert sim._y_dict == {"CV1": 5.0} and sim._u_dict == {"MV1": 2.0}
        assert sim.get_cv_list() == ["CV1"]


class TestFailures:
    def test_empty_bank(self):
        sim = LPVPlantSim()
        with pytest.raises(ValueError):
            sim(3.0)
        assert sim._working_value == 3.0

    def test_nan_working_value_advances_nothing(self):
        sim = LPVPlantSim({"MV1": 0.0})
        sim.addPlant(1, 0, lag_model(1.0), 1)
        sim.addPlant(2, 1, lag_model(1.0), 1)
        with pytest.raises(ValueError):
            sim(math.nan, {"MV1": 1.0})
        assert sim._u_dict == {"MV1": 1.0}
        assert sim.plant_list[0].plant.get_input_data_dict() == {"MV1": 0.0}

    def test_none_mapping(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 0, gain_model(1), 1)
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'items'$"):
            sim(4.0, None)
        assert sim._working_value == 4.0

    def test_cv_missing_from_upper_plant(self):
        sim = LPVPlantSim()
        sim.addPlant(1, 0, gain_model(1, cvs=("A", "B")), 1)
        sim.addPlant(2, 10, gain_model(1, cvs=("A",)), 1)
        with pytest.raises(KeyError, match="'B'"):
            sim(5, {"MV1": 1.0})
        assert sim._y_dict["A"] == 1.0 and sim._y_dict["B"] == 0.0
        assert sim.get_current_plant_weight_dict() == {1: 0.5, 2: 0.5}

    def test_argument_binding(self):
        sim = LPVPlantSim()
        with pytest.raises(TypeError, match=r"^__call__\(\) takes at least 2 positional"):
            sim()
        with pytest.raises(TypeError, match=r"^run\(\) got an unexpected keyword argument 'u'$"):
            sim.run(1, u={})


def test_plot_delegates_to_local_simulator(monkeypatch):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    sim = LPVPlantSim()
    assert sim.plot_model_stp(1) is None
    sim.addPlant(1, 0, lag_model(2.0), 1)
    assert sim.plot_model_stp(7) is None
    plt.close("all")
    assert sim.plot_model_stp(1, plotLen=20) is None
    assert len(plt.gcf().axes) == 1
    plt.close("all")


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_copied_simulator_continues_independently(clone):
    sim = LPVPlantSim({"CV1": 1.0})
    sim.addPlant(1, 0, lag_model(1.0), 1)
    sim.addPlant(2, 10, lag_model(4.0), 1)
    for k in range(5):
        sim(k, {"MV1": float(k)})
    twin = clone(sim)
    assert twin.plant_list[0].plant is not sim.plant_list[0].plant
    a = [sim(7, {"MV1": 2.0}) for _ in range(5)]
    b = [twin(7, {"MV1": 2.0}) for _ in range(5)]
    assert a == b
    twin(3, {"MV1": 9.0})
    assert sim.get_output_data_dict() == a[-1]


class Called(MIMOSim):
    """A MIMOSim the LPV step must call through Python."""


@settings(max_examples=40, deadline=None, derandomize=True)
@given(
    steps=st.lists(
        st.tuples(
            st.floats(0, 40),
            st.dictionaries(
                st.sampled_from(["MV1", "MV2", "X"]), st.floats(-5, 5) | st.integers(-5, 5)
            ),
            st.dictionaries(st.sampled_from(["CV1", "CV2"]), st.floats(-1, 1), max_size=1),
            st.sampled_from([None, "read", "write"]),
        ),
        max_size=12,
    )
)
def test_local_plants_stepped_natively_match_called_ones(steps):
    """Native local plants write their dicts late; nobody can tell."""
    model = {
        "CV1": {"MV1": {"mode": "tf_z", "num_z": [0.5, 0.2], "den_z": [1.0, -0.5]}},
        "CV2": {"MV2": {"mode": "stp", "stp": [0, 1, 3]}},
    }
    native, called = LPVPlantSim({"MV1": 1.0, "CV2": 2.0}), LPVPlantSim({"MV1": 1.0, "CV2": 2.0})
    for i, wp in enumerate((10.0, 20.0, 30.0)):
        native.addPlant(i, wp, model, 1)
        called.addPlant(i, wp, model, 1)
        rec = (
            called.plant_list[-1]
            if called.plant_list[-1].plant_id == i
            else called.get_plant_dict()[i]
        )
        rec.plant = Called(model, rec.plant.ini_value_dict, 1)
    for wv, u, v, touch in steps:
        assert native(wv, u, v) == called(wv, u, v)
        assert native.get_current_plant_weight_dict() == called.get_current_plant_weight_dict()
        for a, b in zip(native.plant_list, called.plant_list, strict=True):
            if touch == "read":
                assert a.plant._u_dict == b.plant._u_dict and a.plant._y_dict == b.plant._y_dict
            elif touch == "write":
                for p in (a.plant, b.plant):
                    p._u_dict["MV1"] = 3.0
    for a, b in zip(native.plant_list, called.plant_list, strict=True):
        assert a.plant.get_all_data_dict() == b.plant.get_all_data_dict()
        assert a.plant.__getstate__()[7:9] == b.plant.__getstate__()[7:9]


def test_numbers_a_caller_holds_never_change():
    """Outputs and weights are new numbers: none a caller holds changes."""
    sim = LPVPlantSim({"CV1": 1.0})
    for i, wp in enumerate((10.0, 20.0)):
        sim.addPlant(i, wp, lag_model(1.0 + i), 1)
    held = []  # (object, its value when taken)

    def take(*objs):
        held.extend((o, float(o)) for o in objs)

    for k in range(12):
        result = sim(12.5 + k % 5, {"MV1": float(k)})
        if k % 3 == 0:
            take(*result.values())
        if k % 3 == 1:
            take(*sim._y_dict.values(), *sim.plant_list[0].plant._y_dict.values())
        if k % 3 == 2:
            take(*(r.current_weight for r in sim.plant_list))
    assert all(float(o) == v for o, v in held)
    assert len({float(o) for o, _ in held}) > 3  # the steps did change the outputs


def test_a_dict_is_never_stale():
    """A simulator's dicts, however a caller reaches them (its fields, a saved
    state, the collector), hold the values of the last step."""
    import gc

    sim = LPVPlantSim({"CV1": 1.0})
    for i, wp in enumerate((10.0, 20.0)):
        sim.addPlant(i, wp, lag_model(1.0 + i), 1)
    plants = [r.plant for r in sim.plant_list]
    for k in range(9):
        sim(12.5 + k, {"MV1": float(k)})
        if k == 3:
            fields = plants[0]._y_dict, plants[0]._u_dict
        if k == 5:
            saved = plants[1].__getstate__()[7:9]
        for p in plants:
            out = p.get_output_data_dict()
            seen = [
                d
                for d in gc.get_referents(p)
                if type(d) is dict
                and d is not p.ini_value_dict
                and list(d) == list(out)
                and all(type(v) in (int, float) for v in d.values())
            ]
            assert all(d == out for d in seen)
        if k > 3:
            assert fields == (plants[0].get_output_data_dict(), plants[0].get_input_data_dict())
        if k > 5:
            assert saved == (plants[1].get_input_data_dict(), plants[1].get_output_data_dict())
