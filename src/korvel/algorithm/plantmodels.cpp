// korvel.algorithm.plantmodels: pair models of a MIMO process, the MISO, MIMO
// and SISO simulators built from a model dictionary, and step responses.
//
// Built-in models are stepped through the C++ kernel; a model written in
// Python is called through its deltaU_sim. The simulators keep their tag
// mappings as real dicts, updated in place, so what a caller reads is what
// the next step uses.
#include <korvel/plant.hpp>

#include <nanobind/ndarray.h>

#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/pycall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::NoModel;
using korvel::PairModel;
using korvel::TfModel;

namespace {

// ---------------------------------------------------------------------------
// Module state: set once at import, kept for the life of the process.

struct Refs {
    PyObject *asarray, *pad, *diff, *cumsum, *interp, *arange, *convolve, *float64;
    PyObject* c2d;
    PyObject* empty; // default of the step's mappings: empty and never modified
    PyTypeObject *model, *no_model, *tfz, *tfs, *stp, *stpxy, *miso, *mimo, *siso;
    newfunc inst_new;        // nanobind's instance allocator
    PyObject* abstract_step; // model.deltaU_sim
};
Refs g{};

struct Names {
    PyObject *deltaU_sim, *get, *items, *keys, *model_list, *u_ini_list, *dict, *tolist;
    PyObject *mode, *IntegralMark, *None, *tf_s, *tf_z, *stp, *stpxy;
    PyObject *num_s, *den_s, *iodelay_s, *num_z, *den_z, *iodelay_z, *x, *y;
    PyObject *zero, *fzero, *one, *minus_one, *constant;
    PyObject *dtype, *prepend; // keyword tuples
};
Names s_{};

[[noreturn]] void raise() {
    throw nb::python_error();
}

PyObject* check(PyObject* o) {
    if (!o) raise();
    return o;
}

nb::object steal(PyObject* o) {
    return nb::steal(check(o));
}

bool truth(nb::handle o) {
    const int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise();
    return t;
}

bool equal(nb::handle a, PyObject* b) {
    const int t = PyObject_RichCompareBool(a.ptr(), b, Py_EQ);
    if (t < 0) raise();
    return t;
}

// mapping.get(key, dflt), for dicts without a method call.
nb::object get_or(nb::handle m, nb::handle key, PyObject* dflt) {
    if (PyDict_CheckExact(m.ptr())) {
        PyObject* v = PyDict_GetItemWithError(m.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise();
        return nb::borrow(dflt);
    }
    return steal(PyObject_CallMethodObjArgs(m.ptr(), s_.get, key.ptr(), dflt, nullptr));
}

nb::object item(nb::handle m, PyObject* key) {
    return steal(PyObject_GetItem(m.ptr(), key));
}

// list(mapping.keys())
nb::list keys_of(nb::handle m) {
    if (PyDict_CheckExact(m.ptr())) return nb::steal<nb::list>(check(PyDict_Keys(m.ptr())));
    nb::object k = steal(PyObject_CallMethodNoArgs(m.ptr(), s_.keys));
    return nb::steal<nb::list>(check(PySequence_List(k.ptr())));
}

// list(mapping.items()) as (key, value) pairs.
nb::object items_of(nb::handle m) {
    nb::object it = steal(PyObject_CallMethodNoArgs(m.ptr(), s_.items));
    return steal(PySequence_Fast(it.ptr(), "items() must return an iterable"));
}

// The contents of a float64 array (from float_array), or lfilter's complaint
// about the coefficient array `name` when it is not one-dimensional.
std::vector<double> doubles_of(nb::handle arr, const char* name) {
    double* data;
    Py_ssize_t n;
    if (!f64_view(arr, data, n)) {
        nb::object shape = steal(PyObject_GetAttrString(arr.ptr(), "shape"));
        PyErr_Format(PyExc_ValueError,
                     "Parameter %s is not a non-empty 1d array, since %s.shape=%R!", name, name,
                     shape.ptr());
        raise();
    }
    return std::vector<double>(data, data + n);
}

// ---------------------------------------------------------------------------
// Building models. These run at construction only, so they call NumPy
// through Python: its padding, differences, sums and interpolation are the
// definition of the tables.

TfModel make_tfz(nb::handle num, nb::handle den, nb::handle delay) {
    nb::object b = float_array(num);
    if (!(PyLong_CheckExact(delay.ptr()) && PyLong_AsLong(delay.ptr()) == 0)) {
        // np.pad(b, (delay, 0), mode="constant", constant_values=0)
        nb::object widths = steal(PyTuple_Pack(2, delay.ptr(), s_.zero));
        nb::object kw = steal(PyDict_New());
        if (PyDict_SetItemString(kw.ptr(), "mode", s_.constant) < 0 ||
            PyDict_SetItemString(kw.ptr(), "constant_values", s_.zero) < 0)
            raise();
        nb::object args = steal(PyTuple_Pack(2, b.ptr(), widths.ptr()));
        b = steal(PyObject_Call(g.pad, args.ptr(), kw.ptr()));
    }
    nb::object a = float_array(den);
    return TfModel(doubles_of(b, "b"), doubles_of(a, "a"));
}

// h = np.diff(stp, prepend=0): the impulse response whose step response is
// the table.
TfModel make_stp(nb::handle stp) {
    PyObject* args[] = {stp.ptr(), s_.zero};
    nb::object h = steal(PyObject_Vectorcall(g.diff, args, 1, s_.prepend));
    return TfModel(doubles_of(float_array(h), "b"), {1.0});
}

TfModel make_stpxy(nb::handle x, nb::handle y) {
    const Py_ssize_t nx = PyObject_Size(x.ptr());
    if (nx < 0) raise();
    const Py_ssize_t ny = PyObject_Size(y.ptr());
    if (ny < 0) raise();
    if (nx != ny) {
        PyErr_SetNone(PyExc_AssertionError);
        raise();
    }
    nb::object last = item(x, s_.minus_one);
    nb::object end = steal(PyNumber_Add(last.ptr(), s_.one));
    nb::object p = steal(PyObject_CallFunctionObjArgs(g.arange, s_.zero, end.ptr(), nullptr));
    nb::object table =
        steal(PyObject_CallFunctionObjArgs(g.interp, p.ptr(), x.ptr(), y.ptr(), nullptr));
    return make_stp(steal(PyObject_CallMethodNoArgs(table.ptr(), s_.tolist)));
}

TfModel make_tfs(nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
    nb::object r = steal(
        PyObject_CallFunctionObjArgs(g.c2d, num.ptr(), den.ptr(), delay.ptr(), Ts.ptr(), nullptr));
    auto ba = unpack(r, 2);
    return make_tfz(ba[0], ba[1], nb::handle(s_.zero));
}

enum class Kind { none, tfz, tfs, stp, stpxy };

struct Built {
    Kind kind = Kind::none;
    std::optional<TfModel> tf;
};

// The construction rule for one CV/MV pair.
Built build_pair(nb::handle spec, nb::handle Ts) {
    nb::object int_mark = get_or(spec, s_.IntegralMark, s_.zero);
    if (!truth(spec)) return {};
    nb::object mode = get_or(spec, s_.mode, s_.None);
    if (equal(mode, s_.None)) return {};
    if (equal(mode, s_.tf_s)) {
        nb::object num = item(spec, s_.num_s);
        nb::object den = item(spec, s_.den_s);
        if (truth(int_mark)) // G(s)/s
            den = steal(PyObject_CallFunction(g.convolve, "[ii]O", 1, 0, den.ptr()));
        nb::object delay = get_or(spec, s_.iodelay_s, s_.zero);
        return {Kind::tfs, make_tfs(num, den, delay, Ts)};
    }
    if (equal(mode, s_.tf_z)) {
        nb::object num = item(spec, s_.num_z);
        nb::object den = item(spec, s_.den_z);
        if (truth(int_mark)) // G(z)/(1 - z^-1)
            den = steal(PyObject_CallFunction(g.convolve, "[ii]O", 1, -1, den.ptr()));
        nb::object delay = get_or(spec, s_.iodelay_z, s_.zero);
        return {Kind::tfz, make_tfz(num, den, delay)};
    }
    if (equal(mode, s_.stp)) {
        nb::object table = item(spec, s_.stp);
        if (truth(int_mark)) table = steal(PyObject_CallOneArg(g.cumsum, table.ptr()));
        return {Kind::stp, make_stp(table)};
    }
    if (equal(mode, s_.stpxy)) {
        nb::object x = item(spec, s_.x);
        nb::object y = item(spec, s_.y);
        if (truth(int_mark)) y = steal(PyObject_CallOneArg(g.cumsum, y.ptr()));
        return {Kind::stpxy, make_stpxy(x, y)};
    }
    PyErr_SetNone(PyExc_AssertionError);
    raise();
}

// ---------------------------------------------------------------------------
// Model objects. `model` is the abstract base; its payload is empty, so a
// Python subclass needs no C++ state at all.

struct ModelObj {};

struct NoModelObj : ModelObj {
    NoModel m;
};

struct TfzObj : ModelObj {
    explicit TfzObj(TfModel model) : m(std::move(model)) {}
    TfModel m;
};
struct TfsObj : TfzObj {
    using TfzObj::TfzObj;
};
struct StpObj : TfzObj {
    using TfzObj::TfzObj;
};
struct StpxyObj : StpObj {
    using StpObj::StpObj;
};

// Gives `self` (a tfz_model or descendant) the model, as its own payload type.
void put_tf(PyObject* self, TfModel m) {
    if (nb::inst_ready(self)) {
        nb::inst_ptr<TfzObj>(self)->m = std::move(m);
        return;
    }
    void* p = nb::inst_ptr<void>(self);
    PyTypeObject* t = Py_TYPE(self);
    if (PyType_IsSubtype(t, g.stpxy))
        new (p) StpxyObj(std::move(m));
    else if (PyType_IsSubtype(t, g.stp))
        new (p) StpObj(std::move(m));
    else if (PyType_IsSubtype(t, g.tfs))
        new (p) TfsObj(std::move(m));
    else
        new (p) TfzObj(std::move(m));
    nb::inst_mark_ready(self);
}

// A new model object of the pair's class.
nb::object wrap(Built&& b) {
    static const std::pair<Kind, PyTypeObject * Refs::*> types[] = {{Kind::none, &Refs::no_model},
                                                                    {Kind::tfz, &Refs::tfz},
                                                                    {Kind::tfs, &Refs::tfs},
                                                                    {Kind::stp, &Refs::stp},
                                                                    {Kind::stpxy, &Refs::stpxy}};
    PyTypeObject* t = nullptr;
    for (const auto& [k, field] : types)
        if (k == b.kind) t = g.*field;
    nb::object o = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject*>(t)));
    if (b.kind == Kind::none) {
        new (nb::inst_ptr<void>(o)) NoModelObj();
        nb::inst_mark_ready(o);
    } else {
        put_tf(o.ptr(), std::move(*b.tf));
    }
    return o;
}

// The kernel behind a built-in model object, or nullptr for anything else
// (models written in Python, subclasses, objects never constructed).
PairModel* direct(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    if (t == g.no_model) return nb::inst_ready(o) ? &nb::inst_ptr<NoModelObj>(o)->m : nullptr;
    if (t == g.tfz || t == g.tfs || t == g.stp || t == g.stpxy)
        return nb::inst_ready(o) ? &nb::inst_ptr<TfzObj>(o)->m : nullptr;
    return nullptr;
}

double number(PyObject* o) {
    double v;
    if (!to_double(o, v)) raise();
    return v;
}

// model.deltaU_sim(du) through Python.
double call_step(PyObject* model, double du) {
    nb::object arg = steal(PyFloat_FromDouble(du));
    PyObject* args[] = {model, arg.ptr()};
    nb::object r = steal(PyObject_VectorcallMethod(s_.deltaU_sim, args,
                                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return number(r.ptr());
}

double step_model(PyObject* model, double du) {
    if (PairModel* p = direct(model)) return p->step(du);
    return call_step(model, du);
}

// A model written in Python, as a bank entry. Borrowed: the simulator keeps
// the model (and shows the reference to the garbage collector).
class PyCallModel final : public PairModel {
  public:
    explicit PyCallModel(PyObject* o) : obj_(o) {}
    double step(double du) override { return call_step(obj_, du); }

  private:
    PyObject* obj_;
};

// The instance dict of a Python subclass (None for the built-in classes),
// so pickling keeps what a subclass stored.
nb::object inst_dict(PyObject* self) {
    PyObject** slot = _PyObject_GetDictPtr(self);
    if (!slot || !*slot) return nb::none();
    return nb::borrow(*slot);
}

void restore_dict(PyObject* self, nb::handle d) {
    if (d.is_none()) return;
    nb::object own = steal(PyObject_GetAttr(self, s_.dict));
    if (PyDict_Update(own.ptr(), d.ptr()) < 0) raise();
}

nb::tuple state_tuple(nb::handle st, std::size_t n) {
    if (!PyTuple_Check(st.ptr()) || static_cast<std::size_t>(PyTuple_GET_SIZE(st.ptr())) != n) {
        PyErr_SetString(PyExc_ValueError, "invalid state");
        raise();
    }
    return nb::borrow<nb::tuple>(st);
}

nb::object float_tuple(const std::vector<double>& v) {
    nb::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(v[i])));
    return t;
}

std::vector<double> float_vector(nb::handle seq) {
    nb::object f = steal(PySequence_Fast(seq.ptr(), "expected a sequence of floats"));
    std::vector<double> v(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(f.ptr())));
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = number(PySequence_Fast_GET_ITEM(f.ptr(), static_cast<Py_ssize_t>(i)));
    return v;
}

// Views of the kernel's buffers; each keeps its buffer alive by itself.
template <class Buffer>
nb::object view(const std::shared_ptr<Buffer>& owner, const std::vector<double>& v, bool writable) {
    auto* keep = new std::shared_ptr<Buffer>(owner);
    nb::capsule cap(keep,
                    [](void* p) noexcept { delete static_cast<std::shared_ptr<Buffer>*>(p); });
    static double none = 0.0;
    const double* data = v.empty() ? &none : v.data();
    if (writable)
        return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(const_cast<double*>(data),
                                                                    {v.size()}, cap));
    return nb::cast(nb::ndarray<nb::numpy, const double, nb::ndim<1>>(data, {v.size()}, cap));
}

// --- model (abstract)

const Signature sig_model_init("__init__", {}, 0);
const Signature sig_abstract_step("deltaU_sim", {"dU"}, 1);
const Signature sig_getstate("__getstate__", {}, 0);
const Signature sig_setstate("__setstate__", {"state"}, 1);

PyObject* model_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
    if (_PyType_Lookup(t, s_.deltaU_sim) == g.abstract_step) {
        nb::object name = nb::steal(PyType_GetName(t));
        if (!name.is_valid()) return nullptr;
        PyErr_Format(PyExc_TypeError,
                     "Can't instantiate abstract class %U without an implementation for "
                     "abstract method 'deltaU_sim'",
                     name.ptr());
        return nullptr;
    }
    return g.inst_new(t, args, kwargs);
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!sig_model_init.bind(args, kwargs, nullptr)) return -1;
    return guard_int([&] {
        if (!nb::inst_ready(self)) {
            new (nb::inst_ptr<void>(self)) ModelObj();
            nb::inst_mark_ready(self);
        }
        return 0;
    });
}

PyObject* model_abstract_step(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_abstract_step.bind(args, nargs, kwnames, a)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* model_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!sig_getstate.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] { return nb::make_tuple(inst_dict(self)).release().ptr(); });
}

PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_setstate.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a[0], 1);
        if (!nb::inst_ready(self)) {
            new (nb::inst_ptr<void>(self)) ModelObj();
            nb::inst_mark_ready(self);
        }
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

PyMethodDef model_methods[] = {
    {"deltaU_sim", as_method(model_abstract_step), fastcall_flags,
     "deltaU_sim($self, dU)\n--\n\nOne sample of the model: MV deviation in, CV deviation out "
     "(abstract)."},
    {"__getstate__", as_method(model_getstate), fastcall_flags, nullptr},
    {"__setstate__", as_method(model_setstate), fastcall_flags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot model_slots[] = {{Py_tp_new, reinterpret_cast<void*>(model_new)},
                             {Py_tp_init, reinterpret_cast<void*>(model_init)},
                             {Py_tp_methods, model_methods},
                             {0, nullptr}};

// --- no_model

const Signature sig_no_model_init("__init__", {}, 0);
const Signature sig_no_model_step("deltaU_sim", {"dU"}, 0);

int no_model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!sig_no_model_init.bind(args, kwargs, nullptr)) return -1;
    return guard_int([&] {
        emplace<NoModelObj>(self);
        return 0;
    });
}

PyObject* no_model_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[1];
    double dU;
    if (!self_of<NoModelObj>(self) || !sig_no_model_step.bind(args, nargs, kwnames, a) ||
        !to_double(a[0], dU, 0.0))
        return nullptr;
    return to_py(0.0);
}

PyObject* no_model_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!self_of<NoModelObj>(self) || !sig_getstate.bind(args, nargs, kwnames, nullptr))
        return nullptr;
    return guard([&] { return nb::make_tuple(inst_dict(self)).release().ptr(); });
}

PyObject* no_model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_setstate.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a[0], 1);
        emplace<NoModelObj>(self);
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

PyMethodDef no_model_methods[] = {
    {"deltaU_sim", as_method(no_model_step), fastcall_flags,
     "deltaU_sim($self, dU=0.0)\n--\n\nAlways 0.0."},
    {"__getstate__", as_method(no_model_getstate), fastcall_flags, nullptr},
    {"__setstate__", as_method(no_model_setstate), fastcall_flags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot no_model_slots[] = {{Py_tp_init, reinterpret_cast<void*>(no_model_init)},
                                {Py_tp_methods, no_model_methods},
                                {0, nullptr}};

// --- tfz_model and descendants

const Signature sig_tfz_init("__init__", {"num", "den", "delay"}, 0);
const Signature sig_tfs_init("__init__", {"num", "den", "delay", "Ts"}, 0);
const Signature sig_stp_init("__init__", {"stp"}, 0);
const Signature sig_stpxy_init("__init__", {"x", "y"}, 0);
const Signature sig_tfz_step("deltaU_sim", {"dU"}, 1);
const Signature sig_reset_zi("reset_zi", {}, 0);

nb::object given_or(PyObject* given, nb::object dflt) {
    return given ? nb::borrow(given) : std::move(dflt);
}

int tfz_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!sig_tfz_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object num = given_or(a[0], steal(Py_BuildValue("[iid]", 0, 1, 0.5)));
        nb::object den = given_or(a[1], steal(Py_BuildValue("[idd]", 1, -1.5, 0.7)));
        nb::object delay = given_or(a[2], nb::borrow(s_.zero));
        put_tf(self, make_tfz(num, den, delay));
        return 0;
    });
}

int tfs_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!sig_tfs_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object num = given_or(a[0], steal(Py_BuildValue("[ii]", 0, 1)));
        nb::object den = given_or(a[1], steal(Py_BuildValue("[ii]", 5, 1)));
        nb::object delay = given_or(a[2], nb::borrow(s_.zero));
        nb::object Ts = given_or(a[3], nb::borrow(s_.one));
        put_tf(self, make_tfs(num, den, delay, Ts));
        return 0;
    });
}

int stp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    if (!sig_stp_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object table = given_or(a[0], steal(Py_BuildValue("[diiiii]", 0.5, 1, 2, 3, 4, 5)));
        put_tf(self, make_stp(table));
        return 0;
    });
}

int stpxy_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    if (!sig_stpxy_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object x = given_or(a[0], steal(Py_BuildValue("[iii]", 1, 2, 3)));
        nb::object y = given_or(a[1], steal(Py_BuildValue("[iii]", 10, 20, 30)));
        put_tf(self, make_stpxy(x, y));
        return 0;
    });
}

PyObject* tfz_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    double dU;
    TfzObj* p = self_of<TfzObj>(self);
    if (!p || !sig_tfz_step.bind(args, nargs, kwnames, a) || !to_double(a[0], dU)) return nullptr;
    return guard([&] { return to_py(p->m.step(dU)); });
}

PyObject* tfz_reset_zi(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TfzObj* p = self_of<TfzObj>(self);
    if (!p || !sig_reset_zi.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] {
        p->m.reset_zi();
        Py_RETURN_NONE;
    });
}

PyObject* tfz_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TfzObj* p = self_of<TfzObj>(self);
    if (!p || !sig_getstate.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] {
        return nb::make_tuple(inst_dict(self), float_tuple(p->m.num()), float_tuple(p->m.den()),
                              float_tuple(p->m.zi()))
            .release()
            .ptr();
    });
}

PyObject* tfz_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_setstate.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a[0], 4);
        TfModel m(float_vector(st[1]), float_vector(st[2]));
        m.set_zi(float_vector(st[3]));
        put_tf(self, std::move(m));
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

PyMethodDef tfz_methods[] = {
    {"deltaU_sim", as_method(tfz_step), fastcall_flags,
     "deltaU_sim($self, dU)\n--\n\nOne sample of G(z) from the stored state."},
    {"reset_zi", as_method(tfz_reset_zi), fastcall_flags,
     "reset_zi($self)\n--\n\nState back to rest (zeros)."},
    {"__getstate__", as_method(tfz_getstate), fastcall_flags, nullptr},
    {"__setstate__", as_method(tfz_setstate), fastcall_flags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot tfz_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(tfz_init)}, {Py_tp_methods, tfz_methods}, {0, nullptr}};
PyType_Slot tfs_slots[] = {{Py_tp_init, reinterpret_cast<void*>(tfs_init)}, {0, nullptr}};
PyType_Slot stp_slots[] = {{Py_tp_init, reinterpret_cast<void*>(stp_init)}, {0, nullptr}};
PyType_Slot stpxy_slots[] = {{Py_tp_init, reinterpret_cast<void*>(stpxy_init)}, {0, nullptr}};

std::vector<double> coefficients(nb::handle value, const char* name, const char* field) {
    return doubles_of(field_array(value, field), name);
}

// ---------------------------------------------------------------------------
// MISOSimulator: one CV, the sum over its models.

struct MisoObj {
    nb::object model_list, u_ini_list;

    template <class F> void for_each_object(F&& f) {
        f(model_list);
        f(u_ini_list);
    }
};

const Signature sig_miso_init("__init__", {"model_list", "u_ini_list"}, 2);
const Signature sig_one_step("one_step_sim", {"u_list"}, 1);

int miso_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    if (!sig_miso_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        emplace<MisoObj>(self, MisoObj{nb::borrow(a[0]), nb::borrow(a[1])});
        return 0;
    });
}

PyObject* miso_one_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[1];
    MisoObj* p = self_of<MisoObj>(self);
    if (!p || !sig_one_step.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::object models =
            steal(PySequence_Fast(p->model_list.ptr(), "model_list must be iterable"));
        nb::object u = steal(PySequence_Fast(a[0], "u_list must be iterable"));
        nb::object ini = steal(PySequence_Fast(p->u_ini_list.ptr(), "u_ini_list must be iterable"));
        double y = 0.0;
        // Sizes are read again each time: a model written in Python may
        // change the lists it is stepped from.
        for (Py_ssize_t i = 0;
             i < PySequence_Fast_GET_SIZE(models.ptr()) && i < PySequence_Fast_GET_SIZE(u.ptr()) &&
             i < PySequence_Fast_GET_SIZE(ini.ptr());
             ++i) {
            const double ui = number(PySequence_Fast_GET_ITEM(u.ptr(), i));
            const double du = ui - number(PySequence_Fast_GET_ITEM(ini.ptr(), i));
            nb::object m = nb::borrow(PySequence_Fast_GET_ITEM(models.ptr(), i));
            y += step_model(m.ptr(), du);
        }
        return to_py(y);
    });
}

PyObject* miso_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    MisoObj* p = self_of<MisoObj>(self);
    if (!p || !sig_getstate.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] {
        return nb::make_tuple(inst_dict(self), p->model_list, p->u_ini_list).release().ptr();
    });
}

PyObject* miso_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_setstate.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a[0], 3);
        emplace<MisoObj>(self, MisoObj{st[1], st[2]});
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

PyMethodDef miso_methods[] = {
    {"one_step_sim", as_method(miso_one_step), fastcall_flags,
     "one_step_sim($self, u_list)\n--\n\nThe CV deviation caused by all MVs this sample."},
    {"__getstate__", as_method(miso_getstate), fastcall_flags, nullptr},
    {"__setstate__", as_method(miso_setstate), fastcall_flags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot miso_slots[] = {{Py_tp_init, reinterpret_cast<void*>(miso_init)},
                            {Py_tp_methods, miso_methods},
                            {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<MisoObj>)},
                            {Py_tp_clear, reinterpret_cast<void*>(clear_objects<MisoObj>)},
                            {0, nullptr}};

// ---------------------------------------------------------------------------
// MIMOSim

// One CV as the step loop sees it: its tag, its MVs' initial values and its
// own. An initial value that is not a number fails where it is used, so the
// source object is kept for the error.
struct CvRow {
    nb::object cv;
    std::vector<double> u_ini;
    std::vector<nb::object> u_ini_bad;
    double y_ini = 0.0;
    nb::object y_ini_bad;
};

struct MimoObj {
    nb::object Ts, process_model_dict, cv_list, mv_list, ini_value_dict, yu_model_obj, u_dict,
        y_dict, cv_simulators;

    // Derived from cv_simulators by reset() (and by unpickling).
    korvel::ModelBank bank;
    std::vector<CvRow> rows;
    std::vector<nb::object> keep; // the models the bank points into
    std::vector<std::unique_ptr<PyCallModel>> adapters;
    nb::object mv_index; // {mv: None}: membership of mv_list

    // Per-step scratch.
    std::vector<double> u;
    std::vector<nb::object> u_bad;
    // Set while a step runs: a model written in Python that steps, resets
    // or rebuilds its own simulator would pull the bank from under the loop.
    bool busy = false;

    MimoObj() = default;
    MimoObj(const MimoObj&) = delete;
    MimoObj(MimoObj&&) = default;
    MimoObj& operator=(const MimoObj&) = delete;
    MimoObj& operator=(MimoObj&&) = default;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&Ts, &process_model_dict, &cv_list, &mv_list, &ini_value_dict,
                              &yu_model_obj, &u_dict, &y_dict, &cv_simulators, &mv_index})
            f(*o);
        for (auto& o : keep)
            f(o);
        for (auto& o : u_bad)
            f(o);
        for (auto& row : rows) {
            f(row.cv);
            f(row.y_ini_bad);
            for (auto& o : row.u_ini_bad)
                f(o);
        }
    }
};

struct SisoObj : MimoObj {
    explicit SisoObj(MimoObj&& o) : MimoObj(std::move(o)) {}
};

// A number for the step, or the source object kept to fail with later.
bool convert(PyObject* o, double& v, nb::object& bad) {
    if (PyFloat_CheckExact(o)) {
        v = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (to_double(o, v)) return true;
    PyErr_Clear();
    bad = nb::borrow(o);
    v = 0.0;
    return false;
}

void refuse_if_busy(const MimoObj& s) {
    if (s.busy) {
        PyErr_SetString(PyExc_RuntimeError, "the simulator is in the middle of a step");
        raise();
    }
}

// Rebuilds what the step loop runs from cv_simulators: one bank row per CV.
void rebuild(MimoObj& s) {
    refuse_if_busy(s);
    korvel::ModelBank bank;
    std::vector<CvRow> rows;
    std::vector<nb::object> keep;
    std::vector<std::unique_ptr<PyCallModel>> adapters;
    nb::object index = steal(PyDict_New());
    {
        nb::object mvs = steal(PySequence_Fast(s.mv_list.ptr(), "mv_list must be iterable"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(mvs.ptr()); ++i)
            if (PyDict_SetItem(index.ptr(), PySequence_Fast_GET_ITEM(mvs.ptr(), i), Py_None) < 0)
                raise();
    }
    nb::object pairs = items_of(s.cv_simulators);
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(pairs.ptr()); ++r) {
        auto pair = unpack(PySequence_Fast_GET_ITEM(pairs.ptr(), r), 2);
        const nb::object &cv = pair[0], &miso = pair[1];
        nb::object models =
            steal(PySequence_Fast(steal(PyObject_GetAttr(miso.ptr(), s_.model_list)).ptr(),
                                  "model_list must be iterable"));
        nb::object inis =
            steal(PySequence_Fast(steal(PyObject_GetAttr(miso.ptr(), s_.u_ini_list)).ptr(),
                                  "u_ini_list must be iterable"));
        std::vector<PairModel*> ptrs;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(models.ptr()); ++j) {
            nb::object m = nb::borrow(PySequence_Fast_GET_ITEM(models.ptr(), j));
            PairModel* p = direct(m.ptr());
            if (!p) {
                adapters.push_back(std::make_unique<PyCallModel>(m.ptr()));
                p = adapters.back().get();
            }
            ptrs.push_back(p);
            keep.push_back(std::move(m));
        }
        CvRow row;
        row.cv = cv;
        const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(inis.ptr()));
        row.u_ini.resize(n);
        row.u_ini_bad.resize(n);
        for (std::size_t j = 0; j < n; ++j)
            convert(PySequence_Fast_GET_ITEM(inis.ptr(), static_cast<Py_ssize_t>(j)), row.u_ini[j],
                    row.u_ini_bad[j]);
        nb::object y_ini = get_or(s.ini_value_dict, cv, s_.fzero);
        convert(y_ini.ptr(), row.y_ini, row.y_ini_bad);
        bank.add_row(std::move(ptrs));
        rows.push_back(std::move(row));
    }
    s.bank = std::move(bank);
    s.rows = std::move(rows);
    s.keep = std::move(keep);
    s.adapters = std::move(adapters);
    s.mv_index = std::move(index);
}

// Data mappings back to the initial values and fresh MISO simulators over the
// same models (their states are kept).
void reset(MimoObj& s) {
    refuse_if_busy(s);
    nb::object mvs = steal(PySequence_Fast(s.mv_list.ptr(), "mv_list must be iterable"));
    nb::object cvs = steal(PySequence_Fast(s.cv_list.ptr(), "cv_list must be iterable"));
    nb::object u = steal(PyDict_New()), y = steal(PyDict_New()), sims = steal(PyDict_New());
    const Py_ssize_t n_mv = PySequence_Fast_GET_SIZE(mvs.ptr());
    for (Py_ssize_t j = 0; j < n_mv; ++j) {
        PyObject* mv = PySequence_Fast_GET_ITEM(mvs.ptr(), j);
        if (PyDict_SetItem(u.ptr(), mv, get_or(s.ini_value_dict, mv, s_.fzero).ptr()) < 0) raise();
    }
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(cvs.ptr()); ++r) {
        PyObject* cv = PySequence_Fast_GET_ITEM(cvs.ptr(), r);
        if (PyDict_SetItem(y.ptr(), cv, get_or(s.ini_value_dict, cv, s_.fzero).ptr()) < 0) raise();
    }
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(cvs.ptr()); ++r) {
        PyObject* cv = PySequence_Fast_GET_ITEM(cvs.ptr(), r);
        nb::object row = item(s.yu_model_obj, cv);
        nb::object models = steal(PyList_New(n_mv)), inis = steal(PyList_New(n_mv));
        for (Py_ssize_t j = 0; j < n_mv; ++j) {
            PyObject* mv = PySequence_Fast_GET_ITEM(mvs.ptr(), j);
            PyList_SET_ITEM(models.ptr(), j, item(row, mv).release().ptr());
            PyList_SET_ITEM(inis.ptr(), j, get_or(s.ini_value_dict, mv, s_.fzero).release().ptr());
        }
        nb::object sim = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(g.miso),
                                                            models.ptr(), inis.ptr(), nullptr));
        if (PyDict_SetItem(sims.ptr(), cv, sim.ptr()) < 0) raise();
    }
    s.u_dict = std::move(u);
    s.y_dict = std::move(y);
    s.cv_simulators = std::move(sims);
    rebuild(s);
}

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu) {
    nb::list cvs = keys_of(yu);
    nb::list mvs;
    nb::object seen = steal(PySet_New(nullptr));
    for (nb::handle cv : cvs) {
        nb::list keys = keys_of(item(yu, cv.ptr()));
        for (nb::handle mv : keys) {
            int has = PySet_Contains(seen.ptr(), mv.ptr());
            if (has < 0) { // an unhashable key: compare as a list would
                PyErr_Clear();
                has = PySequence_Contains(mvs.ptr(), mv.ptr());
                if (has < 0) raise();
            } else if (!has && PySet_Add(seen.ptr(), mv.ptr()) < 0) {
                raise();
            }
            if (!has) mvs.append(mv);
        }
    }
    return {std::move(cvs), std::move(mvs)};
}

// Everything a constructor does after binding its arguments.
MimoObj build_mimo(nb::handle model_dict, nb::handle ini_values, nb::handle Ts) {
    MimoObj s;
    s.Ts = nb::borrow(Ts);
    s.process_model_dict = deep_copy(model_dict);
    auto [cvs, mvs] = model_tags(model_dict);
    s.cv_list = cvs;
    s.mv_list = mvs;
    s.ini_value_dict = deep_copy(ini_values);
    nb::object yu = steal(PyDict_New());
    for (nb::handle cv : cvs) {
        nb::object row = steal(PyDict_New());
        if (PyDict_SetItem(yu.ptr(), cv.ptr(), row.ptr()) < 0) raise();
        nb::object entry = item(model_dict, cv.ptr());
        for (nb::handle mv : mvs) {
            nb::object empty = steal(PyDict_New());
            nb::object spec = get_or(entry, mv, empty.ptr());
            nb::object m = wrap(build_pair(spec, Ts));
            if (PyDict_SetItem(row.ptr(), mv.ptr(), m.ptr()) < 0) raise();
        }
    }
    s.yu_model_obj = std::move(yu);
    reset(s);
    return s;
}

// Constructs or replaces the payload of a MIMOSim (or SISOSim) object.
void put_mimo(PyObject* self, MimoObj&& s) {
    if (nb::inst_ready(self)) {
        MimoObj& old = *nb::inst_ptr<MimoObj>(self);
        refuse_if_busy(old);
        old = std::move(s);
        return;
    }
    void* p = nb::inst_ptr<void>(self);
    if (PyType_IsSubtype(Py_TYPE(self), g.siso))
        new (p) SisoObj(std::move(s));
    else
        new (p) MimoObj(std::move(s));
    nb::inst_mark_ready(self);
}

const Signature sig_mimo_init("__init__", {"process_model_dict", "ini_value_dict", "Ts"}, 1);
const Signature sig_siso_init("__init__", {"gain", "tao", "delay", "Ts", "integralMark"}, 2);
const Signature sig_mimo_call("__call__", {"u_Value_Dict", "v_Value_Dict"}, 0);
const Signature sig_reset("reset", {}, 0);
const Signature sig_no_args_tags("get_process_tags", {}, 0);
const Signature sig_input("get_input_data_dict", {}, 0);
const Signature sig_output("get_output_data_dict", {}, 0);
const Signature sig_all("get_all_data_dict", {}, 0);
const Signature sig_cvs("get_cv_list", {}, 0);
const Signature sig_mvs("get_mv_list", {}, 0);
const Signature sig_model_dict("get_model_dict", {}, 0);
const Signature sig_mimo_plot("plot_model_stp", {"plotLen"}, 0);

int mimo_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!sig_mimo_init.bind(args, kwargs, a) ||
        !exact_type(a[0], &PyDict_Type, "process_model_dict"))
        return -1;
    return guard_int([&] {
        nb::object ini = a[1] ? nb::borrow(a[1]) : steal(PyDict_New());
        nb::object Ts = a[2] ? nb::borrow(a[2]) : nb::borrow(s_.one);
        put_mimo(self, build_mimo(nb::handle(a[0]), ini, Ts));
        return 0;
    });
}

int siso_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    if (!sig_siso_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        PyObject* delay = a[2] ? a[2] : s_.zero;
        PyObject* Ts = a[3] ? a[3] : s_.one;
        PyObject* mark = a[4] ? a[4] : s_.zero;
        nb::object spec =
            steal(Py_BuildValue("{s:s,s:[iO],s:[Oi],s:O,s:O}", "mode", "tf_s", "num_s", 0, a[0],
                                "den_s", a[1], 1, "iodelay_s", delay, "IntegralMark", mark));
        nb::object model_dict = steal(Py_BuildValue("{s:{s:O}}", "CV", "MV", spec.ptr()));
        nb::object ini = steal(Py_BuildValue("{s:d,s:d}", "CV", 0.0, "MV", 0.0));
        put_mimo(self, build_mimo(model_dict, ini, nb::handle(Ts)));
        return 0;
    });
}

// One sampling step: MV values in, every model one sample on, CV values out.
PyObject* mimo_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    MimoObj* p = self_of<MimoObj>(self);
    if (!p || !sig_mimo_call.bind(args, kwargs, a)) return nullptr;
    return guard([&]() -> PyObject* {
        MimoObj& s = *p;
        refuse_if_busy(s);
        s.busy = true;
        struct Done {
            MimoObj& s;
            ~Done() { s.busy = false; }
        } done{s};
        PyObject* uv = a[0] ? a[0] : g.empty;
        PyObject* vv = a[1] ? a[1] : g.empty;
        PyObject* u_dict = s.u_dict.ptr();
        PyObject* y_dict = s.y_dict.ptr();
        if (!PyDict_Check(u_dict) || !PyDict_Check(y_dict)) {
            PyErr_SetString(PyExc_TypeError, "_u_dict and _y_dict must be dicts");
            raise();
        }
        // 1. MV values; other tags are ignored.
        const auto take = [&](PyObject* tag, PyObject* value) {
            const int known = PyDict_Contains(s.mv_index.ptr(), tag);
            if (known < 0) raise();
            if (known && PyDict_SetItem(u_dict, tag, value) < 0) raise();
        };
        if (PyDict_CheckExact(uv)) {
            PyObject *tag, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(uv, &pos, &tag, &value))
                take(tag, value);
        } else {
            nb::object pairs = items_of(uv);
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.ptr()); ++i) {
                auto pair = unpack(PySequence_Fast_GET_ITEM(pairs.ptr(), i), 2);
                take(pair[0].ptr(), pair[1].ptr());
            }
        }
        // 2. The MV values in key order; one that is not a number fails
        // where a model first needs it.
        const auto n_u = static_cast<std::size_t>(PyDict_GET_SIZE(u_dict));
        s.u.resize(n_u);
        s.u_bad.resize(n_u);
        {
            PyObject *tag, *value;
            Py_ssize_t pos = 0;
            for (std::size_t i = 0; PyDict_Next(u_dict, &pos, &tag, &value); ++i) {
                s.u_bad[i] = nb::object();
                convert(value, s.u[i], s.u_bad[i]);
            }
        }
        const bool no_v = PyDict_CheckExact(vv) && PyDict_GET_SIZE(vv) == 0;
        for (std::size_t r = 0; r < s.rows.size(); ++r) {
            const CvRow& row = s.rows[r];
            const double y0 =
                s.bank.step_row(r, std::min(n_u, row.u_ini.size()), [&](std::size_t i) {
                    const double u = s.u_bad[i].is_valid() ? number(s.u_bad[i].ptr()) : s.u[i];
                    const double ini =
                        row.u_ini_bad[i].is_valid() ? number(row.u_ini_bad[i].ptr()) : row.u_ini[i];
                    return u - ini;
                });
            double v = 0.0;
            if (!no_v) v = number(get_or(vv, row.cv, s_.fzero).ptr());
            const double y_ini = row.y_ini_bad.is_valid() ? number(row.y_ini_bad.ptr()) : row.y_ini;
            nb::object y = steal(PyFloat_FromDouble(y0 + v + y_ini));
            if (PyDict_SetItem(y_dict, row.cv.ptr(), y.ptr()) < 0) raise();
        }
        return copy_mapping(s.y_dict).release().ptr();
    });
}

// The methods without arguments share one shape.
template <const Signature& Sig, class F>
PyObject* mimo_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      F&& f) {
    MimoObj* p = self_of<MimoObj>(self);
    if (!p || !Sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] { return f(*p).release().ptr(); });
}

nb::object as_list(nb::handle o) {
    return steal(PySequence_List(o.ptr()));
}

PyObject* mimo_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_reset>(self, args, nargs, kwnames, [](MimoObj& s) {
        reset(s);
        return nb::none();
    });
}

PyObject* mimo_tags(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_no_args_tags>(self, args, nargs, kwnames, [](MimoObj& s) {
        nb::object all = as_list(s.cv_list);
        nb::object mvs = as_list(s.mv_list);
        if (PyList_SetSlice(all.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, mvs.ptr()) < 0) raise();
        return all;
    });
}

PyObject* mimo_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_input>(self, args, nargs, kwnames,
                                  [](MimoObj& s) { return copy_mapping(s.u_dict); });
}

PyObject* mimo_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_output>(self, args, nargs, kwnames,
                                   [](MimoObj& s) { return copy_mapping(s.y_dict); });
}

PyObject* mimo_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_all>(self, args, nargs, kwnames, [](MimoObj& s) {
        nb::object all = copy_mapping(s.u_dict);
        nb::object y = copy_mapping(s.y_dict);
        if (PyDict_Update(all.ptr(), y.ptr()) < 0) raise();
        return all;
    });
}

PyObject* mimo_cvs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_cvs>(self, args, nargs, kwnames,
                                [](MimoObj& s) { return as_list(s.cv_list); });
}

PyObject* mimo_mvs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return mimo_method<sig_mvs>(self, args, nargs, kwnames,
                                [](MimoObj& s) { return as_list(s.mv_list); });
}

PyObject* mimo_model_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return mimo_method<sig_model_dict>(self, args, nargs, kwnames,
                                       [](MimoObj& s) { return deep_copy(s.process_model_dict); });
}

void plot_stp(nb::handle yu, nb::handle Ts, nb::handle plot_len);

PyObject* mimo_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    MimoObj* p = self_of<MimoObj>(self);
    if (!p || !sig_mimo_plot.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::object len = a[0] ? nb::borrow(a[0]) : steal(PyLong_FromLong(300));
        plot_stp(p->process_model_dict, p->Ts, len);
        Py_RETURN_NONE;
    });
}

PyObject* mimo_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    MimoObj* p = self_of<MimoObj>(self);
    if (!p || !sig_getstate.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] {
        const MimoObj& s = *p;
        return nb::make_tuple(inst_dict(self), s.Ts, s.process_model_dict, s.cv_list, s.mv_list,
                              s.ini_value_dict, s.yu_model_obj, s.u_dict, s.y_dict, s.cv_simulators)
            .release()
            .ptr();
    });
}

PyObject* mimo_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_setstate.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a[0], 10);
        MimoObj s;
        s.Ts = st[1];
        s.process_model_dict = st[2];
        s.cv_list = st[3];
        s.mv_list = st[4];
        s.ini_value_dict = st[5];
        s.yu_model_obj = st[6];
        s.u_dict = st[7];
        s.y_dict = st[8];
        s.cv_simulators = st[9];
        if (!PyDict_Check(s.u_dict.ptr()) || !PyDict_Check(s.y_dict.ptr())) {
            PyErr_SetString(PyExc_ValueError, "invalid state");
            raise();
        }
        rebuild(s);
        put_mimo(self, std::move(s));
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

// Breaks cycles: fields become None, the bank empties; later calls then fail
// as they would on None fields.
int mimo_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    MimoObj& s = *nb::inst_ptr<MimoObj>(self);
    s.bank.clear();
    s.rows.clear();
    s.adapters.clear();
    s.for_each_object([](nb::object& o) { o = nb::none(); });
    s.keep.clear();
    return 0;
}

PyMethodDef mimo_methods[] = {
    {"reset", as_method(mimo_reset), fastcall_flags,
     "reset($self)\n--\n\nData mappings back to the initial values; model states are kept."},
    {"get_process_tags", as_method(mimo_tags), fastcall_flags,
     "get_process_tags($self)\n--\n\nCV tags, then MV tags, as a new list."},
    {"get_input_data_dict", as_method(mimo_input), fastcall_flags,
     "get_input_data_dict($self)\n--\n\nA copy of the MV values."},
    {"get_output_data_dict", as_method(mimo_output), fastcall_flags,
     "get_output_data_dict($self)\n--\n\nA copy of the CV values."},
    {"get_all_data_dict", as_method(mimo_all), fastcall_flags,
     "get_all_data_dict($self)\n--\n\nMV values, then CV values, as a new dict."},
    {"get_cv_list", as_method(mimo_cvs), fastcall_flags,
     "get_cv_list($self)\n--\n\nA copy of the CV tags."},
    {"get_mv_list", as_method(mimo_mvs), fastcall_flags,
     "get_mv_list($self)\n--\n\nA copy of the MV tags."},
    {"get_model_dict", as_method(mimo_model_dict), fastcall_flags,
     "get_model_dict($self)\n--\n\nA deep copy of the model dictionary."},
    {"plot_model_stp", as_method(mimo_plot), fastcall_flags,
     "plot_model_stp($self, plotLen=300)\n--\n\nPlot the step responses of this "
     "simulator's models."},
    {"__getstate__", as_method(mimo_getstate), fastcall_flags, nullptr},
    {"__setstate__", as_method(mimo_setstate), fastcall_flags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot mimo_slots[] = {{Py_tp_init, reinterpret_cast<void*>(mimo_init)},
                            {Py_tp_call, reinterpret_cast<void*>(mimo_call)},
                            {Py_tp_methods, mimo_methods},
                            {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<MimoObj>)},
                            {Py_tp_clear, reinterpret_cast<void*>(mimo_clear)},
                            {0, nullptr}};

PyType_Slot siso_slots[] = {{Py_tp_init, reinterpret_cast<void*>(siso_init)}, {0, nullptr}};

// ---------------------------------------------------------------------------
// Module functions.

const Signature sig_tags("get_model_tags", {"yu_model"}, 1, false);
const Signature sig_stp("get_model_stp", {"yu_model", "Ts", "length"}, 1, false);
const Signature sig_plot("plot_model_stp", {"yu_model", "Ts", "plotLen"}, 1, false);

PyObject* py_model_tags(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_tags.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        auto [cvs, mvs] = model_tags(a[0]);
        return nb::make_tuple(cvs, mvs).release().ptr();
    });
}

// The unit-step response of every pair, each from a model of its own run
// entirely in C++.
nb::object model_stp(nb::handle yu, nb::handle Ts, long long length) {
    auto [cvs, mvs] = model_tags(yu);
    nb::object result = steal(PyDict_New());
    for (nb::handle cv : cvs) {
        nb::object row = steal(PyDict_New());
        if (PyDict_SetItem(result.ptr(), cv.ptr(), row.ptr()) < 0) raise();
        for (nb::handle mv : mvs)
            if (PyDict_SetItem(row.ptr(), mv.ptr(), steal(PyList_New(0)).ptr()) < 0) raise();
    }
    std::vector<double> y(length > 0 ? static_cast<std::size_t>(length) : 0);
    for (nb::handle cv : cvs) {
        nb::object entry = item(yu, cv.ptr());
        PyObject* row = PyDict_GetItemWithError(result.ptr(), cv.ptr());
        if (!row) raise();
        for (nb::handle mv : mvs) {
            nb::object empty = steal(PyDict_New());
            Built b = build_pair(get_or(entry, mv, empty.ptr()), Ts);
            if (y.empty()) {
                PyErr_SetString(PyExc_ValueError, "max() iterable argument is empty");
                raise();
            }
            NoModel none;
            PairModel& m = b.tf ? static_cast<PairModel&>(*b.tf) : none;
            korvel::step_response(m, y.data(), y.size());
            nb::object list = steal(PyList_New(0));
            if (!korvel::flat(y.data(), y.size(), 1e-6)) {
                list = steal(PyList_New(static_cast<Py_ssize_t>(y.size())));
                for (std::size_t k = 0; k < y.size(); ++k)
                    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k),
                                    check(PyFloat_FromDouble(y[k])));
            }
            if (PyDict_SetItem(row, mv.ptr(), list.ptr()) < 0) raise();
        }
    }
    return result;
}

PyObject* py_model_stp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    long long length = 300;
    if (!sig_stp.bind(args, nargs, kwnames, a) || !exact_type(a[0], &PyDict_Type, "yu_model") ||
        (a[1] && !exact_type(a[1], &PyLong_Type, "Ts")) ||
        (a[2] && !exact_int(a[2], "length", length)))
        return nullptr;
    return guard([&] { return model_stp(a[0], a[1] ? a[1] : s_.one, length).release().ptr(); });
}

// Arguments checked as the module function checks them, then the drawing,
// which lives in Python with the plotting library.
void plot_stp(nb::handle yu, nb::handle Ts, nb::handle plot_len) {
    if (!exact_type(yu.ptr(), &PyDict_Type, "yu_model") ||
        !exact_type(Ts.ptr(), &PyLong_Type, "Ts") ||
        !exact_type(plot_len.ptr(), &PyLong_Type, "plotLen"))
        raise();
    nb::object draw = nb::module_::import_("korvel.algorithm._plantplot").attr("plot_model_stp");
    draw(yu, Ts, plot_len);
}

PyObject* py_plot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!sig_plot.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::object Ts = a[1] ? nb::borrow(a[1]) : nb::borrow(s_.one);
        nb::object len = a[2] ? nb::borrow(a[2]) : steal(PyLong_FromLong(300));
        plot_stp(a[0], Ts, len);
        Py_RETURN_NONE;
    });
}

PyMethodDef functions[] = {
    {"get_model_tags", as_method(py_model_tags), fastcall_flags,
     "get_model_tags(yu_model)\n--\n\nThe CV tags and the MV tags of a model dictionary, in "
     "order."},
    {"get_model_stp", as_method(py_model_stp), fastcall_flags,
     "get_model_stp(yu_model, Ts=1, length=300)\n--\n\nUnit-step response of every CV/MV "
     "pair (an empty list for a flat one)."},
    {"plot_model_stp", as_method(py_plot), fastcall_flags,
     "plot_model_stp(yu_model, Ts=1, plotLen=300)\n--\n\nDraw the step responses as a "
     "grid."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise();
    return o;
}

PyObject* attr(PyObject* module, const char* name) {
    return check(PyObject_GetAttrString(module, name));
}

PyTypeObject* type_of(nb::handle cls) {
    return reinterpret_cast<PyTypeObject*>(cls.ptr());
}

} // namespace

NB_MODULE(plantmodels, m) {
    m.doc() = "Process simulation: pair models, MISO/MIMO/SISO simulators and step responses.";

    // Names and defaults, kept for the life of the process.
    s_ = Names{intern("deltaU_sim"),
               intern("get"),
               intern("items"),
               intern("keys"),
               intern("model_list"),
               intern("u_ini_list"),
               intern("__dict__"),
               intern("tolist"),
               intern("mode"),
               intern("IntegralMark"),
               intern("None"),
               intern("tf_s"),
               intern("tf_z"),
               intern("stp"),
               intern("stpxy"),
               intern("num_s"),
               intern("den_s"),
               intern("iodelay_s"),
               intern("num_z"),
               intern("den_z"),
               intern("iodelay_z"),
               intern("x"),
               intern("y"),
               check(PyLong_FromLong(0)),
               check(PyFloat_FromDouble(0.0)),
               check(PyLong_FromLong(1)),
               check(PyLong_FromLong(-1)),
               intern("constant"),
               nullptr,
               nullptr};
    PyObject* numpy = check(PyImport_ImportModule("numpy"));
    g.asarray = attr(numpy, "asarray");
    g.pad = attr(numpy, "pad");
    g.diff = attr(numpy, "diff");
    g.cumsum = attr(numpy, "cumsum");
    g.interp = attr(numpy, "interp");
    g.arange = attr(numpy, "arange");
    g.convolve = attr(numpy, "convolve");
    g.float64 = attr(numpy, "float64");
    PyObject* toolbox = check(PyImport_ImportModule("korvel.algorithm.toolbox"));
    g.c2d = attr(toolbox, "c2d");
    g.empty = check(PyDict_New());
    s_.dtype = check(Py_BuildValue("(s)", "dtype"));
    s_.prepend = check(Py_BuildValue("(s)", "prepend"));

    nb::class_<ModelObj> model_cls(
        m, "model", nb::type_slots(model_slots),
        "model()\n--\n\nAbstract pair model: deltaU_sim(dU) advances one sample.");
    nb::class_<NoModelObj, ModelObj> no_model_cls(m, "no_model", nb::type_slots(no_model_slots),
                                                  "no_model()\n--\n\nA pair without a model.");
    nb::class_<TfzObj, ModelObj> tfz_cls(
        m, "tfz_model", nb::type_slots(tfz_slots),
        "tfz_model(num=[0, 1, 0.5], den=[1, -1.5, 0.7], delay=0)\n--\n\nDiscrete transfer "
        "function in powers of z^-1 with a dead time of whole samples.");
    nb::class_<TfsObj, TfzObj> tfs_cls(
        m, "tfs_model", nb::type_slots(tfs_slots),
        "tfs_model(num=[0, 1], den=[5, 1], delay=0, Ts=1)\n--\n\nContinuous transfer "
        "function with dead time, discretised at Ts.");
    nb::class_<StpObj, TfzObj> stp_cls(
        m, "stp_model", nb::type_slots(stp_slots),
        "stp_model(stp=[0.5, 1, 2, 3, 4, 5])\n--\n\nUnit-step response table, one value "
        "per sample.");
    nb::class_<StpxyObj, StpObj> stpxy_cls(
        m, "stpxy_model", nb::type_slots(stpxy_slots),
        "stpxy_model(x=[1, 2, 3], y=[10, 20, 30])\n--\n\nStep response from breakpoints, "
        "interpolated per sample.");

    def_field<TfzObj>(
        tfz_cls, "Gz_num",
        [](TfzObj& o) {
            auto iir = o.m.shared_iir();
            return view(iir, iir->b(), false);
        },
        [](TfzObj& o, nb::handle v) { o.m.set_num(coefficients(v, "b", "Gz_num")); });
    def_field<TfzObj>(
        tfz_cls, "Gz_den",
        [](TfzObj& o) {
            auto iir = o.m.shared_iir();
            return view(iir, iir->a(), false);
        },
        [](TfzObj& o, nb::handle v) { o.m.set_den(coefficients(v, "a", "Gz_den")); });
    def_field<TfzObj>(
        tfz_cls, "_zi",
        [](TfzObj& o) {
            auto zi = o.m.shared_zi();
            return view(zi, *zi, true);
        },
        [](TfzObj& o, nb::handle v) {
            double* data;
            const std::size_t n = o.m.state_size();
            field_array(v, "_zi");
            nb::object arr = state_array(v, n, data);
            o.m.set_zi(std::vector<double>(data, data + n));
        });

    nb::class_<MisoObj> miso_cls(m, "MISOSimulator", nb::type_slots(miso_slots),
                                 "MISOSimulator(model_list, u_ini_list)\n--\n\nThe sum of one "
                                 "CV's pair models.");
    def_object_field<MisoObj, &MisoObj::model_list>(miso_cls, "model_list");
    def_object_field<MisoObj, &MisoObj::u_ini_list>(miso_cls, "u_ini_list");

    nb::class_<MimoObj> mimo_cls(
        m, "MIMOSim", nb::type_slots(mimo_slots),
        "MIMOSim(process_model_dict, ini_value_dict={}, Ts=1)\n--\n\nProcess simulator; call "
        "it with MV values and CV disturbances once per sample.");
    def_object_field<MimoObj, &MimoObj::Ts>(mimo_cls, "Ts");
    def_object_field<MimoObj, &MimoObj::process_model_dict>(mimo_cls, "process_model_dict");
    def_object_field<MimoObj, &MimoObj::cv_list>(mimo_cls, "cv_list");
    def_object_field<MimoObj, &MimoObj::mv_list>(mimo_cls, "mv_list");
    def_object_field<MimoObj, &MimoObj::ini_value_dict>(mimo_cls, "ini_value_dict");
    def_object_field<MimoObj, &MimoObj::yu_model_obj>(mimo_cls, "yu_model_obj");
    def_object_field<MimoObj, &MimoObj::cv_simulators>(mimo_cls, "cv_simulators");
    def_kind_field<MimoObj, &MimoObj::u_dict>(mimo_cls, "_u_dict", &PyDict_Type);
    def_kind_field<MimoObj, &MimoObj::y_dict>(mimo_cls, "_y_dict", &PyDict_Type);

    nb::class_<SisoObj, MimoObj> siso_cls(
        m, "SISOSim", nb::type_slots(siso_slots),
        "SISOSim(gain, tao, delay=0, Ts=1, integralMark=0)\n--\n\nOne first-order process "
        "with dead time, CV \"CV\" and MV \"MV\".");

    g.model = type_of(model_cls);
    g.no_model = type_of(no_model_cls);
    g.tfz = type_of(tfz_cls);
    g.tfs = type_of(tfs_cls);
    g.stp = type_of(stp_cls);
    g.stpxy = type_of(stpxy_cls);
    g.miso = type_of(miso_cls);
    g.mimo = type_of(mimo_cls);
    g.siso = type_of(siso_cls);
    g.inst_new = reinterpret_cast<newfunc>(PyType_GetSlot(g.no_model, Py_tp_new));
    g.abstract_step = _PyType_Lookup(g.model, s_.deltaU_sim);
    Py_XINCREF(g.abstract_step);

    if (PyModule_AddFunctions(m.ptr(), functions) < 0) raise();
}
