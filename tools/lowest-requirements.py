#!/usr/bin/env python3
"""Prints the run-time dependencies of pyproject.toml pinned to their lower bounds.

Each dependency must be of the form `name>=version`; `numpy>=2.1` prints
`numpy==2.1`, which pip satisfies with the release 2.1.0.
"""

import re
import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())
pins = []
for dependency in project["project"]["dependencies"]:
    match = re.fullmatch(r"([A-Za-z0-9_.-]+)\s*>=\s*([0-9.]+)", dependency)
    if not match:
        sys.exit(f"lowest-requirements: no plain lower bound in {dependency!r}")
    pins.append(f"{match[1]}=={match[2]}")
print(" ".join(pins))
