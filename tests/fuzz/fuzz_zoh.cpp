// The zero-order hold: refused in its own terms or a normalised result of
// the right length; exact where the arithmetic is exact (Ts = 0, a first-
// order lag against its closed form, scaling the numerator by two).
#include <korvel/zoh.hpp>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace {

bool discretise(const std::vector<double>& num, const std::vector<double>& den, double Ts,
                korvel::DiscreteTf& out) {
    try {
        out = korvel::zoh(num, den, Ts);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

// Whether every normalised numerator coefficient is clear of the 1e-14
// trimming threshold and of the ends of the range, so doubling it changes
// nothing but the scale.
bool scales_cleanly(const std::vector<double>& num, const std::vector<double>& den) {
    double a0 = 0.0;
    for (double v : den)
        if (v != 0.0) {
            a0 = v;
            break;
        }
    for (double v : num) {
        const double b = std::fabs(v / a0);
        if (v != 0.0 && (b < 1e-12 || b > 1e100 || std::fabs(v) > 1e300)) return false;
    }
    for (double v : den)
        if (v != 0.0 && (std::fabs(v / a0) < 1e-100 || std::fabs(v / a0) > 1e100)) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool wild = in.u8() % 4 == 0;
    auto poly = [&](std::size_t max_len) {
        if (wild) return in.numbers(max_len);
        std::vector<double> v(in.below(max_len + 1));
        for (double& x : v)
            x = in.u8() % 8 == 0 ? 0.0 : in.bounded(4.0);
        return v;
    };
    const std::vector<double> num = poly(4), den = poly(5);
    const double Ts = wild ? in.number() : static_cast<double>(in.u8() % 16) / 4.0;

    korvel::DiscreteTf d;
    if (!discretise(num, den, Ts, d)) return 0;
    std::size_t first = 0;
    while (first < den.size() && den[first] == 0.0)
        ++first;
    const std::size_t K = den.size() - first;
    FUZZ_CHECK(d.den.size() == (K == 1 ? 2 : K) && d.num.size() == d.den.size());
    FUZZ_CHECK(d.den[0] == 1.0);
    for (std::size_t i = 0; i < d.den.size(); ++i)
        FUZZ_CHECK(std::isfinite(d.num[i]) && std::isfinite(d.den[i]));

    if (Ts == 0.0 && K > 1) {
        // Every pole at z = 1: den is (1 - z^-1)^n, num that times D.
        double binom = 1.0;
        const double D = d.num[0];
        for (std::size_t k = 0; k < K; ++k) {
            FUZZ_CHECK(d.den[k] == (k % 2 ? -binom : binom));
            FUZZ_CHECK(d.num[k] == D * d.den[k]);
            binom = binom * static_cast<double>(K - 1 - k) / static_cast<double>(k + 1);
        }
    }

    // Away from subnormal numbers, where doubling is not exact, and from
    // overflow. A static gain
    // keeps a pair at z = 1 that does not scale.
    bool normal = Ts == 0.0 || (std::fabs(Ts) >= 1e-100 && std::fabs(Ts) <= 1e100);
    for (double v : d.num)
        normal = normal && (v == 0.0 || (std::fabs(v) >= 1e-290 && std::fabs(v) <= 1e300));
    if (K > 1 && normal && scales_cleanly(num, den)) {
        std::vector<double> twice = num;
        for (double& v : twice)
            v *= 2.0;
        korvel::DiscreteTf d2;
        FUZZ_CHECK(discretise(twice, den, Ts, d2));
        FUZZ_CHECK(fuzz::same(d2.den, d.den));
        for (std::size_t i = 0; i < d.num.size(); ++i)
            FUZZ_CHECK(fuzz::same(d2.num[i], 2.0 * d.num[i]));
    }

    // k / (tau s + 1): den [1, -e], num [0, k (1 - e)] with e = exp(-Ts / tau).
    const double k = in.bounded(10.0), tau = 0.05 + std::fabs(in.bounded(50.0));
    const double ts = 0.01 + static_cast<double>(in.u8()) / 16.0;
    korvel::DiscreteTf lag;
    FUZZ_CHECK(discretise({k}, {tau, 1.0}, ts, lag));
    const double e = std::exp(-ts / tau);
    FUZZ_CHECK(lag.den.size() == 2 && std::fabs(lag.den[1] + e) <= 4e-16 * (1 + e));
    FUZZ_CHECK(std::fabs(lag.num[0]) <= 1e-15 * std::fabs(k / tau));
    FUZZ_CHECK(std::fabs(lag.num[1] - k * -std::expm1(-ts / tau)) <= 1e-14 * std::fabs(k));
    return 0;
}
