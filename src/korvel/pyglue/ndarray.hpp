// One-dimensional NumPy arrays through NumPy's own C API: views of arrays
// callers hand in, new float64 arrays, and state arrays shared copy-on-write.
//
// A view is taken only of exactly an ndarray (not a subclass, whose item
// access may be its own), one-dimensional, aligned, in native byte order and
// of the wanted dtype, writable when asked; anything else is refused without
// an error, so callers fall back to their generic path and NumPy's own rules
// and messages apply there.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

namespace korvel::pyglue::np {

namespace nb = nanobind;

enum class Dtype { float64, int64, boolean };

// NumPy's C API for this extension module; call once from module init.
// False with the import error set.
bool init() noexcept;

struct View {
    char* data;
    Py_ssize_t size;
    Py_ssize_t stride; // in bytes

    template <class T> T& at(Py_ssize_t i) const noexcept {
        return *reinterpret_cast<T*>(data + i * stride);
    }
};

bool view(PyObject* o, Dtype t, bool writable, View& v) noexcept;

// A contiguous float64 view (of an array made by this module, for one).
bool f64_view(PyObject* o, double*& data, Py_ssize_t& n, bool writable = false) noexcept;

// The same of exactly an ndarray (not a subclass, which np.array would
// convert), read-only: a caller's input read in place.
bool f64_input(PyObject* o, double*& data, Py_ssize_t& n) noexcept;

// numpy.zeros(n, dtype): a new reference, or nullptr with the error set.
PyObject* zeros(Py_ssize_t n, Dtype t) noexcept;

// np.asarray(o, dtype=float64): a new reference or nullptr.
PyObject* as_f64(PyObject* o) noexcept;

// np.array(o, dtype=float): always a new, contiguous, writable array.
nb::object array_f64(nb::handle o);

// A new uninitialised float64 array of n items and its data.
nb::object new_f64(std::size_t n, double*& data);

// A copy of n doubles as a new float64 array.
nb::object copy_f64(const double* src, std::size_t n);

// np.convolve(a, v) in full mode, computed by NumPy's own correlation (what
// np.convolve runs: the longer operand correlated with the shorter one
// reversed), so its rounding is whatever the host's NumPy and BLAS give.
// a and v are one-dimensional float64 arrays, both non-empty. A new array.
nb::object convolve(nb::handle a, nb::handle v);

// A view of a one-dimensional array's first n items (arr[:n]).
nb::object head(nb::handle arr, std::size_t n);

// The number of dimensions of an array (0 for anything that is not one).
int ndim(PyObject* o) noexcept;

// A filter state that callers see as an array: stepping writes into it in
// place unless someone else holds the array, in which case the state moves
// to a copy first, so what they hold keeps the values they saw (as if every
// step made a new state array, which is what lfilter does).
class CowState {
  public:
    CowState() = default;
    CowState(nb::object array, double* data, std::size_t size)
        : array_(std::move(array)), data_(data), size_(size) {}

    // A fresh array holding `values`.
    static CowState of(const double* values, std::size_t n) {
        double* d;
        nb::object a = new_f64(n, d);
        for (std::size_t i = 0; i < n; ++i)
            d[i] = values[i];
        return CowState(std::move(a), d, n);
    }

    double* mut() {
        if (array_.is_valid() && Py_REFCNT(array_.ptr()) > 1) *this = of(data_, size_);
        return data_;
    }
    const double* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    const nb::object& array() const noexcept { return array_; }
    bool empty_state() const noexcept { return !array_.is_valid() || array_.is_none(); }

  private:
    nb::object array_;
    double* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace korvel::pyglue::np
