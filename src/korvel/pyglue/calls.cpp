#include "calls.hpp"

namespace korvel::pyglue {

std::vector<nb::object> unpack(nb::handle obj, std::size_t n) {
    nb::object it = checked(PyObject_GetIter(obj.ptr()));
    std::vector<nb::object> out;
    out.reserve(n);
    while (out.size() < n) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                         out.size());
        }
        out.push_back(nb::steal(item));
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) raise();
    return out;
}

} // namespace korvel::pyglue
