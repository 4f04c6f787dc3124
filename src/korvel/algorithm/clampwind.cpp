// korvel.algorithm.clampwind: the anti-windup limiter.
#include <korvel/limiters.hpp>

#include <optional>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::AntiWindup;

namespace {

struct PyAntiWindup;
const Signature sig_init("__init__", {}, 0);
const Signature sig_call("__call__", {"u", "HI", "LO"}, 1);
const Signature sig_run("run", {"u", "HI", "LO"}, 1);
PyObject* step(PyAntiWindup& p, PyObject* const* a);

struct PyAntiWindup {
    vectorcallfunc call = vectorcall_slot<PyAntiWindup, sig_call, step>;
    AntiWindup core;
};

PyObject* step(PyAntiWindup& p, PyObject* const* a) {
    double u, hi, lo;
    if (!to_double(a[0], u) || !to_double(a[1], hi, 100.0) || !to_double(a[2], lo, 0.0))
        return nullptr;
    return to_py(p.core.step(u, hi, lo));
}

int aw_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!sig_init.bind(args, kwargs, nullptr)) return -1;
    return guard_int([&] {
        emplace<PyAntiWindup>(self);
        return 0;
    });
}

PyObject* aw_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    PyAntiWindup* p = self_of<PyAntiWindup>(self);
    if (!p || !sig_run.bind(args, nargs, kwnames, a)) return nullptr;
    return step(*p, a);
}

PyMethodDef aw_methods[] = {
    {"run", as_method(aw_run), fastcall_flags,
     "run($self, u, HI=100, LO=0)\n--\n\nThe same step as calling the limiter; returns y."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot aw_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(aw_init)},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<PyAntiWindup, sig_call, step>)},
    {Py_tp_methods, aw_methods},
    {0, nullptr}};

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

std::optional<double> opt_double(nb::handle h) {
    if (h.is_none()) return std::nullopt;
    return state_double(h);
}

nb::object py_opt(const std::optional<double>& v) {
    return v ? nb::object(nb::float_(*v)) : nb::none();
}

} // namespace

NB_MODULE(clampwind, m) {
    m.doc() = "Anti-windup limiter: passes on the changes of its input, kept inside a band.";

    nb::class_<PyAntiWindup> cls(
        m, "AntiWindupLimter", nb::type_slots(aw_slots),
        "AntiWindupLimter()\n--\n\nCall it as limiter(u, HI=100, LO=0) once "
        "per sample.");
    def_state<&AntiWindup::u0, &AntiWindup::set_u0>(cls, "_u0");
    def_state<&AntiWindup::y0, &AntiWindup::set_y0>(cls, "_y0");
    enable_vectorcall<PyAntiWindup>(cls);

    // State: (_u0, _y0), None for a field that does not exist yet.
    def_pickle<PyAntiWindup>(
        cls, "AntiWindupLimter",
        [](PyAntiWindup& p) { return nb::make_tuple(py_opt(p.core.u0()), py_opt(p.core.y0())); },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 2) throw nb::value_error("invalid AntiWindupLimter state");
            PyAntiWindup p{};
            p.core.set_u0(opt_double(state[0]));
            p.core.set_y0(opt_double(state[1]));
            emplace<PyAntiWindup>(self.ptr(), std::move(p));
        });
}
