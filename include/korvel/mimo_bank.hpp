// A MIMO process in n lanes, stepped together: lane l is a simulator of its
// own (its pair models, initial values, inputs and outputs), and each step
// gives every lane, bit for bit, what mimo_step gives that simulator:
//   y[r] = ((sum over MVs j, in order, of model_rj(u[j] - u_ini[j])) + v[r]) + y_ini[r]
// with the sum started from 0.0 and a pair without a model adding 0.0.
//
// The lanes of one pair whose filters have one shape step as one IirLanes
// (iir_lanes.hpp): a bank of plants that differ in gains steps each pair in
// one loop over the lanes, and plants that differ in dead time form a few
// groups.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "iir_lanes.hpp"
#include "lanes.hpp"
#include "mimo.hpp"
#include "simd.hpp"

#include "assert.hpp"

namespace korvel {

class MimoBank {
  public:
    // One lane as a simulator holds it: models[r][j] for CV r and MV j
    // (nullptr or a NoModel: no model; otherwise a TfModel, whose
    // coefficients and state the lane takes), the MVs' and CVs' initial
    // values, and their current values. zi[r][j], where given, is the
    // state the lane's model of the pair continues from instead of its own.
    struct Lane {
        std::vector<std::vector<const PairModel*>> models;
        std::vector<double> u_ini, y_ini, u, y;
        std::vector<std::vector<std::vector<double>>> zi;
    };

    // Every lane with `cvs` rows of `mvs` models and as many values;
    // std::invalid_argument otherwise, or for a model of another kind.
    MimoBank(std::size_t cvs, std::size_t mvs, std::span<const Lane> lanes)
        : n_(lanes.size()), cvs_(cvs), mvs_(mvs), pairs_(cvs * mvs) {
        u_ini_.resize(mvs * n_), u_.resize(mvs * n_), du_.resize(mvs * n_);
        y_ini_.resize(cvs * n_), y_.resize(cvs * n_);
        gx_.resize(n_), gy_.resize(n_), out_.resize(n_), acc_.resize(n_);
        std::vector<std::vector<std::vector<double>>> z(pairs_.size(),
                                                        std::vector<std::vector<double>>(n_));
        for (Pair& p : pairs_)
            p.iirs.resize(n_);
        for (std::size_t l = 0; l < n_; ++l)
            take(l, lanes[l], z);
        for (std::size_t p = 0; p < pairs_.size(); ++p)
            regroup(p, z[p]);
    }

    // The lanes of the simulators, as they are.
    static MimoBank of(std::span<const MimoSim> sims) {
        if (sims.empty()) return MimoBank(0, 0, {});
        const std::size_t cvs = sims[0].cv_list().size(), mvs = sims[0].mv_list().size();
        std::vector<Lane> lanes;
        for (const MimoSim& s : sims) {
            if (s.cv_list() != sims[0].cv_list() || s.mv_list() != sims[0].mv_list())
                throw std::invalid_argument("every lane needs the same CV and MV tags");
            Lane lane{{}, s.input_initial(), s.output_initial(), s.inputs(), s.outputs(), {}};
            for (std::size_t r = 0; r < cvs; ++r) {
                lane.models.emplace_back();
                for (std::size_t j = 0; j < mvs; ++j)
                    lane.models[r].push_back(&s.model(r, j));
            }
            lanes.push_back(std::move(lane));
        }
        return MimoBank(cvs, mvs, lanes);
    }

    std::size_t size() const noexcept { return n_; }
    std::size_t cvs() const noexcept { return cvs_; }
    std::size_t mvs() const noexcept { return mvs_; }

    // One sample of every lane. u[j] the new values of MV j (data nullptr:
    // not given, the MV keeps its values), v[r] the disturbances of CV r
    // (nullptr: none). Allocates nothing.
    KORVEL_LANE_CLONES void step(const Lanes* u, const Lanes* v) noexcept {
        const std::size_t n = n_;
        for (std::size_t j = 0; j < mvs_; ++j) {
            double* uj = u_.data() + j * n;
            const double* u0 = u_ini_.data() + j * n;
            double* d = du_.data() + j * n;
            if (u && u[j].data)
                for (std::size_t l = 0; l < n; ++l)
                    uj[l] = u[j][l];
            KORVEL_LANE_LOOP
            for (std::size_t l = 0; l < n; ++l)
                d[l] = uj[l] - u0[l];
        }
        for (std::size_t r = 0; r < cvs_; ++r) {
            std::fill(acc_.begin(), acc_.end(), 0.0);
            for (std::size_t j = 0; j < mvs_; ++j) {
                const double* pj = pair_step(pairs_[r * mvs_ + j], du_.data() + j * n);
                double* acc = acc_.data();
                KORVEL_LANE_LOOP
                for (std::size_t l = 0; l < n; ++l)
                    acc[l] = acc[l] + pj[l];
            }
            const double* y0 = y_ini_.data() + r * n;
            double* y = y_.data() + r * n;
            const double* acc = acc_.data();
            if (v && v[r].data) {
                for (std::size_t l = 0; l < n; ++l)
                    y[l] = (acc[l] + v[r][l]) + y0[l];
            } else {
                KORVEL_LANE_LOOP
                for (std::size_t l = 0; l < n; ++l)
                    y[l] = (acc[l] + 0.0) + y0[l];
            }
        }
    }

    // Inputs and outputs back to the initial values; the models keep their
    // states.
    void reset() noexcept {
        u_ = u_ini_;
        y_ = y_ini_;
    }

    // Per MV j or CV r, one value per lane.
    const double* inputs(std::size_t j) const noexcept { return u_.data() + j * n_; }
    const double* outputs(std::size_t r) const noexcept { return y_.data() + r * n_; }
    const double* input_initial(std::size_t j) const noexcept { return u_ini_.data() + j * n_; }
    const double* output_initial(std::size_t r) const noexcept { return y_ini_.data() + r * n_; }

    // Lane l's filter of pair (r, j), nullptr for no model, and its state.
    const std::shared_ptr<const Iir>& iir(std::size_t l, std::size_t r, std::size_t j) const {
        KORVEL_ASSERT(l < n_ && r < cvs_ && j < mvs_);
        return pairs_[r * mvs_ + j].iirs[l];
    }
    std::vector<double> state(std::size_t l, std::size_t r, std::size_t j) const {
        KORVEL_ASSERT(l < n_ && r < cvs_ && j < mvs_);
        const Pair& p = pairs_[r * mvs_ + j];
        if (!p.iirs[l]) return {};
        const Group& g = p.groups[p.group_of[l]];
        std::vector<double> z(g.lanes.state_size());
        g.lanes.state(p.slot_of[l], z.data());
        return z;
    }

    // Lane l becomes the given lane (its models, values and states).
    void set_lane(std::size_t l, const Lane& lane) {
        KORVEL_ASSERT(l < n_);
        std::vector<std::vector<std::vector<double>>> z(pairs_.size());
        for (std::size_t p = 0; p < pairs_.size(); ++p) {
            z[p].resize(n_);
            for (std::size_t i = 0; i < n_; ++i)
                z[p][i] = state(i, p / mvs_, p % mvs_);
        }
        std::vector<std::shared_ptr<const Iir>> before(pairs_.size());
        for (std::size_t p = 0; p < pairs_.size(); ++p)
            before[p] = pairs_[p].iirs[l];
        try {
            take(l, lane, z);
        } catch (...) {
            for (std::size_t p = 0; p < pairs_.size(); ++p)
                pairs_[p].iirs[l] = before[p];
            throw;
        }
        for (std::size_t p = 0; p < pairs_.size(); ++p)
            regroup(p, z[p]);
    }

    // Lane l into a simulator of the same tags and pair shapes (its models'
    // states, its inputs and outputs).
    void copy_lane_to(std::size_t l, MimoSim& sim) const {
        for (std::size_t r = 0; r < cvs_; ++r)
            for (std::size_t j = 0; j < mvs_; ++j)
                if (auto* tf = dynamic_cast<TfModel*>(&sim.model(r, j))) tf->set_zi(state(l, r, j));
        for (std::size_t j = 0; j < mvs_; ++j)
            sim.set_input(j, inputs(j)[l]);
        for (std::size_t r = 0; r < cvs_; ++r)
            sim.set_output(r, outputs(r)[l]);
    }

  private:
    struct Group {
        IirLanes lanes;
        std::vector<std::size_t> index; // the bank's lane of each of its lanes
        bool all;                       // index is 0, 1, ..., n - 1
    };
    struct Pair {
        std::vector<std::shared_ptr<const Iir>> iirs; // per lane; nullptr: no model
        std::vector<Group> groups;
        std::vector<std::size_t> group_of, slot_of; // per lane with a model
        bool none = true;                           // no lane has a model
    };

    // Lane l's models into pairs_ (their states into z) and values into the
    // arrays.
    void take(std::size_t l, const Lane& lane, std::vector<std::vector<std::vector<double>>>& z) {
        if (lane.models.size() != cvs_ || lane.u_ini.size() != mvs_ || lane.u.size() != mvs_ ||
            lane.y_ini.size() != cvs_ || lane.y.size() != cvs_)
            throw std::invalid_argument("a lane needs a model for every CV and MV pair");
        for (std::size_t r = 0; r < cvs_; ++r) {
            if (lane.models[r].size() != mvs_)
                throw std::invalid_argument("a lane needs a model for every CV and MV pair");
            for (std::size_t j = 0; j < mvs_; ++j) {
                const PairModel* m = lane.models[r][j];
                std::shared_ptr<const Iir> iir;
                std::vector<double> zi;
                if (const auto* tf = dynamic_cast<const TfModel*>(m)) {
                    zi = lane.zi.empty() ? tf->zi() : lane.zi.at(r).at(j);
                    if (zi.size() != tf->state_size())
                        throw std::invalid_argument("a model's state does not fit its filter");
                    iir = tf->shared_iir();
                } else if (m && !dynamic_cast<const NoModel*>(m)) {
                    throw std::invalid_argument("a bank steps the library's own pair models only");
                }
                pairs_[r * mvs_ + j].iirs[l] = std::move(iir);
                z[r * mvs_ + j][l] = std::move(zi);
            }
        }
        for (std::size_t j = 0; j < mvs_; ++j)
            u_ini_[j * n_ + l] = lane.u_ini[j], u_[j * n_ + l] = lane.u[j];
        for (std::size_t r = 0; r < cvs_; ++r)
            y_ini_[r * n_ + l] = lane.y_ini[r], y_[r * n_ + l] = lane.y[r];
    }

    // The groups of pair p from its filters and the lanes' states z.
    void regroup(std::size_t p, const std::vector<std::vector<double>>& z) {
        Pair& pair = pairs_[p];
        std::vector<IirShape> shapes;
        std::vector<std::vector<std::size_t>> members;
        for (std::size_t l = 0; l < n_; ++l) {
            if (!pair.iirs[l]) continue;
            const IirShape s = IirShape::of(*pair.iirs[l]);
            const auto it = std::find(shapes.begin(), shapes.end(), s);
            if (it == shapes.end()) {
                shapes.push_back(s);
                members.push_back({l});
            } else {
                members[static_cast<std::size_t>(it - shapes.begin())].push_back(l);
            }
        }
        std::vector<Group> groups;
        std::vector<std::size_t> group_of(n_), slot_of(n_);
        for (std::size_t g = 0; g < members.size(); ++g) {
            std::vector<const Iir*> f;
            std::vector<const double*> s;
            for (std::size_t i = 0; i < members[g].size(); ++i) {
                const std::size_t l = members[g][i];
                f.push_back(pair.iirs[l].get());
                s.push_back(z[l].data());
                group_of[l] = g, slot_of[l] = i;
            }
            const bool all = members[g].size() == n_;
            groups.push_back(Group{IirLanes(f, s), std::move(members[g]), all});
        }
        pair.groups = std::move(groups);
        pair.group_of = std::move(group_of);
        pair.slot_of = std::move(slot_of);
        pair.none = pair.groups.empty();
    }

    // One sample of a pair in every lane; the outputs, one per lane (0.0
    // where there is no model).
    const double* pair_step(Pair& p, const double* du) noexcept {
        if (p.none) {
            std::fill(out_.begin(), out_.end(), 0.0);
            return out_.data();
        }
        if (p.groups.size() == 1 && p.groups[0].all) {
            p.groups[0].lanes.step(du, out_.data());
            return out_.data();
        }
        std::fill(out_.begin(), out_.end(), 0.0);
        for (Group& g : p.groups) {
            const std::size_t m = g.index.size();
            for (std::size_t i = 0; i < m; ++i)
                gx_[i] = du[g.index[i]];
            g.lanes.step(gx_.data(), gy_.data());
            for (std::size_t i = 0; i < m; ++i)
                out_[g.index[i]] = gy_[i];
        }
        return out_.data();
    }

    std::size_t n_, cvs_, mvs_;
    std::vector<Pair> pairs_; // [r * mvs + j]
    // [mv or cv][lane]
    std::vector<double> u_ini_, y_ini_, u_, y_, du_;
    // Scratch of a step, one value per lane.
    std::vector<double> gx_, gy_, out_, acc_;
};

} // namespace korvel
