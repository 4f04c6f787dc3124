"""A small tuning sweep on a Dask LocalCluster gives what a serial loop gives."""

import importlib.util
import re
import subprocess
import sys

import pytest
from source_tree import source_file

pytest.importorskip("dask.distributed")

SWEEP = source_file("examples", "sweep.py")


def load_example():
    spec = importlib.util.spec_from_file_location("korvel_sweep", SWEEP)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def test_cluster_sweep_matches_serial_runs():
    done = subprocess.run(
        [sys.executable, str(SWEEP), "--points", "3", "--workers", "2"],
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    assert "27 closed-loop simulations" in done.stdout
    rows = re.findall(r"^\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$", done.stdout, re.M)

    sweep = load_example()
    from korvel.algorithm.loopctl import PID
    from korvel.algorithm.plantmodels import SISOSim

    kps, tis, gains = sweep.grid(3)
    pid = PID(1.0)
    pid.setOPHighLowLimit(10.0, -10.0)
    serial = [
        sweep.closed_loop(SISOSim(g, sweep.TAU, sweep.DELAY), pid, g, kp, ti)
        for g in gains
        for kp in kps
        for ti in tis
    ]
    best = sweep.best_settings(serial)
    expected = [
        (f"{g:.2f}", f"{r.kp:.3f}", f"{r.ti:.2f}", f"{r.iae:.3f}") for g, r in sorted(best.items())
    ]
    assert rows == expected  # the shipped, pickled blocks computed what local ones compute
