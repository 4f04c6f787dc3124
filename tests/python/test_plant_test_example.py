"""examples/plant_test.py: the workflow from a plant test to tuned loops runs,
identifies the reference process and closes both loops on it."""

import importlib.util
import sys

import pytest
from source_tree import source_file

SCRIPT = source_file("examples", "plant_test.py")


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("plant_test_example", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def test_workflow_identifies_tunes_and_closes_the_loops(example, tmp_path, capsys):
    records = example.plant_test(seed=2)
    result = example.identify(records)
    cv1 = result["fits"]["CV1"]["pairs"]["MV1"]["params"]
    assert cv1["gain"] == pytest.approx(4.05, rel=0.1) and abs(cv1["dead_time"] - 25) <= 1
    assert cv1["tau"] == pytest.approx(50.0, rel=0.1)
    trace = example.closed_loop(example.tune(result))
    for cv, sp in (("CV1", "SP1"), ("CV2", "SP2")):
        assert abs(trace[sp][-100:] - trace[cv][-100:]).max() < 0.01

    assert example.main(["--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "CV1-MV1 SIMC: KP" in out and "CV2-MV3 SIMC: KP" in out
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "closed_loop.png",
        "fit.png",
        "plant_test.png",
    ]
