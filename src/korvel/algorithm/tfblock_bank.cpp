// korvel.algorithm.tfblock: zFilterBank, n zFilters stepped in one call.
//
// The core's ZFilterBank does the work; lanes leave and enter as zFilters.
// Operating points are kept as floats (a zFilter keeps the object given).
#include <algorithm>
#include <string>
#include <vector>

#include "algorithm/tfblock.hpp"
#include "docstrings/tfblock.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/lfilter.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace korvel::tfblock {

namespace {

using namespace korvel::pyglue;
using korvel::ZFilterBank;
using Fault = ZFilterBank::Fault;
namespace doc = korvel::docstrings::tfblock;

// Every argument is converted (which may run Python code) before a lane
// changes.
struct PyZFilterBank {
    static constexpr const char* name = "zFilterBank";
    static constexpr const char* block = "zFilter";
    using Lane = korvel::ZFilter;
    ZFilterBank core;
    // Converting the arguments may run Python code, which must not resize
    // the lanes under the converted values.
    bool busy = false;

    // A zFilter that continues as lane i would.
    nb::object lane(std::size_t i) const { return new_zfilter(core.get(i)); }
    static korvel::ZFilter read(nb::handle value) {
        std::optional<korvel::ZFilter> f = zfilter_of(value);
        if (!f) refuse_lane(value, name, block);
        return *std::move(f);
    }
    void put(std::size_t i, const korvel::ZFilter& f) { core.set(i, f); }
};

const Signature sig_init("__init__",
                         {integer("n"), object("Bz", "[0, 0.1]"), object("Az", "[1, -0.9]"),
                          object("u_ini", "None"), object("y_ini", "None")});
const Signature sig_call("__call__", {object("Ut"), object("y_ini", "0.0")});
const Signature sig_run("run", {object("Ut"), object("y_ini", "0.0")});
const Signature sig_multistep("run_multistep", {object("U_arr"), object("y_ini", "0.0")});

// Coefficients of every lane: one row (1-D) or one row per lane (2-D), as
// float64 arrays in C order.
ZFilterBank::Rows rows(nb::handle arr, std::size_t n, const char* name) {
    double* data;
    Py_ssize_t count, r;
    if (np::f64_view(arr.ptr(), data, count)) return {data, static_cast<std::size_t>(count), 0};
    if (np::f64_rows(arr.ptr(), data, r, count) && static_cast<std::size_t>(r) == n)
        return {data, static_cast<std::size_t>(count), static_cast<std::size_t>(count)};
    nb::object shape = nb::getattr(arr, "shape");
    raise_format(PyExc_ValueError,
                 "%s must be one row of coefficients or %zu rows, one per lane, not an array of "
                 "shape %S",
                 name, n, shape.ptr());
}

void length(nb::handle o) {
    if (PyObject_Length(o.ptr()) < 0) raise();
}

// Throws, for the lanes that faulted, what their zFilters raise.
void raise_faults(const ZFilterBank& core, const std::vector<Fault>& fault) {
    raise_lane_errors(core.size(), [&](std::size_t i) {
        if (fault[i] != Fault::none) core.throw_fault(i, fault[i]);
    });
}

// As zFilter's constructor takes its arguments, lane by lane.
void bank_init(PyObject* self, const Args& a) {
    const std::size_t n = lane_count(a, 0);
    nb::object b = float_array(a.obj(1)), A = float_array(a.obj(2));
    const OptionalLaneValues u(a.obj(3), n, "u_ini"), y(a.obj(4), n, "y_ini");
    length(A);
    length(b);
    const ZFilterBank::Rows ra = rows(A, n, "Az"), rb = rows(b, n, "Bz");
    std::optional<ZFilterBank> core;
    try {
        core.emplace(n, rb, ra);
    } catch (...) {
        if (rb.stride == 0 && ra.stride == 0) throw;
        raise_lane_errors(n, [&](std::size_t i) { korvel::ZFilter(rb.lane(i), ra.lane(i)); });
        throw;
    }
    for (std::size_t i = 0; i < n; ++i)
        core->set_operating_point(i, {u[i], y[i]});
    emplace<PyZFilterBank>(self, PyZFilterBank{.core = std::move(*core)});
}

// The call operation and run: (Ut, y_ini=0.0), one sample of every lane.
PyObject* bank_step(PyZFilterBank& p, const Args& a) {
    const BankArgs<2> in(p.core, sig_call, a);
    const std::size_t n = p.core.size();
    double* out;
    nb::object result = lane_array(n, out);
    std::vector<Fault> fault(n);
    if (p.core.step(in[0], in[1], out, fault.data())) raise_faults(p.core, fault);
    return result.release().ptr();
}

// A FIR lane's samples go through lfilter's convolution, as its zFilter's do.
void fir_lanes(ZFilterBank& core, std::size_t m, korvel::LaneRows x, double* out) {
    const std::size_t n = core.size();
    for (std::size_t i = 0; i < n; ++i) {
        korvel::ZFilter f = core.get(i);
        Samples s;
        double* col;
        s.array = np::new_f64(m, col);
        for (std::size_t k = 0; k < m; ++k)
            col[k] = x[k][i];
        s.data = col;
        s.n = m;
        s.ours = s.one_dimensional = true;
        const korvel::OperatingPoint& op = f.operating_point();
        nb::object y = filter_array(f.iir(), s, f.state().data(), Deviation{*op.u, *op.y});
        double* yd;
        Py_ssize_t len;
        if (!np::f64_view(y.ptr(), yd, len) || static_cast<std::size_t>(len) != m)
            throw std::logic_error("lfilter gave an unexpected array");
        for (std::size_t k = 0; k < m; ++k)
            out[k * n + i] = yd[k];
        core.set_state(i, f.state().data());
    }
}

// run_multistep: U_arr samples x lanes (m, n), or m samples every lane takes.
nb::object bank_multistep(PyZFilterBank& p, const Args& a) {
    const std::size_t n = p.core.size();
    const LaneValues y(a.obj(1), n, "y_ini");
    nb::object U = checked(np::as_f64(a.obj(0)));
    double* data = nullptr;
    Py_ssize_t m = 0, cols = 0;
    korvel::LaneRows x{nullptr, 1, 0};
    bool fits = false;
    switch (np::ndim(U.ptr())) {
    case 1: // a copy in C order where the array is not
        if (!np::f64_view(U.ptr(), data, m)) np::f64_view((U = np::array_f64(U)).ptr(), data, m);
        x = {data, 1, 0};
        fits = true;
        break;
    case 2:
        if (!np::f64_rows(U.ptr(), data, m, cols))
            np::f64_rows((U = np::array_f64(U)).ptr(), data, m, cols);
        x = {data, static_cast<std::ptrdiff_t>(n), 1};
        fits = static_cast<std::size_t>(cols) == n;
        break;
    }
    if (!fits) {
        nb::object shape = nb::getattr(U, "shape");
        raise_format(PyExc_ValueError,
                     "U_arr must be samples x lanes, an array of shape (m, %zu) or (m,), not %S", n,
                     shape.ptr());
    }
    double* out;
    nb::object result = np::new_f64(static_cast<std::size_t>(m), n, out);
    std::vector<Fault> fault(n);
    const std::size_t samples = static_cast<std::size_t>(m);
    if (p.core.is_fir() && samples > 1) {
        if (p.core.start(samples, x, y.lanes(), fault.data())) raise_faults(p.core, fault);
        fir_lanes(p.core, samples, x, out);
    } else if (p.core.run(samples, x, y.lanes(), out, fault.data())) {
        raise_faults(p.core, fault);
    }
    return result;
}

// --- pickling ----------------------------------------------------------------
//
// State: (n, Bz, Az, u_ini, y_ini, given, z). Bz and Az are one row for all
// lanes (1-D), one row per lane (2-D) or, where lanes differ in length, a
// list of n rows; u_ini and y_ini the little-endian doubles of every lane,
// `given` a byte per lane (bit 0: u_ini set, bit 1: y_ini set) and z every
// lane's state in turn.

nb::object save_rows(const ZFilterBank& c, bool numerator) {
    const auto row = [&](std::size_t i) -> const std::vector<double>& {
        return numerator ? c.iir(i).b() : c.iir(i).a();
    };
    const std::size_t n = c.size();
    if (c.shared()) return f64_array(row(0));
    std::size_t len = n ? row(0).size() : 0;
    for (std::size_t i = 0; i < n; ++i)
        if (row(i).size() != len) {
            nb::list each;
            for (std::size_t j = 0; j < n; ++j)
                each.append(f64_array(row(j)));
            return each;
        }
    if (n == 0) len = numerator ? c.state_size() + 1 : c.is_fir() ? 1 : c.state_size() + 1;
    double* d;
    nb::object m = np::new_f64(n, len, d);
    for (std::size_t i = 0; i < n; ++i)
        std::copy(row(i).begin(), row(i).end(), d + i * len);
    return m;
}

nb::tuple save(PyZFilterBank& p) {
    const ZFilterBank& c = p.core;
    const std::size_t n = c.size(), L = c.state_size();
    std::vector<double> u(n), y(n), z(n * L);
    std::string given(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        const korvel::OperatingPoint op = c.operating_point(i);
        u[i] = op.u.value_or(0.0);
        y[i] = op.y.value_or(0.0);
        given[i] = static_cast<char>((op.u ? 1 : 0) | (op.y ? 2 : 0));
        c.state(i, z.data() + i * L);
    }
    return nb::make_tuple(n, save_rows(c, true), save_rows(c, false), pack_lanes(u), pack_lanes(y),
                          nb::bytes(given.data(), n), pack_lanes(z));
}

[[noreturn]] void invalid_state() {
    throw nb::value_error("invalid zFilterBank state");
}

// Lane i's row of a saved Bz or Az; for no lanes, a row of the rows' length.
std::vector<double> saved_row(nb::handle rows, std::size_t n, std::size_t i) {
    double* d;
    Py_ssize_t r, len;
    if (np::f64_view(rows.ptr(), d, len)) return std::vector<double>(d, d + len);
    if (np::f64_rows(rows.ptr(), d, r, len) && static_cast<std::size_t>(r) == n)
        return n ? std::vector<double>(d + i * len, d + (i + 1) * len)
                 : std::vector<double>(static_cast<std::size_t>(len));
    if (!PyList_CheckExact(rows.ptr()) || nb::len(rows) != n || i >= n) invalid_state();
    nb::object row = float_array(nb::list(rows)[i]);
    if (np::ndim(row.ptr()) != 1) invalid_state();
    return array_items(row);
}

void load(nb::handle self, const nb::tuple& s) {
    const char* what = "zFilterBank";
    if (s.size() != 7) invalid_state();
    const std::size_t n = state_size(s[0], what);
    nb::object rows_b = s[1], rows_a = s[2];
    const std::vector<double> u = unpack_lanes(s[3], n, what), y = unpack_lanes(s[4], n, what);
    const auto given = state_as<nb::bytes>(s[5], what);
    if (given.size() != n) invalid_state();
    const auto* flags = static_cast<const std::uint8_t*>(given.data());
    const korvel::Iir shape(saved_row(rows_b, n, 0), saved_row(rows_a, n, 0));
    const std::size_t L = shape.state_size();
    const std::vector<double> z = unpack_lanes(s[6], n * L, what);
    // Every lane as a filter, checked, before the bank is built from them.
    std::vector<korvel::ZFilter> lanes;
    lanes.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        korvel::Iir f(saved_row(rows_b, n, i), saved_row(rows_a, n, i));
        if (f.state_size() != L || f.is_fir() != shape.is_fir()) invalid_state();
        const korvel::OperatingPoint op{flags[i] & 1 ? std::optional(u[i]) : std::nullopt,
                                        flags[i] & 2 ? std::optional(y[i]) : std::nullopt};
        lanes.emplace_back(std::move(f), op,
                           std::vector<double>(z.data() + i * L, z.data() + (i + 1) * L));
    }
    ZFilterBank core(n, n ? lanes[0] : korvel::ZFilter(shape, {}, std::vector<double>(L)));
    for (std::size_t i = 1; i < n; ++i)
        core.set(i, lanes[i]);
    emplace<PyZFilterBank>(self.ptr(), PyZFilterBank{.core = std::move(core)});
}

} // namespace

void def_zfilter_bank(nb::module_& m) {
    const auto slots = bank_slots<PyZFilterBank>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyZFilterBank, sig_call, bank_step>)},
        {Py_tp_methods,
         methods({method<PyZFilterBank, sig_run, bank_step>(doc::bank_run),
                  method<PyZFilterBank, sig_multistep, bank_multistep>(doc::bank_run_multistep)})},
    });
    nb::class_<PyZFilterBank> cls(m, "zFilterBank", nb::type_slots(slots.data()),
                                  sig_init.class_doc("zFilterBank", doc::zFilterBank));
    def_call_doc(cls, sig_call, doc::bank_step);
    def_pickle<PyZFilterBank>(cls, "zFilterBank", save, load);
}

} // namespace korvel::tfblock
