// korvel.algorithm.utilities: the history shift the delay and trigger blocks
// rely on.
#include "docstrings/utilities.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/shift.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

const Signature sig_data_store("dataStore", {object("xArray"), object("xt")}, false);

void py_data_store(const Args& a) {
    if (!data_store(a.obj(0), a.obj(1))) raise();
}

} // namespace

NB_MODULE(utilities, m) {
    namespace doc = korvel::docstrings::utilities;
    m.doc() = doc::module;
    PyMethodDef* functions = methods({function<sig_data_store, py_data_store>(doc::dataStore)});
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
