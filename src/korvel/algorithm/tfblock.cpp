// korvel.algorithm.tfblock: discrete and continuous transfer-function filters
// with persistent lfilter state.
//
// Each filter is the core's ZFilter; the binding keeps the objects callers see:
// the coefficient arrays as constructed, the operating point as given (None
// until the first call supplies it) and the state as a live array. The bank
// of zFilters is in tfblock_bank.cpp.
#include "algorithm/tfblock.hpp"

#include <algorithm>
#include <vector>

#include "docstrings/tfblock.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/lanes.hpp"
#include "pyglue/lfilter.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/ndarray.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/scipy.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::Iir;
namespace doc = korvel::docstrings::tfblock;

namespace {

const Signature sig_z_init("__init__", {object("Bz", "[0, 0.1]"), object("Az", "[1, -0.9]"),
                                        object("u_ini", "None"), object("y_ini", "None")});
const Signature sig_s_init("__init__",
                           {object("Bs", "[1]"), object("As", "[5, 1]"), object("Ts", "1"),
                            object("u_ini", "None"), object("y_ini", "None")});
const Signature sig_call("__call__", {real("Ut"), real("y_ini", "0.0")});
const Signature sig_run("run", {real("Ut"), real("y_ini", "0.0")});
const Signature sig_z_multistep("run_multistep", {object("U_arr"), real("y_ini", "0.0")});
const Signature sig_s_multistep("run_multistep", {list("U_arr"), real("y_ini", "0.0")});

Py_ssize_t length(nb::handle o) {
    const Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) raise();
    return n;
}

// zFilter: Bz(z^-1)/Az(z^-1) in deviation form around (u_ini, y_ini).
struct PyZFilter {
    vectorcallfunc call = nullptr; // the call operation's entry (pyglue/vectorcall.hpp)
    korvel::ZFilter core;
    nb::object Bz, Az;       // fields _Bz, _Az: float64 arrays as constructed
    np::LiveState zi;        // field _zi
    nb::object u_ini, y_ini; // fields _u_ini, _y_ini: None until set

    // Adopts the operating point a first call supplies, objects and values.
    void adopt(double ut, double y_arg) {
        if (u_ini.is_none()) u_ini = nb::float_(ut);
        if (y_ini.is_none()) y_ini = nb::float_(y_arg);
        core.operating_point().adopt(ut, y_arg);
    }

    // The core holds a point exactly where the field is not None.
    double step(double ut, double y_arg) {
        const korvel::OperatingPoint& op = core.operating_point();
        if (!op.u || !op.y) adopt(ut, y_arg);
        return core.step(ut, y_arg, zi.mut());
    }
};

PyZFilter make_zfilter(nb::handle Bz, nb::handle Az, nb::handle u, nb::handle y) {
    nb::object b = float_array(Bz), a = float_array(Az);
    const auto u0 = optional_real(u), y0 = optional_real(y);
    length(a);
    length(b);
    if (np::ndim(a.ptr()) > 1)
        raise_format(PyExc_ValueError, "Filter coefficients `a` must be 1-D.");
    if (np::ndim(b.ptr()) > 1)
        raise_format(PyExc_ValueError, "Filter coefficients `b` must be 1-D.");
    korvel::ZFilter core(array_items(b), array_items(a), u0, y0);
    np::LiveState zi = np::LiveState::of(core.state().data(), core.state_size());
    return PyZFilter{nullptr,       std::move(core), std::move(b), std::move(a),
                     std::move(zi), nb::borrow(u),   nb::borrow(y)};
}

// The call operation and run, after binding: (Ut, y_ini=0.0).
template <class P> PyObject* step(P& p, const Args& a) {
    return to_py(p.step(a.num(0), a.num(1)));
}

constexpr auto z_vectorcall = vectorcall_slot<PyZFilter, sig_call, step<PyZFilter>>;

void zf_init(PyObject* self, const Args& a) {
    PyZFilter z = make_zfilter(a.obj(0), a.obj(1), a.obj(2), a.obj(3));
    z.call = z_vectorcall;
    emplace<PyZFilter>(self, std::move(z));
}

// `seq[0]`, for the error it raises when there is no first item.
void first_item(nb::handle seq) {
    checked(PyObject_GetItem(seq.ptr(), nb::int_(0).ptr()));
}

// run_multistep after binding; U_arr may be a list or an array. lfilter
// refuses every input that is not one-dimensional: it says so itself.
nb::object multistep(PyZFilter& p, nb::handle U_arr, double y_arg) {
    const Samples U = samples(U_arr);
    if (!U.one_dimensional) {
        if (np::ndim(U.array.ptr()) == 0 && p.u_ini.is_none()) first_item(U.array);
        import_attr("scipy.signal", "lfilter")(p.Bz, p.Az, U.array, nb::arg("zi") = p.zi.array());
        raise_format(PyExc_ValueError, "U_arr must be one-dimensional");
    }
    if (p.u_ini.is_none() && U.n == 0) first_item(U.array);
    p.adopt(U.n ? U.data[0] : 0.0, y_arg);
    const korvel::OperatingPoint& op = p.core.operating_point();
    return filter_array(p.core.iir(), U, p.zi.mut(), Deviation{*op.u, *op.y});
}

nb::object zf_multistep(PyZFilter& p, const Args& a) {
    return multistep(p, a.obj(0), a.num(1));
}

// _u_ini and _y_ini take any object, so a zFilter can end up in a reference
// cycle. Clearing leaves the coefficient and state arrays: the step relies on
// them, and float64 arrays hold no references.
int zf_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const PyZFilter& p = *nb::inst_ptr<PyZFilter>(self);
    for (const nb::object* o : {&p.Bz, &p.Az, &p.zi.held(), &p.u_ini, &p.y_ini})
        Py_VISIT(o->ptr());
    return 0;
}

int zf_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self)) {
        PyZFilter& p = *nb::inst_ptr<PyZFilter>(self);
        p.u_ini = p.y_ini = nb::none();
        p.core.operating_point() = {};
    }
    return 0;
}

// New coefficients keep the state, so they must need one of the same length.
// Both arrive as owned references: converting one runs Python code that may
// replace the field the other came from.
void set_coefficients(PyZFilter& p, nb::object b_in, nb::object a_in) {
    nb::object b = float_array(b_in), a = float_array(a_in);
    if (np::ndim(a.ptr()) != 1)
        raise_format(PyExc_ValueError, "Filter coefficients `a` must be 1-D.");
    if (np::ndim(b.ptr()) != 1)
        raise_format(PyExc_ValueError, "Filter coefficients `b` must be 1-D.");
    p.core.set_iir(Iir(array_items(b), array_items(a)));
    p.Bz = std::move(b);
    p.Az = std::move(a);
}

void def_zfilter(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_z_init, zf_init>)},
        {Py_tp_traverse, reinterpret_cast<void*>(zf_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(zf_clear)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyZFilter, sig_call, step<PyZFilter>>)},
        {Py_tp_methods,
         methods({method<PyZFilter, sig_run, step<PyZFilter>>(doc::z_run),
                  method<PyZFilter, sig_z_multistep, zf_multistep>(doc::z_run_multistep)})},
        {0, nullptr}};
    nb::class_<PyZFilter> cls(m, "zFilter", nb::type_slots(slots),
                              sig_z_init.class_doc("zFilter", doc::zFilter));
    def_call_doc(cls, sig_call, doc::z_step);
    def_field<PyZFilter>(
        cls, "_Bz", [](PyZFilter& p) { return p.Bz; },
        [](PyZFilter& p, nb::handle v) { set_coefficients(p, nb::borrow(v), p.Az); });
    def_field<PyZFilter>(
        cls, "_Az", [](PyZFilter& p) { return p.Az; },
        [](PyZFilter& p, nb::handle v) { set_coefficients(p, p.Bz, nb::borrow(v)); });
    def_field<PyZFilter>(
        cls, "_zi", [](PyZFilter& p) { return p.zi.array(); },
        [](PyZFilter& p, nb::handle v) {
            double* data;
            nb::object arr = current_state_array(v, [&] { return p.core.state_size(); }, data);
            p.zi = np::LiveState::adopt(std::move(arr), data, p.core.state_size());
        });
    def_field<PyZFilter>(
        cls, "_u_ini", [](PyZFilter& p) { return p.u_ini; },
        [](PyZFilter& p, nb::handle v) {
            p.core.operating_point().u = optional_real(v);
            p.u_ini = nb::borrow(v);
        });
    def_field<PyZFilter>(
        cls, "_y_ini", [](PyZFilter& p) { return p.y_ini; },
        [](PyZFilter& p, nb::handle v) {
            p.core.operating_point().y = optional_real(v);
            p.y_ini = nb::borrow(v);
        });
    enable_vectorcall<PyZFilter>(cls);
    def_pickle<PyZFilter>(
        cls, "zFilter",
        [](PyZFilter& p) {
            return nb::make_tuple(p.Bz, p.Az, p.u_ini, p.y_ini,
                                  np::copy_f64(p.zi.data(), p.zi.size()));
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 5) throw nb::value_error("invalid zFilter state");
            PyZFilter p = make_zfilter(s[0], s[1], s[2], s[3]);
            const std::vector<double> z = array_items(float_array(s[4]));
            if (z.size() != p.core.state_size()) throw nb::value_error("invalid zFilter state");
            p.zi = np::LiveState::of(z.data(), z.size());
            p.call = z_vectorcall;
            emplace<PyZFilter>(self.ptr(), std::move(p));
        });
}

} // namespace

nb::object korvel::tfblock::new_zfilter(const korvel::ZFilter& f) {
    const korvel::OperatingPoint& op = f.operating_point();
    return new_block(PyZFilter{z_vectorcall, f, f64_array(f.iir().b()), f64_array(f.iir().a()),
                               np::LiveState::of(f.state().data(), f.state_size()),
                               optional_float(op.u), optional_float(op.y)});
}

std::optional<korvel::ZFilter> korvel::tfblock::zfilter_of(nb::handle o) {
    if (!nb::isinstance<PyZFilter>(o) || !nb::inst_ready(o)) return std::nullopt;
    PyZFilter& p = *nb::inst_ptr<PyZFilter>(o);
    const double* z = p.zi.data();
    return korvel::ZFilter(p.core.iir(), p.core.operating_point(),
                           std::vector<double>(z, z + p.core.state_size()));
}

namespace {

// --- sFilter ---------------------------------------------------------------

// sFilter: Bs(s)/As(s), discretised once; its zFilter does the work.
struct PySFilter {
    vectorcallfunc call = nullptr;
    nb::object Bs, As, Ts; // fields _Bs, _As, _Ts
    nb::object zfilter;    // field _zfilter: the zFilter it owns
    PyZFilter* zp = nullptr;

    // Takes a constructed zFilter as the filter doing the work.
    void own(nb::object z) {
        zp = nb::inst_ptr<PyZFilter>(z);
        zfilter = std::move(z);
    }
    double step(double ut, double y_arg) { return zp->step(ut, y_arg); }
};

constexpr auto s_vectorcall = vectorcall_slot<PySFilter, sig_call, step<PySFilter>>;

nb::object checked_zfilter(nb::handle v) {
    if (!nb::isinstance<PyZFilter>(v) || !nb::inst_ready(v))
        raise_format(PyExc_TypeError, "_zfilter must be a zFilter, not %.200s",
                     Py_TYPE(v.ptr())->tp_name);
    return nb::borrow(v);
}

PySFilter make_sfilter(nb::object Bs, nb::object As, nb::object Ts, nb::object zf) {
    PySFilter p{s_vectorcall, std::move(Bs), std::move(As), std::move(Ts), nb::object(), nullptr};
    p.own(checked_zfilter(zf));
    return p;
}

void sf_init(PyObject* self, const Args& a) {
    nb::object Bs = float_array(a.obj(0)), As = float_array(a.obj(1));
    nb::object Ts = nb::borrow(a.obj(2));
    // cont2discrete((_Bs, _As), _Ts), then the zFilter of its row and den.
    nb::object res = import_attr("scipy.signal", "cont2discrete")(nb::make_tuple(Bs, As), Ts);
    auto parts = unpack(res, 3);
    nb::object zf = nb::type<PyZFilter>()(parts[0][nb::int_(0)], parts[1], nb::handle(a.obj(3)),
                                          nb::handle(a.obj(4)));
    emplace<PySFilter>(self, make_sfilter(std::move(Bs), std::move(As), std::move(Ts), zf));
}

nb::object sf_multistep(PySFilter& p, const Args& a) {
    return multistep(*p.zp, a.obj(0), a.num(1));
}

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

void def_sfilter(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_s_init, sf_init>)},
        {Py_tp_traverse, reinterpret_cast<void*>(sf_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(sf_clear)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PySFilter, sig_call, step<PySFilter>>)},
        {Py_tp_methods,
         methods({method<PySFilter, sig_run, step<PySFilter>>(doc::s_run),
                  method<PySFilter, sig_s_multistep, sf_multistep>(doc::s_run_multistep)})},
        {0, nullptr}};
    nb::class_<PySFilter> cls(m, "sFilter", nb::type_slots(slots),
                              sig_s_init.class_doc("sFilter", doc::sFilter));
    def_call_doc(cls, sig_call, doc::s_step);
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
            emplace<PySFilter>(self.ptr(), make_sfilter(s[0], s[1], s[2], s[3]));
        });
}

// --- the C interface: labbias steps the sFilter it owns without a Python call.

nb::handle sfilter_type;

int capi_sfilter_step(PyObject* filter, double u, double* y) {
    if (!Py_IS_TYPE(filter, reinterpret_cast<PyTypeObject*>(sfilter_type.ptr())) ||
        !nb::inst_ready(filter))
        return 1;
    PySFilter& p = *nb::inst_ptr<PySFilter>(filter);
    try {
        *y = p.step(u, 0.0);
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

const TfblockApi capi{TfblockApi::version, capi_sfilter_step};

} // namespace

NB_MODULE(tfblock, m) {
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    def_zfilter(m);
    def_sfilter(m);
    korvel::tfblock::def_zfilter_bank(m);
    sfilter_type = nb::type<PySFilter>();
    publish(m, &capi);
}
