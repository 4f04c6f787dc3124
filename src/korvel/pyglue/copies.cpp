#include "copies.hpp"

#include "calls.hpp"

namespace korvel::pyglue {

namespace {

// Atoms copy.deepcopy returns as they are.
bool atom(PyObject* o) noexcept {
    return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) ||
           o == Py_None || PyBool_Check(o);
}

} // namespace

nb::object deep_copy(nb::handle obj) {
    static PyObject* const fn = nb::object(import_attr("copy", "deepcopy")).release().ptr();
    return checked(PyObject_CallOneArg(fn, obj.ptr()));
}

nb::object copy_mapping(nb::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        bool numbers = true;
        while (numbers && PyDict_Next(d.ptr(), &pos, &key, &value))
            numbers = (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) && atom(key);
        if (numbers) return checked(PyDict_Copy(d.ptr()));
    }
    return deep_copy(d);
}

} // namespace korvel::pyglue
