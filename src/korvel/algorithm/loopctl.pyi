"""Incremental PID controller block with tracking, feed-forward and output limits."""

from typing import SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

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
