#include "pickling.hpp"

namespace korvel::pyglue {

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
