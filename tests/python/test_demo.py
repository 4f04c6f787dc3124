import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from source_tree import source_file

DEMO = source_file("examples", "demo.py")
BUILD = os.environ.get("KORVEL_CPP_BUILD")


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


@pytest.mark.skipif(not BUILD, reason="the C++ study is built by `make test`")
def test_cpp_study_prints_the_same_table(demo, tmp_path, capsys):
    assert demo.main(["--out", str(tmp_path / "py"), "--no-progress"]) == 0
    python = capsys.readouterr().out.splitlines()
    done = subprocess.run(
        [str(Path(BUILD) / "korvel_demo"), "--out", str(tmp_path / "cpp")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    cpp = done.stdout.splitlines()
    # Everything but the last line, which tells the time taken.
    assert cpp[:-1] == python[:-1] and len(cpp) == 10
    for study in ("MIMO", "LPV"):
        rows = [
            (tmp_path / side / f"{study}-CV2_Raw_LabData.csv").read_text().splitlines()
            for side in ("py", "cpp")
        ]
        # Laboratory times agree; values to the digits discretisation leaves them.
        assert [r.split(",")[1] for r in rows[0]] == [r.split(",")[1] for r in rows[1]]
        for a, b in zip(rows[0][1:], rows[1][1:], strict=True):
            assert float(a.split(",")[2]) == pytest.approx(float(b.split(",")[2]), rel=1e-12)
