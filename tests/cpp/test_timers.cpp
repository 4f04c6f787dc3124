#include <korvel/timers.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <string>
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

namespace {
// Timer fields that log each read and assignment, as the Python module's
// fields may be watched by the objects they hold.
struct LoggedFields {
    std::array<long long, 2> u;
    long long dt, et;
    std::string log;

    struct Items {
        LoggedFields& f;
        long long operator[](int i) const {
            f.log += "h[" + std::to_string(i) + "] ";
            return f.u[static_cast<std::size_t>(i)];
        }
    };
    Items history() { return Items{*this}; }
    long long DT() {
        log += "DT ";
        return dt;
    }
    long long ET() {
        log += "ET ";
        return et;
    }
    void set_ET(long long v) {
        log += "ET=" + std::to_string(v) + " ";
        et = v;
    }
};
} // namespace

TEST(Timers, RuleReadsEachFieldWhereItUsesItAndAssignsAsItGoes) {
    struct Case {
        bool on;
        long long u0, u1, DT, ET;
        int y;
        const char* log;
    };
    for (const Case& c : {
             Case{true, 1, 0, 3, 3, 0, "h[0] ET DT h[0] h[1] DT ET=2 ET "},
             Case{true, 0, 1, 3, 1, 0, "h[0] DT ET=3 ET DT h[0] h[1] ET "},
             Case{true, 1, 1, 3, 1, 1, "h[0] ET DT ET=0 h[0] h[1] ET "},
             Case{false, 0, 0, 3, 2, 1, "h[0] ET DT ET=1 h[0] h[1] ET "},
             Case{false, 0, 1, 3, 3, 1, "h[0] ET DT h[0] h[1] DT ET=2 ET "},
         }) {
        LoggedFields f{{c.u0, c.u1}, c.DT, c.ET, ""};
        const int y = c.on ? korvel::timer_step<korvel::OnDelayRule>(f)
                           : korvel::timer_step<korvel::OffDelayRule>(f);
        EXPECT_EQ(y, c.y) << c.log;
        EXPECT_EQ(f.log, c.log);
    }
}
