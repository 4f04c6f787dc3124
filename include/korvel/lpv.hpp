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
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
    if (std::isnan(working_value))
        throw std::invalid_argument("cannot convert float NaN to integer");
    std::size_t finite = 0;
    while (finite < n && !std::isnan(points[finite]))
        ++finite;
    if (finite == 0) throw std::invalid_argument("array of sample points is empty");
    return weights(fractional_index(points, finite, working_value));
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
        del_plant(id);
        TagValues local = ini_;
        for (const ModelRow& row : dict) {
            bool found = false;
            for (auto& [tag, v] : local)
                if (tag == row.cv) v = 0.0, found = true;
            if (!found) local.emplace_back(row.cv, 0.0);
        }
        Local rec{id, working_point, MimoSim(dict, local, Ts, to_discrete), Ts};
        for (const std::string& cv : rec.plant.cv_list())
            learn(y_, cv);
        for (const std::string& mv : rec.plant.mv_list())
            learn(u_, mv);
        bank_.insert(bank_.begin(), std::move(rec));
        sort();
    }

    // Removes the plant with this id; an unknown id changes nothing. Tags stay.
    void del_plant(long long id) {
        const auto before = bank_.size();
        bank_.erase(
            std::remove_if(bank_.begin(), bank_.end(), [&](const Local& l) { return l.id == id; }),
            bank_.end());
        if (bank_.size() != before) sort();
    }

    // One sample: MV values by tag (only MVs the bank knows), disturbances by
    // CV tag; returns the CV values in the order of cv_list().
    const TagValues& step(double working_value, const TagValues& u = {}, const TagValues& v = {}) {
        working_value_ = working_value;
        for (const auto& [tag, value] : u)
            for (auto& [known, slot] : u_)
                if (known == tag) slot = value;
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

    void sort() {
        std::vector<double> points;
        for (const Local& l : bank_)
            points.push_back(l.working_point);
        std::vector<Local> sorted;
        for (std::size_t i : lpv::bank_order(points))
            sorted.push_back(std::move(bank_[i]));
        bank_ = std::move(sorted);
    }

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
    double working_value_ = 0.0;
};

} // namespace korvel
