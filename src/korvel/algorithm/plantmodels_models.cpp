// The pair model classes of plantmodels and the construction rule on a
// model entry mapping. The models are the core's; a Python class is a
// handle on one.
#include <nanobind/ndarray.h>

#include <type_traits>
#include <utility>

#include "algorithm/plantmodels.hpp"
#include "docstrings/plantmodels.hpp"

namespace korvel::plantmodels {

Types types{};
Names names{};

void init_names() {
    names = Names{interned("deltaU_sim"),
                  interned("model_list"),
                  interned("u_ini_list"),
                  interned("mode"),
                  interned("IntegralMark"),
                  interned("None"),
                  interned("tf_s"),
                  interned("tf_z"),
                  interned("stp"),
                  interned("stpxy"),
                  interned("num_s"),
                  interned("den_s"),
                  interned("iodelay_s"),
                  interned("num_z"),
                  interned("den_z"),
                  interned("iodelay_z"),
                  interned("x"),
                  interned("y"),
                  checked(PyLong_FromLong(0)).release().ptr(),
                  checked(PyFloat_FromDouble(0.0)).release().ptr(),
                  checked(PyLong_FromLong(1)).release().ptr()};
}

// --- the construction rule -------------------------------------------------

namespace {

// Coefficients as lfilter reads them: refused in its words unless they are
// one-dimensional.
std::vector<double> coefficients(nb::handle value, const char* name) {
    std::vector<double> plain;
    if (plain_doubles(value, plain)) return plain;
    nb::object arr = float_array(value);
    if (np::ndim(arr.ptr()) != 1) {
        nb::object shape = arr.attr("shape");
        raise_format(PyExc_ValueError,
                     "Parameter %s is not a non-empty 1d array, since %s.shape=%R!", name, name,
                     shape.ptr());
    }
    return array_items(arr);
}

// A dead time of whole samples, as np.pad takes its width.
std::size_t pad_width(nb::handle delay) {
    if (PyBool_Check(delay.ptr()) || PyFloat_Check(delay.ptr()))
        raise_format(PyExc_TypeError, "`pad_width` must be of integral type.");
    nb::object i = checked(PyNumber_Index(delay.ptr()));
    const Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) raise();
    if (n < 0) raise_format(PyExc_ValueError, "index can't contain negative values");
    return static_cast<std::size_t>(n);
}

PairMode mode_of(nb::handle mode) {
    for (auto [name, m] : {std::pair{names.tf_s, PairMode::tf_s},
                           {names.tf_z, PairMode::tf_z},
                           {names.stp, PairMode::stp},
                           {names.stpxy, PairMode::stpxy}})
        if (equal(mode, name)) return m;
    throw korvel::unknown_mode();
}

} // namespace

BuiltPair build_pair(nb::handle spec_in, nb::handle Ts) {
    const nb::object spec = nb::borrow(spec_in);
    nb::object int_mark = get_or(spec, names.IntegralMark, names.zero);
    PairSpec s;
    if (!truth(spec)) return {};
    nb::object mode = get_or(spec, names.mode, names.None);
    if (equal(mode, names.None)) return {};
    s.mode = mode_of(mode);
    nb::object delay;
    switch (s.mode) {
    case PairMode::tf_s:
    case PairMode::tf_z: {
        const bool z = s.mode == PairMode::tf_z;
        nb::object num = item(spec, z ? names.num_z : names.num_s);
        nb::object den = item(spec, z ? names.den_z : names.den_s);
        s.integrating = truth(int_mark);
        delay = get_or(spec, z ? names.iodelay_z : names.iodelay_s, names.zero);
        s.num = coefficients(num, "b");
        s.den = coefficients(den, "a");
        if (z) s.delay_z = pad_width(delay);
        break;
    }
    case PairMode::stp:
        s.table = coefficients(item(spec, names.stp), "b");
        s.integrating = truth(int_mark);
        break;
    case PairMode::stpxy: {
        nb::object x = item(spec, names.x), y = item(spec, names.y);
        s.integrating = truth(int_mark);
        s.x = doubles(x, "x");
        s.y = doubles(y, "y");
        break;
    }
    case PairMode::none:
        break;
    }
    return korvel::build_pair(s, 0.0, scipy_c2d(delay, Ts));
}

// --- model objects ---------------------------------------------------------

namespace {

// Gives `self` (a tfz_model or descendant) the model, as its own payload type.
void put_tf(PyObject* self, TfModel m) {
    if (nb::inst_ready(self)) {
        nb::inst_ptr<TfzObj>(self)->m = std::move(m);
        return;
    }
    void* p = nb::inst_ptr<void>(self);
    PyTypeObject* t = Py_TYPE(self);
    if (PyType_IsSubtype(t, types.stpxy))
        new (p) StpxyObj(std::move(m));
    else if (PyType_IsSubtype(t, types.stp))
        new (p) StpObj(std::move(m));
    else if (PyType_IsSubtype(t, types.tfs))
        new (p) TfsObj(std::move(m));
    else
        new (p) TfzObj(std::move(m));
    nb::inst_mark_ready(self);
}

} // namespace

nb::object wrap(BuiltPair&& b) {
    PyTypeObject* t = types.no_model;
    switch (b.mode) {
    case PairMode::none:
        t = types.no_model;
        break;
    case PairMode::tf_z:
        t = types.tfz;
        break;
    case PairMode::tf_s:
        t = types.tfs;
        break;
    case PairMode::stp:
        t = types.stp;
        break;
    case PairMode::stpxy:
        t = types.stpxy;
        break;
    }
    nb::object o = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject*>(t)));
    if (!b.model) {
        new (nb::inst_ptr<void>(o)) NoModelObj();
        nb::inst_mark_ready(o);
    } else {
        put_tf(o.ptr(), std::move(*b.model));
    }
    return o;
}

PairModel* direct(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    if (t == types.no_model) return nb::inst_ready(o) ? &nb::inst_ptr<NoModelObj>(o)->m : nullptr;
    if (t == types.tfz || t == types.tfs || t == types.stp || t == types.stpxy)
        return nb::inst_ready(o) ? &nb::inst_ptr<TfzObj>(o)->m : nullptr;
    return nullptr;
}

double call_step(PyObject* model, double du) {
    nb::object arg = checked(PyFloat_FromDouble(du));
    PyObject* args[] = {model, arg.ptr()};
    nb::object r = checked(PyObject_VectorcallMethod(names.deltaU_sim, args,
                                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return field_real(r.ptr());
}

PairModel* bank_entry(PyObject* model, std::vector<std::unique_ptr<PyCallModel>>& adapters) {
    if (PairModel* p = direct(model)) return p;
    adapters.push_back(std::make_unique<PyCallModel>(model));
    return adapters.back().get();
}

namespace {

std::vector<double> float_vector(nb::handle seq) {
    nb::object f = checked(PySequence_Fast(seq.ptr(), "expected a sequence of floats"));
    std::vector<double> v(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(f.ptr())));
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = field_real(PySequence_Fast_GET_ITEM(f.ptr(), static_cast<Py_ssize_t>(i)));
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

const Signature sig_model_init("__init__", {});
const Signature sig_abstract_step("deltaU_sim", {object("dU")});
const Signature sig_getstate("__getstate__", {});
const Signature sig_setstate("__setstate__", {object("state")});

PyObject* model_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
    // The class's own deltaU_sim, looked up as an attribute of the class:
    // model's abstract one unless a subclass defines its own.
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(t), names.deltaU_sim);
    if (!found) return nullptr;
    const bool abstract = found == types.abstract_step;
    Py_DECREF(found);
    if (abstract) {
        nb::object name = nb::steal(PyType_GetName(t));
        if (!name.is_valid()) return nullptr;
        PyErr_Format(PyExc_TypeError,
                     "Can't instantiate abstract class %U without an implementation for "
                     "abstract method 'deltaU_sim'",
                     name.ptr());
        return nullptr;
    }
    return types.inst_new(t, args, kwargs);
}

// The abstract classes and the model without a model hold no state but what
// a Python subclass keeps in its instance dict.
template <class T> void empty_init(PyObject* self, const Args&) {
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<void>(self)) T();
        nb::inst_mark_ready(self);
    }
}

PyObject* model_abstract_step(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Args a;
    if (!sig_abstract_step.parse(args, nargs, kwnames, a)) return nullptr;
    Py_RETURN_NONE;
}

nb::object dict_state(PyObject* self) {
    return nb::make_tuple(inst_dict(self));
}

// A Python subclass of `model` need not call its __init__: it has no C++
// state to lose.
template <class T>
PyObject* dict_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Args a;
    if ((!std::is_same_v<T, ModelObj> && !self_of<T>(self)) ||
        !sig_getstate.parse(args, nargs, kwnames, a))
        return nullptr;
    return guard([&] { return dict_state(self).release().ptr(); });
}

template <class T>
PyObject* dict_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Args a;
    if (!sig_setstate.parse(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a.obj(0), 1);
        empty_init<T>(self, a);
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

// --- no_model

const Signature sig_no_model_step("deltaU_sim", {real("dU", "0.0")});

double no_model_step(NoModelObj&, const Args&) {
    return 0.0;
}

// --- tfz_model and descendants

const Signature sig_tfz_init("__init__", {object("num", "[0, 1, 0.5]"),
                                          object("den", "[1, -1.5, 0.7]"), object("delay", "0")});
const Signature sig_tfs_init("__init__", {object("num", "[0, 1]"), object("den", "[5, 1]"),
                                          object("delay", "0"), object("Ts", "1")});
const Signature sig_stp_init("__init__", {object("stp", "[0.5, 1, 2, 3, 4, 5]")});
const Signature sig_stpxy_init("__init__", {object("x", "[1, 2, 3]"), object("y", "[10, 20, 30]")});
const Signature sig_tfz_step("deltaU_sim", {real("dU")});
const Signature sig_reset_zi("reset_zi", {});

void tfz_init(PyObject* self, const Args& a) {
    const std::vector<double> num = coefficients(a.obj(0), "b");
    const std::size_t delay = pad_width(a.obj(2));
    put_tf(self, korvel::tfz_model(num, coefficients(a.obj(1), "a"), delay));
}

void tfs_init(PyObject* self, const Args& a) {
    const std::vector<double> num = doubles(a.obj(0), "Gs_num"), den = doubles(a.obj(1), "Gs_den");
    put_tf(self, korvel::tfs_model(num, den, 0.0, 0.0, scipy_c2d(a.obj(2), a.obj(3))));
}

void stp_init(PyObject* self, const Args& a) {
    put_tf(self, korvel::stp_model(coefficients(a.obj(0), "b")));
}

void stpxy_init(PyObject* self, const Args& a) {
    const Py_ssize_t nx = PyObject_Size(a.obj(0));
    if (nx < 0) raise();
    const Py_ssize_t ny = PyObject_Size(a.obj(1));
    if (ny < 0) raise();
    if (nx != ny) throw korvel::breakpoint_lengths();
    put_tf(self, korvel::stpxy_model(doubles(a.obj(0), "x"), doubles(a.obj(1), "y")));
}

double tfz_step(TfzObj& p, const Args& a) {
    return p.m.step(a.num(0));
}

void tfz_reset_zi(TfzObj& p, const Args&) {
    p.m.reset_zi();
}

nb::object tfz_getstate(TfzObj& p, const Args&, PyObject* self) {
    return nb::make_tuple(inst_dict(self), float_tuple(p.m.num()), float_tuple(p.m.den()),
                          float_tuple(p.m.zi()));
}

PyObject* tfz_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a;
    if (!sig_setstate.parse(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::tuple st = state_tuple(a.obj(0), 4);
        TfModel m(float_vector(st[1]), float_vector(st[2]));
        m.set_zi(float_vector(st[3]));
        put_tf(self, std::move(m));
        restore_dict(self, st[0]);
        Py_RETURN_NONE;
    });
}

PyTypeObject* type_of(nb::handle cls) {
    return reinterpret_cast<PyTypeObject*>(cls.ptr());
}

} // namespace

void def_models(nb::module_& m) {
    namespace doc = korvel::docstrings::plantmodels;
    static PyType_Slot model_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(model_new)},
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_model_init, empty_init<ModelObj>>)},
        {Py_tp_methods, methods({
                            {&sig_abstract_step, as_method(model_abstract_step), doc::model_step},
                            {&sig_getstate, as_method(dict_getstate<ModelObj>), nullptr},
                            {&sig_setstate, as_method(dict_setstate<ModelObj>), nullptr},
                        })},
        {0, nullptr}};
    static PyType_Slot no_model_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_model_init, empty_init<NoModelObj>>)},
        {Py_tp_methods,
         methods({
             method<NoModelObj, sig_no_model_step, no_model_step>(doc::no_model_step),
             {&sig_getstate, as_method(dict_getstate<NoModelObj>), nullptr},
             {&sig_setstate, as_method(dict_setstate<NoModelObj>), nullptr},
         })},
        {0, nullptr}};
    static PyType_Slot tfz_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_tfz_init, tfz_init>)},
        {Py_tp_methods, methods({
                            method<TfzObj, sig_tfz_step, tfz_step>(doc::tfz_step),
                            method<TfzObj, sig_reset_zi, tfz_reset_zi>(doc::reset_zi),
                            method<TfzObj, sig_getstate, tfz_getstate>(nullptr),
                            {&sig_setstate, as_method(tfz_setstate), nullptr},
                        })},
        {0, nullptr}};
    static PyType_Slot tfs_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_tfs_init, tfs_init>)}, {0, nullptr}};
    static PyType_Slot stp_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_stp_init, stp_init>)}, {0, nullptr}};
    static PyType_Slot stpxy_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_stpxy_init, stpxy_init>)},
        {0, nullptr}};

    nb::class_<ModelObj> model_cls(m, "model", nb::type_slots(model_slots),
                                   sig_model_init.class_doc("model", doc::model));
    nb::class_<NoModelObj, ModelObj> no_model_cls(
        m, "no_model", nb::type_slots(no_model_slots),
        sig_model_init.class_doc("no_model", doc::no_model));
    nb::class_<TfzObj, ModelObj> tfz_cls(m, "tfz_model", nb::type_slots(tfz_slots),
                                         sig_tfz_init.class_doc("tfz_model", doc::tfz_model));
    nb::class_<TfsObj, TfzObj> tfs_cls(m, "tfs_model", nb::type_slots(tfs_slots),
                                       sig_tfs_init.class_doc("tfs_model", doc::tfs_model));
    nb::class_<StpObj, TfzObj> stp_cls(m, "stp_model", nb::type_slots(stp_slots),
                                       sig_stp_init.class_doc("stp_model", doc::stp_model));
    nb::class_<StpxyObj, StpObj> stpxy_cls(
        m, "stpxy_model", nb::type_slots(stpxy_slots),
        sig_stpxy_init.class_doc("stpxy_model", doc::stpxy_model));

    def_field<TfzObj>(
        tfz_cls, "Gz_num",
        [](TfzObj& o) {
            auto iir = o.m.shared_iir();
            return view(iir, iir->b(), false);
        },
        [](TfzObj& o, nb::handle v) { o.m.set_num(coefficients(field_array(v, "Gz_num"), "b")); },
        doc::Gz_num);
    def_field<TfzObj>(
        tfz_cls, "Gz_den",
        [](TfzObj& o) {
            auto iir = o.m.shared_iir();
            return view(iir, iir->a(), false);
        },
        [](TfzObj& o, nb::handle v) { o.m.set_den(coefficients(field_array(v, "Gz_den"), "a")); },
        doc::Gz_den);
    def_field<TfzObj>(
        tfz_cls, "_zi",
        [](TfzObj& o) {
            auto zi = o.m.shared_zi();
            return view(zi, *zi, true);
        },
        [](TfzObj& o, nb::handle v) {
            double* data;
            nb::object arr = field_array(v, "_zi");
            const std::size_t n = o.m.state_size(); // as the conversion left the model
            arr = state_array(arr, n, data);
            o.m.set_zi(std::vector<double>(data, data + n));
        });

    types.model = type_of(model_cls);
    types.no_model = type_of(no_model_cls);
    types.tfz = type_of(tfz_cls);
    types.tfs = type_of(tfs_cls);
    types.stp = type_of(stp_cls);
    types.stpxy = type_of(stpxy_cls);
    types.inst_new = reinterpret_cast<newfunc>(PyType_GetSlot(types.no_model, Py_tp_new));
    types.abstract_step =
        PyObject_GetAttr(reinterpret_cast<PyObject*>(types.model), names.deltaU_sim);
    if (!types.abstract_step) throw nb::python_error();
}

} // namespace korvel::plantmodels
