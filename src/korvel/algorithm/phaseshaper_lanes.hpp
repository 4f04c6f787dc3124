// What LDLAGBank (phaseshaper_bank.cpp) needs of LDLAG (phaseshaper.cpp):
// a lane as an LDLAG and back, the same discretisation, and the parameter
// type rule.
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/filters.hpp>

namespace korvel::phaseshaper {

namespace nb = nanobind;

// An LDLAG that continues as the lane would.
nb::object make_ldlag(const korvel::LeadLagLane& lane);
// The parts of an LDLAG (TypeError for anything else).
korvel::LeadLagLane ldlag_lane(nb::handle block, const char* bank);
// cont2discrete as LDLAG asks SciPy for it, at a whole Ts.
korvel::Discretise scipy_hold();
// The TypeError "<name> must be a (<class 'float'>, <class 'int'>)" an LDLAG
// parameter refuses a value with, set; `note` follows it in parentheses.
void refuse_parameter_type(const char* name, nb::handle note);

void def_ldlag_bank(nb::module_& m);

} // namespace korvel::phaseshaper
