"""Incremental PID controller block with tracking, feed-forward and output limits."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

type _Real = SupportsFloat | SupportsIndex
# A bank's argument: one value for every lane, or one per lane.
type _Lanes = ArrayLike
type _Array = NDArray[np.float64]

class PID:
    """Non-interacting PID in velocity form; drive it with ``run`` once per sample."""

    # Configuration.
    @property
    def _iniFlag(self) -> bool: ...
    @_iniFlag.setter
    def _iniFlag(self, value: object) -> None: ...
    _TS: float
    _KP: float
    _TI: float
    _TD: float
    _N: float
    _OP_HI: float
    _OP_LO: float
    # History and saved inner state: they exist from the first run() on and
    # raise AttributeError before it.
    _et1: float
    _et2: float
    _OP1: float
    _FF1: float
    _dOPD1: float
    _OP_save: float
    _OPcal_save: float
    _dOP_save: float
    _dOP_P_save: float
    _dOP_I_save: float
    _dOP_D_save: float
    _dFF_save: float

    def __init__(self, TS: _Real = 1.0) -> None: ...
    def getPIDForm(self) -> str: ...
    def setPIDParam(
        self, KP: _Real = 1.0, TI: _Real = 60.0, TD: _Real = 0.0, N: _Real = 10.0
    ) -> None: ...
    def getPIDParam(self) -> tuple[float, float, float, float]: ...
    def setOPHighLowLimit(self, OP_HI: _Real = 100.0, OP_LO: _Real = 0.0) -> None: ...
    def getOPHighLowLimit(self) -> tuple[float, float]: ...
    def _resetPID(self, SP: _Real, PV: _Real, TV: _Real, FF: _Real) -> None: ...
    def _setInnerSaveState(
        self,
        OP_save: _Real,
        OPcal_save: _Real,
        dOP_save: _Real,
        dOP_P_save: _Real,
        dOP_I_save: _Real,
        dOP_D_save: _Real,
        dFF_save: _Real,
    ) -> None: ...
    def getInnerSaveState(self) -> dict[str, float]: ...
    def run(self, MODE: _Real, SP: _Real, PV: _Real, TV: _Real, FF: _Real = 0.0) -> float: ...
    def PID_Auto(self, SP: _Real, PV: _Real, FF: _Real = 0.0) -> float: ...

class PIDBank:
    """n PID controllers stepped together; lane i is exactly one ``PID``."""

    def __init__(self, n: int, TS: _Lanes = 1.0) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex) -> PID: ...
    def __setitem__(self, index: SupportsIndex, value: PID) -> None: ...
    def getPIDForm(self) -> str: ...
    def setPIDParam(
        self, KP: _Lanes = 1.0, TI: _Lanes = 60.0, TD: _Lanes = 0.0, N: _Lanes = 10.0
    ) -> None: ...
    def getPIDParam(self) -> tuple[_Array, _Array, _Array, _Array]: ...
    def setOPHighLowLimit(self, OP_HI: _Lanes = 100.0, OP_LO: _Lanes = 0.0) -> None: ...
    def getOPHighLowLimit(self) -> tuple[_Array, _Array]: ...
    def _resetPID(self, SP: _Lanes, PV: _Lanes, TV: _Lanes, FF: _Lanes) -> None: ...
    def _setInnerSaveState(
        self,
        OP_save: _Lanes,
        OPcal_save: _Lanes,
        dOP_save: _Lanes,
        dOP_P_save: _Lanes,
        dOP_I_save: _Lanes,
        dOP_D_save: _Lanes,
        dFF_save: _Lanes,
    ) -> None: ...
    def getInnerSaveState(self) -> dict[str, _Array]: ...
    def run(self, MODE: _Lanes, SP: _Lanes, PV: _Lanes, TV: _Lanes, FF: _Lanes = 0.0) -> _Array: ...
    def PID_Auto(self, SP: _Lanes, PV: _Lanes, FF: _Lanes = 0.0) -> _Array: ...
