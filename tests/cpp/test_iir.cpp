#include <korvel/iir.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

using korvel::Iir;
using korvel::lfiltic;

namespace {

std::vector<double> run_steps(const Iir& f, const std::vector<double>& x, std::vector<double>& z) {
    std::vector<double> y;
    for (double v : x)
        y.push_back(f.step(v, z.data()));
    return y;
}

} // namespace

TEST(Iir, StateSizeFollowsTheLongerPolynomial) {
    EXPECT_EQ(Iir({1.0}, {1.0}).state_size(), 0u);
    EXPECT_EQ(Iir({0.0, 0.1}, {1.0, -0.9}).state_size(), 1u);
    EXPECT_EQ(Iir({1.0, 2.0, 3.0, 4.0}, {1.0, 0.5}).state_size(), 3u);
    EXPECT_EQ(Iir({1.0}, {1.0, 0.1, 0.2}).state_size(), 2u);
    EXPECT_EQ(Iir({1.0, 2.0, 3.0}, {2.0}).state_size(), 2u);
    EXPECT_THROW(Iir({1.0}, {}), std::invalid_argument);
}

TEST(Iir, FirstOrderLagMatchesHandRecursion) {
    // y[k] = 0.9 y[k-1] + 0.1 x[k-1], written out as the transposed form does it.
    const Iir f({0.0, 0.1}, {1.0, -0.9});
    std::vector<double> z(1, 0.0);
    double zr = 0.0;
    for (double x : {1.0, 1.0, 1.0, -2.5, 0.0, 7.0}) {
        const double y = zr + 0.0 * x;
        zr = x * 0.1 - y * -0.9;
        EXPECT_EQ(f.step(x, z.data()), y);
        EXPECT_EQ(z[0], zr);
    }
}

TEST(Iir, LeadingCoefficientDividesOnce) {
    // a0 = 3 is not a power of two: dividing differs from multiplying by 1/3.
    const Iir raw({0.2, 0.7, -0.1}, {3.0, -1.3, 0.4});
    const Iir pre({0.2 / 3.0, 0.7 / 3.0, -0.1 / 3.0}, {1.0, -1.3 / 3.0, 0.4 / 3.0});
    std::vector<double> z1(2, 0.0), z2(2, 0.0);
    const std::vector<double> x = {1.0, -0.5, 2.0, 3.25, 0.0, -1.0};
    EXPECT_EQ(run_steps(raw, x, z1), run_steps(pre, x, z2));
    EXPECT_EQ(z1, z2);
}

TEST(Iir, ArrayFilterContinuesSampleSteps) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> n01;
    for (std::size_t order : {1u, 2u, 4u, 6u}) {
        std::vector<double> b(order + 1), a(order + 1);
        for (auto& v : b)
            v = n01(rng);
        a[0] = 1.7;
        for (std::size_t i = 1; i <= order; ++i)
            a[i] = 0.2 * n01(rng) / static_cast<double>(order);
        const Iir f(b, a);
        std::vector<double> x(40);
        for (auto& v : x)
            v = n01(rng);
        std::vector<double> zs(f.state_size(), 0.25), za(f.state_size(), 0.25);
        const auto ys = run_steps(f, x, zs);
        std::vector<double> ya(x.size());
        f.filter(x.data(), ya.data(), 15, za.data());
        f.filter(x.data() + 15, ya.data() + 15, x.size() - 15, za.data());
        EXPECT_EQ(ys, ya) << "order " << order;
        EXPECT_EQ(zs, za) << "order " << order;
    }
}

TEST(Iir, ZeroTapsStillTakePart) {
    // The padded a-tap meets an infinite output: inf * 0 poisons the state.
    const Iir f({1.0, 0.0, 1.0}, {1.0, 0.5});
    std::vector<double> z(2, 0.0);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(f.step(inf, z.data()), inf);
    EXPECT_TRUE(std::isnan(z[1]));
}

TEST(Iir, FirSingleStepIsProductPlusState) {
    const Iir f({3.0, 1.0, -2.0}, {2.0});
    std::vector<double> z = {0.5, -0.25};
    EXPECT_EQ(f.step(4.0, z.data()), 1.5 * 4.0 + 0.5);
    EXPECT_EQ(z[0], 0.5 * 4.0 + -0.25);
    EXPECT_EQ(z[1], -1.0 * 4.0);
    // Convolution terms start from +0.0: a -0.0 product becomes +0.0, where
    // the IIR path keeps it (-0.0 - 1 * 0.0 = -0.0).
    std::vector<double> zg = {0.0};
    Iir({1.0, -0.0}, {1.0}).step(1.0, zg.data());
    EXPECT_FALSE(std::signbit(zg[0]));
    Iir({1.0, -0.0}, {1.0, 0.0}).step(1.0, zg.data());
    EXPECT_TRUE(std::signbit(zg[0]));
    EXPECT_FALSE(std::signbit(Iir({-1.0}, {1.0}).step(0.0, nullptr)));
    EXPECT_EQ(Iir({2.0}, {4.0}).step(3.0, nullptr), 1.5);
}

TEST(Iir, FirArrayIsConvolutionPlusState) {
    // Integers keep every sum exact, whatever the order.
    const Iir f({1.0, 2.0, 3.0}, {1.0});
    const std::vector<double> x = {1.0, 0.0, -1.0, 2.0};
    std::vector<double> y(4), z = {10.0, 20.0};
    f.filter(x.data(), y.data(), x.size(), z.data());
    EXPECT_EQ(y, (std::vector<double>{11.0, 22.0, 2.0, 0.0}));
    EXPECT_EQ(z, (std::vector<double>{1.0, 6.0}));
}

TEST(Iir, EmptyInputKeepsState) {
    for (const Iir& f : {Iir({1.0, 2.0}, {1.0, 0.5}), Iir({1.0, 2.0}, {1.0})}) {
        std::vector<double> z = {0.75};
        f.filter(nullptr, nullptr, 0, z.data());
        EXPECT_EQ(z[0], 0.75);
    }
}

TEST(Iir, RefusedCoefficients) {
    const Iir zero_lead({1.0, 1.0}, {0.0, 1.0});
    EXPECT_FALSE(zero_lead.usable());
    double z = 0.0, x = 1.0, y;
    EXPECT_THROW(zero_lead.filter(&x, &y, 1, &z), std::domain_error);
    const Iir no_b({}, {1.0, 0.5});
    EXPECT_FALSE(no_b.usable());
    EXPECT_THROW(no_b.filter(&x, &y, 1, &z), std::invalid_argument);
    EXPECT_TRUE(Iir({1.0}, {0.0}).usable()); // the FIR path divides by zero instead
}

TEST(Lfiltic, RestingStateReproducesTheRest) {
    // From the state of a filter at rest at u (input and output u), a
    // unit-gain filter keeps returning u.
    const std::vector<double> b = {0.25, 0.25}, a = {1.0, -0.5};
    const std::vector<double> u = {2.0};
    auto z = lfiltic(b, a, u, u);
    ASSERT_EQ(z.size(), 1u);
    EXPECT_EQ(z[0], 0.25 * 2.0 - -0.5 * 2.0);
    const Iir f(b, a);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(f.step(2.0, z.data()), 2.0);
}

TEST(Lfiltic, PadsCutsAndNormalises) {
    const std::vector<double> b = {1.0, 2.0, 3.0}, a = {2.0, 4.0};
    const std::vector<double> y = {5.0, 100.0}, x = {1.0};
    const auto z = lfiltic(b, a, y, x);
    ASSERT_EQ(z.size(), 2u);
    EXPECT_EQ(z[0], (2.0 * 1.0 + 3.0 * 0.0 - 4.0 * 5.0) / 2.0);
    EXPECT_EQ(z[1], (3.0 * 1.0) / 2.0);
    EXPECT_THROW(lfiltic(b, std::vector<double>{0.0, 1.0}, y, x), std::domain_error);
    EXPECT_THROW(lfiltic(b, std::vector<double>{}, y, x), std::invalid_argument);
    EXPECT_EQ(lfiltic(std::vector<double>{1.0}, std::vector<double>{1.0}, y, x).size(), 0u);
}

TEST(PairwiseSum, BlocksOfEightThenRemainder) {
    // 1e16 + 1 is lost one at a time but not once the ones are summed apart.
    std::vector<double> v(9, 1.0);
    v[0] = 1e16;
    // n >= 8: eight partial sums combined as a tree, the ninth item after.
    const double expected = (((1e16 + 1.0) + (1.0 + 1.0)) + ((1.0 + 1.0) + (1.0 + 1.0))) + 1.0;
    double sequential = -0.0;
    for (double e : v)
        sequential += e;
    ASSERT_NE(expected, sequential);
    EXPECT_EQ(korvel::npmath::pairwise_sum(v.data(), 9), expected);
    EXPECT_EQ(korvel::npmath::pairwise_sum(v.data(), 1), 1e16);
    const double minus_zero = -0.0;
    EXPECT_TRUE(std::signbit(korvel::npmath::pairwise_sum(&minus_zero, 1)));
    EXPECT_FALSE(std::signbit(korvel::npmath::sum(&minus_zero, 1)));
}

TEST(Convolve, MatchesDirectSumOnIntegers) {
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> d(-9, 9);
    for (std::size_t na : {1u, 3u, 12u, 40u}) {
        for (std::size_t nv : {1u, 2u, 11u, 12u, 33u}) {
            std::vector<double> a(na), v(nv), out(na + nv - 1);
            for (auto& e : a)
                e = d(rng);
            for (auto& e : v)
                e = d(rng);
            korvel::npmath::convolve(a.data(), na, v.data(), nv, out.data());
            for (std::size_t k = 0; k < out.size(); ++k) {
                double s = 0.0;
                for (std::size_t i = 0; i < na; ++i)
                    if (k >= i && k - i < nv) s += a[i] * v[k - i];
                EXPECT_EQ(out[k], s) << na << "x" << nv << " at " << k;
            }
        }
    }
}

TEST(Iir, DeviationFormIsSubtractFilterAdd) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> n01;
    for (const Iir& f : {Iir({0.3, 0.2, -0.1}, {1.4, -0.5, 0.2}), Iir({0.5, -0.25, 2.0}, {3.0})}) {
        std::vector<double> x(25);
        for (auto& v : x)
            v = n01(rng);
        const double x0 = 0.3, y0 = -1.25;
        std::vector<double> d(x.size()), expected(x.size()), got(x.size());
        for (std::size_t k = 0; k < x.size(); ++k)
            d[k] = x[k] - x0;
        std::vector<double> z1(f.state_size(), 0.5), z2(f.state_size(), 0.5);
        f.filter(d.data(), expected.data(), d.size(), z1.data());
        for (auto& v : expected)
            v += y0;
        f.filter_deviation(x.data(), got.data(), x.size(), z2.data(), x0, y0);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(z1, z2);
    }
}

TEST(Iir, RespondIsRepeatedStepsBitForBit) {
    // Dead times of every length, signed zeros, both signs of a[0], states
    // holding inf and NaN, and unstable filters whose outputs overflow.
    std::mt19937_64 rng(5);
    std::normal_distribution<double> n01;
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const double odd[] = {0.0, -0.0, 1.0, -1.0, inf, nan, 1e300};
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    // Every bit, signed zeros included; a NaN is any NaN (which operand's
    // payload a NaN result carries is the compiler's operand order).
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> out;
        for (double d : v)
            out.push_back(std::isnan(d) ? 0 : std::bit_cast<std::uint64_t>(d));
        return out;
    };
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<double> a(1 + pick(3)), b(pick(30), pick(2) ? 0.0 : -0.0);
        for (auto& v : a)
            v = n01(rng) * (pick(4) ? 1.0 : 3.0);
        for (std::size_t i = 0, m = 1 + pick(3); i < m; ++i)
            b.push_back(n01(rng));
        const Iir f(b, a);
        if (!f.usable()) continue;
        std::vector<double> z(f.state_size());
        for (auto& v : z)
            v = pick(3) ? 0.0 : (pick(2) ? odd[pick(7)] : n01(rng));
        const double x = pick(3) ? 1.0 : odd[pick(7)];
        const std::size_t n = pick(60);
        std::vector<double> z_steps = z, y_steps(n), y(n);
        for (std::size_t k = 0; k < n; ++k)
            y_steps[k] = f.step(x, z_steps.data());
        f.respond(x, z.data(), y.data(), n);
        ASSERT_EQ(bits(y), bits(y_steps)) << "trial " << trial;
        ASSERT_EQ(bits(z), bits(z_steps)) << "trial " << trial;
    }
}
