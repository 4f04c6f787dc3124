#include "history.hpp"

#include <korvel/bytes.hpp>

#include <string>

#include "arrays.hpp"
#include "calls.hpp"
#include "convert.hpp"
#include "copies.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "scipy.hpp"

namespace korvel::pyglue {

bool capacity_of(long long len, long long extra, std::size_t& out) noexcept {
    if (len < -extra) {
        PyErr_SetString(PyExc_ValueError, "maxlen must be non-negative");
        return false;
    }
    const unsigned long long cap = static_cast<unsigned long long>(len) + extra;
    if (cap > static_cast<unsigned long long>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        return false;
    }
    out = static_cast<std::size_t>(cap);
    return true;
}

nb::object snapshot(const Ring<double>& r, std::size_t maxlen) {
    static PyObject* const deque = import_attr("collections", "deque").release().ptr();
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(r.size())));
    for (std::size_t i = 0; i < r.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                        checked(PyFloat_FromDouble(r[i])).release().ptr());
    return nb::handle(deque)(list, maxlen);
}

nb::bytes pack(const Ring<double>& r) {
    std::string b;
    b.reserve(r.size() * 8);
    for (std::size_t i = 0; i < r.size(); ++i)
        append_le64(b, r[i]);
    return nb::bytes(b.data(), b.size());
}

std::vector<double> unpack(const nb::bytes& b, std::size_t capacity) {
    const auto* p = static_cast<const unsigned char*>(b.data());
    try {
        return read_le64({p, b.size()}, capacity);
    } catch (const std::invalid_argument& e) {
        throw nb::value_error(e.what());
    }
}

} // namespace korvel::pyglue
