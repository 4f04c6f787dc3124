"""The examples pass mypy --strict against the package's stubs."""

import re
import subprocess
import sys

import pytest
from source_tree import source_file

pytest.importorskip("mypy")

# mypy's configuration is pyproject.toml's.
ROOT = source_file("pyproject.toml").parent
EXAMPLES = ["examples/demo.py", "examples/closed_loop.py", "examples/sweep.py"]


def mypy(*args: str) -> subprocess.CompletedProcess[str]:
    # From the repository root, so that pyproject.toml configures the run.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_examples_pass_mypy_strict():
    run = mypy(*EXAMPLES)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("Success: no issues found in 3 source files")


def test_the_stubs_are_what_mypy_reads(tmp_path):
    """Calls are checked against the stubs: wrong ones fail, results have their types."""
    source = [
        "from korvel.algorithm.loopctl import PID",
        "from korvel.algorithm.plantmodels import MIMOSim, model",
        "pid = PID(TS=0.5)",
        "reveal_type(pid.run(1, 50.0, 48.0, 0.0))",
        'reveal_type(MIMOSim({})({"MV1": 1}))',
        "pid.run(MODE=1, SP=1.0, PV=0.0)",
        "pid.setPIDParam(Kp=2.0)",
        "model()",
    ]
    script = tmp_path / "client.py"
    script.write_text("\n".join(source) + "\n")
    run = mypy(str(script))
    # path:line: kind: message, by line (the wording varies between mypy versions;
    # the path may be that of an earlier run whose result mypy took from its cache).
    notes: dict[int, str] = {}
    errors: dict[int, str] = {}
    for line in run.stdout.splitlines():
        if match := re.match(r".*client\.py:(\d+): (note|error): (.*)", line):
            number, kind, message = match.groups()
            (notes if kind == "note" else errors).setdefault(int(number), message)
    assert notes[4].endswith('"float"'), run.stdout
    assert notes[5].endswith('"dict[str, float]"'), run.stdout
    assert sorted(errors) == [6, 7, 8], run.stdout
    assert '"TV"' in errors[6] and errors[6].endswith("[call-arg]")
    assert '"Kp"' in errors[7] and errors[7].endswith("[call-arg]")
    assert errors[8].endswith("[abstract]")
