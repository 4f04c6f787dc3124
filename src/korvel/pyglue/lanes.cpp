#include "lanes.hpp"

#include <korvel/bytes.hpp>

#include <climits>
#include <string>

#include "calls.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ndarray.hpp"
#include "number.hpp"

namespace korvel::pyglue {

LaneValues::LaneValues(nb::handle value, std::size_t n, const char* name) {
    if (plain_double(value.ptr(), scalar_)) return;
    if (value.is_none())
        raise_format(PyExc_TypeError, "%s must be a number or %zu values, not None", name, n);
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

void LaneCounts::convert(nb::handle value) {
    if (PyLong_CheckExact(value.ptr())) return one(value);
    np::View v;
    if (np::view(value.ptr(), np::Dtype::int64, false, v)) {
        held_ = nb::borrow(value);
        return take_view(v);
    }
    static PyObject* const asarray = import_attr("numpy", "asarray").release().ptr();
    nb::object arr = nb::handle(asarray)(value);
    const int dims = np::ndim(arr.ptr());
    if (dims > 1 || (dims == 1 && !broadcasts(PyObject_Length(arr.ptr())))) raise_shape(arr);
    const std::string kind = nb::str(arr.attr("dtype").attr("kind")).c_str();
    if (dims == 1 && PyObject_Length(arr.ptr()) == 0) return; // no lanes, no values
    if (kind == "i" && dims == 1) {
        static PyObject* const int64 = import_attr("numpy", "int64").release().ptr();
        held_ = nb::handle(asarray)(arr, nb::handle(int64));
        if (np::view(held_.ptr(), np::Dtype::int64, false, v)) return take_view(v);
    }
    if (kind != "i" && kind != "u" && kind != "O") {
        if (dims == 0) {
            raise_arg_type(name_, &PyLong_Type, value.ptr());
            raise();
        }
        nb::object dtype = arr.attr("dtype");
        raise_format(PyExc_TypeError, "%s must be an int or %zu ints, not an array of %S", name_,
                     n_, dtype.ptr());
    }
    // Python ints, one by one.
    nb::object items = arr.attr("tolist")();
    if (dims == 0) return one(items);
    take_items(items);
}

std::string LaneCounts::text(std::size_t i) const {
    if (!too_big(i)) return std::to_string((*this)[i]);
    nb::handle item =
        big_scalar_ ? nb::handle(held_) : nb::handle(PyList_GET_ITEM(held_.ptr(), stride_ ? i : 0));
    return nb::str(item).c_str();
}

void LaneCounts::raise_shape(nb::handle arr) const {
    nb::object shape = arr.attr("shape");
    raise_format(PyExc_ValueError, "%s must be an int or %zu ints, not an array of shape %S", name_,
                 n_, shape.ptr());
}

// Exactly an int, for every lane.
void LaneCounts::one(nb::handle item) {
    if (!exact_type(item.ptr(), &PyLong_Type, name_)) raise();
    int overflow = 0;
    scalar_ = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow) {
        scalar_ = overflow > 0 ? LLONG_MAX : LLONG_MIN;
        big_scalar_ = true;
        held_ = nb::borrow(item);
    }
}

void LaneCounts::take_view(const np::View& v) {
    if (!broadcasts(v.size)) raise_shape(held_);
    const std::ptrdiff_t step = v.size == 1 && n_ != 1 ? 0 : 1;
    if (v.stride % static_cast<Py_ssize_t>(sizeof(long long)) == 0) {
        data_ = reinterpret_cast<const long long*>(v.data);
        stride_ = step * (v.stride / static_cast<Py_ssize_t>(sizeof(long long)));
        return;
    }
    own_.resize(static_cast<std::size_t>(v.size));
    for (Py_ssize_t j = 0; j < v.size; ++j)
        own_[static_cast<std::size_t>(j)] = v.at<long long>(j);
    data_ = own_.data();
    stride_ = step;
}

// Python ints, one by one.
void LaneCounts::take_items(nb::handle items) {
    const Py_ssize_t m = PyList_GET_SIZE(items.ptr());
    own_.resize(static_cast<std::size_t>(m));
    big_.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t j = 0; j < m; ++j) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), j);
        if (!exact_type(item, &PyLong_Type, name_)) raise();
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) x = overflow > 0 ? LLONG_MAX : LLONG_MIN;
        own_[static_cast<std::size_t>(j)] = x;
        big_[static_cast<std::size_t>(j)] = overflow != 0;
    }
    held_ = nb::borrow(items);
    data_ = own_.data();
    stride_ = m == 1 && n_ != 1 ? 0 : 1;
}

std::size_t lane_count(const Args& a, std::size_t i) {
    long long n;
    if (!a.longlong(i, n)) raise();
    if (n < 0) raise_format(PyExc_ValueError, "a bank needs n >= 0 lanes, not %lld", n);
    return static_cast<std::size_t>(n);
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

void LaneErrors::add(std::size_t i, PyObject* type, const std::string& message) {
    if (!type_.is_valid()) {
        type_ = nb::borrow(type);
        message_ = message;
    } else if (type != type_.ptr() || message != message_) {
        return;
    }
    same_[i] = 1;
}

void LaneErrors::add(std::size_t i) {
    set_error_from_current();
    nb::object e = nb::steal(PyErr_GetRaisedException());
    add(i, reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), nb::str(e).c_str());
}

void LaneErrors::raise_if_any() const {
    if (!any()) return;
    nb::str lanes = lane_list(same_);
    raise_format(type_.ptr(), "%s (%U)", message_.c_str(), lanes.ptr());
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

void refuse_lane(nb::handle value, const char* bank, const char* block) {
    raise_format(PyExc_TypeError, "a lane of a %s takes a %s, not %.200s", bank, block,
                 type_name(value.ptr()));
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

nb::bytes pack_flags(const std::vector<std::uint8_t>& flags) {
    return nb::bytes(reinterpret_cast<const char*>(flags.data()), flags.size());
}

std::vector<std::uint8_t> unpack_flags(nb::handle b, std::size_t n, const char* what) {
    if (!PyBytes_Check(b.ptr()) || static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())) != n)
        raise_format(PyExc_ValueError, "invalid %s state", what);
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b.ptr()));
    std::vector<std::uint8_t> flags(n);
    for (std::size_t i = 0; i < n; ++i)
        flags[i] = p[i] != 0;
    return flags;
}

} // namespace korvel::pyglue
