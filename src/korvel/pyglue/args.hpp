// Argument binding with the messages of a compiled plain-Python function.
//
// Every public callable of the package binds its arguments through a
// Signature, so that counts, names and messages agree everywhere:
//
//   1. more positional arguments than parameters:
//        "f() takes at most N positional arguments (M given)";
//   2. a required parameter neither positional nor keyword (the count given is
//      the position of the first missing one):
//        "f() takes at least N positional arguments (M given)";
//   3. keyword errors, in the caller's keyword order:
//        "f() got multiple values for keyword argument 'x'",
//        "f() got an unexpected keyword argument 'x'".
//
// "exactly" replaces "at least"/"at most" when the operation has no defaults.
// For methods, counts include `self`. Conversions and type checks follow in
// parameter order, done by the caller on the bound values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace korvel::pyglue {

class Signature {
  public:
    static constexpr std::size_t max_params = 12;

    // `params` in declaration order (without self); the first `required` of
    // them have no default.
    Signature(const char* name, std::initializer_list<const char*> params, int required,
              bool method = true) noexcept;

    // METH_FASTCALL | METH_KEYWORDS form. On success `out[i]` is a borrowed
    // reference to parameter i, or nullptr when left to its default.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out) const noexcept {
        if (kwnames == nullptr && nargs >= required_ && nargs <= count_) {
            for (Py_ssize_t i = 0; i < nargs; ++i)
                out[i] = args[i];
            for (Py_ssize_t i = nargs; i < count_; ++i)
                out[i] = nullptr;
            return true;
        }
        return bind_slow(args, nargs, kwnames, nullptr, out);
    }

    // tp_call / tp_init form: a positional tuple and an optional dict.
    bool bind(PyObject* args, PyObject* kwargs, PyObject** out) const noexcept;

    const char* name() const noexcept { return name_; }
    const char* param(std::size_t i) const noexcept { return params_[i]; }
    Py_ssize_t count() const noexcept { return count_; }

  private:
    bool bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* kwdict,
                   PyObject** out) const noexcept;
    void raise_count(Py_ssize_t given) const noexcept;
    Py_ssize_t index_of(PyObject* keyword) const noexcept;

    const char* name_;
    std::array<const char*, max_params> params_{};
    Py_ssize_t count_;
    Py_ssize_t required_;
    Py_ssize_t self_;
};

} // namespace korvel::pyglue
