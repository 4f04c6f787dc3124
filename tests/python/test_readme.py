"""The README's quick tour runs and does what it says."""

import re

from source_tree import source_file

README = source_file("README.md")


def test_quick_tour_controls_the_process():
    text = README.read_text()
    tour = re.search(r"## A quick tour.*?```python\n(.*?)```", text, re.S).group(1)
    assert len([line for line in tour.splitlines() if line.strip()]) <= 11
    scope: dict = {}
    exec(compile(tour, "README.md", "exec"), scope)
    assert abs(scope["pv"] - 30.0) < 0.05
