// The C++ object behind a block's Python object: reached only once it is
// constructed and while it is not in the middle of one of its own operations,
// and replaced only whole.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <new>
#include <utility>

#include "errors.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

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

} // namespace korvel::pyglue
