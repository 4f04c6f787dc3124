#include <korvel/constdetect.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

using Window = korvel::ConstWindow<>;

namespace {
std::vector<bool> run(Window& w, std::initializer_list<double> xs, long long n) {
    std::vector<bool> out;
    for (double x : xs)
        out.push_back(w.step(x, n));
    return out;
}
} // namespace

TEST(ConstWindow, ReportsAStepWhileBothSidesAreInside) {
    Window w;
    EXPECT_EQ(run(w, {1, 1, 2, 2, 2}, 3), (std::vector<bool>{true, true, false, false, true}));
    EXPECT_EQ(w.samples().size(), 3u);
}

TEST(ConstWindow, ToleranceIsStrict) {
    Window a, b;
    EXPECT_EQ(run(a, {0, 1e-6}, 3), (std::vector<bool>{true, false}));
    EXPECT_EQ(run(b, {0, 5e-7, 1e-6}, 3), (std::vector<bool>{true, true, true}));
}

TEST(ConstWindow, LengthChangesTrimAndFill) {
    Window w;
    for (int i = 0; i < 10; ++i)
        w.step(i, 10);
    EXPECT_FALSE(w.step(9, 3)); // window [8, 9, 9]
    EXPECT_EQ(w.samples().front(), 8);
    EXPECT_TRUE(w.step(9, 2));
    EXPECT_TRUE(w.step(9, 20));
    EXPECT_EQ(w.samples().size(), 20u);
    EXPECT_TRUE(w.step(4, 1));
}

TEST(ConstWindow, NonFiniteSamplesAreNeverConstant) {
    Window w;
    EXPECT_FALSE(w.step(NAN, 3));
    EXPECT_FALSE(w.step(1, 3));
    EXPECT_FALSE(w.step(1, 3));
    EXPECT_TRUE(w.step(1, 3));
    Window inf;
    EXPECT_FALSE(inf.step(INFINITY, 2)); // inf - inf is NaN
}

TEST(ConstWindow, ZeroOrNegativeLengthEmptiesAndThrows) {
    Window w;
    w.step(1, 3);
    EXPECT_THROW(w.step(1, 0), std::out_of_range);
    EXPECT_TRUE(w.samples().empty());
    w.step(1, 3);
    EXPECT_THROW(w.step(1, -1), std::out_of_range);
    EXPECT_TRUE(w.samples().empty());
}
