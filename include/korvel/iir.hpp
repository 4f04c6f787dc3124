// Rational (IIR) filtering with the float64 arithmetic of scipy.signal.lfilter
// and scipy.signal.lfiltic, bit for bit, so a block driven one sample at a
// time and the same block driven over a whole array agree with the library
// routine to the last bit.
//
// Two paths, as the library has them:
//  * len(a) > 1, the transposed direct form II: b and a zero-padded to one
//    length and divided by a[0] once; every tap, zero or not, takes part
//    (inf * 0 gives NaN, signed zeros are kept).
//  * len(a) == 1, a pure FIR: b / a[0], then the full convolution of b with
//    the input, the state added to its head. Whole arrays follow NumPy's
//    convolution (see detail::convolve); a single sample reduces to
//    y = (0 + b[0]*x) + z[0], z[i] = (0 + b[i+1]*x) + z[i+1]: the IIR step
//    without its feedback term.
//
// The state vector z has the layout lfilter takes as `zi`: length
// max(len(a), len(b)) - 1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace korvel {

namespace detail {

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
inline double np_sum(const double* v, std::size_t n) noexcept {
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

} // namespace detail

class Iir {
  public:
    // b and a as lfilter takes them (not normalised). An empty `a` has no
    // filter at all; an empty `b` or a zero a[0] (with len(a) > 1) are
    // refused by lfilter only when it filters, so here by check().
    Iir(std::vector<double> b, std::vector<double> a) : b_(std::move(b)), a_(std::move(a)) {
        if (a_.empty()) throw std::invalid_argument("There must be at least one `a` coefficient.");
        fir_ = a_.size() == 1;
        const double a0 = a_[0];
        if (fir_) {
            nb_.resize(b_.size());
            for (std::size_t i = 0; i < b_.size(); ++i)
                nb_[i] = b_[i] / a0;
            return;
        }
        const std::size_t n = std::max(a_.size(), b_.size());
        nb_.assign(n, 0.0);
        na_.assign(n, 0.0);
        std::copy(b_.begin(), b_.end(), nb_.begin());
        std::copy(a_.begin(), a_.end(), na_.begin());
        for (std::size_t i = 0; i < n; ++i) {
            nb_[i] /= a0;
            na_[i] /= a0;
        }
    }

    // Length of the state vector (lfilter's zi).
    std::size_t state_size() const noexcept { return std::max(a_.size(), b_.size()) - 1; }

    // False when lfilter would refuse these coefficients; check() says why.
    bool usable() const noexcept { return !b_.empty() && (fir_ || a_[0] != 0.0); }
    void check() const {
        if (b_.empty())
            throw std::invalid_argument(
                "Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
        if (!fir_ && a_[0] == 0.0)
            throw std::domain_error("BUG: filter coefficient a[0] == 0 not supported yet");
    }

    // One sample; z (state_size() items) becomes the final state. Equals
    // lfilter(b, a, [x], zi=z). Requires usable().
    double step(double x, double* z) const noexcept {
        return fir_ ? fir_step(nb_.data(), nb_.size(), x, z)
                    : iir_step(nb_.data(), na_.data(), nb_.size(), x, z);
    }

    // lfilter over x[0:n] into y[0:n] (y may alias x); z becomes the final
    // state. An empty input changes nothing (the library would zero the
    // state, or refuse the call on the FIR path, and lose the filter's
    // memory either way). Throws as check() does.
    void filter(const double* x, double* y, std::size_t n, double* z) const {
        check();
        if (n == 0) return;
        if (!fir_) {
            const double *b = nb_.data(), *a = na_.data();
            const std::size_t m = nb_.size();
            for (std::size_t k = 0; k < n; ++k)
                y[k] = iir_step(b, a, m, x[k], z);
            return;
        }
        if (n == 1) {
            y[0] = fir_step(nb_.data(), nb_.size(), x[0], z);
            return;
        }
        const std::size_t L = state_size();
        std::vector<double> full(n + L);
        detail::convolve(nb_.data(), nb_.size(), x, n, full.data());
        for (std::size_t i = 0; i < L; ++i)
            full[i] += z[i];
        std::copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n), y);
        std::copy(full.begin() + static_cast<std::ptrdiff_t>(n), full.end(), z);
    }

    // Deviation form: y = lfilter(b, a, x - x0, zi=z) + y0, element by
    // element as NumPy computes it, in one pass where the filter allows.
    void filter_deviation(const double* x, double* y, std::size_t n, double* z, double x0,
                          double y0) const {
        check();
        if (n == 0) return;
        if (!fir_) {
            const double *b = nb_.data(), *a = na_.data();
            const std::size_t m = nb_.size();
            for (std::size_t k = 0; k < n; ++k)
                y[k] = iir_step(b, a, m, x[k] - x0, z) + y0;
            return;
        }
        std::vector<double> d(n);
        for (std::size_t k = 0; k < n; ++k)
            d[k] = x[k] - x0;
        filter(d.data(), y, n, z);
        for (std::size_t k = 0; k < n; ++k)
            y[k] += y0;
    }

    const std::vector<double>& b() const noexcept { return b_; }
    const std::vector<double>& a() const noexcept { return a_; }

  private:
    static double iir_step(const double* b, const double* a, std::size_t n, double x,
                           double* z) noexcept {
        const double y = z[0] + b[0] * x;
        for (std::size_t i = 0; i + 2 < n; ++i)
            z[i] = (z[i + 1] + x * b[i + 1]) - y * a[i + 1];
        z[n - 2] = x * b[n - 1] - y * a[n - 1];
        return y;
    }

    // Each convolution term is a sum started at 0.0, so a -0.0 product comes
    // out as +0.0 before the state is added.
    static double fir_step(const double* b, std::size_t n, double x, double* z) noexcept {
        if (n == 1) return 0.0 + b[0] * x;
        const double y = (0.0 + b[0] * x) + z[0];
        for (std::size_t i = 0; i + 2 < n; ++i)
            z[i] = (0.0 + x * b[i + 1]) + z[i + 1];
        z[n - 2] = 0.0 + x * b[n - 1];
        return y;
    }

    std::vector<double> b_, a_;   // as given
    std::vector<double> nb_, na_; // divided by a[0]; padded to one length unless FIR
    bool fir_ = false;
};

// scipy.signal.lfiltic(b, a, y, x): the state of a filter whose last outputs
// were y[0], y[1], ... (newest first) and last inputs x[0], x[1], ...; short
// histories are zero-padded, long ones cut.
inline std::vector<double> lfiltic(std::span<const double> b, std::span<const double> a,
                                   std::span<const double> y, std::span<const double> x) {
    if (a.empty()) throw std::invalid_argument("There must be at least one `a` coefficient.");
    const std::ptrdiff_t N = static_cast<std::ptrdiff_t>(a.size()) - 1;
    const std::ptrdiff_t M = static_cast<std::ptrdiff_t>(b.size()) - 1;
    const std::size_t K = static_cast<std::size_t>(std::max(M, N));
    std::vector<double> zi(K, 0.0);
    std::vector<double> prod(K);
    const auto hist = [](std::span<const double> h, std::ptrdiff_t i) {
        return static_cast<std::size_t>(i) < h.size() ? h[static_cast<std::size_t>(i)] : 0.0;
    };
    for (std::ptrdiff_t m = 0; m < M; ++m) {
        const std::ptrdiff_t len = M - m;
        for (std::ptrdiff_t j = 0; j < len; ++j)
            prod[static_cast<std::size_t>(j)] = b[static_cast<std::size_t>(m + 1 + j)] * hist(x, j);
        zi[static_cast<std::size_t>(m)] =
            detail::np_sum(prod.data(), static_cast<std::size_t>(len));
    }
    for (std::ptrdiff_t m = 0; m < N; ++m) {
        const std::ptrdiff_t len = N - m;
        for (std::ptrdiff_t j = 0; j < len; ++j)
            prod[static_cast<std::size_t>(j)] = a[static_cast<std::size_t>(m + 1 + j)] * hist(y, j);
        zi[static_cast<std::size_t>(m)] -=
            detail::np_sum(prod.data(), static_cast<std::size_t>(len));
    }
    if (a[0] != 1.0) {
        if (a[0] == 0.0) throw std::domain_error("First `a` filter coefficient must be non-zero.");
        for (double& v : zi)
            v /= a[0];
    }
    return zi;
}

} // namespace korvel
