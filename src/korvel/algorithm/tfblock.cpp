// korvel.algorithm.tfblock: discrete and continuous transfer-function filters
// with persistent lfilter state.
#include "tfblock.hpp"

#include "pyglue/fields.hpp"
#include "pyglue/vectorcall.hpp"

#include <algorithm>
#include <vector>

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::Iir;
using korvel::tfblock::PySFilter;
using korvel::tfblock::PyZFilter;

namespace {

const Signature sig_z_init("__init__", {"Bz", "Az", "u_ini", "y_ini"}, 0);
const Signature sig_s_init("__init__", {"Bs", "As", "Ts", "u_ini", "y_ini"}, 0);
const Signature sig_call("__call__", {"Ut", "y_ini"}, 1);
const Signature sig_run("run", {"Ut", "y_ini"}, 1);
const Signature sig_multistep("run_multistep", {"U_arr", "y_ini"}, 1);

[[noreturn]] void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw nb::python_error();
}

nb::list list_of(std::initializer_list<double> values) {
    nb::list l;
    for (double v : values)
        l.append(v);
    return l;
}

Py_ssize_t length(nb::handle o) {
    const Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

int ndim(nb::handle arr) {
    return nb::cast<int>(arr.attr("ndim"));
}

// The items of a one-dimensional float64 array.
std::vector<double> items(nb::handle arr) {
    double* data;
    Py_ssize_t n;
    if (!f64_view(arr, data, n)) {
        nb::object c = import_attr("numpy", "ascontiguousarray")(arr);
        if (!f64_view(c, data, n)) raise(PyExc_ValueError, "expected a 1-D float64 array");
        return std::vector<double>(data, data + n);
    }
    return std::vector<double>(data, data + n);
}

// An operating point: None, or a real number.
double operating_point(nb::handle o) {
    double v = 0.0;
    if (!o.is_none() && !to_double(o.ptr(), v)) throw nb::python_error();
    return v;
}

nb::object none_if_null(PyObject* o) {
    return o ? nb::borrow(o) : nb::none();
}

// `seq[0]`, for the error it raises when there is no first item.
nb::object first_item(nb::handle seq) {
    PyObject* zero = PyLong_FromLong(0);
    PyObject* item = zero ? PyObject_GetItem(seq.ptr(), zero) : nullptr;
    Py_XDECREF(zero);
    if (!item) throw nb::python_error();
    return nb::steal(item);
}

// A zFilter from its constructor arguments, in the order construction
// evaluates them; lfiltic's checks refuse what the filter could not run.
PyZFilter make_zfilter(PyObject* Bz, PyObject* Az, PyObject* u_ini, PyObject* y_ini) {
    nb::object b = float_array(Bz ? nb::handle(Bz) : nb::handle(list_of({0.0, 0.1})));
    nb::object a = float_array(Az ? nb::handle(Az) : nb::handle(list_of({1.0, -0.9})));
    nb::object u = none_if_null(u_ini), y = none_if_null(y_ini);
    const double u0 = operating_point(u), y0 = operating_point(y);
    const Py_ssize_t na = length(a), nb_ = length(b);
    const std::size_t n = static_cast<std::size_t>(std::max(na, nb_));
    if (ndim(a) > 1) raise(PyExc_ValueError, "Filter coefficients `a` must be 1-D.");
    if (ndim(b) > 1) raise(PyExc_ValueError, "Filter coefficients `b` must be 1-D.");
    std::vector<double> vb = items(b), va = items(a);
    const std::vector<double> zeros(n, 0.0);
    const std::vector<double> z0 = korvel::lfiltic(vb, va, zeros, zeros);
    Iir f(std::move(vb), std::move(va));
    double* data;
    nb::object zi = new_f64(z0.size(), data);
    std::copy(z0.begin(), z0.end(), data);
    return PyZFilter(std::move(f), std::move(b), std::move(a), std::move(zi), data, std::move(u),
                     u0, std::move(y), y0);
}

// lfilter refuses every input that is not one-dimensional; let it say so.
[[noreturn]] void refuse_input(PyZFilter& p, nb::handle U) {
    import_attr("scipy.signal", "lfilter")(p.Bz, p.Az, U, nb::arg("zi") = p.zi);
    raise(PyExc_ValueError, "U_arr must be one-dimensional");
}

// run_multistep after argument binding; U_arr may be a list or an array.
PyObject* multistep(PyZFilter& p, PyObject* U_arr, PyObject* y_ini_arg) {
    double yi;
    nb::object U = float_array(U_arr);
    if (!to_double(y_ini_arg, yi, 0.0)) return nullptr;
    double* x;
    Py_ssize_t n;
    if (!f64_view(U, x, n, true)) {
        if (ndim(U) == 0 && p.u_ini.is_none()) first_item(U); // IndexError
        refuse_input(p, U);
    }
    if (p.u_ini.is_none() && n == 0) first_item(U); // IndexError: no first sample
    p.adopt(n ? x[0] : 0.0, yi);
    p.iir.filter_deviation(x, x, static_cast<std::size_t>(n), p.state(), p.u0, p.y0);
    return U.release().ptr();
}

// The call operation and run, after binding: (Ut, y_ini=0.0).
template <class P> PyObject* step(P& p, PyObject* const* a) {
    double ut, yi;
    if (!to_double(a[0], ut) || !to_double(a[1], yi, 0.0)) return nullptr;
    return to_py(p.step(ut, yi));
}

// --- zFilter -------------------------------------------------------------

int zf_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!sig_z_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        emplace<PyZFilter>(self, make_zfilter(a[0], a[1], a[2], a[3]));
        nb::inst_ptr<PyZFilter>(self)->call = vectorcall_slot<PyZFilter, sig_call, step<PyZFilter>>;
        return 0;
    });
}

PyObject* zf_multistep(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    PyZFilter* p = self_of<PyZFilter>(self);
    if (!p || !sig_multistep.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] { return multistep(*p, a[0], a[1]); });
}

PyMethodDef zf_methods[] = {
    {"run", as_method(fastcall_method<PyZFilter, sig_run, step<PyZFilter>>), fastcall_flags,
     "run($self, Ut, y_ini=0.0)\n--\n\nOne sample; the same as calling the filter."},
    {"run_multistep", as_method(zf_multistep), fastcall_flags,
     "run_multistep($self, U_arr, y_ini=0.0)\n--\n\nFilters a sequence of samples; one output per "
     "input sample."},
    {nullptr, nullptr, 0, nullptr}};

// _u_ini and _y_ini take any object, so a zFilter can end up in a reference
// cycle. Clearing leaves the coefficient and state arrays: the step relies on
// them, and float64 arrays hold no references.
int zf_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const PyZFilter& p = *nb::inst_ptr<PyZFilter>(self);
    for (const nb::object* o : {&p.Bz, &p.Az, &p.zi, &p.u_ini, &p.y_ini})
        Py_VISIT(o->ptr());
    return 0;
}

int zf_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self)) {
        PyZFilter& p = *nb::inst_ptr<PyZFilter>(self);
        p.u_ini = p.y_ini = nb::none();
    }
    return 0;
}

PyType_Slot zf_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(zf_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(zf_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(zf_clear)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyZFilter, sig_call, step<PyZFilter>>)},
    {Py_tp_methods, zf_methods},
    {0, nullptr}};

// New coefficients keep the state, so they must need one of the same length.
// Both arrive as owned references: converting one runs Python code that may
// replace the field the other came from.
void set_coefficients(PyZFilter& p, nb::object b_in, nb::object a_in) {
    nb::object b = float_array(b_in), a = float_array(a_in);
    if (ndim(a) != 1) raise(PyExc_ValueError, "Filter coefficients `a` must be 1-D.");
    if (ndim(b) != 1) raise(PyExc_ValueError, "Filter coefficients `b` must be 1-D.");
    Iir f(items(b), items(a));
    if (f.state_size() != p.iir.state_size()) {
        PyErr_Format(PyExc_ValueError,
                     "the new coefficients need a state of %zu items, _zi has %zu", f.state_size(),
                     p.iir.state_size());
        throw nb::python_error();
    }
    p.iir = std::move(f);
    p.Bz = std::move(b);
    p.Az = std::move(a);
}

void def_zfilter(nb::module_& m) {
    nb::class_<PyZFilter> cls(m, "zFilter", nb::type_slots(zf_slots),
                              "zFilter(Bz=[0, 0.1], Az=[1, -0.9], u_ini=None, y_ini=None)\n--\n\n"
                              "Discrete transfer function Bz(z^-1)/Az(z^-1) around an operating "
                              "point; call it once per sample.");
    def_field<PyZFilter>(
        cls, "_Bz", [](PyZFilter& p) { return p.Bz; },
        [](PyZFilter& p, nb::handle v) { set_coefficients(p, nb::borrow(v), p.Az); });
    def_field<PyZFilter>(
        cls, "_Az", [](PyZFilter& p) { return p.Az; },
        [](PyZFilter& p, nb::handle v) { set_coefficients(p, p.Bz, nb::borrow(v)); });
    def_field<PyZFilter>(
        cls, "_zi", [](PyZFilter& p) { return p.zi; },
        [](PyZFilter& p, nb::handle v) {
            double* data;
            p.zi = state_array(v, p.iir.state_size(), data);
            p.z = data;
        });
    def_field<PyZFilter>(
        cls, "_u_ini", [](PyZFilter& p) { return p.u_ini; },
        [](PyZFilter& p, nb::handle v) {
            p.u0 = operating_point(v);
            p.u_ini = nb::borrow(v);
        });
    def_field<PyZFilter>(
        cls, "_y_ini", [](PyZFilter& p) { return p.y_ini; },
        [](PyZFilter& p, nb::handle v) {
            p.y0 = operating_point(v);
            p.y_ini = nb::borrow(v);
        });

    enable_vectorcall<PyZFilter>(cls);
    def_pickle<PyZFilter>(
        cls, "zFilter",
        [](PyZFilter& p) {
            return nb::make_tuple(p.Bz, p.Az, p.u_ini, p.y_ini, f64_array(p.z, p.iir.state_size()));
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 5) throw nb::value_error("invalid zFilter state");
            nb::object b = float_array(s[0]), a = float_array(s[1]);
            Iir f(items(b), items(a));
            double* data;
            nb::object zi = new_f64(f.state_size(), data);
            const std::vector<double> z = items(float_array(s[4]));
            if (z.size() != f.state_size()) throw nb::value_error("invalid zFilter state");
            std::copy(z.begin(), z.end(), data);
            nb::object u = s[2], y = s[3];
            const double u0 = operating_point(u), y0 = operating_point(y);
            PyZFilter p(std::move(f), std::move(b), std::move(a), std::move(zi), data, std::move(u),
                        u0, std::move(y), y0);
            p.call = vectorcall_slot<PyZFilter, sig_call, step<PyZFilter>>;
            emplace<PyZFilter>(self.ptr(), std::move(p));
        });
}

// --- sFilter -------------------------------------------------------------

nb::object zfilter_type() {
    return nb::borrow(nb::type<PyZFilter>());
}

int sf_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    if (!sig_s_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object Bs = float_array(a[0] ? nb::handle(a[0]) : nb::handle(list_of({1.0})));
        nb::object As = float_array(a[1] ? nb::handle(a[1]) : nb::handle(list_of({5.0, 1.0})));
        nb::object Ts = a[2] ? nb::borrow(a[2]) : nb::cast(1);
        nb::object res = import_attr("scipy.signal", "cont2discrete")(nb::make_tuple(Bs, As), Ts);
        auto parts = unpack(res, 3);
        nb::object row = parts[0][nb::int_(0)];
        nb::object zf = zfilter_type()(row, parts[1], none_if_null(a[3]), none_if_null(a[4]));
        emplace<PySFilter>(self,
                           PySFilter(std::move(Bs), std::move(As), std::move(Ts), std::move(zf)));
        nb::inst_ptr<PySFilter>(self)->call = vectorcall_slot<PySFilter, sig_call, step<PySFilter>>;
        return 0;
    });
}

PyObject* sf_multistep(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    PySFilter* p = self_of<PySFilter>(self);
    if (!p || !sig_multistep.bind(args, nargs, kwnames, a) ||
        !exact_type(a[0], &PyList_Type, "U_arr"))
        return nullptr;
    return guard([&] { return multistep(p->zf(), a[0], a[1]); });
}

PyMethodDef sf_methods[] = {
    {"run", as_method(fastcall_method<PySFilter, sig_run, step<PySFilter>>), fastcall_flags,
     "run($self, Ut, y_ini=0.0)\n--\n\nOne sample; the same as calling the filter."},
    {"run_multistep", as_method(sf_multistep), fastcall_flags,
     "run_multistep($self, U_arr, y_ini=0.0)\n--\n\nFilters a list of samples; one output per "
     "input sample."},
    {nullptr, nullptr, 0, nullptr}};

// _Bs, _As and _Ts take any object, so an sFilter can end up in a reference
// cycle. Clearing keeps the zFilter: the step relies on it.
int sf_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const PySFilter& p = *nb::inst_ptr<PySFilter>(self);
    for (const nb::object* o : {&p.Bs, &p.As, &p.Ts, &p.zfilter})
        Py_VISIT(o->ptr());
    return 0;
}

int sf_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self)) {
        PySFilter& p = *nb::inst_ptr<PySFilter>(self);
        p.Bs = p.As = p.Ts = nb::none();
    }
    return 0;
}

PyType_Slot sf_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(sf_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(sf_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sf_clear)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PySFilter, sig_call, step<PySFilter>>)},
    {Py_tp_methods, sf_methods},
    {0, nullptr}};

nb::object checked_zfilter(nb::handle v) {
    if (!nb::isinstance<PyZFilter>(v) || !nb::inst_ready(v)) {
        PyErr_Format(PyExc_TypeError, "_zfilter must be a zFilter, not %.200s",
                     Py_TYPE(v.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

void def_sfilter(nb::module_& m) {
    nb::class_<PySFilter> cls(m, "sFilter", nb::type_slots(sf_slots),
                              "sFilter(Bs=[1], As=[5, 1], Ts=1, u_ini=None, y_ini=None)\n--\n\n"
                              "Continuous transfer function Bs(s)/As(s), discretised with a "
                              "zero-order hold at Ts; call it once per sample.");
    def_object_field<PySFilter, &PySFilter::Bs>(cls, "_Bs");
    def_object_field<PySFilter, &PySFilter::As>(cls, "_As");
    def_object_field<PySFilter, &PySFilter::Ts>(cls, "_Ts");
    def_field<PySFilter>(
        cls, "_zfilter", [](PySFilter& p) { return p.zfilter; },
        [](PySFilter& p, nb::handle v) { p.own(checked_zfilter(v)); });
    enable_vectorcall<PySFilter>(cls);
    def_pickle<PySFilter>(
        cls, "sFilter", [](PySFilter& p) { return nb::make_tuple(p.Bs, p.As, p.Ts, p.zfilter); },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 4) throw nb::value_error("invalid sFilter state");
            PySFilter p(s[0], s[1], s[2], checked_zfilter(s[3]));
            p.call = vectorcall_slot<PySFilter, sig_call, step<PySFilter>>;
            emplace<PySFilter>(self.ptr(), std::move(p));
        });
}

} // namespace

NB_MODULE(tfblock, m) {
    m.doc() = "Discrete (zFilter) and continuous (sFilter) transfer-function filters with "
              "persistent filter state.";
    def_zfilter(m);
    def_sfilter(m);
}
