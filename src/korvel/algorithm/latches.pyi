"""Reset-set flip-flop, on-delay and off-delay timers driven through their fields."""

from typing import Any

class RStrigger:
    # Plain fields: the caller writes any object; call() uses them.
    S: Any
    R: Any
    Q: Any
    nQ: Any
    Q_array: Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...

class TONtrigger:
    Ut: Any
    Yt: Any
    DT: Any
    ET: Any
    Ut_array: Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...

class TOFFtrigger:
    Ut: Any
    Yt: Any
    DT: Any
    ET: Any
    Ut_array: Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...
