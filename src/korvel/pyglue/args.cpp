#include "args.hpp"

namespace korvel::pyglue {

Signature::Signature(const char* name, std::initializer_list<const char*> params, int required,
                     bool method) noexcept
    : name_(name), count_(static_cast<Py_ssize_t>(params.size())), required_(required),
      self_(method ? 1 : 0) {
    std::size_t i = 0;
    for (const char* p : params)
        params_[i++] = p;
}

void Signature::raise_count(Py_ssize_t given) const noexcept {
    const bool exact = required_ == count_;
    const Py_ssize_t lo = required_ + self_, hi = count_ + self_;
    const Py_ssize_t found = given + self_;
    const Py_ssize_t expected = found < lo ? lo : hi;
    const char* how = exact ? "exactly" : (found < lo ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_, how, expected, expected == 1 ? "" : "s", found);
}

Py_ssize_t Signature::index_of(PyObject* keyword) const noexcept {
    if (!PyUnicode_Check(keyword)) return -1;
    for (Py_ssize_t i = 0; i < count_; ++i)
        if (PyUnicode_EqualToUTF8(keyword, params_[i])) return i;
    return -1;
}

bool Signature::bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject* kwdict, PyObject** out) const noexcept {
    if (nargs > count_) {
        raise_count(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    for (Py_ssize_t i = nargs; i < count_; ++i)
        out[i] = nullptr;

    // Keyword values by parameter; the caller's order is kept for the errors.
    Py_ssize_t nkw = 0;
    if (kwnames)
        nkw = PyTuple_GET_SIZE(kwnames);
    else if (kwdict)
        nkw = PyDict_GET_SIZE(kwdict);
    bool stray = false;
    if (nkw) {
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (true) {
            if (kwnames) {
                if (k >= nkw) break;
                key = PyTuple_GET_ITEM(kwnames, k);
                value = args[nargs + k];
                ++k;
            } else if (!PyDict_Next(kwdict, &pos, &key, &value)) {
                break;
            }
            const Py_ssize_t i = index_of(key);
            if (i < nargs)
                stray = true; // unknown, or repeats a positional one
            else
                out[i] = value;
        }
    }
    for (Py_ssize_t i = nargs; i < required_; ++i) {
        if (!out[i]) {
            raise_count(i);
            return false;
        }
    }
    if (!stray) return true;

    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (true) {
        if (kwnames) {
            if (k >= nkw) break;
            key = PyTuple_GET_ITEM(kwnames, k++);
        } else if (!PyDict_Next(kwdict, &pos, &key, &value)) {
            break;
        }
        const Py_ssize_t i = index_of(key);
        if (i < 0) {
            if (PyUnicode_Check(key))
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_,
                             key);
            else
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_);
            return false;
        }
        if (i < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name_, key);
            return false;
        }
    }
    return true;
}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const noexcept {
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && nargs >= required_ &&
        nargs <= count_) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out[i] = items[i];
        for (Py_ssize_t i = nargs; i < count_; ++i)
            out[i] = nullptr;
        return true;
    }
    return bind_slow(items, nargs, nullptr, kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr,
                     out);
}

} // namespace korvel::pyglue
