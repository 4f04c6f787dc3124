// korvel.algorithm.phaseshaper: the first-order lead-lag filter LDLAG with
// bumpless parameter changes, its step trajectory, and validated parameters.
#include <korvel/iir.hpp>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/pycall.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::Iir;

namespace {

const Signature sig_init("__init__", {"alpha", "tao", "Ts", "u_ini", "y_ini"}, 0);
const Signature sig_call("__call__", {"u"}, 1);
const Signature sig_multi("multi_step", {"u"}, 1);
const Signature sig_modify("_modify_param", {}, 0);
const Signature sig_stp("filter_stp", {"N", "tao", "alpha", "r1", "r2"}, 3, false);
const Signature sig_ppp("positive_parameter_property", {"name", "expected_type"}, 2, false);

[[noreturn]] void raise_python() {
    throw nb::python_error();
}

// A number field that keeps the object it was given ("an integer stays an
// integer"), or, after a step, just the double it computed.
struct Number {
    nb::object obj; // None, a number, or null for "the double v"
    double v = 0.0;

    bool none() const noexcept { return obj.is_valid() && obj.is_none(); }
    nb::object get() const { return obj.is_valid() ? obj : nb::float_(v); }
    void set(nb::handle o) {
        double x = 0.0;
        if (!o.is_none() && !to_double(o.ptr(), x)) raise_python();
        obj = nb::borrow(o);
        v = x;
    }
    void set(double x) noexcept {
        obj = nb::object();
        v = x;
    }
};

struct Coefficients {
    Iir iir{std::vector<double>{1.0}, std::vector<double>{1.0}};
    nb::object b, a; // float64 arrays
};

struct PyLDLAG {
    vectorcallfunc call = nullptr; // the call operation's entry
    Number alpha, tao;             // _alpha, _tao
    nb::object Ts;                 // _Ts
    Coefficients c;                // _b, _a
    nb::object zi;                 // _zi: None or a float64 array
    double* z = nullptr;
    Number u_ini, y_ini; // last input and output

    // The state stepped in place; a saved `_zi` keeps its values (see zFilter).
    double* state() {
        if (Py_REFCNT(zi.ptr()) > 1) {
            double* data;
            nb::object fresh = new_f64(c.iir.state_size(), data);
            for (std::size_t i = 0; i < c.iir.state_size(); ++i)
                data[i] = z[i];
            zi = std::move(fresh);
            z = data;
        }
        return z;
    }

    // lfiltic(_b, _a, [y], [u]): the state of the filter after input u and
    // output y.
    void restart(double u, double y) {
        const double yy[1] = {y}, uu[1] = {u};
        const auto s = korvel::lfiltic(c.iir.b(), c.iir.a(), yy, uu);
        double* data;
        nb::object fresh = new_f64(s.size(), data);
        std::copy(s.begin(), s.end(), data);
        zi = std::move(fresh);
        z = data;
    }

    double step(double u) {
        if (zi.is_none()) restart(u, u);
        const double y = c.iir.step(u, state());
        u_ini.set(u);
        y_ini.set(y);
        return y;
    }
};

nb::list floats(std::initializer_list<nb::handle> items) {
    nb::list l;
    for (nb::handle h : items)
        l.append(h);
    return l;
}

// The coefficient rule; nothing of `p` changes here.
Coefficients coefficients(const PyLDLAG& p) {
    const double alpha = p.alpha.v, tao = p.tao.v;
    nb::object num, den;
    if (tao == 0) {
        num = floats({nb::float_(1.0)});
        den = floats({nb::float_(1.0)});
    } else if ((alpha == 0 && tao > 0) || (alpha > 0 && tao > 0)) {
        nb::object t = p.tao.get();
        nb::object lead;
        if (alpha == 0) {
            lead = floats({nb::float_(1.0)});
        } else {
            nb::object at = nb::steal(PyNumber_Multiply(p.alpha.get().ptr(), t.ptr()));
            if (!at.is_valid()) raise_python();
            lead = floats({at, nb::float_(1.0)});
        }
        nb::object res = import_attr("scipy.signal", "cont2discrete")(
            nb::make_tuple(lead, floats({t, nb::float_(1.0)})), nb::arg("dt") = p.Ts);
        auto parts = unpack(res, 3);
        nb::object row = parts[0][nb::int_(0)];
        // The lag drops the zero-order hold's leading zero: no sample of delay.
        if (alpha == 0) {
            nb::object second = row[nb::int_(1)];
            num = floats({second});
        } else {
            num = row;
        }
        den = parts[1];
    } else {
        nb::str text = nb::str("LDLAG needs tao >= 0, and alpha >= 0 unless tao is 0 "
                               "(alpha={!r}, tao={!r})")
                           .format(p.alpha.get(), p.tao.get());
        throw nb::value_error(text.c_str());
    }
    nb::object b = float_array(num), a = float_array(den);
    double *bd, *ad;
    Py_ssize_t nb_, na;
    if (!f64_view(b, bd, nb_) || !f64_view(a, ad, na))
        throw nb::value_error("coefficients must be one-dimensional");
    return {Iir(std::vector<double>(bd, bd + nb_), std::vector<double>(ad, ad + na)), b, a};
}

// _modify_param: new coefficients, and the state restarted from the last
// input and output when there are both. All or nothing.
void modify_param(PyLDLAG& p) {
    Coefficients c = coefficients(p);
    nb::object zi = nb::none();
    double* z = nullptr;
    if (!p.u_ini.none() && !p.y_ini.none()) {
        const double yy[1] = {p.y_ini.v}, uu[1] = {p.u_ini.v};
        const auto s = korvel::lfiltic(c.iir.b(), c.iir.a(), yy, uu);
        zi = new_f64(s.size(), z);
        std::copy(s.begin(), s.end(), z);
    }
    p.c = std::move(c);
    p.zi = std::move(zi);
    p.z = z;
}

PyObject* ld_step(PyLDLAG& p, PyObject* const* a) {
    double u;
    if (!to_double(a[0], u)) return nullptr;
    return to_py(p.step(u));
}

constexpr vectorcallfunc ld_vectorcall = vectorcall_slot<PyLDLAG, sig_call, ld_step>;

int ld_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    double alpha, tao;
    if (!sig_init.bind(args, kwargs, a) || !to_double(a[0], alpha, 0.0) ||
        !to_double(a[1], tao, 5.0) || (a[2] && !exact_type(a[2], &PyLong_Type, "Ts")))
        return -1;
    return guard_int([&] {
        PyLDLAG p{};
        p.Ts = a[2] ? nb::borrow(a[2]) : nb::int_(1);
        p.alpha.set(nb::float_(alpha));
        p.tao.set(nb::float_(tao));
        p.u_ini.set(a[3] ? nb::handle(a[3]) : nb::none());
        p.y_ini.set(a[4] ? nb::handle(a[4]) : nb::none());
        modify_param(p);
        emplace<PyLDLAG>(self, std::move(p));
        nb::inst_ptr<PyLDLAG>(self)->call = ld_vectorcall;
        return 0;
    });
}

// The IndexError `seq[i]` raises on an empty sequence.
[[noreturn]] void raise_item_error(nb::handle seq, long i) {
    nb::object idx = nb::int_(i);
    PyObject* item = PyObject_GetItem(seq.ptr(), idx.ptr());
    Py_XDECREF(item);
    if (!item) raise_python();
    throw nb::index_error("no samples");
}

PyObject* ld_multi(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    PyLDLAG* p = self_of<PyLDLAG>(self);
    if (!p || !sig_multi.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::handle u = a[0];
        nb::object y = float_array(u);
        double* x;
        Py_ssize_t n;
        if (!f64_view(y, x, n, true)) {
            // lfilter refuses anything but one-dimensional input; let it say so.
            nb::object zi = p->zi;
            if (zi.is_none()) raise_item_error(u, 0);
            import_attr("scipy.signal", "lfilter")(p->c.b, p->c.a, y, nb::arg("zi") = zi);
            throw nb::value_error("u must be one-dimensional");
        }
        if (n == 0) raise_item_error(u, p->zi.is_none() ? 0 : -1);
        if (p->zi.is_none()) p->restart(x[0], x[0]);
        const double last = x[n - 1];
        p->c.iir.filter(x, x, static_cast<std::size_t>(n), p->state());
        p->u_ini.set(last);
        p->y_ini.set(x[n - 1]);
        return y.release().ptr();
    });
}

PyObject* ld_modify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyLDLAG* p = self_of<PyLDLAG>(self);
    if (!p || !sig_modify.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] {
        modify_param(*p);
        Py_RETURN_NONE;
    });
}

PyMethodDef ld_methods[] = {
    {"multi_step", as_method(ld_multi), fastcall_flags,
     "multi_step($self, u)\n--\n\nFilters a whole sequence of input samples."},
    {"_modify_param", as_method(ld_modify), fastcall_flags,
     "_modify_param($self)\n--\n\nRecomputes the coefficients and restarts the state from "
     "the last input and output."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot ld_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(ld_init)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyLDLAG, sig_call, ld_step>)},
    {Py_tp_methods, ld_methods},
    {0, nullptr}};

// --- positive_parameter_property ------------------------------------------

nb::object make_property(nb::object name, nb::object expected) {
    nb::object field = nb::steal(PyNumber_Add(nb::str("_").ptr(), name.ptr()));
    if (!field.is_valid()) raise_python();
    nb::object fget = nb::cpp_function([field](nb::handle obj) { return nb::getattr(obj, field); },
                                       nb::name("fget"), nb::arg("obj").none());
    nb::object fset = nb::cpp_function(
        [name, expected, field](nb::handle obj, nb::handle v) {
            const int ok = PyObject_IsInstance(v.ptr(), expected.ptr());
            if (ok < 0) raise_python();
            if (!ok) {
                nb::str text = nb::str("{} must be a {}").format(name, expected);
                throw nb::type_error(text.c_str());
            }
            nb::object zero = nb::int_(0);
            const int negative = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
            if (negative < 0) raise_python();
            if (negative) throw nb::value_error("Expected a non-negative value.");
            nb::object old = nb::getattr(obj, field);
            nb::object differs = nb::steal(PyObject_RichCompare(v.ptr(), old.ptr(), Py_NE));
            if (!differs.is_valid()) raise_python();
            const int changed = PyObject_IsTrue(differs.ptr());
            if (changed < 0) raise_python();
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
    return import_attr("builtins", "property")(fget, fset);
}

PyObject* positive_parameter_property(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    PyObject* a[2];
    if (!sig_ppp.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] { return make_property(nb::borrow(a[0]), nb::borrow(a[1])).release().ptr(); });
}

// --- filter_stp ------------------------------------------------------------

PyObject* filter_stp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    long long N;
    double tao, alpha, r1, r2;
    if (!sig_stp.bind(args, nargs, kwnames, a) || !exact_int(a[0], "N", N) ||
        !to_double(a[1], tao) || !to_double(a[2], alpha) || !to_double(a[3], r1, 0.0) ||
        !to_double(a[4], r2, 1.0))
        return nullptr;
    return guard([&] {
        const double span = r2 - r1;
        double* w;
        if (tao <= 0) {
            if (N < 0) throw nb::value_error("negative dimensions are not allowed");
            nb::object out = new_f64(static_cast<std::size_t>(N), w);
            for (long long k = 0; k < N; ++k)
                w[k] = r1 + span * 1.0;
            return out.release().ptr();
        }
        const std::size_t n = N > 0 ? static_cast<std::size_t>(N) : 0;
        nb::object out = new_f64(n, w);
        const double rate = -1 / tao;
        for (std::size_t k = 0; k < n; ++k)
            w[k] = rate * static_cast<double>(k);
        // NumPy's exp is its own (vectorised) routine, not the C library's.
        import_attr("numpy", "exp")(out, nb::arg("out") = out);
        const double gap = 1 - alpha;
        for (std::size_t k = 0; k < n; ++k)
            w[k] = r1 + span * (1 - gap * w[k]);
        return out.release().ptr();
    });
}

PyMethodDef functions[] = {
    {"filter_stp", as_method(filter_stp), fastcall_flags,
     "filter_stp($module, N, tao, alpha, r1=0.0, r2=1.0)\n--\n\nThe lead-lag step "
     "trajectory from r1 to r2 over N samples."},
    {"positive_parameter_property", as_method(positive_parameter_property), fastcall_flags,
     "positive_parameter_property($module, name, expected_type)\n--\n\nA property stored "
     "in '_' + name that accepts non-negative values of expected_type and calls "
     "_modify_param() on a change."},
    {nullptr, nullptr, 0, nullptr}};

// A coefficient array may be replaced only by one that needs a state of the
// same length as the one the filter holds.
void set_coefficient(PyLDLAG& p, nb::handle v, bool numerator) {
    nb::object arr = float_array(v);
    double* d;
    Py_ssize_t n;
    if (!f64_view(arr, d, n)) throw nb::value_error("coefficients must be one-dimensional");
    std::vector<double> vals(d, d + n);
    Iir f = numerator ? Iir(vals, p.c.iir.a()) : Iir(p.c.iir.b(), vals);
    if (!p.zi.is_none() && f.state_size() != p.c.iir.state_size())
        throw nb::value_error("the new coefficients need a state of another length than _zi");
    p.c.iir = std::move(f);
    (numerator ? p.c.b : p.c.a) = std::move(arr);
}

void def_ldlag(nb::module_& m) {
    nb::class_<PyLDLAG> cls(
        m, "LDLAG", nb::type_slots(ld_slots),
        "LDLAG(alpha=0.0, tao=5.0, Ts=1, u_ini=None, y_ini=None)\n--\n\nLead-lag "
        "filter (alpha*tao*s + 1)/(tao*s + 1); call it once per sample.");
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
            if (!exact_type(v.ptr(), &PyLong_Type, "Ts")) raise_python();
            p.Ts = nb::borrow(v);
        });
    def_field<PyLDLAG>(
        cls, "_b", [](PyLDLAG& p) { return p.c.b; },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, true); });
    def_field<PyLDLAG>(
        cls, "_a", [](PyLDLAG& p) { return p.c.a; },
        [](PyLDLAG& p, nb::handle v) { set_coefficient(p, v, false); });
    def_field<PyLDLAG>(
        cls, "_zi", [](PyLDLAG& p) { return p.zi; },
        [](PyLDLAG& p, nb::handle v) {
            if (v.is_none()) {
                p.zi = nb::none();
                p.z = nullptr;
                return;
            }
            double* d;
            p.zi = state_array(v, p.c.iir.state_size(), d);
            p.z = d;
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
            nb::object zi = p.zi.is_none() ? nb::none() : f64_array(p.z, p.c.iir.state_size());
            return nb::make_tuple(p.alpha.get(), p.tao.get(), p.Ts, p.c.b, p.c.a, zi, p.u_ini.get(),
                                  p.y_ini.get());
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 8) throw nb::value_error("invalid LDLAG state");
            PyLDLAG p{};
            p.alpha.set(s[0]);
            p.tao.set(s[1]);
            p.Ts = s[2];
            p.c.b = float_array(s[3]);
            p.c.a = float_array(s[4]);
            double *bd, *ad;
            Py_ssize_t nb_, na;
            if (!f64_view(p.c.b, bd, nb_) || !f64_view(p.c.a, ad, na))
                throw nb::value_error("invalid LDLAG state");
            p.c.iir = Iir(std::vector<double>(bd, bd + nb_), std::vector<double>(ad, ad + na));
            p.zi = nb::none();
            if (!s[5].is_none()) {
                const nb::object arr = float_array(s[5]);
                double* d;
                Py_ssize_t n;
                if (!f64_view(arr, d, n) || static_cast<std::size_t>(n) != p.c.iir.state_size())
                    throw nb::value_error("invalid LDLAG state");
                p.zi = f64_array(d, static_cast<std::size_t>(n));
                Py_ssize_t len;
                f64_view(p.zi, p.z, len, true);
            }
            p.u_ini.set(s[6]);
            p.y_ini.set(s[7]);
            p.call = ld_vectorcall;
            emplace<PyLDLAG>(self.ptr(), std::move(p));
        });

    nb::object number = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
                                       nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
    cls.attr("alpha") = make_property(nb::str("alpha"), number);
    cls.attr("tao") = make_property(nb::str("tao"), number);
    name_property(cls, "alpha");
    name_property(cls, "tao");
}

} // namespace

NB_MODULE(phaseshaper, m) {
    m.doc() = "First-order lead-lag filter LDLAG with bumpless parameter changes, its step "
              "trajectory, and validated parameter properties.";
    def_ldlag(m);
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
