#include <korvel/timers.hpp>

#include <gtest/gtest.h>

#include <vector>

using korvel::OffDelay;
using korvel::OnDelay;
using korvel::RSLatch;

namespace {
template <class Timer> std::vector<int> run(Timer t, std::initializer_list<long long> inputs) {
    std::vector<int> out;
    for (long long u : inputs)
        out.push_back(t.step(u));
    return out;
}
} // namespace

TEST(RSLatch, ResetDominatesAndHolds) {
    RSLatch l;
    EXPECT_TRUE(l.step(true, false));
    EXPECT_TRUE(l.step(false, false));
    EXPECT_FALSE(l.step(true, true));
    EXPECT_FALSE(l.step(false, false));
    EXPECT_FALSE(l.step(false, true));
}

TEST(OnDelay, SwitchesOnAfterTwoSamplesOffAtOnce) {
    EXPECT_EQ(run(OnDelay(3), {0, 1, 1, 1, 1, 0}), (std::vector<int>{0, 0, 0, 1, 1, 0}));
    EXPECT_EQ(run(OnDelay(3), {1, 1, 1, 1}), (std::vector<int>{0, 0, 1, 1}));
    EXPECT_EQ(run(OnDelay(3), {1, 0, 1, 1, 0}), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(run(OnDelay(3), {0, -1, -1, -1}), (std::vector<int>{0, 0, 0, 0}));
}

TEST(OnDelay, ARiseRestartsARunningCount) {
    // 1 -> 2 is a rise: the count starts again.
    EXPECT_EQ(run(OnDelay(3), {1, 2, 2, 2}), (std::vector<int>{0, 0, 0, 1}));
}

TEST(OffDelay, SwitchesOffAfterTwoSamplesBridgesGaps) {
    EXPECT_EQ(run(OffDelay(3), {1, 1, 0, 0, 0, 0}), (std::vector<int>{1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(run(OffDelay(3), {1, 0, 1, 1, 0, 0, 0}), (std::vector<int>{1, 1, 1, 1, 1, 1, 0}));
    // -1 counts as off, so 0 -> -1 is a fall like 1 -> 0.
    EXPECT_EQ(run(OffDelay(3), {-1, -1, -1}), (std::vector<int>{1, 1, 0}));
}

TEST(Timers, DelayOfOneFollowsAndNonPositiveIsFixed) {
    EXPECT_EQ(run(OnDelay(1), {0, 1, 0, 1}), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(run(OffDelay(1), {0, 1, 0, 1}), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(run(OnDelay(0), {0, 1, 0}), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(run(OffDelay(-2), {0, 1, 0}), (std::vector<int>{0, 0, 0}));
}
