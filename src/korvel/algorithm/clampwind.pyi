"""Anti-windup limiter: passes on the changes of its input, kept inside a band."""

from typing import SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

class AntiWindupLimter:
    # Both raise AttributeError until the first call.
    _u0: float
    _y0: float
    def __init__(self) -> None: ...
    def __call__(self, u: _Real, HI: _Real = 100, LO: _Real = 0) -> float: ...
    def run(self, u: _Real, HI: _Real = 100, LO: _Real = 0) -> float: ...
