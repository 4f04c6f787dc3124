#include <korvel/pid.hpp>

#include <gtest/gtest.h>

#include <cmath>

using korvel::Pid;

namespace {

double run(Pid& pid, double mode, double sp, double pv, double tv, double ff = 0.0) {
    Pid::ModeError err;
    const double op = pid.run(mode, sp, pv, tv, ff, err);
    EXPECT_EQ(err, Pid::ModeError::none);
    return op;
}

} // namespace

TEST(Pid, IntegralOnlyWorkedNumbers) {
    Pid pid;
    EXPECT_EQ(run(pid, 1, 1, 0, 0), 0.016666666666666666);
    EXPECT_EQ(run(pid, 1, 1, 0, 0), 0.03333333333333333);
    EXPECT_EQ(pid.saved().dOP_P, 0.0);
    EXPECT_EQ(pid.saved().dOP_I, 0.016666666666666666);
    EXPECT_EQ(pid.saved().dOP_D, 0.0);
}

TEST(Pid, DerivativeKickDecays) {
    Pid pid;
    pid.set_params(2.0, 0.0, 10.0, 10.0);
    EXPECT_EQ(run(pid, 1, 1, 0, 50), 50.0);
    EXPECT_EQ(run(pid, 1, 1, 0.5, 50), 44.0);
    EXPECT_EQ(pid.saved().dOP_P, -1.0);
    EXPECT_EQ(pid.saved().dOP_D, -5.0);
    EXPECT_EQ(run(pid, 1, 1, 0.5, 50), 46.5);
    EXPECT_EQ(pid.saved().dOP_D, 2.5);
}

TEST(Pid, IncrementsAddToTheLimitedOutput) {
    Pid pid;
    pid.set_params(1.0, 1.0, 0.0, 10.0);
    EXPECT_EQ(run(pid, 1, 10, 0, 99), 100.0);
    EXPECT_EQ(pid.saved().OPcal, 109.0);
    EXPECT_EQ(run(pid, 1, 10, 0, 99), 100.0);
    EXPECT_EQ(pid.saved().OPcal, 110.0);
    EXPECT_EQ(run(pid, 1, 0, 0, 99), 90.0);
}

TEST(Pid, TrackingKeepsUnlimitedTrackingValue) {
    Pid pid;
    EXPECT_EQ(run(pid, 0, 1, 0, 120), 100.0);
    EXPECT_EQ(pid.saved().OP, 120.0);
    EXPECT_EQ(run(pid, 1, 1, 0, 120), 100.0);
    EXPECT_EQ(pid.saved().OPcal, 120.01666666666667);
}

TEST(Pid, ModeRoundsHalfToEven) {
    for (double mode : {0.5, 1.5, 2.5, -0.5}) {
        Pid pid;
        run(pid, 0, 1, 0, 30);
        EXPECT_EQ(run(pid, mode, 1, 0, 30), 30.0) << mode;
    }
    Pid pid;
    run(pid, 0, 1, 0, 30);
    EXPECT_NE(run(pid, 0.7, 1, 0, 30), 30.0);
}

TEST(Pid, UnroundableModeInitialisesFirst) {
    Pid pid;
    Pid::ModeError err;
    pid.run(NAN, 3, 1, 7, 0, err);
    EXPECT_EQ(err, Pid::ModeError::nan);
    EXPECT_FALSE(pid.ini_flag());
    EXPECT_EQ(pid.history().et1, 2.0);
    pid.run(INFINITY, 3, 1, 7, 0, err);
    EXPECT_EQ(err, Pid::ModeError::inf);
}

TEST(Pid, LimitsRefusedInWrongOrderOrNan) {
    Pid pid;
    EXPECT_TRUE(pid.set_limits(50, 50));
    EXPECT_FALSE(pid.set_limits(0, 100));
    EXPECT_FALSE(pid.set_limits(NAN, 0));
    EXPECT_EQ(pid.op_hi(), 50.0);
    EXPECT_EQ(pid.op_lo(), 50.0);
}

TEST(Pid, ParameterBounds) {
    Pid pid;
    pid.set_params(-2.0, -5.0, -1.0, 0.0);
    EXPECT_EQ(pid.params().KP, -2.0);
    EXPECT_EQ(pid.params().TI, 0.0);
    EXPECT_EQ(pid.params().TD, 0.0);
    EXPECT_EQ(pid.params().N, 1e-6);
}
