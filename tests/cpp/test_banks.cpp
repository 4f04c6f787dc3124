// A bank's lanes are its scalar blocks: random per-lane settings and inputs,
// lane counts around the vector widths, outputs compared to the bit.
#include <korvel/limiters.hpp>
#include <korvel/pid.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace {

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

void expect_same(const korvel::Pid& a, const korvel::Pid& b) {
    const auto &h = a.history(), &g = b.history();
    const auto &s = a.saved(), &t = b.saved();
    for (auto [x, y] : {std::pair{h.et1, g.et1},
                        {h.et2, g.et2},
                        {h.OP1, g.OP1},
                        {h.FF1, g.FF1},
                        {h.dOPD1, g.dOPD1},
                        {s.OP, t.OP},
                        {s.OPcal, t.OPcal},
                        {s.dOP, t.dOP},
                        {s.dOP_P, t.dOP_P},
                        {s.dOP_I, t.dOP_I},
                        {s.dOP_D, t.dOP_D},
                        {s.dFF, t.dFF}})
        EXPECT_EQ(bits(x), bits(y));
    EXPECT_EQ(a.ini_flag(), b.ini_flag());
}

TEST(PidBank, LanesAreControllers) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-50.0, 50.0);
    for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 17u}) {
        korvel::PidBank bank(n, 0.5);
        std::vector<korvel::Pid> pids(n, korvel::Pid(0.5));
        std::vector<double> KP(n), TI(n), TD(n), Nd(n), hi(n), lo(n);
        for (std::size_t i = 0; i < n; ++i) {
            KP[i] = u(rng) / 10, TI[i] = i % 3 ? u(rng) + 40 : 0.0, TD[i] = i % 2 ? u(rng) : 0.0;
            Nd[i] = u(rng), hi[i] = u(rng) + 40, lo[i] = u(rng) - 40;
            pids[i].set_params(KP[i], TI[i], TD[i], Nd[i]);
            pids[i].set_limits(hi[i], lo[i]);
        }
        bank.set_params({KP.data()}, {TI.data()}, {TD.data()}, {Nd.data()});
        std::vector<std::uint8_t> refused(n);
        bank.set_limits({hi.data()}, {lo.data()}, refused.data());
        std::vector<double> mode(n), SP(n), PV(n), TV(n), out(n);
        std::vector<korvel::PidModeError> err(n);
        const double ff = 1.5;
        for (int k = 0; k < 60; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                // Mostly every lane automatic (the bank's loop), sometimes some tracking.
                mode[i] = k % 9 == 0 && i % 2 ? 0.0 : k == 30 ? 1.4 : 1.0;
                SP[i] = u(rng), PV[i] = u(rng), TV[i] = u(rng);
            }
            ASSERT_EQ(bank.run({mode.data()}, {SP.data()}, {PV.data()}, {TV.data()},
                               korvel::Lanes::all(ff), out.data(), err.data()),
                      0u);
            for (std::size_t i = 0; i < n; ++i) {
                korvel::PidModeError e;
                EXPECT_EQ(bits(out[i]), bits(pids[i].run(mode[i], SP[i], PV[i], TV[i], ff, e)));
            }
        }
        for (std::size_t i = 0; i < n; ++i)
            expect_same(bank.get(i), pids[i]);

        // A NaN mode in one lane: that lane fails as its controller does, no
        // other lane steps.
        mode.assign(n, 1.0);
        mode[n / 2] = NAN;
        EXPECT_EQ(bank.run({mode.data()}, {SP.data()}, {PV.data()}, {TV.data()},
                           korvel::Lanes::all(ff), out.data(), err.data()),
                  1u);
        EXPECT_EQ(err[n / 2], korvel::PidModeError::nan);
        for (std::size_t i = 0; i < n; ++i)
            expect_same(bank.get(i), pids[i]);

        // A controller put into a lane continues as itself.
        korvel::Pid fresh(2.0);
        bank.set(0, fresh);
        pids[0] = fresh;
        mode.assign(n, 1.0);
        bank.run({mode.data()}, {SP.data()}, {PV.data()}, {TV.data()}, korvel::Lanes::all(ff),
                 out.data(), err.data());
        korvel::PidModeError e;
        EXPECT_EQ(bits(out[0]), bits(pids[0].run(1.0, SP[0], PV[0], TV[0], ff, e)));
    }
}

// Lane counts around the vector widths; inputs per lane or shared, with
// NaN and infinities among them.
constexpr std::size_t lane_counts[] = {1, 2, 3, 7, 8, 9, 17};

double sample(std::mt19937_64& rng, std::uniform_real_distribution<double>& u) {
    const auto k = rng() % 40;
    return k == 0 ? NAN : k == 1 ? INFINITY : k == 2 ? -0.0 : u(rng);
}

TEST(AntiWindupBank, LanesAreLimiters) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-150.0, 150.0);
    for (std::size_t n : lane_counts) {
        korvel::AntiWindupBank bank(n);
        std::vector<korvel::AntiWindup> limiters(n);
        // Some lanes start with part of their history: each start fills in
        // only what is missing.
        for (std::size_t i = 1; i < n; i += 2) {
            i % 4 == 1 ? limiters[i].set_u0(u(rng)) : limiters[i].set_y0(u(rng));
            bank.set(i, limiters[i]);
        }
        std::vector<double> x(n), hi(n), out(n);
        for (int k = 0; k < 50; ++k) {
            const double lo = k % 5 ? -20.0 : 30.0; // sometimes above hi
            for (std::size_t i = 0; i < n; ++i)
                x[i] = sample(rng, u), hi[i] = u(rng) + 50.0;
            bank.step({x.data()}, {hi.data()}, korvel::Lanes::all(lo), out.data());
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_EQ(bits(out[i]), bits(limiters[i].step(x[i], hi[i], lo))) << n << " " << i;
            if (k == 25) { // a fresh limiter put into a started bank
                bank.set(n / 2, korvel::AntiWindup());
                limiters[n / 2] = korvel::AntiWindup();
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const korvel::AntiWindup a = bank.get(i);
            EXPECT_EQ(bits(*a.u0()), bits(*limiters[i].u0()));
            EXPECT_EQ(bits(*a.y0()), bits(*limiters[i].y0()));
        }
    }
}

TEST(RateLimiterBank, LanesAreRateLimiters) {
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> u(-100.0, 100.0);
    for (std::size_t n : lane_counts) {
        korvel::RateLimiterBank bank(n, 3.0, 1.0);
        std::vector<korvel::RateLimiter> limiters;
        for (std::size_t i = 0; i < n; ++i) {
            limiters.emplace_back(u(rng), 0.5 + static_cast<double>(i % 4));
            bank.set(i, limiters[i]);
        }
        std::vector<double> target(n), rise(n), fall(n), out(n);
        for (int k = 0; k < 60; ++k) {
            for (std::size_t i = 0; i < n; ++i)
                target[i] = sample(rng, u), rise[i] = u(rng), fall[i] = u(rng);
            // Every other step without falling rates: each lane falls at its rising one.
            const bool falls = k % 2;
            if (falls)
                bank.step({target.data()}, {rise.data()}, {fall.data()}, out.data());
            else
                bank.step({target.data()}, {rise.data()}, out.data());
            for (std::size_t i = 0; i < n; ++i) {
                const auto f = falls ? std::optional(fall[i]) : std::nullopt;
                EXPECT_EQ(bits(out[i]), bits(limiters[i].step(target[i], rise[i], f)));
            }
            if (k == 30) {
                const double v = u(rng);
                bank.reset(korvel::Lanes::all(v));
                for (auto& l : limiters)
                    l.reset(v);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(bits(bank.get(i).last()), bits(limiters[i].last()));
            EXPECT_EQ(bits(bank.get(i).Ts()), bits(limiters[i].Ts()));
        }
    }
}

} // namespace
