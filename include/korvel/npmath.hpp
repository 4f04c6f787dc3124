// Float64 arithmetic of the NumPy routines the blocks are defined by, in the
// order NumPy performs it, so that results agree to the last bit: pairwise
// summation, the dot product and convolution NumPy reaches, interpolation,
// running sums and differences. Build with -ffp-contract=off.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace korvel {

namespace npmath {

// NumPy's pairwise summation of a contiguous float64 vector (the inner loop
// of np.add.reduce): sequential below 8 items, eight interleaved partial sums
// up to 128, halves at a multiple of 8 above.
inline double pairwise_sum(const double* v, std::size_t n) noexcept {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i)
            res += v[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j)
            r[j] = v[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (std::size_t j = 0; j < 8; ++j)
                r[j] += v[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i)
            res += v[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(v, n2) + pairwise_sum(v + n2, n - n2);
}

// np.sum of a one-dimensional float64 array.
inline double sum(const double* v, std::size_t n) noexcept {
    return 0.0 + pairwise_sum(v, n);
}

// The BLAS double dot product NumPy's convolution reaches (OpenBLAS, the
// AVX-512 kernel its runtime dispatch picks on this class of x86-64 host):
// 32-wide blocks in four 8-lane fused accumulators folded to four 4-lane
// ones, 16-wide blocks on those, a fixed reduction tree, then a fused scalar
// tail. Hosts whose BLAS picks another kernel may differ in the last ulp for
// n >= 16; shorter dots are a plain fused chain everywhere.
inline double blas_dot_kernel(const double* x, const double* y, std::size_t n) noexcept {
    const std::size_t n1 = n & ~std::size_t{15};
    double dot = 0.0;
    if (n1) {
        double acc[4][4] = {};
        std::size_t i = 0;
        const std::size_t n32 = n1 & ~std::size_t{31};
        if (n32) {
            double z[4][8] = {};
            for (; i < n32; i += 32)
                for (std::size_t j = 0; j < 4; ++j)
                    for (std::size_t l = 0; l < 8; ++l)
                        z[j][l] = std::fma(x[i + 8 * j + l], y[i + 8 * j + l], z[j][l]);
            for (std::size_t j = 0; j < 4; ++j)
                for (std::size_t l = 0; l < 4; ++l)
                    acc[j][l] = z[j][l] + z[j][l + 4];
        }
        for (; i < n1; i += 16)
            for (std::size_t j = 0; j < 4; ++j)
                for (std::size_t l = 0; l < 4; ++l)
                    acc[j][l] = std::fma(x[i + 4 * j + l], y[i + 4 * j + l], acc[j][l]);
        double s[4];
        for (std::size_t l = 0; l < 4; ++l)
            s[l] = ((acc[0][l] + acc[1][l]) + acc[2][l]) + acc[3][l];
        dot = (s[0] + s[2]) + (s[1] + s[3]);
    }
    for (std::size_t i = n1; i < n; ++i)
        dot = std::fma(y[i], x[i], dot);
    return dot;
}

// Above 10000 items the BLAS splits the dot between its threads and adds the
// partial results in thread order; the split assumes the two threads of the
// reference host (OPENBLAS_NUM_THREADS changes it).
inline constexpr std::size_t blas_dot_threads = 2;

// np.dot of two contiguous float64 vectors as the convolution calls it.
inline double blas_dot(const double* x, const double* y, std::size_t n) noexcept {
    double dot;
    if (n <= 10000) {
        dot = blas_dot_kernel(x, y, n);
    } else {
        dot = 0.0;
        std::size_t done = 0, left = n;
        for (std::size_t t = 0; left > 0; ++t) {
            std::size_t width = (left + blas_dot_threads - t - 1) / (blas_dot_threads - t);
            width = std::min(width, left);
            dot = dot + blas_dot_kernel(x + done, y + done, width);
            done += width;
            left -= width;
        }
    }
    return 0.0 + dot;
}

// np.convolve(a, v) (full mode) into out[0 : na + nv - 1]; na, nv >= 1.
// NumPy swaps the operands so the longer comes first, correlates it with the
// reversed shorter one, and computes the edges with the BLAS dot and the
// middle with a plain left-to-right sum from 0.0 for kernels of up to 11
// taps.
inline void convolve(const double* a, std::size_t na, const double* v, std::size_t nv,
                     double* out) {
    if (nv > na) {
        std::swap(a, v);
        std::swap(na, nv);
    }
    std::vector<double> k(v, v + nv);
    std::reverse(k.begin(), k.end());
    const double* K = k.data();
    std::size_t o = 0;
    for (std::size_t n = 1; n < nv; ++n)
        out[o++] = blas_dot(a, K + nv - n, n);
    const std::size_t middle = na - nv + 1;
    if (nv <= 11) {
        for (std::size_t i = 0; i < middle; ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j < nv; ++j)
                s += a[i + j] * K[j];
            out[o++] = s;
        }
    } else {
        for (std::size_t i = 0; i < middle; ++i)
            out[o++] = blas_dot(a + i, K, nv);
    }
    for (std::size_t n = nv - 1; n >= 1; --n)
        out[o++] = blas_dot(a + (na - n), K, n);
}

} // namespace npmath

namespace npmath {

// np.convolve(a, v), full mode; both non-empty (ValueError in NumPy).
inline std::vector<double> convolve(std::span<const double> a, std::span<const double> v) {
    if (a.empty()) throw std::invalid_argument("a cannot be empty");
    if (v.empty()) throw std::invalid_argument("v cannot be empty");
    std::vector<double> out(a.size() + v.size() - 1);
    convolve(a.data(), a.size(), v.data(), v.size(), out.data());
    return out;
}

// np.cumsum: a running sum, first to last.
inline std::vector<double> cumsum(std::span<const double> v) {
    std::vector<double> out(v.size());
    double s = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i)
        out[i] = s = i == 0 ? v[0] : s + v[i];
    return out;
}

// np.diff(v, prepend=0): v[0] - 0, then the first differences.
inline std::vector<double> diff_from_zero(std::span<const double> v) {
    std::vector<double> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        out[i] = v[i] - (i == 0 ? 0.0 : v[i - 1]);
    return out;
}

// np.interp(x, xp, fp) for one x, fp given by index: fp(0) left of xp[0],
// fp(n - 1) right of xp[n - 1], linear in between with NumPy's slope and its
// retry from the right end of the interval when the left one gives NaN.
// xp ascending, n >= 1.
template <class FP> double interp_at(double x, const double* xp, std::size_t n, FP&& fp) {
    if (std::isnan(x)) return x;
    if (x < xp[0]) return fp(0);
    if (x > xp[n - 1]) return fp(n - 1);
    // j with xp[j] <= x < xp[j + 1], or n - 1 when x is the last point.
    const std::size_t j = static_cast<std::size_t>(std::upper_bound(xp, xp + n, x) - xp) - 1;
    if (j == n - 1 || xp[j] == x) return fp(j);
    const double fj = fp(j), fk = fp(j + 1);
    const double slope = (fk - fj) / (xp[j + 1] - xp[j]);
    double r = slope * (x - xp[j]) + fj;
    if (std::isnan(r)) {
        r = slope * (x - xp[j + 1]) + fk;
        if (std::isnan(r) && fj == fk) r = fj;
    }
    return r;
}

inline double interp(double x, std::span<const double> xp, std::span<const double> fp) {
    if (xp.empty()) throw std::invalid_argument("array of sample points is empty");
    if (fp.size() != xp.size())
        throw std::invalid_argument("fp and xp are not of the same length.");
    return interp_at(x, xp.data(), xp.size(), [&](std::size_t j) { return fp[j]; });
}

// round(x) for a float, ties to even, as an integer count; false when x
// is not finite.
inline bool round_half_even(double x, double& out) noexcept {
    if (!std::isfinite(x)) return false;
    out = std::nearbyint(x); // the default rounding mode rounds ties to even
    return true;
}

} // namespace npmath

} // namespace korvel
