// korvel.algorithm.slewguard: the rate limiter.
#include <korvel/limiters.hpp>

#include "docstrings/slewguard.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
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

PyObject* rl_step(PyRateLimit& p, const Args& a) {
    PyObject* target = a.obj(0);
    PyObject* rise_rate = a.obj(1);
    PyObject* fall_rate = a.obj(2);
    double last, Ts, u, rise_pm = 60.0, fall_pm = 0.0;
    const bool fall_given = fall_rate != Py_None;
    if (exact_real(p.u_last.ptr(), last) && exact_real(p.Ts.ptr(), Ts) && exact_real(target, u) &&
        exact_real(rise_rate, rise_pm) && (!fall_given || exact_real(fall_rate, fall_pm))) {
        const double rise = korvel::rate_per_sample(rise_pm, Ts);
        const double fall = fall_given ? -korvel::rate_per_sample(fall_pm, Ts) : -rise;
        const korvel::Slew s = korvel::slew_step(last, u, rise, fall);
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
}
