// The docstring of a callable block's call operation.
//
// CPython gives the `__call__` entry of a class with a tp_call slot the
// generic text "Call self as a function." and no signature. def_call_doc
// replaces that entry by the same wrapper (same slot function, same calling
// convention) whose docstring is led by the operation's text signature, so
// help() and inspect.signature() show the block's own parameters. The call
// slot itself, the vectorcall entry and what subclasses inherit are left as
// they are: a subclass still finds a wrapper of the same slot.
//
// The wrapper's table entry and slot function are read from the fields
// d_base and d_wrapped of PyWrapperDescrObject (cpython/descrobject.h, not the
// limited API), as CPython 3.13 lays them out; there is no public call that
// makes a documented wrapper of an existing slot. tests/python/test_stubs.py
// holds every call operation's text signature, read through inspect, and
// fails when that layout changes.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include "args.hpp"

namespace korvel::pyglue {

inline void def_call_doc(nanobind::handle cls, const Signature& sig, const char* text) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    nanobind::object dict = nanobind::steal(PyType_GetDict(tp));
    PyObject* entry = PyDict_GetItemString(dict.ptr(), "__call__"); // borrowed
    if (!entry || !Py_IS_TYPE(entry, &PyWrapperDescr_Type)) {
        PyErr_Format(PyExc_SystemError, "%s has no call slot to document", tp->tp_name);
        throw nanobind::python_error();
    }
    const auto* wrapper = reinterpret_cast<PyWrapperDescrObject*>(entry);
    // CPython keeps the pointer to the wrapper table: it lives for the process.
    auto* base = new wrapperbase(*wrapper->d_base);
    base->doc = sig.doc(text);
    nanobind::object documented = nanobind::steal(PyDescr_NewWrapper(tp, base, wrapper->d_wrapped));
    if (!documented.is_valid() || PyDict_SetItemString(dict.ptr(), "__call__", documented.ptr()))
        throw nanobind::python_error();
    PyType_Modified(tp);
}

} // namespace korvel::pyglue
