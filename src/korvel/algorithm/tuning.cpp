// korvel.algorithm.tuning: PID parameters from a process model by the SIMC
// and lambda rules (korvel/tuning.hpp), from a model entry or a fit result.
#include <korvel/tuning.hpp>

#include <optional>
#include <string>
#include <vector>

#include "docstrings/tuning.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/methods.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
namespace tn = korvel::tuning;

namespace {

// Whether o is a collections.abc.Mapping (a list's subscripts are not tags).
bool is_mapping(nb::handle o) {
    static PyObject* abc = nullptr;
    if (!abc) abc = import_attr("collections.abc", "Mapping").release().ptr();
    const int r = PyObject_IsInstance(o.ptr(), abc);
    if (r < 0) raise();
    return r != 0;
}

// The text of a str, with Python's errors.
std::string text_of(nb::handle o) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o.ptr(), &n);
    if (!p) raise();
    return std::string(p, static_cast<std::size_t>(n));
}

const Signature sig_simc("simc", {object("model"), opt_real("tau_c"), opt_real("Ts")}, false);
const Signature sig_lambda("lambda_tuning", {object("model"), opt_real("lam"), opt_real("Ts")},
                           false);

// m[key] of a mapping, or nullopt when it has none.
std::optional<nb::object> item(nb::handle m, const char* key) {
    nb::str k(key);
    const int has = PyMapping_HasKeyWithError(m.ptr(), k.ptr());
    if (has < 0) raise();
    if (!has) return std::nullopt;
    return checked(PyObject_GetItem(m.ptr(), k.ptr()));
}

// The process of a model entry, or of a fit result's "entry".
tn::Process process_of(nb::handle model) {
    if (!is_mapping(model))
        raise_format(PyExc_TypeError, "model must be a model entry or a fit result, not %.200s",
                     Py_TYPE(model.ptr())->tp_name);
    nb::object entry = nb::borrow(model);
    if (auto e = item(model, "entry")) entry = *e;
    const std::optional<nb::object> mode = item(entry, "mode");
    if (!mode || !PyUnicode_Check(mode->ptr()) || text_of(*mode) != "tf_s")
        raise_format(PyExc_ValueError,
                     "the rules take a 'tf_s' model entry (a transfer function with dead time)");
    const auto need = [&](const char* key) {
        auto v = item(entry, key);
        if (!v) raise_format(PyExc_KeyError, "'%s'", key);
        return doubles(*v, key);
    };
    const std::vector<double> num = need("num_s"), den = need("den_s");
    double delay = 0.0;
    if (auto d = item(entry, "iodelay_s"))
        if (!to_double(d->ptr(), delay)) raise();
    bool integrating = false;
    if (auto i = item(entry, "IntegralMark")) integrating = truth(*i);
    return tn::from_transfer(num, den, delay, integrating);
}

nb::dict result(const tn::PidParams& p) {
    nb::dict d;
    d["KP"] = p.KP;
    d["TI"] = p.TI;
    d["TD"] = p.TD;
    d["N"] = p.N;
    return d;
}

nb::object simc(const Args& a) {
    return result(tn::simc(process_of(a.obj(0)), a.opt(1), a.opt(2)));
}

nb::object lambda_tuning(const Args& a) {
    return result(tn::lambda_tuning(process_of(a.obj(0)), a.opt(1), a.opt(2)));
}

} // namespace

NB_MODULE(tuning, m) {
    namespace doc = korvel::docstrings::tuning;
    m.doc() = doc::module;
    PyMethodDef* functions = methods({
        function<sig_simc, simc>(doc::simc),
        function<sig_lambda, lambda_tuning>(doc::lambda_tuning),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
