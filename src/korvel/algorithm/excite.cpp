// korvel.algorithm.excite: the random two-level test signal.
#include <korvel/testsignal.hpp>

#include "docstrings/excite.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/number.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
namespace np = korvel::pyglue::np;

namespace {

// `_rand_arr` is read at every call, so callers may edit it in place.
// Time is a Python int of any size: natively while the arithmetic fits in a
// long long, with Python's integer arithmetic beyond.
struct PyTestSignal;
const Signature sig_call("__call__", {object("t", "None")});
PyObject* ts_step(PyTestSignal& p, const Args& a);

struct PyTestSignal {
    vectorcallfunc call = vectorcall_slot<PyTestSignal, sig_call, ts_step>;
    nb::object rand_arr, ET, amp;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&rand_arr, &ET, &amp})
            f(*o);
    }
};

const Signature sig_init("__init__", {object("SEED", "None")});
const Signature sig_get_ET("get_ET", {});
const Signature sig_set_ET("set_ET", {object("ET", "10")});
const Signature sig_get_amp("get_amplitude", {});
const Signature sig_set_amp("set_amplitude", {object("amp", "1.0")});

constexpr long long table_length = 10000;

// int(time.time()).
nb::object wall_clock_seconds() {
    PyTime_t now;
    if (PyTime_Time(&now) < 0) throw nb::python_error();
    return checked(PyLong_FromDouble(PyTime_AsSecondsDouble(now)));
}

// The call on Python objects: floored // and % on ints of any size, the
// table indexed as NumPy indexes (a float time fails there).
// The fields are held as the call began: the arithmetic and the table's item
// access run Python code, which may replace them.
PyObject* call_generic(const PyTestSignal& fields, nb::handle t) {
    const PyTestSignal p{nullptr, fields.rand_arr, fields.ET, fields.amp};
    nb::object two = nb::int_(2), four = nb::int_(4), six = nb::int_(6);
    nb::object period = two * p.ET;
    nb::object index = checked(PyNumber_FloorDivide(t.ptr(), period.ptr()));
    const Py_ssize_t n = PyObject_Size(p.rand_arr.ptr());
    if (n < 0) throw nb::python_error();
    nb::object L = nb::int_(n);
    nb::object sw[3];
    for (long k = 0; k < 3; ++k) {
        nb::object id = (index + nb::int_(k)) % L;
        nb::object fraction = checked(PyObject_GetItem(p.rand_arr.ptr(), id.ptr()));
        sw[k] = checked(PyNumber_Long((period * fraction).ptr()));
    }
    nb::object tp = nb::borrow(t) % period;
    if (tp < sw[0]) {
        nb::object n2 = period - tp, n4 = four * p.ET - tp;
        return nb::make_tuple(p.amp, sw[0] - tp, n2, n2 + sw[1], n4, n4 + sw[2]).release().ptr();
    }
    nb::object n1 = period - tp, n3 = four * p.ET - tp;
    return nb::make_tuple(-p.amp, n1, n1 + sw[1], n3, n3 + sw[2], six * p.ET - tp).release().ptr();
}

// The call in long long arithmetic; nullptr without an error when the
// inputs leave it (the generic path then decides, errors included).
PyObject* call_fast(const PyTestSignal& p, PyObject* t_obj) {
    constexpr long long max_ET = 1LL << 40, max_sw = 1LL << 60;
    long long t, ET;
    np::View table{};
    if (!exact_i64(t_obj, t) || !exact_i64(p.ET.ptr(), ET) || ET == 0 || ET > max_ET ||
        ET < -max_ET || !np::view(p.rand_arr.ptr(), np::Dtype::float64, false, table) ||
        table.size == 0)
        return nullptr;
    const long long period = 2 * ET;
    const auto c = korvel::signal_cycle(t, period, table.size);
    if (!c) return nullptr;
    long long sw[3];
    for (int k = 0; k < 3; ++k) {
        const auto s = korvel::switch_time(period, table.at<double>(c->ids[k]));
        if (!s || *s > max_sw || *s < -max_sw) return nullptr;
        sw[k] = *s;
    }
    const korvel::SignalLevels lv = korvel::signal_levels(ET, c->tp, sw[0], sw[1], sw[2]);
    PyObject* U;
    if (lv.high)
        U = Py_NewRef(p.amp.ptr());
    else if (PyFloat_CheckExact(p.amp.ptr()))
        U = PyFloat_FromDouble(-PyFloat_AS_DOUBLE(p.amp.ptr()));
    else
        U = PyNumber_Negative(p.amp.ptr());
    if (!U) throw nb::python_error();
    PyObject* out = PyTuple_New(6);
    if (!out) {
        Py_DECREF(U);
        throw nb::python_error();
    }
    PyTuple_SET_ITEM(out, 0, U);
    for (int k = 0; k < 5; ++k) {
        PyObject* v = PyLong_FromLongLong(lv.next[k]);
        if (!v) {
            Py_DECREF(out);
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(out, k + 1, v);
    }
    return out;
}

void ts_init(PyObject* self, const Args& a) {
    // The table comes from NumPy's process-wide legacy generator itself, so a
    // seed gives the same table as any other user of it would see.
    nb::object random = import_attr("numpy", "random");
    random.attr("seed")(nb::handle(a.obj(0)));
    nb::object draws = random.attr("randint")(10, 91, table_length);
    nb::object table = checked(PyNumber_TrueDivide(draws.ptr(), nb::int_(100).ptr()));
    emplace<PyTestSignal>(
        self, PyTestSignal{.rand_arr = table, .ET = nb::int_(10), .amp = nb::float_(1.0)});
}

PyObject* ts_step(PyTestSignal& p, const Args& a) {
    nb::object t = a.obj(0) != Py_None ? nb::borrow(a.obj(0)) : wall_clock_seconds();
    if (PyObject* r = call_fast(p, t.ptr())) return r;
    return call_generic(p, t);
}

nb::object ts_get_ET(PyTestSignal& p, const Args&) {
    return p.ET;
}

void ts_set_ET(PyTestSignal& p, const Args& a) {
    p.ET = checked(PyNumber_Long(a.obj(0)));
}

nb::object ts_get_amp(PyTestSignal& p, const Args&) {
    return p.amp;
}

void ts_set_amp(PyTestSignal& p, const Args& a) {
    // Negative and NaN amplitudes become 0.0.
    nb::object amp = nb::borrow(a.obj(0)), zero = nb::float_(0.0);
    p.amp = amp > zero ? amp : zero;
}

} // namespace

NB_MODULE(excite, m) {
    namespace doc = korvel::docstrings::excite;
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();

    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, ts_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyTestSignal, sig_call, ts_step>)},
        {Py_tp_methods, methods({
                            method<PyTestSignal, sig_get_ET, ts_get_ET>(doc::get_ET),
                            method<PyTestSignal, sig_set_ET, ts_set_ET>(doc::set_ET),
                            method<PyTestSignal, sig_get_amp, ts_get_amp>(doc::get_amplitude),
                            method<PyTestSignal, sig_set_amp, ts_set_amp>(doc::set_amplitude),
                        })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyTestSignal>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyTestSignal>)},
        {0, nullptr}};
    nb::class_<PyTestSignal> cls(m, "TestSignal", nb::type_slots(slots),
                                 sig_init.class_doc("TestSignal", doc::TestSignal));
    enable_vectorcall<PyTestSignal>(cls);
    def_call_doc(cls, sig_call, doc::call);
    def_object_field<PyTestSignal, &PyTestSignal::rand_arr>(
        cls, "_rand_arr", "Switching fractions of the cycles (float64 array, read at each call).");
    def_field<PyTestSignal>(
        cls, "_ET", [](PyTestSignal& p) { return p.ET; },
        [](PyTestSignal& p, nb::handle v) { p.ET = field_index(v); },
        "Half the cycle length in seconds (an int).");
    def_object_field<PyTestSignal, &PyTestSignal::amp>(cls, "_amp", "Amplitude.");

    def_record_pickle<PyTestSignal>(cls, "TestSignal", "TestSignal");
}
