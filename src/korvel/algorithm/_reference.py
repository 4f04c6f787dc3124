"""The reference process of the library's examples, tests, benchmarks and
documentation: two CVs and three MVs with a pair of every kind (a continuous
lag with dead time, a discrete second-order pair, a step-response table, an
integrating pair, and a pair without a model), its initial values, and the
LPV bank built from it.

This is the one place the process is written out; the C++ examples and tests
get it from here too (tools/reference_hpp.py writes it as a C++ header when
they are built).
"""

import copy
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvel.algorithm.gainsched import LPVPlantSim

# CV tag -> MV tag -> model entry.
ModelDict = dict[str, dict[str, dict[str, Any]]]

# CV tag -> MV tag -> model entry; ("CV1", "MV3") has no entry, so no model.
PROCESS: ModelDict = {
    "CV1": {
        "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
        "MV2": {
            "mode": "tf_z",
            "num_z": [0, 1, 0.5],
            "den_z": [1, -1.5, 0.7],
            "iodelay_z": 0,
            "IntegralMark": 0,
        },
    },
    "CV2": {
        "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
        "MV2": {
            "mode": "stp",
            "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3],
        },
        "MV3": {
            "mode": "tf_s",
            "num_s": [0, 1],
            "den_s": [20, 1],
            "iodelay_s": 2,
            "IntegralMark": 1,
        },
    },
}

INITIAL_VALUES: dict[str, float] = {"CV1": 10, "CV2": 20, "MV1": 15, "MV2": 16, "MV3": 17}

# The LPV bank: (plant id, working point, gain of every pair) per local plant.
LPV_POINTS = ((0, 8.0, 0.8), (1, 12.0, 1.0), (2, 16.0, 1.25))

# The entries that carry a pair's gain, scaled to make a local plant.
GAIN_KEYS = ("num_s", "num_z", "stp")


def process(gain: float = 1.0) -> ModelDict:
    """A fresh copy of the model dictionary, every pair's gain scaled by `gain`
    (the numerators and step tables; the numbers become floats then)."""
    out = copy.deepcopy(PROCESS)
    if gain != 1.0:
        for pairs in out.values():
            for entry in pairs.values():
                for key in GAIN_KEYS:
                    if key in entry:
                        entry[key] = [gain * float(v) for v in entry[key]]
    return out


def initial_values() -> dict[str, float]:
    """A fresh copy of the initial values."""
    return dict(INITIAL_VALUES)


def lpv_bank(ini_value_dict: dict[str, float] | None = None) -> "LPVPlantSim":
    """An LPVPlantSim of the reference process at three working points."""
    from korvel.algorithm.gainsched import LPVPlantSim

    sim = LPVPlantSim(initial_values() if ini_value_dict is None else ini_value_dict)
    for plant_id, working_point, gain in LPV_POINTS:
        sim.addPlant(plant_id, working_point, process(gain), 1)
    return sim
