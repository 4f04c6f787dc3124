// The values a simulator keeps in place of its _u_dict and _y_dict while
// nothing has asked for the dicts (see MimoObj::u_objs): a step on plain
// values then runs no Python code and writes no dict.
#include <utility>
#include <vector>

#include "algorithm/plantmodels.hpp"

namespace korvel::plantmodels {

namespace {

// Whether `d` is an exact dict of exactly `keys` (identity, in order) with
// plain numbers for values; then `out` holds the values.
template <class Keys> bool plain_dict(PyObject* d, const Keys& keys, std::vector<nb::object>& out) {
    if (!PyDict_CheckExact(d) || !same_keys(d, keys)) return false;
    out.clear();
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!(PyFloat_CheckExact(v) || PyLong_CheckExact(v))) return false;
        out.push_back(nb::borrow(v));
    }
    return true;
}

// The value a kept CV value stands for.
nb::object y_object(const MimoObj& s, std::size_t r) {
    return s.y_objs[r].is_valid() ? s.y_objs[r] : nb::float_(s.y_vals[r]);
}

// {tag: value} of the kept values (what copy_mapping gives of the dicts).
nb::object kept_inputs(const MimoObj& s) {
    nb::object d = checked(PyDict_New());
    for (std::size_t j = 0; j < s.mv_keys.size(); ++j)
        if (PyDict_SetItem(d.ptr(), s.mv_keys[j].ptr(), s.u_objs[j].ptr()) < 0) raise();
    return d;
}

} // namespace

nb::object kept_outputs(const MimoObj& s) {
    nb::object d = checked(PyDict_New());
    for (std::size_t r = 0; r < s.cv_tags.size(); ++r)
        if (PyDict_SetItem(d.ptr(), s.cv_tags[r], y_object(s, r).ptr()) < 0) raise();
    return d;
}

void unmake_dicts(MimoObj& s) {
    std::vector<nb::object> u, y;
    if (!s.plain_rows || !plain_dict(s.u_dict.ptr(), s.mv_keys, u) ||
        !plain_dict(s.y_dict.ptr(), s.cv_tags, y))
        return;
    s.u_objs = std::move(u);
    s.y_objs = std::move(y);
    s.u_dict = nb::object();
    s.y_dict = nb::object();
}

void make_dicts(MimoObj& s) {
    if (s.u_dict.is_valid()) return;
    // str keys and numbers: no Python code runs while they are made.
    nb::object u = kept_inputs(s), y = kept_outputs(s);
    s.u_dict = std::move(u);
    s.y_dict = std::move(y);
    s.u_objs.clear();
    s.y_objs.clear();
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

bool virtual_step(MimoObj& s, const PlantmodelsApi::Inputs& in) {
    if (s.u_dict.is_valid() || !s.adapters.empty() || !s.plain_rows) return false;
    for (Py_ssize_t i = 0; i < in.n; ++i) {
        const Py_ssize_t k = mv_of(s, in.tags[i]);
        if (k >= 0 && s.u_objs[static_cast<std::size_t>(k)].ptr() != in.objects[i])
            s.u_objs[static_cast<std::size_t>(k)] = nb::borrow(in.objects[i]);
    }
    const std::size_t n_mv = s.mv_keys.size();
    s.u.resize(n_mv);
    for (std::size_t j = 0; j < n_mv; ++j)
        plain_double(s.u_objs[j].ptr(), s.u[j]);
    PyObject* v = in.v;
    const bool no_v = PyDict_GET_SIZE(v) == 0;
    korvel::mimo_step(
        s.bank, n_mv, [&](std::size_t r, std::size_t j) { return s.u[j] - s.rows[r].u_ini[j]; },
        [&](std::size_t r) {
            if (no_v) return 0.0;
            PyObject* d = dict_get(v, s.cv_tags[r]);
            if (!d && PyErr_Occurred()) raise();
            return d ? field_real(d) : 0.0;
        },
        [&](std::size_t r) { return s.rows[r].y_ini; },
        [&](std::size_t r, double y) {
            s.y_vals[r] = y;
            s.y_objs[r] = nb::object();
        });
    return true;
}

nb::object inputs_copy(const MimoObj& s) {
    return s.u_dict.is_valid() ? copy_mapping(s.u_dict) : kept_inputs(s);
}
nb::object outputs_copy(const MimoObj& s) {
    return s.y_dict.is_valid() ? copy_mapping(s.y_dict) : kept_outputs(s);
}

} // namespace korvel::plantmodels
