// Direct access to one-dimensional NumPy arrays on hot paths.
//
// Asking an array for a buffer costs several times the arithmetic of a small
// block, so hot calls read the array header instead. That header is part of
// NumPy's binary interface (unchanged since NumPy 1.x); init() checks it once
// against the buffer protocol, and should it ever disagree view() always
// fails, leaving callers on their generic path. Anything view() refuses
// (another type, another dtype, more dimensions, a read-only array) takes the
// generic path too, so NumPy's own rules and messages apply there.
#pragma once

#include <Python.h>

namespace korvel::pyglue::np {

enum class Dtype : int { float64 = 0, int64 = 1, boolean = 2 };

struct View {
    char* data;
    Py_ssize_t size;
    Py_ssize_t stride; // in bytes

    template <class T> T& at(Py_ssize_t i) const noexcept {
        return *reinterpret_cast<T*>(data + i * stride);
    }
};

namespace detail {

// The leading fields of NumPy's array object.
struct Header {
    PyObject ob_base;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr unsigned flag_aligned = 0x0100, flag_writeable = 0x0400;
constexpr unsigned flag_warn_on_write = 1u << 31; // views that warn before the first write

constexpr int n_dtypes = 3, n_equal = 4;

struct State {
    PyObject* numpy = nullptr;
    PyTypeObject* ndarray = nullptr;
    PyObject* zeros = nullptr;
    PyObject* descr[n_dtypes] = {};
    // Dtype objects other than the canonical one found equal to it (arrays
    // restored by pickle carry their own), kept alive so pointers stay valid.
    PyObject* equal[n_dtypes][n_equal] = {};
    int next[n_dtypes] = {};
    bool layout = false;
};

inline State state;

inline bool equal_dtype(PyObject* descr, Dtype t) noexcept {
    const int k = static_cast<int>(t);
    for (PyObject* d : state.equal[k])
        if (d == descr) return true;
    const int eq = PyObject_RichCompareBool(descr, state.descr[k], Py_EQ);
    if (eq < 0) PyErr_Clear();
    if (eq != 1) return false;
    PyObject*& slot = state.equal[k][state.next[k]];
    state.next[k] = (state.next[k] + 1) % n_equal;
    Py_INCREF(descr);
    Py_XSETREF(slot, descr);
    return true;
}

// Compares the header of a strided float64 array with what the buffer
// protocol reports for it.
inline bool check_layout(PyObject* arr) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(arr, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    const auto* h = reinterpret_cast<const Header*>(arr);
    const bool ok = Py_TYPE(arr) == state.ndarray && view.ndim == 1 && h->nd == 1 &&
                    h->data == view.buf && h->dimensions[0] == view.shape[0] &&
                    h->strides[0] == view.strides[0] && h->descr == state.descr[0] &&
                    (static_cast<unsigned>(h->flags) & flag_aligned) != 0;
    PyBuffer_Release(&view);
    return ok;
}

} // namespace detail

// Imports NumPy (once per module); false with the import error set.
inline bool init() noexcept {
    auto& s = detail::state;
    if (s.numpy) return true;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return false;
    PyObject* ndarray = PyObject_GetAttrString(numpy, "ndarray");
    PyObject* zeros = ndarray ? PyObject_GetAttrString(numpy, "zeros") : nullptr;
    PyObject* dtype = zeros ? PyObject_GetAttrString(numpy, "dtype") : nullptr;
    const char* names[detail::n_dtypes] = {"float64", "int64", "bool"};
    bool ok = dtype != nullptr;
    for (int k = 0; ok && k < detail::n_dtypes; ++k) {
        s.descr[k] = PyObject_CallFunction(dtype, "s", names[k]);
        ok = s.descr[k] != nullptr;
    }
    Py_XDECREF(dtype);
    if (!ok) {
        Py_XDECREF(zeros);
        Py_XDECREF(ndarray);
        Py_DECREF(numpy);
        return false;
    }
    s.numpy = numpy;
    s.ndarray = reinterpret_cast<PyTypeObject*>(ndarray);
    s.zeros = zeros;
    // Every other element of a fresh array: a view with its own stride.
    PyObject* arr = PyObject_CallFunction(zeros, "n", Py_ssize_t{5});
    PyObject* two = arr ? PyLong_FromLong(2) : nullptr;
    PyObject* step = two ? PySlice_New(nullptr, nullptr, two) : nullptr;
    PyObject* strided = step ? PyObject_GetItem(arr, step) : nullptr;
    s.layout = strided && detail::check_layout(strided);
    if (!strided) PyErr_Clear();
    Py_XDECREF(strided);
    Py_XDECREF(step);
    Py_XDECREF(two);
    Py_XDECREF(arr);
    return true;
}

// A view of `o` when it is exactly a one-dimensional, aligned NumPy array of
// dtype `t` (writable when `write`); false without an error otherwise.
inline bool view(PyObject* o, Dtype t, bool write, View& v) noexcept {
    const auto& s = detail::state;
    if (Py_TYPE(o) != s.ndarray || !s.layout) return false;
    const auto* h = reinterpret_cast<const detail::Header*>(o);
    const unsigned flags = static_cast<unsigned>(h->flags);
    const unsigned need = detail::flag_aligned | (write ? detail::flag_writeable : 0u);
    if (h->nd != 1 || (flags & need) != need || (write && (flags & detail::flag_warn_on_write)))
        return false;
    if (h->descr != s.descr[static_cast<int>(t)] && !detail::equal_dtype(h->descr, t)) return false;
    v = View{h->data, h->dimensions[0], h->strides[0]};
    return true;
}

// numpy.zeros(n, dtype): a new reference, or nullptr with the error set.
inline PyObject* zeros(Py_ssize_t n, Dtype t) noexcept {
    const auto& s = detail::state;
    return PyObject_CallFunction(s.zeros, "nO", n, s.descr[static_cast<int>(t)]);
}

// The canonical dtype object (borrowed).
inline PyObject* dtype(Dtype t) noexcept {
    return detail::state.descr[static_cast<int>(t)];
}

// The numpy module (borrowed), after init().
inline PyObject* module() noexcept {
    return detail::state.numpy;
}

} // namespace korvel::pyglue::np
