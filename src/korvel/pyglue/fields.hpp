// Fields of blocks as nanobind properties: readiness checks, fields that
// hold any Python object, and cyclic garbage collection for them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <type_traits>

#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

// The C++ object behind a property's `self`; TypeError (thrown) for an
// instance made by __new__ alone.
template <class T> T& ready(nanobind::handle self) {
    T* p = self_of<T>(self.ptr());
    if (!p) throw nanobind::python_error();
    return *p;
}

// Throws the AttributeError of a field that does not exist yet.
[[noreturn]] inline void throw_missing(nanobind::handle self, const char* field) {
    missing_attribute(self.ptr(), field);
    throw nanobind::python_error();
}

// A number as float() converts it, and Python's TypeError otherwise: the
// value of a number field, or an item of a saved state handed to
// __setstate__ (checked before the block is rebuilt from it).
inline double field_real(nanobind::handle v) {
    double x;
    if (!to_double(v.ptr(), x)) throw nanobind::python_error();
    return x;
}

// None as no value, anything else as field_real reads it; and back.
inline std::optional<double> optional_real(nanobind::handle v) {
    if (v.is_none()) return std::nullopt;
    return field_real(v);
}
inline nanobind::object optional_float(const std::optional<double>& v) {
    return v ? nanobind::object(nanobind::float_(*v)) : nanobind::none();
}

// Items of a saved state, checked before the block is rebuilt from them.
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

// --- fields ------------------------------------------------------------
//
// Every field is a property named after itself, so CPython words the
// refusals of a read-only field or a deletion ("property '_cache' of 'Delay'
// object has no setter"). Setters take any object and convert it themselves:
// a value of the wrong kind is refused with Python's own message (that of
// float() for a number field) and the field keeps its value.

// Names the property `name` of `cls` after its field.
inline void name_property(nanobind::handle cls, const char* name) {
    nanobind::getattr(cls, name).attr("__set_name__")(cls, name);
}

// get(T&), or get(T&, self) for a getter that words a missing field.
template <class T, class Get> decltype(auto) read_field(const Get& get, nanobind::handle self) {
    if constexpr (std::is_invocable_v<const Get&, T&>)
        return get(ready<T>(self));
    else
        return get(ready<T>(self), self);
}

// A field read by get and written by set(T&, nb::handle).
template <class T, class Class, class Get, class Set>
void def_field(Class& cls, const char* name, Get get, Set set, const char* doc = "") {
    cls.def_prop_rw(
        name, [get](nanobind::handle self) { return read_field<T>(get, self); },
        [set](nanobind::handle self, nanobind::handle v) {
            T& t = ready<T>(self);
            Busy<T> busy(t);
            set(t, v);
        },
        nanobind::for_setter(nanobind::arg("value").none()), doc);
    name_property(cls, name);
}

template <class T, class Class, class Get>
void def_readonly(Class& cls, const char* name, Get get, const char* doc = "") {
    cls.def_prop_ro(name, [get](nanobind::handle self) { return read_field<T>(get, self); }, doc);
    name_property(cls, name);
}

// The value of an integer field, as operator.index() converts it.
inline nanobind::object field_index(nanobind::handle v) {
    PyObject* i = PyNumber_Index(v.ptr());
    if (!i) throw nanobind::python_error();
    return nanobind::steal(i);
}

// A field that holds an object of `type` (or a subclass):
// "_u_dict must be a dict, not NoneType".
inline nanobind::object field_kind(nanobind::handle v, const char* field, PyTypeObject* type) {
    if (!PyObject_TypeCheck(v.ptr(), type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a %s, not %.200s", field, type->tp_name,
                     Py_TYPE(v.ptr())->tp_name);
        throw nanobind::python_error();
    }
    return nanobind::borrow(v);
}

// A number field held as a double reached through ref(T&) -> double&.
template <class T, class Class, class Ref>
void def_real(Class& cls, const char* name, Ref ref, const char* doc = "") {
    def_field<T>(
        cls, name, [ref](T& t) { return static_cast<double>(ref(t)); },
        [ref](T& t, nanobind::handle v) { ref(t) = field_real(v); }, doc);
}

// A truth-valued field held as a bool reached through ref(T&) -> bool&;
// any object is taken by its truth value.
template <class T, class Class, class Ref>
void def_flag(Class& cls, const char* name, Ref ref, const char* doc = "") {
    def_field<T>(
        cls, name, [ref](T& t) { return static_cast<bool>(ref(t)); },
        [ref](T& t, nanobind::handle v) { ref(t) = state_bool(v); }, doc);
}

// A field that holds an object of `type`, such as a live dict.
template <class T, nanobind::object T::* Member, class Class>
void def_kind_field(Class& cls, const char* name, PyTypeObject* type, const char* doc = "") {
    def_field<T>(
        cls, name, [](T& t) { return t.*Member; },
        [name, type](T& t, nanobind::handle v) { t.*Member = field_kind(v, name, type); }, doc);
}

// A field callers may set to any object, as on a plain Python object; what
// the object must be is checked where a call uses it.
template <class T, nanobind::object T::* Member, class Class>
void def_object_field(Class& cls, const char* name, const char* doc = "") {
    def_field<T>(
        cls, name, [](T& t) { return t.*Member; },
        [](T& t, nanobind::handle v) { t.*Member = nanobind::borrow(v); }, doc);
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

// Breaks cycles by setting every object field to None (those `which`
// selects); the block stays usable (its calls then fail as they would with
// None in those fields).
template <class T, class Which> int clear_objects(PyObject* self, Which&& which) noexcept {
    if (nanobind::inst_ready(self))
        nanobind::inst_ptr<T>(self)->for_each_object([&](nanobind::object& o) {
            if (which(o)) o = nanobind::none();
        });
    return 0;
}
template <class T> int clear_objects(PyObject* self) noexcept {
    return clear_objects<T>(self, [](nanobind::object&) { return true; });
}

} // namespace korvel::pyglue
