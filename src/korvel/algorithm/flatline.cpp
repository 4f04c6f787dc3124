// korvel.algorithm.flatline: the constant-signal detector.
#include <korvel/constdetect.hpp>

#include <vector>

#include "docstrings/flatline.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// A sample as given (shown back by `_U_queue`) and its value.
struct Sample {
    nb::object obj;
    double value;
};
struct SampleValue {
    double operator()(const Sample& s) const noexcept { return s.value; }
};

struct PyConstDect;
const Signature sig_init("__init__", {});
const Signature sig_call("__call__", {real("Ut"), integer("DectLen", "10")});
PyObject* cd_step(PyConstDect& p, const Args& a);

struct PyConstDect {
    vectorcallfunc call = vectorcall_slot<PyConstDect, sig_call, cd_step>;
    korvel::ConstWindow<Sample, SampleValue> window;

    template <class F> void for_each_object(F&& f) {
        window.for_each([&](Sample& s) { f(s.obj); });
    }
};

PyObject* deque_type = nullptr; // collections.deque, held for the life of the process

void cd_init(PyObject* self, const Args&) {
    emplace<PyConstDect>(self);
}

PyObject* cd_step(PyConstDect& p, const Args& a) {
    long long length;
    if (!a.longlong(1, length)) return nullptr;
    const bool constant = p.window.step(Sample{nb::borrow(a.obj(0)), a.num(0)}, length);
    return Py_NewRef(constant ? Py_True : Py_False);
}

PyType_Slot cd_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, cd_init>)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyConstDect, sig_call, cd_step>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyConstDect>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyConstDect>)},
    {0, nullptr}};

nb::list samples(const PyConstDect& p) {
    nb::list out;
    p.window.samples().for_each([&](const Sample& s) { out.append(s.obj); });
    return out;
}

} // namespace

NB_MODULE(flatline, m) {
    namespace doc = korvel::docstrings::flatline;
    m.doc() = doc::module;
    deque_type = nb::object(nb::module_::import_("collections").attr("deque")).release().ptr();

    nb::class_<PyConstDect> cls(m, "ConstDect", nb::type_slots(cd_slots),
                                sig_init.class_doc("ConstDect", doc::ConstDect));
    enable_vectorcall<PyConstDect>(cls);
    def_call_doc(cls, sig_call, doc::ConstDect_call);
    def_readonly<PyConstDect>(
        cls, "_U_queue", [](PyConstDect& p) { return nb::handle(deque_type)(samples(p)); },
        doc::U_queue);

    def_pickle<PyConstDect>(
        cls, "ConstDect", [](PyConstDect& p) { return nb::make_tuple(nb::tuple(samples(p))); },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 1) throw nb::value_error("invalid ConstDect state");
            std::vector<Sample> items;
            for (nb::handle h : state_as<nb::tuple>(state[0], "ConstDect"))
                items.push_back(Sample{nb::borrow(h), field_real(h)});
            PyConstDect p{};
            p.window.assign(items.begin(), items.end());
            emplace<PyConstDect>(self.ptr(), std::move(p));
        });
}
