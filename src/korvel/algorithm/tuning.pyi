"""PID tuning rules from a process model: SIMC and lambda (IMC) tuning."""

from collections.abc import Mapping
from typing import Any, SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

def simc(
    model: Mapping[str, Any], tau_c: _Real | None = None, Ts: _Real | None = None
) -> dict[str, float]: ...
def lambda_tuning(
    model: Mapping[str, Any], lam: _Real | None = None, Ts: _Real | None = None
) -> dict[str, float]: ...
