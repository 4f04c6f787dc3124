#include "lanes.hpp"

#include <korvel/bytes.hpp>

#include <string>

#include "errors.hpp"
#include "ndarray.hpp"
#include "number.hpp"

namespace korvel::pyglue {

LaneValues::LaneValues(nb::handle value, std::size_t n, const char* name) {
    if (plain_double(value.ptr(), scalar_)) return;
    array_ = checked(np::as_f64(value.ptr()));
    double* data;
    Py_ssize_t m;
    const int dims = np::ndim(array_.ptr());
    if (dims == 0) {
        // A number NumPy converts (a NumPy scalar, a 0-d array): one value.
        scalar_ = PyFloat_AsDouble(array_.ptr());
        if (scalar_ == -1.0 && PyErr_Occurred()) raise();
        array_ = nb::object();
        return;
    }
    if (dims != 1 || !np::f64_view(array_.ptr(), data, m, false) ||
        (static_cast<std::size_t>(m) != n && m != 1)) {
        nb::object shape = nb::getattr(array_, "shape");
        raise_format(PyExc_ValueError,
                     "%s must be a number or %zu values, not an array of shape %S", name, n,
                     shape.ptr());
    }
    data_ = data;
    stride_ = m == 1 && n != 1 ? 0 : 1;
}

std::size_t lane_count(long long n) {
    if (n < 0) raise_format(PyExc_ValueError, "a bank needs n >= 0 lanes, not %lld", n);
    return static_cast<std::size_t>(n);
}

nb::object lane_array(std::size_t n, double*& data) {
    return np::new_f64(n, data);
}

nb::object lane_array(const std::vector<double>& v) {
    return np::copy_f64(v.data(), v.size());
}

nb::str lane_list(const std::vector<std::uint8_t>& flags) {
    std::string text;
    std::size_t count = 0;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) continue;
        if (++count > 20) {
            text += ", ...";
            break;
        }
        if (!text.empty()) text += ", ";
        text += std::to_string(i);
    }
    return nb::str(((count == 1 ? "lane " : "lanes ") + text).c_str());
}

std::size_t lane_index(nb::handle index, std::size_t n, const char* what) {
    const Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) raise();
    const Py_ssize_t size = static_cast<Py_ssize_t>(n);
    const Py_ssize_t at = i < 0 ? i + size : i;
    if (at < 0 || at >= size) raise_format(PyExc_IndexError, "%s index out of range", what);
    return static_cast<std::size_t>(at);
}

nb::bytes pack_lanes(const std::vector<double>& v) {
    std::string b;
    b.reserve(v.size() * 8);
    for (double x : v)
        append_le64(b, x);
    return nb::bytes(b.data(), b.size());
}

std::vector<double> unpack_lanes(nb::handle b, std::size_t n, const char* what) {
    if (!PyBytes_Check(b.ptr()) || static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())) != n * 8)
        raise_format(PyExc_ValueError, "invalid %s state", what);
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b.ptr()));
    try {
        return read_le64({p, n * 8}, n);
    } catch (const std::invalid_argument&) {
        raise_format(PyExc_ValueError, "invalid %s state", what);
    }
}

} // namespace korvel::pyglue
