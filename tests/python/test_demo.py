import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("korvel_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


def test_study_controls_both_loops_and_corrects_the_soft_sensor(demo, tmp_path, capsys):
    assert demo.main(["--steps", "700", "--out", str(tmp_path), "--no-progress"]) == 0
    out = capsys.readouterr().out
    rows = re.findall(r"^(MIMO|LPV)\s+(CV\d)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$", out, re.M)
    assert len(rows) == 4
    for _study, _loop, iae, _over, _settle, final in rows:
        assert float(iae) < 500 and abs(float(final)) < 0.05
    for raw, corrected in re.findall(r"mean error (\S+) uncorrected, (\S+) corrected", out):
        assert float(corrected) < 0.2 * float(raw)
    assert (tmp_path / "demo.png").stat().st_size > 10_000
    for study in ("MIMO", "LPV"):
        lines = (tmp_path / f"{study}-CV2_Raw_LabData.csv").read_text().splitlines()
        assert lines[0] == "ExportTime,LabTime,LabData" and len(lines) > 5


def test_runs_as_a_script(tmp_path):
    done = subprocess.run(
        [sys.executable, str(DEMO), "--steps", "120", "--out", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "closed-loop steps" in done.stdout
