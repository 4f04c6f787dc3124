// korvel.algorithm.tfblock, shared by the files of its binding: the filters
// (tfblock.cpp) and the bank of zFilters (tfblock_bank.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/filters.hpp>

#include <optional>

namespace korvel::tfblock {

namespace nb = nanobind;

// A new zFilter that is `f`: its coefficients, operating point (floats, or
// None) and state.
nb::object new_zfilter(const korvel::ZFilter& f);

// The zFilter `o` as it stands, its state included; none for anything that
// is not a constructed zFilter.
std::optional<korvel::ZFilter> zfilter_of(nb::handle o);

// zFilterBank (tfblock_bank.cpp).
void def_zfilter_bank(nb::module_& m);

} // namespace korvel::tfblock
