// The only translation unit that sees NumPy's headers; each extension module
// links its own copy, with its own API table, filled by init().
#define PY_ARRAY_UNIQUE_SYMBOL korvel_pyglue_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include "ndarray.hpp"

#include <numpy/arrayobject.h>

#include <utility>

namespace korvel::pyglue::np {

namespace {

int type_num(Dtype t) noexcept {
    switch (t) {
    case Dtype::float64:
        return NPY_FLOAT64;
    case Dtype::int64:
        return NPY_INT64;
    case Dtype::boolean:
        return NPY_BOOL;
    }
    return NPY_FLOAT64;
}

// Every entry makes sure of the API table first, so a module that never
// called init() still works (the test is a pointer comparison).
bool ready() noexcept {
    return PyArray_API != nullptr || _import_array() >= 0;
}

[[noreturn]] void unavailable() {
    throw nb::python_error();
}

} // namespace

bool init() noexcept {
    return ready();
}

bool view(PyObject* o, Dtype t, bool writable, View& v) noexcept {
    if (!ready()) {
        PyErr_Clear();
        return false;
    }
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != type_num(t) || !PyArray_ISALIGNED(a) ||
        !PyArray_ISNOTSWAPPED(a))
        return false;
    // NumPy's own test, which also warns before the first write to the views
    // that ask for it; a refusal is left to the generic path to report.
    if (writable && PyArray_FailUnlessWriteable(a, "array") < 0) {
        PyErr_Clear();
        return false;
    }
    v = View{static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    return true;
}

namespace {
// A C-contiguous float64 array of `nd` dimensions in native byte order.
PyArrayObject* c_f64(PyObject* o, int nd, bool writable) noexcept {
    if (!ready()) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyArray_Check(o)) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != nd || PyArray_TYPE(a) != NPY_FLOAT64 || !PyArray_ISCARRAY_RO(a) ||
        !PyArray_ISNOTSWAPPED(a) || (writable && !PyArray_ISWRITEABLE(a)))
        return nullptr;
    return a;
}
} // namespace

bool f64_view(PyObject* o, double*& data, Py_ssize_t& n, bool writable) noexcept {
    PyArrayObject* a = c_f64(o, 1, writable);
    if (!a) return false;
    data = static_cast<double*>(PyArray_DATA(a));
    n = PyArray_DIM(a, 0);
    return true;
}

bool f64_rows(PyObject* o, double*& data, Py_ssize_t& rows, Py_ssize_t& cols) noexcept {
    PyArrayObject* a = c_f64(o, 2, false);
    if (!a) return false;
    data = static_cast<double*>(PyArray_DATA(a));
    rows = PyArray_DIM(a, 0);
    cols = PyArray_DIM(a, 1);
    return true;
}

bool f64_input(PyObject* o, double*& data, Py_ssize_t& n) noexcept {
    if (!ready()) {
        PyErr_Clear();
        return false;
    }
    return PyArray_CheckExact(o) && f64_view(o, data, n, false);
}

PyObject* zeros(Py_ssize_t n, Dtype t) noexcept {
    if (!ready()) return nullptr;
    npy_intp dims[1] = {n};
    return PyArray_ZEROS(1, dims, type_num(t), 0);
}

PyObject* as_f64(PyObject* o) noexcept {
    if (!ready()) return nullptr;
    return PyArray_FROMANY(o, NPY_FLOAT64, 0, 0, NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSUREARRAY);
}

nb::object array_f64(nb::handle o) {
    if (!ready()) unavailable();
    PyObject* a = PyArray_FROMANY(o.ptr(), NPY_FLOAT64, 0, 0,
                                  NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_ENSURECOPY);
    if (!a) throw nb::python_error();
    return nb::steal(a);
}

namespace {
nb::object new_f64_dims(int nd, npy_intp* dims, double*& data) {
    if (!ready()) unavailable();
    PyObject* a = PyArray_SimpleNew(nd, dims, NPY_FLOAT64);
    if (!a) throw nb::python_error();
    data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    return nb::steal(a);
}
} // namespace

nb::object new_f64(std::size_t n, double*& data) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_f64_dims(1, dims, data);
}

nb::object new_f64(std::size_t rows, std::size_t cols, double*& data) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return new_f64_dims(2, dims, data);
}

nb::object copy_f64(const double* src, std::size_t n) {
    double* d;
    nb::object a = new_f64(n, d);
    for (std::size_t i = 0; i < n; ++i)
        d[i] = src[i];
    return a;
}

nb::object convolve(nb::handle a, nb::handle v) {
    if (!ready()) unavailable();
    auto len = [](nb::handle x) {
        return PyArray_DIM(reinterpret_cast<PyArrayObject*>(x.ptr()), 0);
    };
    if (len(v) > len(a)) std::swap(a, v);
    nb::object step = nb::steal(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr()));
    if (!step.is_valid()) throw nb::python_error();
    nb::object reversed = nb::steal(PyObject_GetItem(v.ptr(), step.ptr()));
    if (!reversed.is_valid()) throw nb::python_error();
    PyObject* out = PyArray_Correlate(a.ptr(), reversed.ptr(), NPY_FULL);
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

nb::object head(nb::handle arr, std::size_t n) {
    PyObject* view = PySequence_GetSlice(arr.ptr(), 0, static_cast<Py_ssize_t>(n));
    if (!view) throw nb::python_error();
    return nb::steal(view);
}

int ndim(PyObject* o) noexcept {
    if (!ready()) {
        PyErr_Clear();
        return 0;
    }
    return PyArray_Check(o) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) : 0;
}

} // namespace korvel::pyglue::np
