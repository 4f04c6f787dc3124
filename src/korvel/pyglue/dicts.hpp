// Python's mapping protocol as a compiled function meets it: exact dicts
// read directly, any other mapping through its methods. Errors travel as
// nb::python_error, so callers run these inside guard().
#pragma once

#include <nanobind/nanobind.h>

namespace korvel::pyglue {

namespace nb = nanobind;

// An interned str, kept for the life of the process.
PyObject* interned(const char* s);

// mapping.get(key, dflt), mapping[key], list(mapping.keys()) and
// list(mapping.items()). Each holds the mapping while Python code it runs may
// replace the field it came from.
nb::object get_or(nb::object m, nb::handle key, PyObject* dflt);
nb::object item(nb::object m, PyObject* key);
nb::list keys_of(nb::object m);
nb::object items_of(nb::object m);

// d.get(key) for a dict d, borrowed; null when absent, with a Python error
// set when the lookup failed. Tags mostly come back as the very strings a
// model dictionary gave, so a small exact dict is first scanned by identity,
// which is cheaper than hashing and finds what the lookup would.
PyObject* dict_get(PyObject* d, PyObject* key) noexcept;

// d[key] = float(v) for a dict d: a new float each time (a float object is
// never changed in place). Returns -1 with a Python error set.
int store_float(PyObject* d, PyObject* key, double v) noexcept;

} // namespace korvel::pyglue
