"""Demonstrations of the modules, run by ``python -m korvel.algorithm <name>``.

Each demonstration is a function taking one keyword, ``fast``: when true it
skips waiting (sleeps, interactive plot windows), so tests can run it. Add a
new one by writing the function and entering it in ``DEMOS``.
"""

import time


def slewguard(fast: bool = False) -> None:
    """Ramp from 3 towards 10 at 10 units per minute, one call per second."""
    from korvel.algorithm.slewguard import RateLimit

    values = [3]
    limiter = RateLimit(values[-1])
    for _ in range(100):
        values.append(limiter(10, 10, -10))
    print(values)


def heartbeat(fast: bool = False) -> None:
    """Count 1, 2, 3, 0, ... once a second, ten times."""
    from korvel.algorithm.heartbeat import WatchDog

    watchdog = WatchDog()
    for _ in range(10):
        print(watchdog(3))
        if not fast:
            time.sleep(1)


def plantmodels(fast: bool = False) -> None:
    """Step responses of a two-CV, three-MV process, one plot per CV/MV pair."""
    import importlib.util
    import logging
    import os
    import sys
    import warnings

    from korvel.algorithm.plantmodels import plot_model_stp

    yu_model = {
        "CV1": {
            "MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {
                "mode": "tf_z",
                "num_z": [0, 1, 0.5],
                "den_z": [1, -1.5, 0.7],
                "iodelay_z": 0,
                "IntegralMark": 0,
            },
        },
        "CV2": {
            "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {
                "mode": "stp",
                "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3],
            },
            "MV3": {
                "mode": "tf_s",
                "num_s": [0, 1],
                "den_s": [20, 1],
                "iodelay_s": 2,
                "IntegralMark": 1,
            },
        },
    }
    if importlib.util.find_spec("matplotlib") is None:
        print("matplotlib is not installed: there is nothing to plot")
        return
    import matplotlib

    no_display = sys.platform.startswith("linux") and not (
        os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
    )
    if fast or no_display:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The plots ask for the SimHei font, which most machines lack; the
    # fallback font is fine and the warning per text is noise here.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*non-interactive.*")
        plot_model_stp(yu_model, 1, 300)
    fig = plt.gcf()
    if no_display and not fast:
        path = os.path.abspath("plantmodels_stp.png")
        fig.savefig(path)
        print(f"no display: figure saved to {path}")
    plt.close(fig)


DEMOS = {
    "plantmodels": plantmodels,
    "slewguard": slewguard,
    "heartbeat": heartbeat,
}
