// Operations as METH_FASTCALL entries, declared as a table:
//
//     methods({
//         method<PyPID, sig_run, pid_run>("One sample ..."),
//         function<sig_c2d, c2d>("Discretises ..."),
//     })
//
// Each entry binds and converts its arguments with its Signature (which also
// gives the entry its name and text signature), refuses an instance made by
// __new__ alone, runs the operation with C++ exceptions translated, and turns
// its result into a Python object: None for void, float for double, bool,
// or the object returned.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <type_traits>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// Flags of a METH_FASTCALL | METH_KEYWORDS method entry.
inline constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

template <class Fn> inline PyCFunction as_method(Fn f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <class R> PyObject* to_result(R&& r) {
    using V = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<V, PyObject*>)
        return r;
    else if constexpr (std::is_same_v<V, bool>)
        return Py_NewRef(r ? Py_True : Py_False);
    else if constexpr (std::is_floating_point_v<V>)
        return PyFloat_FromDouble(r);
    else
        return nb::object(std::forward<R>(r)).release().ptr();
}

// Calls fn(T&, const Args&) or fn(T&, const Args&, PyObject* self).
template <class T, auto Fn> PyObject* invoke(T& p, const Args& a, PyObject* self) {
    auto call = [&]() -> decltype(auto) {
        if constexpr (std::is_invocable_v<decltype(Fn), T&, const Args&>)
            return Fn(p, a);
        else
            return Fn(p, a, self);
    };
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_result(call());
    }
}

template <class T, const Signature& Sig, auto Fn>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    Args a;
    T* p = self_of<T>(self);
    if (!p || !Sig.parse(args, nargs, kwnames, a)) return nullptr;
    // Converting the arguments ran Python code, which may have set the
    // block to work.
    if constexpr (HasBusy<T>)
        if (!(p = self_of<T>(self))) return nullptr;
    return guard([&] {
        Busy<T> busy(*p);
        return invoke<T, Fn>(*p, a, self);
    });
}

template <const Signature& Sig, auto Fn>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    Args a;
    if (!Sig.parse(args, nargs, kwnames, a)) return nullptr;
    return guard([&]() -> PyObject* {
        using R = decltype(Fn(a));
        if constexpr (std::is_void_v<R>) {
            Fn(a);
            Py_RETURN_NONE;
        } else {
            return to_result(Fn(a));
        }
    });
}

// The tp_init slot: binds and converts, then fn(self, args) builds the block
// (emplace<T>).
template <const Signature& Sig, auto Fn>
int init_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Args a;
    if (!Sig.parse(args, kwargs, a)) return -1;
    return guard_int([&] {
        Fn(self, a);
        return 0;
    });
}

struct Method {
    const Signature* sig;
    PyCFunction fn;
    const char* doc;
};

template <class T, const Signature& Sig, auto Fn> Method method(const char* doc) {
    return {&Sig, as_method(method_entry<T, Sig, Fn>), doc};
}

template <const Signature& Sig, auto Fn> Method function(const char* doc) {
    return {&Sig, as_method(function_entry<Sig, Fn>), doc};
}

// A method table for Py_tp_methods or PyModule_AddFunctions, with each
// entry's docstring led by its text signature. Kept for the life of the
// process, as CPython requires.
inline PyMethodDef* methods(std::initializer_list<Method> entries) {
    auto* table = new PyMethodDef[entries.size() + 1];
    std::size_t i = 0;
    for (const Method& m : entries)
        table[i++] = {m.sig->name(), m.fn, fastcall_flags, m.sig->doc(m.doc)};
    table[i] = {nullptr, nullptr, 0, nullptr};
    return table;
}

} // namespace korvel::pyglue
