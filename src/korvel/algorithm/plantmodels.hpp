// korvel.algorithm.plantmodels, shared by the files of its binding: the pair
// model objects (plantmodels_models.cpp), the simulators
// (plantmodels_simulators.cpp) and the values they keep in place of their
// dicts (plantmodels_values.cpp), their C interface (plantmodels_capi.cpp),
// the simulator bank (plantmodels_bank.cpp) and the module with its functions
// (plantmodels.cpp).
#pragma once

#include <korvel/mimo.hpp>

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyglue/arrays.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/copies.hpp"
#include "pyglue/dicts.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/scipy.hpp"
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
    PyObject *deltaU_sim, *model_list, *u_ini_list;
    PyObject *mode, *IntegralMark, *None, *tf_s, *tf_z, *stp, *stpxy;
    PyObject *num_s, *den_s, *iodelay_s, *num_z, *den_z, *iodelay_z, *x, *y;
    PyObject *zero, *fzero, *one;
};
extern Names names;
void init_names();

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

// The construction rule on a model entry mapping, with Python's lookups
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

void def_models(nb::module_& m);

// --- simulators (plantmodels_simulators.cpp) ------------------------------------------

// One CV as the step loop sees it: its tag, its MVs' initial values and its
// own. An initial value that is not a number fails where it is used, so the
// source object is kept for the error.
struct CvRow {
    nb::object cv;
    std::vector<double> u_ini;
    std::vector<nb::object> u_ini_bad;
    double y_ini = 0.0;
    nb::object y_ini_bad;
};

struct MimoObj {
    nb::object Ts, process_model_dict, cv_list, mv_list, ini_value_dict, yu_model_obj, u_dict,
        y_dict, cv_simulators;

    // Derived from cv_simulators by reset() (and by unpickling).
    ModelBank bank;
    std::vector<CvRow> rows;
    std::vector<nb::object> keep; // the models the bank points into
    std::vector<std::unique_ptr<PyCallModel>> adapters;
    nb::object mv_index; // {mv: None}: membership of mv_list

    // Per-step scratch.
    std::vector<double> u;
    std::vector<nb::object> u_bad;
    // Set while a step runs: a model written in Python that steps, resets
    // or rebuilds its own simulator would pull the bank from under the loop.
    bool busy = false;

    // What a step on plain values reads without a lookup: the MVs in the
    // order reset() made _u_dict, the rows' CV tags, and the outputs of the
    // last step (per row).
    std::vector<nb::object> mv_keys;
    std::vector<PyObject*> cv_tags; // the rows' tags
    std::vector<double> y_vals;
    std::vector<PyObject*> u_new; // per MV: the value a caller gave this step, borrowed
    bool plain_rows = false;      // str tags, numbers for initial values

    // The dicts are made only when something asks for them (the _u_dict and
    // _y_dict fields, a saved state, a step on values of other kinds): until
    // then u_dict and y_dict are null and the values they would hold live
    // here, so a dict never holds stale values and nothing needs to know who
    // else holds it. A reset() starts without them again, as it makes new
    // dicts. MV values (int or float, as given) in mv_keys' order; CV values
    // in the rows' order: an int or float as reset() put it, or null for the
    // float of y_vals.
    std::vector<nb::object> u_objs, y_objs;
    PlainInputs inputs; // the values of a step through Python, read once

    MimoObj() = default;
    MimoObj(const MimoObj&) = delete;
    MimoObj(MimoObj&&) = default;
    MimoObj& operator=(const MimoObj&) = delete;
    MimoObj& operator=(MimoObj&&) = default;

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o : {&Ts, &process_model_dict, &cv_list, &mv_list, &ini_value_dict,
                              &yu_model_obj, &u_dict, &y_dict, &cv_simulators, &mv_index})
            f(*o);
        for (auto& o : keep)
            f(o);
        for (auto& o : u_bad)
            f(o);
        for (auto& o : mv_keys)
            f(o);
        for (auto& o : u_objs)
            f(o);
        for (auto& o : y_objs)
            f(o);
        for (auto& row : rows) {
            f(row.cv);
            f(row.y_ini_bad);
            for (auto& o : row.u_ini_bad)
                f(o);
        }
    }
};

struct SisoObj : MimoObj {
    explicit SisoObj(MimoObj&& o) : MimoObj(std::move(o)) {}
};

// A number for the step, or the source object kept to fail with later.
void convert(PyObject* o, double& v, nb::object& bad);

// One sampling step: MV values in, every model one sample on, CV values into
// _y_dict as each is known. Makes the dicts first.
void step(MimoObj& s, PyObject* uv, PyObject* vv);

// --- the values kept while the dicts are not made (plantmodels_values.cpp)

// Whether dict `d` holds exactly `keys`, in order (identity).
template <class Keys> bool same_keys(PyObject* d, const Keys& keys) noexcept {
    if (static_cast<std::size_t>(PyDict_GET_SIZE(d)) != keys.size()) return false;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    for (std::size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
        PyObject* want;
        if constexpr (std::is_same_v<typename Keys::value_type, PyObject*>)
            want = keys[i];
        else
            want = keys[i].ptr();
        if (k != want) return false;
    }
    return true;
}

// The fresh dicts of a reset, kept as values instead where they are plain
// (str tags in the order of the bank, numbers): nobody has them yet.
void unmake_dicts(MimoObj& s);

// {tag: value} of the kept CV values, and copies of the current values
// whether kept or in the dicts (what copy_mapping gives of the dicts).
nb::object kept_outputs(const MimoObj& s);
nb::object inputs_copy(const MimoObj& s);
nb::object outputs_copy(const MimoObj& s);

// The dicts, made now from the values the simulator keeps if they are not
// made yet (see MimoObj::u_objs).
void make_dicts(MimoObj& s);

// One step on plain values (PlainInputs) while the dicts are not made: no
// Python code runs and no dict is written. False (nothing done) when the
// simulator has made its dicts or steps models written in Python.
bool virtual_step(MimoObj& s, const PlantmodelsApi::Inputs& in);

// The MV a caller's tag names (its position in mv_keys), or -1.
Py_ssize_t mv_of(MimoObj& s, PyObject* tag);

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu);

// Draws the step responses (the arguments checked as the module function
// checks them); the drawing lives in Python with the plotting library.
void plot_stp(nb::handle yu, nb::handle Ts, nb::handle plot_len);

void def_simulators(nb::module_& m);

// MIMOSimBank (plantmodels_bank.cpp).
void def_simulator_bank(nb::module_& m);

// The C interface (plantmodels_capi.cpp): one MIMOSim step without its result
// copy, and its outputs.
int capi_mimo_step(PyObject* sim, PyObject* u, PyObject* v);
int capi_mimo_step_deferred(PyObject* sim, PyObject* u, PyObject* v, PlantmodelsApi::Outputs* out);
int capi_mimo_step_inputs(PyObject* sim, const PlantmodelsApi::Inputs* in,
                          PlantmodelsApi::Outputs* out);
PyObject* capi_mimo_outputs(PyObject* sim);

} // namespace korvel::plantmodels
