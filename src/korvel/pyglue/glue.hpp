// nanobind-side helpers for raw slots (METH_FASTCALL methods, tp_call,
// tp_init): readiness checks, construction in place, exception translation.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "args.hpp"
#include "convert.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// The C++ object behind `self`; nullptr and TypeError for an instance that
// was made by __new__ alone and never constructed.
template <class T> inline T* self_of(PyObject* self) noexcept {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not initialized", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<T>(self);
}

// Builds the T behind `self`. A second __init__ on a live object starts it
// over, as it would on a plain Python object.
template <class T, class... A> inline void emplace(PyObject* self, A&&... args) {
    T* p = nb::inst_ptr<T>(self);
    if (nb::inst_ready(self)) {
        *p = T(std::forward<A>(args)...);
    } else {
        new (p) T(std::forward<A>(args)...);
        nb::inst_mark_ready(self);
    }
}

// Sets the Python error for a C++ exception that reached a raw slot.
inline void set_error_from_current() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        // In the order of nb::exception_type.
        PyObject* const types[] = {PyExc_RuntimeError, PyExc_StopIteration, PyExc_IndexError,
                                   PyExc_KeyError,     PyExc_ValueError,    PyExc_TypeError,
                                   PyExc_BufferError,  PyExc_ImportError,   PyExc_AttributeError};
        const auto k = static_cast<unsigned>(e.type());
        PyObject* t = k < sizeof(types) / sizeof(types[0]) ? types[k] : PyExc_RuntimeError;
        PyErr_SetString(t, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) { // a container asked for more than it can hold
        PyErr_NoMemory();
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Runs `f` (returning a new reference or nullptr with an error set) so that
// no C++ exception escapes into the interpreter.
template <class F> inline PyObject* guard(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
}

template <class F> inline int guard_int(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

// A float result, as Python float.
inline PyObject* to_py(double v) noexcept {
    return PyFloat_FromDouble(v);
}

// Flags of a METH_FASTCALL | METH_KEYWORDS method entry.
inline constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

template <class Fn> inline PyCFunction as_method(Fn f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

} // namespace korvel::pyglue
