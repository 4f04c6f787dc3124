// Independent copies of the Python objects a block takes or hands out, as
// copy.deepcopy makes them.
#pragma once

#include <nanobind/nanobind.h>

namespace korvel::pyglue {

namespace nb = nanobind;

// copy.deepcopy(obj), called.
nb::object deep_copy(nb::handle obj);

// An independent copy of a tag mapping, as copy.deepcopy makes it: dict.copy()
// of an exact dict whose keys are atoms and values immutable numbers (a deep
// copy would keep them all), a deep copy otherwise.
nb::object copy_mapping(nb::handle d);

} // namespace korvel::pyglue
