// Cyclic watchdog counter: each step advances by one and wraps, so a
// supervisor can tell a live station by a value that keeps changing.
#pragma once

#include <climits>
#include <optional>

#include "intmath.hpp"

#include "assert.hpp"

namespace korvel {

// (ticks + 1) mod m, floored: [0, m - 1] for m > 0, [m + 1, 0] for m < 0.
// Requires m != 0 and ticks < LLONG_MAX.
constexpr long long watchdog_next(long long ticks, long long m) noexcept {
    KORVEL_ASSERT(m != 0 && ticks < LLONG_MAX);
    const long long next = ticks + 1;
    if (m > 0 && next >= 0 && next < m) return next; // the usual step, without a division
    return floor_mod(next, m);
}

class WatchDog {
  public:
    // Shows 0, 1, ..., max_out in turn (max_out >= 0). The bound may change
    // between steps. Empty, counter kept, when max_out + 1 is 0 or the
    // arithmetic would leave the range of long long.
    std::optional<long long> step(long long max_out = 0) noexcept {
        if (max_out == -1 || max_out == LLONG_MAX || ticks_ == LLONG_MAX) return std::nullopt;
        ticks_ = watchdog_next(ticks_, max_out + 1);
        return ticks_;
    }
    long long ticks() const noexcept { return ticks_; }
    void set_ticks(long long t) noexcept { ticks_ = t; }

  private:
    long long ticks_ = 0;
};

} // namespace korvel
