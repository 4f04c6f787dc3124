"""Constant-signal detector over a sliding window of samples."""

from collections import deque
from typing import SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

class ConstDect:
    # A copy of the window, oldest first.
    @property
    def _U_queue(self) -> deque[float]: ...
    def __init__(self) -> None: ...
    def __call__(self, Ut: _Real, DectLen: int = 10) -> bool: ...
