"""Slew-rate limiter with rates per minute."""

from typing import Any, SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

class RateLimit:
    # Plain fields: a caller may store any object (the next call uses it).
    u_last: Any
    Ts: Any
    def __init__(self, u_ini: _Real, Ts: float = 1) -> None: ...
    def __call__(
        self, u_end: float, PRLimPerMin: float = 60, NRLimPerMin: float | None = None
    ) -> float: ...
    def reset(self, u_ini: _Real) -> None: ...
