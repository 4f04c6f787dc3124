#include <korvel/models.hpp>

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

using korvel::TfModel;

TEST(TfModel, CopyStepsAStateOfItsOwn) {
    // Found by fuzzing: a copy shared the original's state buffer, so stepping
    // either moved both.
    TfModel a({0.0, 0.5}, {1.0, -0.5});
    a.step(1.0);
    TfModel b = a;
    EXPECT_EQ(b.zi(), a.zi());
    const double ya = a.step(2.0);
    const double yb = b.step(2.0);
    EXPECT_EQ(ya, yb);
    EXPECT_EQ(a.zi(), b.zi());
    a.step(3.0);
    EXPECT_NE(a.zi(), b.zi());

    TfModel c({1.0}, {1.0, 0.25});
    c = b; // assignment copies too
    c.step(5.0);
    EXPECT_NE(c.zi(), b.zi());
    EXPECT_EQ(c.den(), b.den());
}

TEST(DeadTime, CountsBeyondAVectorAreRefused) {
    // Found by fuzzing: a ratio beyond the range of size_t was converted
    // anyway (undefined behaviour).
    EXPECT_EQ(korvel::dead_time_samples(2.5, 1.0), 2u);
    EXPECT_EQ(korvel::dead_time_samples(3.5, 1.0), 4u);
    EXPECT_THROW(korvel::dead_time_samples(1e300, 1.0), std::length_error);
    EXPECT_THROW(korvel::dead_time_samples(1.0, 1e-300), std::length_error);
    EXPECT_THROW(korvel::c2d(std::vector<double>{1.0}, std::vector<double>{2.0, 1.0}, 1e30, 1.0),
                 std::length_error);
    EXPECT_THROW(korvel::dead_time_samples(std::numeric_limits<double>::infinity(), 1.0),
                 std::overflow_error);
}
