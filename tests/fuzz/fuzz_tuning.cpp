// The tuning rules over any transfer function: refused in their own terms,
// or a process with real, ordered lags whose PID gain has the process gain's
// sign and whose non-interacting form came from a series one (TI >= 4 TD).
#include <korvel/tuning.hpp>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace tn = korvel::tuning;

namespace {

std::optional<double> maybe(fuzz::Bytes& in, bool wild) {
    if (in.flag()) return std::nullopt;
    return wild ? in.number() : in.bounded(20.0);
}

void check(const tn::Process& p, const tn::PidParams& r) {
    FUZZ_CHECK(r.N == tn::derivative_filter);
    if (!std::isfinite(r.KP) || !std::isfinite(r.TI) || !std::isfinite(r.TD)) return;
    FUZZ_CHECK(r.KP == 0.0 || (r.KP > 0.0) == (p.gain > 0.0));
    FUZZ_CHECK(r.TI > 0.0 && r.TD >= 0.0);
    FUZZ_CHECK(r.TI >= 4.0 * r.TD * (1.0 - 1e-12));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool wild = in.u8() % 4 == 0;
    const auto poly = [&](std::size_t max_len) {
        if (wild) return in.numbers(max_len);
        std::vector<double> v(in.below(max_len + 1));
        for (double& x : v)
            x = in.u8() % 6 == 0 ? 0.0 : in.bounded(30.0);
        return v;
    };
    const std::vector<double> num = poly(3), den = poly(4);
    const double delay = wild ? in.number() : in.bounded(10.0);
    const bool integrating = in.flag();
    tn::Process p;
    try {
        p = tn::from_transfer(num, den, delay, integrating);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    FUZZ_CHECK(std::isfinite(p.gain) && p.gain != 0.0);
    FUZZ_CHECK(p.tau1 >= p.tau2 && p.tau2 >= 0.0 && p.dead_time >= 0.0);
    const std::optional<double> tc = maybe(in, wild), Ts = maybe(in, wild);
    try {
        check(p, tn::simc(p, tc, Ts));
    } catch (const std::invalid_argument&) {
    }
    try {
        check(p, tn::lambda_tuning(p, tc, Ts));
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
