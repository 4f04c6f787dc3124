// A bank's lanes are its scalar blocks: random per-lane settings and inputs,
// lane counts around the vector widths, outputs compared to the bit.
#include <korvel/delay.hpp>
#include <korvel/filters.hpp>
#include <korvel/iir_lanes.hpp>
#include <korvel/limiters.hpp>
#include <korvel/mimo_bank.hpp>
#include <korvel/pid.hpp>
#include <korvel/reference.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace {

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

// The bits, but one NaN for all: where two NaNs meet in a sum, which one
// survives is the compiler's choice (it may swap the operands).
std::uint64_t bits_any_nan(double v) {
    return std::isnan(v) ? bits(std::numeric_limits<double>::quiet_NaN()) : bits(v);
}

// Lane l of the bank in MimoBank.LanesAreSimulators: gains of both signs,
// some dead times other than the reference's.
korvel::ModelDict lane_dict(std::size_t l) {
    korvel::ModelDict d =
        korvel::reference::process(l % 3 == 0 ? 1.0 : -0.5 - static_cast<double>(l));
    if (l % 4 == 1) d[0].pairs[0].second.delay_s = 7.0 + static_cast<double>(l % 3);
    return d;
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

// The bank keeps some numbers once for all lanes, or derives them after a
// step, while the lanes allow it (one feed-forward, no derivative term): the
// runs switch between per-lane and shared feed-forward, retune and read lanes
// mid-run, with and without derivative terms.
TEST(PidBank, LanesAreControllers) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-50.0, 50.0);
    for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 17u})
        for (const bool pi : {false, true}) {
            korvel::PidBank bank(n, 0.5);
            std::vector<korvel::Pid> pids(n, korvel::Pid(0.5));
            std::vector<double> KP(n), TI(n), TD(n), Nd(n), hi(n), lo(n);
            bool deriv = !pi;
            const auto tune = [&] {
                for (std::size_t i = 0; i < n; ++i) {
                    KP[i] = u(rng) / 10, TI[i] = i % 3 ? u(rng) + 40 : 0.0;
                    TD[i] = i % 2 && deriv ? u(rng) : 0.0, Nd[i] = u(rng);
                    pids[i].set_params(KP[i], TI[i], TD[i], Nd[i]);
                }
                bank.set_params({KP.data()}, {TI.data()}, {TD.data()}, {Nd.data()});
            };
            tune();
            for (std::size_t i = 0; i < n; ++i) {
                hi[i] = u(rng) + 40, lo[i] = u(rng) - 40;
                pids[i].set_limits(hi[i], lo[i]);
            }
            std::vector<std::uint8_t> refused(n);
            bank.set_limits({hi.data()}, {lo.data()}, refused.data());
            std::vector<double> mode(n), SP(n), PV(n), TV(n), FF(n), out(n);
            std::vector<korvel::PidModeError> err(n);
            for (int k = 0; k < 60; ++k) {
                // Mostly one feed-forward for every lane, sometimes one per lane.
                const double ff = k < 25 ? 1.5 : k < 45 ? -2.0 : 0.25;
                const bool lane_ff = k % 7 == 3;
                for (std::size_t i = 0; i < n; ++i) {
                    // Mostly every lane automatic (the bank's loop), sometimes some tracking.
                    mode[i] = k % 9 == 0 && i % 2 ? 0.0 : k == 30 ? 1.4 : 1.0;
                    SP[i] = u(rng), PV[i] = u(rng), TV[i] = u(rng), FF[i] = lane_ff ? u(rng) : ff;
                }
                const korvel::Lanes ffs =
                    lane_ff ? korvel::Lanes{FF.data()} : korvel::Lanes::all(ff);
                ASSERT_EQ(bank.run({mode.data()}, {SP.data()}, {PV.data()}, {TV.data()}, ffs,
                                   out.data(), err.data()),
                          0u);
                for (std::size_t i = 0; i < n; ++i) {
                    korvel::PidModeError e;
                    EXPECT_EQ(bits(out[i]),
                              bits(pids[i].run(mode[i], SP[i], PV[i], TV[i], FF[i], e)));
                }
                // Retuned after a step, whose saved numbers stay the old tuning's;
                // the derivative terms come or go.
                if (k == 40) deriv = !deriv, tune();
                if (k == 20 || k == 40 || k == 43)
                    for (std::size_t i = 0; i < n; ++i)
                        expect_same(bank.get(i), pids[i]);
            }
            for (std::size_t i = 0; i < n; ++i)
                expect_same(bank.get(i), pids[i]);

            // A NaN mode in one lane: that lane fails as its controller does, no
            // other lane steps.
            const double ff = 1.5;
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

// Filters of one shape with coefficients and inputs of both signs: zeros of
// either sign held long enough to cross the dead time, a NaN and an
// infinity, lane counts around the block size; the state compared after
// every step.
TEST(IirLanes, LanesAreFilters) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (const bool fir : {false, true})
        for (const double a0 : {1.0, -2.0})
            for (std::size_t m : {1u, 3u, 64u, 67u}) {
                const bool shared = m == 3;
                std::vector<korvel::Iir> filters;
                for (std::size_t l = 0; l < m; ++l) {
                    const double s = shared || l % 2 ? 1.0 : -1.0;
                    std::vector<double> b(9, 0.0);
                    b.push_back(0.5 * s), b.push_back(-0.25 * s);
                    filters.emplace_back(b, fir ? std::vector<double>{a0}
                                                : std::vector<double>{a0, -0.9 * a0 * s});
                }
                std::vector<const korvel::Iir*> f;
                std::vector<std::vector<double>> z(m, std::vector<double>(filters[0].state_size()));
                std::vector<const double*> zp;
                for (std::size_t l = 0; l < m; ++l)
                    f.push_back(&filters[l]), zp.push_back(z[l].data());
                korvel::IirLanes lanes(f, zp);
                ASSERT_EQ(lanes.shape().re - lanes.shape().rb, fir ? 0u : 7u);
                std::vector<double> x(m, 0.0), y(m), zl(lanes.state_size());
                for (int k = 0; k < 300; ++k) {
                    for (std::size_t l = 0; l < m; ++l) {
                        const int c = pick(rng) ? -1 : pick(rng);
                        if (c >= 0) x[l] = c < 4 ? 0.0 : c < 8 ? -0.0 : u(rng);
                        if (k == 200 && l % 3 == 1) x[l] = l % 2 ? NAN : -INFINITY;
                        if (k == 201 && l % 3 == 1) x[l] = 0.0;
                    }
                    lanes.step(x.data(), y.data());
                    for (std::size_t l = 0; l < m; ++l) {
                        ASSERT_EQ(bits(y[l]), bits(filters[l].step(x[l], z[l].data())))
                            << fir << " " << a0 << " " << m << " " << k << " " << l;
                        lanes.state(l, zl.data());
                        for (std::size_t t = 0; t < zl.size(); ++t)
                            ASSERT_EQ(bits(zl[t]), bits(z[l][t])) << k << " " << l << " " << t;
                    }
                }
            }
}

// Plants that differ in gains (one loop per pair) and dead times (groups),
// driven with values that reach the corners of the dead-time ring: zeros of
// both signs, a step of NaN and of infinity in some lanes.
TEST(MimoBank, LanesAreSimulators) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    std::uniform_int_distribution<int> pick(0, 9);
    const korvel::TagValues ini = {{"CV1", 10.0}, {"CV2", -0.0}, {"MV1", 0.0}, {"MV2", 16.0}};
    for (std::size_t n : {1u, 5u, 9u, 70u}) {
        std::vector<korvel::MimoSim> sims;
        for (std::size_t l = 0; l < n; ++l)
            sims.emplace_back(lane_dict(l), ini);
        korvel::MimoBank bank = korvel::MimoBank::of(sims);
        ASSERT_EQ(bank.size(), n);
        const std::size_t cvs = bank.cvs(), mvs = bank.mvs();
        std::vector<std::vector<double>> uv(mvs, std::vector<double>(n));
        std::vector<double> v(n);
        for (int k = 0; k < 260; ++k) {
            std::vector<korvel::Lanes> U(mvs), V(cvs);
            for (std::size_t j = 0; j < mvs; ++j) {
                if (pick(rng) < 2 && k != 251) continue; // not given: the MV keeps its values
                for (std::size_t l = 0; l < n; ++l) {
                    // Values held for a while, so zeros of one sign cross the dead time.
                    const int c = pick(rng) ? -1 : pick(rng);
                    if (c >= 0) uv[j][l] = c < 3 ? 0.0 : c < 6 ? -0.0 : c < 8 ? -2.5 : u(rng);
                    if (l % 5 == 2 && k == 250) uv[j][l] = j == 0 ? NAN : INFINITY;
                    if (l % 5 == 2 && k == 251) uv[j][l] = 1.0;
                }
                U[j] = korvel::Lanes{uv[j].data()};
            }
            for (std::size_t l = 0; l < n; ++l)
                v[l] = pick(rng) == 0 ? -0.0 : 0.0;
            V[1] = korvel::Lanes{v.data()};
            bank.step(U.data(), V.data());
            for (std::size_t l = 0; l < n; ++l) {
                for (std::size_t j = 0; j < mvs; ++j)
                    if (U[j].data) sims[l].set_input(j, uv[j][l]);
                const double dist[] = {0.0, v[l]};
                const auto& y = sims[l].step(dist);
                for (std::size_t r = 0; r < cvs; ++r)
                    ASSERT_EQ(bits_any_nan(bank.outputs(r)[l]), bits_any_nan(y[r]))
                        << n << " " << k << " " << l;
            }
        }
        for (std::size_t l = 0; l < n; ++l)
            for (std::size_t r = 0; r < cvs; ++r)
                for (std::size_t j = 0; j < mvs; ++j)
                    if (auto* tf = dynamic_cast<korvel::TfModel*>(&sims[l].model(r, j))) {
                        const auto z = bank.state(l, r, j);
                        ASSERT_EQ(z.size(), tf->zi().size());
                        for (std::size_t t = 0; t < z.size(); ++t)
                            EXPECT_EQ(bits_any_nan(z[t]), bits_any_nan(tf->zi()[t]));
                    }

        // A lane taken out continues as the lane; a simulator put in as itself.
        korvel::MimoSim out(lane_dict(n - 1), ini);
        bank.copy_lane_to(n - 1, out);
        korvel::MimoSim in(korvel::reference::process(2.0), ini);
        const auto lane = [&](const korvel::MimoSim& s) {
            korvel::MimoBank::Lane l{{},         s.input_initial(), s.output_initial(),
                                     s.inputs(), s.outputs(),       {}};
            for (std::size_t r = 0; r < cvs; ++r) {
                l.models.emplace_back();
                for (std::size_t j = 0; j < mvs; ++j)
                    l.models[r].push_back(&s.model(r, j));
            }
            return l;
        };
        bank.set_lane(0, lane(in));
        for (int k = 0; k < 40; ++k) {
            bank.step(nullptr, nullptr);
            const auto& y0 = in.step();
            const auto& y1 = sims[n - 1].step();
            const auto& y2 = out.step();
            for (std::size_t r = 0; r < cvs; ++r) {
                EXPECT_EQ(bits(bank.outputs(r)[0]), bits(y0[r]));
                if (n > 1) {
                    EXPECT_EQ(bits(bank.outputs(r)[n - 1]), bits(y1[r]));
                }
                EXPECT_EQ(bits(y2[r]), bits(y1[r]));
            }
        }
    }
}

// The lead-lag's step rule is lfilter's step on each of its coefficient
// shapes, signed zeros and non-finite values included.
TEST(LeadLagLaw, IsTheFilterStepOnEveryShape) {
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> shapes = {
        {{1.0}, {1.0}},
        {{0.3}, {1.0, -0.8}},
        {{0.5, -0.2}, {1.0, -0.7}},
        {{0.5, 0.25}, {2.0}},
        {{-0.5}, {-2.0, 0.3}},
        {{0.0, 0.0}, {1.0, 0.0}},
        {{-1.0, 2.0}, {0.5, 1.5}},
        {{2.0}, {-1.0}}};
    const double inf = std::numeric_limits<double>::infinity();
    const double xs[] = {0.0, -0.0, 1.5, -2.0, inf, -inf, std::nan(""), 3.0, -0.0, 1e300};
    for (const auto& [b, a] : shapes) {
        const korvel::Iir f(b, a);
        const auto t = korvel::LeadLagTaps::of(f);
        ASSERT_TRUE(t.has_value());
        for (double z0 : {0.0, -0.0, 0.7}) {
            std::vector<double> z(f.state_size(), z0);
            double w = z0;
            struct L {
                const korvel::LeadLagTaps& t;
                double& w;
                double b0() const { return t.b0; }
                double b1() const { return t.b1; }
                double a1() const { return t.a1; }
                double fir() const { return t.fir; }
                double held() const { return t.held; }
                double& z() const { return w; }
            };
            for (double x : xs) {
                EXPECT_EQ(bits(korvel::lead_lag_law::step(L{*t, w}, x)), bits(f.step(x, z.data())));
                if (!z.empty()) {
                    EXPECT_EQ(bits(w), bits(z[0]));
                }
            }
            for (double u : xs) {
                const double y = -u / 3;
                const double uu[] = {u}, yy[] = {y};
                const auto r = korvel::lfiltic(b, a, yy, uu);
                const double got =
                    korvel::lead_lag_law::restart(b.data(), b.size(), a.data(), a.size(), u, y);
                EXPECT_EQ(bits(got), bits(r.empty() ? 0.0 : r[0]));
            }
        }
    }
    EXPECT_FALSE(korvel::LeadLagTaps::of(korvel::Iir({1.0, 2.0, 3.0}, {1.0})).has_value());
}

void expect_same(const korvel::LeadLag& a, const korvel::LeadLag& b) {
    EXPECT_EQ(bits(a.alpha()), bits(b.alpha()));
    EXPECT_EQ(bits(a.tao()), bits(b.tao()));
    EXPECT_EQ(a.Ts(), b.Ts());
    EXPECT_EQ(a.iir().b(), b.iir().b());
    EXPECT_EQ(a.iir().a(), b.iir().a());
    ASSERT_EQ(a.state().has_value(), b.state().has_value());
    if (a.state()) {
        ASSERT_EQ(a.state()->size(), b.state()->size());
        for (std::size_t k = 0; k < a.state()->size(); ++k)
            EXPECT_EQ(bits((*a.state())[k]), bits((*b.state())[k]));
    }
    ASSERT_EQ(a.last().u.has_value(), b.last().u.has_value());
    ASSERT_EQ(a.last().y.has_value(), b.last().y.has_value());
    if (a.last().y) {
        EXPECT_EQ(bits(*a.last().u), bits(*b.last().u));
        EXPECT_EQ(bits(*a.last().y), bits(*b.last().y));
    }
}

TEST(LeadLagBank, LanesAreLeadLags) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (std::size_t n : {1u, 2u, 3u, 4u, 7u, 8u, 9u, 17u, 70u}) {
        // Lag, lead-lag and pass-through lanes, periods of 1 to 3; of 70
        // lanes two are not on the IIR path (a bank steps a few such lanes
        // apart).
        std::vector<double> alpha(n), tao(n);
        std::vector<long long> Ts(n);
        std::vector<korvel::LeadLag> lags;
        for (std::size_t i = 0; i < n; ++i) {
            alpha[i] = i % 3 == 0 ? 0.0 : (u(rng) + 10) / 8;
            tao[i] = (n < 70 ? i % 4 == 3 : i == 5) ? 0.0 : (u(rng) + 11) / 2;
            Ts[i] = 1 + static_cast<long long>(i % 3);
            lags.emplace_back(alpha[i], tao[i], Ts[i]);
        }
        korvel::LeadLagBank bank(n, {alpha.data()}, {tao.data()}, Ts);
        if (n == 70) { // and one on the FIR path with a state item
            lags[6].set_iir(korvel::Iir({0.5, 0.25}, {2.0}));
            bank.set(6, lags[6]);
        }
        std::vector<double> x(n), out(n), v(n);
        std::vector<std::exception_ptr> failed(n);
        for (int k = 0; k < 60; ++k) {
            for (std::size_t i = 0; i < n; ++i)
                x[i] = k % 13 == 5 ? -0.0 : u(rng);
            out = x; // every other sample in place, the outputs over the inputs
            bank.step({(k % 2 ? out : x).data()}, out.data());
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_EQ(bits(out[i]), bits(lags[i].step(x[i])));
            if (k % 10 == 4) { // new parameters mid-run, some lanes equal
                const bool on_alpha = k % 20 == 4;
                for (std::size_t i = 0; i < n; ++i) {
                    v[i] = i % 2 ? (u(rng) + 10) / 4 : (on_alpha ? lags[i].alpha() : lags[i].tao());
                    on_alpha ? lags[i].set_alpha(v[i]) : lags[i].set_tao(v[i]);
                }
                using P = korvel::LeadLagBank::Parameter;
                ASSERT_TRUE(bank.assign(on_alpha ? P::alpha : P::tao, {v.data()}, failed.data()));
            }
            if (k == 30) { // a negative value in one lane: no lane changes
                v.assign(n, 1.0);
                v[n - 1] = -1.0;
                EXPECT_FALSE(
                    bank.assign(korvel::LeadLagBank::Parameter::tao, {v.data()}, failed.data()));
                EXPECT_TRUE(failed[n - 1]);
            }
            if (k == 40) { // lane 0 taken out and put back elsewhere
                korvel::LeadLag first = bank.get(0);
                expect_same(first, lags[0]);
                bank.set(n - 1, first);
                lags[n - 1] = first;
            }
        }
        for (std::size_t i = 0; i < n; ++i)
            expect_same(bank.get(i), lags[i]);
    }
}

TEST(LeadLagBank, OperatingPointsAndRefusedLanes) {
    korvel::LeadLagBank bank(3, 0.5, 4.0, 1);
    korvel::LeadLag with(0.5, 4.0, 1, 2.0, 3.0), half(0.5, 4.0, 1, 2.0), none(0.5, 4.0, 1);
    none.set_iir(korvel::Iir({0.5, 0.25}, {2.0})); // the FIR path with a state item
    const double u0 = 2.0, y0 = 3.0;
    bank.set_operating_point(korvel::Lanes::all(u0), korvel::Lanes::all(y0));
    bank.set(1, half);
    bank.set(2, none);
    double out[3];
    const double xs[] = {1.0, 5.0, 5.0};
    for (double x : xs) {
        bank.step(korvel::Lanes::all(x), out);
        EXPECT_EQ(bits(out[0]), bits(with.step(x)));
        EXPECT_EQ(bits(out[1]), bits(half.step(x)));
        EXPECT_EQ(bits(out[2]), bits(none.step(x)));
    }
    korvel::LeadLag odd(0.5, 4.0, 1);
    odd.set_iir(korvel::Iir({1.0, 0.5, 0.25}, {1.0, -0.5}));
    EXPECT_THROW(bank.set(0, odd), std::invalid_argument);
    expect_same(bank.get(0), with);
    EXPECT_THROW(korvel::LeadLagBank(2, -1.0, 5.0, 1), std::invalid_argument);
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
    for (std::size_t n : lane_counts) {
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

void expect_same(const korvel::ZFilter& a, const korvel::ZFilter& b) {
    EXPECT_EQ(a.iir().b(), b.iir().b());
    EXPECT_EQ(a.iir().a(), b.iir().a());
    ASSERT_EQ(a.state().size(), b.state().size());
    for (std::size_t j = 0; j < a.state().size(); ++j)
        EXPECT_EQ(bits(a.state()[j]), bits(b.state()[j]));
    const auto &p = a.operating_point(), &q = b.operating_point();
    EXPECT_EQ(p.u.has_value(), q.u.has_value());
    EXPECT_EQ(p.y.has_value(), q.y.has_value());
    EXPECT_EQ(bits(p.u.value_or(0.0)), bits(q.u.value_or(0.0)));
    EXPECT_EQ(bits(p.y.value_or(0.0)), bits(q.y.value_or(0.0)));
}

using Fault = korvel::ZFilterBank::Fault;

// Samples and outputs of one lane against its filter, single steps and runs
// taking turns.
void drive(korvel::ZFilterBank& bank, std::vector<korvel::ZFilter>& filters, std::mt19937_64& rng) {
    const std::size_t n = bank.size();
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    std::vector<double> x(n), y0(n), out(n);
    std::vector<Fault> fault(n);
    for (int k = 0; k < 20; ++k) {
        for (std::size_t i = 0; i < n; ++i)
            x[i] = u(rng), y0[i] = u(rng);
        ASSERT_EQ(bank.step({x.data()}, {y0.data()}, out.data(), fault.data()), 0u);
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(bits(out[i]), bits(filters[i].step(x[i], y0[i])));
    }
    // Samples x lanes, and samples every lane takes.
    const std::size_t m = 7;
    std::vector<double> X(m * n), Y(m * n), col(m), want(m);
    for (double& v : X)
        v = u(rng);
    ASSERT_EQ(bank.run(m, {X.data(), static_cast<std::ptrdiff_t>(n)}, korvel::Lanes::all(y0[0]),
                       Y.data(), fault.data()),
              0u);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < m; ++k)
            col[k] = X[k * n + i];
        filters[i].run(col.data(), want.data(), m, y0[0]);
        for (std::size_t k = 0; k < m; ++k)
            EXPECT_EQ(bits(Y[k * n + i]), bits(want[k]));
    }
    ASSERT_EQ(bank.run(m, {X.data(), 1, 0}, {y0.data()}, Y.data(), fault.data()), 0u);
    for (std::size_t i = 0; i < n; ++i) {
        filters[i].run(X.data(), want.data(), m, y0[i]);
        for (std::size_t k = 0; k < m; ++k)
            EXPECT_EQ(bits(Y[k * n + i]), bits(want[k]));
    }
    for (std::size_t i = 0; i < n; ++i)
        expect_same(bank.get(i), filters[i]);
}

TEST(ZFilterBank, LanesAreFilters) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> c(-1.0, 1.0);
    // (len(b), len(a)): pure gain, FIR, first and second order, a long
    // denominator with a run of zero taps.
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1}, {4, 1}, {2, 2}, {3, 3}, {2, 9}};
    for (auto [nb, na] : shapes)
        for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 17u})
            for (bool per_lane : {false, true}) {
                const std::size_t rows = per_lane ? n : 1;
                std::vector<double> B(rows * nb), A(rows * na);
                for (std::size_t r = 0; r < rows; ++r) {
                    for (std::size_t j = 0; j < nb; ++j)
                        B[r * nb + j] = c(rng);
                    for (std::size_t j = 0; j < na; ++j)
                        A[r * na + j] = j == 0            ? 1.0 + c(rng) * 0.5
                                        : na > 4 && j > 1 ? 0.0
                                                          : c(rng) * 0.4;
                }
                const std::size_t sb = per_lane ? nb : 0, sa = per_lane ? na : 0;
                // Lanes 0, 3, 6, ... have their operating point from the first call.
                korvel::ZFilterBank bank(n, {B.data(), nb, sb}, {A.data(), na, sa});
                std::vector<korvel::ZFilter> filters;
                for (std::size_t i = 0; i < n; ++i) {
                    const double* b = B.data() + i * sb;
                    const double* a = A.data() + i * sa;
                    filters.emplace_back(std::vector<double>(b, b + nb),
                                         std::vector<double>(a, a + na));
                    if (i % 3) {
                        filters.back().operating_point() = {c(rng), c(rng)};
                        bank.set_operating_point(i, filters.back().operating_point());
                    }
                }
                drive(bank, filters, rng);

                // A filter put into a lane continues as itself; the others
                // as they were.
                std::vector<double> b2(nb), a2(na, 0.0);
                for (double& v : b2)
                    v = c(rng);
                a2[0] = 2.0;
                a2[na - 1] += c(rng) * 0.3;
                filters[n / 2] = korvel::ZFilter(b2, a2, 1.0);
                bank.set(n / 2, filters[n / 2]);
                EXPECT_FALSE(bank.shared());
                drive(bank, filters, rng);
            }
}

TEST(ZFilterBank, FaultsAreTheFilters) {
    korvel::ZFilterBank bank(4, {0.0, 0.1}, {1.0, -0.9});
    std::vector<korvel::ZFilter> filters(4, korvel::ZFilter({0.0, 0.1}, {1.0, -0.9}));
    std::vector<Fault> fault(4);
    std::vector<double> y(4);
    // No sample to take u_ini from: those lanes fail, nothing changes.
    bank.set_operating_point(1, {2.0, {}});
    filters[1].operating_point() = {2.0, {}};
    EXPECT_EQ(bank.run(0, {nullptr, 4}, korvel::Lanes::all(3.0), y.data(), fault.data()), 3u);
    EXPECT_EQ(fault[1], Fault::none);
    EXPECT_EQ(fault[0], Fault::no_first_sample);
    EXPECT_THROW(bank.throw_fault(0, fault[0]), std::out_of_range);
    for (std::size_t i = 0; i < 4; ++i)
        expect_same(bank.get(i), filters[i]);

    // Refused coefficients in one lane: that lane takes its operating point
    // and fails as its filter does; no other lane steps.
    const korvel::ZFilter refused(korvel::Iir({0.0, 0.1}, {0.0, 1.0}), {}, {0.0});
    bank.set(2, refused);
    filters[2] = refused;
    const double x[] = {1.0, 2.0, 3.0, 4.0};
    EXPECT_EQ(bank.step({x}, korvel::Lanes::all(5.0), y.data(), fault.data()), 1u);
    EXPECT_EQ(fault[2], Fault::refused);
    EXPECT_THROW(filters[2].step(3.0, 5.0), std::domain_error);
    EXPECT_THROW(bank.throw_fault(2, fault[2]), std::domain_error);
    for (std::size_t i = 0; i < 4; ++i)
        expect_same(bank.get(i), filters[i]);

    // A bank of copies of one filter as it stands.
    const korvel::ZFilterBank copies(3, filters[2]);
    for (std::size_t i = 0; i < 3; ++i)
        expect_same(copies.get(i), filters[2]);

    // Another structure is refused whole.
    EXPECT_THROW(bank.set(0, korvel::ZFilter({1.0, 2.0, 3.0}, {1.0})), std::invalid_argument);
    EXPECT_THROW(korvel::ZFilterBank(2, {1.0}, {0.0, 1.0}), std::domain_error);
}

} // namespace
