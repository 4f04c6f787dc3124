// korvel.algorithm.excite: the random two-level test signal.
#include <korvel/testsignal.hpp>

#include <optional>

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
#include "pyglue/value.hpp"
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

// The signal's arithmetic on Python objects: floored // and % on ints of
// any size, the table indexed as NumPy indexes (a float time fails there).
struct PythonInt {
    using Int = PyValue;
    static bool half_cycle_fits(const PyValue&) noexcept { return true; }
    static std::optional<PyValue> floor_div(const PyValue& t, const PyValue& period) {
        return korvel::pyglue::floor_div(t, period);
    }
    static std::optional<PyValue> cycle_id(const PyValue& index, int k, const PyValue& L,
                                           const PyValue&) {
        return floor_mod(index + k, L);
    }
    static PyValue position(const PyValue& t, const PyValue& period, const PyValue&) {
        return floor_mod(t, period);
    }
    static std::optional<PyValue> switch_time(const PyValue& period, const PyValue& fraction) {
        return to_int(period * fraction);
    }
};

// The table as a float64 array, read where it lies.
struct ArrayTable {
    np::View v;
    long long size() const noexcept { return v.size; }
    double operator[](long long i) const noexcept { return v.at<double>(i); }
};

// int(time.time()).
nb::object wall_clock_seconds() {
    PyTime_t now;
    if (PyTime_Time(&now) < 0) throw nb::python_error();
    return checked(PyLong_FromDouble(PyTime_AsSecondsDouble(now)));
}

// A level time as a new reference.
PyObject* new_reference(long long v) noexcept {
    return PyLong_FromLongLong(v);
}
PyObject* new_reference(const PyValue& v) noexcept {
    return Py_NewRef(v.ptr());
}

// (U, next1, ..., next5).
template <class Int>
PyObject* signal_tuple(const korvel::SignalLevels<Int>& lv, const nb::object& amp) {
    nb::object U = korvel::signal_level(lv.high, PyValue(amp)).object();
    PyObject* out = PyTuple_New(6);
    if (!out) raise();
    PyTuple_SET_ITEM(out, 0, U.release().ptr());
    for (int k = 0; k < 5; ++k) {
        PyObject* v = new_reference(lv.next[k]);
        if (!v) {
            Py_DECREF(out);
            raise();
        }
        PyTuple_SET_ITEM(out, k + 1, v);
    }
    return out;
}

void ts_init(PyObject* self, const Args& a) {
    // The table comes from NumPy's process-wide legacy generator itself, so a
    // seed gives the same table as any other user of it would see.
    using Table = korvel::SignalTable;
    nb::object random = import_attr("numpy", "random");
    random.attr("seed")(nb::handle(a.obj(0)));
    nb::object draws = random.attr("randint")(Table::low, Table::high + 1, Table::length);
    nb::object table = checked(PyNumber_TrueDivide(draws.ptr(), nb::int_(Table::scale).ptr()));
    emplace<PyTestSignal>(self, PyTestSignal{.rand_arr = table,
                                             .ET = nb::int_(korvel::default_half_cycle),
                                             .amp = nb::float_(korvel::default_amplitude)});
}

// Python's arithmetic, which also raises what the call raises. The fields
// are held as the call began, since the arithmetic and the table's item
// access run Python code, which may replace them.
PyObject* call_generic(const PyTestSignal& p, const nb::object& t) {
    const nb::object amp = p.amp;
    const auto lv =
        korvel::signal_levels_at<PythonInt>(PyValue(t), PyValue(p.ET), PyItems(p.rand_arr));
    return signal_tuple(*lv, amp);
}

PyObject* ts_step(PyTestSignal& p, const Args& a) {
    nb::object t = a.obj(0) != Py_None ? nb::borrow(a.obj(0)) : wall_clock_seconds();
    long long t_i, ET;
    np::View table{};
    if (exact_i64(t.ptr(), t_i) && exact_i64(p.ET.ptr(), ET) &&
        np::view(p.rand_arr.ptr(), np::Dtype::float64, false, table))
        if (const auto lv = korvel::signal_levels_at<korvel::SignalInt>(t_i, ET, ArrayTable{table}))
            return signal_tuple(*lv, p.amp);
    return call_generic(p, t); // out of long long's reach
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
    p.amp = korvel::clamped_amplitude(PyValue(nb::borrow(a.obj(0)))).object();
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
