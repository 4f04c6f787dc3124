// The SciPy routines the blocks are defined by, called at run time where
// their results depend on the host or are hard to repeat: the zero-order
// hold of scipy.signal.cont2discrete, and c2d around it.
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/models.hpp>

#include <span>

namespace korvel::pyglue {

namespace nb = nanobind;

// scipy.signal.cont2discrete((num, den), dt=Ts, method=method, alpha=None):
// the single numerator row and the denominator. Ts is handed over as the
// caller gave it.
DiscreteTf cont2discrete(std::span<const double> num, std::span<const double> den, nb::handle Ts,
                         nb::handle method = nb::handle());

// c2d with Python's arithmetic for the dead time: the core's steps (leading
// zeros trimmed, the dead time as leading zeros) around SciPy's discretisation,
// the dead time in samples being int(round(delay / Ts)) on the objects given.
DiscreteTf c2d(std::span<const double> num, std::span<const double> den, nb::handle delay,
               nb::handle Ts, nb::handle method = nb::handle());

// The same as the core's construction rule calls it, on the caller's dead
// time and period.
inline korvel::C2d scipy_c2d(nb::handle delay, nb::handle Ts) {
    nb::object d = nb::borrow(delay), t = nb::borrow(Ts);
    return [d, t](std::span<const double> num, std::span<const double> den, double, double) {
        return c2d(num, den, d, t);
    };
}

// The same as a discretisation for the core (which passes Ts as a double;
// the object given here is used instead).
inline Discretise scipy_zoh(nb::handle Ts) {
    nb::object t = nb::borrow(Ts);
    return [t](std::span<const double> num, std::span<const double> den, double) {
        return cont2discrete(num, den, t);
    };
}

} // namespace korvel::pyglue
