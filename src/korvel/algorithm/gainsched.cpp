// korvel.algorithm.gainsched: an LPV plant as a bank of local MIMO
// simulators blended by working point.
#include <korvel/lpv.hpp>

#include <vector>

#include "pyglue/fields.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/pycall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// One entry of the bank: a plain record whose fields callers read and write.
struct LocalPlant {
    nb::object plant_id = nb::none(), working_point = nb::none(), plant = nb::none(),
               yu_model_tf = nb::none(), Ts = nb::int_(1), current_weight = nb::float_(0.0);

    template <class F> void for_each_object(F&& f) {
        for (nb::object* o :
             {&plant_id, &working_point, &plant, &yu_model_tf, &Ts, &current_weight})
            f(*o);
    }
};

struct PlantSim {
    nb::list plant_list;
    nb::dict ini_value_dict;
    double working_value = 0.0;
    nb::dict u_dict, y_dict;
};

// Set once at module init and kept for the life of the process.
nb::handle local_plant_type;
nb::handle mimo_sim;      // plantmodels.MIMOSim
nb::handle empty_mapping; // the defaults of a step: empty and never modified

LocalPlant& record(nb::handle h) {
    if (!PyObject_TypeCheck(h.ptr(), reinterpret_cast<PyTypeObject*>(local_plant_type.ptr())) ||
        !nb::inst_ready(h))
        throw nb::type_error("plant_list holds an object that is not an LPVLocalPlant");
    return *nb::inst_ptr<LocalPlant>(h);
}

double as_double(nb::handle h) {
    double v;
    if (!to_double(h.ptr(), v)) throw nb::python_error();
    return v;
}

nb::object ini_value(const PlantSim& s, nb::handle tag) {
    PyObject* v = PyDict_GetItemWithError(s.ini_value_dict.ptr(), tag.ptr());
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::float_(0.0);
}

// The bank as it is now. Walks over the bank call into Python (working
// points, identifiers and plants are caller objects), which may change
// plant_list or drop records: the copy keeps every record alive and in place.
nb::list bank_of(const PlantSim& s) {
    return nb::steal<nb::list>(PyList_GetSlice(s.plant_list.ptr(), 0, PY_SSIZE_T_MAX));
}

void sort_bank(PlantSim& s) {
    nb::list bank = bank_of(s);
    const Py_ssize_t n = PyList_GET_SIZE(bank.ptr());
    std::vector<double> points(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        points[static_cast<std::size_t>(i)] =
            as_double(record(bank[static_cast<size_t>(i)]).working_point);
    nb::list sorted;
    for (std::size_t i : korvel::lpv::bank_order(points))
        sorted.append(bank[i]);
    s.plant_list = sorted;
}

void del_plant(PlantSim& s, nb::handle plant_id) {
    bool removed = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s.plant_list.ptr());) {
        nb::object id = record(s.plant_list[static_cast<size_t>(i)]).plant_id;
        const int eq = PyObject_RichCompareBool(id.ptr(), plant_id.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) {
            if (PySequence_DelItem(s.plant_list.ptr(), i) < 0) throw nb::python_error();
            removed = true;
            i = 0; // "remove the first such record" again, from the start
            continue;
        }
        ++i;
    }
    if (removed) sort_bank(s);
}

// Adds every key of `sim_dict` missing from `ours`, valued by the initial value.
void learn_tags(PlantSim& s, nb::dict& ours, nb::handle sim_dict) {
    for (nb::handle tag : nb::borrow<nb::dict>(sim_dict).keys())
        if (!ours.contains(tag)) ours[tag] = ini_value(s, tag);
}

nb::dict step(PlantSim& s, PyObject* working_value, PyObject* u, PyObject* v) {
    double wv;
    if (!to_double(working_value, wv)) throw nb::python_error();
    s.working_value = wv;

    // Only MVs the bank already knows are taken; u must offer items().
    nb::object items = nb::steal(PyObject_CallMethod(u, "items", nullptr));
    if (!items.is_valid()) throw nb::python_error();
    std::vector<std::pair<nb::object, nb::object>> known;
    for (nb::handle kv : items) {
        nb::object tag = kv[0];
        if (s.u_dict.contains(tag)) known.emplace_back(tag, kv[1]);
    }
    for (auto& [tag, value] : known)
        s.u_dict[tag] = value;

    nb::list bank = bank_of(s);
    const Py_ssize_t n = PyList_GET_SIZE(bank.ptr());
    if (n == 0) throw nb::value_error("array of sample points is empty");
    if (std::isnan(wv)) throw nb::value_error("cannot convert float NaN to integer");

    // Interpolation runs over the finite-or-infinite working points; a NaN
    // point sorts last and is stepped but never weighted.
    std::vector<double> points;
    points.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double w = as_double(record(bank[static_cast<size_t>(i)]).working_point);
        if (std::isnan(w)) break;
        points.push_back(w);
    }
    if (points.empty()) throw nb::value_error("array of sample points is empty");
    const auto wt =
        korvel::lpv::weights(korvel::lpv::fractional_index(points.data(), points.size(), wv));

    std::vector<nb::object> results(static_cast<std::size_t>(n));
    PyObject* args[2] = {u, v};
    for (Py_ssize_t i = 0; i < n; ++i) {
        LocalPlant& r = record(bank[static_cast<size_t>(i)]);
        nb::object plant = r.plant; // the call may replace the field
        results[static_cast<std::size_t>(i)] =
            nb::steal(PyObject_Vectorcall(plant.ptr(), args, 2, nullptr));
        if (!results[static_cast<std::size_t>(i)].is_valid()) throw nb::python_error();
        r.current_weight = nb::float_(0.0);
    }

    LocalPlant& lower = record(bank[wt.id1]);
    nb::handle r1 = results[wt.id1];
    // A plant a caller put in place may answer with any mapping.
    nb::object cvs = nb::steal(PyMapping_Keys(r1.ptr()));
    if (!cvs.is_valid()) throw nb::python_error();
    if (wt.id1 == wt.id2) {
        lower.current_weight = nb::float_(1.0);
        for (nb::handle cv : cvs)
            s.y_dict[cv] = as_double(r1[cv]) + as_double(ini_value(s, cv));
    } else {
        LocalPlant& upper = record(bank[wt.id2]);
        nb::handle r2 = results[wt.id2];
        lower.current_weight = nb::float_(wt.w1);
        upper.current_weight = nb::float_(wt.w2);
        for (nb::handle cv : cvs) {
            PyObject* y2 = PyObject_GetItem(r2.ptr(), cv.ptr()); // KeyError naming the tag
            if (!y2) throw nb::python_error();
            const double b = as_double(nb::steal(y2));
            s.y_dict[cv] = (wt.w1 * as_double(r1[cv]) + wt.w2 * b) + as_double(ini_value(s, cv));
        }
    }
    return nb::borrow<nb::dict>(copy_mapping(s.y_dict));
}

// ---- LPVLocalPlant --------------------------------------------------------

const Signature sig_lp_init("__init__", {}, 0);

int local_plant_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!sig_lp_init.bind(args, kwargs, nullptr)) return -1;
    return guard_int([&] {
        emplace<LocalPlant>(self);
        return 0;
    });
}

PyType_Slot local_plant_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(local_plant_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<LocalPlant>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_objects<LocalPlant>)},
    {0, nullptr}};

// ---- LPVPlantSim ----------------------------------------------------------

const Signature sig_init("__init__", {"ini_value_dict"}, 0);
const Signature sig_call("__call__", {"working_value", "u_Value_Dict", "v_Value_Dict"}, 1);
const Signature sig_run("run", {"working_value", "u_Value_Dict", "v_Value_Dict"}, 1);
const Signature sig_add("addPlant", {"plant_id", "working_point", "yu_model_tf", "Ts"}, 4);
const Signature sig_del("delPlant", {"plant_id"}, 1);
const Signature sig_sort("_sort_plant_list_by_working_point", {}, 0);
const Signature sig_plant_dict("get_plant_dict", {}, 0);
const Signature sig_weights("get_current_plant_weight_dict", {}, 0);
const Signature sig_cv("get_cv_list", {}, 0);
const Signature sig_mv("get_mv_list", {}, 0);
const Signature sig_in("get_input_data_dict", {}, 0);
const Signature sig_out("get_output_data_dict", {}, 0);
const Signature sig_all("get_all_data_dict", {}, 0);
const Signature sig_plot("plot_model_stp", {"plant_id", "plotLen"}, 1);

int sim_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    if (!sig_init.bind(args, kwargs, a)) return -1;
    return guard_int([&] {
        nb::object ini = a[0] ? deep_copy(nb::handle(a[0])) : nb::object(nb::dict());
        if (!PyDict_Check(ini.ptr())) {
            // Any other mapping is kept as a dict of its items.
            nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
            if (!nb::isinstance(ini, mapping)) {
                raise_arg_type("ini_value_dict", &PyDict_Type, a[0]);
                throw nb::python_error();
            }
            nb::object items = std::move(ini);
            ini = nb::steal(PyDict_New());
            if (PyDict_Merge(ini.ptr(), items.ptr(), 1) < 0) throw nb::python_error();
        }
        PlantSim s;
        s.ini_value_dict = nb::borrow<nb::dict>(ini);
        emplace<PlantSim>(self, std::move(s));
        return 0;
    });
}

PyObject* do_step(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    PyObject* a[3];
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !sig.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        return step(*s, a[0], a[1] ? a[1] : empty_mapping.ptr(), a[2] ? a[2] : empty_mapping.ptr())
            .release()
            .ptr();
    });
}

PyObject* sim_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return do_step(sig_run, self, args, nargs, kwnames);
}

PyObject* sim_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !sig_call.bind(args, kwargs, a)) return nullptr;
    return guard([&] {
        return step(*s, a[0], a[1] ? a[1] : empty_mapping.ptr(), a[2] ? a[2] : empty_mapping.ptr())
            .release()
            .ptr();
    });
}

PyObject* sim_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    double wp;
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !sig_add.bind(args, nargs, kwnames, a) ||
        !exact_type(a[0], &PyLong_Type, "plant_id") || !to_double(a[1], wp) ||
        !exact_type(a[2], &PyDict_Type, "yu_model_tf") || !exact_type(a[3], &PyLong_Type, "Ts"))
        return nullptr;
    return guard([&] {
        del_plant(*s, a[0]);
        nb::object rec = local_plant_type();
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        r.plant_id = nb::borrow(a[0]);
        r.working_point = nb::float_(wp);
        r.yu_model_tf = nb::borrow(a[2]);
        r.Ts = nb::borrow(a[3]);

        nb::dict local = nb::borrow<nb::dict>(deep_copy(s->ini_value_dict));
        for (nb::handle cv : nb::borrow<nb::dict>(a[2]).keys())
            local[cv] = nb::float_(0.0);
        r.plant = mimo_sim(nb::handle(a[2]), nb::arg("ini_value_dict") = local,
                           nb::arg("Ts") = nb::handle(a[3]));

        learn_tags(*s, s->y_dict, r.plant.attr("get_output_data_dict")());
        learn_tags(*s, s->u_dict, r.plant.attr("get_input_data_dict")());
        if (PyList_Insert(s->plant_list.ptr(), 0, rec.ptr()) < 0) throw nb::python_error();
        sort_bank(*s);
        Py_RETURN_NONE;
    });
}

PyObject* sim_del(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !sig_del.bind(args, nargs, kwnames, a) || !exact_type(a[0], &PyLong_Type, "plant_id"))
        return nullptr;
    return guard([&] {
        del_plant(*s, a[0]);
        Py_RETURN_NONE;
    });
}

// Operations without arguments, each a function of the simulator.
template <const Signature& Sig, auto Fn>
PyObject* getter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !Sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return guard([&] { return Fn(*s).release().ptr(); });
}

nb::object sort_now(PlantSim& s) {
    sort_bank(s);
    return nb::none();
}

nb::object plant_dict(PlantSim& s) {
    nb::dict d;
    for (nb::handle h : bank_of(s))
        d[record(h).plant_id] = h;
    return d;
}

nb::object weight_dict(PlantSim& s) {
    nb::dict d;
    for (nb::handle h : bank_of(s)) {
        nb::object id = record(h).plant_id;
        d[id] = record(h).current_weight;
    }
    return d;
}

nb::object cv_list(PlantSim& s) {
    return nb::steal(PyDict_Keys(s.y_dict.ptr()));
}
nb::object mv_list(PlantSim& s) {
    return nb::steal(PyDict_Keys(s.u_dict.ptr()));
}
nb::object input_dict(PlantSim& s) {
    return copy_mapping(s.u_dict);
}
nb::object output_dict(PlantSim& s) {
    return copy_mapping(s.y_dict);
}

nb::object all_dict(PlantSim& s) {
    nb::object d = copy_mapping(s.u_dict);
    if (PyDict_Update(d.ptr(), copy_mapping(s.y_dict).ptr()) < 0) throw nb::python_error();
    return d;
}

PyObject* sim_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    PlantSim* s = self_of<PlantSim>(self);
    if (!s || !sig_plot.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        for (nb::handle h : bank_of(*s)) {
            nb::object id = record(h).plant_id;
            const int eq = PyObject_RichCompareBool(id.ptr(), a[0], Py_EQ);
            if (eq < 0) throw nb::python_error();
            if (!eq) continue;
            nb::object len = a[1] ? nb::borrow(a[1]) : nb::object(nb::int_(300));
            nb::object plant = record(h).plant;
            return plant.attr("plot_model_stp")(len).release().ptr();
        }
        Py_RETURN_NONE;
    });
}

int sim_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PlantSim& s = *nb::inst_ptr<PlantSim>(self);
    Py_VISIT(s.plant_list.ptr());
    Py_VISIT(s.ini_value_dict.ptr());
    Py_VISIT(s.u_dict.ptr());
    Py_VISIT(s.y_dict.ptr());
    return 0;
}

int sim_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PlantSim& s = *nb::inst_ptr<PlantSim>(self);
    s.plant_list = nb::list();
    return 0;
}

PyMethodDef sim_methods[] = {
    {"run", as_method(sim_run), fastcall_flags,
     "run($self, working_value, u_Value_Dict={}, v_Value_Dict={})\n--\n\nOne step; the "
     "same as calling the simulator."},
    {"addPlant", as_method(sim_add), fastcall_flags,
     "addPlant($self, plant_id, working_point, yu_model_tf, Ts)\n--\n\nAdds (or replaces) "
     "a local plant."},
    {"delPlant", as_method(sim_del), fastcall_flags,
     "delPlant($self, plant_id)\n--\n\nRemoves a local plant."},
    {"_sort_plant_list_by_working_point", as_method(getter<sig_sort, sort_now>), fastcall_flags,
     "_sort_plant_list_by_working_point($self)\n--\n\n"},
    {"get_plant_dict", as_method(getter<sig_plant_dict, plant_dict>), fastcall_flags,
     "get_plant_dict($self)\n--\n\n{plant_id: LPVLocalPlant}, in bank order."},
    {"get_current_plant_weight_dict", as_method(getter<sig_weights, weight_dict>), fastcall_flags,
     "get_current_plant_weight_dict($self)\n--\n\n{plant_id: weight} of the last step."},
    {"get_cv_list", as_method(getter<sig_cv, cv_list>), fastcall_flags,
     "get_cv_list($self)\n--\n\n"},
    {"get_mv_list", as_method(getter<sig_mv, mv_list>), fastcall_flags,
     "get_mv_list($self)\n--\n\n"},
    {"get_input_data_dict", as_method(getter<sig_in, input_dict>), fastcall_flags,
     "get_input_data_dict($self)\n--\n\n"},
    {"get_output_data_dict", as_method(getter<sig_out, output_dict>), fastcall_flags,
     "get_output_data_dict($self)\n--\n\n"},
    {"get_all_data_dict", as_method(getter<sig_all, all_dict>), fastcall_flags,
     "get_all_data_dict($self)\n--\n\n"},
    {"plot_model_stp", as_method(sim_plot), fastcall_flags,
     "plot_model_stp($self, plant_id, plotLen=300)\n--\n\nPlots the step responses of "
     "one local plant."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot sim_slots[] = {{Py_tp_init, reinterpret_cast<void*>(sim_init)},
                           {Py_tp_call, reinterpret_cast<void*>(sim_call)},
                           {Py_tp_methods, sim_methods},
                           {Py_tp_traverse, reinterpret_cast<void*>(sim_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(sim_clear)},
                           {0, nullptr}};

// A field holding a dict (or a subclass of dict).
template <nb::dict PlantSim::*Member>
void def_dict_field(nb::class_<PlantSim>& cls, const char* name) {
    def_field<PlantSim>(
        cls, name, [](PlantSim& s) { return s.*Member; },
        [name](PlantSim& s, nb::handle v) {
            s.*Member = nb::borrow<nb::dict>(field_kind(v, name, &PyDict_Type));
        });
}

} // namespace

NB_MODULE(gainsched, m) {
    m.doc() = "LPV plant simulation: local MIMO plants blended by working point.";
    mimo_sim =
        nb::object(nb::module_::import_("korvel.algorithm.plantmodels").attr("MIMOSim")).release();
    empty_mapping = nb::dict().release();

    nb::class_<LocalPlant> lp(m, "LPVLocalPlant", nb::type_slots(local_plant_slots),
                              "LPVLocalPlant()\n--\n\nOne local plant of an LPVPlantSim bank.");
    def_object_field<LocalPlant, &LocalPlant::plant_id>(lp, "plant_id");
    def_object_field<LocalPlant, &LocalPlant::working_point>(lp, "working_point");
    def_object_field<LocalPlant, &LocalPlant::plant>(lp, "plant");
    def_object_field<LocalPlant, &LocalPlant::yu_model_tf>(lp, "yu_model_tf");
    def_object_field<LocalPlant, &LocalPlant::Ts>(lp, "Ts");
    def_object_field<LocalPlant, &LocalPlant::current_weight>(lp, "current_weight");
    def_pickle<LocalPlant>(
        lp, "LPVLocalPlant",
        [](LocalPlant& r) {
            return nb::make_tuple(r.plant_id, r.working_point, r.plant, r.yu_model_tf, r.Ts,
                                  r.current_weight);
        },
        [](nb::handle self, const nb::tuple& t) {
            if (t.size() != 6) throw nb::value_error("invalid LPVLocalPlant state");
            emplace<LocalPlant>(self.ptr(), LocalPlant{t[0], t[1], t[2], t[3], t[4], t[5]});
        });
    local_plant_type = lp;

    nb::class_<PlantSim> sim(m, "LPVPlantSim", nb::type_slots(sim_slots),
                             "LPVPlantSim(ini_value_dict={})\n--\n\nLPV plant simulator; add "
                             "local plants with addPlant, then call it once per sample.");
    def_field<PlantSim>(
        sim, "plant_list", [](PlantSim& s) { return s.plant_list; },
        [](PlantSim& s, nb::handle v) {
            s.plant_list = nb::borrow<nb::list>(field_kind(v, "plant_list", &PyList_Type));
        });
    def_dict_field<&PlantSim::ini_value_dict>(sim, "ini_value_dict");
    def_real<PlantSim>(sim, "_working_value",
                       [](PlantSim& s) -> double& { return s.working_value; });
    def_dict_field<&PlantSim::u_dict>(sim, "_u_dict");
    def_dict_field<&PlantSim::y_dict>(sim, "_y_dict");
    def_pickle<PlantSim>(
        sim, "LPVPlantSim",
        [](PlantSim& s) {
            return nb::make_tuple(s.plant_list, s.ini_value_dict, s.working_value, s.u_dict,
                                  s.y_dict);
        },
        [](nb::handle self, const nb::tuple& t) {
            if (t.size() != 5 || !nb::isinstance<nb::list>(t[0]) ||
                !nb::isinstance<nb::dict>(t[1]) || !nb::isinstance<nb::dict>(t[3]) ||
                !nb::isinstance<nb::dict>(t[4]))
                throw nb::type_error("invalid LPVPlantSim state");
            emplace<PlantSim>(self.ptr(),
                              PlantSim{nb::borrow<nb::list>(t[0]), nb::borrow<nb::dict>(t[1]),
                                       state_double(t[2]), nb::borrow<nb::dict>(t[3]),
                                       nb::borrow<nb::dict>(t[4])});
        });
}
