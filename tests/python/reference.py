"""The reference two-by-three process the simulator tests drive: the
package's own (korvel.algorithm._reference), fresh copies each call."""

from korvel.algorithm._reference import initial_values as reference_ini
from korvel.algorithm._reference import process as reference_dict

__all__ = ["reference_dict", "reference_ini"]
