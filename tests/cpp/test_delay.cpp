#include <korvel/delay.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

using korvel::DelayBuffer;
using korvel::DelayLine;

TEST(DelayLine, PrefilledWithTheFirstSample) {
    DelayLine<int> d(10000);
    std::vector<int> one, zero;
    DelayLine<int> e(10000);
    for (int u : {5, 6, 7}) {
        d.push(u);
        one.push_back(d.at(1));
        e.push(u);
        zero.push_back(e.at(0));
    }
    EXPECT_EQ(one, (std::vector<int>{5, 5, 6}));
    EXPECT_EQ(zero, (std::vector<int>{5, 6, 7}));
    EXPECT_EQ(d.size(), 10000u);
}

TEST(DelayLine, LagBounds) {
    DelayLine<int> d(3);
    EXPECT_FALSE(d.valid_lag(0)); // nothing stored yet
    d.push(1);
    EXPECT_TRUE(d.valid_lag(2));
    EXPECT_FALSE(d.valid_lag(3));
    EXPECT_FALSE(d.valid_lag(-1));
    d.push(2);
    d.push(3);
    EXPECT_EQ(d.at(2), 1);
    d.push(4);
    EXPECT_EQ(d.at(2), 2);
    DelayLine<int> none(0);
    none.push(1);
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(none.valid_lag(0));
}

TEST(DelayLine, RestoredShortHistoryRepeatsItsOldestSample) {
    // Found by fuzzing: a history shorter than the capacity left slots that
    // valid_lag accepted but at() read from outside the history.
    DelayLine<int> d(4);
    const std::vector<int> h = {7, 6};
    d.assign(h.begin(), h.end());
    ASSERT_EQ(d.size(), 4u);
    for (long long lag = 0; lag < 4; ++lag) {
        ASSERT_TRUE(d.valid_lag(lag));
        EXPECT_EQ(d.at(static_cast<std::size_t>(lag)), lag == 0 ? 7 : 6);
    }
    d.push(8); // the oldest drops, the length stays
    EXPECT_EQ(d.size(), 4u);
    EXPECT_EQ(d.at(0), 8);
    EXPECT_EQ(d.at(3), 6);
    // A longer history keeps its newest samples.
    const std::vector<int> long_h = {1, 2, 3, 4, 5, 6};
    d.assign(long_h.begin(), long_h.end());
    EXPECT_EQ(d.at(0), 1);
    EXPECT_EQ(d.at(3), 4);
}

TEST(DelayBuffer, ExtendsWithTheOldestSample) {
    DelayBuffer b;
    EXPECT_EQ(b.step(1, 2), 1);
    EXPECT_EQ(b.step(2, 2), 1);
    EXPECT_EQ(b.step(3, 2), 1);
    EXPECT_EQ(b.step(4, 2), 2);
    DelayBuffer c;
    c.step(1, 1);
    c.step(2, 1);
    EXPECT_EQ(c.step(3, 1), 2);
    EXPECT_EQ(c.history(), (std::vector<double>{3, 2}));
    EXPECT_EQ(c.step(4, 3), 2);
    EXPECT_EQ(c.history(), (std::vector<double>{4, 3, 2, 2}));
}

namespace {
// A history that logs each operation the rule asks of it, as the Python
// module's history runs Python code at each.
struct LoggedHistory {
    std::vector<double> h; // newest first
    double u;
    long long delay;
    std::string log;

    long long size() {
        log += "size ";
        return static_cast<long long>(h.size());
    }
    void start() {
        log += "start ";
        h = {u};
    }
    long long lag() {
        log += "lag ";
        return delay;
    }
    long long count(long long lag) {
        log += "count ";
        return lag;
    }
    void extend(long long m) {
        log += "extend(" + std::to_string(m) + ") ";
        h.resize(static_cast<std::size_t>(m), h.back());
    }
    void push() {
        log += "push ";
        h.insert(h.begin(), u);
        h.pop_back();
    }
    double at(long long lag) {
        log += "at(" + std::to_string(lag) + ") ";
        return h[static_cast<std::size_t>(lag)];
    }
};
} // namespace

TEST(DelayStep, ReadsTheDelayAndTheInputWhereItUsesThem) {
    LoggedHistory h{{}, 5, 2, ""};
    EXPECT_EQ(korvel::delay_step(h), 5);
    EXPECT_EQ(h.log, "size start size lag count extend(3) push lag at(2) ");
    EXPECT_EQ(h.h, (std::vector<double>{5, 5, 5}));
    h.log.clear();
    h.u = 6;
    h.delay = 1;
    EXPECT_EQ(korvel::delay_step(h), 5);
    EXPECT_EQ(h.log, "size size lag push lag at(1) ");
    EXPECT_EQ(h.h, (std::vector<double>{6, 5, 5}));
}
