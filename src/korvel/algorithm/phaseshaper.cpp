// korvel.algorithm.phaseshaper: the first-order lead-lag filter LDLAG with
// bumpless parameter changes, its step trajectory, and validated parameters.
//
// The filter is the core's BasicLeadLag over the objects callers see
// (PythonKinds below), the trajectory the core's filter_stp; the binding
// converts, and keeps the coefficient arrays callers read.
#include <korvel/filters.hpp>

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "docstrings/phaseshaper.hpp"
#include "phaseshaper_lanes.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/lfilter.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/scipy.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::Iir;
namespace doc = korvel::docstrings::phaseshaper;

namespace {

const Signature sig_init("__init__", {real("alpha", "0.0"), real("tao", "5.0"), integer("Ts", "1"),
                                      object("u_ini", "None"), object("y_ini", "None")});
const Signature sig_call("__call__", {real("u")});
const Signature sig_multi("multi_step", {object("u")});
const Signature sig_modify("_modify_param", {});
const Signature sig_stp("filter_stp",
                        {integer("N"), real("tao"), real("alpha"), real("r1", "0.0"),
                         real("r2", "1.0")},
                        false);
const Signature sig_ppp("positive_parameter_property", {object("name"), object("expected_type")},
                        false);

// A number as a field keeps it: the object given (None included), or, once
// the filter has computed it, just the double.
struct Number {
    nb::object obj; // None, a number as given, or null for "the double v"
    double v = 0.0;

    explicit Number(double x) noexcept : v(x) {}
    Number(nb::handle o, double x) : obj(nb::borrow(o)), v(x) {}

    bool none() const noexcept { return obj.is_valid() && obj.is_none(); }
    nb::object get() const { return obj.is_valid() ? obj : nb::float_(v); }
};

// A number field's new value, converted as float() converts it.
Number real_number(nb::handle o) {
    const double x = field_real(o);
    return Number(o, x);
}
// The same, or None.
Number optional_number(nb::handle o) {
    return o.is_none() ? Number(o, 0.0) : real_number(o);
}

// SciPy's cont2discrete at the _Ts given.
struct ScipyHold {
    korvel::DiscreteTf operator()(std::span<const double> num, std::span<const double> den,
                                  const nb::object& Ts) const {
        return cont2discrete(num, den, Ts);
    }
};

// The lead-lag on the objects callers see: the parameters as given ("an
// integer stays an integer"), _Ts, the last input and output (None until
// known), and the state as a live array or None.
struct PythonKinds {
    using Parameter = Number;
    using Period = nb::object;
    using Sample = Number;
    using State = np::LiveState;
    using Discretiser = ScipyHold;

    static double value(const Number& n) noexcept { return n.v; }
    static bool known(const Number& n) noexcept { return !n.none(); }
    static bool started(const np::LiveState& z) noexcept { return !z.empty_state(); }
    static double* data(np::LiveState& z) { return z.mut(); }
    static np::LiveState state(const std::vector<double>& v) {
        return np::LiveState::of(v.data(), v.size());
    }
};
using PyLeadLag = korvel::BasicLeadLag<PythonKinds>;

nb::handle ldlag_type; // phaseshaper.LDLAG, set at module init

struct PyLDLAG {
    vectorcallfunc call = nullptr; // the call operation's entry
    PyLeadLag core;
    // _b, _a: as assigned or last read; null until read after new coefficients.
    nb::object b, a;

    nb::object coefficients(bool numerator) {
        nb::object& arr = numerator ? b : a;
        if (!arr.is_valid()) arr = f64_array(numerator ? core.iir().b() : core.iir().a());
        return arr;
    }

    // The number fields keep whatever number a caller gave, the block itself
    // included: the collector sees them, and clearing keeps their values.
    template <class F> void for_each_number(F&& f) {
        auto& s = core.parameters();
        auto& last = core.last();
        for (Number* n : {&s.alpha, &s.tao, &last.u, &last.y})
            f(*n);
    }
    template <class F> void for_each_object(F&& f) {
        for_each_number([&](Number& n) {
            if (n.obj.is_valid()) f(n.obj);
        });
    }
};

int ld_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    return traverse_objects<PyLDLAG>(self, visit, arg);
}

int ld_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self))
        nb::inst_ptr<PyLDLAG>(self)->for_each_number([](Number& n) {
            if (!n.none()) n = Number(n.v);
        });
    return 0;
}

PyObject* ld_step(PyLDLAG& p, const Args& a) {
    return to_py(p.core.step(a.num(0)));
}

constexpr vectorcallfunc ld_vectorcall = vectorcall_slot<PyLDLAG, sig_call, ld_step>;

void ld_init(PyObject* self, const Args& a) {
    Number u = optional_number(a.obj(3)), y = optional_number(a.obj(4));
    PyLeadLag core(real_number(nb::float_(a.num(0))), real_number(nb::float_(a.num(1))),
                   nb::borrow(a.obj(2)), std::move(u), std::move(y), ScipyHold{});
    emplace<PyLDLAG>(self, PyLDLAG{ld_vectorcall, std::move(core), nb::object(), nb::object()});
}

// The samples multi_step is given, as the core's run asks for them. Where
// there are none, or they are not one-dimensional, Python or SciPy fails as
// it does on them.
struct GivenSamples {
    PyLDLAG& p;
    nb::handle u;
    const Samples& s;

    double first() const {
        if (!s.one_dimensional) refuse(true);
        if (s.n == 0) missing(0);
        return s.data[0];
    }
    double last() const {
        if (!s.one_dimensional) refuse(false);
        if (s.n == 0) missing(-1);
        return s.data[s.n - 1];
    }

    // The IndexError `u[i]` raises.
    [[noreturn]] void missing(long i) const {
        checked(PyObject_GetItem(u.ptr(), nb::int_(i).ptr()));
        throw nb::index_error("no samples");
    }
    // lfiltic (for a state at rest at the first sample) and lfilter refuse
    // anything but one-dimensional input: they say why.
    [[noreturn]] void refuse(bool at_rest) const {
        nb::object b = p.coefficients(true), a = p.coefficients(false);
        nb::object zi = p.core.state().array();
        if (at_rest) {
            nb::list first;
            first.append(checked(PyObject_GetItem(u.ptr(), nb::int_(0).ptr())));
            zi = import_attr("scipy.signal", "lfiltic")(b, a, first, first);
        }
        import_attr("scipy.signal", "lfilter")(b, a, s.array, nb::arg("zi") = zi);
        throw nb::value_error("u must be one-dimensional");
    }
};

nb::object ld_multi(PyLDLAG& p, const Args& a) {
    const Samples x = samples(a.obj(0));
    nb::object y;
    p.core.run(GivenSamples{p, a.obj(0), x}, [&](const Iir& f, double* z) {
        y = filter_array(f, x, z);
        double* yd;
        Py_ssize_t n;
        np::f64_view(y.ptr(), yd, n);
        return yd[n - 1];
    });
    return y;
}

// New coefficients: their arrays are made when next read.
void ld_modify(PyLDLAG& p, const Args&) {
    p.core.modify_param();
    nb::object b = std::move(p.b), a = std::move(p.a);
}

// --- positive_parameter_property ------------------------------------------

// A parameter kept in the attribute `name` of any object, compared with
// Python's operators and recomputed by the object's own _modify_param.
struct Attribute {
    nb::handle obj;
    nb::handle name;

    bool negative(const nb::object& v) const {
        nb::object zero = nb::int_(0);
        const int r = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
        if (r < 0) raise();
        return r != 0;
    }
    nb::object get() const { return nb::getattr(obj, name); }
    bool differs(const nb::object& v, const nb::object& old) const {
        nb::object ne = checked(PyObject_RichCompare(v.ptr(), old.ptr(), Py_NE));
        const int r = PyObject_IsTrue(ne.ptr());
        if (r < 0) raise();
        return r != 0;
    }
    void set(const nb::object& v) const { nb::setattr(obj, name, v); }
    void recompute() const { obj.attr("_modify_param")(); }
    void restore(const nb::object& old) const noexcept {
        if (PyObject_SetAttr(obj.ptr(), name.ptr(), old.ptr()) < 0) PyErr_Clear();
    }
};

// The types a parameter takes, as its message shows them.
nb::object parameter_types() {
    return nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
                          nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
}

nb::str type_message(nb::handle name, nb::handle expected) {
    return nb::str("{} must be a {}").format(name, expected);
}

// `doc` null: the property's docstring is that of its getter.
nb::object make_property(nb::object name, nb::object expected, const char* doc = nullptr) {
    nb::object field = nb::steal(PyNumber_Add(nb::str("_").ptr(), name.ptr()));
    if (!field.is_valid()) raise();
    nb::object fget = nb::cpp_function([field](nb::handle obj) { return nb::getattr(obj, field); },
                                       nb::name("fget"), nb::arg("obj").none());
    nb::object fset = nb::cpp_function(
        [name, expected, field](nb::handle obj, nb::handle v) {
            const int ok = PyObject_IsInstance(v.ptr(), expected.ptr());
            if (ok < 0) raise();
            if (!ok) throw nb::type_error(type_message(name, expected).c_str());
            korvel::assign_parameter(Attribute{obj, field}, nb::borrow(v));
        },
        nb::name("fset"), nb::arg("obj").none(), nb::arg("value").none());
    nb::object text = doc ? nb::object(nb::str(doc)) : nb::object(nb::none());
    return import_attr("builtins", "property")(fget, fset, nb::none(), text);
}

nb::object positive_parameter_property(const Args& a) {
    return make_property(nb::borrow(a.obj(0)), nb::borrow(a.obj(1)));
}

// --- filter_stp ------------------------------------------------------------

nb::object filter_stp(const Args& a) {
    long long N;
    if (!a.longlong(0, N)) raise();
    const std::size_t n = korvel::filter_stp_length(N, a.num(1));
    double* w;
    nb::object out = np::new_f64(n, w);
    // NumPy's exp is its own (vectorised) routine, not the C library's.
    korvel::filter_stp(w, n, a.num(1), a.num(2), a.num(3), a.num(4), [&](double*, std::size_t) {
        import_attr("numpy", "exp")(out, nb::arg("out") = out);
        // numpy.exp is whatever the module holds now: it must have left the
        // array where it was.
        double* after;
        Py_ssize_t m;
        if (!np::f64_view(out.ptr(), after, m, true) || after != w ||
            static_cast<std::size_t>(m) != n)
            throw nb::value_error("numpy.exp moved its output array");
    });
    return out;
}

// A coefficient array assigned by a caller, as the core takes new
// coefficients.
void set_coefficient(PyLDLAG& p, nb::handle v, bool numerator) {
    nb::object arr = float_array(v);
    if (np::ndim(arr.ptr()) != 1) throw nb::value_error("coefficients must be one-dimensional");
    std::vector<double> vals = array_items(arr);
    const Iir& now = p.core.iir();
    p.core.set_iir(numerator ? Iir(std::move(vals), now.a()) : Iir(now.b(), std::move(vals)));
    std::swap(numerator ? p.b : p.a, arr);
}

// A number field: the new value converted first, the old one released last.
template <class Ref> void set_number(PyLDLAG& p, Ref ref, Number fresh) {
    std::swap(ref(p.core), fresh);
}

void def_ldlag(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, ld_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyLDLAG, sig_call, ld_step>)},
        {Py_tp_traverse, reinterpret_cast<void*>(ld_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(ld_clear)},
        {Py_tp_methods, methods({method<PyLDLAG, sig_multi, ld_multi>(doc::multi_step),
                                 method<PyLDLAG, sig_modify, ld_modify>(doc::modify_param)})},
        {0, nullptr}};
    nb::class_<PyLDLAG> cls(m, "LDLAG", nb::type_slots(slots),
                            sig_init.class_doc("LDLAG", doc::LDLAG));
    def_call_doc(cls, sig_call, doc::call);
    const auto alpha = [](PyLeadLag& c) -> Number& { return c.parameters().alpha; };
    const auto tao = [](PyLeadLag& c) -> Number& { return c.parameters().tao; };
    const auto u_ini = [](PyLeadLag& c) -> Number& { return c.last().u; };
    const auto y_ini = [](PyLeadLag& c) -> Number& { return c.last().y; };
    def_field<PyLDLAG>(
        cls, "_alpha", [alpha](PyLDLAG& p) { return alpha(p.core).get(); },
        [alpha](PyLDLAG& p, nb::handle v) { set_number(p, alpha, real_number(v)); });
    def_field<PyLDLAG>(
        cls, "_tao", [tao](PyLDLAG& p) { return tao(p.core).get(); },
        [tao](PyLDLAG& p, nb::handle v) { set_number(p, tao, real_number(v)); });
    def_field<PyLDLAG>(
        cls, "_Ts", [](PyLDLAG& p) { return p.core.Ts(); },
        [](PyLDLAG& p, nb::handle v) {
            if (!exact_type(v.ptr(), &PyLong_Type, "Ts")) raise();
            p.core.parameters().Ts = nb::borrow(v);
        });
    def_field<PyLDLAG>(
        cls, "_b", [](PyLDLAG& p) { return p.coefficients(true); },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, true); });
    def_field<PyLDLAG>(
        cls, "_a", [](PyLDLAG& p) { return p.coefficients(false); },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, false); });
    def_field<PyLDLAG>(
        cls, "_zi", [](PyLDLAG& p) { return p.core.state().array(); },
        [](PyLDLAG& p, nb::handle v) {
            if (v.is_none()) {
                p.core.state() = np::LiveState::none();
                return;
            }
            double* d;
            nb::object arr = current_state_array(v, [&] { return p.core.iir().state_size(); }, d);
            p.core.state() = np::LiveState::adopt(std::move(arr), d, p.core.iir().state_size());
        });
    def_field<PyLDLAG>(
        cls, "_u_ini", [u_ini](PyLDLAG& p) { return u_ini(p.core).get(); },
        [u_ini](PyLDLAG& p, nb::handle v) { set_number(p, u_ini, optional_number(v)); });
    def_field<PyLDLAG>(
        cls, "_y_ini", [y_ini](PyLDLAG& p) { return y_ini(p.core).get(); },
        [y_ini](PyLDLAG& p, nb::handle v) { set_number(p, y_ini, optional_number(v)); });

    enable_vectorcall<PyLDLAG>(cls);
    def_pickle<PyLDLAG>(
        cls, "LDLAG",
        [](PyLDLAG& p) {
            const np::LiveState& z = p.core.state();
            nb::object zi =
                PythonKinds::started(z) ? np::copy_f64(z.data(), z.size()) : nb::object(nb::none());
            const PyLeadLag::Parameters& s = p.core.parameters();
            const PyLeadLag::Last& last = p.core.last();
            return nb::make_tuple(s.alpha.get(), s.tao.get(), s.Ts, p.coefficients(true),
                                  p.coefficients(false), zi, last.u.get(), last.y.get());
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 8) throw nb::value_error("invalid LDLAG state");
            Number alpha = real_number(s[0]), tao = real_number(s[1]);
            nb::object Ts = s[2];
            nb::object b = float_array(s[3]), a = float_array(s[4]);
            if (np::ndim(b.ptr()) != 1 || np::ndim(a.ptr()) != 1)
                throw nb::value_error("invalid LDLAG state");
            Iir f(array_items(b), array_items(a));
            std::optional<std::vector<double>> zi;
            if (!s[5].is_none()) {
                const nb::object arr = float_array(s[5]);
                if (np::ndim(arr.ptr()) != 1) throw nb::value_error("invalid LDLAG state");
                zi = array_items(arr);
                if (zi->size() != f.state_size()) throw nb::value_error("invalid LDLAG state");
            }
            Number u = optional_number(s[6]), y = optional_number(s[7]);
            PyLeadLag core({std::move(alpha), std::move(tao), std::move(Ts)}, std::move(f),
                           std::move(zi), {std::move(u), std::move(y)}, ScipyHold{});
            emplace<PyLDLAG>(self.ptr(),
                             PyLDLAG{ld_vectorcall, std::move(core), std::move(b), std::move(a)});
        });

    nb::object number = parameter_types();
    cls.attr("alpha") = make_property(nb::str("alpha"), number, doc::alpha);
    cls.attr("tao") = make_property(nb::str("tao"), number, doc::tao);
    name_property(cls, "alpha");
    name_property(cls, "tao");
    ldlag_type = cls;
}

} // namespace

namespace korvel::phaseshaper {

nb::object make_ldlag(const korvel::LeadLagLane& l) {
    const auto number = [](const std::optional<double>& v) {
        return v ? Number(nb::float_(*v), *v) : Number(nb::none(), 0.0);
    };
    PyLeadLag core(
        {Number(nb::float_(l.alpha), l.alpha), Number(nb::float_(l.tao), l.tao), nb::int_(l.Ts)},
        Iir(l.b, l.a), l.zi, {number(l.u), number(l.y)}, ScipyHold{});
    nb::object block = nb::inst_alloc(ldlag_type);
    new (nb::inst_ptr<PyLDLAG>(block)) PyLDLAG{ld_vectorcall, std::move(core), {}, {}};
    nb::inst_mark_ready(block);
    return block;
}

korvel::LeadLagLane ldlag_lane(nb::handle block, const char* bank) {
    if (!nb::isinstance<PyLDLAG>(block) || !nb::inst_ready(block))
        raise_format(PyExc_TypeError, "a lane of %s takes an LDLAG, not %.200s", bank,
                     Py_TYPE(block.ptr())->tp_name);
    const PyLeadLag& c = nb::inst_ptr<PyLDLAG>(block)->core;
    const long long Ts = PyLong_AsLongLong(c.Ts().ptr());
    if (Ts == -1 && PyErr_Occurred()) raise();
    korvel::LeadLagLane l{c.alpha(), c.tao(), Ts, c.iir().b(), c.iir().a(), {}, {}, {}};
    const np::LiveState& z = c.state();
    if (PythonKinds::started(z)) l.zi.emplace(z.data(), z.data() + z.size());
    const auto& last = c.last();
    if (!last.u.none()) l.u = last.u.v;
    if (!last.y.none()) l.y = last.y.v;
    return l;
}

korvel::Discretise scipy_hold() {
    return [](std::span<const double> num, std::span<const double> den, double Ts) {
        return cont2discrete(num, den, nb::int_(static_cast<long long>(Ts)));
    };
}

void refuse_parameter_type(const char* name, nb::handle note) {
    nb::str text = type_message(nb::str(name), parameter_types());
    PyErr_Format(PyExc_TypeError, "%U (%U)", text.ptr(), note.ptr());
}

} // namespace korvel::phaseshaper

NB_MODULE(phaseshaper, m) {
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    def_ldlag(m);
    korvel::phaseshaper::def_ldlag_bank(m);
    PyMethodDef* functions = methods({
        function<sig_stp, filter_stp>(doc::filter_stp),
        function<sig_ppp, positive_parameter_property>(doc::positive_parameter_property),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
