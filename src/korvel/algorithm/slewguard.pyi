"""Slew-rate limiter with rates per minute."""

from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

type _Real = SupportsFloat | SupportsIndex
# A bank's argument: one value for every lane, or one per lane (None among
# NRLimPerMin's values too).
type _Lanes = ArrayLike
type _Array = NDArray[np.float64]

class RateLimit:
    # Plain fields: a caller may store any object (the next call uses it).
    u_last: Any
    Ts: Any
    def __init__(self, u_ini: _Real, Ts: float = 1) -> None: ...
    def __call__(
        self, u_end: float, PRLimPerMin: float = 60, NRLimPerMin: float | None = None
    ) -> float: ...
    def reset(self, u_ini: _Real) -> None: ...

class RateLimitBank:
    """n rate limiters stepped together; lane i is exactly one ``RateLimit``."""

    def __init__(self, n: int, u_ini: _Lanes, Ts: _Lanes = 1) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex) -> RateLimit: ...
    def __setitem__(self, index: SupportsIndex, value: RateLimit) -> None: ...
    def __call__(
        self, u_end: _Lanes, PRLimPerMin: _Lanes = 60, NRLimPerMin: _Lanes | None = None
    ) -> _Array: ...
    def reset(self, u_ini: _Lanes) -> None: ...
