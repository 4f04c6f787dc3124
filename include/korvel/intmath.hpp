// Floored integer division and remainder (the remainder takes the sign of
// the divisor), as counters and cycle positions need them for negative
// operands. C++'s / and % truncate toward zero instead.
#pragma once

#include <climits>

#include "assert.hpp"

namespace korvel {

// Requires b != 0. The remainder cannot overflow.
constexpr long long floor_mod(long long a, long long b) noexcept {
    KORVEL_ASSERT(b != 0);
    if (b == -1) return 0; // a % -1 overflows for LLONG_MIN
    const long long r = a % b;
    return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

// Requires b != 0; false when the quotient overflows (LLONG_MIN / -1).
constexpr bool floor_div(long long a, long long b, long long& q) noexcept {
    KORVEL_ASSERT(b != 0);
    if (b == -1 && a == LLONG_MIN) return false;
    const long long t = a / b;
    q = (a % b != 0 && ((a < 0) != (b < 0))) ? t - 1 : t;
    return true;
}

} // namespace korvel
