// The C interface of plantmodels: gainsched steps its local MIMOSims through
// it, with no Python call where their dicts and values are plain.
#include <type_traits>

#include "algorithm/plantmodels.hpp"

namespace korvel::plantmodels {

namespace {

// The library's own simulators (a subclass may step differently).
MimoObj* native(PyObject* sim) {
    PyTypeObject* t = Py_TYPE(sim);
    if ((t != types.mimo && t != types.siso) || !nb::inst_ready(sim)) return nullptr;
    return nb::inst_ptr<MimoObj>(sim);
}

} // namespace

int capi_mimo_step(PyObject* sim, PyObject* u, PyObject* v) {
    if (!native(sim)) return 1;
    MimoObj* s = self_of<MimoObj>(sim);
    if (!s) return -1;
    try {
        Busy<MimoObj> busy(*s);
        step(*s, u, v);
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

namespace {

// Whether a step of `s` can run without Python code: models of the
// library's own and initial values that are numbers.
bool plain_models(const MimoObj& s) {
    return s.adapters.empty() && s.plain_rows;
}

} // namespace

int capi_mimo_step_inputs(PyObject* sim, const PlantmodelsApi::Inputs* in,
                          PlantmodelsApi::Outputs* out) {
    MimoObj* s = native(sim);
    if (!s) return 1;
    if (s->busy) {
        refuse_reentry(sim);
        return -1;
    }
    try {
        if (!s->u_dict.is_valid()) {
            Busy<MimoObj> busy(*s);
            if (!virtual_step(*s, *in)) return 1;
            *out = {static_cast<Py_ssize_t>(s->rows.size()), s->cv_tags.data(), s->y_vals.data()};
            return 0;
        }
        PyObject *ud = s->u_dict.ptr(), *yd = s->y_dict.ptr();
        if (!plain_models(*s) || !PyDict_CheckExact(ud) || !PyDict_CheckExact(yd) ||
            !same_keys(yd, s->cv_tags))
            return 1;
        // Tags and numbers of plain kinds from here on: no Python code runs.
        Busy<MimoObj> busy(*s);
        const std::size_t n_mv = s->mv_keys.size();
        s->u.resize(n_mv);
        s->u_bad.assign(n_mv, nb::object());
        s->u_new.assign(n_mv, nullptr);
        for (Py_ssize_t i = 0; i < in->n; ++i) {
            const Py_ssize_t k = mv_of(*s, in->tags[i]);
            if (k >= 0) s->u_new[static_cast<std::size_t>(k)] = in->objects[i];
        }
        // One pass over _u_dict, as reset() made it: new values in, and
        // every value (a plain number) read.
        if (static_cast<std::size_t>(PyDict_GET_SIZE(ud)) != n_mv) return 1;
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        for (std::size_t j = 0; PyDict_Next(ud, &pos, &tag, &value); ++j) {
            if (tag != s->mv_keys[j].ptr()) return 1;
            PyObject* given = s->u_new[j];
            if (given && given != value) {
                // A value replaced under its key: the keys stay as they are.
                if (PyDict_SetItem(ud, tag, given) < 0) raise();
                value = given;
            }
            if (!plain_double(value, s->u[j])) return 1;
        }
        PyObject* v = in->v;
        const bool no_v = PyDict_GET_SIZE(v) == 0;
        korvel::mimo_step(
            s->bank, n_mv,
            [&](std::size_t r, std::size_t j) { return s->u[j] - s->rows[r].u_ini[j]; },
            [&](std::size_t r) {
                if (no_v) return 0.0;
                PyObject* d = dict_get(v, s->cv_tags[r]);
                if (!d && PyErr_Occurred()) raise();
                return d ? field_real(d) : 0.0;
            },
            [&](std::size_t r) { return s->rows[r].y_ini; },
            [&](std::size_t r, double y) {
                s->y_vals[r] = y;
                if (store_float(yd, s->cv_tags[r], y) < 0) raise();
            });
        *out = {static_cast<Py_ssize_t>(s->rows.size()), s->cv_tags.data(), s->y_vals.data()};
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

int capi_mimo_step_deferred(PyObject* sim, PyObject* u, PyObject* v, PlantmodelsApi::Outputs* out) {
    // Under the GIL, and no Python code runs while the inputs are in use.
    static PlainInputs plain;
    try {
        if (!native(sim) || !plain.read(u, v)) return 1;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
    const PlantmodelsApi::Inputs in = plain.view();
    return capi_mimo_step_inputs(sim, &in, out);
}

PyObject* capi_mimo_outputs(PyObject* sim) {
    MimoObj* s = self_of<MimoObj>(sim);
    if (!s) return nullptr;
    try {
        make_dicts(*s);
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
    return s->y_dict.ptr();
}

} // namespace korvel::plantmodels
