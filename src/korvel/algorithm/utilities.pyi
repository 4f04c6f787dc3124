"""The history shift shared by the delay and trigger blocks."""

from collections.abc import MutableSequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

def dataStore(xArray: MutableSequence[Any] | NDArray[np.generic], xt: Any) -> None: ...
