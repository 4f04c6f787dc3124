#include "dicts.hpp"

#include "errors.hpp"

namespace korvel::pyglue {

PyObject* interned(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise();
    return o;
}

nb::object get_or(nb::object m, nb::handle key, PyObject* dflt) {
    if (PyDict_CheckExact(m.ptr())) {
        PyObject* v = dict_get(m.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise();
        return nb::borrow(dflt);
    }
    static PyObject* const get = interned("get");
    return checked(PyObject_CallMethodObjArgs(m.ptr(), get, key.ptr(), dflt, nullptr));
}

nb::object item(nb::object m, PyObject* key) {
    return checked(PyObject_GetItem(m.ptr(), key));
}

nb::list keys_of(nb::object m) {
    if (PyDict_CheckExact(m.ptr())) return nb::borrow<nb::list>(checked(PyDict_Keys(m.ptr())));
    static PyObject* const keys = interned("keys");
    nb::object k = checked(PyObject_CallMethodNoArgs(m.ptr(), keys));
    return nb::borrow<nb::list>(checked(PySequence_List(k.ptr())));
}

nb::object items_of(nb::object m) {
    static PyObject* const items = interned("items");
    nb::object it = checked(PyObject_CallMethodNoArgs(m.ptr(), items));
    return checked(PySequence_Fast(it.ptr(), "items() must return an iterable"));
}

PyObject* dict_get(PyObject* d, PyObject* key) noexcept {
    if (PyDict_CheckExact(d) && PyDict_GET_SIZE(d) <= 8) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d, &pos, &k, &v))
            if (k == key) return v;
    }
    return PyDict_GetItemWithError(d, key);
}

int store_float(PyObject* d, PyObject* key, double v) noexcept {
    PyObject* f = PyFloat_FromDouble(v);
    const int rc = f ? PyDict_SetItem(d, key, f) : -1;
    Py_XDECREF(f);
    return rc;
}

} // namespace korvel::pyglue
