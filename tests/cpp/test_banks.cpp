// A bank's lanes are its scalar blocks: random per-lane settings and inputs,
// lane counts around the vector widths, outputs compared to the bit.
#include <korvel/delay.hpp>
#include <korvel/pid.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
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

// Same capacity, samples kept and every slot to the bit.
void expect_same(const korvel::DelayLine<double>& a, const korvel::DelayLine<double>& b) {
    ASSERT_EQ(a.capacity(), b.capacity());
    ASSERT_EQ(a.held(), b.held());
    for (std::size_t lag = 0; lag < a.size(); ++lag)
        EXPECT_EQ(bits(a.at(lag)), bits(b.at(lag)));
}

TEST(DelayBank, LanesAreDelayLines) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-50.0, 50.0);
    for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 17u}) {
        std::vector<std::size_t> caps(n);
        for (auto& c : caps)
            c = 1 + rng() % 12;
        korvel::DelayBank bank(caps);
        std::vector<korvel::DelayLine<double>> lines;
        for (std::size_t c : caps)
            lines.emplace_back(c);
        std::vector<double> in(n), out(n);
        std::vector<long long> lag(n);
        std::vector<std::uint8_t> refused(n);
        for (int k = 0; k < 80; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                in[i] = u(rng);
                lag[i] = static_cast<long long>(rng() % caps[i]);
            }
            // Now and then one lane asks for too long a delay, or a negative one.
            const bool refuse = k % 10 == 9;
            if (refuse) lag[k % n] = k % 20 == 9 ? -1 : static_cast<long long>(caps[k % n]);
            ASSERT_EQ(bank.step({in.data()}, {lag.data()}, out.data(), refused.data()),
                      refuse ? 1u : 0u);
            for (std::size_t i = 0; i < n; ++i) {
                if (refuse && !refused[i]) continue; // no other lane steps
                lines[i].push(in[i]);
                ASSERT_EQ(lines[i].valid_lag(lag[i]), !refused[i]);
                if (!refuse) {
                    EXPECT_EQ(bits(out[i]), bits(lines[i].at(static_cast<std::size_t>(lag[i]))));
                }
            }
            for (std::size_t i = 0; i < n; ++i)
                expect_same(bank.get(i), lines[i]);
        }

        // A line of another capacity put into a lane, the bank copied: each
        // lane continues as its line.
        korvel::DelayLine<double> other(caps[0] + 5);
        other.push(1.5);
        other.push(2.5);
        bank.set(n / 2, other);
        lines[n / 2] = other;
        korvel::DelayBank copy = bank;
        const long long shared = 0;
        const double x = 3.5;
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(copy.step(korvel::Lanes::all(x), korvel::LagLanes::all(shared), out.data(),
                                refused.data()),
                      0u);
        for (std::size_t i = 0; i < n; ++i) {
            for (int k = 0; k < 3; ++k)
                lines[i].push(x);
            expect_same(copy.get(i), lines[i]);
        }
    }
}

TEST(DelayBank, ALaneOfNoCapacityRefusesEveryDelay) {
    korvel::DelayBank bank(std::vector<std::size_t>{0, 3});
    const std::vector<double> in = {1.0, 2.0};
    const std::vector<long long> lag = {0, 1};
    std::vector<double> out(2);
    std::vector<std::uint8_t> refused(2);
    EXPECT_EQ(bank.step({in.data()}, {lag.data()}, out.data(), refused.data()), 1u);
    EXPECT_EQ(refused, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_TRUE(bank.empty(0));
    EXPECT_TRUE(bank.empty(1)); // did not step
}

} // namespace
