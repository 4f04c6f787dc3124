// The filter banks against their scalar filters, every lane to the bit:
// ZFilterBank against ZFilters (one row of coefficients or one per lane, FIR
// and IIR of several lengths, refused lanes, single samples and runs of
// them) and LeadLagBank against LeadLags (lag, lead-lag and pass-through
// lanes, new settings all or nothing, operating points, lanes of another
// shape put in); lanes taken out and put in, copies of the banks.
#include <korvel/filters.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace {

using Fault = korvel::ZFilterBank::Fault;

// What f threw: 0 nothing, otherwise which kind of error.
template <class F> int thrown(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument&) {
        return 1;
    } catch (const std::domain_error&) {
        return 2;
    } catch (const std::out_of_range&) {
        return 3;
    } catch (const std::exception&) {
        return 4;
    }
    return 0;
}

void same(const std::optional<double>& a, const std::optional<double>& b) {
    FUZZ_CHECK(a.has_value() == b.has_value() && fuzz::same(a.value_or(0.0), b.value_or(0.0)));
}

// One input of a step: one value for every lane (stride 0), or one each.
struct Input {
    std::vector<double> v;
    korvel::Lanes lanes() const noexcept {
        return v.size() == 1 ? korvel::Lanes::all(v[0]) : korvel::Lanes{v.data()};
    }
    double operator[](std::size_t i) const noexcept { return lanes()[i]; }
};

template <class Draw> Input input(fuzz::Bytes& in, std::size_t n, Draw&& draw) {
    Input x{std::vector<double>(in.flag() ? 1 : n)};
    for (double& d : x.v)
        d = draw();
    return x;
}

// Coefficients of `count` items: small, zero now and then, or anything; a[0]
// away from zero mostly.
std::vector<double> row(fuzz::Bytes& in, std::size_t count, bool denominator) {
    std::vector<double> v(count);
    for (double& x : v) {
        const unsigned k = in.u8() % 8;
        x = k == 0 ? in.number() : k == 1 ? 0.0 : in.bounded(2.0);
    }
    if (denominator && count && in.u8() % 8) v[0] = 0.5 + std::fabs(in.bounded(2.0));
    return v;
}

std::optional<double> maybe(fuzz::Bytes& in) {
    return in.flag() ? std::nullopt : std::optional(in.u8() % 4 ? in.finite() : in.number());
}

void fuzz_zfilter_bank(fuzz::Bytes& in) {
    // Up to sixth order: the bank steps up to fourth in one loop, higher tap by tap.
    const std::size_t n = in.below(21), nb = in.u8() % 16 ? 1 + in.below(7) : 0,
                      na = 1 + in.below(7);
    const bool each = in.flag();
    const std::size_t rows = each ? n : 1;
    std::vector<double> B, A;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<double> b = row(in, nb, false), a = row(in, na, true);
        B.insert(B.end(), b.begin(), b.end());
        A.insert(A.end(), a.begin(), a.end());
    }
    const korvel::ZFilterBank::Rows Br{B.data(), nb, each ? nb : 0},
        Ar{A.data(), na, each ? na : 0};
    const std::optional<double> u_ini = maybe(in), y_ini = maybe(in);
    // The bank throws what the first row's filter throws.
    int refused = 0;
    for (std::size_t r = 0; r < rows && !refused; ++r)
        refused = thrown([&] { korvel::ZFilter(Br.lane(r), Ar.lane(r), u_ini, y_ini); });
    std::optional<korvel::ZFilterBank> bank;
    FUZZ_CHECK(thrown([&] { bank.emplace(n, Br, Ar, u_ini, y_ini); }) == refused);
    if (refused) return;
    std::vector<korvel::ZFilter> filters;
    for (std::size_t i = 0; i < n; ++i)
        filters.emplace_back(Br.lane(each ? i : 0), Ar.lane(each ? i : 0), u_ini, y_ini);
    std::vector<Fault> fault(n);

    while (!in.empty()) {
        const auto value = [&] { return in.u8() % 4 ? in.finite() : in.number(); };
        switch (in.u8() % 6) {
        case 0:
        case 1: { // one sample, or m; lanes that fault stop the others
            const bool one = in.flag();
            const std::size_t m = one ? 1 : in.below(9);
            const bool shared_x = !one && in.flag(), alias = !shared_x && in.flag();
            std::vector<double> X((shared_x ? 1 : n) * m), Y(n * m), col(m), want(m);
            for (double& x : X)
                x = value();
            const std::vector<double> X0 = X;
            const Input y_arg = input(in, n, value);
            double* y = alias ? X.data() : Y.data(); // the outputs over the inputs
            const std::size_t faults =
                one ? bank->step(korvel::Lanes{X.data()}, y_arg.lanes(), y, fault.data())
                    : bank->run(m,
                                korvel::LaneRows{X.data(), std::ptrdiff_t(shared_x ? 1 : n),
                                                 shared_x ? 0 : 1},
                                y_arg.lanes(), y, fault.data());
            std::size_t seen = 0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < m; ++k)
                    col[k] = X0[shared_x ? k : k * n + i];
                auto& f = filters[i];
                if (faults && fault[i] == Fault::none) continue; // no other lane steps
                const int e = thrown([&] {
                    if (one)
                        want[0] = f.step(col[0], y_arg[i]);
                    else
                        f.run(col.data(), want.data(), m, y_arg[i]);
                });
                if (fault[i] != Fault::none) {
                    ++seen;
                    FUZZ_CHECK(e && e == thrown([&] { bank->throw_fault(i, fault[i]); }));
                    continue;
                }
                FUZZ_CHECK(e == 0);
                for (std::size_t k = 0; k < m; ++k)
                    FUZZ_CHECK(fuzz::same(y[k * n + i], want[k]));
            }
            FUZZ_CHECK(seen == faults);
            break;
        }
        case 2: { // a lane put in: a lane's filter run on its own, or other coefficients
            if (n == 0) break;
            const std::size_t i = in.below(n);
            korvel::ZFilter f = filters[in.below(n)];
            if (in.flag()) {
                const std::size_t lb = in.flag() ? nb : in.below(7),
                                  la = in.flag() ? na : 1 + in.below(7);
                std::optional<korvel::Iir> g;
                if (thrown([&] { g.emplace(row(in, lb, false), row(in, la, true)); })) break;
                std::vector<double> z = in.numbers(g->state_size());
                z.resize(g->state_size(), 0.0);
                f = korvel::ZFilter(std::move(*g), {maybe(in), maybe(in)}, std::move(z));
            }
            for (std::size_t k = in.below(3); k > 0; --k)
                thrown([&] { f.step(value(), value()); });
            const bool fits =
                f.iir().is_fir() == bank->is_fir() && f.state_size() == bank->state_size();
            FUZZ_CHECK(thrown([&] { bank->set(i, f); }) == (fits ? 0 : 1));
            if (fits) filters[i] = f;
            break;
        }
        case 3: { // a lane's operating point and state set by hand
            if (n == 0) break;
            const std::size_t i = in.below(n);
            const korvel::OperatingPoint op{maybe(in), maybe(in)};
            std::vector<double> z = in.numbers(bank->state_size());
            z.resize(bank->state_size(), 0.0);
            bank->set_operating_point(i, op);
            bank->set_state(i, z.data());
            filters[i].operating_point() = op;
            filters[i].state() = z;
            break;
        }
        case 4: { // the bank copied, or made anew as copies of one lane
            if (n && in.u8() % 4 == 0) {
                const korvel::ZFilter f = filters[in.below(n)];
                bank.emplace(n, f);
                filters.assign(n, f);
            } else {
                korvel::ZFilterBank copy = *bank;
                bank = in.flag() ? std::move(copy) : korvel::ZFilterBank(copy);
            }
            break;
        }
        default: { // a lane taken out and put back unchanged
            if (n == 0) break;
            const std::size_t i = in.below(n);
            bank->set(i, bank->get(i));
            break;
        }
        }
        FUZZ_CHECK(bank->size() == n);
        std::vector<double> z(bank->state_size());
        for (std::size_t i = 0; i < n; ++i) {
            const korvel::ZFilter g = bank->get(i);
            const korvel::ZFilter& f = filters[i];
            FUZZ_CHECK(fuzz::same(g.iir().b(), f.iir().b()) &&
                       fuzz::same(g.iir().a(), f.iir().a()));
            same(g.operating_point().u, f.operating_point().u);
            same(g.operating_point().y, f.operating_point().y);
            FUZZ_CHECK(fuzz::same(g.state(), f.state()));
            bank->state(i, z.data());
            FUZZ_CHECK(fuzz::same(z, f.state()));
        }
    }
}

// Lead-lag settings: zero, small of either sign, or anything.
double setting(fuzz::Bytes& in) {
    const unsigned k = in.u8() % 8;
    return k == 0   ? 0.0
           : k == 1 ? in.number()
           : k == 2 ? -in.bounded(4.0)
                    : std::fabs(in.bounded(40.0));
}

// Sampling periods: a few units mostly, none or negative now and then.
long long period(fuzz::Bytes& in) {
    return in.u8() % 8 ? 1 + in.below(4) : in.range(-2, 0);
}

void fuzz_lead_lag_bank(fuzz::Bytes& in) {
    // Past a few lanes off the IIR path every lane takes the law's choices:
    // some banks are wide enough to keep the other way.
    const std::size_t n = in.u8() % 4 ? in.below(21) : 32 + in.below(40);
    const auto draw = [&] { return setting(in); };
    const Input a0 = input(in, n, draw), t0 = input(in, n, draw);
    std::vector<long long> p0(n && in.flag() ? 1 : n);
    for (long long& x : p0)
        x = period(in);
    // The bank throws what the first lane that cannot be made throws.
    std::vector<korvel::LeadLag> lags;
    int refused = 0;
    for (std::size_t i = 0; i < n && !refused; ++i)
        refused = thrown([&] { lags.emplace_back(a0[i], t0[i], p0[p0.size() == 1 ? 0 : i]); });
    std::optional<korvel::LeadLagBank> bank;
    FUZZ_CHECK(thrown([&] { bank.emplace(n, a0.lanes(), t0.lanes(), p0); }) == refused);
    if (refused) return;
    std::vector<std::exception_ptr> failed(n);

    while (!in.empty()) {
        const auto value = [&] { return in.u8() % 4 ? in.finite() : in.number(); };
        switch (in.u8() % 7) {
        case 0:
        case 1: { // m samples of every lane, each lane as its LeadLag's step or run
            const std::size_t m = 1 + in.below(4);
            std::vector<double> X(m * n), Y(m * n), col(m), want(m);
            for (double& x : X)
                x = value();
            const bool alias = in.flag(); // the outputs over the inputs
            for (std::size_t k = 0; k < m; ++k) {
                const bool shared = n && in.u8() % 4 == 0;
                if (shared) std::fill_n(X.begin() + std::ptrdiff_t(k * n), n, X[k * n]);
                double* yk = Y.data() + k * n;
                if (alias) std::copy_n(X.data() + k * n, n, yk);
                bank->step(shared  ? korvel::Lanes::all(X[k * n])
                           : alias ? korvel::Lanes{yk}
                                   : korvel::Lanes{X.data() + k * n},
                           yk);
            }
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < m; ++k)
                    col[k] = X[k * n + i];
                if (m == 1)
                    want[0] = lags[i].step(col[0]);
                else
                    lags[i].run(col.data(), want.data(), m);
                for (std::size_t k = 0; k < m; ++k)
                    FUZZ_CHECK(fuzz::same(Y[k * n + i], want[k]));
            }
            break;
        }
        case 2:
        case 3: { // new settings, all lanes or none: alpha or tao assigned, every
                  // lane remade, or every lane set anew (its state to start over)
            const unsigned how = in.u8() % 4; // assign, assign, modify_param, configure
            const bool on_alpha = in.flag();
            const Input a = input(in, n, draw), t = input(in, n, draw);
            std::vector<long long> p(n && in.flag() ? 1 : n);
            for (long long& x : p)
                x = period(in);
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i)
                v[i] = in.flag() ? a[i] : on_alpha ? lags[i].alpha() : lags[i].tao();
            std::vector<korvel::LeadLag> trial = lags;
            bool negative = false, ok = true;
            std::vector<int> e(n);
            for (std::size_t i = 0; i < n; ++i) {
                negative = negative || v[i] < 0;
                const long long Tp = p[p.size() == 1 ? 0 : i];
                e[i] = thrown([&] {
                    if (how == 3) {
                        auto c = korvel::LeadLag::coefficients(a[i], t[i], Tp);
                        trial[i].state().reset();
                        trial[i].set_iir(korvel::Iir(std::move(c.b), std::move(c.a)));
                        trial[i].parameters() = {a[i], t[i], Tp};
                    } else if (how == 2) {
                        trial[i].modify_param();
                    } else {
                        on_alpha ? trial[i].set_alpha(v[i]) : trial[i].set_tao(v[i]);
                    }
                });
                ok = ok && !e[i];
            }
            using P = korvel::LeadLagBank::Parameter;
            FUZZ_CHECK((how == 3   ? bank->configure(a.lanes(), t.lanes(), p, failed.data())
                        : how == 2 ? bank->modify_param(failed.data())
                                   : bank->assign(on_alpha ? P::alpha : P::tao, {v.data()},
                                                  failed.data())) == ok);
            for (std::size_t i = 0; i < n; ++i) // assign refuses negative values first
                FUZZ_CHECK(bool(failed[i]) == (negative && how < 2 ? v[i] < 0 : e[i] != 0));
            if (ok) lags = trial;
            break;
        }
        case 4: { // operating points: with both, the state starts from them
            const bool has_u = in.flag(), has_y = in.flag();
            const Input u = input(in, n, value), y = input(in, n, value);
            bank->set_operating_point(has_u ? std::optional(u.lanes()) : std::nullopt,
                                      has_y ? std::optional(y.lanes()) : std::nullopt);
            for (std::size_t i = 0; i < n; ++i) {
                auto& f = lags[i];
                f.last() = {has_u ? std::optional(u[i]) : std::nullopt,
                            has_y ? std::optional(y[i]) : std::nullopt};
                f.state() = has_u && has_y
                                ? std::optional(korvel::LeadLag::restart_state(f.iir(), u[i], y[i]))
                                : std::nullopt;
            }
            break;
        }
        case 5: { // another lane put in, run on its own, of another shape now and then
            if (n == 0) break;
            const std::size_t i = in.below(n);
            korvel::LeadLag f = lags[in.below(n)];
            if (in.flag()) {
                f.state().reset();
                f.set_iir(korvel::Iir(row(in, in.below(4), false), row(in, 1 + in.below(2), true)));
                f.last() = {maybe(in), maybe(in)};
            }
            for (std::size_t k = in.below(3); k > 0 && f.iir().usable() && f.iir().a()[0] != 0.0;
                 --k)
                f.step(value());
            const auto taps = korvel::LeadLagTaps::of(f.iir());
            const bool fits = taps && f.iir().a()[0] != 0.0;
            FUZZ_CHECK(thrown([&] { bank->set(i, f); }) == (fits ? 0 : 1));
            if (fits) lags[i] = f;
            break;
        }
        default: {
            korvel::LeadLagBank copy = *bank;
            bank = in.flag() ? std::move(copy) : korvel::LeadLagBank(copy);
            break;
        }
        }
        FUZZ_CHECK(bank->size() == n);
        for (std::size_t i = 0; i < n; ++i) {
            const korvel::LeadLag g = bank->get(i), &f = lags[i];
            FUZZ_CHECK(fuzz::same(g.alpha(), f.alpha()) && fuzz::same(g.tao(), f.tao()) &&
                       g.Ts() == f.Ts());
            FUZZ_CHECK(fuzz::same(g.iir().b(), f.iir().b()) &&
                       fuzz::same(g.iir().a(), f.iir().a()));
            FUZZ_CHECK(g.state().has_value() == f.state().has_value());
            if (f.state()) FUZZ_CHECK(fuzz::same(*g.state(), *f.state()));
            same(g.last().u, f.last().u);
            same(g.last().y, f.last().y);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    in.flag() ? fuzz_zfilter_bank(in) : fuzz_lead_lag_bank(in);
    return 0;
}
