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

    from korvel.algorithm._reference import process
    from korvel.algorithm.plantmodels import plot_model_stp

    yu_model = process()
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


def phaseshaper(fast: bool = False) -> None:
    """Lead-lag step trajectories and responses, with a bumpless change of tao."""
    import importlib.util
    import os
    import sys

    import numpy as np

    from korvel.algorithm.phaseshaper import LDLAG, filter_stp

    settings = [(0.0, 5.0), (0.5, 5.0), (1.0, 5.0), (2.0, 10.0)]
    n, step_at = 60, 5
    u = np.where(np.arange(n) < step_at, 0.0, 1.0)
    responses = {}
    for alpha, tao in settings:
        responses[alpha, tao] = LDLAG(alpha=alpha, tao=tao).multi_step(u)
        head = ", ".join(f"{v:.3f}" for v in responses[alpha, tao][step_at : step_at + 5])
        print(f"alpha={alpha:<4} tao={tao:<5} first outputs after the step: {head}")
    # tao switched from 5 to 20 while rising: the output bends, it does not jump.
    retuned, at = LDLAG(alpha=0.0, tao=5.0), step_at + 4
    switched = []
    for k, v in enumerate(u):
        if k == at:
            retuned.tao = 20.0
        switched.append(retuned(v))
    print(f"tao 5 -> 20 at sample {at}: {switched[at - 1]:.4f} -> {switched[at]:.4f}")

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
    from matplotlib import gridspec

    fig = plt.figure(figsize=(9, 7))
    grid = gridspec.GridSpec(2, 1, figure=fig)
    top, bottom = fig.add_subplot(grid[0]), fig.add_subplot(grid[1])
    for alpha, tao in settings:
        top.plot(filter_stp(n - step_at, tao, alpha), label=f"alpha={alpha}, tao={tao}")
        bottom.plot(responses[alpha, tao], label=f"alpha={alpha}, tao={tao}")
    bottom.plot(switched, "k--", label=f"alpha=0, tao 5 -> 20 at sample {at}")
    bottom.plot(u, "k:", label="input")
    top.set_title("filter_stp: ideal step trajectories")
    bottom.set_title("LDLAG: responses to a unit step")
    for ax in (top, bottom):
        ax.set_xlabel("sample")
        ax.grid(True)
        ax.legend(fontsize="small")
    fig.tight_layout()
    if no_display and not fast:
        path = os.path.abspath("phaseshaper.png")
        fig.savefig(path)
        print(f"no display: figure saved to {path}")
    elif not fast:
        plt.show()
    plt.close(fig)


DEMOS = {
    "phaseshaper": phaseshaper,
    "plantmodels": plantmodels,
    "slewguard": slewguard,
    "heartbeat": heartbeat,
}
