// A linear-parameter-varying plant: a bank of local MIMO plants, each valid
// at one working point, blended by the working value.
//
// The bank is kept in ascending order of working point without ties (the
// plant inserted last wins a tie, bank_order). One step advances every local
// plant, whatever its weight, and interpolates linearly between the two
// plants around the working value (np.interp on the scale of positions):
//   y[cv] = (w1 * y_lower[cv] + w2 * y_upper[cv]) + ini[cv],  w1 = 1 - w2,
// or y_lower[cv] + ini[cv] alone on a working point, outside the range of
// working points (no extrapolation) or with a single plant. Only the CVs of
// the lower plant are rewritten. lpv_step is that step; the C++ plant below
// and the Python simulator both run it over their own banks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "mimo.hpp"
#include "npmath.hpp"

#include "assert.hpp"

namespace korvel {

namespace lpv {

// Positions (into `points`) of the plants that stay in the bank, in ascending
// order of working point: of equal working points the one at the lowest
// position wins (a new plant is inserted at position 0, so the newest wins).
// NaN working points sort last and count as equal to each other, so at most
// one NaN plant stays; it takes part in no interpolation (see blend_weights).
inline std::vector<std::size_t> bank_order(const std::vector<double>& points) {
    std::vector<std::size_t> idx(points.size());
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    auto less = [&](std::size_t i, std::size_t j) {
        const double a = points[i], b = points[j];
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a < b;
    };
    std::stable_sort(idx.begin(), idx.end(), less);
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < idx.size(); ++k)
        if (k == 0 || less(idx[k - 1], idx[k])) kept.push_back(idx[k]);
    return kept;
}

// Fractional index of `x` on the ascending, distinct sample points xp[0..n)
// with values 0, 1, ..., n-1, as np.interp computes it. Requires n >= 1.
inline double fractional_index(const double* xp, std::size_t n, double x) {
    KORVEL_ASSERT(n >= 1);
    return npmath::interp_at(x, xp, n, [](std::size_t j) { return static_cast<double>(j); });
}

struct Weights {
    std::size_t id1, id2; // lower and upper neighbour
    double w1, w2;        // their shares, w1 = 1 - w2
};

// Neighbours and shares for a fractional index (not NaN).
inline Weights weights(double index) {
    const double lo = std::floor(index), hi = std::ceil(index);
    double w2 = index - lo;
    w2 = w2 > 1.0 ? 1.0 : w2; // clipped as np.clip clips: upper bound, then lower
    w2 = w2 < 0.0 ? 0.0 : w2;
    return {static_cast<std::size_t>(lo), static_cast<std::size_t>(hi), 1.0 - w2, w2};
}

// The neighbours of `working_value` among the bank's first `n` working
// points (those before the first NaN), with NumPy's errors for an empty bank
// and a NaN working value.
inline Weights blend_weights(const double* points, std::size_t n, double working_value) {
    if (n == 0) throw std::invalid_argument("array of sample points is empty");
    if (std::isnan(working_value)) throw std::invalid_argument(nan_to_integer);
    std::size_t finite = 0;
    while (finite < n && !std::isnan(points[finite]))
        ++finite;
    if (finite == 0) throw std::invalid_argument("array of sample points is empty");
    return weights(fractional_index(points, finite, working_value));
}

// --- keeping the bank ---
//
// The rules that add, remove and order local plants, over any bank that
// offers, for record i of size():
//   same_id(i, id)          whether its identifier equals `id`;
//   remove(i)               takes it out of the bank;
//   points()                the working points of the bank as it is now;
//   keep(order)             keeps the records at positions `order` of that
//                           same bank, in that order (the others leave it);
//   insert_front(rec)       puts a new record at position 0;
// and, for a new local plant (the tag mappings being the bank's own):
//   make_record(id, working_point, model, Ts) -> Record, with no plant yet;
//   initial_values_copy()   an independent copy of the initial values;
//   model_cvs(model, f)     calls f(cv) for each CV of the model, in order;
//   zero(values, cv)        values[cv] = 0.0;
//   build(rec, model, values, Ts) gives rec its local simulator;
//   plant_cvs(rec, f), plant_mvs(rec, f) call f(tag) for the simulator's
//                           CVs and MVs, in its order;
//   learn_cv(tag), learn_mv(tag) add a tag the outputs or inputs lack, at
//                           its initial value (0.0 when it has none).
// Each runs the caller's code where the caller's types do (identifiers that
// compare in Python, say); the rules fix only the order of things.

// Orders the bank by working point, the first of equal working points
// staying (see bank_order).
template <class Bank> void sort_bank(Bank& bank) {
    bank.keep(bank_order(bank.points()));
}

// Removes every record with this identifier, the first such one at a time,
// and orders the bank again if any left. The tags stay where they are.
template <class Bank, class Id> void del_plant(Bank& bank, const Id& id) {
    bool removed = false;
    for (std::size_t i = 0; i < bank.size();) {
        if (bank.same_id(i, id)) {
            bank.remove(i);
            removed = true;
            i = 0;
            continue;
        }
        ++i;
    }
    if (removed) sort_bank(bank);
}

// Adds a local plant in deviation form (its CVs start at 0.0, its MVs at
// their initial values), replacing one with the same identifier; a plant at
// the working point of another replaces that one too (the newest wins). The
// bank's tag mappings learn the new plant's CVs and MVs, first ones first.
template <class Bank, class Id, class Model, class Ts>
void add_plant(Bank& bank, const Id& id, double working_point, const Model& model, const Ts& Ts_) {
    del_plant(bank, id);
    auto rec = bank.make_record(id, working_point, model, Ts_);
    auto values = bank.initial_values_copy();
    bank.model_cvs(model, [&](const auto& cv) { bank.zero(values, cv); });
    bank.build(rec, model, values, Ts_);
    bank.plant_cvs(rec, [&](const auto& cv) { bank.learn_cv(cv); });
    bank.plant_mvs(rec, [&](const auto& mv) { bank.learn_mv(mv); });
    bank.insert_front(std::move(rec));
    sort_bank(bank);
}

// A step's MV values: of the step's (tag, value) entries, those whose tag
// the bank's inputs already have (`known(tag)`), all picked first and then
// written (`store(tag, value)`), so a lookup that runs the caller's code
// sees the inputs as they were. `picked` is the caller's scratch.
template <class Entry, class Known, class Store>
void take_known_inputs(const std::vector<Entry>& entries, std::vector<const Entry*>& picked,
                       Known&& known, Store&& store) {
    picked.clear();
    for (const Entry& e : entries)
        if (known(e.first)) picked.push_back(&e);
    for (const Entry* e : picked)
        store(e->first, e->second);
}

} // namespace lpv

// One LPV step over a bank that offers, for plant i of size():
//   point(i)              its working point (the bank in ascending order);
//   advance(i, keep)      steps its local plant with the step's inputs, keeping
//                         the result when `keep` (plant i is a neighbour);
//   set_weight(i, w)      records its share in this step;
//   cvs(i), output(i, c)  the CVs of its result and the value of the c-th;
//   upper_output(i, c, k) the value in plant i's result of CV c of plant k's
//                         (throws when plant i lacks it);
//   write(k, c, y)        stores the blended value of CV c of plant k.
// `ini(k, c)` gives the initial value the CV is lifted by. Points must be read
// before any plant advances: a NaN working value advances nothing.
template <class Bank> void lpv_step(Bank& bank, double working_value) {
    const std::size_t n = bank.size();
    std::vector<double>& points = bank.points_scratch();
    points.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        points[i] = bank.point(i);
    const lpv::Weights w = lpv::blend_weights(points.data(), n, working_value);
    for (std::size_t i = 0; i < n; ++i) {
        bank.advance(i, i == w.id1 || i == w.id2);
        bank.set_weight(i, 0.0);
    }
    const std::size_t k = w.id1, m = bank.cvs(k);
    if (w.id1 == w.id2) {
        bank.set_weight(k, 1.0);
        for (std::size_t c = 0; c < m; ++c) {
            const double y = bank.output(k, c);
            bank.write(k, c, y + bank.ini(k, c));
        }
        return;
    }
    bank.set_weight(k, w.w1);
    bank.set_weight(w.id2, w.w2);
    for (std::size_t c = 0; c < m; ++c) {
        const double y1 = bank.output(k, c);
        const double y2 = bank.upper_output(w.id2, c, k);
        bank.write(k, c, (w.w1 * y1 + w.w2 * y2) + bank.ini(k, c));
    }
}

// An LPV plant owning its local plants, for C++ callers.
class LpvPlant {
  public:
    struct Local {
        long long id;
        double working_point;
        MimoSim plant;
        double Ts;
        double weight = 0.0;
    };

    // Initial values of MVs and CVs; the blended CVs are lifted by them.
    explicit LpvPlant(TagValues ini = {}) : ini_(std::move(ini)) {}

    // Adds a local plant, replacing one with the same id; its simulator runs in
    // deviation form (its CVs start at 0.0, its MVs at their initial values).
    void add_plant(long long id, double working_point, const ModelDict& dict, double Ts = 1.0,
                   const C2d& to_discrete = default_c2d) {
        Keeping k{*this, &to_discrete};
        lpv::add_plant(k, id, working_point, dict, Ts);
    }

    // Removes the plant with this id; an unknown id changes nothing. Tags stay.
    void del_plant(long long id) {
        Keeping k{*this, nullptr};
        lpv::del_plant(k, id);
    }

    // One sample: MV values by tag (only MVs the bank knows), disturbances by
    // CV tag; returns the CV values in the order of cv_list().
    const TagValues& step(double working_value, const TagValues& u = {}, const TagValues& v = {}) {
        working_value_ = working_value;
        lpv::take_known_inputs(
            u, picked_, [&](const std::string& tag) { return find_tag(u_, tag) != nullptr; },
            [&](const std::string& tag, double value) {
                for (auto& [known, slot] : u_)
                    if (known == tag) slot = value;
            });
        Steps s{*this, u, v};
        lpv_step(s, working_value);
        return y_;
    }

    const std::vector<Local>& bank() const noexcept { return bank_; }
    const TagValues& inputs() const noexcept { return u_; }
    const TagValues& outputs() const noexcept { return y_; }
    double working_value() const noexcept { return working_value_; }

  private:
    void learn(TagValues& ours, const std::string& tag) {
        if (!find_tag(ours, tag)) ours.emplace_back(tag, tag_value(ini_, tag));
    }

    // The bank as the keeping rules see it.
    struct Keeping {
        LpvPlant& p;
        const C2d* to_discrete;

        std::size_t size() const noexcept { return p.bank_.size(); }
        std::vector<double> points() const {
            std::vector<double> out;
            for (const Local& l : p.bank_)
                out.push_back(l.working_point);
            return out;
        }
        bool same_id(std::size_t i, long long id) const noexcept { return p.bank_[i].id == id; }
        void remove(std::size_t i) {
            p.bank_.erase(p.bank_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        void keep(const std::vector<std::size_t>& order) {
            std::vector<Local> kept;
            for (std::size_t i : order)
                kept.push_back(std::move(p.bank_[i]));
            p.bank_ = std::move(kept);
        }
        // A record before its simulator is built.
        struct NewLocal {
            long long id;
            double working_point, Ts;
            std::optional<MimoSim> plant;
        };
        void insert_front(NewLocal rec) {
            p.bank_.insert(p.bank_.begin(),
                           Local{rec.id, rec.working_point, std::move(*rec.plant), rec.Ts});
        }

        NewLocal make_record(long long id, double wp, const ModelDict&, double Ts) const {
            return NewLocal{id, wp, Ts, std::nullopt};
        }
        TagValues initial_values_copy() const { return p.ini_; }
        template <class F> void model_cvs(const ModelDict& dict, F&& f) const {
            for (const ModelRow& row : dict)
                f(row.cv);
        }
        void zero(TagValues& values, const std::string& cv) const {
            for (auto& [tag, v] : values)
                if (tag == cv) {
                    v = 0.0;
                    return;
                }
            values.emplace_back(cv, 0.0);
        }
        void build(NewLocal& rec, const ModelDict& dict, const TagValues& values, double Ts) const {
            rec.plant.emplace(dict, values, Ts, *to_discrete);
        }
        template <class F> void plant_cvs(const NewLocal& rec, F&& f) const {
            for (const std::string& cv : rec.plant->cv_list())
                f(cv);
        }
        template <class F> void plant_mvs(const NewLocal& rec, F&& f) const {
            for (const std::string& mv : rec.plant->mv_list())
                f(mv);
        }
        void learn_cv(const std::string& tag) { p.learn(p.y_, tag); }
        void learn_mv(const std::string& tag) { p.learn(p.u_, tag); }
    };

    // The bank as lpv_step sees it.
    struct Steps {
        LpvPlant& p;
        const TagValues &u, &v;

        std::size_t size() const noexcept { return p.bank_.size(); }
        std::vector<double>& points_scratch() noexcept { return p.points_; }
        double point(std::size_t i) const noexcept { return p.bank_[i].working_point; }
        void advance(std::size_t i, bool) { p.bank_[i].plant.step(u, v); }
        void set_weight(std::size_t i, double w) noexcept { p.bank_[i].weight = w; }
        std::size_t cvs(std::size_t i) const noexcept { return p.bank_[i].plant.cv_list().size(); }
        double output(std::size_t i, std::size_t c) const { return p.bank_[i].plant.outputs()[c]; }
        double upper_output(std::size_t i, std::size_t c, std::size_t k) const {
            return p.bank_[i].plant.output(p.bank_[k].plant.cv_list()[c]);
        }
        double ini(std::size_t k, std::size_t c) const {
            return tag_value(p.ini_, p.bank_[k].plant.cv_list()[c]);
        }
        void write(std::size_t k, std::size_t c, double y) {
            const std::string& cv = p.bank_[k].plant.cv_list()[c];
            for (auto& [tag, slot] : p.y_)
                if (tag == cv) slot = y;
        }
    };

    TagValues ini_, u_, y_;
    std::vector<Local> bank_;
    std::vector<double> points_;
    std::vector<const std::pair<std::string, double>*> picked_;
    double working_value_ = 0.0;
};

} // namespace korvel
