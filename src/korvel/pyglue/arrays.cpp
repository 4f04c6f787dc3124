#include "arrays.hpp"

#include "number.hpp"

namespace korvel::pyglue {

std::vector<double> array_items(nb::handle arr) {
    np::View v;
    if (!np::view(arr.ptr(), np::Dtype::float64, false, v))
        raise_format(PyExc_ValueError, "expected a one-dimensional float64 array");
    std::vector<double> out(static_cast<std::size_t>(v.size));
    for (Py_ssize_t i = 0; i < v.size; ++i)
        out[static_cast<std::size_t>(i)] = v.at<double>(i);
    return out;
}

bool plain_doubles(nb::handle obj, std::vector<double>& out) {
    PyObject* o = obj.ptr();
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    PyObject** items = PySequence_Fast_ITEMS(o);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_double(items[i], out[static_cast<std::size_t>(i)])) return false;
    return true;
}

std::vector<double> doubles(nb::handle obj, const char* name) {
    std::vector<double> out;
    if (plain_doubles(obj, out)) return out;
    nb::object arr = float_array(obj);
    if (np::ndim(arr.ptr()) != 1)
        raise_format(PyExc_ValueError, "%s must be one-dimensional", name);
    return array_items(arr);
}

nb::object field_array(nb::handle value, const char* field) {
    nb::object arr = float_array(value);
    if (np::ndim(arr.ptr()) == 0)
        raise_format(PyExc_TypeError, "%s must be a sequence of numbers, not %.200s", field,
                     Py_TYPE(value.ptr())->tp_name);
    return arr;
}

nb::object state_array(nb::handle value, std::size_t size, double*& data) {
    nb::object arr = float_array(value);
    Py_ssize_t n;
    if (!np::f64_view(arr.ptr(), data, n, true) || static_cast<std::size_t>(n) != size) {
        nb::object shape = arr.attr("shape");
        raise_format(PyExc_ValueError, "Unexpected shape for zi: expected (%zu,), found %S.", size,
                     shape.ptr());
    }
    return arr;
}

} // namespace korvel::pyglue
