// The call operation of callable blocks, in both forms CPython offers:
//
//   * call_slot<T, sig, step>: the tp_call slot (argument tuple and dict);
//   * vectorcall_slot<T, sig, step>: the same as a vectorcall entry, so that
//     `block(u)` skips building the tuple;
//   * fastcall_method<T, sig, step>: the same as a method (`block.run(u)`).
//
// `step(T&, const Args& a)` receives the arguments bound and converted by
// `sig` and returns a new reference or nullptr with an error set; C++
// exceptions are translated.
//
// A block opts in to vectorcall with a member `vectorcallfunc call` (set to
// vectorcall_slot<...> when the block is constructed, or left nullptr) and
// enable_vectorcall<T>(cls) after binding the class. An instance made by
// __new__ alone holds nullptr there, and CPython then falls back to tp_call,
// which refuses the unconstructed object. A subclass that defines __call__
// loses the vectorcall flag and uses its own method.
#pragma once

#include <nanobind/nanobind.h>

#include "calls.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

template <class T> using StepFn = PyObject* (*)(T&, const Args&);

// Runs Step on a bound block, marked busy (if it keeps the mark) meanwhile.
template <class T, StepFn<T> Step> PyObject* run_step(T& p, const Args& a) noexcept {
    return guard([&] {
        Busy<T> busy(p);
        return Step(p, a);
    });
}

template <class T, const Signature& Sig, StepFn<T> Step>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Args a;
    T* p = self_of<T>(self);
    if (!p || !Sig.parse(args, kwargs, a)) return nullptr;
    if constexpr (HasBusy<T>)
        if (!(p = self_of<T>(self))) return nullptr;
    return run_step<T, Step>(*p, a);
}

// The same step as a METH_FASTCALL | METH_KEYWORDS method (`run`), which any
// instance may reach: this one checks that the block was constructed.
template <class T, const Signature& Sig, StepFn<T> Step>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    Args a;
    T* p = self_of<T>(self);
    if (!p || !Sig.parse(args, nargs, kwnames, a)) return nullptr;
    if constexpr (HasBusy<T>)
        if (!(p = self_of<T>(self))) return nullptr;
    return run_step<T, Step>(*p, a);
}

// Where the C++ object of a T instance starts, set by enable_vectorcall.
template <class T> inline Py_ssize_t vectorcall_data_offset = 0;

// CPython reaches this entry only through a non-null T::call, which only a
// constructed block holds: no readiness check is needed here.
template <class T, const Signature& Sig, StepFn<T> Step>
PyObject* vectorcall_slot(PyObject* self, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) noexcept {
    Args a;
    T* p = reinterpret_cast<T*>(reinterpret_cast<char*>(self) + vectorcall_data_offset<T>);
    if (!Sig.parse(args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if constexpr (HasBusy<T>) {
        if (!(p = self_of<T>(self))) return nullptr;
    }
    return run_step<T, Step>(*p, a);
}

// Points CPython at T::call inside every instance of the bound class `cls`.
// The type exists already (nanobind made it), so its tp_vectorcall_offset,
// tp_flags and tp_new are set in place, fields of PyTypeObject that CPython
// 3.13 documents but offers no call to change after creation;
// test_robustness.py's vectorcall test fails when calls stop going this way.
template <class T> void enable_vectorcall(nb::handle cls) {
    // Instance data then sits at one offset from the object for every instance.
    static_assert(alignof(T) <= alignof(void*));
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    static newfunc base_new = tp->tp_new;
    static Py_ssize_t offset = [&] {
        nb::object probe = nb::inst_alloc(cls); // never constructed
        const char* self = reinterpret_cast<const char*>(probe.ptr());
        const T* data = nb::inst_ptr<T>(probe);
        vectorcall_data_offset<T> = reinterpret_cast<const char*>(data) - self;
        return reinterpret_cast<const char*>(&data->call) - self;
    }();
    // Fresh instances are not zeroed: clear the entry before anyone calls.
    tp->tp_new = [](PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
        PyObject* self = base_new(type, args, kwargs);
        if (self)
            *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(self) + offset) = nullptr;
        return self;
    };
    tp->tp_vectorcall_offset = offset;
    tp->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Modified(tp);
}

} // namespace korvel::pyglue
