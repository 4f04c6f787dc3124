// korvel.algorithm.slewguard: the rate limiter.
#include <korvel/limiters.hpp>

#include <cstdint>
#include <optional>
#include <vector>

#include "docstrings/slewguard.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/number.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// `u_last` and `Ts` hold whatever the caller stores; the rate arithmetic is
// Python's on those objects, with a double fast path for floats and ints.
struct PyRateLimit;
const Signature sig_init("__init__", {real("u_ini"), object("Ts", "1")});
const Signature sig_call("__call__", {object("u_end"), object("PRLimPerMin", "60"),
                                      object("NRLimPerMin", "None")});
const Signature sig_reset("reset", {real("u_ini")});
PyObject* rl_step(PyRateLimit& p, const Args& a);

struct PyRateLimit {
    vectorcallfunc call = vectorcall_slot<PyRateLimit, sig_call, rl_step>;
    nb::object u_last, Ts;

    template <class F> void for_each_object(F&& f) {
        f(u_last);
        f(Ts);
    }
};

// |(rate / 60) * Ts| on Python objects.
nb::object per_sample(nb::handle rate, nb::handle Ts) {
    nb::object sixty = nb::int_(60);
    return checked(PyNumber_Absolute((nb::borrow(rate) / sixty * Ts).ptr()));
}

PyObject* step_generic(PyRateLimit& p, nb::handle target, nb::handle rise_rate,
                       nb::handle fall_rate) {
    nb::object last = p.u_last;
    nb::object rise = per_sample(rise_rate, p.Ts);
    nb::object fall = fall_rate.is_none() ? -rise : -per_sample(fall_rate, p.Ts);
    nb::object d = nb::borrow(target) - last;
    nb::object zero = nb::int_(0);
    nb::object out;
    if (d >= zero)
        out = d > rise ? last + rise : nb::borrow(target);
    else
        out = d < fall ? last + fall : nb::borrow(target);
    p.u_last = out;
    return PyNumber_Float(out.ptr());
}

// The numbers of the fast path, as the core's rule reads them.
struct Held {
    double& last_;
    double Ts_;
    double& last() const noexcept { return last_; }
    double Ts() const noexcept { return Ts_; }
};

PyObject* rl_step(PyRateLimit& p, const Args& a) {
    PyObject* target = a.obj(0);
    PyObject* rise_rate = a.obj(1);
    PyObject* fall_rate = a.obj(2);
    double last, Ts, u, rise_pm = 60.0, fall_pm = 0.0;
    const bool fall_given = fall_rate != Py_None;
    if (exact_real(p.u_last.ptr(), last) && exact_real(p.Ts.ptr(), Ts) && exact_real(target, u) &&
        exact_real(rise_rate, rise_pm) && (!fall_given || exact_real(fall_rate, fall_pm))) {
        const korvel::Slew s =
            korvel::rate_law::step(Held{last, Ts}, u, rise_pm, fall_given ? fall_pm : rise_pm);
        if (!s.limited) {
            p.u_last = nb::borrow(target); // the target object itself, as given
            if (PyFloat_CheckExact(target)) return Py_NewRef(target);
            return PyFloat_FromDouble(u);
        }
        PyObject* out = PyFloat_FromDouble(s.value);
        if (!out) return nullptr;
        p.u_last = nb::borrow(out);
        return out;
    }
    return step_generic(p, target, rise_rate, fall_rate);
}

void rl_init(PyObject* self, const Args& a) {
    emplace<PyRateLimit>(self,
                         PyRateLimit{.u_last = nb::float_(a.num(0)), .Ts = nb::borrow(a.obj(1))});
}

void rl_reset(PyRateLimit& p, const Args& a) {
    p.u_last = nb::float_(a.num(0));
}

// --- RateLimitBank: n rate limiters in one object --------------------------

struct PyRateLimitBank;
const Signature sig_bank_init("__init__", {integer("n"), object("u_ini"), object("Ts", "1")});
const Signature sig_bank_call("__call__", {object("u_end"), object("PRLimPerMin", "60"),
                                           object("NRLimPerMin", "None")});
const Signature sig_bank_reset("reset", {object("u_ini")});
PyObject* bank_step(PyRateLimitBank& p, const Args& a);

// A lane holds numbers: u_last and Ts as floats.
struct PyRateLimitBank {
    static constexpr const char* name = "RateLimitBank";
    static constexpr const char* block = "RateLimit";
    using Lane = korvel::RateLimiter;
    vectorcallfunc call = vectorcall_slot<PyRateLimitBank, sig_bank_call, bank_step>;
    korvel::RateLimiterBank core;
    bool busy = false; // converting the arguments runs Python code

    nb::object lane(std::size_t i) const {
        return new_block(
            PyRateLimit{.u_last = nb::float_(core.last[i]), .Ts = nb::float_(core.Ts[i])});
    }
    static korvel::RateLimiter read(nb::handle value) {
        const PyRateLimit& r = lane_block<PyRateLimit>(value, name, block);
        // Held, as converting may run code that changes the block.
        const nb::object u_last = r.u_last, Ts = r.Ts;
        const double last = field_real(u_last);
        return korvel::RateLimiter(last, field_real(Ts));
    }
    void put(std::size_t i, const korvel::RateLimiter& r) { core.set(i, r); }
};

// NRLimPerMin's items when it is a list, a tuple or an object array that
// holds None in some lanes, with those made 0.0 and flagged; otherwise none.
nb::object none_items(nb::handle v, std::vector<std::uint8_t>& none) {
    nb::object items;
    if (PyList_Check(v.ptr()) || PyTuple_Check(v.ptr()))
        items = nb::borrow(v);
    else if (np::ndim(v.ptr()) == 1 &&
             nb::getattr(nb::getattr(v, "dtype"), "kind").equal(nb::str("O")))
        items = nb::getattr(v, "tolist")();
    else
        return {};
    nb::object seq = checked(PySequence_List(items.ptr()));
    const Py_ssize_t m = PyList_GET_SIZE(seq.ptr());
    none.assign(static_cast<std::size_t>(m), 0);
    bool any = false;
    for (Py_ssize_t k = 0; k < m; ++k) {
        if (PyList_GET_ITEM(seq.ptr(), k) != Py_None) continue;
        none[static_cast<std::size_t>(k)] = any = true;
        if (PyList_SetItem(seq.ptr(), k, PyFloat_FromDouble(0.0)) != 0) raise();
    }
    return any ? seq : nb::object();
}

// The falling rate of every lane. A lane given None falls at its rising
// rate, so it takes its PRLimPerMin here: the same step to the bit.
class FallRates {
  public:
    FallRates(nb::handle v, const korvel::RateLimiterBank& core, korvel::Lanes rise)
        : lanes_(rise) {
        const std::size_t n = core.size();
        if (v.is_none()) return;
        std::vector<std::uint8_t> none;
        nb::object items = none_items(v, none);
        given_.emplace(items.is_valid() ? items : nb::borrow(v), n, "NRLimPerMin");
        lanes_ = given_->lanes();
        if (!items.is_valid()) return;
        mixed_.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            mixed_[i] = none[none.size() == 1 ? 0 : i] ? rise[i] : lanes_[i];
        lanes_ = korvel::Lanes{mixed_.data()};
    }
    korvel::Lanes lanes() const noexcept { return lanes_; }

  private:
    std::optional<LaneValues> given_;
    std::vector<double> mixed_;
    korvel::Lanes lanes_;
};

PyObject* bank_step(PyRateLimitBank& p, const Args& a) {
    const BankArgs<2> in(p.core, sig_bank_call, a);
    const FallRates fall(a.obj(2), p.core, in[1]);
    double* out;
    nb::object result = lane_array(p.core.size(), out);
    p.core.step(in[0], in[1], fall.lanes(), out);
    return result.release().ptr();
}

void bank_init(PyObject* self, const Args& a) {
    korvel::RateLimiterBank core(lane_count(a));
    const BankArgs<2> in(core, sig_bank_init, a, 1);
    core.reset(in[0]);
    for (std::size_t i = 0; i < core.size(); ++i)
        core.Ts[i] = in[1][i];
    emplace<PyRateLimitBank>(self, PyRateLimitBank{.core = std::move(core)});
}

void bank_reset(PyRateLimitBank& p, const Args& a) {
    const BankArgs<1> in(p.core, sig_bank_reset, a);
    p.core.reset(in[0]);
}

void def_bank(nb::module_& m) {
    namespace doc = korvel::docstrings::slewguard;
    using T = PyRateLimitBank;
    const auto slots = bank_slots<T>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bank_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<T, sig_bank_call, bank_step>)},
        {Py_tp_methods, methods({method<T, sig_bank_reset, bank_reset>(doc::bank_reset)})},
    });
    nb::class_<T> cls(m, T::name, nb::type_slots(slots.data()),
                      sig_bank_init.class_doc(T::name, doc::RateLimitBank));
    def_call_doc(cls, sig_bank_call, doc::bank_call);
    enable_vectorcall<T>(cls);

    // State: the lane count, then as bytes every lane's u_last and Ts.
    def_pickle<T>(
        cls, T::name,
        [](T& p) {
            return nb::make_tuple(p.core.size(), pack_lanes(p.core.last), pack_lanes(p.core.Ts));
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 3) throw nb::value_error("invalid RateLimitBank state");
            const std::size_t n = state_size(state[0], T::name);
            auto last = unpack_lanes(state[1], n, T::name);
            auto Ts = unpack_lanes(state[2], n, T::name);
            korvel::RateLimiterBank core(n);
            core.last = std::move(last), core.Ts = std::move(Ts);
            emplace<T>(self.ptr(), T{.core = std::move(core)});
        });
}

} // namespace

NB_MODULE(slewguard, m) {
    namespace doc = korvel::docstrings::slewguard;
    m.doc() = doc::module;

    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, rl_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyRateLimit, sig_call, rl_step>)},
        {Py_tp_methods, methods({method<PyRateLimit, sig_reset, rl_reset>(doc::reset)})},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyRateLimit>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyRateLimit>)},
        {0, nullptr}};
    nb::class_<PyRateLimit> cls(m, "RateLimit", nb::type_slots(slots),
                                sig_init.class_doc("RateLimit", doc::RateLimit));
    def_call_doc(cls, sig_call, doc::call);
    def_object_field<PyRateLimit, &PyRateLimit::u_last>(cls, "u_last", doc::u_last);
    def_object_field<PyRateLimit, &PyRateLimit::Ts>(cls, "Ts", doc::Ts);
    enable_vectorcall<PyRateLimit>(cls);

    def_pickle<PyRateLimit>(
        cls, "RateLimit", [](PyRateLimit& p) { return nb::make_tuple(p.u_last, p.Ts); },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 2) throw nb::value_error("invalid RateLimit state");
            emplace<PyRateLimit>(self.ptr(), PyRateLimit{.u_last = state[0], .Ts = state[1]});
        });
    def_bank(m);
}
