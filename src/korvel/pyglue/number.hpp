// Hot-path reads of fields and arguments that callers may set to any Python
// object. Each test returns false, without setting an error, when `o` is not
// one of the plain cases it handles; the caller then takes its generic path,
// which repeats Python's own arithmetic on the objects.
#pragma once

#include <Python.h>

#include <cmath>

namespace korvel::pyglue {

// An exact int (a bool is not one) within the range of long long.
inline bool exact_i64(PyObject* o, long long& out) noexcept {
    if (!PyLong_CheckExact(o)) return false;
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) {
        out = static_cast<long long>(PyUnstable_Long_CompactValue(l));
        return true;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0;
}

// float(o) of an exact float, or of an exact int within a double's range
// (rounded as float() rounds it); an int beyond that is not plain (no error
// is left set).
inline bool plain_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    out = PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A value whose Python arithmetic equals double arithmetic on its value: an
// exact float, or an exact int of magnitude at most 2**52 (so that sums and
// differences of two such ints stay exact as doubles).
inline bool exact_real(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    long long i;
    constexpr long long bound = 1LL << 52;
    if (exact_i64(o, i) && i <= bound && i >= -bound) {
        out = static_cast<double>(i);
        return true;
    }
    return false;
}

// int(x) of a double known to lie strictly inside (-2**63, 2**63), as
// Python truncates toward zero.
inline bool truncate_i64(double x, long long& out) noexcept {
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return false;
    out = static_cast<long long>(x);
    return true;
}

} // namespace korvel::pyglue
