// korvel.algorithm.loopctl: the incremental PID block.
#include <korvel/pid.hpp>

#include <cstdint>

#include "docstrings/loopctl.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"

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

const Signature sig_init("__init__", {real("TS", "1.0")});
const Signature sig_run("run",
                        {real("MODE"), real("SP"), real("PV"), real("TV"), real("FF", "0.0")});
const Signature sig_auto("PID_Auto", {real("SP"), real("PV"), real("FF", "0.0")});
const Signature sig_set_param("setPIDParam", {real("KP", "1.0"), real("TI", "60.0"),
                                              real("TD", "0.0"), real("N", "10.0")});
const Signature sig_get_param("getPIDParam", {});
const Signature sig_set_limit("setOPHighLowLimit", {real("OP_HI", "100.0"), real("OP_LO", "0.0")});
const Signature sig_get_limit("getOPHighLowLimit", {});
const Signature sig_reset("_resetPID", {real("SP"), real("PV"), real("TV"), real("FF")});
const Signature sig_set_saved("_setInnerSaveState",
                              {real("OP_save"), real("OPcal_save"), real("dOP_save"),
                               real("dOP_P_save"), real("dOP_I_save"), real("dOP_D_save"),
                               real("dFF_save")});
const Signature sig_get_saved("getInnerSaveState", {});
const Signature sig_form("getPIDForm", {});

void pid_init(PyObject* self, const Args& a) {
    emplace<PyPID>(self, PyPID{Pid(a.num(0)), 0});
}

PyObject* pid_run(PyPID& p, const Args& a) {
    Pid::ModeError err;
    const double op = p.core.run(a.num(0), a.num(1), a.num(2), a.num(3), a.num(4), err);
    p.present = history_bits | saved_bits; // every path has reset at least once
    if (err == Pid::ModeError::nan) raise_format(PyExc_ValueError, "%s", korvel::nan_to_integer);
    if (err == Pid::ModeError::inf)
        raise_format(PyExc_OverflowError, "%s", korvel::infinity_to_integer);
    return to_py(op);
}

PyObject* pid_auto(PyPID& p, const Args& a, PyObject* self) {
    // The fields in the order the step reads them.
    if (!require(self, p, {et1, et2}) || (p.core.params().TD > 0 && !require(self, p, {dOPD1})) ||
        !require(self, p, {FF1, OP1}))
        return nullptr;
    const double op = p.core.automatic(a.num(0), a.num(1), a.num(2));
    p.present |= saved_bits;
    return to_py(op);
}

void pid_set_param(PyPID& p, const Args& a) {
    p.core.set_params(a.num(0), a.num(1), a.num(2), a.num(3));
}

PyObject* pid_get_param(PyPID& p, const Args&) {
    const auto& q = p.core.params();
    return Py_BuildValue("(dddd)", q.KP, q.TI, q.TD, q.N);
}

void pid_set_limit(PyPID& p, const Args& a) {
    if (!p.core.set_limits(a.num(0), a.num(1)) &&
        !print_line("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!"))
        raise();
}

PyObject* pid_get_limit(PyPID& p, const Args&) {
    return Py_BuildValue("(dd)", p.core.op_hi(), p.core.op_lo());
}

void pid_reset(PyPID& p, const Args& a) {
    p.core.reset(a.num(0), a.num(1), a.num(2), a.num(3));
    p.present = history_bits | saved_bits;
}

void pid_set_saved(PyPID& p, const Args& a) {
    p.core.saved_mut() =
        Pid::Saved{a.num(0), a.num(1), a.num(2), a.num(3), a.num(4), a.num(5), a.num(6)};
    p.present |= saved_bits;
}

PyObject* pid_get_saved(PyPID& p, const Args&, PyObject* self) {
    if (!require(self, p,
                 {OP_save, OPcal_save, dOP_save, dOP_P_save, dOP_I_save, dOP_D_save, dFF_save}))
        return nullptr;
    const auto& s = p.core.saved();
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "OP", s.OP, "OPcal", s.OPcal, "dOP",
                         s.dOP, "dOP_P", s.dOP_P, "dOP_I", s.dOP_I, "dOP_D", s.dOP_D, "dFF", s.dFF);
}

PyObject* pid_form(PyPID&, const Args&) {
    const auto text = Pid::form();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

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
    namespace doc = korvel::docstrings::loopctl;
    m.doc() = doc::module;

    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, pid_init>)},
        {Py_tp_methods, methods({
                            method<PyPID, sig_run, pid_run>(doc::run),
                            method<PyPID, sig_auto, pid_auto>(doc::PID_Auto),
                            method<PyPID, sig_set_param, pid_set_param>(doc::setPIDParam),
                            method<PyPID, sig_get_param, pid_get_param>(doc::getPIDParam),
                            method<PyPID, sig_set_limit, pid_set_limit>(doc::setOPHighLowLimit),
                            method<PyPID, sig_get_limit, pid_get_limit>(doc::getOPHighLowLimit),
                            method<PyPID, sig_reset, pid_reset>(doc::resetPID),
                            method<PyPID, sig_set_saved, pid_set_saved>(doc::setInnerSaveState),
                            method<PyPID, sig_get_saved, pid_get_saved>(doc::getInnerSaveState),
                            method<PyPID, sig_form, pid_form>(doc::getPIDForm),
                        })},
        {0, nullptr}};
    nb::class_<PyPID> cls(m, "PID", nb::type_slots(slots), sig_init.class_doc("PID", doc::PID));
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
                if (i != 7 && i != 8) v[i] = field_real(state[i]);
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
