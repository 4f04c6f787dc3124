// Output limiting: an anti-windup band limiter and a slew-rate limiter.
#pragma once

#include <cmath>
#include <optional>

namespace korvel {

// Band limit with the lower bound tested first and the upper bound last, so
// hi < lo always yields hi. A NaN fails both tests and passes through.
inline double limit(double x, double hi, double lo) noexcept {
    const double y = lo > x ? lo : x;
    return hi < y ? hi : y;
}

// Passes on the changes of its input rather than the input, kept inside the
// band: an output held at a limit leaves it with the first sample in which
// the input turns back, however far the input went beyond the limit.
class AntiWindup {
  public:
    double step(double u, double hi, double lo) noexcept {
        if (!u0_) u0_ = u;
        if (!y0_) y0_ = limit(u, hi, lo);
        const double du = u - *u0_;
        const double y = limit(*y0_ + du, hi, lo);
        u0_ = u;
        y0_ = y;
        return y;
    }

    // Previous input and output; empty before the first step.
    const std::optional<double>& u0() const noexcept { return u0_; }
    const std::optional<double>& y0() const noexcept { return y0_; }
    void set_u0(std::optional<double> v) noexcept { u0_ = v; }
    void set_y0(std::optional<double> v) noexcept { y0_ = v; }

  private:
    std::optional<double> u0_, y0_;
};

// A rate in units per minute as a step per sample of Ts seconds, sign
// dropped: |(per_minute / 60) * Ts|.
inline double rate_per_sample(double per_minute, double Ts) noexcept {
    return std::fabs(per_minute / 60.0 * Ts);
}

// One slew-limited move from `last` towards `target`: at most `rise` up and
// `fall` (<= 0) down. Within one step the target itself is the result
// (`limited` false); a NaN difference fails both tests, so the target is
// returned as it is.
struct Slew {
    double value;
    bool limited;
};

inline Slew slew_step(double last, double target, double rise, double fall) noexcept {
    const double d = target - last;
    if (d >= 0) return d > rise ? Slew{last + rise, true} : Slew{target, false};
    return d < fall ? Slew{last + fall, true} : Slew{target, false};
}

class RateLimiter {
  public:
    explicit RateLimiter(double u_ini, double Ts = 1.0) noexcept : last_(u_ini), Ts_(Ts) {}

    // Rates in units per minute; no falling rate means the rising one.
    double step(double target, double rise_per_min = 60.0,
                std::optional<double> fall_per_min = std::nullopt) noexcept {
        const double rise = rate_per_sample(rise_per_min, Ts_);
        const double fall = fall_per_min ? -rate_per_sample(*fall_per_min, Ts_) : -rise;
        last_ = slew_step(last_, target, rise, fall).value;
        return last_;
    }
    void reset(double u_ini) noexcept { last_ = u_ini; }
    double last() const noexcept { return last_; }
    double Ts() const noexcept { return Ts_; }

  private:
    double last_, Ts_;
};

} // namespace korvel
