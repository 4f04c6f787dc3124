// korvel.algorithm.deadtime: DelayBank, n Delay lanes stepped in one call.
#include <korvel/delay.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "deadtime.hpp"
#include "docstrings/deadtime.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using namespace korvel::deadtime;

namespace {

struct PyDelayBank;
const Signature sig_bank_init("__init__", {integer("n"), object("max_cache", "10000")});
const Signature sig_bank_call("__call__", {object("Ut"), object("nLag", "1")});
PyObject* bank_step(PyDelayBank& p, const Args& a);

struct PyDelayBank {
    static constexpr const char* name = "DelayBank";
    static constexpr const char* block = "Delay";
    using Lane = korvel::DelayLine<double>;
    vectorcallfunc call = vectorcall_slot<PyDelayBank, sig_bank_call, bank_step>;
    korvel::DelayBank core;
    // Converting the arguments may run Python code, which must not resize
    // the lanes under the converted values.
    bool busy = false;

    // A Delay of Python floats that continues as lane i would.
    nb::object lane(std::size_t i) const {
        const Lane line = core.get(i);
        std::vector<nb::object> samples;
        line.for_each_held([&](double v) { samples.push_back(nb::float_(v)); });
        korvel::DelayLine<nb::object> held(line.capacity());
        held.assign(samples.begin(), samples.end());
        return new_delay(std::move(held));
    }
    static Lane read(nb::handle value);
    void put(std::size_t i, const Lane& line) { core.set(i, line); }
};

void bank_init(PyObject* self, const Args& a) {
    const std::size_t n = lane_count(a);
    const LaneCounts max_cache(a.obj(1), n, "max_cache");
    std::vector<std::size_t> caps(n);
    LaneErrors refused(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (max_cache.too_big(i))
            refused.add(i, PyExc_OverflowError, "int too big to convert");
        else if (max_cache[i] < 0)
            refused.add(i, PyExc_ValueError, negative_capacity);
        caps[i] = static_cast<std::size_t>(max_cache[i]);
    }
    refused.raise_if_any();
    emplace<PyDelayBank>(self, PyDelayBank{.core = korvel::DelayBank(caps)});
}

// Lanes whose delay is out of range store their input and fail, as their
// Delay does, and no other lane steps.
PyObject* bank_step(PyDelayBank& p, const Args& a) {
    const std::size_t n = p.core.size();
    const LaneValues u(a.obj(0), n, "Ut");
    const LaneCounts lag(a.obj(1), n, "nLag");
    double* out;
    nb::object result = lane_array(n, out);
    std::vector<std::uint8_t> refused(n);
    if (p.core.step(u.lanes(), lag.lanes(), out, refused.data()) == 0)
        return result.release().ptr();
    LaneErrors errors(n);
    for (std::size_t i = 0; i < n; ++i)
        if (refused[i]) {
            const long long capacity = static_cast<long long>(p.core.capacity(i));
            const nb::str value(lag.text(i).c_str());
            errors.add(i, PyExc_ValueError, lag_refused(capacity, value).c_str());
        }
    errors.raise_if_any();
    return result.release().ptr();
}

// Every lane's history, newest first: its capacity of samples once it has
// taken one, none before.
nb::object bank_cache(PyDelayBank& p) {
    const korvel::DelayBank& c = p.core;
    nb::object lanes = checked(PyTuple_New(static_cast<Py_ssize_t>(c.size())));
    for (std::size_t i = 0; i < c.size(); ++i) {
        const std::size_t m = c.empty(i) ? 0 : c.capacity(i);
        double* d;
        nb::object a = lane_array(m, d);
        for (std::size_t lag = 0; lag < m; ++lag)
            d[lag] = c.at(i, lag);
        PyTuple_SET_ITEM(lanes.ptr(), static_cast<Py_ssize_t>(i), a.release().ptr());
    }
    return lanes;
}

// A Delay's samples must be numbers: a lane holds floats. Held before they
// are converted, as a sample's __float__ may change the Delay.
PyDelayBank::Lane PyDelayBank::read(nb::handle value) {
    const korvel::DelayLine<nb::object>* from = delay_line(value);
    if (!from) refuse_lane(value, name, block);
    Lane line(from->capacity());
    std::vector<nb::object> samples;
    from->for_each_held([&](const nb::object& o) { samples.push_back(o); });
    std::vector<double> v(samples.size());
    for (std::size_t k = 0; k < v.size(); ++k)
        if (!to_double(samples[k].ptr(), v[k])) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
            PyErr_Clear();
            raise_format(PyExc_TypeError,
                         "a DelayBank lane holds floats: the Delay's sample %zd (newest first) "
                         "is %.200s",
                         static_cast<Py_ssize_t>(k), type_name(samples[k].ptr()));
        }
    line.assign(v.begin(), v.end());
    return line;
}

// Counts as a tuple of ints, checked against `bound` lane by lane.
std::vector<std::size_t> state_counts(nb::handle h, std::size_t n,
                                      const std::vector<std::size_t>* bound) {
    const auto t = state_as<nb::tuple>(h, "DelayBank");
    if (t.size() != n) throw nb::value_error("invalid DelayBank state");
    std::vector<std::size_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = state_size(t[i], "DelayBank");
        if (bound && v[i] > (*bound)[i]) throw nb::value_error("invalid DelayBank state");
    }
    return v;
}

} // namespace

void korvel::deadtime::def_delay_bank(nb::module_& m) {
    namespace doc = korvel::docstrings::deadtime;
    const auto slots = bank_slots<PyDelayBank>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bank_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyDelayBank, sig_bank_call, bank_step>)},
    });
    nb::class_<PyDelayBank> cls(m, "DelayBank", nb::type_slots(slots.data()),
                                sig_bank_init.class_doc("DelayBank", doc::DelayBank));
    enable_vectorcall<PyDelayBank>(cls);
    def_call_doc(cls, sig_bank_call, doc::bank_call);
    def_readonly<PyDelayBank>(cls, "_cache", bank_cache, doc::bank_cache);
    // State: the lane count, each lane's capacity and number of samples
    // kept, then all those samples (lane by lane, newest first) as bytes.
    def_pickle<PyDelayBank>(
        cls, "DelayBank",
        [](PyDelayBank& p) {
            const korvel::DelayBank& c = p.core;
            nb::list caps, held;
            std::vector<double> samples;
            for (std::size_t i = 0; i < c.size(); ++i) {
                caps.append(c.capacity(i));
                held.append(c.held(i));
                for (std::size_t j = 0; j < c.held(i); ++j)
                    samples.push_back(c.at(i, j));
            }
            return nb::make_tuple(c.size(), nb::tuple(caps), nb::tuple(held), pack_lanes(samples));
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 4) throw nb::value_error("invalid DelayBank state");
            const std::size_t n = state_size(s[0], "DelayBank");
            const std::vector<std::size_t> caps = state_counts(s[1], n, nullptr);
            const std::vector<std::size_t> held = state_counts(s[2], n, &caps);
            std::size_t total = 0;
            for (std::size_t k : held)
                total += k;
            const std::vector<double> samples = unpack_lanes(s[3], total, "DelayBank");
            korvel::DelayBank core(caps);
            auto at = samples.begin();
            for (std::size_t i = 0; i < n; ++i) {
                const auto next = at + static_cast<std::ptrdiff_t>(held[i]);
                core.assign(i, at, next);
                at = next;
            }
            emplace<PyDelayBank>(self.ptr(), PyDelayBank{.core = std::move(core)});
        });
}
