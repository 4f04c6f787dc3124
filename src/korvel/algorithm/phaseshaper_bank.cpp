// LDLAGBank: n LDLAG lead-lags in one object, the core's LeadLagBank over
// SciPy's discretisation, so every lane is its LDLAG to the bit.
#include <korvel/bytes.hpp>
#include <korvel/filters.hpp>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "docstrings/phaseshaper.hpp"
#include "phaseshaper_lanes.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace korvel::phaseshaper {

using namespace korvel::pyglue;
using namespace nb::literals;
namespace doc = korvel::docstrings::phaseshaper;

namespace {

struct PyLDLAGBank {
    static constexpr const char* name = "LDLAGBank";
    using Lane = korvel::LeadLagLane;
    korvel::LeadLagBank core;
    bool busy = false; // the discretisation runs Python code

    nb::object lane(std::size_t i) const { return make_ldlag(core.lane(i)); }
    static Lane read(nb::handle value) { return ldlag_lane(value, name); }
    void put(std::size_t i, const Lane& l) { core.set_lane(i, l); }
};

const Signature sig_init("__init__",
                         {integer("n"), object("alpha", "0.0"), object("tao", "5.0"),
                          object("Ts", "1"), object("u_ini", "None"), object("y_ini", "None")});
const Signature sig_call("__call__", {object("u")});
const Signature sig_modify("_modify_param", {});
const Signature sig_multi("multi_step", {object("u")});

// Raises the error of the lanes that refused (failed[i] non-null): the
// first lane's error, naming every lane that failed the same way.
[[noreturn]] void refuse_lanes(const std::vector<std::exception_ptr>& failed) {
    // Each distinct exception as (type, text), in lane order.
    struct Kind {
        std::exception_ptr e;
        nb::object type;
        nb::str text;
    };
    const auto describe = [](const std::exception_ptr& e) {
        try {
            std::rethrow_exception(e);
        } catch (nb::python_error& p) {
            return Kind{e, nb::borrow(p.type()), nb::str(p.value())};
        } catch (...) {
            set_error_from_current();
            nb::object raised = nb::steal(PyErr_GetRaisedException());
            return Kind{e, nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr()))),
                        nb::str(raised)};
        }
    };
    std::vector<Kind> kinds;
    std::vector<std::size_t> kind_of(failed.size(), SIZE_MAX);
    for (std::size_t i = 0; i < failed.size(); ++i) {
        if (!failed[i]) continue;
        std::size_t k = 0;
        while (k < kinds.size() && kinds[k].e != failed[i])
            ++k;
        if (k == kinds.size()) kinds.push_back(describe(failed[i]));
        kind_of[i] = k;
    }
    // Distinct exceptions may say the same thing.
    const Kind& first = kinds.at(kind_of[0] != SIZE_MAX ? kind_of[0] : [&] {
        std::size_t i = 0;
        while (kind_of[i] == SIZE_MAX)
            ++i;
        return kind_of[i];
    }());
    std::vector<std::uint8_t> lanes(failed.size());
    for (std::size_t i = 0; i < failed.size(); ++i)
        lanes[i] = kind_of[i] != SIZE_MAX && kinds[kind_of[i]].type.is(first.type) &&
                   kinds[kind_of[i]].text.equal(first.text);
    nb::str where = lane_list(lanes);
    PyErr_Format(first.type.ptr(), "%U (%U)", first.text.ptr(), where.ptr());
    raise();
}

// The kind of an array's dtype ('f', 'i', ...), and the array NumPy makes of v.
char dtype_kind(const nb::object& arr) {
    nb::object kind = arr.attr("dtype").attr("kind");
    const char* k = PyUnicode_AsUTF8(kind.ptr());
    if (!k) raise();
    return k[0];
}
nb::object as_array(nb::handle v) {
    return checked(PyObject_CallOneArg(import_attr("numpy", "asarray").ptr(), v.ptr()));
}

// Ts: one exact int for every lane, or n integers.
std::vector<long long> periods(nb::handle Ts, std::size_t n) {
    if (PyLong_CheckExact(Ts.ptr())) {
        const long long v = PyLong_AsLongLong(Ts.ptr());
        if (v == -1 && PyErr_Occurred()) raise();
        return {v};
    }
    nb::object arr = as_array(Ts);
    const char kind = dtype_kind(arr);
    if (np::ndim(arr.ptr()) == 0 || (kind != 'i' && kind != 'u')) {
        exact_type(Ts.ptr(), &PyLong_Type, "Ts"); // the LDLAG's TypeError
        raise();
    }
    if (np::ndim(arr.ptr()) != 1 || nb::len(arr) != n) {
        nb::object shape = arr.attr("shape");
        raise_format(PyExc_ValueError,
                     "Ts must be a number or %zu values, not an array of shape %S", n, shape.ptr());
    }
    std::vector<long long> out;
    for (nb::handle v : nb::list(arr.attr("tolist")())) {
        out.push_back(PyLong_AsLongLong(v.ptr()));
        if (out.back() == -1 && PyErr_Occurred()) raise();
    }
    return out;
}

void bank_init(PyObject* self, const Args& a) {
    long long n;
    if (!a.longlong(0, n)) raise();
    if (n < 0) raise_format(PyExc_ValueError, "a bank needs n >= 0 lanes, not %lld", n);
    const auto size = static_cast<std::size_t>(n);
    const LaneValues alpha(a.obj(1), size, "alpha"), tao(a.obj(2), size, "tao");
    const std::vector<long long> Ts = periods(a.obj(3), size);
    // An operating point: none, or a value per lane.
    std::optional<LaneValues> u, y;
    if (a.obj(4) != Py_None) u.emplace(a.obj(4), size, "u_ini");
    if (a.obj(5) != Py_None) y.emplace(a.obj(5), size, "y_ini");
    korvel::LeadLagBank core(size, scipy_hold());
    std::vector<std::exception_ptr> failed(size);
    if (!core.configure(alpha.lanes(), tao.lanes(), Ts, failed.data())) refuse_lanes(failed);
    core.set_operating_point(u ? std::optional(u->lanes()) : std::nullopt,
                             y ? std::optional(y->lanes()) : std::nullopt);
    emplace<PyLDLAGBank>(self, PyLDLAGBank{std::move(core)});
}

PyObject* bank_step(PyLDLAGBank& p, const Args& a) {
    const LaneValues u(a.obj(0), p.core.size(), "u");
    double* out;
    nb::object result = lane_array(p.core.size(), out);
    p.core.step(u.lanes(), out);
    return result.release().ptr();
}

void bank_modify(PyLDLAGBank& p, const Args&) {
    std::vector<std::exception_ptr> failed(p.core.size());
    if (!p.core.modify_param(failed.data())) refuse_lanes(failed);
}

// multi_step(u): each lane as its LDLAG's multi_step over its samples (u of
// m samples x n lanes, or m samples every lane takes), to the same bits: a
// lane's array path is the block's own (NumPy's convolution where it passes
// the input through), and samples every lane takes reach each as given. All
// lanes change, or none.
nb::object bank_multi(PyLDLAGBank& p, const Args& a) {
    const std::size_t n = p.core.size();
    nb::module_ np_ = nb::module_::import_("numpy");
    const nb::object u = np_.attr("asarray")(nb::handle(a.obj(0)), "dtype"_a = "float64");
    const long nd = nb::cast<long>(u.attr("ndim"));
    const nb::object shape = u.attr("shape");
    if (nd > 2 || (nd == 2 && nb::cast<std::size_t>(shape[1]) != n))
        raise_format(PyExc_ValueError,
                     "u must be samples or samples x %zu lanes, not an array of shape %S", n,
                     shape.ptr());
    std::vector<std::optional<korvel::LeadLagLane>> lanes(n);
    nb::list columns;
    LaneErrors errors(n);
    for (std::size_t i = 0; i < n; ++i) {
        try {
            nb::object f = make_ldlag(p.core.lane(i));
            columns.append(f.attr("multi_step")(
                nd == 2 ? u[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), i)]
                        : nb::borrow(a.obj(0))));
            lanes[i] = ldlag_lane(f, "LDLAGBank");
        } catch (...) {
            errors.add(i);
        }
    }
    errors.raise_if_any();
    for (std::size_t i = 0; i < n; ++i)
        p.core.set_lane(i, *lanes[i]);
    const std::size_t m = nd == 0 ? 1 : nb::cast<std::size_t>(shape[0]);
    if (n == 0) return np_.attr("empty")(nb::make_tuple(m, 0));
    return np_.attr("stack")(columns, "axis"_a = 1);
}

// bank.alpha = v: each lane as its LDLAG's property takes v. Reading v may
// run Python code; the bank is busy meanwhile.
void assign(PyLDLAGBank& p, nb::handle v, korvel::LeadLagBank::Parameter which, const char* name) {
    const std::size_t n = p.core.size();
    nb::object given = nb::borrow(v);
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) {
        // Numbers of any kind; objects each a float or an int, as an
        // LDLAG takes them (the lanes of other objects named).
        nb::object arr = as_array(v);
        const char kind = dtype_kind(arr);
        std::vector<std::uint8_t> wrong(n,
                                        kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f');
        if (kind == 'O' && np::ndim(arr.ptr()) == 1 && nb::len(arr) == n) {
            std::size_t i = 0;
            for (nb::handle x : arr)
                wrong[i++] = !PyFloat_Check(x.ptr()) && !PyLong_Check(x.ptr());
        }
        if (std::find(wrong.begin(), wrong.end(), 1) != wrong.end()) {
            refuse_parameter_type(name, lane_list(wrong));
            raise();
        }
        if (kind == 'O') given = arr.attr("astype")("float64");
    }
    const LaneValues values(given, n, name);
    std::vector<std::exception_ptr> failed(n);
    if (!p.core.assign(which, values.lanes(), failed.data())) refuse_lanes(failed);
}

// The saved state: n, then bytes per number (b and a two per lane, zero-
// padded, with their lengths).
nb::tuple save(PyLDLAGBank& p) {
    const std::size_t n = p.core.size();
    std::vector<double> alpha(n), tao(n), b(2 * n), a(2 * n), z(n), u(n), y(n);
    std::string Ts, shape, flags;
    for (std::size_t i = 0; i < n; ++i) {
        const korvel::LeadLagLane l = p.core.lane(i);
        alpha[i] = l.alpha, tao[i] = l.tao;
        append_le64(Ts, std::bit_cast<double>(static_cast<std::uint64_t>(l.Ts)));
        for (std::size_t k = 0; k < l.b.size(); ++k)
            b[2 * i + k] = l.b[k];
        for (std::size_t k = 0; k < l.a.size(); ++k)
            a[2 * i + k] = l.a[k];
        shape += {static_cast<char>(l.b.size()), static_cast<char>(l.a.size())};
        z[i] = l.zi && !l.zi->empty() ? (*l.zi)[0] : 0.0;
        u[i] = l.u.value_or(0.0), y[i] = l.y.value_or(0.0);
        flags += static_cast<char>((l.zi ? 1 : 0) | (l.u ? 2 : 0) | (l.y ? 4 : 0));
    }
    const auto bytes = [](const std::string& s) { return nb::bytes(s.data(), s.size()); };
    return nb::make_tuple(n, pack_lanes(alpha), pack_lanes(tao), bytes(Ts), pack_lanes(b),
                          pack_lanes(a), bytes(shape), pack_lanes(z), pack_lanes(u), pack_lanes(y),
                          bytes(flags));
}

void load(nb::handle self, const nb::tuple& s) {
    constexpr const char* what = "LDLAGBank";
    if (s.size() != 11) throw nb::value_error("invalid LDLAGBank state");
    const std::size_t n = state_size(s[0], what);
    const auto alpha = unpack_lanes(s[1], n, what), tao = unpack_lanes(s[2], n, what);
    const auto Ts = unpack_lanes(s[3], n, what); // the bits of n int64
    const auto b = unpack_lanes(s[4], 2 * n, what), a = unpack_lanes(s[5], 2 * n, what);
    const auto shape = state_as<nb::bytes>(s[6], what);
    const auto z = unpack_lanes(s[7], n, what), u = unpack_lanes(s[8], n, what);
    const auto y = unpack_lanes(s[9], n, what);
    const auto flags = state_as<nb::bytes>(s[10], what);
    if (shape.size() != 2 * n || flags.size() != n)
        throw nb::value_error("invalid LDLAGBank state");
    const auto* sh = static_cast<const std::uint8_t*>(shape.data());
    const auto* f = static_cast<const std::uint8_t*>(flags.data());
    korvel::LeadLagBank core(n, scipy_hold());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lb = sh[2 * i], la = sh[2 * i + 1];
        if (lb < 1 || lb > 2 || la < 1 || la > 2 || f[i] > 7)
            throw nb::value_error("invalid LDLAGBank state");
        korvel::LeadLagLane l{alpha[i],
                              tao[i],
                              static_cast<long long>(std::bit_cast<std::uint64_t>(Ts[i])),
                              std::vector<double>(b.begin() + 2 * i, b.begin() + 2 * i + lb),
                              std::vector<double>(a.begin() + 2 * i, a.begin() + 2 * i + la),
                              {},
                              {},
                              {}};
        if (f[i] & 1) {
            l.zi.emplace();
            if (std::max(lb, la) == 2) l.zi->push_back(z[i]);
        }
        if (f[i] & 2) l.u = u[i];
        if (f[i] & 4) l.y = y[i];
        try {
            core.set_lane(i, l);
        } catch (const std::invalid_argument&) {
            throw nb::value_error("invalid LDLAGBank state");
        }
    }
    emplace<PyLDLAGBank>(self.ptr(), PyLDLAGBank{std::move(core)});
}

} // namespace

void def_ldlag_bank(nb::module_& m) {
    const auto slots = bank_slots<PyLDLAGBank>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyLDLAGBank, sig_call, bank_step>)},
        {Py_tp_methods,
         methods({method<PyLDLAGBank, sig_modify, bank_modify>(doc::bank_modify_param),
                  method<PyLDLAGBank, sig_multi, bank_multi>(doc::bank_multi_step)})},
    });
    nb::class_<PyLDLAGBank> cls(m, "LDLAGBank", nb::type_slots(slots.data()),
                                sig_init.class_doc("LDLAGBank", doc::LDLAGBank));
    def_call_doc(cls, sig_call, doc::bank_call);
    using P = korvel::LeadLagBank::Parameter;
    def_field<PyLDLAGBank>(
        cls, "alpha", [](PyLDLAGBank& p) { return lane_array(p.core.alpha()); },
        [](PyLDLAGBank& p, nb::handle v) { assign(p, v, P::alpha, "alpha"); }, doc::bank_alpha);
    def_field<PyLDLAGBank>(
        cls, "tao", [](PyLDLAGBank& p) { return lane_array(p.core.tao()); },
        [](PyLDLAGBank& p, nb::handle v) { assign(p, v, P::tao, "tao"); }, doc::bank_tao);
    def_pickle<PyLDLAGBank>(cls, "LDLAGBank", save, load);
}

} // namespace korvel::phaseshaper
