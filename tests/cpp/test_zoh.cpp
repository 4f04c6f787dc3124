#include <korvel/zoh.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using korvel::DiscreteTf;
using korvel::zoh;

namespace {

using Poly = std::vector<double>;

// Descending coefficients of prod (s - p); complex poles come in pairs.
Poly from_poles(const std::vector<std::complex<double>>& poles) {
    std::vector<std::complex<double>> c{1.0};
    for (const auto& p : poles) {
        c.push_back(0.0);
        for (std::size_t i = c.size() - 1; i > 0; --i)
            c[i] -= p * c[i - 1];
    }
    Poly r;
    for (const auto& x : c)
        r.push_back(x.real());
    return r;
}

// Poles with |p| Ts in [lo, hi]: real ones of either sign, or a stable pair.
std::vector<std::complex<double>> random_poles(std::mt19937_64& rng, std::size_t n, double Ts,
                                               double lo, double hi) {
    std::uniform_real_distribution<double> mag(std::log(lo), std::log(hi)), u(0.0, 1.0);
    std::vector<std::complex<double>> p;
    while (p.size() < n) {
        const double m = std::exp(mag(rng)) / Ts;
        if (p.size() + 1 == n || u(rng) < 0.5) {
            p.push_back(u(rng) < 0.2 ? m : -m);
        } else {
            const auto z = std::polar(m, 1.6 + 1.5 * u(rng));
            p.push_back(z);
            p.push_back(std::conj(z));
        }
    }
    return p;
}

double sum(const Poly& v) {
    double s = 0.0;
    for (double x : v)
        s += x;
    return s;
}

double ulp(double x) {
    return std::nextafter(std::abs(x), INFINITY) - std::abs(x);
}

std::string message(const Poly& num, const Poly& den, double Ts) {
    try {
        zoh(num, den, Ts);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(Zoh, FirstOrderLagIsExact) {
    for (double K : {1.0, -2.5, 0.37})
        for (double tau : {0.3, 1.0, 7.0, 120.0})
            for (double Ts : {0.1, 0.5, 1.0, 2.0}) {
                const DiscreteTf d = zoh(Poly{K}, Poly{tau, 1.0}, Ts);
                const double pole = std::exp(-Ts / tau), gain = -K * std::expm1(-Ts / tau);
                ASSERT_EQ(d.den.size(), 2u);
                ASSERT_EQ(d.num.size(), 2u);
                EXPECT_EQ(d.den[0], 1.0);
                EXPECT_EQ(d.num[0], 0.0);
                EXPECT_LE(std::abs(d.den[1] + pole), 4 * ulp(pole)) << tau << " " << Ts;
                EXPECT_LE(std::abs(d.num[1] - gain), 4 * ulp(gain)) << tau << " " << Ts;
            }
}

TEST(Zoh, KeepsTheSteadyStateGain) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> n01;
    const double steps[] = {0.1, 0.5, 1.0, 2.0, 10.0};
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t order = 1 + trial % 4;
        const double Ts = steps[(trial / 4) % 5];
        Poly den = from_poles(random_poles(rng, order, Ts, 0.3, 3.0));
        const double scale = 0.1 + std::abs(n01(rng));
        for (double& x : den)
            x *= scale;
        // Each numerator coefficient of the size of den's for the same power of s, so
        // that neither G(0) nor the feedthrough is lost beside the other terms.
        Poly num(1 + (trial / 20) % (order + 1));
        for (std::size_t j = 0; j < num.size(); ++j)
            num[j] = (0.5 + std::abs(n01(rng))) * den[den.size() - num.size() + j];
        const DiscreteTf d = zoh(num, den, Ts);
        ASSERT_EQ(d.num.size(), den.size());
        ASSERT_EQ(d.den.size(), den.size());
        const double want = num.back() / den.back(), got = sum(d.num) / sum(d.den);
        EXPECT_NEAR(got, want, 1e-12 * std::abs(want)) << "trial " << trial;
    }
}

TEST(Zoh, PolesMapToExpOfPoleTimesTs) {
    for (double Ts : {0.1, 1.0, 10.0})
        for (auto [q1, q2] : {std::pair{-0.5, -2.0}, {-0.05, -0.3}, {0.2, -1.0}, {-3.0, -3.5}}) {
            const double p1 = q1 / Ts, p2 = q2 / Ts;
            const DiscreteTf d = zoh(Poly{1.0, 0.5}, from_poles({p1, p2}), Ts);
            for (double p : {p1, p2}) {
                const double z = std::exp(p * Ts);
                double v = 0.0, size = 0.0; // z^2 den(z), Horner
                for (double c : d.den) {
                    v = v * z + c;
                    size = size * std::abs(z) + std::abs(c);
                }
                EXPECT_LE(std::abs(v), 1e-15 * size) << p << " " << Ts;
            }
        }
}

TEST(Zoh, IntegratorGivesAPoleAtOne) {
    for (double Ts : {0.1, 0.5, 1.0, 2.0, 10.0})
        for (const Poly& den : {Poly{1.0, 0.0}, Poly{20.0, 1.0, 0.0}, Poly{2.0, 3.0, 1.0, 0.0},
                                Poly{1.0, 0.4, 0.0, 0.0}}) {
            const DiscreteTf d = zoh(Poly{1.0}, den, Ts);
            double size = 0.0;
            for (double c : d.den)
                size += std::abs(c);
            EXPECT_LE(std::abs(sum(d.den)), 1e-15 * size) << den.size() << " " << Ts;
        }
}

TEST(Zoh, NormalisingAndLeadingZerosChangeNothing) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> n01;
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t order = 1 + trial % 4;
        const double Ts = 0.5 + trial % 3;
        const Poly den = from_poles(random_poles(rng, order, Ts, 0.1, 3.0));
        Poly num(1 + (trial / 4) % (order + 1));
        for (double& x : num)
            x = n01(rng);
        // A leading coefficient that is not a power of two: dividing by it rounds.
        const double a0 = 0.3 + std::abs(n01(rng));
        Poly raw_den{0.0, 0.0}, raw_num{0.0}, nden, nnum;
        for (double x : den) {
            raw_den.push_back(a0 * x);
            nden.push_back(a0 * x / a0);
        }
        for (double x : num) {
            raw_num.push_back(x);
            nnum.push_back(x / a0);
        }
        const DiscreteTf want = zoh(nnum, nden, Ts), got = zoh(raw_num, raw_den, Ts);
        EXPECT_EQ(got.num, want.num) << trial;
        EXPECT_EQ(got.den, want.den) << trial;
        // Below 1e-14 after normalising, a leading coefficient counts as zero.
        Poly tiny_num = raw_num;
        tiny_num[0] = 0.9e-14 * a0;
        const DiscreteTf tiny = zoh(tiny_num, raw_den, Ts);
        EXPECT_EQ(tiny.num, want.num) << trial;
    }
}

TEST(Zoh, StaticGainKeepsThePairAtOne) {
    // tf2ss gives a static gain one state with A = B = C = 0.
    const DiscreteTf d = zoh(Poly{3.0}, Poly{0.0, 2.0}, 0.5);
    EXPECT_EQ(d.num, (Poly{1.5, -1.5}));
    EXPECT_EQ(d.den, (Poly{1.0, -1.0}));
}

TEST(Zoh, AllZeroNumeratorGivesZeros) {
    const DiscreteTf d = zoh(Poly{0.0, 0.0}, Poly{1.0, 2.0, 1.0}, 0.5);
    EXPECT_EQ(d.num, (Poly{0.0, 0.0, 0.0}));
    EXPECT_EQ(d.den, zoh(Poly{1.0}, Poly{1.0, 2.0, 1.0}, 0.5).den);
}

TEST(Zoh, RefusesWhatTheLibraryRefuses) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(message(Poly{1.0, 2.0, 3.0}, Poly{1.0, 2.0}, 0.5),
              "Improper transfer function. `num` is longer than `den`.");
    EXPECT_EQ(message(Poly{0.0, 1.0, 2.0}, Poly{1.0, 2.0}, 0.5), ""); // trimmed first
    EXPECT_NE(message(Poly{1.0}, Poly{0.0, 0.0}, 0.5), "");
    EXPECT_NE(message(Poly{1.0}, Poly{}, 0.5), "");
    EXPECT_NE(message(Poly{}, Poly{1.0, 2.0}, 0.5), "");
    EXPECT_NE(message(Poly{nan}, Poly{1.0, 2.0}, 0.5), "");
    EXPECT_NE(message(Poly{1.0}, Poly{1.0, nan}, 0.5), "");
    EXPECT_NE(message(Poly{1.0}, Poly{1.0, 2.0}, INFINITY), "");
    EXPECT_NE(message(Poly{1.0}, Poly{1.0, -100.0}, 10.0), ""); // e^1000 does not fit
}
