// Random two-level excitation signal for plant tests.
//
// Time, in whole seconds, runs in cycles of 2*ET. Each cycle is high from
// its start until a switching instant and low for the rest; the instant of
// cycle k is trunc(2*ET * table[k mod L]) with a fixed table of fractions,
// so the signal is a fixed function of time. Divisions and remainders are
// floored, so negative times continue the pattern backwards.
//
// The rule is written once over the integer type: long long here, with its
// range checks, and Python ints of any size in the Python module.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "intmath.hpp"

#include "assert.hpp"

namespace korvel {

// The table a signal is drawn with: `length` fractions, each k / `scale` for
// a whole k drawn uniformly from `low` to `high`.
struct SignalTable {
    static constexpr long long length = 10000;
    static constexpr long long low = 10, high = 90, scale = 100;
};

inline constexpr long long default_half_cycle = 10;
inline constexpr double default_amplitude = 1.0;

// The amplitude as set: a negative (or NaN) one becomes 0.
template <class A> A clamped_amplitude(const A& amp) {
    const A zero(0.0);
    return amp > zero ? amp : zero;
}

// The level of a phase.
template <class A> A signal_level(bool high, const A& amp) {
    return high ? amp : -amp;
}

// Whether the signal is high at a time, and the times from then of the next
// five level changes.
template <class Int> struct SignalLevels {
    bool high;
    Int next[5];
};

// The signal at time t, half cycle ET, over `table` (size() and the fraction
// at an index). Ops is the integer arithmetic:
//   Ops::Int                         the integer type
//   Ops::half_cycle_fits(ET)         whether the results stay in range
//   Ops::floor_div(t, period)        t // period
//   Ops::cycle_id(index, k, L, prev) (index + k) mod L, the table index of a
//                                    cycle (prev: that of the cycle before)
//   Ops::position(t, period, index)  t mod period, given index = t // period
//   Ops::switch_time(period, f)      trunc(period * f)
// The partial ones give an empty optional where the type has no answer (a
// division by zero, a result out of range), and so does the rule.
template <class Ops, class Table>
std::optional<SignalLevels<typename Ops::Int>>
signal_levels_at(const typename Ops::Int& t, const typename Ops::Int& ET, const Table& table) {
    using Int = typename Ops::Int;
    if (!Ops::half_cycle_fits(ET)) return std::nullopt;
    const Int period = 2 * ET;
    const std::optional<Int> index = Ops::floor_div(t, period);
    if (!index) return std::nullopt;
    const Int L = table.size();
    // The switching instants of the current and the next two cycles.
    Int sw[3]{}, id{};
    const auto instant = [&](int k) {
        std::optional<Int> next = Ops::cycle_id(*index, k, L, id);
        if (!next) return false;
        id = *std::move(next);
        std::optional<Int> s = Ops::switch_time(period, table[id]);
        if (!s) return false;
        sw[k] = *std::move(s);
        return true;
    };
    if (!instant(0) || !instant(1) || !instant(2)) return std::nullopt;
    const Int tp = Ops::position(t, period, *index);
    if (tp < sw[0]) {
        const Int n2 = period - tp, n4 = 4 * ET - tp;
        return SignalLevels<Int>{true, {sw[0] - tp, n2, n2 + sw[1], n4, n4 + sw[2]}};
    }
    const Int n1 = period - tp, n3 = 4 * ET - tp;
    return SignalLevels<Int>{false, {n1, n1 + sw[1], n3, n3 + sw[2], 6 * ET - tp}};
}

// The switching instant of a cycle: trunc(period * fraction), the product
// formed in double precision. Empty when it is not finite or leaves the range
// of long long.
inline std::optional<long long> switch_time(long long period, double fraction) noexcept {
    const double x = static_cast<double>(period) * fraction;
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return std::nullopt;
    return static_cast<long long>(x);
}

// The signal's arithmetic in long long. A half cycle up to 2**40 and
// switching instants up to 2**60 keep every level time in range; beyond, and
// for a zero period or an empty table, there is no answer.
struct SignalInt {
    using Int = long long;
    static constexpr long long max_half_cycle = 1LL << 40, max_switch = 1LL << 60;

    static bool half_cycle_fits(long long ET) noexcept {
        return ET <= max_half_cycle && ET >= -max_half_cycle;
    }
    static std::optional<long long> floor_div(long long t, long long period) noexcept {
        long long q;
        if (period == 0 || !korvel::floor_div(t, period, q)) return std::nullopt;
        return q;
    }
    // One division for the three neighbouring cycles: the next index wraps
    // by comparison.
    static std::optional<long long> cycle_id(long long index, int k, long long L,
                                             long long prev) noexcept {
        KORVEL_ASSERT(L >= 0);
        if (L == 0) return std::nullopt;
        if (k == 0) return floor_mod(index, L);
        return prev + 1 == L ? 0 : prev + 1;
    }
    // t - index * period, in unsigned arithmetic: the product alone may leave
    // the range of long long although the difference never does.
    static long long position(long long t, long long period, long long index) noexcept {
        return static_cast<long long>(static_cast<unsigned long long>(t) -
                                      static_cast<unsigned long long>(index) *
                                          static_cast<unsigned long long>(period));
    }
    static std::optional<long long> switch_time(long long period, double fraction) noexcept {
        const auto s = korvel::switch_time(period, fraction);
        if (!s || *s > max_switch || *s < -max_switch) return std::nullopt;
        return *s;
    }
};

// A table of fractions in memory.
struct Fractions {
    std::span<const double> f;

    long long size() const noexcept { return static_cast<long long>(f.size()); }
    double operator[](long long i) const noexcept {
        KORVEL_ASSERT(i >= 0 && static_cast<std::size_t>(i) < f.size());
        return f[static_cast<std::size_t>(i)];
    }
};

// Where time t falls: the table indices of the current and the next two
// cycles, and the position inside the current cycle.
struct SignalCycle {
    long long ids[3];
    long long tp;
};

// Requires period != 0 and L > 0; empty when the quotient overflows.
inline std::optional<SignalCycle> signal_cycle(long long t, long long period,
                                               long long L) noexcept {
    KORVEL_ASSERT(period != 0 && L > 0);
    const auto index = SignalInt::floor_div(t, period);
    if (!index) return std::nullopt;
    SignalCycle c{};
    for (int k = 0; k < 3; ++k)
        c.ids[k] = *SignalInt::cycle_id(*index, k, L, k == 0 ? 0 : c.ids[k - 1]);
    c.tp = SignalInt::position(t, period, *index);
    return c;
}

class TestSignal {
  public:
    explicit TestSignal(std::vector<double> table, long long ET = default_half_cycle,
                        double amp = default_amplitude)
        : table_(std::move(table)), ET_(ET), amp_(clamped_amplitude(amp)) {}

    struct Sample {
        double U;
        long long next[5];
    };

    // Empty for ET 0, |ET| beyond 2**40, an empty table or a switching
    // instant out of range.
    std::optional<Sample> at(long long t) const noexcept {
        const auto lv = signal_levels_at<SignalInt>(t, ET_, Fractions{table_});
        if (!lv) return std::nullopt;
        Sample out{signal_level(lv->high, amp_), {}};
        for (int k = 0; k < 5; ++k)
            out.next[k] = lv->next[k];
        return out;
    }

    void set_ET(long long ET) noexcept { ET_ = ET; }
    void set_amplitude(double amp) noexcept { amp_ = clamped_amplitude(amp); }
    long long ET() const noexcept { return ET_; }
    double amplitude() const noexcept { return amp_; }

  private:
    std::vector<double> table_;
    long long ET_;
    double amp_;
};

} // namespace korvel
