"""LPV plant simulation: local MIMO plants blended by working point."""

from collections.abc import Mapping
from typing import Any, SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex
# CV tag -> MV tag -> model entry, as for plantmodels.MIMOSim.
type _ModelDict = dict[str, dict[str, dict[str, Any]]]

class LPVLocalPlant:
    """One local plant of an LPVPlantSim bank: a record of plain fields."""

    plant_id: Any
    working_point: Any
    plant: Any
    yu_model_tf: Any
    Ts: Any
    current_weight: Any
    def __init__(self) -> None: ...

class LPVPlantSim:
    """Add local plants with addPlant, then call it once per sample."""

    plant_list: list[LPVLocalPlant]
    ini_value_dict: dict[str, float]
    _working_value: float
    _u_dict: dict[str, float]
    _y_dict: dict[str, float]
    def __init__(self, ini_value_dict: dict[str, float] = {}) -> None: ...
    def __call__(
        self,
        working_value: _Real,
        u_Value_Dict: Mapping[str, float] = {},
        v_Value_Dict: Mapping[str, float] = {},
    ) -> dict[str, float]: ...
    def run(
        self,
        working_value: _Real,
        u_Value_Dict: Mapping[str, float] = {},
        v_Value_Dict: Mapping[str, float] = {},
    ) -> dict[str, float]: ...
    def addPlant(
        self, plant_id: int, working_point: _Real, yu_model_tf: _ModelDict, Ts: int
    ) -> None: ...
    def delPlant(self, plant_id: int) -> None: ...
    def _sort_plant_list_by_working_point(self) -> None: ...
    def get_plant_dict(self) -> dict[int, LPVLocalPlant]: ...
    def get_current_plant_weight_dict(self) -> dict[int, float]: ...
    def get_cv_list(self) -> list[str]: ...
    def get_mv_list(self) -> list[str]: ...
    def get_input_data_dict(self) -> dict[str, float]: ...
    def get_output_data_dict(self) -> dict[str, float]: ...
    def get_all_data_dict(self) -> dict[str, float]: ...
    def plot_model_stp(self, plant_id: int, plotLen: int = 300) -> None: ...
