// korvel.algorithm.deadtime: pure delays, field-driven and callable.
#include "deadtime.hpp"

#include <korvel/delay.hpp>

#include <algorithm>
#include <utility>
#include <vector>

#include "docstrings/deadtime.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/number.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/shift.hpp"
#include "pyglue/value.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
namespace np = korvel::pyglue::np;
using namespace korvel::deadtime;

namespace {

PyObject* deque_type = nullptr; // collections.deque, held for the life of the process

// ---- Delay_Algorithm -------------------------------------------------------

// Every field holds whatever the caller stores. A call works natively on a
// float64 history and plain int/float fields, and otherwise does what the
// same steps do in Python on the objects, NumPy's rules included.
struct PyDelayAlgorithm {
    nb::object Ut, Yt, nLag, U_array;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&Ut, &Yt, &nLag, &U_array})
            f(*o);
    }
};

const Signature sig_da_init("__init__", {});
const Signature sig_da_call("call", {});

// history[0] = value, NumPy's conversion included.
void store_front(nb::handle history, nb::handle value) {
    nb::object zero = nb::int_(0);
    if (PyObject_SetItem(history.ptr(), zero.ptr(), value.ptr()) < 0) throw nb::python_error();
}

nb::object new_history(Py_ssize_t n) {
    PyObject* a = np::zeros(n, np::Dtype::float64);
    if (!a) throw nb::python_error();
    return nb::steal(a);
}

// A one-dimensional float64 view of the history for reading, converting a
// history the caller stored in another form (a list, another dtype).
nb::object readable_history(nb::handle history, np::View& v) {
    if (np::view(history.ptr(), np::Dtype::float64, false, v)) return nb::borrow(history);
    nb::object conv = checked(np::as_f64(history.ptr()));
    if (!np::view(conv.ptr(), np::Dtype::float64, false, v))
        throw nb::value_error("U_array must be one-dimensional");
    return conv;
}

// Extends the history to `m` samples with copies of its oldest one.
nb::object extended_history(nb::handle history, Py_ssize_t m) {
    np::View old;
    nb::object keep = readable_history(history, old);
    nb::object grown = new_history(m);
    np::View g{};
    if (!np::view(grown.ptr(), np::Dtype::float64, true, g))
        throw nb::type_error("numpy.zeros did not give a float64 array");
    // A history whose length said less than its items are keeps its newest m.
    std::vector<double> copy(static_cast<std::size_t>(std::min(old.size, m)));
    for (std::size_t i = 0; i < copy.size(); ++i)
        copy[i] = old.at<double>(static_cast<Py_ssize_t>(i));
    korvel::extend_with_oldest(copy.data(), copy.size(), &g.at<double>(0),
                               static_cast<std::size_t>(m));
    return grown;
}

// A field assignment whose old value is released once the new one is in.
void set_field(nb::object& field, nb::object v) {
    const nb::object old = std::exchange(field, std::move(v));
}

// The history is whatever U_array holds: a float64 array natively, anything
// else through Python's item access and dataStore. Sizes, comparisons,
// conversions and item access run Python code, which may replace any field:
// what they work on is held, and the history is viewed only where no Python
// code runs before it is read or written.
class FieldHistory {
  public:
    explicit FieldHistory(PyDelayAlgorithm& p) noexcept : p_(p) {}

    // Measured anew each time: Python code may have replaced the history.
    Py_ssize_t size() {
        held_ = p_.U_array;
        const Py_ssize_t n = PyObject_Size(held_.ptr());
        if (n < 0) raise();
        return n;
    }
    // Kept only once it holds the input.
    void start() {
        nb::object first = new_history(1);
        store_front(first, nb::object(p_.Ut));
        set_field(p_.U_array, std::move(first));
    }
    PyValue lag() const { return PyValue(p_.nLag); }
    Py_ssize_t count(const PyValue& lag) const {
        long long i;
        Py_ssize_t m;
        if (exact_i64(lag.ptr(), i)) {
            m = i >= PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(i);
        } else {
            m = PyNumber_AsSsize_t(lag.ptr(), PyExc_OverflowError);
            if (m == -1 && PyErr_Occurred()) raise();
        }
        if (m == PY_SSIZE_T_MAX) raise_format(PyExc_ValueError, "array is too big");
        return m;
    }
    // The history measured last, extended.
    void extend(Py_ssize_t m) { set_field(p_.U_array, extended_history(held_, m)); }
    void push() {
        held_ = p_.U_array;
        const nb::object Ut = p_.Ut;
        double u = 0.0;
        viewed_ = np::view(held_.ptr(), np::Dtype::float64, true, view_) && view_.size > 0 &&
                  plain_double(Ut.ptr(), u);
        if (viewed_)
            data_store(view_.data, view_.size, view_.stride, u);
        else if (!data_store(held_.ptr(), Ut.ptr()))
            raise();
    }
    PyValue at(const PyValue& lag) {
        long long i;
        if (viewed_ && exact_i64(lag.ptr(), i)) {
            // No Python code has run since the history was viewed.
            const long long k = i < 0 ? i + view_.size : i;
            if (k < 0 || k >= view_.size)
                raise_format(PyExc_IndexError,
                             "index %lld is out of bounds for axis 0 with size %zd", i, view_.size);
            return nb::float_(view_.at<double>(static_cast<Py_ssize_t>(k)));
        }
        // A bool delay counts as 0 or 1, as in the comparison with the
        // length, rather than as NumPy's boolean mask.
        const PyValue index = PyBool_Check(lag.ptr()) ? PyValue(lag.ptr() == Py_True ? 1 : 0) : lag;
        held_ = p_.U_array;
        return PyItems(held_)[index];
    }

  private:
    PyDelayAlgorithm& p_;
    nb::object held_;
    np::View view_{};
    bool viewed_ = false;
};

PyObject* da_step(PyDelayAlgorithm& p) {
    FieldHistory h(p);
    set_field(p.Yt, korvel::delay_step(h).object());
    Py_RETURN_NONE;
}

void da_init(PyObject* self, const Args&) {
    emplace<PyDelayAlgorithm>(
        self, PyDelayAlgorithm{nb::int_(0), nb::int_(0), nb::int_(1), new_history(0)});
}

PyObject* da_call(PyDelayAlgorithm& p, const Args&) {
    return da_step(p);
}

PyType_Slot da_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_da_init, da_init>)},
    {Py_tp_methods, nullptr},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyDelayAlgorithm>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyDelayAlgorithm>)},
    {0, nullptr}};

// ---- Delay -----------------------------------------------------------------

struct PyDelay;
const Signature sig_d_init("__init__", {integer("max_cache", "10000")});
const Signature sig_d_call("__call__", {object("Ut"), integer("nLag", "1")});
PyObject* d_step(PyDelay& p, const Args& a);

struct PyDelay {
    vectorcallfunc call = vectorcall_slot<PyDelay, sig_d_call, d_step>;
    korvel::DelayLine<nb::object> line;

    template <class F> void for_each_object(F&& f) { line.for_each_held(f); }
};

void d_init(PyObject* self, const Args& a) {
    long long max_cache;
    if (!a.longlong(0, max_cache)) raise();
    if (max_cache < 0) raise_format(PyExc_ValueError, negative_capacity);
    emplace<PyDelay>(
        self, PyDelay{.line = korvel::DelayLine<nb::object>(static_cast<std::size_t>(max_cache))});
}

PyObject* d_step(PyDelay& p, const Args& a) {
    PyObject* lag_obj = a.obj(1);
    int overflow = 0;
    const long long lag = PyLong_AsLongLongAndOverflow(lag_obj, &overflow);
    if (p.line.empty() && a.obj(0) == Py_None)
        raise_format(PyExc_ValueError, "Ut is None and cache is empty.");
    p.line.push(nb::borrow(a.obj(0)));
    if (overflow == 0 && p.line.valid_lag(lag))
        return Py_NewRef(p.line.at(static_cast<std::size_t>(lag)).ptr());
    PyErr_SetObject(PyExc_ValueError,
                    lag_refused(static_cast<long long>(p.line.capacity()), lag_obj).ptr());
    raise();
}

PyType_Slot d_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_d_init, d_init>)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyDelay, sig_d_call, d_step>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyDelay>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyDelay>)},
    {0, nullptr}};

nb::list history(const PyDelay& p) {
    nb::list out;
    p.line.for_each([&](const nb::object& o) { out.append(o); });
    return out;
}

PyObject* delay_type = nullptr; // deadtime.Delay, set at module init

} // namespace

nb::str korvel::deadtime::lag_refused(long long capacity, nb::handle lag) {
    return nb::borrow<nb::str>(checked(PyUnicode_FromFormat(
        "nLag must be between 0 and %lld, but got %S.", capacity - 1, lag.ptr())));
}

nb::object korvel::deadtime::new_delay(korvel::DelayLine<nb::object> line) {
    nb::object d = nb::inst_alloc(delay_type);
    new (nb::inst_ptr<PyDelay>(d)) PyDelay{.line = std::move(line)};
    nb::inst_mark_ready(d);
    return d;
}

const korvel::DelayLine<nb::object>* korvel::deadtime::delay_line(nb::handle o) noexcept {
    if (!nb::isinstance<PyDelay>(o) || !nb::inst_ready(o)) return nullptr;
    return &nb::inst_ptr<PyDelay>(o)->line;
}

NB_MODULE(deadtime, m) {
    namespace doc = korvel::docstrings::deadtime;
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    nb::module_::import_("korvel.algorithm.utilities");
    deque_type = nb::object(nb::module_::import_("collections").attr("deque")).release().ptr();

    da_slots[1].pfunc = methods({method<PyDelayAlgorithm, sig_da_call, da_call>(doc::da_call)});
    nb::class_<PyDelayAlgorithm> da(m, "Delay_Algorithm", nb::type_slots(da_slots),
                                    sig_da_init.class_doc("Delay_Algorithm", doc::Delay_Algorithm));
    def_object_field<PyDelayAlgorithm, &PyDelayAlgorithm::Ut>(da, "Ut", doc::Ut);
    def_object_field<PyDelayAlgorithm, &PyDelayAlgorithm::Yt>(da, "Yt", doc::Yt);
    def_object_field<PyDelayAlgorithm, &PyDelayAlgorithm::nLag>(da, "nLag", doc::nLag);
    def_object_field<PyDelayAlgorithm, &PyDelayAlgorithm::U_array>(da, "U_array", doc::U_array);
    def_record_pickle<PyDelayAlgorithm>(da, "Delay_Algorithm", "Delay_Algorithm");

    nb::class_<PyDelay> d(m, "Delay", nb::type_slots(d_slots),
                          sig_d_init.class_doc("Delay", doc::Delay));
    enable_vectorcall<PyDelay>(d);
    delay_type = d.ptr();
    def_call_doc(d, sig_d_call, doc::d_call);
    def_readonly<PyDelay>(
        d, "_cache",
        [](PyDelay& p) { return nb::handle(deque_type)(history(p), p.line.capacity()); },
        doc::cache);
    def_pickle<PyDelay>(
        d, "Delay",
        [](PyDelay& p) { return nb::make_tuple(p.line.capacity(), nb::tuple(history(p))); },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 2) throw nb::value_error("invalid Delay state");
            const auto capacity = state_size(s[0], "Delay");
            std::vector<nb::object> items;
            for (nb::handle h : state_as<nb::tuple>(s[1], "Delay"))
                items.push_back(nb::borrow(h));
            // Empty before the first call, full ever after: a delay reads any
            // slot below its capacity.
            if (!items.empty() && items.size() != capacity)
                throw nb::value_error("invalid Delay state");
            PyDelay p{.line = korvel::DelayLine<nb::object>(capacity)};
            p.line.assign(items.begin(), items.end());
            emplace<PyDelay>(self.ptr(), std::move(p));
        });

    def_delay_bank(m);
}
