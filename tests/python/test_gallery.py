"""Every gallery script runs, draws its figures and writes nothing where it runs.

The same scripts run when the documentation site is built (`make docs`); this
keeps a broken example from waiting for that.
"""

import runpy
from pathlib import Path

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

GALLERY = Path(__file__).resolve().parents[2] / "examples" / "gallery"
SCRIPTS = sorted(GALLERY.glob("plot_*.py"))


def test_the_gallery_has_its_examples():
    assert len(SCRIPTS) >= 9


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda p: p.stem)
def test_script_runs_and_draws(script, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    random_state = np.random.get_state()  # TestSignal reseeds the global generator
    plt.close("all")
    try:
        with matplotlib.rc_context():
            runpy.run_path(str(script), run_name="__main__")
            figures = plt.get_fignums()
            for number in figures:
                plt.figure(number).canvas.draw()
    finally:
        plt.close("all")
        np.random.set_state(random_state)
    assert figures, "the script drew no figure"
    assert list(tmp_path.iterdir()) == [], "the script left files in its working directory"
