"""The banked tuning sweep: the same numbers however it is chunked and however
many workers share it, and every lane what scalar blocks give."""

import importlib.util
import re
import sys

import pytest
from source_tree import source_file

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import SISOSim

distributed = pytest.importorskip("dask.distributed")

SWEEP = source_file("examples", "sweep.py")


@pytest.fixture(scope="module")
def sweep():
    spec = importlib.util.spec_from_file_location("sweep", SWEEP)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def scalar_iae(sweep, gain, kp, ti):
    """One grid point with a PID and a SISOSim, as a user would write it."""
    plant, pid = SISOSim(gain, sweep.TAU, sweep.DELAY), PID(1.0)
    pid.setOPHighLowLimit(sweep.OP_HI, sweep.OP_LO)
    pid.setPIDParam(KP=kp, TI=ti)
    pv, op, iae = 0.0, 0.0, 0.0
    for k in range(sweep.STEPS):
        sp = 0.0 if k < 10 else 1.0
        op = pid.run(1 if k >= 5 else 0, sp, pv, op)
        pv = plant({"MV": op})["CV"]
        iae += abs(sp - pv)
    return iae


def test_chunks_and_workers_change_no_result(sweep):
    points = sweep.grid(4)  # 48 points, three plant gains
    runs = {}
    for workers in (1, 2):
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, dashboard_address=None, processes=True
        )
        with cluster, distributed.Client(cluster) as client:
            client.upload_file(str(SWEEP), load=False)  # workers import it as "sweep" too
            for chunk in (5, len(points)):  # chunks of mixed gains; one bank of all
                runs[workers, chunk] = sweep.sweep(points, chunk, client)
    here = sweep.sweep(points, 7)
    assert [[r.plant_gain, r.kp, r.ti] for r in here] == points.tolist()
    for key, results in runs.items():
        assert results == here, key

    # A lane is exactly the scalar blocks' simulation of its point.
    for r in here[::7]:
        assert r.iae == scalar_iae(sweep, r.plant_gain, r.kp, r.ti)


def test_command_line_prints_the_best_setting_per_gain(sweep, capsys):
    assert sweep.main(["--workers", "0", "--points", "3", "--chunk", "4"]) == 0
    out = capsys.readouterr().out
    assert "27 closed-loop simulations in 7 task(s) of up to 4 lanes" in out
    rows = re.findall(r"^\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$", out, re.M)
    best = sweep.best_settings(sweep.sweep(sweep.grid(3), 27))
    assert rows == [
        (f"{g:.2f}", f"{r.kp:.3f}", f"{r.ti:.2f}", f"{r.iae:.3f}") for g, r in sorted(best.items())
    ]
