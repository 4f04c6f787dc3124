// Argument binding with the messages of a compiled plain-Python function.
//
// Every public callable of the package declares its parameters once, in a
// Signature: names, defaults (as Python literals) and the kind each argument
// must be. The binding, the conversions, the defaults and the text signature
// that help() and inspect.signature() show all derive from that table.
//
// Binding gives, in this order:
//   1. more positional arguments than parameters:
//        "f() takes at most N positional arguments (M given)";
//   2. a required parameter neither positional nor keyword (the count given is
//      the position of the first missing one):
//        "f() takes at least N positional arguments (M given)";
//   3. keyword errors, in the caller's keyword order:
//        "f() got multiple values for keyword argument 'x'",
//        "f() got an unexpected keyword argument 'x'";
//   4. conversions and type checks, in parameter order (parse()).
// "exactly" replaces "at least"/"at most" when the operation has no defaults.
// For methods, counts include `self`.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "convert.hpp"

namespace korvel::pyglue {

// What an argument must be.
enum class Kind : unsigned char {
    object,    // anything, as given
    real,      // a real number (float() accepts it), as a double
    opt_real,  // None or a real number
    opt_float, // None or exactly a float
    integer,   // exactly an int (a bool is not one); converted where used
    text,      // exactly a str
    dict,      // exactly a dict
    list,      // exactly a list
    tuple,     // exactly a tuple
};

struct Param {
    const char* name;
    Kind kind = Kind::object;
    const char* dflt = nullptr; // a Python literal; nullptr: required
};

constexpr Param object(const char* name, const char* dflt = nullptr) {
    return {name, Kind::object, dflt};
}
constexpr Param real(const char* name, const char* dflt = nullptr) {
    return {name, Kind::real, dflt};
}
constexpr Param opt_real(const char* name, const char* dflt = "None") {
    return {name, Kind::opt_real, dflt};
}
constexpr Param opt_float(const char* name, const char* dflt = "None") {
    return {name, Kind::opt_float, dflt};
}
constexpr Param integer(const char* name, const char* dflt = nullptr) {
    return {name, Kind::integer, dflt};
}
constexpr Param text(const char* name, const char* dflt = nullptr) {
    return {name, Kind::text, dflt};
}
constexpr Param dict(const char* name, const char* dflt = nullptr) {
    return {name, Kind::dict, dflt};
}
constexpr Param list(const char* name, const char* dflt = nullptr) {
    return {name, Kind::list, dflt};
}
constexpr Param tuple(const char* name, const char* dflt = nullptr) {
    return {name, Kind::tuple, dflt};
}

// Defaults a Signature takes from the core's constants, as Python literals
// (kept for the life of the process): a text that needs no escaping, a float
// as repr() writes it, a count.
const char* py_literal(std::string_view text);
const char* py_literal(double v);
const char* py_literal(std::size_t v);

class Signature;

// The arguments of one call, bound and converted: obj(i) is the argument
// (borrowed) or its default, num(i) a real one as a double.
class Args {
  public:
    static constexpr std::size_t max_params = 12;

    PyObject* obj(std::size_t i) const noexcept { return obj_[i]; }
    double num(std::size_t i) const noexcept { return num_[i]; }
    // A real or None argument; empty for None.
    std::optional<double> opt(std::size_t i) const noexcept {
        if (obj_[i] == Py_None) return std::nullopt;
        return num_[i];
    }
    bool given(std::size_t i) const noexcept { return given_[i]; }
    // An integer argument as a long long; false with OverflowError beyond.
    bool longlong(std::size_t i, long long& out) const noexcept;

  private:
    friend class Signature;
    PyObject* obj_[max_params];
    double num_[max_params];
    bool given_[max_params];
};

class Signature {
  public:
    static constexpr std::size_t max_params = Args::max_params;

    // `params` in declaration order (without self); the required ones first.
    Signature(const char* name, std::initializer_list<Param> params, bool method = true) noexcept;

    // METH_FASTCALL | METH_KEYWORDS form: binds, fills in defaults and
    // converts. False with the error set.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& a) const noexcept {
        if (kwnames == nullptr && nargs >= required_ && nargs <= count_ && ready_) {
            // Positional only, the common case of a step: binding and
            // conversion in one pass, floats converted in line.
            for (Py_ssize_t i = 0; i < count_; ++i) {
                if (i >= nargs) {
                    a.obj_[i] = dflt_obj_[i];
                    a.num_[i] = dflt_num_[i];
                    a.given_[i] = false;
                    continue;
                }
                PyObject* o = args[i];
                a.obj_[i] = o;
                a.given_[i] = true;
                if (params_[i].kind == Kind::real && PyFloat_CheckExact(o))
                    a.num_[i] = PyFloat_AS_DOUBLE(o);
                else if (!convert_one(i, o, a))
                    return false;
            }
            return true;
        }
        if (!bind_slow(args, nargs, kwnames, nullptr, a.obj_)) return false;
        return convert(a);
    }

    // tp_call / tp_init form: a positional tuple and an optional dict.
    bool parse(PyObject* args, PyObject* kwargs, Args& a) const noexcept;

    const char* name() const noexcept { return name_; }
    const char* param(std::size_t i) const noexcept { return params_[i].name; }
    Py_ssize_t count() const noexcept { return count_; }

    // "name($self, a, b=1.0)\n--\n\n" followed by `doc`: the docstring
    // CPython reads the text signature from. Kept for the life of the process.
    const char* doc(const char* text) const;
    // The same for a class, whose constructor this is: "Name(a, b=1.0)...".
    const char* class_doc(const char* class_name, const char* text) const;

  private:
    bool bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* kwdict,
                   PyObject** out) const noexcept;
    bool convert(Args& a) const noexcept;
    bool convert_one(Py_ssize_t i, PyObject* o, Args& a) const noexcept;
    bool defaults() const noexcept;
    void raise_count(Py_ssize_t given) const noexcept;
    Py_ssize_t index_of(PyObject* keyword) const noexcept;
    std::string text_signature(const char* shown_name, const char* self) const;

    const char* name_;
    std::array<Param, max_params> params_{};
    Py_ssize_t count_;
    Py_ssize_t required_;
    Py_ssize_t self_;
    // Defaults, evaluated once from their literals (kept for the process).
    mutable std::array<PyObject*, max_params> dflt_obj_{};
    mutable std::array<double, max_params> dflt_num_{};
    mutable bool ready_ = false;
};

// Exactly of type t, or the "Argument 'x' has incorrect type" TypeError.
inline bool exact(PyObject* o, PyTypeObject* t, const char* name) noexcept {
    return Py_IS_TYPE(o, t) || raise_arg_type(name, t, o);
}

inline bool Signature::convert(Args& a) const noexcept {
    if (!ready_ && !defaults()) return false;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        PyObject* o = a.obj_[i];
        a.given_[i] = o != nullptr;
        if (!o) {
            a.obj_[i] = dflt_obj_[i];
            a.num_[i] = dflt_num_[i];
        } else if (!convert_one(i, o, a)) {
            return false;
        }
    }
    return true;
}

} // namespace korvel::pyglue
