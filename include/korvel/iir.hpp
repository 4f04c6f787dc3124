// Rational (IIR) filtering with the float64 arithmetic of scipy.signal.lfilter
// and scipy.signal.lfiltic, so a block driven one sample at a time agrees
// with the library routine to the last bit, and an array continues sample
// steps.
//
// Two paths, as the library has them:
//  * len(a) > 1, the transposed direct form II: b and a zero-padded to one
//    length and divided by a[0] once; every tap, zero or not, takes part
//    (inf * 0 gives NaN, signed zeros are kept). lfilter runs this loop over
//    an array too, so arrays here equal lfilter's bit for bit.
//  * len(a) == 1, a pure FIR: b / a[0], then the full convolution of b with
//    the input, the state added to its head. For one sample the convolution
//    is y = (0 + b[0]*x) + z[0], z[i] = (0 + b[i+1]*x) + z[i+1] on every
//    host: the IIR step without its feedback term. Over an array, lfilter
//    convolves with NumPy, whose sums are rounded as the host's BLAS dot
//    kernel and thread count decide. The core steps the samples in turn
//    instead, its one documented order; a binding whose results must equal
//    lfilter's asks NumPy for the convolution (fir_taps, fir_join). The two
//    differ only by rounding: each output is a sum of the same m = len(b) + 1
//    terms (the products and the state), so they lie within
//    2 * gamma(m) * sum(|term|) of each other, gamma(m) = m u / (1 - m u),
//    u = 2^-53.
//
// The state vector z has the layout lfilter takes as `zi`: length
// max(len(a), len(b)) - 1.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "npmath.hpp"

#include "assert.hpp"
#include "simd.hpp"

namespace korvel {

// Pairs of doubles where the compiler offers vector types: lane-wise
// arithmetic rounds as scalar arithmetic does, and nothing is contracted into
// fused multiply-adds (the build forbids it), so results stay bit for bit.
#if defined(__GNUC__) || defined(__clang__)
#define KORVEL_PAIRS 1
namespace detail {
typedef double pair __attribute__((vector_size(16)));
inline pair load(const double* p) noexcept {
    pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, pair v) noexcept {
    std::memcpy(p, &v, sizeof v);
}
} // namespace detail
#else
#define KORVEL_PAIRS 0
#endif

// The per-sample recurrence, written once: every filter here computes a
// sample with these expressions, on taps divided by a[0] and with T a double
// or a vector of doubles (each element rounded as a double is). Iir runs them
// one or two taps at a time, ZFilterBank and IirLanes one tap of many lanes
// at a time. Arguments are the products a step forms (x b[i], y a[i]). A
// step takes its output from the old state first, then each tap i from the
// old z[i + 1]: no tap reads what another writes first, so taps and lanes may
// go in any order and give the same bits.
namespace iir_rule {

// The transposed direct form II (len(a) > 1): y = z[0] + b[0] x, then
// z[i] = (z[i + 1] + x b[i + 1]) - y a[i + 1], the last tap without z.
template <class T> KORVEL_ALWAYS_INLINE T output(T z0, T b0x) noexcept {
    return z0 + b0x;
}
template <class T> KORVEL_ALWAYS_INLINE T tap(T z1, T xb, T ya) noexcept {
    return (z1 + xb) - ya;
}
template <class T> KORVEL_ALWAYS_INLINE T last_tap(T xb, T ya) noexcept {
    return xb - ya;
}

// The FIR path (len(a) == 1), a convolution: each term is a sum started at
// 0.0, so a -0.0 product comes out as +0.0 before the state is added. A
// filter without state returns fir_last(b[0] x).
template <class T> KORVEL_ALWAYS_INLINE T fir_output(T b0x, T z0) noexcept {
    return (T{} + b0x) + z0;
}
template <class T> KORVEL_ALWAYS_INLINE T fir_tap(T xb, T z1) noexcept {
    return (T{} + xb) + z1;
}
template <class T> KORVEL_ALWAYS_INLINE T fir_last(T xb) noexcept {
    return T{} + xb;
}

} // namespace iir_rule

class Iir {
  public:
    // b and a as lfilter takes them (not normalised). An empty `a` has no
    // filter at all; an empty `b` or a zero a[0] (with len(a) > 1) are
    // refused by lfilter only when it filters, so here by check().
    Iir(std::vector<double> b, std::vector<double> a) : b_(std::move(b)), a_(std::move(a)) {
        if (a_.empty()) throw std::invalid_argument("There must be at least one `a` coefficient.");
        fir_ = a_.size() == 1;
        state_ = std::max(a_.size(), b_.size()) - 1;
        const double a0 = a_[0];
        if (fir_) {
            nb_.resize(b_.size());
            for (std::size_t i = 0; i < b_.size(); ++i)
                nb_[i] = b_[i] / a0;
        } else {
            const std::size_t n = std::max(a_.size(), b_.size());
            nb_.assign(n, 0.0);
            na_.assign(n, 0.0);
            std::copy(b_.begin(), b_.end(), nb_.begin());
            std::copy(a_.begin(), a_.end(), na_.begin());
            for (std::size_t i = 0; i < n; ++i) {
                nb_[i] /= a0;
                na_[i] /= a0;
            }
            find_zero_run();
        }
        usable_ = !b_.empty() && (fir_ || a0 != 0.0);
    }

    // Length of the state vector (lfilter's zi).
    std::size_t state_size() const noexcept { return state_; }

    // False when lfilter would refuse these coefficients; check() says why.
    bool usable() const noexcept { return usable_; }
    void check() const {
        if (usable_) [[likely]]
            return;
        if (b_.empty())
            throw std::invalid_argument(
                "Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
        if (!fir_ && a_[0] == 0.0)
            throw std::domain_error("BUG: filter coefficient a[0] == 0 not supported yet");
    }

    // One sample; z (state_size() items) becomes the final state. Equals
    // lfilter(b, a, [x], zi=z). Requires usable().
    double step(double x, double* z) const noexcept {
        KORVEL_ASSERT(usable_);
        return fir_ ? fir_step(x, z) : iir_step(x, z);
    }

    // n samples of one input: y[k] = step(x, z) for k < n, bit for bit, z
    // the final state. A run of zero taps (a dead time) is stepped as a ring
    // where that is exact, so a sample costs only the taps outside it.
    // Allocates; requires usable().
    void respond(double x, double* z, double* y, std::size_t n) const {
        KORVEL_ASSERT(usable_);
        if (run_end_ > run_begin_ && n > 1 && std::isfinite(x) &&
            std::bit_cast<std::uint64_t>(x * nb_[run_begin_ + 1]) == 0) {
            const std::vector<double> start(z, z + state_);
            if (respond_ring(x, z, y, n)) return;
            std::copy(start.begin(), start.end(), z);
        }
        for (std::size_t k = 0; k < n; ++k)
            y[k] = step(x, z);
    }

    // lfilter over x[0:n] into y[0:n] (y may alias x), every sample stepped
    // in turn; z becomes the final state. On the FIR path that is the core's
    // own order (see the head of this file). An empty input changes nothing
    // (the library would zero the state, or refuse the call on the FIR path,
    // and lose the filter's memory either way). Throws as check() does.
    void filter(const double* x, double* y, std::size_t n, double* z) const {
        check();
        if (fir_)
            for (std::size_t k = 0; k < n; ++k)
                y[k] = fir_step(x[k], z);
        else
            for (std::size_t k = 0; k < n; ++k)
                y[k] = iir_step(x[k], z);
    }

    // Deviation form: y = lfilter(b, a, x - x0, zi=z) + y0, element by
    // element as NumPy computes it.
    void filter_deviation(const double* x, double* y, std::size_t n, double* z, double x0,
                          double y0) const {
        check();
        if (fir_)
            for (std::size_t k = 0; k < n; ++k)
                y[k] = fir_step(x[k] - x0, z) + y0;
        else
            for (std::size_t k = 0; k < n; ++k)
                y[k] = iir_step(x[k] - x0, z) + y0;
    }

    // The FIR path's taps, b / a[0]; empty on the IIR path.
    std::span<const double> fir_taps() const noexcept {
        return fir_ ? std::span<const double>(nb_) : std::span<const double>();
    }

    // lfilter's FIR path over n samples once the convolution is known:
    // full[0 : n + L] holds the full convolution of fir_taps() with the
    // input (L = state_size()). The state is added to its head and its tail
    // becomes the new state; full[0:n] are then the outputs.
    void fir_join(double* full, std::size_t n, double* z) const noexcept {
        KORVEL_ASSERT(fir_);
        const std::size_t L = state_size();
        for (std::size_t i = 0; i < L; ++i)
            full[i] += z[i];
        std::copy(full + n, full + n + L, z);
    }

    const std::vector<double>& b() const noexcept { return b_; }
    const std::vector<double>& a() const noexcept { return a_; }

    // What a step runs on, for kernels that step many filters together
    // (iir_lanes.hpp, ZFilterBank): the FIR path or not, b and a divided by a[0] (padded
    // to one length unless FIR; `na` empty on the FIR path), and the run of
    // zero taps [first, second) (empty when there is none).
    bool is_fir() const noexcept { return fir_; }
    const std::vector<double>& nb() const noexcept { return nb_; }
    const std::vector<double>& na() const noexcept { return na_; }
    std::pair<std::size_t, std::size_t> zero_run() const noexcept { return {run_begin_, run_end_}; }

  private:
    // z holds n - 1 items; GCC, inlining a step on a one-item state, cannot
    // see that n bounds the tap loops and warns of reads they never make.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    double iir_step(double x, double* z) const noexcept {
        const double *b = nb_.data(), *a = na_.data();
        const std::size_t n = nb_.size();
        const double y = iir_rule::output(z[0], b[0] * x);
        const std::size_t last = n - 2; // z[last] takes no older state
        taps(z, x, y, 0, run_begin_);
        if (run_begin_ < run_end_) {
            // Every tap of the run has these very products.
            const double bx = x * b[run_begin_ + 1], ay = y * a[run_begin_ + 1];
            std::size_t i = run_begin_;
#if KORVEL_PAIRS
            const detail::pair xx = {bx, bx}, yy = {ay, ay};
            for (; i + 2 <= run_end_; i += 2)
                detail::store(z + i, iir_rule::tap(detail::load(z + i + 1), xx, yy));
#endif
            for (; i < run_end_; ++i)
                z[i] = iir_rule::tap(z[i + 1], bx, ay);
        }
        taps(z, x, y, run_end_, last);
        z[last] = iir_rule::last_tap(x * b[n - 1], y * a[n - 1]);
        return y;
    }

    // Taps [from, to) of a step with input x and output y, in order.
    void taps(double* z, double x, double y, std::size_t from, std::size_t to) const noexcept {
        const double *b = nb_.data(), *a = na_.data();
        std::size_t i = from;
#if KORVEL_PAIRS
        // Two taps at a time. Every pair is read before it is written, one
        // place down.
        using detail::load;
        const detail::pair xx = {x, x}, yy = {y, y};
        for (; i + 2 <= to; i += 2)
            detail::store(
                z + i, iir_rule::tap(load(z + i + 1), xx * load(b + i + 1), yy * load(a + i + 1)));
#endif
        for (; i < to; ++i)
            z[i] = iir_rule::tap(z[i + 1], x * b[i + 1], y * a[i + 1]);
    }

    // respond() over a ring for the run of zero taps. With x * b = +0.0 on
    // the run and every output finite (so y * a = +-0.0 there), a tap of the
    // run maps a value to itself except that a zero becomes +0.0: only a
    // value's first pass through the run changes it. So the step computes
    // the value entering the run in full and moves the rest as a ring. False,
    // with z and y spoiled, when an output is not finite.
    bool respond_ring(double x, double* z, double* y, std::size_t n) const {
        const double *b = nb_.data(), *a = na_.data();
        const std::size_t N = nb_.size(), last = N - 2, rb = run_begin_, re = run_end_;
        const std::size_t R = re - rb;
        const double bx = x * b[rb + 1], a_run = a[rb + 1];
        // ring[(head + j) % R] is tap rb + j. All but the lowest pass a tap
        // of the run before they leave it.
        std::vector<double> ring(z + rb, z + re);
        for (std::size_t j = 1; j < R; ++j)
            if (ring[j] == 0.0) ring[j] = 0.0;
        std::size_t head = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const double bottom = ring[head];
            const double yk = iir_rule::output(rb == 0 ? bottom : z[0], b[0] * x);
            if (!std::isfinite(yk)) return false;
            for (std::size_t i = 0; i < rb; ++i)
                z[i] = iir_rule::tap(i + 1 == rb ? bottom : z[i + 1], x * b[i + 1], yk * a[i + 1]);
            ring[head] = iir_rule::tap(z[re], bx, yk * a_run);
            head = head + 1 == R ? 0 : head + 1;
            for (std::size_t i = re; i < last; ++i)
                z[i] = iir_rule::tap(z[i + 1], x * b[i + 1], yk * a[i + 1]);
            z[last] = iir_rule::last_tap(x * b[N - 1], yk * a[N - 1]);
            y[k] = yk;
        }
        for (std::size_t j = 0; j < R; ++j)
            z[rb + j] = ring[(head + j) % R];
        return true;
    }

    double fir_step(double x, double* z) const noexcept {
        const double* b = nb_.data();
        const std::size_t n = nb_.size();
        if (n == 1) return iir_rule::fir_last(b[0] * x);
        const double y = iir_rule::fir_output(b[0] * x, z[0]);
        const std::size_t last = n - 2;
        std::size_t i = 0;
#if KORVEL_PAIRS
        using detail::load;
        const detail::pair xx = {x, x};
        for (; i + 2 <= last; i += 2)
            detail::store(z + i, iir_rule::fir_tap(xx * load(b + i + 1), load(z + i + 1)));
#endif
        for (; i < last; ++i)
            z[i] = iir_rule::fir_tap(x * b[i + 1], z[i + 1]);
        z[last] = iir_rule::fir_last(x * b[n - 1]);
        return y;
    }
#pragma GCC diagnostic pop

    // The longest run of taps whose b and a are one pair of zeros (a dead
    // time followed by a short denominator: most of a plant model's taps).
    // Each of its taps has the same two products, so a step forms them once.
    void find_zero_run() noexcept {
        const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
        const std::size_t last = nb_.size() - 2;
        std::size_t i = 0;
        while (i < last) {
            const double b = nb_[i + 1], a = na_[i + 1];
            std::size_t j = i;
            if (b == 0.0 && a == 0.0)
                while (j < last && bits(nb_[j + 1]) == bits(b) && bits(na_[j + 1]) == bits(a))
                    ++j;
            if (j - i > run_end_ - run_begin_) run_begin_ = i, run_end_ = j;
            i = j > i ? j : i + 1;
        }
        if (run_end_ - run_begin_ < 4) run_begin_ = run_end_ = 0; // not worth a branch
    }

    std::vector<double> b_, a_;   // as given
    std::vector<double> nb_, na_; // divided by a[0]; padded to one length unless FIR
    std::size_t state_ = 0;       // max(len(a), len(b)) - 1
    bool fir_ = false;
    bool usable_ = false;                     // lfilter would filter with these coefficients
    std::size_t run_begin_ = 0, run_end_ = 0; // taps [begin, end): see find_zero_run
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
        zi[static_cast<std::size_t>(m)] = npmath::sum(prod.data(), static_cast<std::size_t>(len));
    }
    for (std::ptrdiff_t m = 0; m < N; ++m) {
        const std::ptrdiff_t len = N - m;
        for (std::ptrdiff_t j = 0; j < len; ++j)
            prod[static_cast<std::size_t>(j)] = a[static_cast<std::size_t>(m + 1 + j)] * hist(y, j);
        zi[static_cast<std::size_t>(m)] -= npmath::sum(prod.data(), static_cast<std::size_t>(len));
    }
    if (a[0] != 1.0) {
        if (a[0] == 0.0) throw std::domain_error("First `a` filter coefficient must be non-zero.");
        for (double& v : zi)
            v /= a[0];
    }
    return zi;
}

} // namespace korvel
