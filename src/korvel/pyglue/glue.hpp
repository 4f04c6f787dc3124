// nanobind-side helpers for raw slots (METH_FASTCALL methods, tp_call,
// tp_init): readiness checks, construction in place, exception translation.
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/errors.hpp>

#include <cerrno>
#include <concepts>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "args.hpp"
#include "convert.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// --- raising -------------------------------------------------------------

// Leaves a C++ function with the Python error that is set.
[[noreturn]] inline void raise() {
    throw nb::python_error();
}

// A new reference from the C API, or the error it set.
inline nb::object checked(PyObject* o) {
    if (!o) raise();
    return nb::steal(o);
}

inline bool truth(nb::handle o) {
    const int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise();
    return t != 0;
}

inline bool equal(nb::handle a, nb::handle b) {
    const int t = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (t < 0) raise();
    return t != 0;
}

// `TypeError` (or another type) with a formatted message, thrown.
template <class... A>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    raise();
}

// --- re-entrancy ----------------------------------------------------------
//
// Any call into Python code (a conversion's __float__, a tag's __hash__, the
// __del__ of a released value, a model written in Python, sys.stdout.write)
// may run code that re-initialises the block, restores another state into
// it, replaces its fields or calls its operations. So a binding
//  * holds owned references, never borrowed pointers, raw array views or
//    cached sizes, across such a call;
//  * converts every argument and new field value before it changes state;
//  * builds a replacement state whole and swaps it in before the old one is
//    released (emplace, swap_in; Ring and the core's containers hand back
//    what they drop);
//  * and a block whose operations run Python code while its state is half
//    changed holds `bool busy`: every entry (operations, the call, fields,
//    __init__, __setstate__) refuses it with RuntimeError while one of its
//    operations runs (Busy).

template <class T>
concept HasBusy = requires(T& t) {
    { t.busy } -> std::convertible_to<bool>;
};

// RuntimeError for a block entered from code that one of its own operations runs.
inline void refuse_reentry(PyObject* self) noexcept {
    PyObject* name = PyType_GetName(Py_TYPE(self));
    if (name) PyErr_Format(PyExc_RuntimeError, "%U is in the middle of a step", name);
    Py_XDECREF(name);
}

// Marks a block busy for the life of the scope (nothing for other blocks).
template <class T> class Busy {
  public:
    explicit Busy(T& t) noexcept : t_(t) {
        if constexpr (HasBusy<T>) t_.busy = true;
    }
    ~Busy() {
        if constexpr (HasBusy<T>) t_.busy = false;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

  private:
    T& t_;
};

// The C++ object behind `self`; nullptr and TypeError for an instance that
// was made by __new__ alone and never constructed, RuntimeError for a busy one.
template <class T> inline T* self_of(PyObject* self) noexcept {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not initialized", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    T* p = nb::inst_ptr<T>(self);
    if constexpr (HasBusy<T>) {
        if (p->busy) {
            refuse_reentry(self);
            return nullptr;
        }
    }
    // A block that defers writing what Python can see catches up first.
    if constexpr (requires(T& t) { t.sync(); })
        if (!p->sync()) return nullptr;
    return p;
}

// Puts `fresh` in place of `*p` and releases the old state only once the
// block is whole again (releasing it may run code that uses the block).
template <class T> inline void swap_in(T& target, T&& fresh) {
    T old(std::move(fresh));
    using std::swap;
    swap(target, old);
}

// Builds the T behind `self`. A second __init__ on a live object starts it
// over, as it would on a plain Python object; the new state is built whole
// before it replaces the old.
template <class T, class... A> inline void emplace(PyObject* self, A&&... args) {
    T* p = nb::inst_ptr<T>(self);
    if (nb::inst_ready(self)) {
        if constexpr (HasBusy<T>) {
            if (p->busy) {
                refuse_reentry(self);
                throw nb::python_error();
            }
        }
        swap_in(*p, T(std::forward<A>(args)...));
    } else {
        new (p) T(std::forward<A>(args)...);
        nb::inst_mark_ready(self);
    }
}

// Sets the Python error for a C++ exception that reached a raw slot. The
// core's standard exceptions become their Python counterparts (a refused
// model entry the bare AssertionError of a failed assertion).
inline void set_error_from_current() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* t = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration:
            t = PyExc_StopIteration;
            break;
        case nb::exception_type::index_error:
            t = PyExc_IndexError;
            break;
        case nb::exception_type::key_error:
            t = PyExc_KeyError;
            break;
        case nb::exception_type::value_error:
            t = PyExc_ValueError;
            break;
        case nb::exception_type::type_error:
            t = PyExc_TypeError;
            break;
        case nb::exception_type::buffer_error:
            t = PyExc_BufferError;
            break;
        case nb::exception_type::import_error:
            t = PyExc_ImportError;
            break;
        case nb::exception_type::attribute_error:
            t = PyExc_AttributeError;
            break;
        default:
            break;
        }
        PyErr_SetString(t, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) { // a container asked for more than it can hold
        PyErr_NoMemory();
    } catch (const korvel::zero_division& e) {
        PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const korvel::bad_spec&) {
        PyErr_SetNone(PyExc_AssertionError);
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
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
