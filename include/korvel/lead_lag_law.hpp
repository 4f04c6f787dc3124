// One sample of a first-order lead-lag, wherever its numbers are kept: a
// LeadLag runs it on its own taps, a LeadLagBank on lane i of its arrays,
// so both give the bits lfilter gives.
//
// The lead-lag's coefficients have three shapes, each a path of lfilter:
//   b = [b0], a = [1]               (tao 0)   the FIR path, no state
//   b = [b0, b1], a = [a0]                    the FIR path, one state item
//   b = [b0] or [b0, b1], a = [a0, a1]        the IIR path, one state item
// A step takes both paths and selects, so a loop over lanes of mixed shapes
// has no branch.
#pragma once

#include <cstddef>
#include <optional>

#include "iir.hpp"
#include "simd.hpp"

namespace korvel {

// What a step reads: b and a divided by a[0] as Iir divides them, and the
// path as numbers (1 or 0), so a lane loop selects on doubles.
struct LeadLagTaps {
    double b0 = 1.0, b1 = 0.0, a1 = 0.0;
    double fir = 1.0;  // lfilter's FIR path (a has one item)
    double held = 0.0; // the state has its one item

    // None for coefficients of another order, or that lfilter refuses.
    static std::optional<LeadLagTaps> of(const Iir& f) noexcept {
        if (!f.usable() || f.state_size() > 1) return std::nullopt;
        const auto& nb = f.nb();
        if (f.is_fir())
            return LeadLagTaps{nb[0], nb.size() > 1 ? nb[1] : 0.0, 0.0, 1.0,
                               nb.size() > 1 ? 1.0 : 0.0};
        return LeadLagTaps{nb[0], nb[1], f.na()[1], 0.0, 1.0};
    }
};

namespace lead_lag_law {

// One sample: `l` gives the taps (b0, b1, a1, fir, held) and a reference to
// the state item z (unused, but readable, without one). The FIR path starts
// each of its sums at 0.0, so a -0.0 product becomes +0.0; adding -0.0 on
// the IIR path changes nothing.
template <class L> KORVEL_ALWAYS_INLINE double step(L l, double x) noexcept {
    // Both sides of every choice are computed, then one taken; the flags
    // are compared with > (an ordered test), which GCC turns into blends.
    const bool fir = l.fir() > 0.0, held = l.held() > 0.0;
    const double p = l.b0() * x + (fir ? 0.0 : -0.0);
    const double z = l.z();
    const double zp = z + p;
    const double y = held ? zp : p;
    const double q = x * l.b1();
    const double q_fir = q + 0.0;
    const double q_iir = q - y * l.a1();
    const double next = fir ? q_fir : q_iir;
    l.z() = held ? next : z;
    return y;
}

// lfiltic(b, a, [y], [u]) for these shapes (nb, na <= 2 items, a[0] != 0
// where a has two), in its order of operations, without allocating: the
// state item, or 0.0 where there is none.
inline double restart(const double* b, std::size_t nb, const double* a, std::size_t na, double u,
                      double y) noexcept {
    KORVEL_ASSERT(nb >= 1 && nb <= 2 && na >= 1 && na <= 2);
    // np.sum of one product is 0.0 plus it.
    double z = nb == 2 ? 0.0 + b[1] * u : 0.0;
    if (na == 2) z -= 0.0 + a[1] * y;
    if (a[0] != 1.0 && (nb == 2 || na == 2)) z /= a[0];
    return z;
}

} // namespace lead_lag_law

} // namespace korvel
