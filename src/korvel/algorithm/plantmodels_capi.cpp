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
        step(*s, u, v);
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

namespace {

bool plain_number(PyObject* o) noexcept {
    return PyFloat_CheckExact(o) || PyLong_CheckExact(o);
}

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

// Whether a step of `s` with u and v can be deferred: no Python code would
// run (plain numbers and dicts only, models of the library's own), nothing
// else holds the simulator's dicts, and they are as reset() made them.
bool deferrable(MimoObj& s, PyObject* u, PyObject* v) {
    if (s.busy || !s.adapters.empty() || !s.plain_rows) return false;
    PyObject *ud = s.u_dict.ptr(), *yd = s.y_dict.ptr();
    if (!PyDict_CheckExact(ud) || !PyDict_CheckExact(yd) || Py_REFCNT(ud) != 1 ||
        Py_REFCNT(yd) != 1 || !PyDict_CheckExact(u) || !PyDict_CheckExact(v))
        return false;
    PyObject *k, *x;
    for (Py_ssize_t pos = 0; PyDict_Next(u, &pos, &k, &x);)
        if (!PyUnicode_CheckExact(k) || !plain_number(x)) return false;
    for (Py_ssize_t pos = 0; PyDict_Next(v, &pos, &k, &x);)
        if (!PyUnicode_CheckExact(k) || !plain_number(x)) return false;
    if (!s.u_current) {
        if (!same_keys(ud, s.mv_keys) || !same_keys(yd, s.cv_tags)) return false;
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        for (std::size_t j = 0; PyDict_Next(ud, &pos, &tag, &value); ++j) {
            if (!plain_number(value)) return false;
            convert(value, s.u[j], s.u_bad[j]);
        }
        s.u_current = true;
    }
    return true;
}

} // namespace

int capi_mimo_step_deferred(PyObject* sim, PyObject* u, PyObject* v, PlantmodelsApi::Outputs* out) {
    MimoObj* s = native(sim);
    if (!s) return 1;
    try {
        if (!s->u_current) {
            s->u.resize(s->mv_keys.size());
            s->u_bad.resize(s->mv_keys.size());
        }
        if (!deferrable(*s, u, v)) return 1;
        PyObject *tag, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(u, &pos, &tag, &value);) {
            // The caller's tags are mostly the very objects of the model
            // dictionary; others are looked up.
            std::size_t k = 0;
            while (k < s->mv_keys.size() && s->mv_keys[k].ptr() != tag)
                ++k;
            if (k == s->mv_keys.size()) {
                PyObject* j = PyDict_GetItemWithError(s->mv_index.ptr(), tag);
                if (!j) {
                    if (PyErr_Occurred()) raise();
                    continue;
                }
                k = static_cast<std::size_t>(PyLong_AsSsize_t(j));
            }
            s->u_pending[k] = nb::borrow(value);
            s->u_pending_any = true;
            convert(value, s->u[k], s->u_bad[k]);
        }
        const bool no_v = PyDict_GET_SIZE(v) == 0;
        korvel::mimo_step(
            s->bank, s->u.size(),
            [&](std::size_t r, std::size_t j) { return s->u[j] - s->rows[r].u_ini[j]; },
            [&](std::size_t r) {
                if (no_v) return 0.0;
                PyObject* d = PyDict_GetItemWithError(v, s->cv_tags[r]);
                if (!d && PyErr_Occurred()) raise();
                return d ? number(d) : 0.0;
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

PyObject* capi_mimo_outputs(PyObject* sim) {
    MimoObj* s = self_of<MimoObj>(sim);
    return s ? s->y_dict.ptr() : nullptr;
}

} // namespace korvel::plantmodels
