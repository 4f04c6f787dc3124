#include <korvel/intmath.hpp>
#include <korvel/ring.hpp>

#include <gtest/gtest.h>

// The tests are built with the checks on: a broken precondition stops the
// program where it is broken instead of reading or writing out of bounds.
TEST(AssertDeathTest, StatedPreconditionsAreChecked) {
    ASSERT_TRUE(KORVEL_ASSERTIONS_ON);
    korvel::Ring<int> r(2);
    r.push_back(1);
    EXPECT_DEATH((void)r[1], "korvel assertion failed: i < size_");
    korvel::Ring<int> empty(2);
    EXPECT_DEATH((void)empty.pop_front(), "korvel assertion failed: !empty\\(\\)");
    volatile long long zero = 0;
    EXPECT_DEATH((void)korvel::floor_mod(7, zero), "korvel assertion failed: b != 0");
}
