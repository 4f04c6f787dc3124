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


def test_bank_tour_lanes_are_the_quick_tour_loop():
    first, bank = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)[:2]
    scope: dict = {}
    exec(compile(first + bank, "README.md", "exec"), scope)
    lanes = scope["pv"]
    assert lanes.shape == (1000,)
    for i in (0, 437, 999):  # each lane is the single loop with that lane's gain
        kp = float(scope["np"].linspace(0.2, 3.0, 1000)[i])
        one: dict = {}
        exec(compile(first.replace("KP=1.5", f"KP={kp!r}"), "README.md", "exec"), one)
        assert one["pv"] == lanes[i]
