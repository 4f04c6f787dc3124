// korvel.algorithm.clampwind: the anti-windup limiter.
#include <korvel/limiters.hpp>

#include <optional>

#include "docstrings/clampwind.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::AntiWindup;

namespace {

struct PyAntiWindup;
const Signature sig_init("__init__", {});
const Signature sig_call("__call__", {real("u"), real("HI", "100"), real("LO", "0")});
const Signature sig_run("run", {real("u"), real("HI", "100"), real("LO", "0")});
PyObject* step(PyAntiWindup& p, const Args& a);

struct PyAntiWindup {
    vectorcallfunc call = vectorcall_slot<PyAntiWindup, sig_call, step>;
    AntiWindup core;
};

PyObject* step(PyAntiWindup& p, const Args& a) {
    return to_py(p.core.step(a.num(0), a.num(1), a.num(2)));
}

void aw_init(PyObject* self, const Args&) {
    emplace<PyAntiWindup>(self);
}

// `_u0` and `_y0` do not exist before the first call.
template <const std::optional<double>& (AntiWindup::*Get)() const noexcept,
          void (AntiWindup::*Set)(std::optional<double>) noexcept>
void def_state(nb::class_<PyAntiWindup>& cls, const char* name) {
    def_field<PyAntiWindup>(
        cls, name,
        [name](PyAntiWindup& p, nb::handle self) {
            const auto& v = (p.core.*Get)();
            if (!v) throw_missing(self, name);
            return *v;
        },
        [](PyAntiWindup& p, nb::handle v) { (p.core.*Set)(field_real(v)); });
}

} // namespace

NB_MODULE(clampwind, m) {
    namespace doc = korvel::docstrings::clampwind;
    m.doc() = doc::module;

    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, aw_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PyAntiWindup, sig_call, step>)},
        {Py_tp_methods, methods({method<PyAntiWindup, sig_run, step>(doc::run)})},
        {0, nullptr}};
    nb::class_<PyAntiWindup> cls(m, "AntiWindupLimter", nb::type_slots(slots),
                                 sig_init.class_doc("AntiWindupLimter", doc::AntiWindupLimter));
    def_call_doc(cls, sig_call, doc::call);
    def_state<&AntiWindup::u0, &AntiWindup::set_u0>(cls, "_u0");
    def_state<&AntiWindup::y0, &AntiWindup::set_y0>(cls, "_y0");
    enable_vectorcall<PyAntiWindup>(cls);

    // State: (_u0, _y0), None for a field that does not exist yet.
    def_pickle<PyAntiWindup>(
        cls, "AntiWindupLimter",
        [](PyAntiWindup& p) {
            return nb::make_tuple(optional_float(p.core.u0()), optional_float(p.core.y0()));
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 2) throw nb::value_error("invalid AntiWindupLimter state");
            PyAntiWindup p{};
            p.core.set_u0(optional_real(state[0]));
            p.core.set_y0(optional_real(state[1]));
            emplace<PyAntiWindup>(self.ptr(), std::move(p));
        });
}
