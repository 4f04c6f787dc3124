// Fields of blocks as nanobind properties: readiness checks, fields that
// hold any Python object, and cyclic garbage collection for them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

#include "glue.hpp"

namespace korvel::pyglue {

// The C++ object behind a property's `self`; TypeError (thrown) for an
// instance made by __new__ alone.
template <class T> T& ready(nanobind::handle self) {
    T* p = self_of<T>(self.ptr());
    if (!p) throw nanobind::python_error();
    return *p;
}

// Items of a saved state handed to __setstate__, checked before the block
// is rebuilt from them: a TypeError instead of a crash or a bare cast error.
inline double state_double(nanobind::handle h) {
    double v;
    if (!to_double(h.ptr(), v)) throw nanobind::python_error();
    return v;
}

inline bool state_bool(nanobind::handle h) {
    const int t = PyObject_IsTrue(h.ptr());
    if (t < 0) throw nanobind::python_error();
    return t != 0;
}

// A capacity or count: an exact non-negative int that fits a size_t.
inline std::size_t state_size(nanobind::handle h, const char* block) {
    long long n;
    if (!exact_int(h.ptr(), "state", n)) throw nanobind::python_error();
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "invalid %s state", block);
        throw nanobind::python_error();
    }
    return static_cast<std::size_t>(n);
}

template <class T> T state_as(nanobind::handle h, const char* block) {
    if (!nanobind::isinstance<T>(h)) {
        PyErr_Format(PyExc_TypeError, "invalid %s state", block);
        throw nanobind::python_error();
    }
    return nanobind::borrow<T>(h);
}

// A field callers may set to any object, as on a plain Python object; what
// the object must be is checked where a call uses it.
template <class T, nanobind::object T::* Member, class Class>
void def_object_field(Class& cls, const char* name, const char* doc = nullptr) {
    cls.def_prop_rw(
        name, [](nanobind::handle self) { return ready<T>(self).*Member; },
        [](nanobind::handle self, nanobind::object v) { ready<T>(self).*Member = std::move(v); },
        nanobind::for_setter(nanobind::arg("value").none()), doc ? doc : "");
}

// Cyclic GC for blocks whose fields hold arbitrary objects (a caller may
// store the block in its own field). T lists those fields through
// `template <class F> void for_each_object(F&& f)`, calling f(nb::object&)
// on each. Hand both functions to nanobind as Py_tp_traverse / Py_tp_clear.
template <class T> int traverse_objects(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (!nanobind::inst_ready(self)) return 0;
    int rc = 0;
    nanobind::inst_ptr<T>(self)->for_each_object([&](nanobind::object& o) {
        if (rc == 0 && o.ptr()) rc = visit(o.ptr(), arg);
    });
    return rc;
}

// Breaks cycles by setting every object field to None; the block stays
// usable (its calls then fail as they would with None in those fields).
template <class T> int clear_objects(PyObject* self) noexcept {
    if (nanobind::inst_ready(self))
        nanobind::inst_ptr<T>(self)->for_each_object(
            [](nanobind::object& o) { o = nanobind::none(); });
    return 0;
}

} // namespace korvel::pyglue
