// Conversions and checks shared by every binding. Each returns false (or
// nullptr) with a Python exception set, and never touches block state, so a
// binding converts all its arguments before it changes anything.
#pragma once

#include <Python.h>

namespace korvel::pyglue {

// A real number as a double: float, int of any size, NumPy scalars, objects
// with __float__ or __index__. Anything else is a TypeError.
inline bool to_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) { // no temporary float object
        out = PyLong_AsDouble(o);
        return !(out == -1.0 && PyErr_Occurred());
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

// As to_double, with `fallback` for a parameter left to its default.
inline bool to_double(PyObject* o, double& out, double fallback) noexcept {
    if (!o) {
        out = fallback;
        return true;
    }
    return to_double(o, out);
}

// "Argument 'x' has incorrect type (expected int, got bool)": exactly `type`,
// no subclass (a bool is not an int).
bool raise_arg_type(const char* arg, PyTypeObject* expected, PyObject* got) noexcept;

inline bool exact_type(PyObject* o, PyTypeObject* type, const char* arg) noexcept {
    return Py_IS_TYPE(o, type) || raise_arg_type(arg, type, o);
}

// An exactly-int argument as a C long long (OverflowError past its range).
bool exact_int(PyObject* o, const char* arg, long long& out) noexcept;

// Writes `text` and a line break through sys.stdout, so redirections see it.
bool print_line(const char* text) noexcept;
bool print_line(PyObject* text) noexcept;

// AttributeError for a field that does not exist yet, worded as Python words
// it: "'PID' object has no attribute '_et1'", with "(<note>)" after it
// when a note is given.
PyObject* missing_attribute(PyObject* self, const char* field, const char* note = nullptr) noexcept;

// A float result, as Python float.
inline PyObject* to_py(double v) noexcept {
    return PyFloat_FromDouble(v);
}

// Type name as the messages show it (tp_name).
inline const char* type_name(PyObject* o) noexcept {
    return Py_TYPE(o)->tp_name;
}

} // namespace korvel::pyglue
