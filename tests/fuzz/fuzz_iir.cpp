// The IIR kernel: sample steps against a plain transcription of the
// transposed direct form II, arrays against steps, the FIR path against a
// direct convolution, and lfiltic against the state a run from rest leaves.
#include <korvel/iir.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace {

// y = z0 + b0 x; z_i = z_{i+1} + b_{i+1} x - a_{i+1} y, with z past the end 0,
// b and a padded to one length and then divided by a0.
struct Reference {
    std::vector<double> b, a, z;
    bool fir;

    Reference(std::vector<double> bb, std::vector<double> aa) : fir(aa.size() == 1) {
        const std::size_t n = std::max(aa.size(), bb.size());
        const double a0 = aa[0];
        b.assign(n, 0.0);
        a.assign(n, 0.0);
        // Padded first: a padding zero divided by a negative a0 is -0.0.
        std::copy(bb.begin(), bb.end(), b.begin());
        std::copy(aa.begin(), aa.end(), a.begin());
        for (std::size_t i = 0; i < n; ++i) {
            b[i] /= a0;
            a[i] /= a0;
        }
        z.assign(n - 1, 0.0);
    }

    double step(double x) {
        const std::size_t n = b.size();
        if (fir) {
            if (n == 1) return 0.0 + b[0] * x;
            const double y = (0.0 + b[0] * x) + z[0];
            for (std::size_t i = 0; i + 1 < n; ++i)
                z[i] = (0.0 + x * b[i + 1]) + (i + 2 < n ? z[i + 1] : 0.0);
            z[n - 2] = 0.0 + x * b[n - 1];
            return y;
        }
        const double y = z[0] + b[0] * x;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double next = i + 2 < n ? z[i + 1] : 0.0;
            z[i] = i + 2 < n ? (next + x * b[i + 1]) - y * a[i + 1] : x * b[i + 1] - y * a[i + 1];
        }
        return y;
    }
};

double max_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool tame = in.flag(); // coefficients of moderate size, for the tolerance checks
    auto coefficients = [&](std::size_t max_len) {
        if (!tame) return in.numbers(max_len);
        std::vector<double> v(in.below(max_len + 1));
        for (double& x : v)
            x = in.bounded(2.0);
        return v;
    };
    std::vector<double> b = coefficients(7), a = coefficients(7);
    if (tame && !a.empty()) a[0] = 1.0 + std::fabs(a[0]);

    if (a.empty()) {
        bool threw = false;
        try {
            korvel::Iir f(b, a);
        } catch (const std::invalid_argument&) {
            threw = true;
        }
        FUZZ_CHECK(threw);
        return 0;
    }
    const korvel::Iir f(b, a);
    FUZZ_CHECK(f.state_size() == std::max(a.size(), b.size()) - 1);
    FUZZ_CHECK(f.usable() == (!b.empty() && (a.size() == 1 || a[0] != 0.0)));
    if (!f.usable()) {
        bool threw = false;
        try {
            f.check();
        } catch (const std::exception&) {
            threw = true;
        }
        FUZZ_CHECK(threw);
        return 0;
    }

    Reference ref(b, a);
    std::vector<double> z(f.state_size(), 0.0);
    std::vector<double> xs, ys;
    while (!in.empty() && xs.size() < 64) {
        const double x = tame ? in.bounded(100.0) : in.finite();
        const double y = f.step(x, z.data());
        FUZZ_CHECK(fuzz::same(y, ref.step(x)));
        FUZZ_CHECK(fuzz::same(z, ref.z));
        xs.push_back(x);
        ys.push_back(y);
    }

    // Arrays from the same start: the samples stepped in turn, on both paths.
    std::vector<double> z2(f.state_size(), 0.0), y2(xs.size());
    f.filter(xs.data(), y2.data(), xs.size(), z2.data());
    FUZZ_CHECK(fuzz::same(y2, ys) && fuzz::same(z2, z));
    // An empty array changes nothing.
    std::vector<double> z3 = z2;
    f.filter(nullptr, nullptr, 0, z3.data());
    FUZZ_CHECK(fuzz::same(z3, z2));

    // lfiltic from the histories of a run from rest gives the state that run
    // left, up to rounding.
    if (tame && !xs.empty()) {
        std::vector<double> xr(xs.rbegin(), xs.rend()), yr(ys.rbegin(), ys.rend());
        const std::vector<double> zi = korvel::lfiltic(b, a, yr, xr);
        FUZZ_CHECK(zi.size() == f.state_size());
        const double scale = (max_abs(ref.b) * max_abs(xs) + max_abs(ref.a) * max_abs(ys) + 1.0) *
                             static_cast<double>((zi.size() + 1) * (zi.size() + 1));
        if (std::isfinite(scale) && scale < 1e200)
            for (std::size_t i = 0; i < zi.size(); ++i)
                FUZZ_CHECK(std::fabs(zi[i] - z[i]) <= 1e-13 * scale);
    }
    return 0;
}
