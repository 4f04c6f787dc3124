"""The C++ example and its Python twin print the same numbers."""

import os
import shutil
import subprocess
import sys

import pytest
from source_tree import ROOT, source_file

INCLUDE = source_file("include")


def parse(text):
    lines = text.strip().splitlines()
    assert lines[0] == "k,CV1,CV2,MV1,MV2"
    return [[float(v) for v in line.split(",")] for line in lines[1:]]


@pytest.fixture(scope="module")
def cpp_output(tmp_path_factory):
    built = ROOT / "build" / "cpp" / "closed_loop"
    if not built.exists():
        cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
        if cxx is None:
            pytest.skip("no C++ compiler")
        built = tmp_path_factory.mktemp("cpp") / "closed_loop"
        subprocess.run(
            [cxx, "-std=c++20", "-O2", "-ffp-contract=off", f"-I{INCLUDE}",
             str(ROOT / "examples" / "cpp" / "closed_loop.cpp"), "-o", str(built)],
            check=True,
        )  # fmt: skip
    return subprocess.run([str(built)], capture_output=True, text=True, check=True).stdout


def test_python_loop_prints_the_numbers_of_the_cpp_loop(cpp_output):
    py = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "closed_loop.py")],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    cpp, python = parse(cpp_output), parse(py)
    assert len(cpp) == len(python) == 200
    assert cpp == python  # every value to the last bit
    assert cpp[-1][1] == pytest.approx(55.0, abs=0.05)  # the loop does settle
