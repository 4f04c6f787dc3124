"""Discrete (zFilter) and continuous (sFilter) transfer-function filters, and a
bank of zFilters (zFilterBank)."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

type _Real = SupportsFloat | SupportsIndex
type _Lanes = ArrayLike
type _Array = NDArray[np.float64]

class zFilter:
    """Bz(z^-1)/Az(z^-1) around an operating point; call it once per sample."""

    # Coefficient setters take any sequence of numbers and rebuild the state.
    @property
    def _Bz(self) -> NDArray[np.float64]: ...
    @_Bz.setter
    def _Bz(self, value: ArrayLike) -> None: ...
    @property
    def _Az(self) -> NDArray[np.float64]: ...
    @_Az.setter
    def _Az(self, value: ArrayLike) -> None: ...
    @property
    def _zi(self) -> NDArray[np.float64]: ...
    @_zi.setter
    def _zi(self, value: ArrayLike) -> None: ...
    @property
    def _u_ini(self) -> float | None: ...
    @_u_ini.setter
    def _u_ini(self, value: _Real | None) -> None: ...
    @property
    def _y_ini(self) -> float | None: ...
    @_y_ini.setter
    def _y_ini(self, value: _Real | None) -> None: ...
    def __init__(
        self,
        Bz: ArrayLike = [0, 0.1],
        Az: ArrayLike = [1, -0.9],
        u_ini: _Real | None = None,
        y_ini: _Real | None = None,
    ) -> None: ...
    def __call__(self, Ut: _Real, y_ini: _Real = 0.0) -> float: ...
    def run(self, Ut: _Real, y_ini: _Real = 0.0) -> float: ...
    def run_multistep(self, U_arr: ArrayLike, y_ini: _Real = 0.0) -> NDArray[np.float64]: ...

class sFilter:
    """Bs(s)/As(s), discretised with a zero-order hold at Ts; call it once per sample."""

    _Bs: Any
    _As: Any
    _Ts: Any
    _zfilter: zFilter
    def __init__(
        self,
        Bs: ArrayLike = [1],
        As: ArrayLike = [5, 1],
        Ts: float = 1,
        u_ini: _Real | None = None,
        y_ini: _Real | None = None,
    ) -> None: ...
    def __call__(self, Ut: _Real, y_ini: _Real = 0.0) -> float: ...
    def run(self, Ut: _Real, y_ini: _Real = 0.0) -> float: ...
    def run_multistep(self, U_arr: list[float], y_ini: _Real = 0.0) -> NDArray[np.float64]: ...

class zFilterBank:
    """n zFilters stepped together; lane i is exactly one ``zFilter``."""

    def __init__(
        self,
        n: int,
        Bz: ArrayLike = [0, 0.1],
        Az: ArrayLike = [1, -0.9],
        u_ini: _Lanes | Sequence[_Real | None] | None = None,
        y_ini: _Lanes | Sequence[_Real | None] | None = None,
    ) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex) -> zFilter: ...
    def __setitem__(self, index: SupportsIndex, value: zFilter) -> None: ...
    def __call__(self, Ut: _Lanes, y_ini: _Lanes = 0.0) -> _Array: ...
    def run(self, Ut: _Lanes, y_ini: _Lanes = 0.0) -> _Array: ...
    def run_multistep(self, U_arr: ArrayLike, y_ini: _Lanes = 0.0) -> _Array: ...
