"""Soft-sensor bias correction from laboratory samples, and the laboratory-data recorder."""

import os
from collections import deque
from typing import Any, SupportsFloat, SupportsIndex

type _Real = SupportsFloat | SupportsIndex

class SoftSensorBiasUpdate:
    """Bias of a soft sensor from laboratory samples; call run() once per prediction."""

    _name: str
    # Copies of the histories, oldest first.
    @property
    def _prd_data_list(self) -> deque[float]: ...
    @property
    def _prd_time_list(self) -> deque[float]: ...
    @property
    def _lab_data_list(self) -> deque[float]: ...
    _bias: float
    # The bias filter (an sFilter, or None for none); any callable a caller stores.
    _fil: Any
    _abs_threshold: float
    @property
    def _update_flag(self) -> bool: ...
    @_update_flag.setter
    def _update_flag(self, value: object) -> None: ...
    _current_lab_data: float
    _current_lab_time: float
    _prd_data_at_labtime: float
    def __init__(
        self,
        name: str = "softSensor",
        filter_tao: _Real = 5.0,
        abs_threshold: _Real = 1e-6,
        prd_len: int = 28800,
        const_len: int = 60,
    ) -> None: ...
    # prd_time and update_trigger must be exactly float (an int is refused).
    def run(
        self,
        prd_data: _Real,
        lab_data: _Real,
        lab_time: _Real,
        prd_time: float | None = None,
        update_trigger: float | None = None,
    ) -> float: ...
    def get_name(self) -> str: ...
    def get_lab_data(self) -> float: ...
    def get_lab_time(self) -> float: ...
    def get_prd_data_at_labtime(self) -> float: ...
    def get_update_flag(self) -> bool: ...
    def get_bias(self) -> float: ...
    def _update_bias(self, lab_data: _Real, lab_time: _Real) -> None: ...

class LabDataRecorder:
    """Appends each new laboratory result to <csv_dir>/<name>_Raw_LabData.csv."""

    _name: str
    # A copy of the history, oldest first.
    @property
    def _lab_data_list(self) -> deque[float]: ...
    _abs_threshold: float
    # The resolved path of the CSV file (a pathlib.Path); a caller may store any path.
    _csv_file: Any
    def __init__(
        self,
        name: str = "softSensor",
        abs_threshold: _Real = 1e-6,
        const_len: int = 60,
        csv_dir: str | os.PathLike[str] = "./",
    ) -> None: ...
    def run(self, lab_data: _Real, lab_time: _Real) -> bool: ...
    def export_lab_data_csv(self, lab_data: _Real, lab_time: _Real) -> None: ...
