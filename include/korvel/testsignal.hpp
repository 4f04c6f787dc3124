// Random two-level excitation signal for plant tests.
//
// Time, in whole seconds, runs in cycles of 2*ET. Each cycle is high from
// its start until a switching instant and low for the rest; the instant of
// cycle k is trunc(2*ET * table[k mod L]) with a fixed table of fractions,
// so the signal is a fixed function of time. Divisions and remainders are
// floored, so negative times continue the pattern backwards.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "intmath.hpp"

#include "assert.hpp"

namespace korvel {

// Where time t falls: the table indices of the current and the next two
// cycles, and the position inside the current cycle.
struct SignalCycle {
    long long ids[3];
    long long tp;
};

// Requires period != 0 and L > 0; empty when the quotient overflows. Two
// integer divisions in all: the neighbours of an index wrap by comparison,
// and the position is what the floored quotient leaves of t.
inline std::optional<SignalCycle> signal_cycle(long long t, long long period,
                                               long long L) noexcept {
    KORVEL_ASSERT(period != 0 && L > 0);
    long long index;
    if (!floor_div(t, period, index)) return std::nullopt;
    const long long id0 = floor_mod(index, L);
    const long long id1 = id0 + 1 == L ? 0 : id0 + 1;
    const long long id2 = id1 + 1 == L ? 0 : id1 + 1;
    // t - index * period, in unsigned arithmetic: the product alone may leave
    // the range of long long although the difference never does.
    const auto tp = static_cast<long long>(static_cast<unsigned long long>(t) -
                                           static_cast<unsigned long long>(index) *
                                               static_cast<unsigned long long>(period));
    return SignalCycle{{id0, id1, id2}, tp};
}

// The level at position tp and the times from now of the next five level
// changes, given the switching instants of the current and the next two
// cycles. Requires 6*|ET| plus the instants to fit in long long.
struct SignalLevels {
    bool high;
    long long next[5];
};

constexpr SignalLevels signal_levels(long long ET, long long tp, long long sw0, long long sw1,
                                     long long sw2) noexcept {
    const long long period = 2 * ET;
    if (tp < sw0)
        return {true, {sw0 - tp, period - tp, period - tp + sw1, 4 * ET - tp, 4 * ET - tp + sw2}};
    return {false, {period - tp, period - tp + sw1, 4 * ET - tp, 4 * ET - tp + sw2, 6 * ET - tp}};
}

// The switching instant of a cycle: trunc(period * fraction), the product
// formed in double precision. Empty when it is not finite or leaves the range
// of long long.
inline std::optional<long long> switch_time(long long period, double fraction) noexcept {
    const double x = static_cast<double>(period) * fraction;
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return std::nullopt;
    return static_cast<long long>(x);
}

class TestSignal {
  public:
    explicit TestSignal(std::vector<double> table, long long ET = 10, double amp = 1.0)
        : table_(std::move(table)), ET_(ET), amp_(amp > 0.0 ? amp : 0.0) {}

    struct Sample {
        double U;
        long long next[5];
    };

    // Empty for ET 0, |ET| beyond 2**40, an empty table or a switching
    // instant out of range.
    std::optional<Sample> at(long long t) const noexcept {
        constexpr long long max_ET = 1LL << 40, max_sw = 1LL << 60;
        const auto L = static_cast<long long>(table_.size());
        if (ET_ == 0 || ET_ > max_ET || ET_ < -max_ET || L == 0) return std::nullopt;
        const long long period = 2 * ET_;
        const auto c = signal_cycle(t, period, L);
        if (!c) return std::nullopt;
        long long sw[3];
        for (int k = 0; k < 3; ++k) {
            const auto s = switch_time(period, table_[static_cast<std::size_t>(c->ids[k])]);
            if (!s || *s > max_sw || *s < -max_sw) return std::nullopt;
            sw[k] = *s;
        }
        const SignalLevels lv = signal_levels(ET_, c->tp, sw[0], sw[1], sw[2]);
        Sample out{lv.high ? amp_ : -amp_, {}};
        for (int k = 0; k < 5; ++k)
            out.next[k] = lv.next[k];
        return out;
    }

    void set_ET(long long ET) noexcept { ET_ = ET; }
    void set_amplitude(double amp) noexcept { amp_ = amp > 0.0 ? amp : 0.0; }
    long long ET() const noexcept { return ET_; }
    double amplitude() const noexcept { return amp_; }

  private:
    std::vector<double> table_;
    long long ET_;
    double amp_;
};

} // namespace korvel
