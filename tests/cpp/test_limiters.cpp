#include <korvel/limiters.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using korvel::AntiWindup;
using korvel::RateLimiter;

TEST(Limit, LowerBoundFirstUpperLast) {
    EXPECT_EQ(korvel::limit(150, 100, 0), 100);
    EXPECT_EQ(korvel::limit(-5, 100, 0), 0);
    EXPECT_EQ(korvel::limit(50, 40, 60), 40); // hi < lo: always hi
    EXPECT_EQ(korvel::limit(70, 40, 60), 40);
    EXPECT_TRUE(std::isnan(korvel::limit(NAN, 100, 0)));
}

TEST(AntiWindup, LeavesTheLimitAtOnce) {
    AntiWindup a;
    EXPECT_EQ(a.step(150, 100, 0), 100);
    EXPECT_EQ(a.step(160, 100, 0), 100);
    EXPECT_EQ(a.step(155, 100, 0), 95);
    EXPECT_EQ(*a.u0(), 155);
    EXPECT_EQ(*a.y0(), 95);
}

TEST(AntiWindup, NewLimitAppliesWithoutMovingTheInput) {
    AntiWindup a;
    EXPECT_FALSE(a.u0().has_value());
    EXPECT_EQ(a.step(-20, 100, 0), 0);
    EXPECT_EQ(a.step(-10, 100, 0), 10);
    AntiWindup b;
    EXPECT_EQ(b.step(50, 100, 0), 50);
    EXPECT_EQ(b.step(50, 40, 0), 40);
    EXPECT_EQ(b.step(50, 100, 0), 40);
    AntiWindup c;
    for (double u : {-3.0, 7.0, 1e9})
        EXPECT_EQ(c.step(u, 5, 5), 5);
}

TEST(AntiWindup, NaNSticks) {
    AntiWindup a;
    a.step(1, 100, 0);
    EXPECT_TRUE(std::isnan(a.step(NAN, 100, 0)));
    EXPECT_TRUE(std::isnan(a.step(2, 100, 0)));
}

TEST(RateLimiter, RampsAndLandsExactly) {
    RateLimiter r(3, 1);
    double y = 0;
    for (int i = 1; i <= 43; ++i) {
        y = r.step(10, 10, -10);
        if (i == 1) {
            EXPECT_EQ(y, 3.1666666666666665);
        } else if (i == 2) {
            EXPECT_EQ(y, 3.333333333333333);
        } else if (i == 42) {
            EXPECT_EQ(y, 9.999999999999998);
        }
    }
    EXPECT_EQ(y, 10);
    EXPECT_EQ(r.step(10, 10, -10), 10);
}

TEST(RateLimiter, FallsByTheRisingRateWithoutAFallingOne) {
    RateLimiter r(0, 1);
    for (int k = 1; k <= 5; ++k)
        EXPECT_EQ(r.step(-5, 60), -k);
    EXPECT_EQ(r.step(-5, 60), -5);
}

TEST(RateLimiter, SignsIgnoredZeroRateHolds) {
    RateLimiter a(10, 2), b(10, 2);
    EXPECT_EQ(a.step(0, 60, -30), b.step(0, 60, 30));
    EXPECT_EQ(a.last(), 9);
    RateLimiter z(4, 1);
    EXPECT_EQ(z.step(9, 0), 4);
    EXPECT_EQ(z.step(4, 0), 4);
    z.reset(7);
    EXPECT_EQ(z.step(7, 0), 7);
}

TEST(RateLimiter, NaNTargetPassesThenLimitingResumes) {
    RateLimiter r(0, 1);
    EXPECT_TRUE(std::isnan(r.step(NAN, 60)));
    EXPECT_EQ(r.step(50, 60), 50); // difference NaN: target returned unlimited
    EXPECT_EQ(r.step(60, 60), 51);
}
