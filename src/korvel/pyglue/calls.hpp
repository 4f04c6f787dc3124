// Python's own operations as a compiled function performs them: imports
// resolved when first needed, `a, b = obj` unpacking with its messages,
// truth values and equality. Each may run Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "errors.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// `from <module> import <name>`, resolved at call time so that a module is
// loaded only when a block first needs it (SciPy is slow to import).
inline nb::object import_attr(const char* module, const char* name) {
    return nb::module_::import_(module).attr(name);
}

// `v0, v1, ... = obj` for exactly n values, with the interpreter's messages.
std::vector<nb::object> unpack(nb::handle obj, std::size_t n);

inline bool truth(nb::handle o) {
    const int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise();
    return t != 0;
}

inline bool equal(nb::handle a, nb::handle b) {
    const int t = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (t < 0) raise();
    return t != 0;
}

} // namespace korvel::pyglue
