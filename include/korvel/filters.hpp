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
// continues from where it was with the new dynamics. BasicLeadLag is the
// same rule over what it keeps (parameters, last samples, state) and how it
// discretises, so a binding runs it on the objects its callers see.
//
// A ZFilter's state may live elsewhere (a Python binding keeps it in an
// array that callers can see): every step has a form that takes the state
// vector.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "errors.hpp"
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

// Assigning a validated filter parameter: a negative value is refused, an
// equal one changes nothing, another is stored and the filter recomputed,
// the old value coming back if that fails. `field` does each part, so the
// rule holds whatever keeps the value (a Python property keeps it in an
// attribute of any object and compares with Python's operators):
//   negative(v), get() -> old, differs(v, old), set(v), recompute(),
//   restore(old) (must not throw: it runs while the failure propagates).
template <class Field, class V> void assign_parameter(Field&& field, const V& v) {
    if (field.negative(v)) throw std::invalid_argument("Expected a non-negative value.");
    auto old = field.get();
    if (!field.differs(v, old)) return;
    field.set(v);
    try {
        field.recompute();
    } catch (...) {
        field.restore(old);
        throw;
    }
}

// What a lead-lag keeps, for C++ callers. A binding keeps other things (the
// objects its callers gave, a state they can see) through a class of the
// same shape:
//   Parameter    alpha and tao as kept; value(p) is the number
//   Period       Ts as kept, handed to the discretiser as it is
//   Sample       the last input or output, or none; known(s), value(s),
//                Sample(x) for a computed x
//   State        lfilter's zi, or none before it exists; started(z),
//                data(z) its items for a step, state(v) one holding v,
//                State{} none
//   Discretiser  discretise(num, den, Ts) -> DiscreteTf
struct LeadLagDoubles {
    using Parameter = double;
    using Period = long long;
    using Sample = std::optional<double>;
    using State = std::optional<std::vector<double>>;
    using Discretiser = Discretise;

    static double value(double p) noexcept { return p; }
    static bool known(const Sample& s) noexcept { return s.has_value(); }
    static double value(const Sample& s) noexcept { return *s; }
    static bool started(const State& z) noexcept { return z.has_value(); }
    static double* data(State& z) noexcept { return z->data(); }
    static State state(std::vector<double> v) { return State(std::move(v)); }
};

template <class K = LeadLagDoubles> class BasicLeadLag {
  public:
    using Parameter = typename K::Parameter;
    using Period = typename K::Period;
    using Sample = typename K::Sample;
    using State = typename K::State;
    using Discretiser = typename K::Discretiser;

    struct Coefficients {
        std::vector<double> b, a;
    };
    // The settings; assigning them recomputes nothing (modify_param does).
    struct Parameters {
        Parameter alpha, tao;
        Period Ts;
    };
    // The last input and output: the operating point until the first call.
    struct Last {
        Sample u, y;
    };

    // The coefficient rule. tao 0 passes the input through; alpha 0 is the
    // lag (alpha tao s + 1 -> 1) with the zero-order hold's one-sample delay
    // dropped; alpha > 0 the lead-lag. Negative tao, or negative alpha with
    // tao != 0, have no rule (std::invalid_argument).
    static Coefficients coefficients(double alpha, double tao, const Period& Ts,
                                     const Discretiser& discretise = default_zoh) {
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

    BasicLeadLag(Parameter alpha = 0.0, Parameter tao = 5.0, Period Ts = 1, Sample u_ini = {},
                 Sample y_ini = {}, Discretiser discretise = default_zoh)
        : params_{std::move(alpha), std::move(tao), std::move(Ts)},
          discretise_(std::move(discretise)), iir_({1.0}, {1.0}),
          last_{std::move(u_ini), std::move(y_ini)} {
        modify_param();
    }

    // A filter as it was saved: its parts as they were, no rule run. A state,
    // where there is one, has iir.state_size() items.
    BasicLeadLag(Parameters params, Iir iir, std::optional<std::vector<double>> zi, Last last,
                 Discretiser discretise)
        : params_(std::move(params)), discretise_(std::move(discretise)), iir_(std::move(iir)),
          last_(std::move(last)) {
        KORVEL_ASSERT(!zi || zi->size() == iir_.state_size());
        if (zi) zi_ = K::state(std::move(*zi));
    }

    // New coefficients from alpha and tao, and the state restarted from the
    // last input and output when both are known (none otherwise). All or
    // nothing: a failure leaves the filter as it was.
    void modify_param() {
        // The discretiser may run code that replaces the settings: it gets
        // a Ts of its own.
        const Period Ts = params_.Ts;
        Coefficients c =
            coefficients(K::value(params_.alpha), K::value(params_.tao), Ts, discretise_);
        Iir f(std::move(c.b), std::move(c.a));
        State zi{};
        if (K::known(last_.u) && K::known(last_.y))
            zi = K::state(restart_state(f, K::value(last_.u), K::value(last_.y)));
        iir_ = std::move(f);
        using std::swap;
        swap(zi_, zi); // the old state goes last
    }

    // lfiltic(b, a, [y], [u]): the state after input u and output y.
    static std::vector<double> restart_state(const Iir& f, double u, double y) {
        const double yy[1] = {y}, uu[1] = {u};
        return lfiltic(f.b(), f.a(), yy, uu);
    }

    // Assigning a parameter: assign_parameter's rule.
    void set_alpha(double v) { assign_parameter(Setting{*this, params_.alpha}, v); }
    void set_tao(double v) { assign_parameter(Setting{*this, params_.tao}, v); }

    // Coefficients as a caller assigns them, no rule run; while there is a
    // state they must need one of its length.
    void set_iir(Iir f) {
        if (K::started(zi_) && f.state_size() != iir_.state_size())
            throw std::invalid_argument(
                "the new coefficients need a state of another length than _zi");
        iir_ = std::move(f);
    }

    // One sample; a filter that never ran starts at rest at its input.
    double step(double u) {
        if (!K::started(zi_)) [[unlikely]]
            start_at_rest(u);
        iir_.check();
        return record(u, iir_.step(u, K::data(zi_)));
    }

    // Samples x run by filter(iir, z), which filters them all on state z and
    // returns the last output. x.first() is asked only where the state starts
    // at rest at the first sample, x.last() before the filter runs; both
    // throw when there are no samples.
    template <class Samples, class Filter> double run(const Samples& x, Filter&& filter) {
        if (!K::started(zi_)) start_at_rest(x.first());
        const double u = x.last(); // the outputs may take the inputs' place
        return record(u, filter(std::as_const(iir_), K::data(zi_)));
    }

    // n samples of x into y (y may alias x); none is std::out_of_range.
    void run(const double* x, double* y, std::size_t n) {
        run(Span{x, n}, [&](const Iir& f, double* z) {
            f.filter(x, y, n, z);
            return y[n - 1];
        });
    }

    double alpha() const { return K::value(params_.alpha); }
    double tao() const { return K::value(params_.tao); }
    const Period& Ts() const noexcept { return params_.Ts; }
    const Iir& iir() const noexcept { return iir_; }
    const State& state() const noexcept { return zi_; }
    const Last& last() const noexcept { return last_; }

    // The parts as kept, for a binding whose callers assign them directly.
    Parameters& parameters() noexcept { return params_; }
    State& state() noexcept { return zi_; }
    Last& last() noexcept { return last_; }

  private:
    // A parameter of this filter under assign_parameter (Parameter double).
    struct Setting {
        BasicLeadLag& f;
        Parameter& p;
        bool negative(double v) const noexcept { return v < 0; }
        double get() const noexcept { return p; }
        bool differs(double v, double old) const noexcept { return v != old; }
        void set(double v) noexcept { p = v; }
        void recompute() const { f.modify_param(); }
        void restore(double old) noexcept { p = old; }
    };

    struct Span {
        const double* x;
        std::size_t n;
        double first() const { return at(0); }
        double last() const { return at(n - 1); }
        double at(std::size_t i) const {
            if (n == 0) throw std::out_of_range("index 0 is out of bounds for axis 0 with size 0");
            return x[i];
        }
    };

    void start_at_rest(double u) { zi_ = K::state(restart_state(iir_, u, u)); }

    // The old input and output are released last: releasing may run code
    // that uses the filter.
    double record(double u, double y) {
        [[maybe_unused]] Sample old_u = std::exchange(last_.u, Sample(u));
        [[maybe_unused]] Sample old_y = std::exchange(last_.y, Sample(y));
        return y;
    }

    Parameters params_;
    Discretiser discretise_;
    Iir iir_;
    State zi_{};
    Last last_;
};

using LeadLag = BasicLeadLag<>;

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

// The length of a trajectory asked for with N samples: none for a negative
// N (np.arange(0, N) is empty), which tao <= 0 refuses (np.ones(N)).
inline std::size_t filter_stp_length(long long N, double tao) {
    if (N < 0 && tao <= 0) throw std::invalid_argument(negative_dimensions);
    return N > 0 ? static_cast<std::size_t>(N) : 0;
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
