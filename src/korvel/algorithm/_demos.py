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


DEMOS = {
    "slewguard": slewguard,
    "heartbeat": heartbeat,
}
