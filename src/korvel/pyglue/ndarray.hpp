// One-dimensional NumPy arrays (and a bank's samples x lanes) through NumPy's
// own C API: views of arrays callers hand in, new float64 arrays, and state
// arrays shared copy-on-write.
//
// A view is taken only of exactly an ndarray (not a subclass, whose item
// access may be its own), one-dimensional, aligned, in native byte order and
// of the wanted dtype, writable when asked; anything else is refused without
// an error, so callers fall back to their generic path and NumPy's own rules
// and messages apply there.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <korvel/assert.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// The same of a two-dimensional array in C order: rows x cols doubles.
bool f64_rows(PyObject* o, double*& data, Py_ssize_t& rows, Py_ssize_t& cols) noexcept;

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
// The same of rows x cols items, in C order.
nb::object new_f64(std::size_t rows, std::size_t cols, double*& data);

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

// A filter state that callers see as an array field (`_zi`), as lfilter
// leaves it: every step makes the state a new array, so an array a caller
// holds keeps the values it had, and a write into the array that is the field
// now takes effect at the next step. The state lives in a buffer of its own;
// the array is made only when the field is read, and the next step reads
// back from it and lets it go. So no step allocates unless the field was
// read since the one before, and nothing depends on who else holds the array.
// A state may also be None (a filter not started yet).
class LiveState {
  public:
    LiveState() = default;

    // A state holding `values`.
    static LiveState of(const double* values, std::size_t n) {
        LiveState s;
        s.buf_.assign(values, values + n);
        s.none_ = false;
        return s;
    }
    // The state None.
    static LiveState none() { return LiveState(); }
    // A state a caller assigned: `array` (a float64 array of n items at
    // `data`, made for this state) is the field's value from now on.
    static LiveState adopt(nb::object array, const double* data, std::size_t n) {
        LiveState s = of(data, n);
        s.array_ = std::move(array);
        return s;
    }

    bool empty_state() const noexcept { return none_; }
    std::size_t size() const noexcept { return buf_.size(); }

    // The values as they are now (what a caller wrote into the field's
    // array included). Requires a state that is not None.
    const double* data() const {
        KORVEL_ASSERT(!none_);
        return array_.is_valid() ? read_back() : buf_.data();
    }

    // The state for a step, which makes the field a new array: catches up
    // with writes into the array read last and lets it go.
    double* mut() {
        KORVEL_ASSERT(!none_);
        if (array_.is_valid()) {
            const double* now = read_back();
            std::copy(now, now + buf_.size(), buf_.begin());
            array_ = nb::object(); // a plain array of ours: releasing it runs no code
        }
        return buf_.data();
    }

    // The field's value: the array of the state (made now unless it already
    // was since the last step), or None.
    nb::object array() {
        if (none_) return nb::none();
        if (!array_.is_valid()) {
            double* d;
            nb::object a = new_f64(buf_.size(), d);
            std::copy(buf_.begin(), buf_.end(), d);
            array_ = std::move(a);
        }
        return array_;
    }
    // The array made for the field, if any (what the collector sees).
    const nb::object& held() const noexcept { return array_; }

  private:
    // The data of the field's array, which a caller may have reshaped.
    const double* read_back() const {
        double* d;
        Py_ssize_t n;
        if (!f64_view(array_.ptr(), d, n, false) || static_cast<std::size_t>(n) != buf_.size())
            throw nb::value_error("the filter state array _zi no longer has its shape");
        return d;
    }

    std::vector<double> buf_;
    nb::object array_; // the field's array since the last step; null when none was made
    bool none_ = true;
};

} // namespace korvel::pyglue::np
