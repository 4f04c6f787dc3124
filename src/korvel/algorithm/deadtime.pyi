"""Pure delays by a whole number of samples."""

from collections import deque
from typing import Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# A bank's argument: one value for every lane, or one per lane.
type _Lanes = ArrayLike
type _Array = NDArray[np.float64]

class Delay_Algorithm:
    """Write Ut and nLag, call call(), read Yt."""

    # Plain fields: the caller writes any object; call() uses them.
    Ut: Any
    Yt: Any
    nLag: Any
    U_array: Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...

class Delay:
    """Returns the input of nLag calls ago; the history holds max_cache values."""

    # A copy of the history, newest first.
    @property
    def _cache(self) -> deque[Any]: ...
    def __init__(self, max_cache: int = 10000) -> None: ...
    def __call__(self, Ut: Any, nLag: int = 1) -> Any: ...

class DelayBank:
    """n pure delays stepped together; lane i is exactly one ``Delay`` of floats."""

    # A copy of every lane's history, newest first.
    @property
    def _cache(self) -> tuple[_Array, ...]: ...
    def __init__(self, n: int, max_cache: _Lanes = 10000) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex) -> Delay: ...
    def __setitem__(self, index: SupportsIndex, value: Delay) -> None: ...
    def __call__(self, Ut: _Lanes, nLag: _Lanes = 1) -> _Array: ...
