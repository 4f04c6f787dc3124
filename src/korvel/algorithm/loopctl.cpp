// korvel.algorithm.loopctl: the incremental PID block.
#include <korvel/pid.hpp>

#include <cstdint>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::Pid;

namespace {

// History and saved-state fields come into being with the first reset (or,
// for the saved state, _setInnerSaveState); until then reading one is an
// AttributeError. One bit per field, in declaration order.
enum Field : unsigned {
    et1,
    et2,
    OP1,
    FF1,
    dOPD1,
    OP_save,
    OPcal_save,
    dOP_save,
    dOP_P_save,
    dOP_I_save,
    dOP_D_save,
    dFF_save,
    n_fields
};
constexpr const char* field_names[n_fields] = {
    "_et1",        "_et2",      "_OP1",        "_FF1",        "_dOPD1",      "_OP_save",
    "_OPcal_save", "_dOP_save", "_dOP_P_save", "_dOP_I_save", "_dOP_D_save", "_dFF_save"};
constexpr std::uint16_t history_bits = (1u << OP_save) - 1;
constexpr std::uint16_t saved_bits = ((1u << n_fields) - 1) & ~history_bits;

struct PyPID {
    Pid core;
    std::uint16_t present = 0;

    bool has(Field f) const noexcept { return present >> f & 1u; }
    double* slot(Field f) noexcept {
        auto& h = core.history_mut();
        auto& s = core.saved_mut();
        double* slots[n_fields] = {&h.et1,   &h.et2, &h.OP1,   &h.FF1,   &h.dOPD1, &s.OP,
                                   &s.OPcal, &s.dOP, &s.dOP_P, &s.dOP_I, &s.dOP_D, &s.dFF};
        return slots[f];
    }
};

// Fails, naming the first field in `order` that does not exist yet.
bool require(PyObject* self, const PyPID& p, std::initializer_list<Field> order) {
    for (Field f : order)
        if (!p.has(f)) return missing_attribute(self, field_names[f]), false;
    return true;
}

const Signature sig_init("__init__", {"TS"}, 0);
const Signature sig_run("run", {"MODE", "SP", "PV", "TV", "FF"}, 4);
const Signature sig_auto("PID_Auto", {"SP", "PV", "FF"}, 2);
const Signature sig_set_param("setPIDParam", {"KP", "TI", "TD", "N"}, 0);
const Signature sig_get_param("getPIDParam", {}, 0);
const Signature sig_set_limit("setOPHighLowLimit", {"OP_HI", "OP_LO"}, 0);
const Signature sig_get_limit("getOPHighLowLimit", {}, 0);
const Signature sig_reset("_resetPID", {"SP", "PV", "TV", "FF"}, 4);
const Signature sig_set_saved("_setInnerSaveState",
                              {"OP_save", "OPcal_save", "dOP_save", "dOP_P_save", "dOP_I_save",
                               "dOP_D_save", "dFF_save"},
                              7);
const Signature sig_get_saved("getInnerSaveState", {}, 0);
const Signature sig_form("getPIDForm", {}, 0);

// Converts bound arguments in parameter order, defaults for absent ones.
template <std::size_t N>
bool to_doubles(PyObject* const (&a)[N], double (&v)[N], const double (&dflt)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (!to_double(a[i], v[i], dflt[i])) return false;
    return true;
}

int pid_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    double TS;
    if (!sig_init.bind(args, kwargs, a) || !to_double(a[0], TS, 1.0)) return -1;
    return guard_int([&] {
        emplace<PyPID>(self, PyPID{Pid(TS), 0});
        return 0;
    });
}

PyObject* pid_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    double v[5];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_run.bind(args, nargs, kwnames, a) ||
        !to_doubles(a, v, {0.0, 0.0, 0.0, 0.0, 0.0}))
        return nullptr;
    Pid::ModeError err;
    const double op = p->core.run(v[0], v[1], v[2], v[3], v[4], err);
    p->present = history_bits | saved_bits; // every path has reset at least once
    if (err == Pid::ModeError::nan) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        return nullptr;
    }
    if (err == Pid::ModeError::inf) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        return nullptr;
    }
    return to_py(op);
}

PyObject* pid_auto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    double v[3];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_auto.bind(args, nargs, kwnames, a) || !to_doubles(a, v, {0.0, 0.0, 0.0}))
        return nullptr;
    // The fields in the order the step reads them.
    if (!require(self, *p, {et1, et2}) ||
        (p->core.params().TD > 0 && !require(self, *p, {dOPD1})) || !require(self, *p, {FF1, OP1}))
        return nullptr;
    const double op = p->core.automatic(v[0], v[1], v[2]);
    p->present |= saved_bits;
    return to_py(op);
}

PyObject* pid_set_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[4];
    double v[4];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_set_param.bind(args, nargs, kwnames, a) ||
        !to_doubles(a, v, {1.0, 60.0, 0.0, 10.0}))
        return nullptr;
    p->core.set_params(v[0], v[1], v[2], v[3]);
    Py_RETURN_NONE;
}

PyObject* pid_get_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_get_param.bind(args, nargs, kwnames, nullptr)) return nullptr;
    const auto& q = p->core.params();
    return Py_BuildValue("(dddd)", q.KP, q.TI, q.TD, q.N);
}

PyObject* pid_set_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[2];
    double v[2];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_set_limit.bind(args, nargs, kwnames, a) || !to_doubles(a, v, {100.0, 0.0}))
        return nullptr;
    if (!p->core.set_limits(v[0], v[1]) &&
        !print_line("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!"))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* pid_get_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_get_limit.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return Py_BuildValue("(dd)", p->core.op_hi(), p->core.op_lo());
}

PyObject* pid_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    double v[4];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_reset.bind(args, nargs, kwnames, a) || !to_doubles(a, v, {0.0, 0.0, 0.0, 0.0}))
        return nullptr;
    p->core.reset(v[0], v[1], v[2], v[3]);
    p->present = history_bits | saved_bits;
    Py_RETURN_NONE;
}

PyObject* pid_set_saved(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[7];
    double v[7];
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_set_saved.bind(args, nargs, kwnames, a) ||
        !to_doubles(a, v, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}))
        return nullptr;
    p->core.saved_mut() = Pid::Saved{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    p->present |= saved_bits;
    Py_RETURN_NONE;
}

PyObject* pid_get_saved(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyPID* p = self_of<PyPID>(self);
    if (!p || !sig_get_saved.bind(args, nargs, kwnames, nullptr) ||
        !require(self, *p,
                 {OP_save, OPcal_save, dOP_save, dOP_P_save, dOP_I_save, dOP_D_save, dFF_save}))
        return nullptr;
    const auto& s = p->core.saved();
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "OP", s.OP, "OPcal", s.OPcal, "dOP",
                         s.dOP, "dOP_P", s.dOP_P, "dOP_I", s.dOP_I, "dOP_D", s.dOP_D, "dFF", s.dFF);
}

PyObject* pid_form(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!self_of<PyPID>(self) || !sig_form.bind(args, nargs, kwnames, nullptr)) return nullptr;
    const auto text = Pid::form();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef pid_methods[] = {
    {"run", as_method(pid_run), fastcall_flags,
     "run($self, MODE, SP, PV, TV, FF=0.0)\n--\n\nOne sample: tracking (MODE 0) or automatic (MODE "
     "1); returns the output."},
    {"PID_Auto", as_method(pid_auto), fastcall_flags,
     "PID_Auto($self, SP, PV, FF=0.0)\n--\n\nOne automatic step; returns the output."},
    {"setPIDParam", as_method(pid_set_param), fastcall_flags,
     "setPIDParam($self, KP=1.0, TI=60.0, TD=0.0, N=10.0)\n--\n\nSets all four tuning parameters."},
    {"getPIDParam", as_method(pid_get_param), fastcall_flags,
     "getPIDParam($self)\n--\n\nReturns (KP, TI, TD, N)."},
    {"setOPHighLowLimit", as_method(pid_set_limit), fastcall_flags,
     "setOPHighLowLimit($self, OP_HI=100.0, OP_LO=0.0)\n--\n\nSets the output limits."},
    {"getOPHighLowLimit", as_method(pid_get_limit), fastcall_flags,
     "getOPHighLowLimit($self)\n--\n\nReturns (OP_HI, OP_LO)."},
    {"_resetPID", as_method(pid_reset), fastcall_flags,
     "_resetPID($self, SP, PV, TV, FF)\n--\n\nStarts the history over from TV."},
    {"_setInnerSaveState", as_method(pid_set_saved), fastcall_flags,
     "_setInnerSaveState($self, OP_save, OPcal_save, dOP_save, dOP_P_save, dOP_I_save, "
     "dOP_D_save, dFF_save)\n--\n\nStores the saved inner state."},
    {"getInnerSaveState", as_method(pid_get_saved), fastcall_flags,
     "getInnerSaveState($self)\n--\n\nThe last sample's output and increments."},
    {"getPIDForm", as_method(pid_form), fastcall_flags,
     "getPIDForm($self)\n--\n\nThe control law and the defaults, as text."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot pid_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(pid_init)}, {Py_tp_methods, pid_methods}, {0, nullptr}};

// One history or saved-state field.
template <Field F> void def_state_field(nb::class_<PyPID>& cls) {
    def_field<PyPID>(
        cls, field_names[F],
        [](PyPID& p, nb::handle self) {
            if (!p.has(F)) throw_missing(self, field_names[F]);
            return *p.slot(F);
        },
        [](PyPID& p, nb::handle v) {
            *p.slot(F) = field_real(v);
            p.present |= 1u << F;
        });
}

template <unsigned... I>
void def_state_fields(nb::class_<PyPID>& cls, std::integer_sequence<unsigned, I...>) {
    (def_state_field<static_cast<Field>(I)>(cls), ...);
}

} // namespace

NB_MODULE(loopctl, m) {
    m.doc() = "Incremental PID controller block with tracking, feed-forward and output limits.";

    nb::class_<PyPID> cls(m, "PID", nb::type_slots(pid_slots),
                          "PID(TS=1.0)\n--\n\nIncremental PID block with tracking, feed-forward "
                          "and output limits; drive it with run() once per sample.");
    def_field<PyPID>(
        cls, "_iniFlag", [](PyPID& p) { return p.core.ini_flag(); },
        [](PyPID& p, nb::handle v) { p.core.set_ini_flag(state_bool(v)); });
    def_field<PyPID>(
        cls, "_TS", [](PyPID& p) { return p.core.TS(); },
        [](PyPID& p, nb::handle v) { p.core.set_TS(field_real(v)); });
    def_real<PyPID>(cls, "_KP", [](PyPID& p) -> double& { return p.core.params_mut().KP; });
    def_real<PyPID>(cls, "_TI", [](PyPID& p) -> double& { return p.core.params_mut().TI; });
    def_real<PyPID>(cls, "_TD", [](PyPID& p) -> double& { return p.core.params_mut().TD; });
    def_real<PyPID>(cls, "_N", [](PyPID& p) -> double& { return p.core.params_mut().N; });
    def_field<PyPID>(
        cls, "_OP_HI", [](PyPID& p) { return p.core.op_hi(); },
        [](PyPID& p, nb::handle v) { p.core.set_hi(field_real(v)); });
    def_field<PyPID>(
        cls, "_OP_LO", [](PyPID& p) { return p.core.op_lo(); },
        [](PyPID& p, nb::handle v) { p.core.set_lo(field_real(v)); });
    def_state_fields(cls, std::make_integer_sequence<unsigned, n_fields>{});

    // State as a flat tuple: configuration, presence mask, history, saved.
    def_pickle<PyPID>(
        cls, "PID",
        [](PyPID& p) {
            nb::list state;
            state.append(p.core.TS());
            const auto& q = p.core.params();
            for (double v : {q.KP, q.TI, q.TD, q.N, p.core.op_hi(), p.core.op_lo()})
                state.append(v);
            state.append(p.core.ini_flag());
            state.append(p.present);
            for (unsigned f = 0; f < n_fields; ++f)
                state.append(*p.slot(static_cast<Field>(f)));
            return nb::tuple(state);
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 9 + n_fields) throw nb::value_error("invalid PID state");
            // Everything is checked before the block is rebuilt.
            double v[9 + n_fields];
            for (std::size_t i = 0; i < 9 + n_fields; ++i)
                if (i != 7 && i != 8) v[i] = state_double(state[i]);
            const bool ini = state_bool(state[7]);
            const auto mask = state_as<nb::int_>(state[8], "PID");
            const unsigned long present = PyLong_AsUnsignedLong(mask.ptr());
            if (PyErr_Occurred() || present >> n_fields) {
                PyErr_Clear();
                throw nb::value_error("invalid PID state");
            }
            PyPID p{Pid(v[0]), static_cast<std::uint16_t>(present)};
            auto& q = p.core.params_mut(); // as stored: bounds were applied when set
            q.KP = v[1];
            q.TI = v[2];
            q.TD = v[3];
            q.N = v[4];
            p.core.set_hi(v[5]);
            p.core.set_lo(v[6]);
            p.core.set_ini_flag(ini);
            for (unsigned f = 0; f < n_fields; ++f)
                *p.slot(static_cast<Field>(f)) = v[9 + f];
            emplace<PyPID>(self.ptr(), p);
        });
}
