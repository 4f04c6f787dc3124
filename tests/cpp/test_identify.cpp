// The identification core: its closed-form holds against the general one,
// its Jacobian against differences of its residuals, the grid's dead time;
// and the tuning rules' numbers.
#include <korvel/identify.hpp>
#include <korvel/tuning.hpp>
#include <korvel/zoh.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace id = korvel::identify;
namespace tn = korvel::tuning;

namespace {

std::vector<double> random_steps(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<double> u(n);
    double level = 0.0;
    for (std::size_t k = 10; k < n; ++k) {
        if (k % 15 == 0) level = gen() % 2 ? 1.0 : -1.0;
        u[k] = level;
    }
    return u;
}

TEST(Identify, ClosedFormHoldsAreTheZeroOrderHold) {
    struct Case {
        id::Kind kind;
        std::vector<double> x, den;
    };
    const double t1 = 12.0, t2 = 3.0, Ts = 0.7;
    const Case cases[] = {
        {id::Kind::fopdt, {1.0, std::log(t1)}, {t1, 1.0}},
        {id::Kind::sopdt, {1.0, std::log(t1), std::log(t2)}, {t1 * t2, t1 + t2, 1.0}},
        {id::Kind::sopdt, {1.0, std::log(t2), std::log(t2)}, {t2 * t2, 2 * t2, 1.0}},
        {id::Kind::ipdt, {1.0}, {1.0, 0.0}},
    };
    for (const Case& c : cases) {
        std::vector<double> b, a;
        id::unit_model(c.kind, c.x.data(), Ts, b, a);
        const std::vector<double> one{1.0};
        const korvel::DiscreteTf z = korvel::zoh(one, c.den, Ts);
        ASSERT_EQ(b.size(), z.num.size());
        for (std::size_t i = 0; i < b.size(); ++i) {
            EXPECT_NEAR(b[i], z.num[i], 1e-13);
            EXPECT_NEAR(a[i], z.den[i], 1e-13);
        }
    }
}

TEST(Identify, JacobianIsTheDerivativeOfTheResiduals) {
    const std::size_t n = 200;
    id::Problem pb(std::vector<double>(n, 0.3), 1.0);
    pb.add({id::Kind::sopdt, 0, 3, random_steps(n, 1)});
    pb.add({id::Kind::fopdt, 0, 1, random_steps(n, 2)});
    pb.add({id::Kind::stp, 4, 2, random_steps(n, 3)});
    pb.add({id::Kind::ipdt, 0, 0, random_steps(n, 4)});
    const std::vector<double> x{1.5, std::log(8.0), std::log(2.0), -0.7, std::log(4.0),
                                0.1, 0.4,           0.8,           0.9,  0.02};
    const std::size_t m = pb.params();
    ASSERT_EQ(m, x.size());
    std::vector<double> J(n * m), rp(n), rm(n);
    pb.jacobian(x, J.data());
    for (std::size_t i = 0; i < m; ++i) {
        std::vector<double> xp = x, xm = x;
        xp[i] += 1e-6;
        xm[i] -= 1e-6;
        pb.residuals(xp, rp.data());
        pb.residuals(xm, rm.data());
        for (std::size_t k = 0; k < n; ++k)
            EXPECT_NEAR(J[k * m + i], (rp[k] - rm[k]) / 2e-6, 1e-6) << i << " " << k;
    }
}

TEST(Identify, GridAndSearchFindTheDeadTime) {
    const std::size_t n = 600;
    const std::vector<double> u = random_steps(n, 7);
    for (std::size_t delay : {0u, 3u, 17u}) {
        id::Problem truth(std::vector<double>(n, 0.0), 1.0);
        truth.add({id::Kind::fopdt, 0, delay, u});
        std::vector<double> y(n);
        const std::vector<double> x{-2.0, std::log(9.0)};
        truth.simulate(x, y.data());

        id::Problem pb(y, 1.0);
        pb.add({id::Kind::fopdt, 0, 0, u});
        // An optimiser that does not move still leaves the grid's dead time.
        const id::Fit f = id::fit(
            pb, {true}, 30, [](const id::Problem& p, std::vector<double>& v) { return p.ssr(v); });
        EXPECT_EQ(pb.pairs()[0].delay, delay);
        EXPECT_NEAR(f.x[0], -2.0, 0.3);
        EXPECT_NEAR(std::exp(f.x[1]), 9.0, 2.0);
    }
}

TEST(Tuning, RulesAndForms) {
    const tn::Process first = tn::from_transfer(std::vector<double>{0.0, 2.0},
                                                std::vector<double>{10.0, 1.0}, 1.0, false);
    EXPECT_DOUBLE_EQ(first.gain, 2.0);
    EXPECT_DOUBLE_EQ(first.tau1, 10.0);
    tn::PidParams p = tn::simc(first, std::nullopt, std::nullopt);
    EXPECT_DOUBLE_EQ(p.KP, 2.5);
    EXPECT_DOUBLE_EQ(p.TI, 8.0);
    EXPECT_DOUBLE_EQ(p.TD, 0.0);

    const tn::Process second = tn::from_transfer(std::vector<double>{1.0},
                                                 std::vector<double>{20.0, 12.0, 1.0}, 1.0, false);
    EXPECT_DOUBLE_EQ(second.tau1, 10.0);
    EXPECT_DOUBLE_EQ(second.tau2, 2.0);
    p = tn::simc(second, std::nullopt, std::nullopt);
    // Series 5 (1 + 1/(8 s)) (1 + 2 s) = 6.25 (1 + 1/(10 s) + 1.6 s).
    EXPECT_DOUBLE_EQ(p.KP, 6.25);
    EXPECT_DOUBLE_EQ(p.TI, 10.0);
    EXPECT_DOUBLE_EQ(p.TD, 1.6);

    const tn::Process level =
        tn::from_transfer(std::vector<double>{-0.5}, std::vector<double>{1.0}, 2.0, true);
    EXPECT_TRUE(level.integrating);
    p = tn::lambda_tuning(level, 6.0, std::nullopt);
    EXPECT_DOUBLE_EQ(p.TI, 14.0);
    EXPECT_DOUBLE_EQ(p.KP, -14.0 / 32.0);
    EXPECT_THROW(tn::lambda_tuning(second, std::nullopt, std::nullopt), std::invalid_argument);
    EXPECT_THROW(tn::simc(first, -5.0, std::nullopt), std::invalid_argument);
}

} // namespace
