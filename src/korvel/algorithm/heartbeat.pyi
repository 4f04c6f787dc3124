"""Cyclic watchdog counter."""

from typing import Any

class WatchDog:
    # A plain field: a caller may store any object, the next call checks it.
    ticks: Any
    def __init__(self) -> None: ...
    def __call__(self, MaxOut: float = 0) -> int: ...
