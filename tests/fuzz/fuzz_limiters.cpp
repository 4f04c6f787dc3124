// The band limiter, the anti-windup limiter and the rate limiter: outputs
// stay in their band (or between the last output and the target) when the
// inputs are finite, and copies continue exactly.
#include <korvel/limiters.hpp>

#include <algorithm>
#include <cmath>
#include <optional>

#include "bytes.hpp"

namespace {

bool all_finite(std::initializer_list<double> v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    korvel::AntiWindup aw, aw_twin;
    const double Ts = in.u8() % 4 ? in.finite() : in.number();
    korvel::RateLimiter rl(in.number(), Ts), rl_twin = rl;
    bool copied = false;

    while (!in.empty()) {
        const bool tame = in.u8() % 4 != 0;
        const double u = tame ? in.finite() : in.number();
        double hi = tame ? in.finite() : in.number(), lo = tame ? in.finite() : in.number();
        if (tame && hi < lo && in.flag()) std::swap(hi, lo);
        switch (in.u8() % 4) {
        case 0: {
            const double y = korvel::limit(u, hi, lo);
            if (std::isnan(u) && !(hi < u) && !(lo > u)) FUZZ_CHECK(std::isnan(y) || y == hi);
            if (all_finite({u, hi, lo})) {
                if (hi >= lo)
                    FUZZ_CHECK(lo <= y && y <= hi && (y == u || y == hi || y == lo));
                else
                    FUZZ_CHECK(y == hi);
            }
            break;
        }
        case 1: {
            const double y = aw.step(u, hi, lo);
            if (all_finite({u, hi, lo}) && !std::isnan(y)) {
                if (hi >= lo)
                    FUZZ_CHECK(lo <= y && y <= hi);
                else
                    FUZZ_CHECK(y == hi);
            }
            FUZZ_CHECK(fuzz::same(*aw.u0(), u) && fuzz::same(*aw.y0(), y));
            if (copied) FUZZ_CHECK(fuzz::same(aw_twin.step(u, hi, lo), y));
            break;
        }
        case 2: {
            const double rise = tame ? in.finite() : in.number();
            const std::optional<double> fall =
                in.flag() ? std::nullopt : std::optional<double>(tame ? in.finite() : in.number());
            const double last = rl.last();
            const double y = rl.step(u, rise, fall);
            const double up = korvel::rate_per_sample(rise, Ts);
            FUZZ_CHECK(std::isnan(up) || up >= 0.0);
            if (all_finite({u, last, up}) && (!fall || std::isfinite(*fall)) &&
                std::isfinite(u - last))
                FUZZ_CHECK(std::min(last, u) <= y && y <= std::max(last, u));
            if (copied) FUZZ_CHECK(fuzz::same(rl_twin.step(u, rise, fall), y));
            break;
        }
        case 3:
            aw_twin = aw;
            rl_twin = rl;
            copied = true;
            break;
        }
        if (copied)
            FUZZ_CHECK(fuzz::same(rl.last(), rl_twin.last()) &&
                       aw.u0().has_value() == aw_twin.u0().has_value());
    }
    // One slew step: the target, or one full step towards it.
    const double last = in.finite(), target = in.finite(), rise = std::fabs(in.finite()),
                 fall = -std::fabs(in.finite());
    const korvel::Slew s = korvel::slew_step(last, target, rise, fall);
    FUZZ_CHECK(s.limited ? (s.value == last + rise || s.value == last + fall) : s.value == target);
    return 0;
}
