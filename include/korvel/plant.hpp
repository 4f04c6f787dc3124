// Process simulation in deviation form: one single-input single-output model
// per CV/MV pair, summed per CV.
//
// A pair model takes the deviation of its MV from the MV's initial value and
// returns its contribution to the CV's deviation, one sample per call. The
// transfer-function model is a discrete rational filter stepped with the
// library's one IIR kernel, so a model driven sample by sample equals
// scipy.signal.lfilter over the same inputs to the last bit. Step tables
// (finite impulse responses) are the same model with a denominator of [1].
//
// The sums keep the order of the reference arithmetic: per CV, 0.0 plus each
// pair's output in MV order; then the disturbance, then the CV's initial
// value (build with -ffp-contract=off).
#pragma once

#include <korvel/iir.hpp>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// One CV/MV pair.
class PairModel {
  public:
    virtual ~PairModel() = default;
    // Advances one sample with MV deviation `du`; returns the CV deviation.
    virtual double step(double du) = 0;

  protected:
    PairModel() = default;
    PairModel(const PairModel&) = default;
    PairModel(PairModel&&) = default;
    PairModel& operator=(const PairModel&) = default;
    PairModel& operator=(PairModel&&) = default;
};

// A pair without a model: contributes nothing.
class NoModel final : public PairModel {
  public:
    double step(double) override { return 0.0; }
};

// G(z) = num(z^-1) / den(z^-1), dead time as leading zeros of num. The
// coefficients and the state live behind shared pointers so that views handed
// out of them stay valid when they are replaced.
class TfModel final : public PairModel {
  public:
    // Refuses what lfilter would refuse at the first sample (empty
    // coefficients, a zero leading denominator), so a model that exists can
    // always be stepped. The state starts at rest.
    TfModel(std::vector<double> num, std::vector<double> den)
        : iir_(make_iir(std::move(num), std::move(den))) {
        reset_zi();
    }

    double step(double du) override {
        if (zi_->size() != iir_->state_size()) throw_state_shape();
        return iir_->step(du, zi_->data());
    }

    // Zero state, the rest of a deviation model; a fresh buffer.
    void reset_zi() { zi_ = std::make_shared<std::vector<double>>(iir_->state_size(), 0.0); }

    const std::vector<double>& num() const noexcept { return iir_->b(); }
    const std::vector<double>& den() const noexcept { return iir_->a(); }
    const std::vector<double>& zi() const noexcept { return *zi_; }
    // The state length the coefficients call for.
    std::size_t state_size() const noexcept { return iir_->state_size(); }

    // New coefficients keep the state as it is; a state of the wrong length
    // then fails at the next step, as lfilter would.
    void set_num(std::vector<double> num) { iir_ = make_iir(std::move(num), den()); }
    void set_den(std::vector<double> den) { iir_ = make_iir(num(), std::move(den)); }
    void set_zi(std::vector<double> zi) {
        zi_ = std::make_shared<std::vector<double>>(std::move(zi));
    }

    std::shared_ptr<const Iir> shared_iir() const noexcept { return iir_; }
    std::shared_ptr<std::vector<double>> shared_zi() const noexcept { return zi_; }

  private:
    static std::shared_ptr<const Iir> make_iir(std::vector<double> num, std::vector<double> den) {
        if (den.empty())
            throw std::invalid_argument(
                "Parameter a is not a non-empty 1d array, since a.shape=(0,)!");
        auto iir = std::make_shared<const Iir>(std::move(num), std::move(den));
        iir->check();
        return iir;
    }

    [[noreturn]] void throw_state_shape() const {
        const std::string expected = std::to_string(iir_->state_size());
        const std::string found = std::to_string(zi_->size());
        // lfilter words the two paths differently.
        const char* what = den().size() == 1 ? "Unexpected shape for parameter zi: expected ("
                                             : "Unexpected shape for zi: expected (";
        throw std::invalid_argument(what + expected + ",), found (" + found + ",).");
    }

    std::shared_ptr<const Iir> iir_;
    std::shared_ptr<std::vector<double>> zi_;
};

// One CV's sum over its pair models (MISO), in MV order. du(i) supplies the
// deviation of input i and may throw: the models before i have then advanced
// and the sum is lost, as in the reference loop.
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

    // One sample of row r over its first n columns.
    template <class DU> double step_row(std::size_t r, std::size_t n, DU&& du) const {
        return miso_step(rows_[r].data(), std::min(n, rows_[r].size()), std::forward<DU>(du));
    }

  private:
    std::vector<std::vector<PairModel*>> rows_;
};

// One closed sampling step of a MIMO process (the step loop): for each CV r,
// y[r] = ((sum over MVs of model(u - u_ini)) + v[r]) + y_ini[r]. u_ini holds
// the MV initial values of every row (rows share the MVs).
inline void mimo_step(const ModelBank& bank, const double* u, const double* u_ini, std::size_t n_mv,
                      const double* v, const double* y_ini, double* y) {
    for (std::size_t r = 0; r < bank.rows(); ++r) {
        const double y0 = bank.step_row(r, n_mv, [&](std::size_t i) { return u[i] - u_ini[i]; });
        y[r] = y0 + (v ? v[r] : 0.0) + y_ini[r];
    }
}

// A MIMO process owning its models, for C++ callers.
class MimoSim {
  public:
    // models[r][j]: CV r, MV j (nullptr: no model). Every row as long as u_ini.
    MimoSim(std::vector<std::vector<std::unique_ptr<PairModel>>> models, std::vector<double> u_ini,
            std::vector<double> y_ini)
        : models_(std::move(models)), u_ini_(std::move(u_ini)), y_ini_(std::move(y_ini)) {
        if (models_.size() != y_ini_.size())
            throw std::invalid_argument("one row of models per CV initial value");
        for (auto& row : models_) {
            if (row.size() != u_ini_.size())
                throw std::invalid_argument("one model per MV initial value in every row");
            std::vector<PairModel*> ptrs;
            for (auto& m : row) {
                if (!m) m = std::make_unique<NoModel>();
                ptrs.push_back(m.get());
            }
            bank_.add_row(std::move(ptrs));
        }
        reset();
    }

    // Inputs and outputs back to the initial values; the models keep their
    // states.
    void reset() {
        u_ = u_ini_;
        y_ = y_ini_;
    }

    void set_input(std::size_t mv, double value) { u_.at(mv) = value; }

    // One sample with additive output disturbances v (one per CV, or nullptr).
    const std::vector<double>& step(const double* v = nullptr) {
        mimo_step(bank_, u_.data(), u_ini_.data(), u_.size(), v, y_ini_.data(), y_.data());
        return y_;
    }

    const std::vector<double>& inputs() const noexcept { return u_; }
    const std::vector<double>& outputs() const noexcept { return y_; }

  private:
    std::vector<std::vector<std::unique_ptr<PairModel>>> models_;
    ModelBank bank_;
    std::vector<double> u_ini_, y_ini_, u_, y_;
};

// Unit-step response of a model alone, as a one-pair simulator with zero
// initial values reports it: out[k] = ((0.0 + model(1.0 - 0.0)) + 0.0) + 0.0.
inline void step_response(PairModel& model, double* out, std::size_t length) {
    PairModel* m = &model;
    for (std::size_t k = 0; k < length; ++k) {
        const double y0 = miso_step(&m, 1, [](std::size_t) { return 1.0 - 0.0; });
        out[k] = y0 + 0.0 + 0.0;
    }
}

// max(v) - min(v) < tol with Python's max/min: the first item, replaced by
// each later one that compares greater (smaller), so NaNs behave as there.
// Requires n >= 1.
inline bool flat(const double* v, std::size_t n, double tol) noexcept {
    double hi = v[0], lo = v[0];
    for (std::size_t k = 1; k < n; ++k) {
        if (v[k] > hi) hi = v[k];
        if (v[k] < lo) lo = v[k];
    }
    return hi - lo < tol;
}

} // namespace korvel
