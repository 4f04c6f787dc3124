#include "pycall.hpp"

#include <unordered_map>

#include "number.hpp"

namespace korvel::pyglue {

std::vector<nb::object> unpack(nb::handle obj, std::size_t n) {
    nb::object it = checked(PyObject_GetIter(obj.ptr()));
    std::vector<nb::object> out;
    out.reserve(n);
    while (out.size() < n) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                         out.size());
        }
        out.push_back(nb::steal(item));
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) raise();
    return out;
}

namespace {

// Atoms copy.deepcopy returns as they are.
bool atom(PyObject* o) noexcept {
    return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) ||
           o == Py_None || PyBool_Check(o);
}

// Whether `o` is plain data all the way down (bounded depth; deeper data goes
// to copy.deepcopy, which knows the recursion limit).
bool plain(PyObject* o, int depth) noexcept {
    if (atom(o)) return true;
    if (depth > 50) return false;
    if (PyDict_CheckExact(o)) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(o, &pos, &k, &v))
            if (!plain(k, depth + 1) || !plain(v, depth + 1)) return false;
        return true;
    }
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
            if (!plain(PyList_GET_ITEM(o, i), depth + 1)) return false;
        return true;
    }
    if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
            if (!plain(PyTuple_GET_ITEM(o, i), depth + 1)) return false;
        return true;
    }
    return false;
}

// What copy.deepcopy does on plain data: containers copied once each (the
// memo keeps shared and self-containing parts as they are), atoms kept, a
// tuple whose items all stay the same kept too.
class PlainCopy {
  public:
    nb::object copy(PyObject* o) {
        if (atom(o)) return nb::borrow(o);
        if (auto it = memo_.find(o); it != memo_.end()) return nb::borrow(it->second.ptr());
        if (PyDict_CheckExact(o)) {
            nb::object d = checked(PyDict_New());
            memo_.emplace(o, d);
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(o, &pos, &k, &v)) {
                nb::object kc = copy(k), vc = copy(v);
                if (PyDict_SetItem(d.ptr(), kc.ptr(), vc.ptr()) < 0) raise();
            }
            return d;
        }
        if (PyList_CheckExact(o)) {
            nb::object l = checked(PyList_New(0));
            memo_.emplace(o, l);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
                nb::object item = copy(PyList_GET_ITEM(o, i));
                if (PyList_Append(l.ptr(), item.ptr()) < 0) raise();
            }
            return l;
        }
        // A tuple (plain() let nothing else through).
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        std::vector<nb::object> items;
        bool same = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            items.push_back(copy(PyTuple_GET_ITEM(o, i)));
            same = same && items.back().ptr() == PyTuple_GET_ITEM(o, i);
        }
        if (auto it = memo_.find(o); it != memo_.end()) return nb::borrow(it->second.ptr());
        if (same) return nb::borrow(o);
        nb::object t = checked(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(t.ptr(), i, items[static_cast<std::size_t>(i)].release().ptr());
        memo_.emplace(o, t);
        return t;
    }

  private:
    std::unordered_map<PyObject*, nb::object> memo_;
};

} // namespace

nb::object deep_copy(nb::handle obj) {
    if (plain(obj.ptr(), 0)) return PlainCopy().copy(obj.ptr());
    static PyObject* const fn = nb::object(import_attr("copy", "deepcopy")).release().ptr();
    return checked(PyObject_CallOneArg(fn, obj.ptr()));
}

nb::object copy_mapping(nb::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        bool numbers = true;
        while (numbers && PyDict_Next(d.ptr(), &pos, &key, &value))
            numbers = (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) && atom(key);
        if (numbers) return checked(PyDict_Copy(d.ptr()));
    }
    return deep_copy(d);
}

std::vector<double> array_items(nb::handle arr) {
    np::View v;
    if (!np::view(arr.ptr(), np::Dtype::float64, false, v))
        raise_format(PyExc_ValueError, "expected a one-dimensional float64 array");
    std::vector<double> out(static_cast<std::size_t>(v.size));
    for (Py_ssize_t i = 0; i < v.size; ++i)
        out[static_cast<std::size_t>(i)] = v.at<double>(i);
    return out;
}

bool plain_doubles(nb::handle obj, std::vector<double>& out) {
    PyObject* o = obj.ptr();
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    PyObject** items = PySequence_Fast_ITEMS(o);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_double(items[i], out[static_cast<std::size_t>(i)])) return false;
    return true;
}

std::vector<double> doubles(nb::handle obj, const char* name) {
    std::vector<double> out;
    if (plain_doubles(obj, out)) return out;
    nb::object arr = float_array(obj);
    if (np::ndim(arr.ptr()) != 1)
        raise_format(PyExc_ValueError, "%s must be one-dimensional", name);
    return array_items(arr);
}

nb::object field_array(nb::handle value, const char* field) {
    nb::object arr = float_array(value);
    if (np::ndim(arr.ptr()) == 0)
        raise_format(PyExc_TypeError, "%s must be a sequence of numbers, not %.200s", field,
                     Py_TYPE(value.ptr())->tp_name);
    return arr;
}

nb::object state_array(nb::handle value, std::size_t size, double*& data) {
    nb::object arr = float_array(value);
    Py_ssize_t n;
    if (!np::f64_view(arr.ptr(), data, n, true) || static_cast<std::size_t>(n) != size) {
        nb::object shape = arr.attr("shape");
        raise_format(PyExc_ValueError, "Unexpected shape for zi: expected (%zu,), found %S.", size,
                     shape.ptr());
    }
    return arr;
}

DiscreteTf cont2discrete(std::span<const double> num, std::span<const double> den, nb::handle Ts,
                         nb::handle method) {
    static PyObject* fn = nullptr;
    if (!fn) fn = import_attr("scipy.signal", "cont2discrete").release().ptr();
    nb::object system = nb::make_tuple(f64_array(num), f64_array(den));
    nb::object res;
    if (method.is_valid())
        res = nb::handle(fn)(system, nb::arg("dt") = Ts, nb::arg("method") = method,
                             nb::arg("alpha") = nb::none());
    else
        res = nb::handle(fn)(system, Ts);
    auto parts = unpack(res, 3);
    nb::object row = parts[0][nb::int_(0)];
    return {doubles(row, "the numerator"), doubles(parts[1], "the denominator")};
}

DiscreteTf c2d(std::span<const double> num, std::span<const double> den, nb::handle delay,
               nb::handle Ts, nb::handle method) {
    DiscreteTf d = cont2discrete(korvel::trim_leading_zeros(num), den, Ts, method);
    static PyObject* const round = nb::object(import_attr("builtins", "round")).release().ptr();
    nb::object ratio = checked(PyNumber_TrueDivide(delay.ptr(), Ts.ptr()));
    nb::object samples =
        checked(PyNumber_Long(checked(PyObject_CallOneArg(round, ratio.ptr())).ptr()));
    const Py_ssize_t n = PyLong_AsSsize_t(samples.ptr());
    if (n == -1 && PyErr_Occurred()) raise();
    if (n < 0) raise_format(PyExc_ValueError, "negative dimensions are not allowed");
    d.num = korvel::with_dead_time(d.num, static_cast<std::size_t>(n));
    return d;
}

} // namespace korvel::pyglue
