// Construction-time conversions and calls into SciPy, with Python's own
// semantics. Errors travel as nb::python_error, so callers run these inside
// guard().
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/models.hpp>

#include <cstddef>
#include <span>
#include <vector>

#include "glue.hpp"
#include "ndarray.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// `from <module> import <name>`, resolved at call time so that a module is
// loaded only when a block first needs it (SciPy is slow to import).
inline nb::object import_attr(const char* module, const char* name) {
    return nb::module_::import_(module).attr(name);
}

// `v0, v1, ... = obj` for exactly n values, with the interpreter's messages.
std::vector<nb::object> unpack(nb::handle obj, std::size_t n);

// copy.deepcopy(obj): done here for plain data (dicts, lists and tuples of
// numbers, text, None and each other, shared and self-containing parts
// included), by copy.deepcopy itself for anything else.
nb::object deep_copy(nb::handle obj);

// An independent copy of a tag mapping, as copy.deepcopy makes it: dict.copy()
// of an exact dict whose keys are atoms and values immutable numbers (a deep
// copy would keep them all), a deep copy otherwise.
nb::object copy_mapping(nb::handle d);

// np.array(obj, dtype=float): a new float64 array.
inline nb::object float_array(nb::handle obj) {
    return np::array_f64(obj);
}

// The items of what np.array(obj, dtype=float) makes of `obj`, which must be
// one-dimensional; ValueError "<name> must be one-dimensional" otherwise.
// Lists and tuples of plain numbers are read directly.
std::vector<double> doubles(nb::handle obj, const char* name);

// The direct read alone: whether `obj` is a list or tuple of plain numbers
// that NumPy would convert exactly so, and then its items in `out`.
bool plain_doubles(nb::handle obj, std::vector<double>& out);

// The items of a one-dimensional float64 array (any layout).
std::vector<double> array_items(nb::handle arr);

// A float64 array of what a field of samples or coefficients is given: what
// np.array(value, dtype=float) makes of it, a lone number or None refused
// ("Gz_num must be a sequence of numbers, not NoneType").
nb::object field_array(nb::handle value, const char* field);

// A filter state assigned by a caller: a float64 copy of `value` with exactly
// `size` items, or lfilter's ValueError for the wrong shape.
nb::object state_array(nb::handle value, std::size_t size, double*& data);

// The same where the size is the filter's as it is after the conversion
// (converting runs Python code, which may rebuild the filter): size() is
// asked once the copy exists.
template <class Size> nb::object current_state_array(nb::handle value, Size&& size, double*& data) {
    nb::object arr = float_array(value);
    return state_array(arr, size(), data);
}

// A float64 array of the doubles.
inline nb::object f64_array(std::span<const double> v) {
    return np::copy_f64(v.data(), v.size());
}

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
