#include "args.hpp"

#include <korvel/assert.hpp>
#include <korvel/text.hpp>

#include <deque>

#include "convert.hpp"

namespace korvel::pyglue {

namespace {

// Strings handed to CPython as docstrings live as long as the process.
const char* keep(std::string s) {
    static std::deque<std::string> kept;
    return kept.emplace_back(std::move(s)).c_str();
}

// The value of a default literal, through ast.literal_eval; a new reference.
PyObject* literal(const char* text) {
    static PyObject* eval = nullptr;
    if (!eval) {
        PyObject* ast = PyImport_ImportModule("ast");
        if (!ast) return nullptr;
        eval = PyObject_GetAttrString(ast, "literal_eval");
        Py_DECREF(ast);
        if (!eval) return nullptr;
    }
    return PyObject_CallFunction(eval, "s", text);
}

} // namespace

const char* py_literal(std::string_view text) {
    for ([[maybe_unused]] char c : text)
        KORVEL_ASSERT(c >= ' ' && c <= '~' && c != '\'' && c != '\\');
    return keep("'" + std::string(text) + "'");
}

const char* py_literal(double v) {
    return keep(korvel::float_repr(v));
}

const char* py_literal(std::size_t v) {
    return keep(std::to_string(v));
}

bool Args::longlong(std::size_t i, long long& out) const noexcept {
    out = PyLong_AsLongLong(obj_[i]);
    return !(out == -1 && PyErr_Occurred());
}

Signature::Signature(const char* name, std::initializer_list<Param> params, bool method) noexcept
    : name_(name), count_(static_cast<Py_ssize_t>(params.size())), required_(0),
      self_(method ? 1 : 0) {
    std::size_t i = 0;
    for (const Param& p : params) {
        params_[i++] = p;
        if (!p.dflt) required_ = static_cast<Py_ssize_t>(i);
    }
}

bool Signature::defaults() const noexcept {
    for (Py_ssize_t i = required_; i < count_; ++i) {
        if (dflt_obj_[i]) continue;
        PyObject* v = literal(params_[i].dflt);
        if (!v) return false;
        const Kind k = params_[i].kind;
        if ((k == Kind::real || k == Kind::opt_real) && v != Py_None &&
            !to_double(v, dflt_num_[i])) {
            Py_DECREF(v);
            return false;
        }
        if (k == Kind::opt_float && v != Py_None) dflt_num_[i] = PyFloat_AsDouble(v);
        dflt_obj_[i] = v;
    }
    ready_ = true;
    return true;
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
        if (PyUnicode_EqualToUTF8(keyword, params_[i].name)) return i;
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

bool Signature::parse(PyObject* args, PyObject* kwargs, Args& a) const noexcept {
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject** out = a.obj_;
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && nargs >= required_ &&
        nargs <= count_) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out[i] = items[i];
        for (Py_ssize_t i = nargs; i < count_; ++i)
            out[i] = nullptr;
    } else if (!bind_slow(items, nargs, nullptr,
                          kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr, out)) {
        return false;
    }
    return convert(a);
}

std::string Signature::text_signature(const char* shown_name, const char* self) const {
    std::string s = shown_name;
    s += '(';
    if (self) s += self;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        if (i > 0 || self) s += ", ";
        s += params_[i].name;
        if (params_[i].dflt) s.append("=").append(params_[i].dflt);
    }
    return s + ")\n--\n\n";
}

const char* Signature::doc(const char* text) const {
    return keep(text_signature(name_, self_ ? "$self" : "$module") + (text ? text : ""));
}

const char* Signature::class_doc(const char* class_name, const char* text) const {
    return keep(text_signature(class_name, nullptr) + (text ? text : ""));
}

bool Signature::convert_one(Py_ssize_t i, PyObject* o, Args& a) const noexcept {
    const char* name = params_[i].name;
    switch (params_[i].kind) {
    case Kind::object:
        return true;
    case Kind::real:
        return to_double(o, a.num_[i]);
    case Kind::opt_real:
        return o == Py_None || to_double(o, a.num_[i]);
    case Kind::opt_float:
        if (o == Py_None) return true;
        if (!exact(o, &PyFloat_Type, name)) return false;
        a.num_[i] = PyFloat_AS_DOUBLE(o);
        return true;
    case Kind::integer:
        return exact(o, &PyLong_Type, name);
    case Kind::text:
        return exact(o, &PyUnicode_Type, name);
    case Kind::dict:
        return exact(o, &PyDict_Type, name);
    case Kind::list:
        return exact(o, &PyList_Type, name);
    case Kind::tuple:
        return exact(o, &PyTuple_Type, name);
    }
    return true;
}

} // namespace korvel::pyglue
