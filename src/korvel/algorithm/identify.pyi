"""Process models identified from plant-test records."""

from collections.abc import Iterable, Mapping
from typing import Any, SupportsFloat, SupportsIndex

from numpy.typing import ArrayLike

type _Real = SupportsFloat | SupportsIndex

def fit_pair(
    u: ArrayLike,
    y: ArrayLike,
    Ts: _Real,
    kind: str = "fopdt",
    u0: _Real | None = None,
    y0: _Real | None = None,
    delay: int | None = None,
    max_delay: int | None = None,
    length: int | None = None,
) -> dict[str, Any]: ...
def fit_process(
    records: Mapping[str, ArrayLike],
    cv_tags: Iterable[str],
    mv_tags: Iterable[str],
    Ts: _Real,
    kinds: str | Mapping[str, str | Mapping[str, str]] = "fopdt",
    ini_values: Mapping[str, _Real] | None = None,
    max_delay: int | None = None,
    length: int | None = None,
) -> dict[str, Any]: ...
