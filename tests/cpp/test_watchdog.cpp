#include <korvel/intmath.hpp>
#include <korvel/testsignal.hpp>
#include <korvel/watchdog.hpp>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

using korvel::floor_div;
using korvel::floor_mod;

TEST(IntMath, FlooredLikePython) {
    EXPECT_EQ(floor_mod(7, 3), 1);
    EXPECT_EQ(floor_mod(-7, 3), 2);
    EXPECT_EQ(floor_mod(7, -3), -2);
    EXPECT_EQ(floor_mod(-7, -3), -1);
    EXPECT_EQ(floor_mod(LLONG_MIN, -1), 0);
    long long q = 0;
    EXPECT_TRUE(floor_div(-7, 20, q));
    EXPECT_EQ(q, -1);
    EXPECT_TRUE(floor_div(7, -2, q));
    EXPECT_EQ(q, -4);
    EXPECT_TRUE(floor_div(-8, 2, q));
    EXPECT_EQ(q, -4);
    EXPECT_FALSE(floor_div(LLONG_MIN, -1, q));
}

TEST(WatchDog, CyclesAndWraps) {
    korvel::WatchDog w;
    std::vector<long long> out;
    for (int i = 0; i < 5; ++i)
        out.push_back(*w.step(3));
    EXPECT_EQ(out, (std::vector<long long>{1, 2, 3, 0, 1}));
    EXPECT_EQ(*w.step(0), 0);
    w.set_ticks(7);
    EXPECT_EQ(*w.step(3), 0); // 8 mod 4
    w.set_ticks(-5);
    EXPECT_EQ(*w.step(3), 0); // -4 mod 4
    w.set_ticks(-7);
    EXPECT_EQ(*w.step(3), 2); // -6 mod 4
    korvel::WatchDog n;
    EXPECT_EQ(*n.step(-3), -1); // m = -2
    EXPECT_EQ(*n.step(-3), 0);
    EXPECT_EQ(*n.step(-3), -1);
    EXPECT_FALSE(n.step(-1).has_value());
    EXPECT_EQ(n.ticks(), -1);
}

TEST(TestSignal, LevelsAndNextChanges) {
    std::vector<double> table(10000, 0.5);
    table[1] = 0.25;
    table[2] = 0.5;
    table[3] = 0.75;
    korvel::TestSignal s(table);
    auto a = s.at(23);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->U, 1.0);
    EXPECT_EQ(std::vector<long long>(a->next, a->next + 5),
              (std::vector<long long>{2, 17, 27, 37, 52}));
    auto b = s.at(30);
    EXPECT_EQ(b->U, -1.0);
    EXPECT_EQ(std::vector<long long>(b->next, b->next + 5),
              (std::vector<long long>{10, 20, 30, 45, 50}));
    EXPECT_EQ(s.at(25)->U, -1.0); // strict test at the switching instant
}

TEST(TestSignal, NegativeTimeAndTruncatedInstants) {
    auto c = korvel::signal_cycle(-7, 20, 10000);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ids[0], 9999);
    EXPECT_EQ(c->ids[1], 0);
    EXPECT_EQ(c->ids[2], 1);
    EXPECT_EQ(c->tp, 13);
    for (long long t : {LLONG_MIN, LLONG_MIN + 1, LLONG_MAX, -1LL, 0LL, 19LL, 20LL}) {
        for (long long period : {20LL, -20LL, 2LL, 7LL}) {
            auto d = korvel::signal_cycle(t, period, 3);
            ASSERT_TRUE(d);
            EXPECT_EQ(d->tp, floor_mod(t, period));
            long long q = 0;
            floor_div(t, period, q);
            EXPECT_EQ(d->ids[0], floor_mod(q, 3));
            EXPECT_EQ(d->ids[2], floor_mod(floor_mod(q, 3) + 2, 3));
        }
    }
    EXPECT_EQ(*korvel::switch_time(20, 0.57), 11); // 11.399999999999999
    EXPECT_FALSE(korvel::switch_time(20, NAN));
    korvel::TestSignal s(std::vector<double>(10, 0.5));
    s.set_amplitude(-2);
    EXPECT_EQ(s.amplitude(), 0.0);
    s.set_ET(0);
    EXPECT_FALSE(s.at(1));
}
