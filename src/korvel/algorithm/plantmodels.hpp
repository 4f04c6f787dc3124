// korvel.algorithm.plantmodels, shared by the files of its binding: the pair
// model objects (plantmodels_models.cpp), the simulators
// (plantmodels_simulators.cpp) and the module with its functions
// (plantmodels.cpp).
#pragma once

#include <korvel/mimo.hpp>

#include <memory>
#include <utility>
#include <vector>

#include "pyglue/capi.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pycall.hpp"
#include "pyglue/vectorcall.hpp"

namespace korvel::plantmodels {

namespace nb = nanobind;
using namespace korvel::pyglue;

// The classes, set when the module is initialised and kept for the life of
// the process.
struct Types {
    PyTypeObject *model, *no_model, *tfz, *tfs, *stp, *stpxy, *miso, *mimo, *siso;
    newfunc inst_new;        // nanobind's instance allocator
    PyObject* abstract_step; // model.deltaU_sim
};
extern Types types;

// Interned names, set at module init.
struct Names {
    PyObject *deltaU_sim, *get, *items, *keys, *model_list, *u_ini_list, *dict;
    PyObject *mode, *IntegralMark, *None, *tf_s, *tf_z, *stp, *stpxy;
    PyObject *num_s, *den_s, *iodelay_s, *num_z, *den_z, *iodelay_z, *x, *y;
    PyObject *zero, *fzero, *one;
};
extern Names names;
void init_names();

// mapping.get(key, dflt), mapping[key], list(mapping.keys()), list(mapping.items()).
// Each holds the mapping while Python code it runs may replace the field it
// came from.
nb::object get_or(nb::object m, nb::handle key, PyObject* dflt);
nb::object item(nb::object m, PyObject* key);
nb::list keys_of(nb::object m);
nb::object items_of(nb::object m);
double number(PyObject* o);

// --- model objects (plantmodels_models.cpp) -------------------------------------------

// `model` is the abstract base; its payload is empty, so a Python subclass
// needs no C++ state at all.
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

// The construction rule on a specification mapping, with Python's lookups
// in the rule's order; tf_s pairs are discretised by SciPy at Ts.
BuiltPair build_pair(nb::handle spec, nb::handle Ts);

// A new model object of the pair's class.
nb::object wrap(BuiltPair&& b);

// The kernel behind a built-in model object, or nullptr for anything else
// (models written in Python, subclasses, objects never constructed).
PairModel* direct(PyObject* o) noexcept;

// model.deltaU_sim(du) through Python.
double call_step(PyObject* model, double du);

// A model written in Python, as a bank entry. Borrowed: the simulator keeps
// the model (and shows the reference to the garbage collector).
class PyCallModel final : public PairModel {
  public:
    explicit PyCallModel(PyObject* o) : obj_(o) {}
    double step(double du) override { return call_step(obj_, du); }

  private:
    PyObject* obj_;
};

// The pair models of a row as the core steps them: built-in ones directly,
// the others through adapters kept in `adapters`.
PairModel* bank_entry(PyObject* model, std::vector<std::unique_ptr<PyCallModel>>& adapters);

// The instance dict of a Python subclass (None for the built-in classes),
// so pickling keeps what a subclass stored.
nb::object inst_dict(PyObject* self);
void restore_dict(PyObject* self, nb::handle d);
nb::tuple state_tuple(nb::handle st, std::size_t n);

void def_models(nb::module_& m);

// --- simulators (plantmodels_simulators.cpp) ------------------------------------------

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu);

// Draws the step responses (the arguments checked as the module function
// checks them); the drawing lives in Python with the plotting library.
void plot_stp(nb::handle yu, nb::handle Ts, nb::handle plot_len);

void def_simulators(nb::module_& m);

// The C interface: one MIMOSim step without its result copy, and its outputs.
int capi_mimo_step(PyObject* sim, PyObject* u, PyObject* v);
int capi_mimo_step_deferred(PyObject* sim, PyObject* u, PyObject* v, PlantmodelsApi::Outputs* out);
PyObject* capi_mimo_outputs(PyObject* sim);

} // namespace korvel::plantmodels
