// Float64 arrays and vectors of doubles from what callers give: sequences
// and arrays converted as np.array(obj, dtype=float) converts them, checked
// for the shapes the blocks take.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <span>
#include <vector>

#include "errors.hpp"
#include "ndarray.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

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

} // namespace korvel::pyglue
