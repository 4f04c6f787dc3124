// Number-to-text conversions shared by every block that writes numbers.
#pragma once

#include <Python.h>

#include <string>

namespace korvel::pyglue {

// repr(float): the shortest text that reads back as the same double, with
// ".0" on integral values, exponent form outside 1e-4 <= |v| < 1e16, and
// "nan", "inf", "-inf". Appends to `out`; false with MemoryError set on
// failure.
inline bool append_float_repr(std::string& out, double v) noexcept {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return false;
    try {
        out += text;
    } catch (...) {
        PyMem_Free(text);
        PyErr_NoMemory();
        return false;
    }
    PyMem_Free(text);
    return true;
}

} // namespace korvel::pyglue
