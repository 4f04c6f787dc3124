// Many filters of one shape stepped together: lane l's output and state are,
// bit for bit, what Iir::step gives that lane's filter on its own state.
//
// Contract. Every lane's filter has the same IirShape: the same path (FIR or
// not), the same number of taps and the same run of zero taps with the same
// two zeros. A step of lane l computes, in Iir::step's order and with its
// expressions (iir_rule), y = z[0] + b[0] x and every tap from the old state,
// over a block of lanes at a time with the lanes as the inner loop, so the
// compiler runs several lanes in one instruction (each lane still rounds as
// scalar code does: lane-wise IEEE operations, nothing contracted).
//
// The run of zero taps (a dead time) is kept as a ring and costs O(1) per
// step instead of one tap per sample of dead time. That is exact because a
// run tap maps a value v to f_k(v) = (v + x b0) - y a0 with b0, a0 zeros: for
// finite x and y both products are zeros, and adding or subtracting a zero
// changes no number but a zero's sign. A zero keeps a negative sign only
// through steps with x b0 = -0 and y a0 = +0; at any other step it becomes
// +0 and stays so. So each lane records the last step that turned -0 into
// +0 (last_norm), and a value leaving the run is +0 if it was a zero that
// met such a step after it entered. A step with x or y not finite makes
// every run value of that lane f_k(v) in full (NaN or infinity), at O(run)
// cost for that lane alone.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

#include "iir.hpp"
#include "simd.hpp"

#include "assert.hpp"

namespace korvel {

// How a filter steps; lanes of one shape share a loop.
struct IirShape {
    bool fir = false;
    std::size_t n = 0;                // taps, len(nb)
    std::size_t rb = 0, re = 0;       // the run of zero taps [rb, re)
    std::uint64_t brun = 0, arun = 0; // the run's b and a, as bits

    friend bool operator==(const IirShape&, const IirShape&) = default;

    static IirShape of(const Iir& f) noexcept {
        IirShape s;
        s.fir = f.is_fir();
        s.n = f.nb().size();
        std::tie(s.rb, s.re) = f.zero_run();
        if (s.re > s.rb) {
            s.brun = std::bit_cast<std::uint64_t>(f.nb()[s.rb + 1]);
            s.arun = std::bit_cast<std::uint64_t>(f.na()[s.rb + 1]);
        }
        return s;
    }
    std::size_t state_size() const noexcept { return n - 1; }
};

class IirLanes {
  public:
    // filters[l] with state states[l] (its state_size() values) for each
    // lane; every filter usable and of one shape.
    IirLanes(std::span<const Iir* const> filters, std::span<const double* const> states)
        : m_(filters.size()) {
        KORVEL_ASSERT(m_ > 0 && states.size() == m_);
        const Iir& f0 = *filters[0];
        s_ = IirShape::of(f0);
        const std::size_t n = s_.n, R = s_.re - s_.rb;
        shared_ = true;
        for (const Iir* f : filters) {
            KORVEL_ASSERT(f->usable() && IirShape::of(*f) == s_);
            shared_ = shared_ && same_bits(f->nb(), f0.nb()) && same_bits(f->na(), f0.na());
        }
        const std::size_t cols = shared_ ? 1 : m_;
        b_.resize(n * cols);
        a_.resize(s_.fir ? 0 : n * cols);
        for (std::size_t l = 0; l < cols; ++l)
            for (std::size_t t = 0; t < n; ++t) {
                b_[t * cols + l] = filters[l]->nb()[t];
                if (!s_.fir) a_[t * cols + l] = filters[l]->na()[t];
            }
        z_.resize((s_.state_size() - R) * m_);
        ring_.resize(R * m_);
        last_norm_.assign(m_, -1.0);
        floor_.assign(m_, -1.0);
        for (std::size_t l = 0; l < m_; ++l)
            set_state(l, states[l]);
    }

    std::size_t lanes() const noexcept { return m_; }
    const IirShape& shape() const noexcept { return s_; }
    std::size_t state_size() const noexcept { return s_.state_size(); }

    // One sample of every lane: x[l] in, y[l] out.
    void step(const double* x, double* y) noexcept {
        if (s_.fir)
            shared_ ? fir_step<true>(x, y) : fir_step<false>(x, y);
        else
            shared_ ? iir_step<true>(x, y) : iir_step<false>(x, y);
    }

    // Lane l's state as lfilter's zi (state_size() values), and back.
    void state(std::size_t l, double* z) const noexcept {
        KORVEL_ASSERT(l < m_);
        const std::size_t rb = s_.rb, R = s_.re - rb;
        for (std::size_t t = 0; t < s_.state_size(); ++t)
            z[t] = t < rb      ? z_[t * m_ + l]
                   : t < s_.re ? ring_value(l, t - rb)
                               : z_[(t - R) * m_ + l];
    }
    void set_state(std::size_t l, const double* z) noexcept {
        KORVEL_ASSERT(l < m_);
        const std::size_t rb = s_.rb, R = s_.re - rb;
        for (std::size_t t = 0; t < s_.state_size(); ++t)
            if (t < rb)
                z_[t * m_ + l] = z[t];
            else if (t < s_.re)
                ring_[((head_ + t - rb) % R) * m_ + l] = z[t];
            else
                z_[(t - R) * m_ + l] = z[t];
        floor_[l] = k_ - 1.0; // exact as of the last step
    }

  private:
    static constexpr std::size_t block = 64;

    static bool same_bits(const std::vector<double>& u, const std::vector<double>& v) noexcept {
        return u.size() == v.size() &&
               std::equal(u.begin(), u.end(), v.begin(), [](double p, double q) {
                   return std::bit_cast<std::uint64_t>(p) == std::bit_cast<std::uint64_t>(q);
               });
    }

    // A stored run value v as it reads now: a zero is +0 if a step after it
    // entered (last_norm > entered) turned -0 into +0. Branch-free, for the
    // lane loop.
    KORVEL_ALWAYS_INLINE static double run_value(double v, double last_norm,
                                                 double entered) noexcept {
        return ((v == 0.0) & (last_norm > entered)) ? 0.0 : v;
    }

    // The run's value j places above its bottom, as of the last step.
    double ring_value(std::size_t l, std::size_t j) const noexcept {
        const std::size_t R = s_.re - s_.rb;
        const double entered = std::max(k_ - static_cast<double>(R - j), floor_[l]);
        return run_value(ring_[((head_ + j) % R) * m_ + l], last_norm_[l], entered);
    }

    // Tap t of every lane: a value of its own when the lanes share it, so
    // the loop need not reload it past its stores.
    template <bool Shared> struct Row {
        const double* p;
        double v;
        KORVEL_ALWAYS_INLINE double operator[](std::size_t l) const noexcept {
            return Shared ? v : p[l];
        }
    };
    template <bool Shared> struct Coeffs {
        const double* p;
        std::size_t m;
        KORVEL_ALWAYS_INLINE Row<Shared> operator()(std::size_t t) const noexcept {
            return Shared ? Row<Shared>{nullptr, p[t]} : Row<Shared>{p + t * m, 0.0};
        }
    };

    template <bool Shared> KORVEL_LANE_CLONES void fir_step(const double* x, double* y) noexcept {
        const std::size_t n = s_.n, m = m_;
        const Coeffs<Shared> B{b_.data(), m};
        double* z = z_.data();
        if (n == 1) {
            const auto B0 = B(0);
            KORVEL_LANE_LOOP
            for (std::size_t l = 0; l < m; ++l)
                y[l] = iir_rule::fir_last(B0[l] * x[l]);
            return;
        }
        const std::size_t last = n - 2;
        for (std::size_t l0 = 0; l0 < m; l0 += block) {
            const std::size_t l1 = std::min(m, l0 + block);
            const auto B0 = B(0), Bn = B(n - 1);
            KORVEL_LANE_LOOP
            for (std::size_t l = l0; l < l1; ++l)
                y[l] = iir_rule::fir_output(B0[l] * x[l], z[l]);
            for (std::size_t i = 0; i < last; ++i) {
                const auto Bi = B(i + 1);
                KORVEL_LANE_LOOP
                for (std::size_t l = l0; l < l1; ++l)
                    z[i * m + l] = iir_rule::fir_tap(x[l] * Bi[l], z[(i + 1) * m + l]);
            }
            KORVEL_LANE_LOOP
            for (std::size_t l = l0; l < l1; ++l)
                z[last * m + l] = iir_rule::fir_last(x[l] * Bn[l]);
        }
        k_ += 1.0;
    }

    template <bool Shared> KORVEL_LANE_CLONES void iir_step(const double* x, double* y) noexcept {
        const std::size_t n = s_.n, m = m_, last = n - 2, rb = s_.rb, re = s_.re, R = re - rb;
        const Coeffs<Shared> B{b_.data(), m}, A{a_.data(), m};
        double* z = z_.data(); // rows: taps below the run, then taps from re on
        const auto row = [&](std::size_t t) { return (t < rb ? t : t - R) * m; };
        const double brun = std::bit_cast<double>(s_.brun), arun = std::bit_cast<double>(s_.arun);
        double* ring = ring_.data() + head_ * m; // the run's bottom, then its new top
        const double k = k_, kR = k_ - static_cast<double>(R);
        double bottom[block];
        double odd = 0.0;
        const auto B0 = B(0), Bn = B(n - 1), An = A(n - 1);
        for (std::size_t l0 = 0; l0 < m; l0 += block) {
            const std::size_t l1 = std::min(m, l0 + block);
            if (R) {
                KORVEL_LANE_LOOP
                for (std::size_t l = l0; l < l1; ++l) {
                    const double b = run_value(ring[l], last_norm_[l], std::max(kR, floor_[l]));
                    bottom[l - l0] = b;
                    y[l] = iir_rule::output(rb == 0 ? b : z[l], B0[l] * x[l]);
                }
            } else {
                KORVEL_LANE_LOOP
                for (std::size_t l = l0; l < l1; ++l)
                    y[l] = iir_rule::output(z[l], B0[l] * x[l]);
            }
            for (std::size_t i = 0; i < rb; ++i) {
                const std::size_t zi = row(i);
                // The tap above: the run's bottom for the last tap below it.
                const double* up = i + 1 == rb ? bottom : z + row(i + 1) + l0;
                const auto Bi = B(i + 1), Ai = A(i + 1);
                KORVEL_LANE_LOOP
                for (std::size_t l = l0; l < l1; ++l)
                    z[zi + l] = iir_rule::tap(up[l - l0], x[l] * Bi[l], y[l] * Ai[l]);
            }
            if (R) {
                const std::size_t zt = row(re);
                double* last_norm = last_norm_.data();
                KORVEL_LANE_LOOP_SUM(odd)
                for (std::size_t l = l0; l < l1; ++l) {
                    const double bx = x[l] * brun, ay = y[l] * arun;
                    ring[l] = iir_rule::tap(z[zt + l], bx, ay);
                    // This step keeps a -0 in the run only if f_k(-0) is -0.
                    const double t = iir_rule::tap(-0.0, bx, ay);
                    last_norm[l] = (std::signbit(t) | (t != t)) ? last_norm[l] : k;
                    odd += (x[l] - x[l]) + (y[l] - y[l]); // NaN once one is not finite
                }
            }
            for (std::size_t i = re; i < last; ++i) {
                const std::size_t zi = row(i), zu = row(i + 1);
                const auto Bi = B(i + 1), Ai = A(i + 1);
                KORVEL_LANE_LOOP
                for (std::size_t l = l0; l < l1; ++l)
                    z[zi + l] = iir_rule::tap(z[zu + l], x[l] * Bi[l], y[l] * Ai[l]);
            }
            const std::size_t zl = row(last);
            KORVEL_LANE_LOOP
            for (std::size_t l = l0; l < l1; ++l)
                z[zl + l] = iir_rule::last_tap(x[l] * Bn[l], y[l] * An[l]);
        }
        if (R) {
            if (odd != odd) // a lane's input or output is not finite
                for (std::size_t l = 0; l < m; ++l)
                    if (!std::isfinite(x[l]) || !std::isfinite(y[l])) apply_to_run(l, x[l], y[l]);
            head_ = head_ + 1 == R ? 0 : head_ + 1;
        }
        k_ += 1.0;
    }

    // The step just taken had a product that is not a zero in lane l: every
    // value that moved down the run takes it in full. Called before the ring
    // turns: the new top is at head_, the moved values above it.
    void apply_to_run(std::size_t l, double x, double y) noexcept {
        const std::size_t R = s_.re - s_.rb;
        const double bx = x * std::bit_cast<double>(s_.brun);
        const double ay = y * std::bit_cast<double>(s_.arun);
        for (std::size_t j = 1; j < R; ++j) {
            double& slot = ring_[((head_ + j) % R) * m_ + l];
            const double entered = std::max(k_ - static_cast<double>(R - j), floor_[l]);
            slot = iir_rule::tap(run_value(slot, last_norm_[l], entered), bx, ay);
        }
        floor_[l] = k_ - 1.0; // every value of the run exact as of this step
    }

    IirShape s_;
    std::size_t m_;
    bool shared_ = false;                   // one set of coefficients for every lane
    std::vector<double> b_, a_;             // [tap][lane], or [tap] when shared
    std::vector<double> z_;                 // the taps outside the run, [row][lane]
    std::vector<double> ring_;              // the run, [slot][lane]; slot head_ its bottom
    std::vector<double> last_norm_, floor_; // per lane, step numbers
    std::size_t head_ = 0;
    double k_ = 0.0; // steps taken
};

} // namespace korvel
