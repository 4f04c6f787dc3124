// MISOSimulator, MIMOSim and SISOSim. A simulator keeps its tag mappings as
// real dicts, updated in place, so what a caller reads is what the next step
// uses; the step itself is the core's mimo_step over the pair models.
#include <algorithm>
#include <type_traits>
#include <vector>

#include "algorithm/plantmodels.hpp"
#include "docstrings/plantmodels.hpp"
#include "pyglue/calldoc.hpp"

namespace korvel::plantmodels {

// A number for the step, or the source object kept to fail with later.
void convert(PyObject* o, double& v, nb::object& bad) {
    if (PyFloat_CheckExact(o)) {
        v = PyFloat_AS_DOUBLE(o);
        bad = nb::object();
        return;
    }
    if (to_double(o, v)) {
        bad = nb::object();
        return;
    }
    PyErr_Clear();
    bad = nb::borrow(o);
    v = 0.0;
}

namespace {

// --- MISOSimulator: one CV, the sum over its models.

struct MisoObj {
    nb::object model_list, u_ini_list;

    template <class F> void for_each_object(F&& f) {
        f(model_list);
        f(u_ini_list);
    }
};

const Signature sig_miso_init("__init__", {object("model_list"), object("u_ini_list")});
const Signature sig_one_step("one_step_sim", {object("u_list")});
const Signature sig_getstate("__getstate__", {});
const Signature sig_setstate("__setstate__", {object("state")});

void miso_init(PyObject* self, const Args& a) {
    emplace<MisoObj>(self, MisoObj{nb::borrow(a.obj(0)), nb::borrow(a.obj(1))});
}

// zip(model_list, u_list, u_ini_list), over what the lists hold when the
// step begins.
double miso_one_step(MisoObj& p, const Args& a) {
    // Iterating runs Python code, which may replace the fields.
    const nb::object model_list = p.model_list, u_ini_list = p.u_ini_list;
    nb::object models = checked(PySequence_Tuple(model_list.ptr()));
    nb::object u = checked(PySequence_Tuple(a.obj(0)));
    nb::object ini = checked(PySequence_Tuple(u_ini_list.ptr()));
    const auto n = static_cast<std::size_t>(std::min(
        {PyTuple_GET_SIZE(models.ptr()), PyTuple_GET_SIZE(u.ptr()), PyTuple_GET_SIZE(ini.ptr())}));
    std::vector<std::unique_ptr<PyCallModel>> adapters;
    std::vector<PairModel*> row(n);
    for (std::size_t i = 0; i < n; ++i)
        row[i] = bank_entry(PyTuple_GET_ITEM(models.ptr(), static_cast<Py_ssize_t>(i)), adapters);
    return korvel::miso_step(row.data(), n, [&](std::size_t i) {
        const auto k = static_cast<Py_ssize_t>(i);
        return field_real(PyTuple_GET_ITEM(u.ptr(), k)) -
               field_real(PyTuple_GET_ITEM(ini.ptr(), k));
    });
}

nb::object miso_getstate(MisoObj& p, const Args&, PyObject* self) {
    return nb::make_tuple(inst_dict(self), p.model_list, p.u_ini_list);
}

void miso_setstate(PyObject* self, const Args& a) {
    nb::tuple st = state_tuple(a.obj(0), 3);
    emplace<MisoObj>(self, MisoObj{st[1], st[2]});
    restore_dict(self, st[0]);
}

// --- MIMOSim

double value(const nb::object& bad, double v) {
    return bad.is_valid() ? field_real(bad.ptr()) : v;
}

// Rebuilds what the step loop runs from cv_simulators: one bank row per CV,
// over the shorter of its model and initial-value lists.
void rebuild(MimoObj& s) {
    ModelBank bank;
    std::vector<CvRow> rows;
    std::vector<nb::object> keep;
    std::vector<std::unique_ptr<PyCallModel>> adapters;
    // {mv: position in _u_dict as reset() makes it}
    nb::object index = checked(PyDict_New());
    std::vector<nb::object> mv_keys;
    {
        const nb::object mv_list = s.mv_list;
        nb::object mvs = checked(PySequence_Fast(mv_list.ptr(), "mv_list must be iterable"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(mvs.ptr()); ++i) {
            PyObject* mv = PySequence_Fast_GET_ITEM(mvs.ptr(), i);
            const int has = PyDict_Contains(index.ptr(), mv);
            if (has < 0) raise();
            if (has) continue;
            nb::object pos = checked(PyLong_FromSsize_t(static_cast<Py_ssize_t>(mv_keys.size())));
            if (PyDict_SetItem(index.ptr(), mv, pos.ptr()) < 0) raise();
            mv_keys.push_back(nb::borrow(mv));
        }
    }
    nb::object pairs = items_of(s.cv_simulators);
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(pairs.ptr()); ++r) {
        auto pair = unpack(PySequence_Fast_GET_ITEM(pairs.ptr(), r), 2);
        const nb::object &cv = pair[0], &miso = pair[1];
        nb::object models =
            checked(PySequence_Fast(checked(PyObject_GetAttr(miso.ptr(), names.model_list)).ptr(),
                                    "model_list must be iterable"));
        nb::object inis =
            checked(PySequence_Fast(checked(PyObject_GetAttr(miso.ptr(), names.u_ini_list)).ptr(),
                                    "u_ini_list must be iterable"));
        const Py_ssize_t n =
            std::min(PySequence_Fast_GET_SIZE(models.ptr()), PySequence_Fast_GET_SIZE(inis.ptr()));
        std::vector<PairModel*> ptrs;
        CvRow row;
        row.cv = cv;
        row.u_ini.resize(static_cast<std::size_t>(n));
        row.u_ini_bad.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t j = 0; j < n; ++j) {
            nb::object m = nb::borrow(PySequence_Fast_GET_ITEM(models.ptr(), j));
            ptrs.push_back(bank_entry(m.ptr(), adapters));
            keep.push_back(std::move(m));
            const auto k = static_cast<std::size_t>(j);
            convert(PySequence_Fast_GET_ITEM(inis.ptr(), j), row.u_ini[k], row.u_ini_bad[k]);
        }
        nb::object y_ini = get_or(s.ini_value_dict, cv, names.fzero);
        convert(y_ini.ptr(), row.y_ini, row.y_ini_bad);
        bank.add_row(std::move(ptrs));
        rows.push_back(std::move(row));
    }
    // Numbers for initial values and str tags: a step on plain inputs then
    // runs no Python code at all (no conversion, no hash or comparison of
    // a tag of another kind).
    bool plain = true;
    std::vector<PyObject*> tags;
    for (const CvRow& row : rows) {
        tags.push_back(row.cv.ptr());
        plain = plain && !row.y_ini_bad.is_valid() && PyUnicode_CheckExact(row.cv.ptr());
        for (const auto& bad : row.u_ini_bad)
            plain = plain && !bad.is_valid();
    }
    for (const nb::object& mv : mv_keys)
        plain = plain && PyUnicode_CheckExact(mv.ptr());
    s.bank = std::move(bank);
    s.rows = std::move(rows);
    s.keep = std::move(keep);
    s.adapters = std::move(adapters);
    s.mv_index = std::move(index);
    s.mv_keys = std::move(mv_keys);
    s.y_vals.assign(s.rows.size(), 0.0);
    s.cv_tags = std::move(tags);
    s.plain_rows = plain;
}

void reset(MimoObj& s) {
    const nb::object mv_list = s.mv_list, cv_list = s.cv_list;
    nb::object mvs = checked(PySequence_Fast(mv_list.ptr(), "mv_list must be iterable"));
    nb::object cvs = checked(PySequence_Fast(cv_list.ptr(), "cv_list must be iterable"));
    nb::object u = checked(PyDict_New()), y = checked(PyDict_New()), sims = checked(PyDict_New());
    const Py_ssize_t n_mv = PySequence_Fast_GET_SIZE(mvs.ptr());
    for (Py_ssize_t j = 0; j < n_mv; ++j) {
        PyObject* mv = PySequence_Fast_GET_ITEM(mvs.ptr(), j);
        if (PyDict_SetItem(u.ptr(), mv, get_or(s.ini_value_dict, mv, names.fzero).ptr()) < 0)
            raise();
    }
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(cvs.ptr()); ++r) {
        PyObject* cv = PySequence_Fast_GET_ITEM(cvs.ptr(), r);
        if (PyDict_SetItem(y.ptr(), cv, get_or(s.ini_value_dict, cv, names.fzero).ptr()) < 0)
            raise();
    }
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(cvs.ptr()); ++r) {
        PyObject* cv = PySequence_Fast_GET_ITEM(cvs.ptr(), r);
        nb::object row = item(s.yu_model_obj, cv);
        nb::object models = checked(PyList_New(n_mv)), inis = checked(PyList_New(n_mv));
        for (Py_ssize_t j = 0; j < n_mv; ++j) {
            PyObject* mv = PySequence_Fast_GET_ITEM(mvs.ptr(), j);
            PyList_SET_ITEM(models.ptr(), j, item(row, mv).release().ptr());
            PyList_SET_ITEM(inis.ptr(), j,
                            get_or(s.ini_value_dict, mv, names.fzero).release().ptr());
        }
        nb::object sim = checked(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject*>(types.miso), models.ptr(), inis.ptr(), nullptr));
        if (PyDict_SetItem(sims.ptr(), cv, sim.ptr()) < 0) raise();
    }
    s.u_dict = std::move(u);
    s.y_dict = std::move(y);
    s.cv_simulators = std::move(sims);
    rebuild(s);
    unmake_dicts(s);
}

} // namespace

namespace {

// Everything a constructor does after binding its arguments.
MimoObj build_mimo(nb::handle model_dict, nb::handle ini_values, nb::handle Ts) {
    MimoObj s;
    s.Ts = nb::borrow(Ts);
    s.process_model_dict = deep_copy(model_dict);
    auto [cvs, mvs] = model_tags(model_dict);
    s.cv_list = cvs;
    s.mv_list = mvs;
    s.ini_value_dict = deep_copy(ini_values);
    nb::object yu = checked(PyDict_New());
    for (nb::handle cv : cvs) {
        nb::object row = checked(PyDict_New());
        if (PyDict_SetItem(yu.ptr(), cv.ptr(), row.ptr()) < 0) raise();
        nb::object entry = item(nb::borrow(model_dict), cv.ptr());
        for (nb::handle mv : mvs) {
            nb::object empty = checked(PyDict_New());
            nb::object m = wrap(build_pair(get_or(entry, mv, empty.ptr()), Ts));
            if (PyDict_SetItem(row.ptr(), mv.ptr(), m.ptr()) < 0) raise();
        }
    }
    s.yu_model_obj = std::move(yu);
    reset(s);
    return s;
}

// Constructs or replaces the payload of a MIMOSim (or SISOSim) object.
void put_mimo(PyObject* self, MimoObj&& s) {
    if (nb::inst_ready(self)) {
        MimoObj& old = *nb::inst_ptr<MimoObj>(self);
        if (old.busy) {
            refuse_reentry(self);
            raise();
        }
        swap_in(old, std::move(s));
        return;
    }
    void* p = nb::inst_ptr<void>(self);
    if (PyType_IsSubtype(Py_TYPE(self), types.siso))
        new (p) SisoObj(std::move(s));
    else
        new (p) MimoObj(std::move(s));
    nb::inst_mark_ready(self);
}

const Signature sig_mimo_init("__init__", {dict("process_model_dict"),
                                           object("ini_value_dict", "{}"), object("Ts", "1")});
const Signature sig_siso_init("__init__", {object("gain"), object("tao"), object("delay", "0"),
                                           object("Ts", "1"), object("integralMark", "0")});
const Signature sig_mimo_call("__call__",
                              {object("u_Value_Dict", "{}"), object("v_Value_Dict", "{}")});
const Signature sig_reset("reset", {});
const Signature sig_tags("get_process_tags", {});
const Signature sig_input("get_input_data_dict", {});
const Signature sig_output("get_output_data_dict", {});
const Signature sig_all("get_all_data_dict", {});
const Signature sig_cvs("get_cv_list", {});
const Signature sig_mvs("get_mv_list", {});
const Signature sig_model_dict("get_model_dict", {});
const Signature sig_mimo_plot("plot_model_stp", {object("plotLen", "300")});

void mimo_init(PyObject* self, const Args& a) {
    // A fresh dict each time: the default is shared.
    nb::object ini = a.given(1) ? nb::borrow(a.obj(1)) : checked(PyDict_New());
    put_mimo(self, build_mimo(a.obj(0), ini, a.obj(2)));
}

void siso_init(PyObject* self, const Args& a) {
    nb::object spec = checked(Py_BuildValue("{s:s,s:[iO],s:[Oi],s:O,s:O}", "mode", "tf_s", "num_s",
                                            0, a.obj(0), "den_s", a.obj(1), 1, "iodelay_s",
                                            a.obj(2), "IntegralMark", a.obj(4)));
    nb::object model_dict = checked(Py_BuildValue("{s:{s:O}}", "CV", "MV", spec.ptr()));
    nb::object ini = checked(Py_BuildValue("{s:d,s:d}", "CV", 0.0, "MV", 0.0));
    put_mimo(self, build_mimo(model_dict, ini, a.obj(3)));
}

} // namespace

void step(MimoObj& s, PyObject* uv, PyObject* vv) {
    make_dicts(s);
    // The caller has marked the simulator busy: the fields, the bank and the
    // rows stay as they are while the tags' hashes and the values'
    // conversions run Python code. The dicts themselves may still change
    // under a reference someone kept, so each item is held while it is used.
    const nb::object u_dict = s.u_dict, y_dict = s.y_dict;
    if (!PyDict_Check(u_dict.ptr()) || !PyDict_Check(y_dict.ptr()))
        raise_format(PyExc_TypeError, "_u_dict and _y_dict must be dicts");
    // 1. MV values; other tags are ignored.
    const auto take = [&](PyObject* tag, PyObject* value) {
        const int known = PyDict_Contains(s.mv_index.ptr(), tag);
        if (known < 0) raise();
        if (known && PyDict_SetItem(u_dict.ptr(), tag, value) < 0) raise();
    };
    if (PyDict_CheckExact(uv)) {
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(uv, &pos, &tag, &value)) {
            const nb::object t = nb::borrow(tag), x = nb::borrow(value);
            take(t.ptr(), x.ptr());
        }
    } else {
        nb::object pairs = items_of(nb::borrow(uv));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.ptr()); ++i) {
            auto pair = unpack(PySequence_Fast_GET_ITEM(pairs.ptr(), i), 2);
            take(pair[0].ptr(), pair[1].ptr());
        }
    }
    // 2. The MV values in key order; one that is not a number fails where a
    // model first needs it.
    const auto n_u = static_cast<std::size_t>(PyDict_GET_SIZE(u_dict.ptr()));
    s.u.assign(n_u, 0.0);
    s.u_bad.assign(n_u, nb::object());
    {
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        for (std::size_t i = 0; i < n_u && PyDict_Next(u_dict.ptr(), &pos, &tag, &value); ++i) {
            const nb::object x = nb::borrow(value);
            convert(x.ptr(), s.u[i], s.u_bad[i]);
        }
    }
    const bool no_v = PyDict_CheckExact(vv) && PyDict_GET_SIZE(vv) == 0;
    korvel::mimo_step(
        s.bank, n_u,
        [&](std::size_t r, std::size_t j) {
            const CvRow& row = s.rows[r];
            return value(s.u_bad[j], s.u[j]) - value(row.u_ini_bad[j], row.u_ini[j]);
        },
        [&](std::size_t r) {
            return no_v ? 0.0 : field_real(get_or(nb::borrow(vv), s.rows[r].cv, names.fzero).ptr());
        },
        [&](std::size_t r) { return value(s.rows[r].y_ini_bad, s.rows[r].y_ini); },
        [&](std::size_t r, double y) {
            if (store_float(y_dict.ptr(), s.rows[r].cv.ptr(), y) < 0) raise();
        });
}

namespace {

nb::object mimo_call(MimoObj& s, const Args& a) {
    if (!s.u_dict.is_valid() && s.inputs.read(a.obj(0), a.obj(1)) &&
        virtual_step(s, s.inputs.view()))
        return kept_outputs(s);
    step(s, a.obj(0), a.obj(1));
    return copy_mapping(s.y_dict);
}

PyObject* mimo_call_step(MimoObj& s, const Args& a) {
    return mimo_call(s, a).release().ptr();
}

void mimo_reset(MimoObj& s, const Args&) {
    reset(s);
}

nb::object as_list(nb::handle o) {
    return checked(PySequence_List(o.ptr()));
}

nb::object mimo_tags(MimoObj& s, const Args&) {
    nb::object all = as_list(s.cv_list);
    nb::object mvs = as_list(s.mv_list);
    if (PyList_SetSlice(all.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, mvs.ptr()) < 0) raise();
    return all;
}

nb::object mimo_input(MimoObj& s, const Args&) {
    return inputs_copy(s);
}
nb::object mimo_output(MimoObj& s, const Args&) {
    return outputs_copy(s);
}
nb::object mimo_all(MimoObj& s, const Args&) {
    nb::object all = inputs_copy(s);
    nb::object y = outputs_copy(s);
    if (PyDict_Update(all.ptr(), y.ptr()) < 0) raise();
    return all;
}
nb::object mimo_cvs(MimoObj& s, const Args&) {
    return as_list(s.cv_list);
}
nb::object mimo_mvs(MimoObj& s, const Args&) {
    return as_list(s.mv_list);
}
nb::object mimo_model_dict(MimoObj& s, const Args&) {
    return deep_copy(s.process_model_dict);
}
void mimo_plot(MimoObj& s, const Args& a) {
    plot_stp(s.process_model_dict, s.Ts, a.obj(0));
}

nb::object mimo_getstate(MimoObj& s, const Args&, PyObject* self) {
    make_dicts(s);
    return nb::make_tuple(inst_dict(self), s.Ts, s.process_model_dict, s.cv_list, s.mv_list,
                          s.ini_value_dict, s.yu_model_obj, s.u_dict, s.y_dict, s.cv_simulators);
}

void mimo_setstate(PyObject* self, const Args& a) {
    nb::tuple st = state_tuple(a.obj(0), 10);
    MimoObj s;
    s.Ts = st[1];
    s.process_model_dict = st[2];
    s.cv_list = st[3];
    s.mv_list = st[4];
    s.ini_value_dict = st[5];
    s.yu_model_obj = st[6];
    s.u_dict = st[7];
    s.y_dict = st[8];
    s.cv_simulators = st[9];
    if (!PyDict_Check(s.u_dict.ptr()) || !PyDict_Check(s.y_dict.ptr()))
        raise_format(PyExc_ValueError, "invalid state");
    rebuild(s);
    put_mimo(self, std::move(s));
    restore_dict(self, st[0]);
}

// Breaks cycles: fields become None, the bank empties; later calls then fail
// as they would on None fields.
int mimo_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    MimoObj& s = *nb::inst_ptr<MimoObj>(self);
    MimoObj old(std::move(s)); // released last, once s is whole
    s.for_each_object([](nb::object& o) { o = nb::none(); });
    return 0;
}

// __setstate__ builds the block itself: a function of self and the state.
template <auto Fn>
PyObject* setstate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    Args a;
    if (!sig_setstate.parse(args, nargs, kwnames, a)) return nullptr;
    return guard([&]() -> PyObject* {
        Fn(self, a);
        Py_RETURN_NONE;
    });
}

} // namespace

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu) {
    nb::list cvs = keys_of(nb::borrow(yu));
    nb::list mvs;
    nb::object seen = checked(PySet_New(nullptr));
    for (nb::handle cv : cvs) {
        nb::list keys = keys_of(item(nb::borrow(yu), cv.ptr()));
        for (nb::handle mv : keys) {
            int has = PySet_Contains(seen.ptr(), mv.ptr());
            if (has < 0) { // an unhashable key: compare as a list would
                PyErr_Clear();
                has = PySequence_Contains(mvs.ptr(), mv.ptr());
                if (has < 0) raise();
            } else if (!has && PySet_Add(seen.ptr(), mv.ptr()) < 0) {
                raise();
            }
            if (!has) mvs.append(mv);
        }
    }
    return {std::move(cvs), std::move(mvs)};
}

// _u_dict and _y_dict: made when asked for, then the simulator's own.
template <nb::object MimoObj::* Member>
void def_dict_field(nb::class_<MimoObj>& cls, const char* name) {
    def_field<MimoObj>(
        cls, name,
        [](MimoObj& s) {
            make_dicts(s);
            return s.*Member;
        },
        [name](MimoObj& s, nb::handle v) {
            make_dicts(s);
            s.*Member = field_kind(v, name, &PyDict_Type);
        });
}

void def_simulators(nb::module_& m) {
    namespace doc = korvel::docstrings::plantmodels;
    static PyType_Slot miso_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_miso_init, miso_init>)},
        {Py_tp_methods, methods({
                            method<MisoObj, sig_one_step, miso_one_step>(doc::one_step_sim),
                            method<MisoObj, sig_getstate, miso_getstate>(nullptr),
                            {&sig_setstate, as_method(setstate_entry<miso_setstate>), nullptr},
                        })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<MisoObj>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<MisoObj>)},
        {0, nullptr}};
    static PyType_Slot mimo_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_mimo_init, mimo_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<MimoObj, sig_mimo_call, mimo_call_step>)},
        {Py_tp_methods, methods({
                            method<MimoObj, sig_reset, mimo_reset>(doc::reset),
                            method<MimoObj, sig_tags, mimo_tags>(doc::get_process_tags),
                            method<MimoObj, sig_input, mimo_input>(doc::get_input_data_dict),
                            method<MimoObj, sig_output, mimo_output>(doc::get_output_data_dict),
                            method<MimoObj, sig_all, mimo_all>(doc::get_all_data_dict),
                            method<MimoObj, sig_cvs, mimo_cvs>(doc::get_cv_list),
                            method<MimoObj, sig_mvs, mimo_mvs>(doc::get_mv_list),
                            method<MimoObj, sig_model_dict, mimo_model_dict>(doc::get_model_dict),
                            method<MimoObj, sig_mimo_plot, mimo_plot>(doc::mimo_plot),
                            method<MimoObj, sig_getstate, mimo_getstate>(nullptr),
                            {&sig_setstate, as_method(setstate_entry<mimo_setstate>), nullptr},
                        })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<MimoObj>)},
        {Py_tp_clear, reinterpret_cast<void*>(mimo_clear)},
        {0, nullptr}};
    static PyType_Slot siso_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_siso_init, siso_init>)}, {0, nullptr}};

    nb::class_<MisoObj> miso_cls(m, "MISOSimulator", nb::type_slots(miso_slots),
                                 sig_miso_init.class_doc("MISOSimulator", doc::MISOSimulator));
    def_object_field<MisoObj, &MisoObj::model_list>(miso_cls, "model_list", doc::model_list);
    def_object_field<MisoObj, &MisoObj::u_ini_list>(miso_cls, "u_ini_list", doc::u_ini_list);

    nb::class_<MimoObj> mimo_cls(m, "MIMOSim", nb::type_slots(mimo_slots),
                                 sig_mimo_init.class_doc("MIMOSim", doc::MIMOSim));
    def_call_doc(mimo_cls, sig_mimo_call, doc::mimo_call);
    def_object_field<MimoObj, &MimoObj::Ts>(mimo_cls, "Ts", doc::Ts);
    def_object_field<MimoObj, &MimoObj::process_model_dict>(mimo_cls, "process_model_dict",
                                                            doc::process_model_dict);
    def_object_field<MimoObj, &MimoObj::cv_list>(mimo_cls, "cv_list", doc::cv_list);
    def_object_field<MimoObj, &MimoObj::mv_list>(mimo_cls, "mv_list", doc::mv_list);
    def_object_field<MimoObj, &MimoObj::ini_value_dict>(mimo_cls, "ini_value_dict",
                                                        doc::ini_value_dict);
    def_object_field<MimoObj, &MimoObj::yu_model_obj>(mimo_cls, "yu_model_obj", doc::yu_model_obj);
    def_object_field<MimoObj, &MimoObj::cv_simulators>(mimo_cls, "cv_simulators",
                                                       doc::cv_simulators);
    def_dict_field<&MimoObj::u_dict>(mimo_cls, "_u_dict");
    def_dict_field<&MimoObj::y_dict>(mimo_cls, "_y_dict");

    nb::class_<SisoObj, MimoObj> siso_cls(m, "SISOSim", nb::type_slots(siso_slots),
                                          sig_siso_init.class_doc("SISOSim", doc::SISOSim));

    types.miso = reinterpret_cast<PyTypeObject*>(miso_cls.ptr());
    types.mimo = reinterpret_cast<PyTypeObject*>(mimo_cls.ptr());
    types.siso = reinterpret_cast<PyTypeObject*>(siso_cls.ptr());
}

} // namespace korvel::plantmodels
