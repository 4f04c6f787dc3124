// korvel.algorithm.deadtime, shared by the files of its binding: the blocks
// (deadtime.cpp) and the bank of Delay lanes (deadtime_bank.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/delay.hpp>

namespace korvel::deadtime {

namespace nb = nanobind;

// What a Delay refuses, in its words.
inline constexpr const char negative_capacity[] = "maxlen must be non-negative";
// "nLag must be between 0 and <capacity - 1>, but got <lag>."
nb::str lag_refused(long long capacity, nb::handle lag);

// A new Delay holding `line`.
nb::object new_delay(korvel::DelayLine<nb::object> line);
// The line of a constructed Delay (or of a subclass), nullptr for anything else.
const korvel::DelayLine<nb::object>* delay_line(nb::handle o) noexcept;

// Binds DelayBank into the module.
void def_delay_bank(nb::module_& m);

} // namespace korvel::deadtime
