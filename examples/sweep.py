"""Tuning sweep on Dask's distributed scheduler.

Hundreds of closed-loop simulations, one per combination of PID gain, integral
time and plant gain, run on a Dask cluster: a LocalCluster here, the same code
on a real cluster given its scheduler address. The blocks travel to the workers
by pickle: a template plant and controller are built once, shipped, and every
task continues from a copy of them.

    python examples/sweep.py                      # LocalCluster on this machine
    python examples/sweep.py --scheduler tcp://host:8786
"""

from __future__ import annotations

import argparse
import copy
import itertools
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import SISOSim

if TYPE_CHECKING:
    from dask.distributed import Client

TAU, DELAY, STEPS = 20.0, 4, 240


@dataclass(frozen=True)
class Result:
    plant_gain: float
    kp: float
    ti: float
    iae: float


def closed_loop(plant: SISOSim, pid: PID, plant_gain: float, kp: float, ti: float) -> Result:
    """A set-point step on a copy of the shipped plant, with the given tuning."""
    plant = copy.deepcopy(plant)
    pid = copy.deepcopy(pid)
    pid.setPIDParam(KP=kp, TI=ti)
    pv, op, iae = 0.0, 0.0, 0.0
    for k in range(STEPS):
        sp = 0.0 if k < 10 else 1.0
        op = pid.run(1 if k >= 5 else 0, sp, pv, op)
        pv = plant({"MV": op})["CV"]
        iae += abs(sp - pv)
    return Result(plant_gain, kp, ti, iae)


def sweep(
    client: Client, kps: list[float], tis: list[float], plant_gains: list[float]
) -> list[Result]:
    """Runs every combination on the cluster behind `client`."""
    pid = PID(1.0)
    pid.setOPHighLowLimit(10.0, -10.0)
    futures = []
    for gain in plant_gains:
        # One shipped plant per gain; tasks deep-copy it on the worker.
        plant = client.scatter(SISOSim(gain, TAU, DELAY), broadcast=True)
        for kp, ti in itertools.product(kps, tis):
            futures.append(client.submit(closed_loop, plant, pid, gain, kp, ti, pure=False))
    results: list[Result] = client.gather(futures)
    return results


def best_settings(results: list[Result]) -> dict[float, Result]:
    best: dict[float, Result] = {}
    for r in results:
        if r.plant_gain not in best or r.iae < best[r.plant_gain].iae:
            best[r.plant_gain] = r
    return best


def grid(n: int) -> tuple[list[float], list[float], list[float]]:
    """n PID gains, n integral times and the plant gains to try."""
    kps = [0.1 + 2.9 * i / (n - 1) for i in range(n)]
    tis = [5.0 + 45.0 * i / (n - 1) for i in range(n)]
    return kps, tis, [0.5, 1.0, 2.0]


def main(argv: list[str] | None = None) -> int:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--points", type=int, default=12, help="grid points per tuning axis")
    args = parser.parse_args(argv)

    kps, tis, gains = grid(args.points)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None, processes=True
        )
        client = Client(cluster)
    with client:
        results = sweep(client, kps, tis, gains)
    print(f"{len(results)} closed-loop simulations")
    print(f"{'plant gain':>10} {'KP':>7} {'TI':>7} {'IAE':>8}")
    for gain, r in sorted(best_settings(results).items()):
        print(f"{gain:>10.2f} {r.kp:>7.3f} {r.ti:>7.2f} {r.iae:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
