// korvel.algorithm.slewguard: the rate limiter.
#include <korvel/limiters.hpp>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/number.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// `u_last` and `Ts` hold whatever the caller stores; the rate arithmetic is
// Python's on those objects, with a double fast path for floats and ints.
struct PyRateLimit;
const Signature sig_init("__init__", {"u_ini", "Ts"}, 1);
const Signature sig_call("__call__", {"u_end", "PRLimPerMin", "NRLimPerMin"}, 1);
const Signature sig_reset("reset", {"u_ini"}, 1);
PyObject* rl_step(PyRateLimit& p, PyObject* const* a);

struct PyRateLimit {
    vectorcallfunc call = vectorcall_slot<PyRateLimit, sig_call, rl_step>;
    nb::object u_last, Ts;

    template <class F> void for_each_object(F&& f) {
        f(u_last);
        f(Ts);
    }
};

nb::object checked(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

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

PyObject* rl_step(PyRateLimit& p, PyObject* const* a) {
    PyObject* target = a[0];
    PyObject* rise_rate = a[1]; // nullptr: the default 60
    PyObject* fall_rate = a[2] ? a[2] : Py_None;
    double last, Ts, u, rise_pm = 60.0, fall_pm = 0.0;
    const bool fall_given = fall_rate != Py_None;
    if (exact_real(p.u_last.ptr(), last) && exact_real(p.Ts.ptr(), Ts) && exact_real(target, u) &&
        (!rise_rate || exact_real(rise_rate, rise_pm)) &&
        (!fall_given || exact_real(fall_rate, fall_pm))) {
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
    nb::object rise_obj = rise_rate ? nb::borrow(rise_rate) : nb::object(nb::int_(60));
    return step_generic(p, target, rise_obj, fall_rate);
}

int rl_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    double u_ini;
    if (!sig_init.bind(args, kwargs, a) || !to_double(a[0], u_ini)) return -1;
    return guard_int([&] {
        nb::object Ts = a[1] ? nb::borrow(a[1]) : nb::object(nb::int_(1));
        emplace<PyRateLimit>(self, PyRateLimit{.u_last = nb::float_(u_ini), .Ts = std::move(Ts)});
        return 0;
    });
}

PyObject* rl_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    double u_ini;
    PyRateLimit* p = self_of<PyRateLimit>(self);
    if (!p || !sig_reset.bind(args, nargs, kwnames, a) || !to_double(a[0], u_ini)) return nullptr;
    PyObject* v = PyFloat_FromDouble(u_ini);
    if (!v) return nullptr;
    p->u_last = nb::steal(v);
    Py_RETURN_NONE;
}

PyMethodDef rl_methods[] = {
    {"reset", as_method(rl_reset), fastcall_flags,
     "reset($self, u_ini)\n--\n\nRestarts the output from u_ini without a ramp."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot rl_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(rl_init)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyRateLimit, sig_call, rl_step>)},
    {Py_tp_methods, rl_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyRateLimit>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyRateLimit>)},
    {0, nullptr}};

} // namespace

NB_MODULE(slewguard, m) {
    m.doc() = "Slew-rate limiter with rates in units per minute.";

    nb::class_<PyRateLimit> cls(m, "RateLimit", nb::type_slots(rl_slots),
                                "RateLimit(u_ini, Ts=1)\n--\n\nCall it as "
                                "limiter(u_end, PRLimPerMin=60, NRLimPerMin=None) once per "
                                "sample of Ts seconds.");
    def_object_field<PyRateLimit, &PyRateLimit::u_last>(cls, "u_last",
                                                        "Output of the previous call.");
    def_object_field<PyRateLimit, &PyRateLimit::Ts>(cls, "Ts", "Sampling period in seconds.");
    enable_vectorcall<PyRateLimit>(cls);

    def_pickle<PyRateLimit>(
        cls, "RateLimit", [](PyRateLimit& p) { return nb::make_tuple(p.u_last, p.Ts); },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 2) throw nb::value_error("invalid RateLimit state");
            emplace<PyRateLimit>(self.ptr(), PyRateLimit{.u_last = state[0], .Ts = state[1]});
        });
}
