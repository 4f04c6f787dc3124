"""Pure delays by a whole number of samples."""

from collections import deque
from typing import Any

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
