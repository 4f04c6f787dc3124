// NumPy's arithmetic as the core repeats it: sums and convolutions
// against plain long double loops within their rounding, running sums and
// differences exactly, interpolation inside its neighbours, rounding and
// the floored integer operations against 128-bit arithmetic.
#include <korvel/intmath.hpp>
#include <korvel/npmath.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "bytes.hpp"

namespace {

namespace np = korvel::npmath;

// |got - exact| within n ulps of the sum of magnitudes.
bool close(double got, long double exact, long double magnitude, std::size_t n) {
    return std::fabs(static_cast<long double>(got) - exact) <=
           static_cast<long double>(n + 2) * 2.3e-16L * magnitude;
}

void sums(fuzz::Bytes& in) {
    std::vector<double> v(in.u8() % 8 == 0 ? in.below(400) : in.below(40));
    for (double& x : v)
        x = in.bounded(1e3);
    long double exact = 0, mag = 0;
    for (double x : v) {
        exact += x;
        mag += std::fabs(x);
    }
    FUZZ_CHECK(close(np::pairwise_sum(v.data(), v.size()), exact, mag, v.size()));
    FUZZ_CHECK(fuzz::same(np::sum(v.data(), v.size()), 0.0 + np::pairwise_sum(v.data(), v.size())));

    // Running sums left to right, differences from zero; each undoes the other
    // within rounding.
    const std::vector<double> c = np::cumsum(v), d = np::diff_from_zero(v);
    FUZZ_CHECK(c.size() == v.size() && d.size() == v.size());
    double s = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        s = i == 0 ? v[0] : s + v[i];
        FUZZ_CHECK(fuzz::same(c[i], s));
        FUZZ_CHECK(fuzz::same(d[i], v[i] - (i == 0 ? 0.0 : v[i - 1])));
    }
}

void convolution(fuzz::Bytes& in) {
    std::vector<double> a(1 + in.below(in.u8() % 8 == 0 ? 60 : 20)),
        v(1 + in.below(in.u8() % 8 == 0 ? 40 : 14));
    for (double& x : a)
        x = in.bounded(100.0);
    for (double& x : v)
        x = in.bounded(100.0);
    const std::vector<double> c = np::convolve(a, v);
    FUZZ_CHECK(c.size() == a.size() + v.size() - 1);
    for (std::size_t k = 0; k < c.size(); ++k) {
        long double exact = 0, mag = 0;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (k >= i && k - i < v.size()) {
                exact += static_cast<long double>(a[i]) * v[k - i];
                mag += std::fabs(static_cast<long double>(a[i]) * v[k - i]);
            }
        FUZZ_CHECK(close(c[k], exact, mag, std::min(a.size(), v.size())));
    }
    const std::vector<double> swapped = np::convolve(v, a);
    if (a.size() != v.size()) FUZZ_CHECK(fuzz::same(swapped, c)); // the longer comes first
    bool threw = false;
    try {
        np::convolve(std::vector<double>{}, v);
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    FUZZ_CHECK(threw);
}

void interpolation(fuzz::Bytes& in) {
    std::vector<double> xp(1 + in.below(12)), fp(xp.size());
    for (double& x : xp)
        x = static_cast<double>(static_cast<std::int8_t>(in.u8())) / 4.0;
    std::sort(xp.begin(), xp.end());
    for (double& f : fp)
        f = in.u8() % 8 ? in.finite() : in.number();
    for (int k = 0; k < 8; ++k) {
        const double x = in.u8() % 8 ? in.bounded(40.0) : in.number();
        const double y = np::interp(x, xp, fp);
        if (std::isnan(x)) {
            FUZZ_CHECK(std::isnan(y));
            continue;
        }
        if (x < xp.front()) {
            FUZZ_CHECK(fuzz::same(y, fp.front()));
            continue;
        }
        if (x > xp.back()) {
            FUZZ_CHECK(fuzz::same(y, fp.back()));
            continue;
        }
        const std::size_t j =
            static_cast<std::size_t>(std::upper_bound(xp.begin(), xp.end(), x) - xp.begin()) - 1;
        if (xp[j] == x) {
            FUZZ_CHECK(fuzz::same(y, fp[j]));
            continue;
        }
        const double lo = std::min(fp[j], fp[j + 1]), hi = std::max(fp[j], fp[j + 1]);
        // Subnormal slopes round coarsely: an absolute slack for them.
        const double slack = 1e-15 * (std::fabs(lo) + std::fabs(hi)) + 1e-12 * (hi - lo) + 1e-300;
        // Values far enough from the ends of the range that the slope times
        // the distance cannot overflow (which is NumPy's arithmetic too).
        if (std::fabs(fp[j]) < 1e300 && std::fabs(fp[j + 1]) < 1e300)
            FUZZ_CHECK(lo - slack <= y && y <= hi + slack);
    }
}

void integers(fuzz::Bytes& in) {
    const long long a = in.integer(), b0 = in.integer(), b = b0 == 0 ? 1 : b0;
    const __int128 A = a, B = b;
    __int128 q = A / B, r = A % B;
    if (r != 0 && ((r < 0) != (B < 0))) {
        r += B;
        --q;
    }
    FUZZ_CHECK(korvel::floor_mod(a, b) == static_cast<long long>(r));
    long long got;
    const bool ok = korvel::floor_div(a, b, got);
    FUZZ_CHECK(ok == (q <= LLONG_MAX));
    if (ok) FUZZ_CHECK(got == static_cast<long long>(q));

    const double x = in.u8() % 2 ? in.number() : std::ldexp(static_cast<double>(a % 4096), -1);
    double rounded;
    const bool fin = np::round_half_even(x, rounded);
    FUZZ_CHECK(fin == std::isfinite(x));
    if (fin) {
        const double f = std::floor(x), diff = x - f;
        const double want = diff < 0.5   ? f
                            : diff > 0.5 ? f + 1
                                         : (std::fmod(f, 2.0) == 0 ? f : f + 1);
        FUZZ_CHECK(rounded == want);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    while (!in.empty()) {
        switch (in.u8() % 4) {
        case 0:
            sums(in);
            break;
        case 1:
            convolution(in);
            break;
        case 2:
            interpolation(in);
            break;
        case 3:
            integers(in);
            break;
        }
    }
    return 0;
}
