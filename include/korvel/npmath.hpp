// Float64 arithmetic of the NumPy routines the blocks are defined by.
//
// Every function here follows one of two kinds of order, and says which:
//  * a NumPy algorithm whose order is fixed by NumPy's C source, whatever
//    the host (no BLAS, no thread split, no SIMD reduction that reorders):
//    the core repeats it and agrees with NumPy to the last bit everywhere;
//  * the core's own plain order, for C++ callers, where NumPy's rounding
//    depends on the host (the convolution of long arrays goes through the
//    BLAS dot product, whose kernel the CPU, the BLAS build and the thread
//    count choose). The Python bindings never use these where a Part defines
//    the result by NumPy: they call NumPy at run time.
// Build with -ffp-contract=off.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "assert.hpp"

namespace korvel {

namespace npmath {

// NumPy's pairwise summation of a contiguous float64 vector, the inner loop
// of np.add.reduce (pairwise_sum in numpy/_core/src/umath/loops_utils.h.src):
// sequential below 8 items, eight interleaved partial sums up to 128, halves
// at a multiple of 8 above. Host-independent: scipy.signal.lfiltic's np.sum
// is this on every machine.
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

// np.sum of a one-dimensional float64 array: the reduction starts from its
// identity 0.0 (so a lone -0.0 sums to +0.0). Host-independent.
inline double sum(const double* v, std::size_t n) noexcept {
    return 0.0 + pairwise_sum(v, n);
}

// The full convolution of a[0:na] and v[0:nv] into out[0 : na + nv - 1]
// (na, nv >= 1) in the core's plain order, oriented as np.convolve orients
// it (the longer operand as `a`, the first when both are as long): out[k] =
// 0.0 + the products a[i] * v[k - i] added in ascending i.
//
// Equal to np.convolve(a, v) on every host where no output holds more than
// two products and the products are exact (the two-tap kernels [1, 0] and
// [1, -1] of the integrating rule: NumPy's dots then have a single term and
// its middle adds two from 0.0 in this order). Longer convolutions are the
// core's own order; NumPy's differs by rounding and by host.
inline void convolve(const double* a, std::size_t na, const double* v, std::size_t nv,
                     double* out) noexcept {
    KORVEL_ASSERT(na >= 1 && nv >= 1);
    if (nv > na) {
        std::swap(a, v);
        std::swap(na, nv);
    }
    for (std::size_t k = 0; k + 1 < na + nv; ++k) {
        const std::size_t lo = k + 1 > nv ? k + 1 - nv : 0, hi = std::min(k, na - 1);
        double s = 0.0;
        for (std::size_t i = lo; i <= hi; ++i)
            s += a[i] * v[k - i];
        out[k] = s;
    }
}

// The same on spans; both non-empty (ValueError in NumPy).
inline std::vector<double> convolve(std::span<const double> a, std::span<const double> v) {
    if (a.empty()) throw std::invalid_argument("a cannot be empty");
    if (v.empty()) throw std::invalid_argument("v cannot be empty");
    std::vector<double> out(a.size() + v.size() - 1);
    convolve(a.data(), a.size(), v.data(), v.size(), out.data());
    return out;
}

// np.cumsum: a running sum, first to last (np.add.accumulate, one addition
// per item in order). Host-independent.
inline std::vector<double> cumsum(std::span<const double> v) {
    std::vector<double> out(v.size());
    double s = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i)
        out[i] = s = i == 0 ? v[0] : s + v[i];
    return out;
}

// np.diff(v, prepend=0): v[0] - 0, then the first differences (one
// subtraction per item). Host-independent.
inline std::vector<double> diff_from_zero(std::span<const double> v) {
    std::vector<double> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        out[i] = v[i] - (i == 0 ? 0.0 : v[i - 1]);
    return out;
}

// np.interp(x, xp, fp) for one x, fp given by index: fp(0) left of xp[0],
// fp(n - 1) right of xp[n - 1], linear in between with NumPy's slope and its
// retry from the right end of the interval when the left one gives NaN
// (arr_interp in numpy/_core/src/multiarray/compiled_base.c: plain scalar
// arithmetic, host-independent). xp ascending, n >= 1.
template <class FP> double interp_at(double x, const double* xp, std::size_t n, FP&& fp) {
    KORVEL_ASSERT(n >= 1);
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

// Python's round(x) for a float, ties to even, as an integer count; false
// when x is not finite. Exact, so host-independent.
inline bool round_half_even(double x, double& out) noexcept {
    if (!std::isfinite(x)) return false;
    out = std::nearbyint(x); // the default rounding mode rounds ties to even
    return true;
}

} // namespace npmath

} // namespace korvel
