"""One LPVPlantSim step against a plain NumPy/SciPy transcription."""

import copy
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_plant import INI, MIMO  # noqa: E402
from timing import loop_time, ns, table  # noqa: E402

from korvel.algorithm import _reference  # noqa: E402
from korvel.algorithm.gainsched import LPVPlantSim  # noqa: E402

# (plant id, working point, gain) of the reference process's local plants.
POINTS = _reference.LPV_POINTS


def scaled(gain):
    return _reference.process(gain)


class LPV:
    """The LPV step written plainly: local MIMO transcriptions, np.interp, blend."""

    def __init__(self, ini):
        self.ini_value_dict = copy.deepcopy(ini)
        self.plants = []  # (working point, simulator, weight)
        self._u_dict, self._y_dict = {}, {}

    def add(self, working_point, model, Ts=1):
        local = copy.deepcopy(self.ini_value_dict)
        for cv in model:
            local[cv] = 0.0
        sim = MIMO(model, local, Ts)
        for cv in sim.cv_list:
            self._y_dict.setdefault(cv, self.ini_value_dict.get(cv, 0.0))
        for mv in sim.mv_list:
            self._u_dict.setdefault(mv, self.ini_value_dict.get(mv, 0.0))
        self.plants.append([float(working_point), sim, 0.0])
        self.plants.sort(key=lambda p: p[0])

    def __call__(self, working_value, u_Value_Dict={}, v_Value_Dict={}):  # noqa: B006
        for tag, value in [(k, v) for k, v in u_Value_Dict.items() if k in self._u_dict]:
            self._u_dict[tag] = value
        points = [p[0] for p in self.plants]
        index = np.interp(float(working_value), points, np.arange(len(points)))
        id1, id2 = int(np.floor(index)), int(np.ceil(index))
        w2 = float(np.clip(index - id1, 0.0, 1.0))
        results = []
        for p in self.plants:
            results.append(p[1](u_Value_Dict, v_Value_Dict))
            p[2] = 0.0
        if id1 == id2:
            self.plants[id1][2] = 1.0
            for cv, y in results[id1].items():
                self._y_dict[cv] = y + self.ini_value_dict.get(cv, 0.0)
        else:
            self.plants[id1][2], self.plants[id2][2] = 1.0 - w2, w2
            for cv, y in results[id1].items():
                self._y_dict[cv] = ((1.0 - w2) * y + w2 * results[id2][cv]) + (
                    self.ini_value_dict.get(cv, 0.0)
                )
        return copy.deepcopy(self._y_dict)


def main() -> None:
    ours, plain = LPVPlantSim(INI), LPV(INI)
    for plant_id, wp, gain in POINTS:
        ours.addPlant(plant_id, wp, scaled(gain), 1)
        plain.add(wp, scaled(gain), 1)
    u = {"MV1": 16.0, "MV2": 15.5, "MV3": 17.0}
    for k in range(50):  # both agree, step by step
        a, b = ours(6.0 + k % 12, u), plain(6.0 + k % 12, u)
        assert a == b, (k, a, b)
    env = {"ours": ours, "plain": plain, "u": u}
    # Between two working points: both neighbours are blended.
    t_ours = loop_time("ours(14.0, u)", env, number=20_000)
    t_plain = loop_time("plain(14.0, u)", env, number=500)
    print("## LPV plant simulator\n")
    gains = ", ".join(f"{g}" for _, _, g in POINTS)
    print(f"Three local plants built from the reference process with gains {gains}.\n")
    print(
        table(
            [
                ("`LPVPlantSim(14.0, u)`", ns(t_ours), "1.0x"),
                ("NumPy/SciPy transcription", ns(t_plain), f"{t_plain / t_ours:.0f}x"),
            ],
            ("one step", "time", "relative"),
        )
    )
    print(f"\n- `LPVPlantSim` is {t_plain / t_ours:.0f}x faster (target >= 200x).")


if __name__ == "__main__":
    main()
