// Process simulation: MISO sums over pair models and the MIMO simulator
// built from a model dictionary, with its tags, initial values, disturbances,
// reset and step responses.
//
// A model dictionary maps each CV tag to the model entries of its MV pairs
// (models.hpp). Its key order fixes the order of everything: CVs in key
// order, MVs in the order they first appear when the CVs are scanned in
// order. A pair without a model entry contributes nothing.
//
// One sampling step, for each CV r in order:
//   y[r] = ((sum over MVs j, in order, of model_rj(u[j] - u_ini[j])) + v[r]) + y_ini[r]
// starting the sum from 0.0 (build with -ffp-contract=off). mimo_step is
// that loop and nothing else; the C++ simulator below and the Python
// simulators both run it, feeding it their own inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models.hpp"

#include "assert.hpp"

namespace korvel {

// An insertion-ordered mapping of tags to numbers; the first entry of a tag
// counts.
using TagValues = std::vector<std::pair<std::string, double>>;

inline const double* find_tag(const TagValues& m, std::string_view tag) noexcept {
    for (const auto& [k, v] : m)
        if (k == tag) return &v;
    return nullptr;
}

inline double tag_value(const TagValues& m, std::string_view tag, double fallback = 0.0) noexcept {
    const double* v = find_tag(m, tag);
    return v ? *v : fallback;
}

// CV tag -> (MV tag, model entry) pairs, both in order.
struct ModelRow {
    std::string cv;
    std::vector<std::pair<std::string, PairSpec>> pairs;

    const PairSpec* find(std::string_view mv) const noexcept {
        for (const auto& [tag, spec] : pairs)
            if (tag == mv) return &spec;
        return nullptr;
    }
};
using ModelDict = std::vector<ModelRow>;

struct Tags {
    std::vector<std::string> cvs, mvs;
};

// The CV tags in key order, the MV tags in order of first appearance.
inline Tags model_tags(const ModelDict& d) {
    Tags t;
    for (const ModelRow& row : d) {
        t.cvs.push_back(row.cv);
        for (const auto& pair : row.pairs)
            if (std::find(t.mvs.begin(), t.mvs.end(), pair.first) == t.mvs.end())
                t.mvs.push_back(pair.first);
    }
    return t;
}

// One CV's sum over its pair models (MISO), in MV order. du(i) supplies the
// deviation of input i and may throw: the models before i have then advanced
// and the sum is lost.
template <class DU> double miso_step(PairModel* const* models, std::size_t n, DU&& du) {
    double y = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = du(i);
        y += models[i]->step(d);
    }
    return y;
}

// The models of a MIMO process, one row per CV in CV order, one column per MV
// in MV order. Non-owning: whoever fills the bank keeps the models alive.
class ModelBank {
  public:
    void clear() noexcept { rows_.clear(); }
    void add_row(std::vector<PairModel*> row) { rows_.push_back(std::move(row)); }
    std::size_t rows() const noexcept { return rows_.size(); }
    std::size_t columns(std::size_t r) const noexcept { return rows_[r].size(); }
    PairModel& at(std::size_t r, std::size_t j) const noexcept { return *rows_[r][j]; }

    // One sample of row r over its first n columns.
    template <class DU> double step_row(std::size_t r, std::size_t n, DU&& du) const {
        return miso_step(rows_[r].data(), std::min(n, rows_[r].size()), std::forward<DU>(du));
    }

  private:
    std::vector<std::vector<PairModel*>> rows_;
};

// One sampling step of a MIMO process over `n_inputs` MVs: du(r, j) is the
// deviation of MV j as row r sees it, v(r) the disturbance of CV r and
// y_ini(r) its initial value; out(r, y) takes each CV's value as soon as it
// is known. Any of them may throw: the CVs before have then been written.
template <class DU, class V, class YIni, class Out>
void mimo_step(const ModelBank& bank, std::size_t n_inputs, DU&& du, V&& v, YIni&& y_ini,
               Out&& out) {
    for (std::size_t r = 0; r < bank.rows(); ++r) {
        const double y0 = bank.step_row(r, n_inputs, [&](std::size_t j) { return du(r, j); });
        const double vr = v(r);
        out(r, (y0 + vr) + y_ini(r));
    }
}

// A MIMO process owning its models, for C++ callers.
class MimoSim {
  public:
    // From a model dictionary: one model per CV x MV by the construction rule,
    // initial values from `ini` (0.0 for a tag it lacks).
    explicit MimoSim(const ModelDict& dict, const TagValues& ini = {}, double Ts = 1.0,
                     const C2d& to_discrete = default_c2d)
        : dict_(dict), Ts_(Ts) {
        Tags tags = model_tags(dict);
        cvs_ = std::move(tags.cvs);
        mvs_ = std::move(tags.mvs);
        static const PairSpec nothing{};
        for (const ModelRow& row : dict) {
            std::vector<std::unique_ptr<PairModel>> models;
            std::vector<PairMode> modes;
            for (const std::string& mv : mvs_) {
                const PairSpec* spec = row.find(mv);
                BuiltPair b = build_pair(spec ? *spec : nothing, Ts, to_discrete);
                modes.push_back(b.mode);
                models.push_back(b.take());
            }
            models_.push_back(std::move(models));
            modes_.push_back(std::move(modes));
        }
        for (const std::string& mv : mvs_)
            u_ini_.push_back(tag_value(ini, mv));
        for (const std::string& cv : cvs_)
            y_ini_.push_back(tag_value(ini, cv));
        fill_bank();
        reset();
    }

    // From models already built: models[r][j] for CV r and MV j (nullptr: no
    // model); every row as long as u_ini. Tags are "CV1", "CV2", ... and
    // "MV1", "MV2", ...
    MimoSim(std::vector<std::vector<std::unique_ptr<PairModel>>> models, std::vector<double> u_ini,
            std::vector<double> y_ini)
        : models_(std::move(models)), u_ini_(std::move(u_ini)), y_ini_(std::move(y_ini)) {
        if (models_.size() != y_ini_.size())
            throw std::invalid_argument("one row of models per CV initial value");
        for (auto& row : models_) {
            if (row.size() != u_ini_.size())
                throw std::invalid_argument("one model per MV initial value in every row");
            for (auto& m : row)
                if (!m) m = std::make_unique<NoModel>();
        }
        for (std::size_t r = 0; r < y_ini_.size(); ++r)
            cvs_.push_back("CV" + std::to_string(r + 1));
        for (std::size_t j = 0; j < u_ini_.size(); ++j)
            mvs_.push_back("MV" + std::to_string(j + 1));
        fill_bank();
        reset();
    }

    MimoSim(const MimoSim&) = delete;
    MimoSim& operator=(const MimoSim&) = delete;
    MimoSim(MimoSim&&) = default;
    MimoSim& operator=(MimoSim&&) = default;

    // Inputs and outputs back to the initial values; the models keep their
    // states.
    void reset() {
        u_ = u_ini_;
        y_ = y_ini_;
    }

    void set_input(std::size_t mv, double value) { u_.at(mv) = value; }
    // A CV's value as the last step left it (a step overwrites it).
    void set_output(std::size_t cv, double value) { y_.at(cv) = value; }
    // Sets an MV by tag; false (and nothing changes) for a tag that is no MV.
    bool set_input(std::string_view mv, double value) noexcept {
        const std::size_t j = index_of(mvs_, mv);
        if (j == npos) return false;
        u_[j] = value;
        return true;
    }

    // One sample with additive output disturbances v (one per CV, or nullptr).
    const std::vector<double>& step(const double* v = nullptr) {
        mimo_step(
            bank_, u_.size(), [&](std::size_t, std::size_t j) { return u_[j] - u_ini_[j]; },
            [&](std::size_t r) { return v ? v[r] : 0.0; }, [&](std::size_t r) { return y_ini_[r]; },
            [&](std::size_t r, double y) { y_[r] = y; });
        return y_;
    }

    // One sample as the Python simulator is called: MV values by tag (other
    // tags ignored; MVs not given keep their values), disturbances by CV tag.
    const std::vector<double>& step(const TagValues& u, const TagValues& v = {}) {
        for (const auto& [tag, value] : u)
            set_input(tag, value);
        v_.assign(cvs_.size(), 0.0);
        for (std::size_t r = 0; r < cvs_.size(); ++r)
            v_[r] = tag_value(v, cvs_[r]);
        return step(v_.data());
    }

    const std::vector<std::string>& cv_list() const noexcept { return cvs_; }
    const std::vector<std::string>& mv_list() const noexcept { return mvs_; }
    const std::vector<double>& inputs() const noexcept { return u_; }
    const std::vector<double>& outputs() const noexcept { return y_; }
    const std::vector<double>& input_initial() const noexcept { return u_ini_; }
    const std::vector<double>& output_initial() const noexcept { return y_ini_; }

    // Values by tag; a tag that is not there throws std::out_of_range.
    double input(std::string_view mv) const { return u_.at(checked(index_of(mvs_, mv))); }
    double output(std::string_view cv) const { return y_.at(checked(index_of(cvs_, cv))); }

    // MV values then CV values; a tag that is both shows its CV value.
    TagValues all_data() const {
        TagValues all;
        for (std::size_t j = 0; j < mvs_.size(); ++j)
            all.emplace_back(mvs_[j], u_[j]);
        for (std::size_t r = 0; r < cvs_.size(); ++r) {
            auto it = std::find_if(all.begin(), all.end(),
                                   [&](const auto& e) { return e.first == cvs_[r]; });
            if (it != all.end())
                it->second = y_[r];
            else
                all.emplace_back(cvs_[r], y_[r]);
        }
        return all;
    }

    PairModel& model(std::size_t r, std::size_t j) const { return *models_.at(r).at(j); }
    // The rule's kind of each pair (none for the index-built constructor).
    PairMode mode(std::size_t r, std::size_t j) const {
        return modes_.empty() ? PairMode::none : modes_.at(r).at(j);
    }
    const ModelDict& model_dict() const noexcept { return dict_; }
    double Ts() const noexcept { return Ts_; }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static std::size_t index_of(const std::vector<std::string>& tags, std::string_view t) noexcept {
        for (std::size_t i = 0; i < tags.size(); ++i)
            if (tags[i] == t) return i;
        return npos;
    }

  private:
    static std::size_t checked(std::size_t i) {
        if (i == npos) throw std::out_of_range("no such tag");
        return i;
    }

    void fill_bank() {
        bank_.clear();
        for (auto& row : models_) {
            std::vector<PairModel*> ptrs;
            for (auto& m : row)
                ptrs.push_back(m.get());
            bank_.add_row(std::move(ptrs));
        }
    }

    ModelDict dict_;
    double Ts_ = 1.0;
    std::vector<std::string> cvs_, mvs_;
    std::vector<std::vector<std::unique_ptr<PairModel>>> models_;
    std::vector<std::vector<PairMode>> modes_;
    ModelBank bank_;
    std::vector<double> u_ini_, y_ini_, u_, y_, v_;
};

// One first-order process with dead time, "CV" from "MV", both starting at
// 0.0: gain / (tao s + 1) e^(-delay s), divided by s when integrating.
inline ModelDict siso_dict(double gain, double tao, double delay = 0.0, bool integrating = false) {
    PairSpec spec;
    spec.mode = PairMode::tf_s;
    spec.num = {0.0, gain};
    spec.den = {tao, 1.0};
    spec.delay_s = delay;
    spec.integrating = integrating;
    return {ModelRow{"CV", {{"MV", spec}}}};
}

class SisoSim : public MimoSim {
  public:
    SisoSim(double gain, double tao, double delay = 0.0, double Ts = 1.0, bool integrating = false,
            const C2d& to_discrete = default_c2d)
        : MimoSim(siso_dict(gain, tao, delay, integrating), {{"CV", 0.0}, {"MV", 0.0}}, Ts,
                  to_discrete) {}

    // One sample with the MV at `u`.
    double step_to(double u, double disturbance = 0.0) {
        set_input(std::size_t{0}, u);
        return step(&disturbance)[0];
    }
};

// Unit-step response of a model alone, as a one-pair simulator with zero
// initial values reports it: out[k] = ((0.0 + model(1.0 - 0.0)) + 0.0) + 0.0.
inline void step_response(PairModel& model, double* out, std::size_t length) {
    model.respond(1.0 - 0.0, out, length);
    for (std::size_t k = 0; k < length; ++k)
        out[k] = ((0.0 + out[k]) + 0.0) + 0.0; // the one-MV step of the simulator
}

// max(v) - min(v) < tol with Python's max/min: the first item, replaced by
// each later one that compares greater (smaller), so NaNs behave as there.
// Requires n >= 1.
inline bool flat(const double* v, std::size_t n, double tol) noexcept {
    KORVEL_ASSERT(n >= 1);
    double hi = v[0], lo = v[0];
    for (std::size_t k = 1; k < n; ++k) {
        if (v[k] > hi) hi = v[k];
        if (v[k] < lo) lo = v[k];
    }
    return hi - lo < tol;
}

// A response flatter than this is reported as empty.
inline constexpr double flat_range = 1e-6;

// The step response of one pair for step_responses: `length` samples, or
// none when they stay within flat_range of each other. length 0 fails as
// taking the maximum of nothing does.
inline std::vector<double> pair_step_response(PairModel& model, std::size_t length) {
    if (length == 0) throw std::invalid_argument("max() iterable argument is empty");
    std::vector<double> y(length);
    step_response(model, y.data(), length);
    if (flat(y.data(), length, flat_range)) y.clear();
    return y;
}

// CV -> MV -> unit-step response, for every CV x MV in tag order.
struct StepResponses {
    Tags tags;
    std::vector<std::vector<std::vector<double>>> y; // [cv][mv]
};

inline StepResponses step_responses(const ModelDict& dict, double Ts, std::size_t length,
                                    const C2d& to_discrete = default_c2d) {
    StepResponses out{model_tags(dict), {}};
    static const PairSpec nothing{};
    for (const ModelRow& row : dict) {
        std::vector<std::vector<double>> ys;
        for (const std::string& mv : out.tags.mvs) {
            const PairSpec* spec = row.find(mv);
            std::unique_ptr<PairModel> m =
                build_pair(spec ? *spec : nothing, Ts, to_discrete).take();
            ys.push_back(pair_step_response(*m, length));
        }
        out.y.push_back(std::move(ys));
    }
    return out;
}

} // namespace korvel
