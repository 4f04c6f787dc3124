// Python objects as the values of the core's generic rules. A rule written
// once over its value type runs on long long or double in C++ and on PyValue
// in a binding, where its arithmetic and comparisons are Python's operators on
// whatever objects the fields hold, failing with Python's errors (thrown). So
// a block whose fields keep any object behaves as its steps written in Python
// would, NumPy's scalars and ints of any size included.
//
// Every operation may run Python code; a PyValue owns its object, so what a
// rule holds survives it.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <utility>

#include "calls.hpp"
#include "errors.hpp"
#include "number.hpp"

namespace korvel::pyglue {

class PyValue {
  public:
    PyValue() = default;
    PyValue(nb::object o) noexcept : o_(std::move(o)) {}
    // A rule's integer constant (0, 1, 2 ...) is a Python int, as in Python
    // source.
    template <std::signed_integral I>
    PyValue(I v) : o_(checked(PyLong_FromLongLong(static_cast<long long>(v)))) {}
    // A rule's float constant (0.0) is a Python float.
    template <std::floating_point F>
    explicit PyValue(F v) : o_(checked(PyFloat_FromDouble(static_cast<double>(v)))) {}

    PyObject* ptr() const noexcept { return o_.ptr(); }
    const nb::object& object() const& noexcept { return o_; }
    nb::object object() && noexcept { return std::move(o_); }

    explicit operator bool() const { return truth(o_); }

    friend PyValue operator+(const PyValue& a, const PyValue& b) {
        return checked(PyNumber_Add(a.ptr(), b.ptr()));
    }
    friend PyValue operator-(const PyValue& a, const PyValue& b) {
        return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
    }
    friend PyValue operator*(const PyValue& a, const PyValue& b) {
        return checked(PyNumber_Multiply(a.ptr(), b.ptr()));
    }
    friend PyValue operator-(const PyValue& a) { return checked(PyNumber_Negative(a.ptr())); }

    friend bool operator==(const PyValue& a, const PyValue& b) { return compare(a, b, Py_EQ); }
    friend bool operator!=(const PyValue& a, const PyValue& b) { return compare(a, b, Py_NE); }
    friend bool operator<(const PyValue& a, const PyValue& b) { return compare(a, b, Py_LT); }
    friend bool operator>(const PyValue& a, const PyValue& b) { return compare(a, b, Py_GT); }
    friend bool operator<=(const PyValue& a, const PyValue& b) { return compare(a, b, Py_LE); }
    friend bool operator>=(const PyValue& a, const PyValue& b) { return compare(a, b, Py_GE); }

    // Against a C++ integer no int object is made when the value is an exact
    // int: the comparison Python would make, done natively.
    template <std::signed_integral I> friend bool operator==(const PyValue& a, I b) {
        return compare(a, static_cast<long long>(b), Py_EQ);
    }
    template <std::signed_integral I> friend bool operator<(const PyValue& a, I b) {
        return compare(a, static_cast<long long>(b), Py_LT);
    }
    template <std::signed_integral I> friend bool operator>(const PyValue& a, I b) {
        return compare(a, static_cast<long long>(b), Py_GT);
    }

  private:
    static bool native(long long x, long long y, int op) noexcept {
        switch (op) {
        case Py_EQ:
            return x == y;
        case Py_NE:
            return x != y;
        case Py_LT:
            return x < y;
        case Py_GT:
            return x > y;
        case Py_LE:
            return x <= y;
        default:
            return x >= y;
        }
    }
    static bool compare(const PyValue& a, const PyValue& b, int op) {
        long long x, y;
        if (exact_i64(a.ptr(), x) && exact_i64(b.ptr(), y)) return native(x, y, op);
        const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
        if (r < 0) raise();
        return r != 0;
    }
    static bool compare(const PyValue& a, long long y, int op) {
        long long x;
        if (exact_i64(a.ptr(), x)) return native(x, y, op);
        return compare(a, PyValue(y), op);
    }

    nb::object o_;
};

// a // b and a % b: floored, on ints of any size.
inline PyValue floor_div(const PyValue& a, const PyValue& b) {
    return checked(PyNumber_FloorDivide(a.ptr(), b.ptr()));
}
inline PyValue floor_mod(const PyValue& a, const PyValue& b) {
    return checked(PyNumber_Remainder(a.ptr(), b.ptr()));
}
// int(x).
inline PyValue to_int(const PyValue& x) {
    return checked(PyNumber_Long(x.ptr()));
}

// A sequence read with Python's item access (NumPy's indexing, for an
// array), held while the rule reads it.
class PyItems {
  public:
    explicit PyItems(nb::object seq) noexcept : seq_(std::move(seq)) {}

    PyValue size() const {
        const Py_ssize_t n = PyObject_Size(seq_.ptr());
        if (n < 0) raise();
        return PyValue(n);
    }
    PyValue operator[](const PyValue& i) const {
        return checked(PyObject_GetItem(seq_.ptr(), i.ptr()));
    }

  private:
    nb::object seq_;
};

} // namespace korvel::pyglue
