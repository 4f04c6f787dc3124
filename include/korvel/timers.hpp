// Set/reset flip-flop and on-/off-delay timers, counted in samples.
//
// The timers keep `ET`, the remaining count of a running delay; ET == DT is
// the resting value. An edge of the input starts the count at DT - 1, each
// later sample in the same input state lowers it, and the delayed change of
// the output comes DT - 1 samples after the edge. A change back of the input
// before the count ends reloads ET = DT and so cancels it.
//
// The rules are written once over the value type: long long here, and in the
// Python module objects whose comparisons and arithmetic are Python's, read
// from fields a caller may change while the rule runs.
#pragma once

#include <array>
#include <climits>

#include "assert.hpp"

namespace korvel {

// Reset dominates; with neither input the previous output is held. `held()`
// gives it, and is read only then.
template <class Held> constexpr bool rs_next(bool s, bool r, Held&& held) {
    if (r) return false;
    if (s) return true;
    return static_cast<bool>(held());
}

// The on-delay reloads while the input is exactly 0 and starts counting on
// any rise (1 -> 2 restarts a running count).
struct OnDelayRule {
    template <class V> static constexpr bool reloads(const V& u0) { return u0 == 0; }
    template <class V> static constexpr bool starts(const V& u0, const V& u1) { return u0 > u1; }
    template <class V> static constexpr int output(const V& ET) { return ET > 0 ? 0 : 1; }
};

// The off-delay reloads while the input is above 0 and starts counting on
// any fall.
struct OffDelayRule {
    template <class V> static constexpr bool reloads(const V& u0) { return u0 > 0; }
    template <class V> static constexpr bool starts(const V& u0, const V& u1) { return u0 < u1; }
    template <class V> static constexpr int output(const V& ET) { return ET > 0 ? 1 : 0; }
};

// One timer step; returns the output. The fields are read through `f` where
// the rule reads them, and each assignment to ET lands as it is made:
//   f.history()[i]  the stored input (0) and the previous one (1)
//   f.DT(), f.ET()  the delay and the remaining count
//   f.set_ET(v)
template <class Rule, class F> constexpr int timer_step(F& f) {
    if (Rule::reloads(f.history()[0])) f.set_ET(f.DT());
    {
        const auto ET = f.ET();
        const auto DT = f.DT();
        if (ET < DT && ET > 0) f.set_ET(ET - 1);
    }
    {
        const auto h = f.history();
        const auto u0 = h[0];
        const auto u1 = h[1];
        if (Rule::starts(u0, u1)) f.set_ET(f.DT() - 1);
    }
    return Rule::output(f.ET());
}

inline constexpr long long default_timer_delay = 3;

// A timer's fields as plain integers. Requires DT > LLONG_MIN (the count
// starts at DT - 1).
struct TimerValues {
    std::array<long long, 2> inputs{}; // the stored input and the previous one
    long long dt = default_timer_delay, et = 0;

    constexpr const std::array<long long, 2>& history() const noexcept { return inputs; }
    constexpr long long DT() const noexcept {
        KORVEL_ASSERT(dt > LLONG_MIN);
        return dt;
    }
    constexpr long long ET() const noexcept { return et; }
    constexpr void set_ET(long long v) noexcept { et = v; }
};

class RSLatch {
  public:
    bool step(bool s, bool r) noexcept {
        return q_ = rs_next(s, r, [this] { return q_; });
    }
    bool q() const noexcept { return q_; }

  private:
    bool q_ = false;
};

// A delay timer on integer inputs; the previous input starts as 0.
template <class Rule> class DelayTimer {
  public:
    explicit DelayTimer(long long DT = default_timer_delay) noexcept { v_.dt = DT; }

    int step(long long u) noexcept {
        v_.inputs = {u, v_.inputs[0]};
        return timer_step<Rule>(v_);
    }
    void set_DT(long long DT) noexcept { v_.dt = DT; }
    long long DT() const noexcept { return v_.dt; }
    long long ET() const noexcept { return v_.et; }

  private:
    TimerValues v_;
};

using OnDelay = DelayTimer<OnDelayRule>;
using OffDelay = DelayTimer<OffDelayRule>;

} // namespace korvel
