// Python's mapping protocol and instance state as a compiled function meets
// them: exact dicts read directly, any other mapping through its methods.
// Errors travel as nb::python_error, so callers run these inside guard().
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

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

// d[key] = float(v) for a dict d. A float only d holds is set in
// place: nothing else can see it, and a step that rewrites its outputs then
// allocates nothing. Returns -1 with a Python error set.
int store_float(PyObject* d, PyObject* key, double v) noexcept;

// slot = float(v), set in place under the same rule.
void assign_float(nb::object& slot, double v);

// The instance dict of a Python subclass (None for a class without one, or
// an empty one), so pickling keeps what a subclass stored, and its
// restoration.
nb::object inst_dict(PyObject* self);
void restore_dict(PyObject* self, nb::handle d);

// A state given to __setstate__: a tuple of exactly n items, or ValueError.
nb::tuple state_tuple(nb::handle st, std::size_t n);

// A tuple of floats, as states hold numbers.
nb::tuple float_tuple(const std::vector<double>& v);

} // namespace korvel::pyglue
