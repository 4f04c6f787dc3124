#include "convert.hpp"

namespace korvel::pyglue {

bool raise_arg_type(const char* arg, PyTypeObject* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected->tp_name, Py_TYPE(got)->tp_name);
    return false;
}

bool exact_int(PyObject* o, const char* arg, long long& out) noexcept {
    if (!exact_type(o, &PyLong_Type, arg)) return false;
    out = PyLong_AsLongLong(o);
    return !(out == -1 && PyErr_Occurred());
}

bool print_line(PyObject* text) noexcept {
    // Held: the first write may run Python that rebinds sys.stdout and
    // drops the last other reference to the stream.
    PyObject* out = PySys_GetObject("stdout");
    if (!out || out == Py_None) return true; // no stdout: the line has nowhere to go
    Py_INCREF(out);
    const bool ok =
        PyFile_WriteObject(text, out, Py_PRINT_RAW) == 0 && PyFile_WriteString("\n", out) == 0;
    Py_DECREF(out);
    return ok;
}

bool print_line(const char* text) noexcept {
    PyObject* s = PyUnicode_FromString(text);
    if (!s) return false;
    const bool ok = print_line(s);
    Py_DECREF(s);
    return ok;
}

PyObject* missing_attribute(PyObject* self, const char* field, const char* note) noexcept {
    PyObject* name = PyType_GetName(Py_TYPE(self));
    if (!name) return nullptr;
    if (note)
        PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%s' (%s)", name, field,
                     note);
    else
        PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%s'", name, field);
    Py_DECREF(name);
    return nullptr;
}

} // namespace korvel::pyglue
