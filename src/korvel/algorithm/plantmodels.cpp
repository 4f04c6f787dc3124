// korvel.algorithm.plantmodels: pair models of a MIMO process, the MISO, MIMO
// and SISO simulators built from a model dictionary, and step responses.
//
// Built-in models are stepped by the core; a model written in Python is
// called through its deltaU_sim. The C interface lets gainsched step its
// local simulators without a Python call.
#include "algorithm/plantmodels.hpp"
#include "docstrings/plantmodels.hpp"
#include "pyglue/capi.hpp"

namespace korvel::plantmodels {

namespace {

const Signature sig_tags("get_model_tags", {object("yu_model")}, false);
const Signature sig_stp("get_model_stp",
                        {dict("yu_model"), integer("Ts", "1"), integer("length", "300")}, false);
const Signature sig_plot("plot_model_stp",
                         {object("yu_model"), object("Ts", "1"), object("plotLen", "300")}, false);

nb::object py_model_tags(const Args& a) {
    auto [cvs, mvs] = model_tags(a.obj(0));
    return nb::make_tuple(cvs, mvs);
}

// The unit-step response of every pair, each from a model of its own.
nb::object py_model_stp(const Args& a) {
    long long length;
    if (!a.longlong(2, length)) raise();
    auto [cvs, mvs] = model_tags(a.obj(0));
    nb::object result = checked(PyDict_New());
    for (nb::handle cv : cvs) {
        nb::object row = checked(PyDict_New());
        if (PyDict_SetItem(result.ptr(), cv.ptr(), row.ptr()) < 0) raise();
        for (nb::handle mv : mvs)
            if (PyDict_SetItem(row.ptr(), mv.ptr(), checked(PyList_New(0)).ptr()) < 0) raise();
    }
    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    for (nb::handle cv : cvs) {
        nb::object entry = item(nb::borrow(a.obj(0)), cv.ptr());
        PyObject* row = PyDict_GetItemWithError(result.ptr(), cv.ptr());
        if (!row) raise();
        for (nb::handle mv : mvs) {
            nb::object empty = checked(PyDict_New());
            std::unique_ptr<PairModel> m =
                build_pair(get_or(entry, mv, empty.ptr()), nb::handle(a.obj(1))).take();
            const std::vector<double> y = korvel::pair_step_response(*m, n);
            nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(y.size())));
            for (std::size_t k = 0; k < y.size(); ++k)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k),
                                checked(PyFloat_FromDouble(y[k])).release().ptr());
            if (PyDict_SetItem(row, mv.ptr(), list.ptr()) < 0) raise();
        }
    }
    return result;
}

void py_plot(const Args& a) {
    plot_stp(a.obj(0), a.obj(1), a.obj(2));
}

const PlantmodelsApi capi{PlantmodelsApi::version, capi_mimo_step, capi_mimo_outputs,
                          capi_mimo_step_deferred, capi_mimo_step_inputs};

} // namespace

void plot_stp(nb::handle yu, nb::handle Ts, nb::handle plot_len) {
    if (!exact_type(yu.ptr(), &PyDict_Type, "yu_model") ||
        !exact_type(Ts.ptr(), &PyLong_Type, "Ts") ||
        !exact_type(plot_len.ptr(), &PyLong_Type, "plotLen"))
        raise();
    import_attr("korvel.algorithm._plantplot", "plot_model_stp")(yu, Ts, plot_len);
}

} // namespace korvel::plantmodels

NB_MODULE(plantmodels, m) {
    using namespace korvel::plantmodels;
    namespace doc = korvel::docstrings::plantmodels;
    m.doc() = doc::module;
    if (!korvel::pyglue::np::init()) throw nb::python_error();
    init_names();
    nb::module_::import_("korvel.algorithm.toolbox");
    def_models(m);
    def_simulators(m);
    def_simulator_bank(m);
    PyMethodDef* functions = methods({
        function<sig_tags, py_model_tags>(doc::get_model_tags),
        function<sig_stp, py_model_stp>(doc::get_model_stp),
        function<sig_plot, py_plot>(doc::plot_model_stp),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
    publish(m, &capi);
}
