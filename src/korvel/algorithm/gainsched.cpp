// korvel.algorithm.gainsched: an LPV plant as a bank of local MIMO
// simulators blended by working point.
//
// The bank is a list of records whose fields callers read and write; the
// order of the bank and the blended step are the core's (korvel::lpv_step
// over this module's view of the records). Local plants that are the
// library's own MIMOSims are stepped through plantmodels' C interface, with no
// Python call; anything else a caller put in a record is called.
#include <korvel/lpv.hpp>

#include <memory>
#include <vector>

#include "docstrings/gainsched.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/copies.hpp"
#include "pyglue/dicts.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"
#include "pyglue/vectorcall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

// Set once at module init and kept for the life of the process.
nb::handle local_plant_type;
nb::handle mimo_sim; // plantmodels.MIMOSim
const PlantmodelsApi* plants = nullptr;
nb::handle zero_weight, full_weight; // 0.0 and 1.0

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

// What a step keeps of its two neighbours: a mapping, or the tags and values
// a deferred step gave.
struct Kept {
    std::size_t index = static_cast<std::size_t>(-1);
    nb::object result;
    nb::object keys; // a list, made when first asked for
    std::vector<nb::object> tags;
    std::vector<double> values;
};

// The working storage of a step, kept between steps so that a step
// allocates nothing once it has run.
struct Scratch {
    std::vector<nb::object> records; // the bank as the step began
    std::vector<LocalPlant*> fields; // their fields, once checked (null until then)
    std::vector<double> points;
    Kept kept[2];
    PlainInputs inputs; // the step's u and v, read once for every local plant
    bool read = false, plain = false;

    void release() {
        records.clear();
        fields.clear();
        read = false;
        for (Kept& k : kept) {
            k.index = static_cast<std::size_t>(-1);
            k.result = k.keys = nb::object();
            k.tags.clear();
        }
    }
};

struct PlantSim;
extern const Signature sig_call;
PyObject* sim_step(PlantSim& s, const Args& a);

struct PlantSim {
    vectorcallfunc call = vectorcall_slot<PlantSim, sig_call, sim_step>;
    nb::list plant_list;
    nb::dict ini_value_dict;
    double working_value = 0.0;
    nb::dict u_dict, y_dict;
    std::unique_ptr<Scratch> scratch = std::make_unique<Scratch>(); // null while a step runs
    // Set while an operation runs: its walks over the bank call into Python
    // (working points, identifiers, tags and plants are caller objects).
    bool busy = false;
    // A step's MV entries, and those the bank knows (scratch).
    std::vector<std::pair<nb::object, nb::object>> entries;
    std::vector<const std::pair<nb::object, nb::object>*> picked;
};

LocalPlant& record(nb::handle h) {
    if (!PyObject_TypeCheck(h.ptr(), reinterpret_cast<PyTypeObject*>(local_plant_type.ptr())) ||
        !nb::inst_ready(h))
        throw nb::type_error("plant_list holds an object that is not an LPVLocalPlant");
    return *nb::inst_ptr<LocalPlant>(h);
}

nb::object ini_value(const PlantSim& s, nb::handle tag) {
    PyObject* v = dict_get(s.ini_value_dict.ptr(), tag.ptr());
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) raise();
    return nb::borrow(zero_weight);
}

// The bank as it is now. Walks over the bank call into Python (working
// points, identifiers and plants are caller objects), which may change
// plant_list or drop records: the copy keeps every record alive and in place.
nb::list bank_of(const PlantSim& s) {
    return nb::borrow<nb::list>(checked(PyList_GetSlice(s.plant_list.ptr(), 0, PY_SSIZE_T_MAX)));
}

// The bank as the core's keeping rules see it: the records in plant_list,
// their fields read (and their identifiers compared) in Python. Walks over
// the bank call into Python code, which may change plant_list: each record
// is held while it is used, and an ordering works on a copy of the list.
struct Keeping {
    PlantSim& s;
    nb::list snapshot; // the bank as points() saw it

    std::size_t size() const {
        return static_cast<std::size_t>(PyList_GET_SIZE(s.plant_list.ptr()));
    }
    nb::object at(std::size_t i) const {
        return checked(PySequence_GetItem(s.plant_list.ptr(), static_cast<Py_ssize_t>(i)));
    }
    bool same_id(std::size_t i, nb::handle id) const {
        const nb::object rec = at(i);
        const nb::object own = record(rec).plant_id;
        return equal(own, id);
    }
    void remove(std::size_t i) {
        if (PySequence_DelItem(s.plant_list.ptr(), static_cast<Py_ssize_t>(i)) < 0) raise();
    }
    std::vector<double> points() {
        snapshot = bank_of(s);
        std::vector<double> out(static_cast<std::size_t>(PyList_GET_SIZE(snapshot.ptr())));
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = field_real(record(snapshot[i]).working_point);
        return out;
    }
    void keep(const std::vector<std::size_t>& order) {
        nb::list kept;
        for (std::size_t i : order)
            kept.append(snapshot[i]);
        s.plant_list = kept;
    }
    void insert_front(const nb::object& rec) {
        if (PyList_Insert(s.plant_list.ptr(), 0, rec.ptr()) < 0) raise();
    }

    nb::object make_record(nb::handle id, double wp, nb::handle model, nb::handle Ts) const {
        nb::object rec = local_plant_type();
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        r.plant_id = nb::borrow(id);
        r.working_point = nb::float_(wp);
        r.yu_model_tf = nb::borrow(model);
        r.Ts = nb::borrow(Ts);
        return rec;
    }
    nb::dict initial_values_copy() const {
        return nb::borrow<nb::dict>(deep_copy(s.ini_value_dict));
    }
    template <class F> void model_cvs(nb::handle model, F&& f) const {
        for (nb::handle cv : keys_of(nb::borrow(model)))
            f(cv);
    }
    void zero(nb::dict& values, nb::handle cv) const { values[cv] = nb::float_(0.0); }
    void build(const nb::object& rec, nb::handle model, const nb::dict& values,
               nb::handle Ts) const {
        nb::object plant = mimo_sim(model, nb::arg("ini_value_dict") = values, nb::arg("Ts") = Ts);
        record(rec).plant = std::move(plant);
    }
    template <class F> void plant_cvs(const nb::object& rec, F&& f) const {
        const nb::object plant = record(rec).plant;
        for (nb::handle cv : keys_of(plant.attr("get_output_data_dict")()))
            f(cv);
    }
    template <class F> void plant_mvs(const nb::object& rec, F&& f) const {
        const nb::object plant = record(rec).plant;
        for (nb::handle mv : keys_of(plant.attr("get_input_data_dict")()))
            f(mv);
    }
    void learn(nb::dict& ours, nb::handle tag) const {
        if (!ours.contains(tag)) ours[tag] = ini_value(s, tag);
    }
    void learn_cv(nb::handle tag) { learn(s.y_dict, tag); }
    void learn_mv(nb::handle tag) { learn(s.u_dict, tag); }
};

// The Python bank as lpv_step sees it, for one step with the caller's u and
// v. The results of the two neighbours are kept as mappings, as calling their
// plants would give them.
struct Bank {
    PlantSim& s;
    Scratch& w;
    PyObject *u, *v;
    Kept (&kept)[2] = w.kept;

    std::size_t size() const noexcept { return w.records.size(); }
    std::vector<double>& points_scratch() noexcept { return w.points; }
    LocalPlant& at(std::size_t i) const {
        LocalPlant*& f = w.fields[i];
        if (!f) f = &record(w.records[i]);
        return *f;
    }
    double point(std::size_t i) const { return field_real(at(i).working_point); }

    void advance(std::size_t i, bool keep) {
        nb::object plant = at(i).plant; // the call may replace the field
        PlantmodelsApi::Outputs out;
        if (!w.read) {
            w.plain = w.inputs.read(u, v);
            w.read = true;
        }
        int deferred = 1;
        if (w.plain) {
            const PlantmodelsApi::Inputs in = w.inputs.view();
            deferred = plants->mimo_step_inputs(plant.ptr(), &in, &out);
        }
        if (deferred < 0) raise();
        if (deferred == 0) {
            if (keep) {
                Kept& slot = kept[0].index == static_cast<std::size_t>(-1) ? kept[0] : kept[1];
                slot.index = i;
                slot.tags.clear();
                for (Py_ssize_t c = 0; c < out.n; ++c)
                    slot.tags.push_back(nb::borrow(out.tags[c]));
                slot.values.assign(out.values, out.values + out.n);
            }
            return;
        }
        w.read = false; // Python code from here on may change u or v
        nb::object result;
        const int native = plants->mimo_step(plant.ptr(), u, v);
        if (native < 0) raise();
        if (native == 0) {
            if (keep) result = checked(PyDict_Copy(plants->mimo_outputs(plant.ptr())));
        } else {
            PyObject* args[2] = {u, v};
            result = checked(PyObject_Vectorcall(plant.ptr(), args, 2, nullptr));
        }
        if (keep) {
            Kept& slot = kept[0].index == static_cast<std::size_t>(-1) ? kept[0] : kept[1];
            slot.index = i;
            slot.result = std::move(result);
        }
    }
    void set_weight(std::size_t i, double w) {
        nb::object& field = at(i).current_weight;
        if (w == 0.0)
            field = nb::borrow(zero_weight);
        else if (w == 1.0)
            field = nb::borrow(full_weight);
        else
            field = nb::float_(w);
    }
    Kept& result(std::size_t i) { return kept[0].index == i ? kept[0] : kept[1]; }
    // The CVs of a neighbour's result, in its key order.
    PyObject* keys(std::size_t k) {
        Kept& r = result(k);
        if (!r.keys.is_valid()) r.keys = checked(PyMapping_Keys(r.result.ptr()));
        return r.keys.ptr();
    }
    nb::handle key(std::size_t k, std::size_t c) {
        Kept& r = result(k);
        if (!r.result.is_valid()) return r.tags[c];
        return PyList_GET_ITEM(keys(k), static_cast<Py_ssize_t>(c));
    }
    std::size_t cvs(std::size_t k) {
        Kept& r = result(k);
        if (!r.result.is_valid()) return r.tags.size();
        return static_cast<std::size_t>(PyList_GET_SIZE(keys(k)));
    }
    double value_of(std::size_t i, nb::handle cv) {
        Kept& kept_i = result(i);
        if (!kept_i.result.is_valid()) {
            for (std::size_t c = 0; c < kept_i.tags.size(); ++c)
                if (kept_i.tags[c].ptr() == cv.ptr()) return kept_i.values[c];
            for (std::size_t c = 0; c < kept_i.tags.size(); ++c)
                if (equal(kept_i.tags[c], cv)) return kept_i.values[c];
            nb::object key = checked(PyTuple_Pack(1, cv.ptr())); // the KeyError of a lookup
            PyErr_SetObject(PyExc_KeyError, key.ptr());
            raise();
        }
        PyObject* r = kept_i.result.ptr();
        if (PyDict_CheckExact(r)) {
            PyObject* y = dict_get(r, cv.ptr());
            if (y && PyFloat_CheckExact(y)) return PyFloat_AS_DOUBLE(y);
            if (!y && PyErr_Occurred()) raise();
        }
        // A KeyError names the tag when the plant lacks it.
        return field_real(checked(PyObject_GetItem(r, cv.ptr())));
    }
    double output(std::size_t k, std::size_t c) { return value_of(k, key(k, c)); }
    double upper_output(std::size_t i, std::size_t c, std::size_t k) {
        return value_of(i, key(k, c));
    }
    double ini(std::size_t k, std::size_t c) { return field_real(ini_value(s, key(k, c))); }
    void write(std::size_t k, std::size_t c, double y) {
        if (store_float(s.y_dict.ptr(), key(k, c).ptr(), y) < 0) raise();
    }
};

nb::dict step(PlantSim& s, const Args& a) {
    s.working_value = a.num(0);
    PyObject *u = a.obj(1), *v = a.obj(2);
    // Only MVs the bank already knows are taken; u must offer items(). The
    // entries are held: hashing a tag may run code that changes u.
    auto& entries = s.entries;
    struct Drop {
        std::vector<std::pair<nb::object, nb::object>>& held;
        ~Drop() { held.clear(); }
    } drop{entries};
    if (PyDict_CheckExact(u)) {
        PyObject *tag, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(u, &pos, &tag, &value))
            entries.emplace_back(nb::borrow(tag), nb::borrow(value));
    } else {
        nb::object items = checked(PyObject_CallMethod(u, "items", nullptr));
        for (nb::handle kv : items)
            entries.emplace_back(kv[0], kv[1]);
    }
    const nb::object ours = s.u_dict;
    korvel::lpv::take_known_inputs(
        entries, s.picked,
        [&](const nb::object& tag) {
            PyObject* held = dict_get(ours.ptr(), tag.ptr());
            if (!held && PyErr_Occurred()) raise();
            return held != nullptr;
        },
        [&](const nb::object& tag, const nb::object& value) {
            // Storing the value a tag already holds would change nothing.
            PyObject* held = dict_get(ours.ptr(), tag.ptr());
            if (!held && PyErr_Occurred()) raise();
            if (held != value.ptr() && PyDict_SetItem(ours.ptr(), tag.ptr(), value.ptr()) < 0)
                raise();
        });
    // A step the step's own Python calls start runs on storage of its own.
    std::unique_ptr<Scratch> mine = s.scratch ? std::move(s.scratch) : std::make_unique<Scratch>();
    struct Done {
        PlantSim& s;
        std::unique_ptr<Scratch>& w;
        ~Done() {
            w->release();
            if (!s.scratch) s.scratch = std::move(w);
        }
    } done{s, mine};
    // Walks over the bank call into Python, which may change plant_list or
    // drop records: the step holds every record it started with.
    PyObject* list = s.plant_list.ptr();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        mine->records.push_back(nb::borrow(PyList_GET_ITEM(list, i)));
    mine->fields.assign(mine->records.size(), nullptr);
    Bank bank{s, *mine, u, v};
    korvel::lpv_step(bank, s.working_value);
    return nb::borrow<nb::dict>(copy_mapping(s.y_dict));
}

// ---- LPVLocalPlant --------------------------------------------------------

const Signature sig_lp_init("__init__", {});

void local_plant_init(PyObject* self, const Args&) {
    emplace<LocalPlant>(self);
}

// ---- LPVPlantSim ----------------------------------------------------------

const Signature sig_init("__init__", {object("ini_value_dict", "{}")});
extern const Signature sig_call("__call__", {real("working_value"), object("u_Value_Dict", "{}"),
                                             object("v_Value_Dict", "{}")});
const Signature sig_run("run", {real("working_value"), object("u_Value_Dict", "{}"),
                                object("v_Value_Dict", "{}")});
const Signature sig_add("addPlant", {integer("plant_id"), real("working_point"),
                                     dict("yu_model_tf"), integer("Ts")});
const Signature sig_del("delPlant", {integer("plant_id")});
const Signature sig_sort("_sort_plant_list_by_working_point", {});
const Signature sig_plant_dict("get_plant_dict", {});
const Signature sig_weights("get_current_plant_weight_dict", {});
const Signature sig_cv("get_cv_list", {});
const Signature sig_mv("get_mv_list", {});
const Signature sig_in("get_input_data_dict", {});
const Signature sig_out("get_output_data_dict", {});
const Signature sig_all("get_all_data_dict", {});
const Signature sig_plot("plot_model_stp", {object("plant_id"), object("plotLen", "300")});

void sim_init(PyObject* self, const Args& a) {
    nb::object ini = deep_copy(a.obj(0));
    if (!PyDict_Check(ini.ptr())) {
        // Any other mapping is kept as a dict of its items.
        nb::object mapping = import_attr("collections.abc", "Mapping");
        if (!nb::isinstance(ini, mapping)) {
            raise_arg_type("ini_value_dict", &PyDict_Type, a.obj(0));
            raise();
        }
        nb::object items = std::move(ini);
        ini = checked(PyDict_New());
        if (PyDict_Merge(ini.ptr(), items.ptr(), 1) < 0) raise();
    }
    PlantSim s;
    s.ini_value_dict = nb::borrow<nb::dict>(ini);
    emplace<PlantSim>(self, std::move(s));
}

PyObject* sim_step(PlantSim& s, const Args& a) {
    return step(s, a).release().ptr();
}

void sim_add(PlantSim& s, const Args& a) {
    Keeping k{s, {}};
    korvel::lpv::add_plant(k, nb::handle(a.obj(0)), a.num(1), nb::handle(a.obj(2)),
                           nb::handle(a.obj(3)));
}

void sim_del(PlantSim& s, const Args& a) {
    Keeping k{s, {}};
    korvel::lpv::del_plant(k, nb::handle(a.obj(0)));
}

void sort_now(PlantSim& s, const Args&) {
    Keeping k{s, {}};
    korvel::lpv::sort_bank(k);
}

nb::object plant_dict(PlantSim& s, const Args&) {
    nb::dict d;
    for (nb::handle h : bank_of(s))
        d[record(h).plant_id] = h;
    return d;
}

nb::object weight_dict(PlantSim& s, const Args&) {
    nb::dict d;
    for (nb::handle h : bank_of(s)) {
        nb::object id = record(h).plant_id;
        d[id] = record(h).current_weight;
    }
    return d;
}

nb::object cv_list(PlantSim& s, const Args&) {
    return checked(PyDict_Keys(s.y_dict.ptr()));
}
nb::object mv_list(PlantSim& s, const Args&) {
    return checked(PyDict_Keys(s.u_dict.ptr()));
}
nb::object input_dict(PlantSim& s, const Args&) {
    return copy_mapping(s.u_dict);
}
nb::object output_dict(PlantSim& s, const Args&) {
    return copy_mapping(s.y_dict);
}
nb::object all_dict(PlantSim& s, const Args&) {
    nb::object d = copy_mapping(s.u_dict);
    if (PyDict_Update(d.ptr(), copy_mapping(s.y_dict).ptr()) < 0) raise();
    return d;
}

nb::object sim_plot(PlantSim& s, const Args& a) {
    for (nb::handle h : bank_of(s)) {
        nb::object id = record(h).plant_id;
        if (!equal(id, a.obj(0))) continue;
        nb::object plant = record(h).plant;
        return plant.attr("plot_model_stp")(nb::handle(a.obj(1)));
    }
    return nb::none();
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

// A field holding a dict (or a subclass of dict).
template <nb::dict PlantSim::* Member>
void def_dict_field(nb::class_<PlantSim>& cls, const char* name, const char* doc = "") {
    def_field<PlantSim>(
        cls, name, [](PlantSim& s) { return s.*Member; },
        [name](PlantSim& s, nb::handle v) {
            s.*Member = nb::borrow<nb::dict>(field_kind(v, name, &PyDict_Type));
        },
        doc);
}

} // namespace

NB_MODULE(gainsched, m) {
    namespace doc = korvel::docstrings::gainsched;
    m.doc() = doc::module;
    mimo_sim = import_attr("korvel.algorithm.plantmodels", "MIMOSim").release();
    plants = import_api<PlantmodelsApi>();
    zero_weight = nb::float_(0.0).release();
    full_weight = nb::float_(1.0).release();

    static PyType_Slot local_plant_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_lp_init, local_plant_init>)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<LocalPlant>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<LocalPlant>)},
        {0, nullptr}};
    nb::class_<LocalPlant> lp(m, "LPVLocalPlant", nb::type_slots(local_plant_slots),
                              sig_lp_init.class_doc("LPVLocalPlant", doc::LPVLocalPlant));
    def_object_field<LocalPlant, &LocalPlant::plant_id>(lp, "plant_id", doc::plant_id);
    def_object_field<LocalPlant, &LocalPlant::working_point>(lp, "working_point",
                                                             doc::working_point);
    def_object_field<LocalPlant, &LocalPlant::plant>(lp, "plant", doc::plant);
    def_object_field<LocalPlant, &LocalPlant::yu_model_tf>(lp, "yu_model_tf", doc::yu_model_tf);
    def_object_field<LocalPlant, &LocalPlant::Ts>(lp, "Ts", doc::lp_Ts);
    def_object_field<LocalPlant, &LocalPlant::current_weight>(lp, "current_weight",
                                                              doc::current_weight);
    def_record_pickle<LocalPlant>(lp, "LPVLocalPlant", "LPVLocalPlant");
    local_plant_type = lp;

    static PyType_Slot sim_slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_init, sim_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<PlantSim, sig_call, sim_step>)},
        {Py_tp_methods,
         methods({
             method<PlantSim, sig_run, sim_step>(doc::run),
             method<PlantSim, sig_add, sim_add>(doc::addPlant),
             method<PlantSim, sig_del, sim_del>(doc::delPlant),
             method<PlantSim, sig_sort, sort_now>(doc::sort),
             method<PlantSim, sig_plant_dict, plant_dict>(doc::get_plant_dict),
             method<PlantSim, sig_weights, weight_dict>(doc::get_current_plant_weight_dict),
             method<PlantSim, sig_cv, cv_list>(doc::get_cv_list),
             method<PlantSim, sig_mv, mv_list>(doc::get_mv_list),
             method<PlantSim, sig_in, input_dict>(doc::get_input_data_dict),
             method<PlantSim, sig_out, output_dict>(doc::get_output_data_dict),
             method<PlantSim, sig_all, all_dict>(doc::get_all_data_dict),
             method<PlantSim, sig_plot, sim_plot>(doc::plot_model_stp),
         })},
        {Py_tp_traverse, reinterpret_cast<void*>(sim_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(sim_clear)},
        {0, nullptr}};
    nb::class_<PlantSim> sim(m, "LPVPlantSim", nb::type_slots(sim_slots),
                             sig_init.class_doc("LPVPlantSim", doc::LPVPlantSim));
    enable_vectorcall<PlantSim>(sim);
    def_call_doc(sim, sig_call, doc::call);
    def_field<PlantSim>(
        sim, "plant_list", [](PlantSim& s) { return s.plant_list; },
        [](PlantSim& s, nb::handle v) {
            s.plant_list = nb::borrow<nb::list>(field_kind(v, "plant_list", &PyList_Type));
        },
        doc::plant_list);
    def_dict_field<&PlantSim::ini_value_dict>(sim, "ini_value_dict", doc::ini_value_dict);
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
            emplace<PlantSim>(self.ptr(), PlantSim{vectorcall_slot<PlantSim, sig_call, sim_step>,
                                                   nb::borrow<nb::list>(t[0]),
                                                   nb::borrow<nb::dict>(t[1]),
                                                   field_real(t[2]),
                                                   nb::borrow<nb::dict>(t[3]),
                                                   nb::borrow<nb::dict>(t[4]),
                                                   {},
                                                   false,
                                                   {},
                                                   {}});
        });
}
