// korvel.algorithm.utilities: the history shift the delay and trigger blocks
// rely on.
#include "pyglue/datastore.hpp"
#include "pyglue/methods.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

const Signature sig_data_store("dataStore", {object("xArray"), object("xt")}, false);

void py_data_store(const Args& a) {
    if (!data_store(a.obj(0), a.obj(1))) raise();
}

} // namespace

NB_MODULE(utilities, m) {
    m.doc() = "The history shift: dataStore(xArray, xt) moves every sample one place back and "
              "stores xt at the front, in place.";
    PyMethodDef* functions = methods({function<sig_data_store, py_data_store>(
        "Shifts the history one place back in place and stores xt at its front.")});
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
