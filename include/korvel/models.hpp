// Process models of one CV/MV pair, and the rule that builds one from its
// description.
//
// A pair model works in deviation form: it takes the deviation of its MV from
// the MV's initial value and returns its contribution to the CV's deviation,
// one sample per step. Every model but "no model" is a discrete rational
// filter stepped with the library's one IIR kernel, so a model driven sample
// by sample equals scipy.signal.lfilter over the same inputs to the last bit.
//
// The model kinds and what they become:
//   tf_z   num(z^-1)/den(z^-1), a dead time of whole samples as leading zeros;
//   tf_s   G(s) with a dead time, discretised with a zero-order hold (c2d);
//   stp    a unit-step table: the FIR whose step response it is;
//   stpxy  breakpoints interpolated at every sample, then as stp.
// "Integrating" divides by s, by (1 - z^-1), or takes the running sum of the
// table. Each step of the rule repeats the NumPy routine it is defined by
// (np.pad, np.convolve, np.cumsum, np.diff, np.interp; see npmath.hpp).
//
// Discretisation is a parameter: korvel::zoh serves C++ programs, and the
// Python modules hand in SciPy's cont2discrete so their results stay
// identical to SciPy's.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "iir.hpp"
#include "npmath.hpp"
#include "zoh.hpp"

namespace korvel {

// One CV/MV pair.
class PairModel {
  public:
    virtual ~PairModel() = default;
    // Advances one sample with MV deviation `du`; returns the CV deviation.
    virtual double step(double du) = 0;
    // n samples at one deviation: y[k] = step(du) for k < n.
    virtual void respond(double du, double* y, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k)
            y[k] = step(du);
    }

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

    // A copy steps a state of its own; only the coefficients, which never
    // change in place, are shared.
    TfModel(const TfModel& o)
        : PairModel(o), iir_(o.iir_), zi_(std::make_shared<std::vector<double>>(*o.zi_)) {}
    TfModel& operator=(const TfModel& o) {
        auto zi = std::make_shared<std::vector<double>>(*o.zi_);
        iir_ = o.iir_;
        zi_ = std::move(zi);
        return *this;
    }
    TfModel(TfModel&&) = default;
    TfModel& operator=(TfModel&&) = default;

    double step(double du) override {
        if (zi_->size() != iir_->state_size()) throw_state_shape();
        return iir_->step(du, zi_->data());
    }
    void respond(double du, double* y, std::size_t n) override {
        if (n == 0) return;
        if (zi_->size() != iir_->state_size()) throw_state_shape();
        iir_->respond(du, zi_->data(), y, n);
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

// A continuous transfer function made discrete: (num, den, Ts) -> DiscreteTf.
using Discretise =
    std::function<DiscreteTf(std::span<const double>, std::span<const double>, double)>;

inline DiscreteTf default_zoh(std::span<const double> num, std::span<const double> den, double Ts) {
    return zoh(num, den, Ts);
}

// --- c2d: a continuous transfer function with dead time, made discrete ---

// The numerator from its first non-zero coefficient on (a NaN counts as
// non-zero); IndexError in NumPy's words when there is none.
inline std::vector<double> trim_leading_zeros(std::span<const double> num) {
    std::size_t i = 0;
    while (i < num.size() && num[i] == 0.0)
        ++i;
    if (i == num.size()) throw std::out_of_range(first_of_empty);
    return {num.begin() + static_cast<std::ptrdiff_t>(i), num.end()};
}

// The dead time in whole samples: int(round(delay / Ts)), ties to even.
inline std::size_t dead_time_samples(double delay, double Ts) {
    if (Ts == 0.0) throw zero_division("float division by zero");
    const double ratio = delay / Ts;
    if (std::isnan(ratio)) throw std::invalid_argument(nan_to_integer);
    double d;
    if (!npmath::round_half_even(ratio, d)) throw std::overflow_error(infinity_to_integer);
    if (d < 0) throw std::invalid_argument(negative_dimensions);
    // Beyond a vector's length the count would not even convert.
    if (d > static_cast<double>(std::vector<double>().max_size()))
        throw std::length_error("dead time too long for a numerator");
    return static_cast<std::size_t>(d);
}

// `samples` zeros followed by the discretised numerator.
inline std::vector<double> with_dead_time(std::span<const double> num, std::size_t samples) {
    std::vector<double> out(samples, 0.0);
    out.insert(out.end(), num.begin(), num.end());
    return out;
}

// Gd(z) with the dead time as leading numerator zeros.
inline DiscreteTf c2d(std::span<const double> num, std::span<const double> den, double delay,
                      double Ts = 1.0, const Discretise& discretise = default_zoh) {
    const std::vector<double> trimmed = trim_leading_zeros(num);
    DiscreteTf d = discretise(trimmed, den, Ts);
    d.num = with_dead_time(d.num, dead_time_samples(delay, Ts));
    return d;
}

// --- the model kinds ---

// tf_z: num preceded by `delay` zeros.
inline TfModel tfz_model(std::span<const double> num, std::vector<double> den,
                         std::size_t delay = 0) {
    return TfModel(with_dead_time(num, delay), std::move(den));
}

// A unit-step table as the FIR whose step response it is.
inline TfModel stp_model(std::span<const double> table) {
    return TfModel(npmath::diff_from_zero(table), {1.0});
}

// Breakpoints (x ascending, in samples) interpolated at 0, 1, ..., up to
// and excluding x[-1] + 1.
inline std::vector<double> breakpoint_table(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) throw breakpoint_lengths();
    if (x.empty()) throw std::out_of_range("index -1 is out of bounds for axis 0 with size 0");
    const double stop = x.back() + 1.0;
    if (!std::isfinite(stop)) throw std::invalid_argument("arange: cannot compute length");
    const double count = stop > 0 ? std::ceil(stop) : 0.0;
    std::vector<double> table(static_cast<std::size_t>(count));
    for (std::size_t k = 0; k < table.size(); ++k)
        table[k] = npmath::interp(static_cast<double>(k), x, y);
    return table;
}

inline TfModel stpxy_model(std::span<const double> x, std::span<const double> y) {
    const std::vector<double> table = breakpoint_table(x, y);
    return stp_model(table);
}

// c2d as the construction rule calls it: (num, den, delay, Ts). A Python
// binding hands in one that does the dead-time arithmetic on the caller's
// objects and discretises with SciPy.
using C2d =
    std::function<DiscreteTf(std::span<const double>, std::span<const double>, double, double)>;

inline DiscreteTf default_c2d(std::span<const double> num, std::span<const double> den,
                              double delay, double Ts) {
    return c2d(num, den, delay, Ts);
}

inline TfModel tfs_model(std::span<const double> num, std::span<const double> den, double delay,
                         double Ts = 1.0, const C2d& to_discrete = default_c2d) {
    DiscreteTf d = to_discrete(num, den, delay, Ts);
    return TfModel(std::move(d.num), std::move(d.den));
}

// --- the construction rule ---

enum class PairMode { none, tf_s, tf_z, stp, stpxy };

// One entry of a model dictionary. Only the fields of its mode are read.
struct PairSpec {
    PairMode mode = PairMode::none;
    bool integrating = false;
    std::vector<double> num, den; // tf_s: descending powers of s; tf_z: ascending z^-1
    double delay_s = 0.0;         // tf_s: dead time in the time unit of Ts
    std::size_t delay_z = 0;      // tf_z: dead time in samples
    std::vector<double> table;    // stp: one value per sample
    std::vector<double> x, y;     // stpxy: breakpoints and values

    static PairSpec tf_s(std::vector<double> num, std::vector<double> den, double delay = 0.0,
                         bool integrating = false) {
        PairSpec s;
        s.mode = PairMode::tf_s;
        s.num = std::move(num);
        s.den = std::move(den);
        s.delay_s = delay;
        s.integrating = integrating;
        return s;
    }
    static PairSpec tf_z(std::vector<double> num, std::vector<double> den, std::size_t delay = 0,
                         bool integrating = false) {
        PairSpec s;
        s.mode = PairMode::tf_z;
        s.num = std::move(num);
        s.den = std::move(den);
        s.delay_z = delay;
        s.integrating = integrating;
        return s;
    }
    static PairSpec stp(std::vector<double> table, bool integrating = false) {
        PairSpec s;
        s.mode = PairMode::stp;
        s.table = std::move(table);
        s.integrating = integrating;
        return s;
    }
    static PairSpec stpxy(std::vector<double> x, std::vector<double> y, bool integrating = false) {
        PairSpec s;
        s.mode = PairMode::stpxy;
        s.x = std::move(x);
        s.y = std::move(y);
        s.integrating = integrating;
        return s;
    }
};

// The model the rule gives a pair: its kind (which class a binding shows)
// and, for all but `none`, the filter.
struct BuiltPair {
    PairMode mode = PairMode::none;
    std::unique_ptr<TfModel> model;

    // The model as a pair model; `none` gives a shared model of nothing.
    std::unique_ptr<PairModel> take() {
        if (model) return std::move(model);
        return std::make_unique<NoModel>();
    }
};

// Integration of a pair's dynamics: G(s)/s, G(z)/(1 - z^-1), running sums.
// np.convolve with these two-tap kernels is exact products and at most one
// addition per output, so the core's plain convolution equals it on every
// host.
inline std::vector<double> integrated_den(PairMode mode, std::span<const double> den) {
    static constexpr double per_s[] = {1.0, 0.0}, per_z[] = {1.0, -1.0};
    return npmath::convolve(mode == PairMode::tf_s ? per_s : per_z, den);
}

inline BuiltPair build_pair(const PairSpec& s, double Ts, const C2d& to_discrete = default_c2d) {
    BuiltPair b{s.mode, nullptr};
    switch (s.mode) {
    case PairMode::none:
        return b;
    case PairMode::tf_s:
    case PairMode::tf_z: {
        const std::vector<double> den = s.integrating ? integrated_den(s.mode, s.den) : s.den;
        b.model = std::make_unique<TfModel>(s.mode == PairMode::tf_s
                                                ? tfs_model(s.num, den, s.delay_s, Ts, to_discrete)
                                                : tfz_model(s.num, den, s.delay_z));
        return b;
    }
    case PairMode::stp:
        b.model =
            std::make_unique<TfModel>(stp_model(s.integrating ? npmath::cumsum(s.table) : s.table));
        return b;
    case PairMode::stpxy:
        b.model =
            std::make_unique<TfModel>(stpxy_model(s.x, s.integrating ? npmath::cumsum(s.y) : s.y));
        return b;
    }
    throw unknown_mode();
}

} // namespace korvel
