// korvel.algorithm.loopctl: the incremental PID block.
#include <korvel/pid.hpp>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "docstrings/loopctl.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/lanes.hpp"
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

// The first field in `order` that does not exist yet in `present`;
// n_fields when all do.
Field first_missing(std::uint16_t present, std::initializer_list<Field> order) {
    for (Field f : order)
        if (!(present >> f & 1u)) return f;
    return n_fields;
}
// The fields PID_Auto reads, in the order it reads them; TD() is asked only
// where dOPD1 is missing (it is read only for a derivative term).
template <class GetTD> Field auto_missing(std::uint16_t present, GetTD&& TD) {
    Field f = first_missing(present, {et1, et2});
    if (f == n_fields && !(present >> dOPD1 & 1u) && TD() > 0) f = dOPD1;
    return f == n_fields ? first_missing(present, {FF1, OP1}) : f;
}
Field saved_missing(std::uint16_t present) {
    return first_missing(
        present, {OP_save, OPcal_save, dOP_save, dOP_P_save, dOP_I_save, dOP_D_save, dFF_save});
}

// Fails naming the field, if one is missing.
bool require(PyObject* self, Field missing) {
    return missing == n_fields || (missing_attribute(self, field_names[missing]), false);
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
    if (!require(self, auto_missing(p.present, [&] { return p.core.params().TD; }))) return nullptr;
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
    if (!p.core.set_limits(a.num(0), a.num(1)) && !print_line(korvel::limits_refused_note)) raise();
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
    if (!require(self, saved_missing(p.present))) return nullptr;
    const auto& s = p.core.saved();
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "OP", s.OP, "OPcal", s.OPcal, "dOP",
                         s.dOP, "dOP_P", s.dOP_P, "dOP_I", s.dOP_I, "dOP_D", s.dOP_D, "dFF", s.dFF);
}

template <class T> PyObject* pid_form_any(T&, const Args&) {
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

// --- PIDBank: n controllers in one object --------------------------------

// Each lane has its own presence bits, as each PID has.
struct PyPIDBank {
    static constexpr const char* name = "PIDBank";
    static constexpr const char* block = "PID";
    using Lane = PyPID;
    korvel::PidBank core;
    std::vector<std::uint16_t> present;
    // Converting the arguments may run Python code, which must not resize
    // the lanes under the converted values.
    bool busy = false;

    nb::object lane(std::size_t i) const { return new_block(PyPID{core.get(i), present[i]}); }
    static PyPID read(nb::handle value) { return lane_block<PyPID>(value, name, block); }
    void put(std::size_t i, const PyPID& pid) {
        core.set(i, pid.core);
        present[i] = pid.present;
    }
};

const Signature sig_bank_init("__init__", {integer("n"), object("TS", "1.0")});
const Signature sig_bank_run("run", {object("MODE"), object("SP"), object("PV"), object("TV"),
                                     object("FF", "0.0")});
const Signature sig_bank_auto("PID_Auto", {object("SP"), object("PV"), object("FF", "0.0")});
const Signature sig_bank_set_param("setPIDParam", {object("KP", "1.0"), object("TI", "60.0"),
                                                   object("TD", "0.0"), object("N", "10.0")});
const Signature sig_bank_set_limit("setOPHighLowLimit",
                                   {object("OP_HI", "100.0"), object("OP_LO", "0.0")});
const Signature sig_bank_reset("_resetPID",
                               {object("SP"), object("PV"), object("TV"), object("FF")});
const Signature sig_bank_set_saved("_setInnerSaveState",
                                   {object("OP_save"), object("OPcal_save"), object("dOP_save"),
                                    object("dOP_P_save"), object("dOP_I_save"),
                                    object("dOP_D_save"), object("dFF_save")});

void bank_init(PyObject* self, const Args& a) {
    korvel::PidBank core(lane_count(a));
    const LaneValues TS(a.obj(1), core.size(), "TS");
    core.set_numbers(korvel::PidBank::TS, TS.lanes());
    const std::size_t size = core.size();
    emplace<PyPIDBank>(self, PyPIDBank{std::move(core), std::vector<std::uint16_t>(size), false});
}

// Fails when some lane lacks a field the operation reads: the AttributeError
// its PID gives, naming the lanes that lack the same field.
template <class Missing> void require_lanes(const PyPIDBank& p, PyObject* self, Missing missing) {
    const std::size_t n = p.core.size();
    std::size_t i0 = 0; // the usual case, every lane has every field, allocates nothing
    while (i0 < n && missing(i0) == n_fields)
        ++i0;
    if (i0 == n) return;
    std::vector<Field> which(n, n_fields);
    std::optional<Field> first;
    for (std::size_t i = i0; i < n; ++i)
        if ((which[i] = missing(i)) != n_fields && !first) first = which[i];
    std::vector<std::uint8_t> lanes(n);
    for (std::size_t i = 0; i < n; ++i)
        lanes[i] = which[i] == *first;
    missing_attribute(self, field_names[*first], lane_list(lanes).c_str());
    raise();
}

nb::object bank_run(PyPIDBank& p, const Args& a) {
    const BankArgs<5> in(p.core, sig_bank_run, a);
    double* out;
    nb::object result = lane_array(p.core.size(), out);
    const std::size_t n = p.core.size();
    // Written by run() wherever it is read: the usual step fills nothing.
    const auto err = std::make_unique_for_overwrite<Pid::ModeError[]>(n);
    const bool refused = p.core.run(in[0], in[1], in[2], in[3], in[4], out, err.get()) != 0;
    // Every lane that ran has reset at least once.
    constexpr std::uint16_t ran = history_bits | saved_bits;
    if (!refused) {
        std::uint16_t* bits = p.present.data();
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i)
            bits[i] = ran;
        return result;
    }
    std::vector<std::uint8_t> nan(n), inf(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (err[i] != Pid::ModeError::none) p.present[i] = ran;
        nan[i] = err[i] == Pid::ModeError::nan;
        inf[i] = err[i] == Pid::ModeError::inf;
    }
    const bool any_nan = std::find(nan.begin(), nan.end(), 1) != nan.end();
    nb::str lanes = lane_list(any_nan ? nan : inf);
    raise_format(any_nan ? PyExc_ValueError : PyExc_OverflowError, "%s (%U)",
                 any_nan ? korvel::nan_to_integer : korvel::infinity_to_integer, lanes.ptr());
}

nb::object bank_auto(PyPIDBank& p, const Args& a, PyObject* self) {
    const BankArgs<3> in(p.core, sig_bank_auto, a);
    require_lanes(p, self, [&](std::size_t i) {
        return auto_missing(p.present[i], [&] { return p.core.number(korvel::PidBank::TD, i); });
    });
    double* out;
    nb::object result = lane_array(p.core.size(), out);
    p.core.automatic(in[0], in[1], in[2], out);
    for (auto& bits : p.present)
        bits |= saved_bits;
    return result;
}

void bank_set_param(PyPIDBank& p, const Args& a) {
    const BankArgs<4> in(p.core, sig_bank_set_param, a);
    p.core.set_params(in[0], in[1], in[2], in[3]);
}

nb::object bank_get_param(PyPIDBank& p, const Args&) {
    using B = korvel::PidBank;
    const auto& c = p.core;
    return nb::make_tuple(lane_array(c.numbers(B::KP)), lane_array(c.numbers(B::TI)),
                          lane_array(c.numbers(B::TD)), lane_array(c.numbers(B::N)));
}

// Lanes whose limits are in the wrong order keep theirs, and one line
// names them.
void bank_set_limit(PyPIDBank& p, const Args& a) {
    const BankArgs<2> in(p.core, sig_bank_set_limit, a);
    std::vector<std::uint8_t> refused(p.core.size());
    if (p.core.set_limits(in[0], in[1], refused.data()) == 0) return;
    nb::str lanes = lane_list(refused);
    nb::object line =
        checked(PyUnicode_FromFormat("%s (%U)", korvel::limits_refused_note, lanes.ptr()));
    if (!print_line(line.ptr())) raise();
}

nb::object bank_get_limit(PyPIDBank& p, const Args&) {
    using B = korvel::PidBank;
    return nb::make_tuple(lane_array(p.core.numbers(B::hi)), lane_array(p.core.numbers(B::lo)));
}

void bank_reset(PyPIDBank& p, const Args& a) {
    const BankArgs<4> in(p.core, sig_bank_reset, a);
    p.core.reset(in[0], in[1], in[2], in[3]);
    std::fill(p.present.begin(), p.present.end(), history_bits | saved_bits);
}

// The numbers of every lane, by name, as a saved state keeps them (in the
// order of PidBank::Number).
constexpr const char* bank_numbers[] = {"TS",  "KP",    "TI",    "TD",    "N",     "hi", "lo",
                                        "et1", "et2",   "OP1",   "FF1",   "dOPD1", "OP", "OPcal",
                                        "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"};
constexpr std::size_t n_bank_numbers = std::size(bank_numbers);
static_assert(n_bank_numbers == korvel::PidBank::n_numbers);

// The saved numbers, in the order of _setInnerSaveState's arguments.
constexpr korvel::PidBank::Number saved_numbers[] = {
    korvel::PidBank::OP,    korvel::PidBank::OPcal, korvel::PidBank::dOP, korvel::PidBank::dOP_P,
    korvel::PidBank::dOP_I, korvel::PidBank::dOP_D, korvel::PidBank::dFF};

void bank_set_saved(PyPIDBank& p, const Args& a) {
    const BankArgs<7> in(p.core, sig_bank_set_saved, a);
    for (std::size_t k = 0; k < std::size(saved_numbers); ++k)
        p.core.set_numbers(saved_numbers[k], in[k]);
    for (auto& bits : p.present)
        bits |= saved_bits;
}

nb::object bank_get_saved(PyPIDBank& p, const Args&, PyObject* self) {
    require_lanes(p, self, [&](std::size_t i) { return saved_missing(p.present[i]); });
    nb::dict d;
    for (korvel::PidBank::Number k : saved_numbers)
        d[bank_numbers[k]] = lane_array(p.core.numbers(k));
    return d;
}

void def_pid_bank(nb::module_& m) {
    namespace doc = korvel::docstrings::loopctl;
    const auto slots = bank_slots<PyPIDBank>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bank_init, bank_init>)},
        {Py_tp_methods,
         methods({
             method<PyPIDBank, sig_bank_run, bank_run>(doc::bank_run),
             method<PyPIDBank, sig_bank_auto, bank_auto>(doc::bank_PID_Auto),
             method<PyPIDBank, sig_bank_set_param, bank_set_param>(doc::bank_setPIDParam),
             method<PyPIDBank, sig_get_param, bank_get_param>(doc::bank_getPIDParam),
             method<PyPIDBank, sig_bank_set_limit, bank_set_limit>(doc::bank_setOPHighLowLimit),
             method<PyPIDBank, sig_get_limit, bank_get_limit>(doc::bank_getOPHighLowLimit),
             method<PyPIDBank, sig_bank_reset, bank_reset>(doc::bank_resetPID),
             method<PyPIDBank, sig_bank_set_saved, bank_set_saved>(doc::bank_setInnerSaveState),
             method<PyPIDBank, sig_get_saved, bank_get_saved>(doc::bank_getInnerSaveState),
             method<PyPIDBank, sig_form, pid_form_any<PyPIDBank>>(doc::getPIDForm),
         })},
    });
    nb::class_<PyPIDBank> cls(m, "PIDBank", nb::type_slots(slots.data()),
                              sig_bank_init.class_doc("PIDBank", doc::PIDBank));
    // State: the lane count, then as bytes the first-call flags, the presence
    // bits (16 per lane, little-endian) and every number.
    def_pickle<PyPIDBank>(
        cls, "PIDBank",
        [](PyPIDBank& p) {
            const std::size_t n = p.core.size();
            std::string bits;
            for (std::uint16_t b : p.present)
                bits += {static_cast<char>(b & 0xff), static_cast<char>(b >> 8)};
            nb::list state;
            state.append(n);
            state.append(nb::bytes(reinterpret_cast<const char*>(p.core.ini.data()), n));
            state.append(nb::bytes(bits.data(), bits.size()));
            for (std::size_t k = 0; k < n_bank_numbers; ++k)
                state.append(pack_lanes(p.core.numbers(static_cast<korvel::PidBank::Number>(k))));
            return nb::tuple(state);
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 3 + n_bank_numbers) throw nb::value_error("invalid PIDBank state");
            const std::size_t n = state_size(state[0], "PIDBank");
            const auto ini = state_as<nb::bytes>(state[1], "PIDBank");
            const auto bits = state_as<nb::bytes>(state[2], "PIDBank");
            if (ini.size() != n || bits.size() != 2 * n)
                throw nb::value_error("invalid PIDBank state");
            korvel::PidBank core(n);
            std::vector<std::uint16_t> present(n);
            const auto* flags = static_cast<const std::uint8_t*>(ini.data());
            const auto* b = static_cast<const std::uint8_t*>(bits.data());
            for (std::size_t i = 0; i < n; ++i) {
                core.ini[i] = flags[i] != 0;
                present[i] = static_cast<std::uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
            }
            for (std::size_t k = 0; k < n_bank_numbers; ++k) {
                const std::vector<double> v = unpack_lanes(state[3 + k], n, "PIDBank");
                core.set_numbers(static_cast<korvel::PidBank::Number>(k), {v.data()});
            }
            emplace<PyPIDBank>(self.ptr(), PyPIDBank{std::move(core), std::move(present), false});
        });
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
                            method<PyPID, sig_form, pid_form_any<PyPID>>(doc::getPIDForm),
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
    def_pid_bank(m);
}
