// Fields of blocks as nanobind properties: readiness checks, fields that
// hold any Python object, and cyclic garbage collection for them.
#pragma once

#include <nanobind/nanobind.h>

#include "glue.hpp"

namespace korvel::pyglue {

// The C++ object behind a property's `self`; TypeError (thrown) for an
// instance made by __new__ alone.
template <class T> T& ready(nanobind::handle self) {
    T* p = self_of<T>(self.ptr());
    if (!p) throw nanobind::python_error();
    return *p;
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
