// korvel.algorithm.latches: set/reset flip-flop, on- and off-delay timers.
#include <korvel/timers.hpp>

#include <climits>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "docstrings/latches.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/number.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/shift.hpp"
#include "pyglue/value.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
namespace np = korvel::pyglue::np;
namespace doc = korvel::docstrings::latches;

namespace {

// Every field holds whatever the caller stores. A call works natively on the
// arrays it creates and on plain int/float fields; otherwise the core's rules
// run on the objects with Python's comparisons and arithmetic, NumPy's
// conversions included.

nb::object new_array(Py_ssize_t n, np::Dtype t) {
    return checked(np::zeros(n, t));
}

void store(nb::handle history, nb::handle value) {
    if (!data_store(history.ptr(), value.ptr())) throw nb::python_error();
}

// ---- RStrigger -------------------------------------------------------------

struct PyRS {
    nb::object S, R, Q, nQ, Q_array;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&S, &R, &Q, &nQ, &Q_array})
            f(*o);
    }
};

const Signature sig_init("__init__", {});
const Signature sig_call("call", {});

PyObject* rs_step(PyRS& p) {
    // Truth values and item access run Python code, which may replace any
    // field: each is held while it is used, and the history is viewed only
    // where no Python code runs before it is read or written.
    const nb::object S = p.S, R = p.R;
    const bool s = truth(S), r = truth(R);
    const nb::object history = p.Q_array;
    np::View v{};
    const bool q = korvel::rs_next(s, r, [&] {
        if (np::view(history.ptr(), np::Dtype::boolean, true, v) && v.size > 0)
            return v.at<std::uint8_t>(0) != 0;
        return static_cast<bool>(PyItems(history)[0]);
    });
    nb::object Q = nb::bool_(q);
    if (np::view(history.ptr(), np::Dtype::boolean, true, v) && v.size > 0)
        data_store<std::uint8_t>(v.data, v.size, v.stride, q ? 1 : 0);
    else
        store(history, Q);
    // The old outputs go once both new ones are in place.
    const nb::object old_Q = std::exchange(p.Q, std::move(Q));
    const nb::object old_nQ = std::exchange(p.nQ, nb::bool_(!q));
    Py_RETURN_NONE;
}

void rs_init(PyObject* self, const Args&) {
    emplace<PyRS>(self, PyRS{nb::int_(0), nb::int_(0), nb::bool_(false), nb::bool_(true),
                             new_array(1, np::Dtype::boolean)});
}

PyObject* rs_call(PyRS& p, const Args&) {
    return rs_step(p);
}

PyType_Slot rs_slots[] = {{Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, rs_init>)},
                          {Py_tp_methods, nullptr},
                          {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyRS>)},
                          {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyRS>)},
                          {0, nullptr}};

// ---- TONtrigger, TOFFtrigger -----------------------------------------------

// One C++ type per Python class (nanobind registers types by C++ type).
template <bool OnDelay> struct PyTimerOf {
    nb::object Ut, Yt, DT, ET, Ut_array;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&Ut, &Yt, &DT, &ET, &Ut_array})
            f(*o);
    }
};

// The timer's fields as the core's rule reads and assigns them.
template <bool OnDelay> struct TimerFields {
    PyTimerOf<OnDelay>& p;

    PyItems history() const { return PyItems(p.Ut_array); }
    PyValue DT() const { return p.DT; }
    PyValue ET() const { return p.ET; }
    // The old value is released once the new one is in.
    void set_ET(PyValue v) { const nb::object old = std::exchange(p.ET, std::move(v).object()); }
};

// The value NumPy stores into an int64 array for a plain int or float
// (truncated toward zero); false for anything else, NaN and out-of-range
// values included, which take NumPy's own conversion and its errors.
bool plain_int64(PyObject* o, long long& v) {
    if (exact_i64(o, v)) return true;
    return PyFloat_CheckExact(o) && truncate_i64(PyFloat_AS_DOUBLE(o), v);
}

template <bool OnDelay> struct Timer {
    using PyTimer = PyTimerOf<OnDelay>;
    using Rule = std::conditional_t<OnDelay, korvel::OnDelayRule, korvel::OffDelayRule>;

    static void set_yt(PyTimer& p, nb::object v) {
        const nb::object old = std::exchange(p.Yt, std::move(v));
    }

    static PyObject* step(PyTimer& p) {
        const nb::object history = p.Ut_array, Ut = p.Ut;
        np::View v{};
        long long u = 0;
        const bool fast = np::view(history.ptr(), np::Dtype::int64, true, v) && v.size > 0 &&
                          plain_int64(Ut.ptr(), u);
        if (fast)
            data_store<std::int64_t>(v.data, v.size, v.stride, u);
        else
            store(history, Ut);

        korvel::TimerValues t;
        if (fast && v.size >= 2 && exact_i64(p.DT.ptr(), t.dt) && t.dt > LLONG_MIN &&
            exact_i64(p.ET.ptr(), t.et)) {
            // No Python code has run since the history was viewed.
            const long long ET = t.et;
            t.inputs = {v.at<std::int64_t>(0), v.at<std::int64_t>(1)};
            const int y = korvel::timer_step<Rule>(t);
            nb::object old_ET;
            if (t.et != ET) old_ET = std::exchange(p.ET, checked(PyLong_FromLongLong(t.et)));
            set_yt(p, nb::int_(y));
        } else {
            TimerFields<OnDelay> f{p};
            set_yt(p, nb::int_(korvel::timer_step<Rule>(f)));
        }
        Py_RETURN_NONE;
    }

    static void init(PyObject* self, const Args&) {
        emplace<PyTimer>(self,
                         PyTimer{nb::int_(0), nb::int_(0), nb::int_(korvel::default_timer_delay),
                                 nb::int_(0), new_array(2, np::Dtype::int64)});
    }

    static PyObject* call(PyTimer& p, const Args&) { return step(p); }

    static inline PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, init>)},
        {Py_tp_methods, nullptr},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyTimer>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyTimer>)},
        {0, nullptr}};
};

template <bool OnDelay>
void def_timer(nb::module_& m, const char* name, const char* call_doc, const char* class_doc) {
    using PyTimer = PyTimerOf<OnDelay>;
    Timer<OnDelay>::slots[1].pfunc =
        methods({method<PyTimer, sig_call, Timer<OnDelay>::call>(call_doc)});
    nb::class_<PyTimer> cls(m, name, nb::type_slots(Timer<OnDelay>::slots),
                            sig_init.class_doc(name, class_doc));
    def_object_field<PyTimer, &PyTimer::Ut>(cls, "Ut", doc::Ut);
    def_object_field<PyTimer, &PyTimer::Yt>(cls, "Yt", doc::Yt);
    def_object_field<PyTimer, &PyTimer::DT>(cls, "DT", doc::DT);
    def_object_field<PyTimer, &PyTimer::ET>(cls, "ET", doc::ET);
    def_object_field<PyTimer, &PyTimer::Ut_array>(cls, "Ut_array", doc::Ut_array);
    def_record_pickle<PyTimer>(cls, name, "timer");
}

} // namespace

NB_MODULE(latches, m) {
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    nb::module_::import_("korvel.algorithm.utilities");

    rs_slots[1].pfunc = methods({method<PyRS, sig_call, rs_call>(doc::rs_call)});
    nb::class_<PyRS> rs(m, "RStrigger", nb::type_slots(rs_slots),
                        sig_init.class_doc("RStrigger", doc::RStrigger));
    def_object_field<PyRS, &PyRS::S>(rs, "S", doc::S);
    def_object_field<PyRS, &PyRS::R>(rs, "R", doc::R);
    def_object_field<PyRS, &PyRS::Q>(rs, "Q", doc::Q);
    def_object_field<PyRS, &PyRS::nQ>(rs, "nQ", doc::nQ);
    def_object_field<PyRS, &PyRS::Q_array>(rs, "Q_array", doc::Q_array);
    def_record_pickle<PyRS>(rs, "RStrigger", "RStrigger");

    def_timer<true>(m, "TONtrigger", doc::ton_call, doc::TONtrigger);
    def_timer<false>(m, "TOFFtrigger", doc::toff_call, doc::TOFFtrigger);
}
