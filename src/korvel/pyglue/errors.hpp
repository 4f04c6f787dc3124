// Errors between C++ and Python: a C++ function leaves with the Python error
// that is set (nb::python_error), and a raw slot turns whatever C++ exception
// reaches it into the Python exception the block documents, so none escapes
// into the interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/errors.hpp>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <system_error>

namespace korvel::pyglue {

namespace nb = nanobind;

// Leaves a C++ function with the Python error that is set.
[[noreturn]] inline void raise() {
    throw nb::python_error();
}

// A new reference from the C API, or the error it set.
inline nb::object checked(PyObject* o) {
    if (!o) raise();
    return nb::steal(o);
}

// `TypeError` (or another type) with a formatted message, thrown.
template <class... A>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    raise();
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

} // namespace korvel::pyglue
