"""Tuning sweep in banks, here or on Dask's distributed scheduler.

Tens of thousands of closed-loop simulations, one per combination of PID gain,
integral time and plant gain. Every grid point is one lane: a task takes a
chunk of consecutive points and steps all of them at once, with a PIDBank for
the controllers and a MIMOSimBank for the plants, so one Python loop of 240
samples does the work of a whole chunk. Each lane computes exactly what a PID
and a SISOSim of its own would, so the results do not depend on how the grid is
chunked nor on how many workers share the chunks.

Chunks are sized for at least about 100 ms of work each (measured on this
machine before the sweep starts, or given with --chunk): less, and scheduling
a task costs more than it saves.

    python examples/sweep.py                      # LocalCluster on this machine
    python examples/sweep.py --workers 0          # in this process, no Dask
    python examples/sweep.py --scheduler tcp://host:8786
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
import sys
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from korvel.algorithm.loopctl import PIDBank
from korvel.algorithm.plantmodels import MIMOSimBank, SISOSim

if TYPE_CHECKING:
    from dask.distributed import Client

TAU, DELAY, STEPS = 20.0, 4, 240
OP_HI, OP_LO = 10.0, -10.0
TASK_SECONDS = 0.1  # the least work worth a task of its own

# One grid point per row: plant gain, KP, TI.
Points = NDArray[np.float64]


@dataclass(frozen=True)
class Result:
    plant_gain: float
    kp: float
    ti: float
    iae: float


def plant_model(gain: float) -> dict[str, Any]:
    """The model dictionary of SISOSim(gain, TAU, DELAY): CV "CV", MV "MV"."""
    return SISOSim(gain, TAU, DELAY).get_model_dict()


def closed_loop(points: Points) -> NDArray[np.float64]:
    """A set-point step in every lane; the IAE of each of `points`."""
    n = len(points)
    # Lanes of one gain share one dictionary, and so one discretisation.
    models = {gain: plant_model(gain) for gain in np.unique(points[:, 0]).tolist()}
    plant = MIMOSimBank([models[gain] for gain in points[:, 0].tolist()])
    pid = PIDBank(n)
    pid.setOPHighLowLimit(OP_HI, OP_LO)
    pid.setPIDParam(KP=points[:, 1], TI=points[:, 2])
    pv, op, iae = np.zeros(n), np.zeros(n), np.zeros(n)
    for k in range(STEPS):
        sp = 0.0 if k < 10 else 1.0
        op = pid.run(1 if k >= 5 else 0, sp, pv, op)
        pv = plant({"MV": op})["CV"]
        iae += np.abs(sp - pv)
    return iae


def chunk_for(seconds: float = TASK_SECONDS) -> int:
    """Lanes per task for at least `seconds` of work on this machine.

    A task costs a fixed time (building the banks, the Python loop of one call
    per bank and sample) plus a time per lane; runs of 256 and 2048 lanes of
    every plant gain measure both, the best of three each, as other processes
    may take the CPU for a while.
    """
    probe = grid(64)
    closed_loop(probe[:1])  # the first build pays for imports
    sizes, times = (256, 2048), []
    for lanes in sizes:
        sample = probe[np.linspace(0, len(probe) - 1, lanes).astype(int)]
        runs = []
        for _ in range(3):
            t0 = time.perf_counter()
            closed_loop(sample)
            runs.append(time.perf_counter() - t0)
        times.append(min(runs))
    per_lane = max(times[1] - times[0], 1e-9) / (sizes[1] - sizes[0])
    fixed = max(times[0] - sizes[0] * per_lane, 0.0)
    return max(1, math.ceil((seconds - fixed) / per_lane))


def chunks(points: Points, size: int) -> list[Points]:
    return [points[i : i + size] for i in range(0, len(points), size)]


def sweep(points: Points, chunk: int, client: Client | None = None) -> list[Result]:
    """Every point, in chunks of `chunk` lanes: on the cluster behind `client`,
    or here, one chunk after another, without one."""
    parts = chunks(points, chunk)
    if client is None:
        iaes = [closed_loop(part) for part in parts]
    else:
        futures = client.map(closed_loop, parts, pure=False)
        iaes = client.gather(futures)
    iae = np.concatenate(iaes) if iaes else np.zeros(0)
    return [
        Result(g, kp, ti, e) for (g, kp, ti), e in zip(points.tolist(), iae.tolist(), strict=True)
    ]


def best_settings(results: list[Result]) -> dict[float, Result]:
    best: dict[float, Result] = {}
    for r in results:
        if r.plant_gain not in best or r.iae < best[r.plant_gain].iae:
            best[r.plant_gain] = r
    return best


def grid(n: int) -> Points:
    """n PID gains times n integral times for each plant gain, one point a row."""
    kps = [0.1 + 2.9 * i / (n - 1) for i in range(n)]
    tis = [5.0 + 45.0 * i / (n - 1) for i in range(n)]
    gains = [0.5, 1.0, 2.0]
    return np.array(list(itertools.product(gains, kps, tis)), dtype=float)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument(
        "--workers", type=int, default=2, help="LocalCluster workers; 0: in this process"
    )
    parser.add_argument("--points", type=int, default=120, help="grid points per tuning axis")
    parser.add_argument("--chunk", type=int, help="lanes per task (default: about 100 ms of work)")
    args = parser.parse_args(argv)

    points = grid(args.points)
    chunk = args.chunk or chunk_for()
    tasks = len(chunks(points, chunk))
    print(f"{len(points)} closed-loop simulations in {tasks} task(s) of up to {chunk} lanes")
    if not args.scheduler and args.workers == 0:
        results = sweep(points, chunk)
    else:
        from dask.distributed import Client, LocalCluster

        with contextlib.ExitStack() as stack:
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
            else:
                cluster = LocalCluster(
                    n_workers=args.workers,
                    threads_per_worker=1,
                    dashboard_address=None,
                    processes=True,
                )
                client = stack.enter_context(Client(stack.enter_context(cluster)))
            results = sweep(points, chunk, client)
    print(f"{'plant gain':>10} {'KP':>7} {'TI':>7} {'IAE':>8}")
    for gain, r in sorted(best_settings(results).items()):
        print(f"{gain:>10.2f} {r.kp:>7.3f} {r.ti:>7.2f} {r.iae:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
