// Transfer-function filters with persistent state: ZFilter (discrete),
// SFilter (continuous, discretised once) and LeadLag (first-order lead-lag
// whose parameters may change while it runs, without a bump).
//
// ZFilter works in deviation form around an operating point (u_ini, y_ini):
// it filters the input minus u_ini from rest and adds y_ini to the output, so
// it starts in equilibrium at the operating point whatever its gain. An
// operating point not given at construction is taken from the first call.
//
// LeadLag is G(s) = (alpha tao s + 1) / (tao s + 1) at the sampling period
// Ts (whole time units); every step records the last input and output, and
// new parameters restart the state from them (lfiltic), so the output
// continues from where it was with the new dynamics.
//
// The state may live elsewhere (a Python binding keeps it in an array that
// callers can see): every step has a form that takes the state vector.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "iir.hpp"
#include "models.hpp"

#include "assert.hpp"

namespace korvel {

// An input or output operating point: empty until given or adopted.
struct OperatingPoint {
    std::optional<double> u, y;

    // Takes the first call's input and output operating point where none is
    // set yet.
    void adopt(double ut, double y_arg) noexcept {
        if (!u) u = ut;
        if (!y) y = y_arg;
    }
};

class ZFilter {
  public:
    // lfiltic's checks refuse what the filter could not run.
    ZFilter(std::vector<double> b, std::vector<double> a, std::optional<double> u_ini = {},
            std::optional<double> y_ini = {})
        : iir_(std::move(b), std::move(a)), op_{u_ini, y_ini} {
        const std::size_t n = std::max(iir_.a().size(), iir_.b().size());
        const std::vector<double> zeros(n, 0.0);
        zi_ = lfiltic(iir_.b(), iir_.a(), zeros, zeros);
    }

    // One sample on the filter's own state.
    double step(double ut, double y_ini_arg = 0.0) { return step(ut, y_ini_arg, zi_.data()); }

    // One sample on state z (state_size() items).
    double step(double ut, double y_ini_arg, double* z) {
        op_.adopt(ut, y_ini_arg);
        iir_.check();
        return iir_.step(ut - *op_.u, z) + *op_.y;
    }

    // n samples of x into y (y may alias x). An empty input with no input
    // operating point fails: there is no first sample to take it from.
    void run(const double* x, double* y, std::size_t n, double y_ini_arg, double* z) {
        if (!op_.u && n == 0)
            throw std::out_of_range("index 0 is out of bounds for axis 0 with size 0");
        op_.adopt(n ? x[0] : 0.0, y_ini_arg);
        iir_.filter_deviation(x, y, n, z, *op_.u, *op_.y);
    }
    void run(const double* x, double* y, std::size_t n, double y_ini_arg = 0.0) {
        run(x, y, n, y_ini_arg, zi_.data());
    }

    const Iir& iir() const noexcept { return iir_; }
    // New coefficients must need a state of the same length.
    void set_iir(Iir f) {
        if (f.state_size() != iir_.state_size())
            throw std::invalid_argument("the new coefficients need a state of another length");
        iir_ = std::move(f);
    }
    std::size_t state_size() const noexcept { return iir_.state_size(); }
    const std::vector<double>& state() const noexcept { return zi_; }
    std::vector<double>& state() noexcept { return zi_; }
    OperatingPoint& operating_point() noexcept { return op_; }
    const OperatingPoint& operating_point() const noexcept { return op_; }

  private:
    Iir iir_;
    OperatingPoint op_;
    std::vector<double> zi_;
};

// Bs(s)/As(s) made discrete at Ts (a zero-order hold, no trimming, no dead
// time), then a ZFilter of the discrete coefficients.
class SFilter {
  public:
    SFilter(std::vector<double> Bs = {1.0}, std::vector<double> As = {5.0, 1.0}, double Ts = 1.0,
            std::optional<double> u_ini = {}, std::optional<double> y_ini = {},
            const Discretise& discretise = default_zoh)
        : SFilter(discretise(Bs, As, Ts), u_ini, y_ini) {}

    SFilter(DiscreteTf d, std::optional<double> u_ini = {}, std::optional<double> y_ini = {})
        : z_(std::move(d.num), std::move(d.den), u_ini, y_ini) {}

    double step(double ut, double y_ini_arg = 0.0) { return z_.step(ut, y_ini_arg); }
    ZFilter& zfilter() noexcept { return z_; }
    const ZFilter& zfilter() const noexcept { return z_; }

  private:
    ZFilter z_;
};

// The soft-sensor bias lag 1/(tao s + 1) at one call per time unit, at rest
// at 0; `none` for tao <= 0 or NaN (the bias passes unfiltered). A lag of any
// kind: make(num, den, Ts, u_ini, y_ini) builds it. Ts is a whole number of
// time units, as a caller that keeps the period as given shows it.
template <class Lag, class Make> Lag bias_lag(double tao, Lag none, Make&& make) {
    if (!(tao > 0)) return none;
    const double num[] = {1.0}, den[] = {tao, 1.0};
    return make(std::span<const double>(num), std::span<const double>(den), 1, 0.0, 0.0);
}

inline std::optional<SFilter> bias_lag(double tao, const Discretise& discretise = default_zoh) {
    return bias_lag(tao, std::optional<SFilter>(),
                    [&](std::span<const double> num, std::span<const double> den, int Ts,
                        double u_ini, double y_ini) {
                        return std::optional<SFilter>(std::in_place,
                                                      std::vector<double>(num.begin(), num.end()),
                                                      std::vector<double>(den.begin(), den.end()),
                                                      Ts, u_ini, y_ini, discretise);
                    });
}

class LeadLag {
  public:
    struct Coefficients {
        std::vector<double> b, a;
    };

    // The coefficient rule. tao 0 passes the input through; alpha 0 is the
    // lag (alpha tao s + 1 -> 1) with the zero-order hold's one-sample delay
    // dropped; alpha > 0 the lead-lag. Negative tao, or negative alpha with
    // tao != 0, have no rule (std::invalid_argument).
    static Coefficients coefficients(double alpha, double tao, double Ts,
                                     const Discretise& discretise = default_zoh) {
        if (tao == 0) return {{1.0}, {1.0}};
        if (alpha == 0 && tao > 0) {
            const double one[] = {1.0}, lag[] = {tao, 1.0};
            DiscreteTf d = discretise(one, lag, Ts);
            return {{d.num.at(1)}, std::move(d.den)};
        }
        if (alpha > 0 && tao > 0) {
            const double lead[] = {alpha * tao, 1.0}, lag[] = {tao, 1.0};
            DiscreteTf d = discretise(lead, lag, Ts);
            return {std::move(d.num), std::move(d.den)};
        }
        throw std::invalid_argument("LDLAG needs tao >= 0, and alpha >= 0 unless tao is 0");
    }

    LeadLag(double alpha = 0.0, double tao = 5.0, long long Ts = 1,
            std::optional<double> u_ini = {}, std::optional<double> y_ini = {},
            Discretise discretise = default_zoh)
        : alpha_(alpha), tao_(tao), Ts_(Ts), discretise_(std::move(discretise)),
          iir_({1.0}, {1.0}), last_{u_ini, y_ini} {
        modify_param();
    }

    // New coefficients from alpha and tao, and the state restarted from the
    // last input and output when both exist (empty otherwise). All or
    // nothing: a failure leaves the filter as it was.
    void modify_param() {
        Coefficients c = coefficients(alpha_, tao_, static_cast<double>(Ts_), discretise_);
        Iir f(std::move(c.b), std::move(c.a));
        std::optional<std::vector<double>> zi;
        if (last_.u && last_.y) zi = restart_state(f, *last_.u, *last_.y);
        iir_ = std::move(f);
        zi_ = std::move(zi);
    }

    // lfiltic(b, a, [y], [u]): the state after input u and output y.
    static std::vector<double> restart_state(const Iir& f, double u, double y) {
        const double yy[1] = {y}, uu[1] = {u};
        return lfiltic(f.b(), f.a(), yy, uu);
    }

    // Assigning a parameter: negative values are refused, an equal value
    // changes nothing, another one recomputes the filter (and is undone if
    // that fails).
    void set_alpha(double v) { set(alpha_, v); }
    void set_tao(double v) { set(tao_, v); }

    // One sample; a filter that never ran starts at rest at its input.
    double step(double u) {
        if (!zi_) zi_ = restart_state(iir_, u, u);
        return step(u, zi_->data());
    }
    // One sample on state z; the caller has started the state.
    double step(double u, double* z) {
        KORVEL_ASSERT(z != nullptr || iir_.state_size() == 0);
        const double y = iir_.step(u, z);
        last_ = {u, y};
        return y;
    }

    // n samples of x into y (y may alias x); n >= 1.
    void run(const double* x, double* y, std::size_t n) {
        if (n == 0) throw std::out_of_range("index 0 is out of bounds for axis 0 with size 0");
        if (!zi_) zi_ = restart_state(iir_, x[0], x[0]);
        run(x, y, n, zi_->data());
    }
    void run(const double* x, double* y, std::size_t n, double* z) {
        KORVEL_ASSERT(n >= 1);
        const double last_u = x[n - 1];
        iir_.filter(x, y, n, z);
        last_ = {last_u, y[n - 1]};
    }

    double alpha() const noexcept { return alpha_; }
    double tao() const noexcept { return tao_; }
    long long Ts() const noexcept { return Ts_; }
    const Iir& iir() const noexcept { return iir_; }
    const std::optional<std::vector<double>>& state() const noexcept { return zi_; }
    const OperatingPoint& last() const noexcept { return last_; }

  private:
    void set(double& field, double v) {
        if (v < 0) throw std::invalid_argument("Expected a non-negative value.");
        if (v == field) return;
        const double old = field;
        field = v;
        try {
            modify_param();
        } catch (...) {
            field = old;
            throw;
        }
    }

    double alpha_, tao_;
    long long Ts_;
    Discretise discretise_;
    Iir iir_;
    std::optional<std::vector<double>> zi_;
    OperatingPoint last_; // the last input and output (the operating point before)
};

// The ideal lead-lag step trajectory from r1 to r2 over n samples with the
// time constant in samples, into w[0:n]: r1 + (r2 - r1)(1 - (1 - alpha)
// e^(-k/tao)), or r2 throughout for tao <= 0. `exp` takes the exponentials of
// w[0:n] in place (a Python binding hands in NumPy's vectorised exp, which
// may differ from std::exp in the last bit).
template <class Exp>
void filter_stp(double* w, std::size_t n, double tao, double alpha, double r1, double r2,
                Exp&& exp) {
    const double span = r2 - r1;
    if (tao <= 0) {
        for (std::size_t k = 0; k < n; ++k)
            w[k] = r1 + span * 1.0;
        return;
    }
    const double rate = -1 / tao;
    for (std::size_t k = 0; k < n; ++k)
        w[k] = rate * static_cast<double>(k);
    exp(w, n);
    const double gap = 1 - alpha;
    for (std::size_t k = 0; k < n; ++k)
        w[k] = r1 + span * (1 - gap * w[k]);
}

inline std::vector<double> filter_stp(std::size_t n, double tao, double alpha, double r1 = 0.0,
                                      double r2 = 1.0) {
    std::vector<double> w(n);
    filter_stp(w.data(), n, tao, alpha, r1, r2, [](double* v, std::size_t m) {
        for (std::size_t k = 0; k < m; ++k)
            v[k] = std::exp(v[k]);
    });
    return w;
}

} // namespace korvel
