#include "mapping.hpp"

#include "glue.hpp"

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

namespace {

// Sets v into `held` when it is a float that only its one holder references.
bool set_in_place(PyObject* held, double v) noexcept {
    if (!PyFloat_CheckExact(held) || Py_REFCNT(held) != 1) return false;
    reinterpret_cast<PyFloatObject*>(held)->ob_fval = v;
    return true;
}

} // namespace

int store_float(PyObject* d, PyObject* key, double v) noexcept {
    if (PyDict_CheckExact(d)) {
        PyObject* held = dict_get(d, key);
        if (held && set_in_place(held, v)) return 0;
        if (!held && PyErr_Occurred()) return -1;
    }
    PyObject* f = PyFloat_FromDouble(v);
    const int rc = f ? PyDict_SetItem(d, key, f) : -1;
    Py_XDECREF(f);
    return rc;
}

void assign_float(nb::object& slot, double v) {
    if (!slot.ptr() || !set_in_place(slot.ptr(), v)) slot = checked(PyFloat_FromDouble(v));
}

nb::object inst_dict(PyObject* self) {
    static PyObject* const dict = interned("__dict__");
    PyObject* d = nullptr;
    if (PyObject_GetOptionalAttr(self, dict, &d) < 0) raise();
    nb::object owned = nb::steal(d);
    if (!d || !PyDict_Check(d) || PyDict_GET_SIZE(d) == 0) return nb::none();
    return owned;
}

void restore_dict(PyObject* self, nb::handle d) {
    if (d.is_none()) return;
    static PyObject* const dict = interned("__dict__");
    nb::object own = checked(PyObject_GetAttr(self, dict));
    if (PyDict_Update(own.ptr(), d.ptr()) < 0) raise();
}

nb::tuple state_tuple(nb::handle st, std::size_t n) {
    if (!PyTuple_Check(st.ptr()) || static_cast<std::size_t>(PyTuple_GET_SIZE(st.ptr())) != n)
        raise_format(PyExc_ValueError, "invalid state");
    return nb::borrow<nb::tuple>(st);
}

nb::tuple float_tuple(const std::vector<double>& v) {
    nb::object t = checked(PyTuple_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i),
                         checked(PyFloat_FromDouble(v[i])).release().ptr());
    return nb::borrow<nb::tuple>(t);
}

} // namespace korvel::pyglue
