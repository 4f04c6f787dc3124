// MIMOSimBank: n MIMOSims of the same tags stepped in one call. Each lane is
// built by MIMOSim itself from its model dictionary and kept as that
// simulator, never stepped (lanes built from one dictionary at one period
// share it); the core's MimoBank steps the lanes' models. A lane becomes a
// MIMOSim again as a copy of its simulator with the lane's states and values.
#include <korvel/mimo_bank.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "algorithm/plantmodels.hpp"
#include "docstrings/plantmodels.hpp"
#include "pyglue/calldoc.hpp"
#include "pyglue/lanes.hpp"

namespace korvel::plantmodels {

namespace {

struct BankObj {
    static constexpr const char* name = "MIMOSimBank";
    using Lane = nb::object; // a copy of the simulator a lane is made

    korvel::MimoBank core{0, 0, {}};
    // Lane l's simulator as MIMOSim built it (or as bank[l] = sim gave it).
    std::vector<nb::object> sims;
    nb::object cv_list, mv_list;   // every lane's tags
    nb::object mv_index, cv_index; // {tag: position}
    bool busy = false;

    template <class F> void for_each_object(F&& f) {
        f(cv_list);
        f(mv_list);
        f(mv_index);
        f(cv_index);
        for (auto& o : sims)
            f(o);
    }

    // bank[i], and bank[i] = sim (lanes.hpp).
    nb::object lane(std::size_t i) const;
    static Lane read(nb::handle value);
    void put(std::size_t i, const Lane& sim);
};

const Signature sig_bank_init("__init__", {object("process_model_dicts"),
                                           object("ini_value_dict", "{}"), object("Ts", "1")});
const Signature sig_bank_call("__call__",
                              {object("u_Value_Dict", "{}"), object("v_Value_Dict", "{}")});
const Signature sig_none_reset("reset", {});
const Signature sig_none_tags("get_process_tags", {});
const Signature sig_none_input("get_input_data_dict", {});
const Signature sig_none_output("get_output_data_dict", {});
const Signature sig_none_all("get_all_data_dict", {});
const Signature sig_none_cvs("get_cv_list", {});
const Signature sig_none_mvs("get_mv_list", {});
const Signature sig_none_models("get_model_dict", {});

// The simulator behind a MIMOSim (or subclass) instance; TypeError otherwise.
MimoObj& sim_of(nb::handle o) {
    if (!PyObject_TypeCheck(o.ptr(), types.mimo) || !nb::inst_ready(o))
        raise_format(PyExc_TypeError, "a lane of a MIMOSimBank takes a MIMOSim, not %.200s",
                     Py_TYPE(o.ptr())->tp_name);
    return *nb::inst_ptr<MimoObj>(o);
}

nb::list as_list(nb::handle seq) {
    return nb::borrow<nb::list>(checked(PySequence_List(seq.ptr())));
}

// A simulator's models in the bank's order, held while the core reads them
// (a tag's lookup runs Python code, which could release them).
struct Models {
    std::vector<nb::object> held;
    std::vector<std::vector<PairModel*>> rows;
};

Models models_of(const nb::object& sim, const BankObj& b) {
    const nb::object yu = sim_of(sim).yu_model_obj;
    Models m;
    for (nb::handle cv : b.cv_list) {
        nb::object row = item(yu, cv.ptr());
        m.rows.emplace_back();
        for (nb::handle mv : b.mv_list) {
            nb::object model = item(row, mv.ptr());
            PairModel* k = direct(model.ptr());
            if (!k)
                raise_format(PyExc_TypeError,
                             "a MIMOSimBank steps the library's own pair models, not %.200s",
                             Py_TYPE(model.ptr())->tp_name);
            m.rows.back().push_back(k);
            m.held.push_back(std::move(model));
        }
    }
    return m;
}

// ValueError unless the simulator of lane l has the bank's tags.
void require_tags(const nb::object& sim, const BankObj& b, std::size_t l) {
    MimoObj& s = sim_of(sim);
    const nb::object cvs = s.cv_list, mvs = s.mv_list;
    const int same_cvs = PyObject_RichCompareBool(cvs.ptr(), b.cv_list.ptr(), Py_EQ);
    if (same_cvs < 0) raise();
    const int same_mvs = same_cvs ? PyObject_RichCompareBool(mvs.ptr(), b.mv_list.ptr(), Py_EQ) : 0;
    if (same_mvs < 0) raise();
    if (!same_mvs)
        raise_format(PyExc_ValueError,
                     "every lane of a MIMOSimBank needs the CV tags %R and the MV tags %R "
                     "(lane 0's), in that order; lane %zu has %R and %R",
                     b.cv_list.ptr(), b.mv_list.ptr(), l, cvs.ptr(), mvs.ptr());
}

// {tag: its position}, the first position of a tag listed twice.
nb::object index_of(const nb::object& tags) {
    nb::dict index;
    Py_ssize_t k = 0;
    for (nb::handle tag : tags)
        if (PyDict_SetDefault(index.ptr(), tag.ptr(), nb::int_(k++).ptr()) == nullptr) raise();
    return index;
}

// The bank's tags from lane 0's simulator (none for no lanes).
void take_tags(BankObj& b) {
    if (b.sims.empty()) {
        b.cv_list = nb::list(), b.mv_list = nb::list();
    } else {
        MimoObj& s = sim_of(b.sims[0]);
        b.cv_list = as_list(s.cv_list), b.mv_list = as_list(s.mv_list);
    }
    b.mv_index = index_of(b.mv_list);
    b.cv_index = index_of(b.cv_list);
}

// Values per tag and lane: [tag][lane].
using Values = std::vector<std::vector<double>>;

// The lanes of the simulators with these values (and states, where given:
// [lane][cv][mv]), into the core.
korvel::MimoBank make_core(BankObj& b, const Values& u_ini, const Values& y_ini, const Values& u,
                           const Values& y,
                           std::vector<std::vector<std::vector<std::vector<double>>>> zi = {}) {
    const std::size_t n = b.sims.size(), cvs = nb::len(b.cv_list), mvs = nb::len(b.mv_list);
    std::vector<Models> held;
    std::vector<korvel::MimoBank::Lane> lanes(n);
    for (std::size_t l = 0; l < n; ++l) {
        require_tags(b.sims[l], b, l);
        held.push_back(models_of(b.sims[l], b));
    }
    for (std::size_t l = 0; l < n; ++l) {
        auto& lane = lanes[l];
        for (const auto& row : held[l].rows)
            lane.models.emplace_back(row.begin(), row.end());
        for (std::size_t j = 0; j < mvs; ++j)
            lane.u_ini.push_back(u_ini[j][l]), lane.u.push_back(u[j][l]);
        for (std::size_t r = 0; r < cvs; ++r)
            lane.y_ini.push_back(y_ini[r][l]), lane.y.push_back(y[r][l]);
        if (!zi.empty()) lane.zi = std::move(zi[l]);
    }
    return korvel::MimoBank(cvs, mvs, lanes);
}

// The initial values of the tags for every lane, from ini_value_dict
// (a number for all lanes or one per lane; 0.0 for a tag it lacks).
Values initial_values(nb::handle ini, const nb::object& tags, std::size_t n) {
    Values v;
    for (nb::handle tag : tags) {
        nb::object value = get_or(nb::borrow(ini), tag, names.fzero);
        nb::str name =
            nb::borrow<nb::str>(checked(PyUnicode_FromFormat("ini_value_dict[%R]", tag.ptr())));
        const LaneValues lv(value, n, name.c_str());
        std::vector<double> row(n);
        for (std::size_t l = 0; l < n; ++l)
            row[l] = lv.lanes()[l];
        v.push_back(std::move(row));
    }
    return v;
}

void bank_init(PyObject* self, const Args& a) {
    if (PyDict_Check(a.obj(0)))
        raise_format(PyExc_TypeError,
                     "process_model_dicts takes one model dictionary per lane (a list of dicts), "
                     "not a dict");
    const nb::object dicts =
        checked(PySequence_Fast(a.obj(0), "process_model_dicts must be a sequence of dicts"));
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(dicts.ptr()));
    nb::object ini = a.given(1) ? nb::borrow(a.obj(1)) : nb::object(nb::dict());
    const LaneValues Ts(a.obj(2), n, "Ts");
    const bool shared_Ts = Ts.lanes().stride == 0;
    BankObj b;
    // Lanes built from one dictionary at one period share their simulator.
    std::map<std::pair<PyObject*, double>, std::size_t> built;
    nb::handle mimo(reinterpret_cast<PyObject*>(types.mimo));
    for (std::size_t l = 0; l < n; ++l) {
        PyObject* d = PySequence_Fast_GET_ITEM(dicts.ptr(), static_cast<Py_ssize_t>(l));
        const auto key = std::make_pair(d, Ts.lanes()[l]);
        if (auto it = built.find(key); it != built.end()) {
            b.sims.push_back(b.sims[it->second]);
            continue;
        }
        nb::object period =
            shared_Ts && (PyLong_CheckExact(a.obj(2)) || PyFloat_CheckExact(a.obj(2)))
                ? nb::borrow(a.obj(2))
                : nb::object(nb::float_(key.second));
        b.sims.push_back(mimo(nb::handle(d), nb::dict(), period));
        built.emplace(key, l);
    }
    take_tags(b);
    const Values u_ini = initial_values(ini, b.mv_list, n),
                 y_ini = initial_values(ini, b.cv_list, n);
    b.core = make_core(b, u_ini, y_ini, u_ini, y_ini);
    emplace<BankObj>(self, std::move(b));
}

// Calls fn(tag, value) for the items of a tag mapping, each held while used.
template <class F> void for_items(PyObject* m, F&& fn) {
    if (PyDict_CheckExact(m)) {
        // A copy: the callbacks may change the caller's dict.
        const nb::object d = checked(PyDict_Copy(m));
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d.ptr(), &pos, &k, &v))
            fn(nb::borrow(k), nb::borrow(v));
        return;
    }
    nb::object pairs = items_of(nb::borrow(m));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.ptr()); ++i) {
        auto pair = unpack(PySequence_Fast_GET_ITEM(pairs.ptr(), i), 2);
        fn(pair[0], pair[1]);
    }
}

// The values of a tag mapping for the tags `index` names, converted; other
// tags are ignored, and a tag given twice takes its last value.
std::vector<std::unique_ptr<LaneValues>> lane_inputs(PyObject* m, const nb::object& index,
                                                     std::size_t tags, std::size_t n,
                                                     const char* what) {
    std::vector<std::unique_ptr<LaneValues>> v(tags);
    for_items(m, [&](const nb::object& tag, const nb::object& value) {
        PyObject* pos = PyDict_GetItemWithError(index.ptr(), tag.ptr());
        if (!pos) {
            if (PyErr_Occurred()) raise();
            return;
        }
        const nb::object hold = nb::borrow(pos);
        nb::str name =
            nb::borrow<nb::str>(checked(PyUnicode_FromFormat("%s[%R]", what, tag.ptr())));
        v[PyLong_AsSize_t(pos)] = std::make_unique<LaneValues>(value, n, name.c_str());
    });
    return v;
}

// {tag: array of the lanes' values}, for the tags in order.
template <class Get> nb::dict lane_dict(const nb::object& tags, std::size_t n, Get get) {
    nb::dict d;
    std::size_t k = 0;
    for (nb::handle tag : tags) {
        double* out;
        nb::object values = lane_array(n, out);
        const double* v = get(k++);
        std::copy(v, v + n, out);
        d[tag] = values;
    }
    return d;
}

nb::object bank_outputs(BankObj& b, const Args& = {}) {
    return lane_dict(b.cv_list, b.core.size(), [&](std::size_t r) { return b.core.outputs(r); });
}

nb::object bank_inputs(BankObj& b, const Args& = {}) {
    return lane_dict(b.mv_list, b.core.size(), [&](std::size_t j) { return b.core.inputs(j); });
}

PyObject* bank_call(BankObj& b, const Args& a) {
    const std::size_t n = b.core.size();
    const auto u = lane_inputs(a.obj(0), b.mv_index, b.core.mvs(), n, "u_Value_Dict");
    const auto v = lane_inputs(a.obj(1), b.cv_index, b.core.cvs(), n, "v_Value_Dict");
    std::vector<korvel::Lanes> ul, vl;
    for (const auto& x : u)
        ul.push_back(x ? x->lanes() : korvel::Lanes{nullptr, 0});
    for (const auto& x : v)
        vl.push_back(x ? x->lanes() : korvel::Lanes{nullptr, 0});
    b.core.step(ul.data(), vl.data());
    return bank_outputs(b).release().ptr();
}

void bank_reset(BankObj& b, const Args&) {
    b.core.reset();
}

nb::object bank_tags(BankObj& b, const Args&) {
    nb::list all = as_list(b.cv_list);
    for (nb::handle mv : b.mv_list)
        all.append(mv);
    return all;
}

nb::object bank_all(BankObj& b, const Args&) {
    nb::dict d = nb::borrow<nb::dict>(bank_inputs(b));
    nb::object y = bank_outputs(b);
    if (PyDict_Update(d.ptr(), y.ptr()) < 0) raise();
    return d;
}

nb::object bank_cvs(BankObj& b, const Args&) {
    return as_list(b.cv_list);
}

nb::object bank_mvs(BankObj& b, const Args&) {
    return as_list(b.mv_list);
}

nb::object bank_models(BankObj& b, const Args&) {
    const std::vector<nb::object> sims = b.sims;
    nb::list out;
    for (const nb::object& s : sims)
        out.append(deep_copy(sim_of(s).process_model_dict));
    return out;
}

// Lane i's values of the tags, as {tag: float}.
template <class Get> nb::dict lane_values(const nb::object& tags, std::size_t i, Get get) {
    nb::dict d;
    std::size_t k = 0;
    for (nb::handle tag : tags)
        d[tag] = nb::float_(get(k++)[i]);
    return d;
}

// bank[i]: a MIMOSim that continues as lane i would.
nb::object BankObj::lane(std::size_t i) const {
    const auto& c = core;
    nb::dict ini = lane_values(mv_list, i, [&](std::size_t j) { return c.input_initial(j); });
    nb::dict y_ini = lane_values(cv_list, i, [&](std::size_t r) { return c.output_initial(r); });
    if (PyDict_Update(ini.ptr(), y_ini.ptr()) < 0) raise();
    nb::dict u = lane_values(mv_list, i, [&](std::size_t j) { return c.inputs(j); });
    nb::dict y = lane_values(cv_list, i, [&](std::size_t r) { return c.outputs(r); });
    std::vector<std::vector<std::vector<double>>> zi(c.cvs());
    for (std::size_t r = 0; r < c.cvs(); ++r)
        for (std::size_t j = 0; j < c.mvs(); ++j)
            zi[r].push_back(c.state(i, r, j));
    nb::object sim = deep_copy(sims[i]);
    MimoObj& s = sim_of(sim);
    s.ini_value_dict = ini;
    sim.attr("reset")();
    const Models m = models_of(sim, *this);
    for (std::size_t r = 0; r < zi.size(); ++r)
        for (std::size_t j = 0; j < zi[r].size(); ++j)
            if (auto* tf = dynamic_cast<TfModel*>(m.rows[r][j])) tf->set_zi(zi[r][j]);
    sim.attr("_u_dict") = u;
    sim.attr("_y_dict") = y;
    return sim;
}

// A number of a simulator's mapping, as its step would read it.
double number_of(const nb::object& m, nb::handle tag) {
    const nb::object v = get_or(m, tag, names.fzero);
    double x;
    if (!to_double(v.ptr(), x)) raise();
    return x;
}

nb::object BankObj::read(nb::handle value) {
    sim_of(value);
    return deep_copy(value);
}

// bank[i] = sim: lane i becomes that simulator.
void BankObj::put(std::size_t i, const Lane& sim) {
    require_tags(sim, *this, i);
    MimoObj& s = sim_of(sim);
    const nb::object ini = s.ini_value_dict;
    make_dicts(s);
    const nb::object u_dict = s.u_dict, y_dict = s.y_dict;
    korvel::MimoBank::Lane lane;
    for (nb::handle mv : mv_list) {
        lane.u_ini.push_back(number_of(ini, mv));
        lane.u.push_back(number_of(u_dict, mv));
    }
    for (nb::handle cv : cv_list) {
        lane.y_ini.push_back(number_of(ini, cv));
        lane.y.push_back(number_of(y_dict, cv));
    }
    const Models m = models_of(sim, *this);
    for (const auto& row : m.rows)
        lane.models.emplace_back(row.begin(), row.end());
    core.set_lane(i, lane);
    // The old simulator is released once the lane is whole.
    const nb::object old = std::exchange(sims[i], sim);
}

// The values of every lane per tag, as a saved state keeps them.
nb::bytes pack_values(std::size_t tags, std::size_t n,
                      const double* (*get)(const korvel::MimoBank&, std::size_t),
                      const korvel::MimoBank& c) {
    std::vector<double> all;
    for (std::size_t k = 0; k < tags; ++k) {
        const double* v = get(c, k);
        all.insert(all.end(), v, v + n);
    }
    return pack_lanes(all);
}

Values unpack_values(nb::handle bytes, std::size_t tags, std::size_t n) {
    const std::vector<double> all = unpack_lanes(bytes, tags * n, "MIMOSimBank");
    Values v(tags);
    for (std::size_t k = 0; k < tags; ++k)
        v[k].assign(all.begin() + static_cast<std::ptrdiff_t>(k * n),
                    all.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
    return v;
}

void def_bank(nb::module_& m) {
    namespace doc = korvel::docstrings::plantmodels;
    const auto slots = bank_slots<BankObj>({
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bank_init, bank_init>)},
        {Py_tp_call, reinterpret_cast<void*>(call_slot<BankObj, sig_bank_call, bank_call>)},
        {Py_tp_methods,
         methods({
             method<BankObj, sig_none_reset, bank_reset>(doc::bank_reset),
             method<BankObj, sig_none_tags, bank_tags>(doc::bank_get_process_tags),
             method<BankObj, sig_none_input, bank_inputs>(doc::bank_get_input_data_dict),
             method<BankObj, sig_none_output, bank_outputs>(doc::bank_get_output_data_dict),
             method<BankObj, sig_none_all, bank_all>(doc::bank_get_all_data_dict),
             method<BankObj, sig_none_cvs, bank_cvs>(doc::bank_get_cv_list),
             method<BankObj, sig_none_mvs, bank_mvs>(doc::bank_get_mv_list),
             method<BankObj, sig_none_models, bank_models>(doc::bank_get_model_dict),
         })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<BankObj>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_objects<BankObj>)},
    });
    nb::class_<BankObj> cls(m, "MIMOSimBank", nb::type_slots(slots.data()),
                            sig_bank_init.class_doc("MIMOSimBank", doc::MIMOSimBank));
    def_call_doc(cls, sig_bank_call, doc::bank_call);
    // State: every lane's simulator (shared ones once), then as bytes the
    // initial and current values per tag and lane and every lane's model
    // states in pair order.
    def_pickle<BankObj>(
        cls, "MIMOSimBank",
        [](BankObj& b) {
            const auto& c = b.core;
            const std::size_t n = c.size();
            std::vector<double> zi;
            for (std::size_t l = 0; l < n; ++l)
                for (std::size_t r = 0; r < c.cvs(); ++r)
                    for (std::size_t j = 0; j < c.mvs(); ++j) {
                        const auto z = c.state(l, r, j);
                        zi.insert(zi.end(), z.begin(), z.end());
                    }
            nb::list sims;
            for (const nb::object& s : b.sims)
                sims.append(s);
            return nb::make_tuple(
                sims,
                pack_values(
                    c.mvs(), n,
                    [](const korvel::MimoBank& k, std::size_t j) { return k.input_initial(j); }, c),
                pack_values(
                    c.cvs(), n,
                    [](const korvel::MimoBank& k, std::size_t r) { return k.output_initial(r); },
                    c),
                pack_values(
                    c.mvs(), n,
                    [](const korvel::MimoBank& k, std::size_t j) { return k.inputs(j); }, c),
                pack_values(
                    c.cvs(), n,
                    [](const korvel::MimoBank& k, std::size_t r) { return k.outputs(r); }, c),
                pack_lanes(zi));
        },
        [](nb::handle self, const nb::tuple& state) {
            if (state.size() != 6) throw nb::value_error("invalid MIMOSimBank state");
            BankObj b;
            for (nb::handle s : state_as<nb::list>(state[0], "MIMOSimBank"))
                b.sims.push_back(nb::borrow(s));
            for (const nb::object& s : b.sims)
                sim_of(s);
            take_tags(b);
            const std::size_t n = b.sims.size(), cvs = nb::len(b.cv_list), mvs = nb::len(b.mv_list);
            const Values u_ini = unpack_values(state[1], mvs, n),
                         y_ini = unpack_values(state[2], cvs, n);
            const Values u = unpack_values(state[3], mvs, n), y = unpack_values(state[4], cvs, n);
            // The states' lengths are those of the lanes' models.
            std::vector<std::vector<std::vector<std::vector<double>>>> zi(n);
            std::vector<std::size_t> sizes;
            for (std::size_t l = 0; l < n; ++l) {
                const Models m = models_of(b.sims[l], b);
                for (const auto& row : m.rows)
                    for (const PairModel* model : row) {
                        const auto* tf = dynamic_cast<const TfModel*>(model);
                        sizes.push_back(tf ? tf->state_size() : 0);
                    }
            }
            std::size_t total = 0;
            for (std::size_t len : sizes)
                total += len;
            const std::vector<double> flat = unpack_lanes(state[5], total, "MIMOSimBank");
            auto next = flat.begin();
            auto len = sizes.begin();
            for (std::size_t l = 0; l < n; ++l)
                for (std::size_t r = 0; r < cvs; ++r) {
                    zi[l].emplace_back();
                    for (std::size_t j = 0; j < mvs; ++j, ++len) {
                        zi[l][r].emplace_back(next, next + static_cast<std::ptrdiff_t>(*len));
                        next += static_cast<std::ptrdiff_t>(*len);
                    }
                }
            b.core = make_core(b, u_ini, y_ini, u, y, std::move(zi));
            emplace<BankObj>(self.ptr(), std::move(b));
        });
}

} // namespace

void def_simulator_bank(nb::module_& m) {
    def_bank(m);
}

} // namespace korvel::plantmodels
