"""First-order lead-lag filter with bumpless parameter changes, and its step trajectory."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

type _Real = SupportsFloat | SupportsIndex

def filter_stp(
    N: int, tao: _Real, alpha: _Real, r1: _Real = 0.0, r2: _Real = 1.0
) -> NDArray[np.float64]: ...
def positive_parameter_property(name: str, expected_type: type | tuple[type, ...]) -> property: ...

class LDLAG:
    """(alpha*tao*s + 1)/(tao*s + 1); call it once per sample."""

    # Validated: a number of the accepted types, not negative; an effective
    # change recomputes the coefficients and restarts the state bumplessly.
    alpha: float
    tao: float
    # Stored directly, without the checks of alpha and tao.
    _alpha: float
    _tao: float
    _Ts: int
    @property
    def _b(self) -> NDArray[np.float64]: ...
    @_b.setter
    def _b(self, value: ArrayLike) -> None: ...
    @property
    def _a(self) -> NDArray[np.float64]: ...
    @_a.setter
    def _a(self, value: ArrayLike) -> None: ...
    @property
    def _zi(self) -> NDArray[np.float64] | None: ...
    @_zi.setter
    def _zi(self, value: ArrayLike | None) -> None: ...
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
        alpha: _Real = 0.0,
        tao: _Real = 5.0,
        Ts: int = 1,
        u_ini: _Real | None = None,
        y_ini: _Real | None = None,
    ) -> None: ...
    def __call__(self, u: _Real) -> float: ...
    def multi_step(self, u: ArrayLike) -> NDArray[np.float64]: ...
    def _modify_param(self) -> None: ...
