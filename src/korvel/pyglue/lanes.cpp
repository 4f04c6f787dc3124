#include "lanes.hpp"

#include <korvel/bytes.hpp>

#include <string>

#include "errors.hpp"
#include "ndarray.hpp"
#include "number.hpp"

namespace korvel::pyglue {

std::size_t lane_count(const Args& a, std::size_t i) {
    long long n;
    if (!a.longlong(i, n)) raise();
    if (n < 0) raise_format(PyExc_ValueError, "a bank needs n >= 0 lanes, not %lld", n);
    return static_cast<std::size_t>(n);
}

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

OptionalLaneValues::OptionalLaneValues(nb::handle value, std::size_t n, const char* name) {
    if (value.is_none()) return;
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        // A None item stands for its lane alone; the others convert as given.
        nb::object items = checked(PySequence_List(value.ptr()));
        const Py_ssize_t m = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t k = 0; k < m; ++k)
            if (PyList_GET_ITEM(items.ptr(), k) == Py_None) {
                if (none_.empty()) none_.assign(static_cast<std::size_t>(m), 0);
                none_[static_cast<std::size_t>(k)] = 1;
                PyList_SetItem(items.ptr(), k, PyFloat_FromDouble(0.0));
            }
        if (!none_.empty()) {
            values_.emplace(items, n, name);
            if (none_.size() == 1) none_.assign(n, none_[0]); // one None for every lane
            return;
        }
    }
    values_.emplace(value, n, name);
}

void LaneErrors::add(std::size_t i) {
    set_error_from_current();
    nb::object e = nb::steal(PyErr_GetRaisedException());
    if (!first_.is_valid()) {
        first_ = e;
    } else if (Py_TYPE(e.ptr()) != Py_TYPE(first_.ptr()) || !nb::str(e).equal(nb::str(first_))) {
        return;
    }
    same_[i] = 1;
}

void LaneErrors::raise_if_any() {
    if (!first_.is_valid()) return;
    nb::str lanes = lane_list(same_);
    nb::str text = nb::str(first_);
    raise_format(reinterpret_cast<PyObject*>(Py_TYPE(first_.ptr())), "%U (%U)", text.ptr(),
                 lanes.ptr());
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

Py_ssize_t index_value(nb::handle index) {
    const Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) raise();
    return i;
}

std::size_t lane_index(Py_ssize_t i, std::size_t n, const char* what) {
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
