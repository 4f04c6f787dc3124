"""Pair models fitted to plant-test records: accuracy over many seeds, the
dead-time search, joint fits of several MVs, and the fitted model replayed by
MIMOSim."""

import copy
import pickle

import numpy as np
import pytest

from korvel.algorithm import excite
from korvel.algorithm.identify import fit_pair, fit_process
from korvel.algorithm.plantmodels import MIMOSim

N = 3000
LEAD = 30  # samples at rest before the test signal starts


def excitation(seed: int, n: int = N, half_cycle: int = 20) -> np.ndarray:
    signal = excite.TestSignal(seed)
    signal.set_ET(half_cycle)
    return np.array([0.0] * LEAD + [signal(k)[0] for k in range(n - LEAD)])


def process(kind: str, rng: np.random.Generator) -> tuple[dict, dict]:
    """A random process of the kind: its model entry and true parameters."""
    sign = rng.choice([-1.0, 1.0])
    delay = int(rng.integers(0, 16))
    if kind == "ipdt":
        gain = sign * rng.uniform(0.01, 0.1)
        entry = {"mode": "tf_s", "num_s": [gain], "den_s": [1.0], "IntegralMark": 1}
        true = {"gain": gain}
    elif kind == "fopdt":
        gain, tau = sign * rng.uniform(0.5, 3.0), rng.uniform(5.0, 40.0)
        entry = {"mode": "tf_s", "num_s": [gain], "den_s": [tau, 1.0]}
        true = {"gain": gain, "tau": tau}
    else:
        gain, tau1 = sign * rng.uniform(0.5, 3.0), rng.uniform(10.0, 40.0)
        tau2 = max(3.0, rng.uniform(0.2, 0.6) * tau1)
        entry = {"mode": "tf_s", "num_s": [gain], "den_s": [tau1 * tau2, tau1 + tau2, 1.0]}
        true = {"gain": gain, "tau1": tau1, "tau2": tau2}
    entry["iodelay_s"] = delay
    return entry, true | {"dead_time": delay}


def simulate(entries: dict, inputs: dict) -> dict:
    """The CV records MIMOSim gives for MV records (deviation form, from rest)."""
    sim = MIMOSim(entries, {}, 1)
    n = len(next(iter(inputs.values())))
    rows = [sim({tag: u[k] for tag, u in inputs.items()}) for k in range(n)]
    return {cv: np.array([row[cv] for row in rows]) for cv in entries}


def plant_test(kind: str, seed: int, snr_db: float | None):
    rng = np.random.default_rng(seed)
    entry, true = process(kind, rng)
    u = excitation(seed)
    y = simulate({"CV": {"MV": entry}}, {"MV": u})["CV"]
    if snr_db is not None:  # white noise of 1/10**(snr/10) of the response's variance
        y = y + rng.standard_normal(N) * np.std(y) / 10 ** (snr_db / 20)
    return u, y, true


def within(fit: dict, true: dict, rel: float, samples: int) -> bool:
    ok = abs(fit["params"]["dead_time"] - true["dead_time"]) <= samples
    return ok and all(
        abs(fit["params"][k] / v - 1) <= rel for k, v in true.items() if k != "dead_time"
    )


@pytest.mark.parametrize("kind", ["fopdt", "sopdt", "ipdt"])
def test_noise_free_records_give_the_model_back(kind):
    for seed in range(8):
        u, y, true = plant_test(kind, seed, None)
        fit = fit_pair(u, y, 1, kind, u0=0.0, y0=0.0)
        assert fit["delay"] == true["dead_time"], seed
        assert within(fit, true, 0.005, 0), (seed, fit["params"], true)
        assert fit["r2"] > 1 - 1e-9


@pytest.mark.parametrize("kind", ["fopdt", "sopdt", "ipdt"])
def test_twenty_db_noise_over_a_hundred_seeds(kind):
    """Gains and time constants within 10 %, dead times within a sample, in at
    least 95 of 100 plant tests of random processes."""
    hits = 0
    for seed in range(100):
        u, y, true = plant_test(kind, 1000 + seed, 20.0)
        fit = fit_pair(u, y, 1, kind, u0=0.0, y0=0.0)
        hits += within(fit, true, 0.10, 1)
        assert 0.95 < fit["r2"] < 1.0
    assert hits >= 95


def test_step_table_of_a_table_process_is_exact():
    table = [0.0, 0.0, 0.5, 1.5, 2.5, 3.0, 3.2, 3.1, 3.0, 3.0]
    u = excitation(5, n=400, half_cycle=6)
    y = simulate({"CV": {"MV": {"mode": "stp", "stp": table}}}, {"MV": u})["CV"]
    fit = fit_pair(u, y, 1, "stp", u0=0.0, y0=0.0, length=len(table))
    np.testing.assert_allclose(fit["params"]["stp"], table, atol=1e-9)
    assert fit["entry"]["mode"] == "stp" and len(fit["entry"]["stp"]) == len(table)
    # A given dead time fixes the table's first values at zero.
    fixed = fit_pair(u, y, 1, "stp", u0=0.0, y0=0.0, delay=2, length=len(table))
    assert fixed["params"]["stp"][:2] == [0.0, 0.0] and fixed["stderr"]["stp"][:2] == [0.0, 0.0]
    np.testing.assert_allclose(fixed["params"]["stp"], table, atol=1e-9)
    # Left out, the length follows a first-order fit: the response settles within it.
    free = fit_pair(u, y, 1, "stp", u0=0.0, y0=0.0)
    assert len(table) - 2 <= len(free["params"]["stp"]) <= 200


def test_fixed_delay_and_initial_values():
    u, y, true = plant_test("fopdt", 7, None)
    fit = fit_pair(u + 40.0, y + 60.0, 1, delay=true["dead_time"] + 2, u0=40.0, y0=60.0)
    assert fit["delay"] == true["dead_time"] + 2 and fit["r2"] < 1 - 1e-6
    # Initial values default to the first samples (the records start at rest).
    auto = fit_pair(u + 40.0, y + 60.0, 1)
    assert (auto["u0"], auto["y0"]) == (40.0, 60.0) and within(auto, true, 1e-3, 0)
    # The dead time is in the unit of Ts; the samples stay samples.
    slow = fit_pair(u, y, 0.5, u0=0.0, y0=0.0)
    assert slow["delay"] == true["dead_time"]
    assert slow["params"]["dead_time"] == slow["entry"]["iodelay_s"] == 0.5 * true["dead_time"]
    assert slow["params"]["tau"] == pytest.approx(0.5 * true["tau"])


REFERENCE = {
    "CV1": {
        "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
        "MV2": {"mode": "tf_s", "num_s": [-1.2], "den_s": [30 * 8, 38, 1], "iodelay_s": 6},
    },
    "CV2": {
        "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
        "MV2": {"mode": "tf_s", "num_s": [0.02], "den_s": [1], "iodelay_s": 2, "IntegralMark": 1},
    },
}
KINDS = {"CV1": {"MV1": "fopdt", "MV2": "sopdt"}, "CV2": {"MV1": "fopdt", "MV2": "ipdt"}}


@pytest.fixture(scope="module")
def two_by_two():
    rng = np.random.default_rng(3)
    inputs = {"MV1": 15.0 + 2.0 * excitation(11, half_cycle=60),
              "MV2": 16.0 + excitation(12, half_cycle=45)}  # fmt: skip
    outputs = simulate(REFERENCE, {k: v - v[0] for k, v in inputs.items()})
    records = {cv: y + 10.0 * (i + 1) + 0.05 * np.std(y) * rng.standard_normal(N)
               for i, (cv, y) in enumerate(outputs.items())}  # fmt: skip
    records |= {k: v.copy() for k, v in inputs.items()}
    ini = {"CV1": 10.0, "CV2": 20.0, "MV1": 15.0, "MV2": 16.0}
    result = fit_process(records, ["CV1", "CV2"], ["MV1", "MV2"], 1, KINDS, ini, max_delay=40)
    return records, result


def test_joint_fit_of_a_two_by_two_process(two_by_two):
    _, result = two_by_two
    fits = result["fits"]
    assert list(result["model_dict"]) == ["CV1", "CV2"]
    assert all(list(row) == ["MV1", "MV2"] for row in result["model_dict"].values())
    for cv, row in REFERENCE.items():
        assert fits[cv]["r2"] > 0.99
        for mv, entry in row.items():
            pair = fits[cv]["pairs"][mv]
            assert pair["kind"] == KINDS[cv][mv] and pair["entry"] == result["model_dict"][cv][mv]
            assert abs(pair["params"]["dead_time"] - entry["iodelay_s"]) <= 1
            gain = entry["num_s"][-1] / entry["den_s"][-1]
            assert pair["params"]["gain"] == pytest.approx(gain, rel=0.05)
            assert all(se > 0 for se in pair["stderr"].values())


def test_mimosim_replays_the_fitted_prediction(two_by_two):
    """The fitted model dictionary, simulated on the records' inputs, gives the
    fit's own prediction bit for bit."""
    records, result = two_by_two
    sim = MIMOSim(result["model_dict"], result["ini_values"], 1)
    replay = [sim({"MV1": records["MV1"][k], "MV2": records["MV2"][k]}) for k in range(N)]
    for cv in ("CV1", "CV2"):
        np.testing.assert_array_equal([row[cv] for row in replay], result["fits"][cv]["prediction"])
    copied = pickle.loads(pickle.dumps(result))
    assert copied["model_dict"] == copy.deepcopy(result)["model_dict"] == result["model_dict"]


def test_pairs_left_out_get_no_model():
    u = excitation(2, n=600, half_cycle=10)
    entry = {"mode": "tf_s", "num_s": [1.0], "den_s": [5.0, 1.0], "iodelay_s": 1}
    y = simulate({"CV": {"A": entry}}, {"A": u})["CV"]
    records = {"CV": y, "A": u, "B": excitation(3, n=600)}
    result = fit_process(records, ["CV"], ["A", "B"], 1, {"CV": {"A": "fopdt"}}, {"A": 0.0})
    assert result["model_dict"]["CV"]["B"] == {"mode": "None"}
    assert list(result["fits"]["CV"]["pairs"]) == ["A"]
    assert result["fits"]["CV"]["pairs"]["A"]["params"]["tau"] == pytest.approx(5.0)


@pytest.mark.parametrize(
    ("kwargs", "error", "words"),
    [
        ({"kind": "arx"}, ValueError, "kind must be"),
        ({"kind": b"fopdt"}, TypeError, "incorrect type"),
        ({"delay": -1}, ValueError, "delay must not be negative"),
        ({"max_delay": 1.5}, TypeError, "incorrect type"),
        ({"max_delay": 100}, ValueError, "below the record length"),
        ({"Ts": 0}, ValueError, "Ts must be positive"),
        ({"y": [0.0] * 100}, ValueError, "the CV never moves"),
        ({"u": [1.0] * 100}, ValueError, "never leaves its initial value"),
        ({"u": [0.0] * 99 + [1.0, 2.0]}, ValueError, "same length"),
        ({"y": [0.0] * 99 + [np.nan]}, ValueError, "not finite"),
        ({"kind": "stp", "length": 3, "delay": 3}, ValueError, "longer than its delay"),
    ],
)
def test_refusals(kwargs, error, words):
    args = {"u": [0.0] * 10 + [1.0] * 90, "y": np.linspace(0.0, 1.0, 100), "Ts": 1} | kwargs
    with pytest.raises(error, match=words):
        fit_pair(**args)


def test_process_refusals():
    records = {"CV": np.arange(100.0), "MV": np.r_[np.zeros(10), np.ones(90)]}
    with pytest.raises(KeyError, match="'XV'"):
        fit_process(records, ["CV"], ["XV"], 1)
    with pytest.raises(TypeError, match="str tags"):
        fit_process(records, ["CV"], [1], 1)
    with pytest.raises(ValueError, match="differ in length"):
        fit_process(records | {"MV": np.ones(50)}, ["CV"], ["MV"], 1)
