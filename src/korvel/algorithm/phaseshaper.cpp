// korvel.algorithm.phaseshaper: the first-order lead-lag filter LDLAG with
// bumpless parameter changes, its step trajectory, and validated parameters.
//
// The coefficient rule, the restart from the last input and output, and the
// trajectory are the core's (korvel::LeadLag, korvel::filter_stp); the
// binding keeps the fields callers see: parameters as given ("an integer
// stays an integer"), the coefficient arrays, and the state as a live array
// or None.
#include <korvel/filters.hpp>

#include <utility>
#include <vector>

#include "docstrings/phaseshaper.hpp"
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
using korvel::LeadLag;
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

// A number field that keeps the object it was given, or, after a step, just
// the double it computed.
struct Number {
    nb::object obj; // None, a number, or null for "the double v"
    double v = 0.0;

    bool none() const noexcept { return obj.is_valid() && obj.is_none(); }
    nb::object get() const { return obj.is_valid() ? obj : nb::float_(v); }
    void set(nb::handle o) {
        const double x = o.is_none() ? 0.0 : field_real(o);
        obj = nb::borrow(o);
        v = x;
    }
    void set(double x) noexcept {
        obj = nb::object();
        v = x;
    }
};

struct PyLDLAG {
    vectorcallfunc call = nullptr; // the call operation's entry
    Number alpha, tao;             // _alpha, _tao
    nb::object Ts;                 // _Ts
    Iir iir{{1.0}, {1.0}};
    nb::object b, a;     // _b, _a: float64 arrays
    np::LiveState zi;    // _zi; None before the state exists
    Number u_ini, y_ini; // last input and output

    bool started() const noexcept { return !zi.empty_state(); }
    void restart(double u, double y) {
        const auto s = LeadLag::restart_state(iir, u, y);
        zi = np::LiveState::of(s.data(), s.size());
    }

    double step(double u) {
        if (!started()) restart(u, u);
        iir.check(); // a restored state may hold coefficients lfilter refuses
        const double y = iir.step(u, zi.mut());
        u_ini.set(u);
        y_ini.set(y);
        return y;
    }

    // The number fields keep whatever number a caller gave, the block itself
    // included: the collector sees them, and clearing keeps their values.
    template <class F> void for_each_object(F&& f) {
        for (Number* n : {&alpha, &tao, &u_ini, &y_ini})
            if (n->obj.is_valid()) f(n->obj);
    }
};

int ld_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    return traverse_objects<PyLDLAG>(self, visit, arg);
}

int ld_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self)) {
        PyLDLAG& p = *nb::inst_ptr<PyLDLAG>(self);
        for (Number* n : {&p.alpha, &p.tao, &p.u_ini, &p.y_ini})
            if (!n->none()) n->set(n->v);
    }
    return 0;
}

// _modify_param: the coefficient rule on the current fields, discretised by
// SciPy at _Ts, and the state restarted from the last input and output when
// there are both. All or nothing.
void modify_param(PyLDLAG& p) {
    LeadLag::Coefficients c = LeadLag::coefficients(p.alpha.v, p.tao.v, 0.0, scipy_zoh(p.Ts));
    Iir f(c.b, c.a);
    np::LiveState zi;
    if (!p.u_ini.none() && !p.y_ini.none()) {
        const auto s = LeadLag::restart_state(f, p.u_ini.v, p.y_ini.v);
        zi = np::LiveState::of(s.data(), s.size());
    }
    p.b = f64_array(c.b);
    p.a = f64_array(c.a);
    p.iir = std::move(f);
    p.zi = std::move(zi);
}

PyObject* ld_step(PyLDLAG& p, const Args& a) {
    return to_py(p.step(a.num(0)));
}

constexpr vectorcallfunc ld_vectorcall = vectorcall_slot<PyLDLAG, sig_call, ld_step>;

void ld_init(PyObject* self, const Args& a) {
    PyLDLAG p{};
    p.Ts = nb::borrow(a.obj(2));
    p.alpha.set(nb::float_(a.num(0)));
    p.tao.set(nb::float_(a.num(1)));
    p.u_ini.set(a.obj(3));
    p.y_ini.set(a.obj(4));
    modify_param(p);
    p.call = ld_vectorcall;
    emplace<PyLDLAG>(self, std::move(p));
}

// The IndexError `seq[i]` raises on an empty sequence.
[[noreturn]] void raise_item_error(nb::handle seq, long i) {
    checked(PyObject_GetItem(seq.ptr(), nb::int_(i).ptr()));
    throw nb::index_error("no samples");
}

nb::object ld_multi(PyLDLAG& p, const Args& a) {
    nb::handle u = a.obj(0);
    const Samples x = samples(u);
    if (!x.one_dimensional) {
        // SciPy refuses anything but one-dimensional input: lfiltic when the
        // state starts from the first sample, lfilter otherwise; let it say so.
        nb::object zi = p.zi.array();
        if (!p.started()) {
            nb::object first = checked(PyObject_GetItem(u.ptr(), nb::int_(0).ptr()));
            nb::list at_rest;
            at_rest.append(first);
            zi = import_attr("scipy.signal", "lfiltic")(p.b, p.a, at_rest, at_rest);
        }
        import_attr("scipy.signal", "lfilter")(p.b, p.a, x.array, nb::arg("zi") = zi);
        throw nb::value_error("u must be one-dimensional");
    }
    const std::size_t n = x.n;
    if (n == 0) raise_item_error(u, p.started() ? -1 : 0);
    if (!p.started()) p.restart(x.data[0], x.data[0]);
    const double last = x.data[n - 1];
    nb::object y = filter_array(p.iir, x, p.zi.mut());
    double* yd;
    Py_ssize_t m;
    np::f64_view(y.ptr(), yd, m);
    p.u_ini.set(last);
    p.y_ini.set(yd[n - 1]);
    return y;
}

void ld_modify(PyLDLAG& p, const Args&) {
    modify_param(p);
}

// --- positive_parameter_property ------------------------------------------

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
            if (!ok) {
                nb::str text = nb::str("{} must be a {}").format(name, expected);
                throw nb::type_error(text.c_str());
            }
            nb::object zero = nb::int_(0);
            const int negative = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
            if (negative < 0) raise();
            if (negative) throw nb::value_error("Expected a non-negative value.");
            nb::object old = nb::getattr(obj, field);
            nb::object differs = nb::steal(PyObject_RichCompare(v.ptr(), old.ptr(), Py_NE));
            if (!differs.is_valid()) raise();
            const int changed = PyObject_IsTrue(differs.ptr());
            if (changed < 0) raise();
            if (!changed) return;
            nb::setattr(obj, field, v);
            try {
                obj.attr("_modify_param")();
            } catch (nb::python_error& e) {
                // Put the old value back so the object stays as it was.
                e.restore();
                PyObject *t, *val, *tb;
                PyErr_Fetch(&t, &val, &tb);
                if (PyObject_SetAttr(obj.ptr(), field.ptr(), old.ptr()) < 0) PyErr_Clear();
                PyErr_Restore(t, val, tb);
                throw nb::python_error();
            }
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
    if (N < 0 && a.num(1) <= 0)
        raise_format(PyExc_ValueError, "negative dimensions are not allowed");
    const std::size_t n = N > 0 ? static_cast<std::size_t>(N) : 0;
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

// A coefficient array may be replaced only by one that needs a state of the
// same length as the one the filter holds.
void set_coefficient(PyLDLAG& p, nb::handle v, bool numerator) {
    nb::object arr = float_array(v);
    if (np::ndim(arr.ptr()) != 1) throw nb::value_error("coefficients must be one-dimensional");
    std::vector<double> vals = array_items(arr);
    Iir f = numerator ? Iir(vals, p.iir.a()) : Iir(p.iir.b(), vals);
    if (p.started() && f.state_size() != p.iir.state_size())
        throw nb::value_error("the new coefficients need a state of another length than _zi");
    p.iir = std::move(f);
    (numerator ? p.b : p.a) = std::move(arr);
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
    def_field<PyLDLAG>(
        cls, "_alpha", [](PyLDLAG& p) { return p.alpha.get(); },
        [](PyLDLAG& p, nb::handle v) {
            field_real(v); // a number, kept as given
            p.alpha.set(v);
        });
    def_field<PyLDLAG>(
        cls, "_tao", [](PyLDLAG& p) { return p.tao.get(); },
        [](PyLDLAG& p, nb::handle v) {
            field_real(v);
            p.tao.set(v);
        });
    def_field<PyLDLAG>(
        cls, "_Ts", [](PyLDLAG& p) { return p.Ts; },
        [](PyLDLAG& p, nb::handle v) {
            if (!exact_type(v.ptr(), &PyLong_Type, "Ts")) raise();
            p.Ts = nb::borrow(v);
        });
    def_field<PyLDLAG>(
        cls, "_b", [](PyLDLAG& p) { return p.b; },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, true); });
    def_field<PyLDLAG>(
        cls, "_a", [](PyLDLAG& p) { return p.a; },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, false); });
    def_field<PyLDLAG>(
        cls, "_zi", [](PyLDLAG& p) { return p.zi.array(); },
        [](PyLDLAG& p, nb::handle v) {
            if (v.is_none()) {
                p.zi = np::LiveState::none();
                return;
            }
            double* d;
            nb::object arr = current_state_array(v, [&] { return p.iir.state_size(); }, d);
            p.zi = np::LiveState::adopt(std::move(arr), d, p.iir.state_size());
        });
    def_field<PyLDLAG>(
        cls, "_u_ini", [](PyLDLAG& p) { return p.u_ini.get(); },
        [](PyLDLAG& p, nb::handle v) { p.u_ini.set(v); });
    def_field<PyLDLAG>(
        cls, "_y_ini", [](PyLDLAG& p) { return p.y_ini.get(); },
        [](PyLDLAG& p, nb::handle v) { p.y_ini.set(v); });

    enable_vectorcall<PyLDLAG>(cls);
    def_pickle<PyLDLAG>(
        cls, "LDLAG",
        [](PyLDLAG& p) {
            nb::object zi =
                p.started() ? np::copy_f64(p.zi.data(), p.zi.size()) : nb::object(nb::none());
            return nb::make_tuple(p.alpha.get(), p.tao.get(), p.Ts, p.b, p.a, zi, p.u_ini.get(),
                                  p.y_ini.get());
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 8) throw nb::value_error("invalid LDLAG state");
            PyLDLAG p{};
            p.alpha.set(s[0]);
            p.tao.set(s[1]);
            p.Ts = s[2];
            p.b = float_array(s[3]);
            p.a = float_array(s[4]);
            if (np::ndim(p.b.ptr()) != 1 || np::ndim(p.a.ptr()) != 1)
                throw nb::value_error("invalid LDLAG state");
            p.iir = Iir(array_items(p.b), array_items(p.a));
            p.zi = np::LiveState::none();
            if (!s[5].is_none()) {
                const nb::object arr = float_array(s[5]);
                if (np::ndim(arr.ptr()) != 1) throw nb::value_error("invalid LDLAG state");
                const std::vector<double> z = array_items(arr);
                if (z.size() != p.iir.state_size()) throw nb::value_error("invalid LDLAG state");
                p.zi = np::LiveState::of(z.data(), z.size());
            }
            p.u_ini.set(s[6]);
            p.y_ini.set(s[7]);
            p.call = ld_vectorcall;
            emplace<PyLDLAG>(self.ptr(), std::move(p));
        });

    nb::object number = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
                                       nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
    cls.attr("alpha") = make_property(nb::str("alpha"), number, doc::alpha);
    cls.attr("tao") = make_property(nb::str("tao"), number, doc::tao);
    name_property(cls, "alpha");
    name_property(cls, "tao");
}

} // namespace

NB_MODULE(phaseshaper, m) {
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    def_ldlag(m);
    PyMethodDef* functions = methods({
        function<sig_stp, filter_stp>(doc::filter_stp),
        function<sig_ppp, positive_parameter_property>(doc::positive_parameter_property),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
