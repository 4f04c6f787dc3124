// Output limiting: an anti-windup band limiter and a slew-rate limiter, one
// at a time or n lanes in one call.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "assert.hpp"
#include "lanes.hpp"
#include "simd.hpp"

namespace korvel {

// Band limit with the lower bound tested first and the upper bound last, so
// hi < lo always yields hi. A NaN fails both tests and passes through.
KORVEL_ALWAYS_INLINE double limit(double x, double hi, double lo) noexcept {
    const double y = lo > x ? lo : x;
    return hi < y ? hi : y;
}

// The anti-windup rule on one limiter's numbers, wherever they are kept: `L`
// gives references to the previous input and output (u0, y0) and to the
// flags saying whether each exists yet (has_u0, has_y0). An AntiWindup keeps
// one set, an AntiWindupBank one per lane, so both run this code.
namespace antiwindup_law {

// What the first step supplies: the input, and the input limited, for
// whichever of the two does not exist yet.
template <class L> void start(L l, double u, double hi, double lo) noexcept {
    if (!l.has_u0()) {
        l.u0() = u;
        l.has_u0() = true;
    }
    if (!l.has_y0()) {
        l.y0() = limit(u, hi, lo);
        l.has_y0() = true;
    }
}

// One step of a started limiter: the previous output plus the change of the
// input, limited, so an output held at a limit leaves it with the first
// sample in which the input turns back, however far the input went beyond.
template <class L>
KORVEL_ALWAYS_INLINE double running(L l, double u, double hi, double lo) noexcept {
    const double du = u - l.u0();
    const double y = limit(l.y0() + du, hi, lo);
    l.u0() = u;
    l.y0() = y;
    return y;
}

template <class L> double step(L l, double u, double hi, double lo) noexcept {
    start(l, u, hi, lo);
    return running(l, u, hi, lo);
}

} // namespace antiwindup_law

class AntiWindup {
  public:
    double step(double u, double hi, double lo) noexcept {
        return antiwindup_law::step(One{*this}, u, hi, lo);
    }

    // Previous input and output; empty before the first step.
    std::optional<double> u0() const noexcept {
        return has_u0_ ? std::optional(u0_) : std::nullopt;
    }
    std::optional<double> y0() const noexcept {
        return has_y0_ ? std::optional(y0_) : std::nullopt;
    }
    void set_u0(std::optional<double> v) noexcept {
        has_u0_ = v.has_value();
        u0_ = v.value_or(0.0);
    }
    void set_y0(std::optional<double> v) noexcept {
        has_y0_ = v.has_value();
        y0_ = v.value_or(0.0);
    }

  private:
    struct One {
        AntiWindup& a;
        double& u0() const noexcept { return a.u0_; }
        double& y0() const noexcept { return a.y0_; }
        bool& has_u0() const noexcept { return a.has_u0_; }
        bool& has_y0() const noexcept { return a.has_y0_; }
    };
    double u0_ = 0.0, y0_ = 0.0;
    bool has_u0_ = false, has_y0_ = false;
};

// n anti-windup limiters stepped together, each exactly an AntiWindup: one
// array per number. A bank of one lane is an AntiWindup.
class AntiWindupBank {
  public:
    explicit AntiWindupBank(std::size_t n = 0)
        : has_u0(n), has_y0(n), u0(n), y0(n),
          in_{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)} {}

    std::size_t size() const noexcept { return u0.size(); }

    // One sample of every lane into out[0:size()].
    void step(Lanes u, Lanes hi, Lanes lo, double* out) noexcept {
        const std::size_t n = size();
        // Lanes that have not run yet start first; then every lane is a
        // started one and the step is one loop without branches.
        std::uint8_t started = 1;
        for (std::size_t i = 0; i < n; ++i)
            started &= has_u0[i] && has_y0[i];
        if (!started)
            for (std::size_t i = 0; i < n; ++i)
                antiwindup_law::start(lane(i), u[i], hi[i], lo[i]);
        double* u0_ = u0.data();
        double* y0_ = y0.data();
        with_lanes(n, in_, {u, hi, lo}, [&](auto U, auto H, auto L) {
            KORVEL_LANE_LOOP
            for (std::size_t i = 0; i < n; ++i)
                out[i] = antiwindup_law::running(At{u0_, y0_, i}, U[i], H[i], L[i]);
        });
    }

    // Lane i as a limiter of its own, and back.
    AntiWindup get(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        AntiWindup a;
        if (has_u0[i]) a.set_u0(u0[i]);
        if (has_y0[i]) a.set_y0(y0[i]);
        return a;
    }
    void set(std::size_t i, const AntiWindup& a) {
        KORVEL_ASSERT(i < size());
        has_u0[i] = a.u0().has_value();
        has_y0[i] = a.y0().has_value();
        u0[i] = a.u0().value_or(0.0);
        y0[i] = a.y0().value_or(0.0);
    }

    // The numbers of every lane, one array each; u0[i] (y0[i]) means
    // something only where has_u0[i] (has_y0[i]) is set.
    std::vector<std::uint8_t> has_u0, has_y0;
    std::vector<double> u0, y0;

  private:
    struct Lane {
        AntiWindupBank& b;
        std::size_t i;
        double& u0() const noexcept { return b.u0[i]; }
        double& y0() const noexcept { return b.y0[i]; }
        std::uint8_t& has_u0() const noexcept { return b.has_u0[i]; }
        std::uint8_t& has_y0() const noexcept { return b.has_y0[i]; }
    };
    Lane lane(std::size_t i) noexcept { return Lane{*this, i}; }
    // The same view over raw pointers, for the loop over started lanes.
    struct At {
        double* u0_;
        double* y0_;
        std::size_t i;
        double& u0() const noexcept { return u0_[i]; }
        double& y0() const noexcept { return y0_[i]; }
    };
    std::vector<double> in_[3]; // an input's lanes when strided
};

// A rate in units per minute as a step per sample of Ts seconds, sign
// dropped: |(per_minute / 60) * Ts|.
KORVEL_ALWAYS_INLINE double rate_per_sample(double per_minute, double Ts) noexcept {
    return std::fabs(per_minute / 60.0 * Ts);
}

// One slew-limited move from `last` towards `target`: at most `rise` up and
// `fall` (<= 0) down. Within one step the target itself is the result
// (`limited` false); a NaN difference fails both tests, so the target is
// returned as it is. Both directions are computed and one taken, so a loop
// over lanes has no branch.
struct Slew {
    double value;
    bool limited;
};

KORVEL_ALWAYS_INLINE Slew slew_step(double last, double target, double rise, double fall) noexcept {
    const double d = target - last;
    const bool up = d >= 0;
    const bool limited = (up & (d > rise)) | (!up & (d < fall));
    const double by = up ? rise : fall;
    return {limited ? last + by : target, limited};
}

// The rate-limit rule on one limiter's numbers: `L` gives references to the
// previous output (last) and the sampling period (Ts). A RateLimiter keeps
// one set, a RateLimiterBank one per lane.
namespace rate_law {

// Rates in units per minute, signs ignored. A limiter without a falling rate
// falls at its rising one: pass the rising rate as fall_per_min, which gives
// the same step to the bit.
template <class L>
KORVEL_ALWAYS_INLINE Slew step(L l, double target, double rise_per_min,
                               double fall_per_min) noexcept {
    const double rise = rate_per_sample(rise_per_min, l.Ts());
    const double fall = -rate_per_sample(fall_per_min, l.Ts());
    const Slew s = slew_step(l.last(), target, rise, fall);
    l.last() = s.value;
    return s;
}

} // namespace rate_law

class RateLimiter {
  public:
    explicit RateLimiter(double u_ini, double Ts = 1.0) noexcept : last_(u_ini), Ts_(Ts) {}

    // Rates in units per minute; no falling rate means the rising one.
    double step(double target, double rise_per_min = 60.0,
                std::optional<double> fall_per_min = std::nullopt) noexcept {
        return rate_law::step(One{*this}, target, rise_per_min, fall_per_min.value_or(rise_per_min))
            .value;
    }
    void reset(double u_ini) noexcept { last_ = u_ini; }
    double last() const noexcept { return last_; }
    double Ts() const noexcept { return Ts_; }

  private:
    struct One {
        RateLimiter& r;
        double& last() const noexcept { return r.last_; }
        double Ts() const noexcept { return r.Ts_; }
    };
    double last_, Ts_;
};

// n rate limiters stepped together, each exactly a RateLimiter: one array per
// number. A bank of one lane is a RateLimiter.
class RateLimiterBank {
  public:
    explicit RateLimiterBank(std::size_t n = 0, double u_ini = 0.0, double Ts_ = 1.0)
        : last(n, u_ini), Ts(n, Ts_),
          in_{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)} {}

    std::size_t size() const noexcept { return last.size(); }

    // One sample of every lane into out[0:size()]; rates in units per minute.
    void step(Lanes target, Lanes rise_per_min, Lanes fall_per_min, double* out) noexcept {
        const std::size_t n = size();
        double* last_ = last.data();
        const double* Ts_ = Ts.data();
        with_lanes(n, in_, {target, rise_per_min, fall_per_min}, [&](auto T, auto R, auto F) {
            KORVEL_LANE_LOOP
            for (std::size_t i = 0; i < n; ++i)
                out[i] = rate_law::step(At{last_, Ts_, i}, T[i], R[i], F[i]).value;
        });
    }
    // Every lane falls at its rising rate.
    void step(Lanes target, Lanes rise_per_min, double* out) noexcept {
        step(target, rise_per_min, rise_per_min, out);
    }
    void reset(Lanes u_ini) noexcept {
        for (std::size_t i = 0; i < size(); ++i)
            last[i] = u_ini[i];
    }

    // Lane i as a limiter of its own, and back.
    RateLimiter get(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        return RateLimiter(last[i], Ts[i]);
    }
    void set(std::size_t i, const RateLimiter& r) {
        KORVEL_ASSERT(i < size());
        last[i] = r.last();
        Ts[i] = r.Ts();
    }

    // The numbers of every lane, one array each.
    std::vector<double> last, Ts;

  private:
    struct At {
        double* last_;
        const double* Ts_;
        std::size_t i;
        double& last() const noexcept { return last_[i]; }
        double Ts() const noexcept { return Ts_[i]; }
    };
    std::vector<double> in_[3]; // an input's lanes when strided
};

} // namespace korvel
