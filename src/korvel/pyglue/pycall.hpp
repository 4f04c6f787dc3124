// Construction-time calls into NumPy and SciPy, with Python's own semantics.
// Errors travel as nb::python_error, so callers run these inside guard().
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace korvel::pyglue {

namespace nb = nanobind;

// `from <module> import <name>`, resolved at call time so that a module is
// loaded only when a block first needs it (SciPy is slow to import).
inline nb::object import_attr(const char* module, const char* name) {
    return nb::module_::import_(module).attr(name);
}

// `v0, v1, ... = obj` for exactly n values, with the interpreter's messages.
inline std::vector<nb::object> unpack(nb::handle obj, std::size_t n) {
    nb::object it = nb::steal(PyObject_GetIter(obj.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    std::vector<nb::object> out;
    out.reserve(n);
    while (out.size() < n) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                         out.size());
            throw nb::python_error();
        }
        out.push_back(nb::steal(item));
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

// copy.deepcopy(obj).
inline nb::object deep_copy(nb::handle obj) {
    static PyObject* const fn = nb::object(import_attr("copy", "deepcopy")).release().ptr();
    PyObject* r = PyObject_CallOneArg(fn, obj.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// An independent copy of a tag mapping: dict.copy() when every value is an
// immutable number (what a deep copy would give, at a fraction of its cost),
// a deep copy otherwise.
inline nb::object copy_mapping(nb::handle d) {
    if (PyDict_Check(d.ptr())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        bool plain = true;
        while (plain && PyDict_Next(d.ptr(), &pos, &key, &value))
            plain = PyFloat_CheckExact(value) || PyLong_CheckExact(value);
        if (plain) {
            PyObject* copy = PyDict_Copy(d.ptr());
            if (!copy) throw nb::python_error();
            return nb::steal(copy);
        }
    }
    return deep_copy(d);
}

// np.array(obj, dtype=float): a new float64 array.
inline nb::object float_array(nb::handle obj) {
    return import_attr("numpy", "array")(
        obj, nb::arg("dtype") = nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
}

// A float64 array of what a field of samples or coefficients is given: what
// np.array(value, dtype=float) makes of it, a lone number or None refused
// ("Gz_num must be a sequence of numbers, not NoneType").
inline nb::object field_array(nb::handle value, const char* field) {
    nb::object arr = float_array(value);
    if (nb::cast<int>(arr.attr("ndim")) == 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers, not %.200s", field,
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return arr;
}

// A C-contiguous one-dimensional float64 buffer (an ndarray of dtype float64,
// for instance): its data and length, or false (no error set) for anything
// else. The pointer stays valid while the array lives and is not resized.
inline bool f64_view(nb::handle obj, double*& data, Py_ssize_t& n, bool writable = false) noexcept {
    Py_buffer view;
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj.ptr(), &view, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    const bool ok = view.ndim == 1 && view.itemsize == sizeof(double) && f[0] == 'd' && f[1] == 0;
    if (ok) {
        data = static_cast<double*>(view.buf);
        n = view.shape[0];
    }
    PyBuffer_Release(&view);
    return ok;
}

// numpy.empty(n): a new float64 array and its data.
inline nb::object new_f64(std::size_t n, double*& data) {
    nb::object arr = import_attr("numpy", "empty")(n);
    Py_ssize_t len;
    if (!f64_view(arr, data, len)) throw nb::type_error("numpy.empty did not return float64 data");
    return arr;
}

// A copy of `n` doubles as a new float64 array.
inline nb::object f64_array(const double* src, std::size_t n) {
    double* data;
    nb::object arr = new_f64(n, data);
    for (std::size_t i = 0; i < n; ++i)
        data[i] = src[i];
    return arr;
}

// A filter state assigned by a caller: a float64 copy of `value` with exactly
// `size` items, or lfilter's ValueError for the wrong shape.
inline nb::object state_array(nb::handle value, std::size_t size, double*& data) {
    nb::object arr = float_array(value);
    Py_ssize_t n;
    if (!f64_view(arr, data, n, true) || static_cast<std::size_t>(n) != size) {
        nb::object shape = arr.attr("shape");
        PyErr_Format(PyExc_ValueError, "Unexpected shape for zi: expected (%zu,), found %S.", size,
                     shape.ptr());
        throw nb::python_error();
    }
    return arr;
}

} // namespace korvel::pyglue
