// korvel.algorithm.heartbeat: the watchdog counter.
#include <korvel/watchdog.hpp>

#include <climits>

#include "docstrings/heartbeat.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/number.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// `ticks` holds whatever the caller stores; a call does Python's integer
// arithmetic on it, natively while it fits in a long long.
struct PyWatchDog;
const Signature sig_init("__init__", {});
const Signature sig_call("__call__", {object("MaxOut", "0")});
PyObject* wd_step(PyWatchDog& p, const Args& a);

struct PyWatchDog {
    vectorcallfunc call = vectorcall_slot<PyWatchDog, sig_call, wd_step>;
    nb::object ticks;

    explicit PyWatchDog(nb::object t) : ticks(std::move(t)) {}

    template <class F> void for_each_object(F&& f) { f(ticks); }
};

// m = int(MaxOut + 1) when MaxOut is a plain int or float that gives a
// long long; false otherwise (the generic path then reports any error).
bool fast_modulus(PyObject* max_out, long long& m) {
    long long i;
    if (exact_i64(max_out, i)) {
        if (i == LLONG_MAX) return false;
        m = i + 1;
        return true;
    }
    return PyFloat_CheckExact(max_out) && truncate_i64(PyFloat_AS_DOUBLE(max_out) + 1.0, m);
}

PyObject* step_generic(PyWatchDog& p, PyObject* max_out) {
    nb::object one = nb::int_(1);
    nb::object next = p.ticks + one;
    nb::object bound = nb::borrow(max_out);
    PyObject* m = PyNumber_Long((bound + one).ptr());
    if (!m) throw nb::python_error();
    nb::object r = nb::steal(PyNumber_Remainder(next.ptr(), m));
    Py_DECREF(m);
    if (!r.is_valid()) throw nb::python_error();
    p.ticks = r;
    if (!PyLong_Check(r.ptr())) {
        PyErr_Format(PyExc_TypeError, "ticks must be an integer, not '%.200s'", type_name(r.ptr()));
        return nullptr;
    }
    return r.release().ptr();
}

void wd_init(PyObject* self, const Args&) {
    emplace<PyWatchDog>(self, nb::int_(0));
}

PyObject* wd_step(PyWatchDog& p, const Args& a) {
    PyObject* max_out = a.obj(0);
    long long ticks, m;
    if (exact_i64(p.ticks.ptr(), ticks) && ticks < LLONG_MAX && fast_modulus(max_out, m)) {
        if (m == 0) {
            PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
            return nullptr;
        }
        PyObject* r = PyLong_FromLongLong(korvel::watchdog_next(ticks, m));
        if (!r) return nullptr;
        p.ticks = nb::borrow(r);
        return r;
    }
    return step_generic(p, max_out);
}

PyType_Slot wd_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, wd_init>)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyWatchDog, sig_call, wd_step>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyWatchDog>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyWatchDog>)},
    {0, nullptr}};

} // namespace

NB_MODULE(heartbeat, m) {
    namespace doc = korvel::docstrings::heartbeat;
    m.doc() = doc::module;

    nb::class_<PyWatchDog> cls(m, "WatchDog", nb::type_slots(wd_slots),
                               sig_init.class_doc("WatchDog", doc::WatchDog));
    def_object_field<PyWatchDog, &PyWatchDog::ticks>(cls, "ticks", doc::ticks);
    enable_vectorcall<PyWatchDog>(cls);
    def_call_doc(cls, sig_call, doc::call);

    def_pickle<PyWatchDog>(
        cls, "WatchDog", [](PyWatchDog& p) { return nb::make_tuple(p.ticks); },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 1) throw nb::value_error("invalid WatchDog state");
            emplace<PyWatchDog>(self.ptr(), nb::borrow(state[0]));
        });
}
