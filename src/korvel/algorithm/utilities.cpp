// korvel.algorithm.utilities: the history shift the delay and trigger blocks
// rely on.
#include "pyglue/datastore.hpp"
#include "pyglue/glue.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

const Signature sig_data_store("dataStore", {"xArray", "xt"}, 2, false);

PyObject* py_data_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!sig_data_store.bind(args, nargs, kwnames, a) || !data_store(a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"dataStore", as_method(py_data_store), fastcall_flags,
     "dataStore($module, xArray, xt)\n--\n\nShifts the history one place back in place and "
     "stores xt at its front."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

NB_MODULE(utilities, m) {
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
