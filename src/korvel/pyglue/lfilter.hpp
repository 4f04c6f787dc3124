// Whole arrays through scipy.signal.lfilter's two paths, as the Python
// modules must give them. On the IIR path lfilter runs the same loop as the
// core, so the core filters. On the FIR path lfilter convolves with NumPy,
// whose sums are rounded as the host's BLAS kernel and thread count decide;
// no fixed order can equal that everywhere, so NumPy convolves here too and
// the core only joins the state (Iir::fir_join).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/iir.hpp>

#include <cstddef>
#include <optional>

namespace korvel::pyglue {

namespace nb = nanobind;

// Samples handed to an array operation: the caller's own float64 array where
// it is exactly a contiguous one-dimensional ndarray (read, never written),
// else what np.array(obj, dtype=float) makes of it (ours to write).
struct Samples {
    nb::object array;
    const double* data = nullptr;
    std::size_t n = 0;
    bool ours = false;
    bool one_dimensional = false; // false: `array` is the conversion, data unset
};
Samples samples(nb::handle obj);

// A filter in deviation form: x0 subtracted from the input, y0 added to
// the output.
struct Deviation {
    double x0, y0;
};

// lfilter(b, a, x[, - x0], zi=z)[ + y0] over s, z the state (state_size()
// items, left final): a float64 array of the outputs (s's own array where
// it is ours). Runs no Python code, so `z` may point into a live array.
nb::object filter_array(const Iir& f, const Samples& s, double* z,
                        std::optional<Deviation> dev = std::nullopt);

} // namespace korvel::pyglue
