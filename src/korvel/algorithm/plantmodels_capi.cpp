// The C interface of plantmodels: gainsched steps its local MIMOSims through
// it, with no Python call and, where nothing else can look, no dict writes
// until Python next reaches the simulator.
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

// Whether `d` holds exactly `keys`, in order.
template <class Keys> bool same_keys(PyObject* d, const Keys& keys) noexcept {
    if (static_cast<std::size_t>(PyDict_GET_SIZE(d)) != keys.size()) return false;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    for (std::size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
        PyObject* want;
        if constexpr (std::is_same_v<typename Keys::value_type, PyObject*>)
            want = keys[i];
        else
            want = keys[i].ptr();
        if (k != want) return false;
    }
    return true;
}

// Whether a step of `s` with plain inputs can be deferred: no Python code
// would run (models of the library's own), nothing else holds the
// simulator's dicts, and they are as reset() made them.
bool deferrable(MimoObj& s) {
    if (s.busy || !s.adapters.empty() || !s.plain_rows) return false;
    PyObject *ud = s.u_dict.ptr(), *yd = s.y_dict.ptr();
    if (!PyDict_CheckExact(ud) || !PyDict_CheckExact(yd) || Py_REFCNT(ud) != 1 ||
        Py_REFCNT(yd) != 1)
        return false;
    if (!s.u_current) {
        if (!same_keys(ud, s.mv_keys) || !same_keys(yd, s.cv_tags)) return false;
        s.u.resize(s.mv_keys.size());
        s.u_bad.resize(s.mv_keys.size());
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        for (std::size_t j = 0; PyDict_Next(ud, &pos, &tag, &value); ++j) {
            if (!plain_double(value, s.u[j])) return false;
            s.u_bad[j] = nb::object();
        }
        s.u_current = true;
    }
    return true;
}

// The MV a caller's tag names, or -1: mostly the very objects of the model
// dictionary, others are looked up.
Py_ssize_t mv_of(MimoObj& s, PyObject* tag) {
    for (std::size_t k = 0; k < s.mv_keys.size(); ++k)
        if (s.mv_keys[k].ptr() == tag) return static_cast<Py_ssize_t>(k);
    PyObject* j = PyDict_GetItemWithError(s.mv_index.ptr(), tag);
    if (!j && PyErr_Occurred()) raise();
    return j ? PyLong_AsSsize_t(j) : -1;
}

} // namespace

int capi_mimo_step_inputs(PyObject* sim, const PlantmodelsApi::Inputs* in,
                          PlantmodelsApi::Outputs* out) {
    MimoObj* s = native(sim);
    if (!s) return 1;
    try {
        if (!deferrable(*s)) return 1;
        Busy<MimoObj> busy(*s); // a tag of another kind may compare in Python
        for (Py_ssize_t i = 0; i < in->n; ++i) {
            const Py_ssize_t k = mv_of(*s, in->tags[i]);
            if (k < 0) continue;
            if (s->u_pending[k].ptr() != in->objects[i])
                s->u_pending[k] = nb::borrow(in->objects[i]);
            s->u_pending_any = true;
            s->u[k] = in->values[i];
            if (s->u_bad[k].is_valid()) s->u_bad[k] = nb::object();
        }
        PyObject* v = in->v;
        const bool no_v = PyDict_GET_SIZE(v) == 0;
        korvel::mimo_step(
            s->bank, s->u.size(),
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
                s->y_pending = r + 1;
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
    return s ? s->y_dict.ptr() : nullptr;
}

} // namespace korvel::plantmodels
