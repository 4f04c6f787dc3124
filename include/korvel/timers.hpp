// Set/reset flip-flop and on-/off-delay timers, counted in samples.
//
// The timers keep `ET`, the remaining count of a running delay; ET == DT is
// the resting value. An edge of the input starts the count at DT - 1, each
// later sample in the same input state lowers it, and the delayed change of
// the output comes DT - 1 samples after the edge. A change back of the input
// before the count ends reloads ET = DT and so cancels it.
#pragma once

#include <climits>

#include "assert.hpp"

namespace korvel {

// Reset dominates; with neither input the previous output is held.
constexpr bool rs_next(bool s, bool r, bool q_prev) noexcept {
    if (r) return false;
    return s || q_prev;
}

// One on-delay step on the stored input u0 and the previous one u1. Reloads
// while the input is exactly 0 and starts counting on any rise (1 -> 2
// restarts a running count). Requires DT > LLONG_MIN.
constexpr long long ton_count(long long u0, long long u1, long long DT, long long ET) noexcept {
    KORVEL_ASSERT(DT > LLONG_MIN);
    if (u0 == 0) ET = DT;
    if (ET < DT && ET > 0) ET = ET - 1;
    if (u0 > u1) ET = DT - 1;
    return ET;
}
constexpr int ton_output(long long ET) noexcept {
    return ET > 0 ? 0 : 1;
}

// One off-delay step: reloads while the input is above 0 and starts
// counting on any fall. Requires DT > LLONG_MIN.
constexpr long long toff_count(long long u0, long long u1, long long DT, long long ET) noexcept {
    KORVEL_ASSERT(DT > LLONG_MIN);
    if (u0 > 0) ET = DT;
    if (ET < DT && ET > 0) ET = ET - 1;
    if (u0 < u1) ET = DT - 1;
    return ET;
}
constexpr int toff_output(long long ET) noexcept {
    return ET > 0 ? 1 : 0;
}

class RSLatch {
  public:
    bool step(bool s, bool r) noexcept { return q_ = rs_next(s, r, q_); }
    bool q() const noexcept { return q_; }

  private:
    bool q_ = false;
};

// A delay timer on integer inputs; the previous input starts as 0.
template <long long (*Count)(long long, long long, long long, long long), int (*Output)(long long)>
class DelayTimer {
  public:
    explicit DelayTimer(long long DT = 3) noexcept : DT_(DT) {}

    int step(long long u) noexcept {
        u1_ = u0_;
        u0_ = u;
        ET_ = Count(u0_, u1_, DT_, ET_);
        return Output(ET_);
    }
    void set_DT(long long DT) noexcept { DT_ = DT; }
    long long DT() const noexcept { return DT_; }
    long long ET() const noexcept { return ET_; }

  private:
    long long DT_, ET_ = 0, u0_ = 0, u1_ = 0;
};

using OnDelay = DelayTimer<ton_count, ton_output>;
using OffDelay = DelayTimer<toff_count, toff_output>;

} // namespace korvel
