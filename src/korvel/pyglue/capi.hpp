// The C interfaces modules publish for one another, in CPython's convention
// (datetime's and NumPy's): a versioned table of functions behind a capsule
// named "korvel.algorithm.<module>._C_API". A module that uses another
// module's objects imports its table instead of its instance layout, so each
// module is free to change its own; a table only grows, and a user asks for
// the version it was written against.
//
// Every function returns 0 on success, -1 with a Python error set, or 1 when
// the object is not one the publishing module steps natively (a subclass
// written in Python, or another object altogether); the caller then goes
// through Python.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <vector>

#include "number.hpp"

namespace korvel::pyglue {

// korvel.algorithm.tfblock
struct TfblockApi {
    static constexpr unsigned version = 1;
    static constexpr const char* capsule = "korvel.algorithm.tfblock._C_API";
    unsigned api_version;
    // One sample of an sFilter with Ut = u and the default y_ini, as calling it
    // does; *y is its output.
    int (*sfilter_step)(PyObject* filter, double u, double* y);
};

// korvel.algorithm.plantmodels
struct PlantmodelsApi {
    static constexpr unsigned version = 2;
    static constexpr const char* capsule = "korvel.algorithm.plantmodels._C_API";
    unsigned api_version;
    // One step of a MIMOSim as calling sim(u, v) does, without the copy of
    // the outputs it returns: they are in its _y_dict.
    int (*mimo_step)(PyObject* sim, PyObject* u, PyObject* v);
    // The simulator's _y_dict (borrowed), or nullptr with TypeError.
    PyObject* (*mimo_outputs)(PyObject* sim);
    // The same step as mimo_step, when it can run without Python code (plain
    // dicts of numbers, the library's own models); the CV values (in the
    // order of its _y_dict) are in *out until its next step. 1 when it
    // cannot; mimo_step then serves. (Named for what it once did: it defers
    // nothing now; the simulator's dicts are exact at every step.)
    struct Outputs {
        Py_ssize_t n;
        PyObject* const* tags;
        const double* values;
    };
    int (*mimo_step_deferred)(PyObject* sim, PyObject* u, PyObject* v, Outputs* out);

    // Version 2. The same plain step with MV values the caller has read
    // once (PlainInputs) for every simulator it steps with them.
    struct Inputs {
        Py_ssize_t n;             // MV values
        PyObject* const* tags;    // str
        PyObject* const* objects; // int or float, as given
        const double* values;     // the same as doubles
        PyObject* v;              // the disturbances: a dict of str tags and numbers
    };
    int (*mimo_step_inputs)(PyObject* sim, const Inputs* in, Outputs* out);
};

// MV values and disturbances in the form a plain step takes them: exact
// dicts of str tags and plain numbers (int or float), read once. Anything
// else needs Python code to read, and the step then goes through Python.
class PlainInputs {
  public:
    // False when u or v is not plain (no error is left set).
    bool read(PyObject* u, PyObject* v) {
        tags_.clear();
        objects_.clear();
        values_.clear();
        v_ = v;
        if (!PyDict_CheckExact(u) || !PyDict_CheckExact(v)) return false;
        PyObject *k, *x;
        for (Py_ssize_t pos = 0; PyDict_Next(v, &pos, &k, &x);)
            if (!PyUnicode_CheckExact(k) || !(PyFloat_CheckExact(x) || PyLong_CheckExact(x)))
                return false;
        for (Py_ssize_t pos = 0; PyDict_Next(u, &pos, &k, &x);) {
            double d;
            if (!PyUnicode_CheckExact(k) || !plain_double(x, d)) return false;
            tags_.push_back(k);
            objects_.push_back(x);
            values_.push_back(d);
        }
        return true;
    }

    // Valid while the dicts read stay unchanged.
    PlantmodelsApi::Inputs view() const noexcept {
        return {static_cast<Py_ssize_t>(tags_.size()), tags_.data(), objects_.data(),
                values_.data(), v_};
    }

  private:
    std::vector<PyObject*> tags_, objects_;
    std::vector<double> values_;
    PyObject* v_ = nullptr;
};

template <class Api> void publish(nanobind::module_& m, const Api* api) {
    PyObject* cap = PyCapsule_New(const_cast<Api*>(api), Api::capsule, nullptr);
    if (!cap || PyModule_AddObject(m.ptr(), "_C_API", cap) < 0) {
        Py_XDECREF(cap);
        throw nanobind::python_error();
    }
}

// The table a module published (importing it), checked for its version.
template <class Api> const Api* import_api() {
    auto* api = static_cast<const Api*>(PyCapsule_Import(Api::capsule, 0));
    if (!api) throw nanobind::python_error();
    if (api->api_version < Api::version) {
        PyErr_Format(PyExc_ImportError, "%s has version %u, %u is needed", Api::capsule,
                     api->api_version, Api::version);
        throw nanobind::python_error();
    }
    return api;
}

} // namespace korvel::pyglue
