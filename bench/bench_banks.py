"""A 10,000-point tuning map of the reference process: banks against scalar blocks.

Two PI loops (CV1-MV1, CV2-MV3) closed at once on the reference process, a
set-point step, 600 samples, one grid point of (KP, TI) per lane: one
MIMOSimBank and two PIDBanks of 10,000 lanes against a MIMOSim and two PIDs
per point. The scalar blocks run a subset of the points, spread over the grid.
"""

import copy
import math
import sys
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402
from timing import best_of, table  # noqa: E402

from korvel.algorithm import _reference  # noqa: E402
from korvel.algorithm.loopctl import PID, PIDBank  # noqa: E402
from korvel.algorithm.plantmodels import MIMOSim, MIMOSimBank  # noqa: E402

STEPS, SIDE, SUBSET = 600, 100, 100
PROCESS, INITIAL = _reference.process(), _reference.initial_values()
KP, TI = np.meshgrid(np.geomspace(0.02, 2.0, SIDE), np.geomspace(2.0, 200.0, SIDE))
POINTS = KP.size


def set_points(k: int) -> tuple[float, float]:
    return (10.0, 20.0) if k < 10 else (12.0, 22.0)


def bank_map(kp: np.ndarray, ti: np.ndarray, plant: MIMOSimBank) -> np.ndarray:
    """The map in banks, on a freshly built plant bank: the IAE of every lane."""
    n = len(kp)
    loop1, loop2 = PIDBank(n), PIDBank(n)
    for loop in (loop1, loop2):
        loop.setPIDParam(KP=kp, TI=ti)
    u, y = plant.get_input_data_dict(), plant.get_output_data_dict()
    iae = np.zeros(n)
    for k in range(STEPS):
        sp1, sp2 = set_points(k)
        u = {
            "MV1": loop1.run(1, sp1, y["CV1"], u["MV1"]),
            "MV3": loop2.run(1, sp2, y["CV2"], u["MV3"]),
        }
        y = plant(u)
        iae += np.abs(sp1 - y["CV1"]) + np.abs(sp2 - y["CV2"])
    return iae


def scalar_map(kp: list[float], ti: list[float], sims: list[MIMOSim]) -> list[float]:
    """The same points with a fresh MIMOSim and two PIDs each, one after another."""
    out = []
    for p, i, sim in zip(kp, ti, sims, strict=True):
        pid1, pid2 = PID(), PID()
        pid1.setPIDParam(KP=p, TI=i)
        pid2.setPIDParam(KP=p, TI=i)
        u, y, total = sim.get_input_data_dict(), sim.get_output_data_dict(), 0.0
        for k in range(STEPS):
            sp1, sp2 = set_points(k)
            u["MV1"] = pid1.run(1, sp1, y["CV1"], u["MV1"])
            u["MV3"] = pid2.run(1, sp2, y["CV2"], u["MV3"])
            y = sim(u)
            total += abs(sp1 - y["CV1"]) + abs(sp2 - y["CV2"])
        out.append(total)
    return out


def timed(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def step_parts(n: int) -> dict[str, float]:
    """Time per sample of each call of the loop at n lanes, after 100 samples."""
    plant = MIMOSimBank([PROCESS] * n, INITIAL)
    loop1, loop2 = PIDBank(n), PIDBank(n)
    u, y = plant.get_input_data_dict(), plant.get_output_data_dict()
    for _ in range(100):
        u = {
            "MV1": loop1.run(1, 12.0, y["CV1"], u["MV1"]),
            "MV3": loop2.run(1, 22.0, y["CV2"], u["MV3"]),
        }
        y = plant(u)
    iae = np.zeros(n)
    reps = 20 if n > 1 else 2000
    parts = {
        "`PIDBank.run`, two loops": lambda: (
            loop1.run(1, 12.0, y["CV1"], u["MV1"]),
            loop2.run(1, 22.0, y["CV2"], u["MV3"]),
        ),
        "`MIMOSimBank(u)`": lambda: plant(u),
        "IAE sums (NumPy)": lambda: iae.__iadd__(np.abs(12.0 - y["CV1"]) + np.abs(22.0 - y["CV2"])),
    }
    out = {}
    for label, fn in parts.items():
        t = math.inf
        for _ in range(5):
            t = min(t, best_of(lambda fn=fn: [fn() for _ in range(reps)], 3) / reps)
        out[label] = t
    return out


def main() -> None:
    kp, ti = KP.ravel(), TI.ravel()
    subset = np.arange(0, POINTS, POINTS // SUBSET)
    kps, tis = kp[subset].tolist(), ti[subset].tolist()
    template = MIMOSim(PROCESS, INITIAL)

    def new_bank() -> MIMOSimBank:
        return MIMOSimBank([PROCESS] * POINTS, INITIAL)

    def built() -> list[MIMOSim]:
        return [MIMOSim(PROCESS, INITIAL) for _ in subset]

    def copied() -> list[MIMOSim]:
        return [copy.deepcopy(template) for _ in subset]

    # The lanes are the scalar blocks, to the last bit.
    assert bank_map(kp, ti, new_bank())[subset].tolist() == scalar_map(kps, tis, built())
    # Best of three; bank and scalar runs alternate, so load from other
    # processes hits both.
    t = dict.fromkeys(("bank build", "bank run", "build", "copy", "run"), math.inf)
    for _ in range(3):
        plant = new_bank()
        t["bank build"] = min(t["bank build"], timed(new_bank))
        t["bank run"] = min(t["bank run"], timed(partial(bank_map, kp, ti, plant)))
        t["build"] = min(t["build"], timed(built))
        t["copy"] = min(t["copy"], timed(copied))
        sims = built()
        t["run"] = min(t["run"], timed(partial(scalar_map, kps, tis, sims)))
    bank = {"build": t["bank build"] / POINTS, "run": t["bank run"] / POINTS}
    scalar = {key: t[key] / len(subset) for key in ("build", "copy", "run")}
    bank_total = bank["build"] + bank["run"]
    cases = [
        ("each point builds its `MIMOSim`", bank_total, scalar["build"] + scalar["run"]),
        ("each point deep-copies a built `MIMOSim`", bank_total, scalar["copy"] + scalar["run"]),
        ("the 600 samples alone (simulators built)", bank["run"], scalar["run"]),
    ]
    ratios = [s / b for _, b, s in cases]

    print(f"## Banks: a {POINTS:,}-point tuning map\n")
    print(
        f"Two PI loops on the reference process, {STEPS} samples, one (KP, TI) point per lane: "
        f"one `MIMOSimBank` and two `PIDBank`s of {POINTS:,} lanes against a `MIMOSim` and two "
        f"`PID`s per point, timed on {len(subset)} points spread over the grid. Building the "
        f"bank takes {bank['build'] * 1e6:.1f} us a lane (the lanes share one discretisation); "
        f"a `MIMOSim` takes {scalar['build'] * 1e6:.0f} us to build, "
        f"{scalar['copy'] * 1e6:.0f} us to deep-copy.\n"
    )
    rows = [
        (label, f"{b * 1e6:.1f} us", f"{s * 1e6:.1f} us", f"{s * POINTS:.2f} s", f"{r:.1f}x")
        for (label, b, s), r in zip(cases, ratios, strict=True)
    ]
    header = ("per point", "banks", "scalar blocks", "scalar, whole map", "scalar / banks")
    print(table(rows, header))

    wide, one = step_parts(POINTS), step_parts(1)
    step_bank, fixed = sum(wide.values()), sum(one.values())
    print(f"\nOne sample of the banks' loop, by call, at {POINTS:,} lanes and at 1 lane:\n")
    rows = [
        (
            label,
            f"{wide[label] * 1e6:.1f} us",
            f"{wide[label] / POINTS * 1e9:.1f} ns",
            f"{one[label] * 1e6:.2f} us",
        )
        for label in wide
    ]
    print(table(rows, ("call", f"{POINTS:,} lanes", "per lane", "1 lane")))
    print()
    print(
        f"- The map in banks is {ratios[0]:.1f}x faster per point than scalar blocks built per "
        f"point, {ratios[1]:.1f}x than deep-copied ones (target >= 30x)."
    )
    print(
        f"- Per sample and point: scalar blocks {scalar['run'] / STEPS * 1e9:.0f} ns, banks "
        f"{step_bank / POINTS * 1e9:.0f} ns ({ratios[2]:.1f}x). The calls' fixed cost "
        f"({fixed * 1e6:.1f} us a sample) is {fixed / step_bank * 100:.1f}% of a sample at "
        f"{POINTS:,} lanes: the time is the banks' work per lane, not Python's."
    )


if __name__ == "__main__":
    main()
