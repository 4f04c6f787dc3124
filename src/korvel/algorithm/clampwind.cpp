// korvel.algorithm.clampwind: the anti-windup limiter.
#include <korvel/limiters.hpp>

#include <optional>

#include "docstrings/clampwind.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::AntiWindup;

namespace {

struct PyAntiWindup;
const Signature sig_init("__init__", {});
const Signature sig_call("__call__", {real("u"), real("HI", "100"), real("LO", "0")});
const Signature sig_run("run", {real("u"), real("HI", "100"), real("LO", "0")});
PyObject* step(PyAntiWindup& p, const Args& a);

struct PyAntiWindup {
    vectorcallfunc call = vectorcall_slot<PyAntiWindup, sig_call, step>;
    AntiWindup core;
};

PyObject* step(PyAntiWindup& p, const Args& a) {
    return to_py(p.core.step(a.num(0), a.num(1), a.num(2)));
}

void aw_init(PyObject* self, const Args&) {
    emplace<PyAntiWindup>(self);
}

// `_u0` and `_y0` do not exist before the first call.
template <std::optional<double> (AntiWindup::*Get)() const noexcept,
          void (AntiWindup::*Set)(std::optional<double>) noexcept>
void def_state(nb::class_<PyAntiWindup>& cls, const char* name) {
    def_field<PyAntiWindup>(
        cls, name,
        [name](PyAntiWindup& p, nb::handle self) {
            const std::optional<double> v = (p.core.*Get)();
            if (!v) throw_missing(self, name);
            return *v;
        },
        [](PyAntiWindup& p, nb::handle v) { (p.core.*Set)(field_real(v)); });
}

// --- AntiWindupLimterBank: n limiters in one object -----------------------

struct PyAntiWindupBank;
const Signature sig_bank_init("__init__", {integer("n")});
const Signature sig_bank_call("__call__", {object("u"), object("HI", "100"), object("LO", "0")});
const Signature sig_bank_run("run", {object("u"), object("HI", "100"), object("LO", "0")});
PyObject* bank_step(PyAntiWindupBank& p, const Args& a);

struct PyAntiWindupBank {
    static constexpr const char* name = "AntiWindupLimterBank";
    static constexpr const char* block = "AntiWindupLimter";
    using Lane = AntiWindup;
    vectorcallfunc call = vectorcall_slot<PyAntiWindupBank, sig_bank_call, bank_step>;
    korvel::AntiWindupBank core;
    bool busy = false; // converting the arguments runs Python code

    nb::object lane(std::size_t i) const { return new_block(PyAntiWindup{.core = core.get(i)}); }
    static AntiWindup read(nb::handle value) {
        return lane_block<PyAntiWindup>(value, name, block).core;
    }
    void put(std::size_t i, const AntiWindup& a) { core.set(i, a); }
};

PyObject* bank_step(PyAntiWindupBank& p, const Args& a) {
    const BankArgs<3> in(p.core, sig_bank_call, a);
    double* out;
    nb::object result = lane_array(p.core.size(), out);
    p.core.step(in[0], in[1], in[2], out);
    return result.release().ptr();
}

void bank_init(PyObject* self, const Args& a) {
    emplace<PyAntiWindupBank>(self,
                              PyAntiWindupBank{.core = korvel::AntiWindupBank(lane_count(a))});
}

void def_bank(nb::module_& m) {
    namespace doc = korvel::docstrings::clampwind;
    using T = PyAntiWindupBank;
    const auto slots = bank_slots<T>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bank_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<T, sig_bank_call, bank_step>)},
        {Py_tp_methods, methods({method<T, sig_bank_run, bank_step>(doc::bank_run)})},
    });
    nb::class_<T> cls(m, T::name, nb::type_slots(slots.data()),
                      sig_bank_init.class_doc(T::name, doc::AntiWindupLimterBank));
    def_call_doc(cls, sig_bank_call, doc::bank_call);
    enable_vectorcall<T>(cls);

    // State: the lane count, then as bytes which lanes have _u0 and _y0, and
    // their values.
    def_pickle<T>(
        cls, T::name,
        [](T& p) {
            const auto& c = p.core;
            return nb::make_tuple(c.size(), pack_flags(c.has_u0), pack_flags(c.has_y0),
                                  pack_lanes(c.u0), pack_lanes(c.y0));
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 5) throw nb::value_error("invalid AntiWindupLimterBank state");
            const std::size_t n = state_size(state[0], T::name);
            auto has_u0 = unpack_flags(state[1], n, T::name);
            auto has_y0 = unpack_flags(state[2], n, T::name);
            auto u0 = unpack_lanes(state[3], n, T::name);
            auto y0 = unpack_lanes(state[4], n, T::name);
            korvel::AntiWindupBank core(n);
            core.has_u0 = std::move(has_u0), core.has_y0 = std::move(has_y0);
            core.u0 = std::move(u0), core.y0 = std::move(y0);
            emplace<T>(self.ptr(), T{.core = std::move(core)});
        });
}

} // namespace

NB_MODULE(clampwind, m) {
    namespace doc = korvel::docstrings::clampwind;
    m.doc() = doc::module;

    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, aw_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyAntiWindup, sig_call, step>)},
        {Py_tp_methods, methods({method<PyAntiWindup, sig_run, step>(doc::run)})},
        {0, nullptr}};
    nb::class_<PyAntiWindup> cls(m, "AntiWindupLimter", nb::type_slots(slots),
                                 sig_init.class_doc("AntiWindupLimter", doc::AntiWindupLimter));
    def_call_doc(cls, sig_call, doc::call);
    def_state<&AntiWindup::u0, &AntiWindup::set_u0>(cls, "_u0");
    def_state<&AntiWindup::y0, &AntiWindup::set_y0>(cls, "_y0");
    enable_vectorcall<PyAntiWindup>(cls);

    // State: (_u0, _y0), None for a field that does not exist yet.
    def_pickle<PyAntiWindup>(
        cls, "AntiWindupLimter",
        [](PyAntiWindup& p) {
            return nb::make_tuple(optional_float(p.core.u0()), optional_float(p.core.y0()));
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 2) throw nb::value_error("invalid AntiWindupLimter state");
            PyAntiWindup p{};
            p.core.set_u0(optional_real(state[0]));
            p.core.set_y0(optional_real(state[1]));
            emplace<PyAntiWindup>(self.ptr(), std::move(p));
        });
    def_bank(m);
}
