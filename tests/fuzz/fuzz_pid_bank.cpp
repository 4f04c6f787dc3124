// The PID bank against one Pid per lane: samples with per-lane and shared
// modes and inputs (modes that cannot be rounded too), the automatic step
// alone, parameters, limits and single numbers set for every lane or a few,
// lanes taken out, put in and restarted, copies of the bank. After every
// operation or a few each lane's numbers are its Pid's to the bit, read
// while the bank may still have some to derive.
#include <korvel/pid.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "bytes.hpp"

namespace {

using korvel::Pid;
using korvel::PidBank;

// Number k of a Pid, as the bank names them.
double field(const Pid& p, PidBank::Number k) {
    const auto& q = p.params();
    const auto& h = p.history();
    const auto& s = p.saved();
    const double v[] = {p.TS(), q.KP,    q.TI,    q.TD,    q.N,     p.op_hi(), p.op_lo(),
                        h.et1,  h.et2,   h.OP1,   h.FF1,   h.dOPD1, s.OP,      s.OPcal,
                        s.dOP,  s.dOP_P, s.dOP_I, s.dOP_D, s.dFF};
    return v[k];
}
// Sets number k of a Pid as given, as set_numbers does.
void set_field(Pid& p, PidBank::Number k, double v) {
    auto& q = p.params_mut();
    auto& h = p.history_mut();
    auto& s = p.saved_mut();
    double* f[] = {nullptr, &q.KP,    &q.TI,    &q.TD,    &q.N,     nullptr, nullptr,
                   &h.et1,  &h.et2,   &h.OP1,   &h.FF1,   &h.dOPD1, &s.OP,   &s.OPcal,
                   &s.dOP,  &s.dOP_P, &s.dOP_I, &s.dOP_D, &s.dFF};
    if (k == PidBank::TS)
        p.set_TS(v);
    else if (k == PidBank::hi)
        p.set_hi(v);
    else if (k == PidBank::lo)
        p.set_lo(v);
    else
        *f[k] = v;
}

void same_pid(const Pid& a, const Pid& b) {
    FUZZ_CHECK(a.ini_flag() == b.ini_flag());
    for (std::size_t k = 0; k < PidBank::n_numbers; ++k)
        FUZZ_CHECK(fuzz::same(field(a, PidBank::Number(k)), field(b, PidBank::Number(k))));
}

// One input of a call: one value for every lane (stride 0), one per lane,
// or one per lane at every other place.
struct Input {
    std::vector<double> v;
    std::ptrdiff_t stride;
    korvel::Lanes lanes() const noexcept { return {v.data(), stride}; }
    double operator[](std::size_t i) const noexcept { return lanes()[i]; }
};

template <class Draw> Input input(fuzz::Bytes& in, std::size_t n, Draw&& draw) {
    const unsigned kind = in.u8() % 4;
    Input x{std::vector<double>(kind < 2    ? 1
                                : kind == 2 ? n
                                            : 2 * n),
            static_cast<std::ptrdiff_t>(kind < 2 ? 0 : kind - 1)};
    for (double& d : x.v)
        d = draw();
    return x;
}

// Modes: automatic mostly, then tracking, the rounding edges, and values
// that cannot be rounded.
double mode(fuzz::Bytes& in, bool automatic) {
    constexpr double inf = std::numeric_limits<double>::infinity(),
                     nan = std::numeric_limits<double>::quiet_NaN();
    static const double modes[] = {1.0, 1.4,  0.5000001, 1.4999999, 0.0, 2.0, 0.5,
                                   1.5, -1.0, 7.0,       nan,       inf, -inf};
    const std::size_t k = in.u8() % (automatic ? 4 : 14);
    return k < 13 ? modes[k] : in.number();
}

// Parameters: zero (no integral or derivative term), small powers of two
// of either sign, anything.
double parameter(fuzz::Bytes& in) {
    const unsigned k = in.u8() % 5;
    if (k < 2) return k == 0 ? 0.0 : in.number();
    const double v = std::ldexp(1.0 + in.u8(), static_cast<int>(in.u8() % 16) - 8);
    return in.u8() % 8 ? v : -v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::size_t n = in.below(21);
    const double TS = in.u8() % 8 ? 0.25 * (1 + in.u8() % 8) : in.number();
    PidBank bank(n, TS);
    std::vector<Pid> pids(n, Pid(TS));
    std::vector<double> out(n);
    std::vector<korvel::PidModeError> err(n);
    std::vector<std::uint8_t> refused(n);

    while (!in.empty()) {
        const bool tame = in.u8() % 4 != 0;
        const auto value = [&] { return tame ? in.finite() : in.number(); };
        switch (in.u8() % 10) {
        case 0:
        case 1:
        case 2: { // a sample of every lane; one lane's odd mode stops the others
            const bool automatic = in.flag();
            const Input m = input(in, n, [&] { return mode(in, automatic); });
            const Input SP = input(in, n, value), PV = input(in, n, value),
                        TV = input(in, n, value), FF = input(in, n, value);
            std::size_t odd = 0;
            for (std::size_t i = 0; i < n; ++i)
                odd += !std::isfinite(m[i]);
            FUZZ_CHECK(bank.run(m.lanes(), SP.lanes(), PV.lanes(), TV.lanes(), FF.lanes(),
                                out.data(), err.data()) == odd);
            for (std::size_t i = 0; i < n; ++i) {
                if (odd && std::isfinite(m[i])) {
                    FUZZ_CHECK(err[i] == korvel::PidModeError::none);
                    continue;
                }
                korvel::PidModeError e;
                const double y = pids[i].run(m[i], SP[i], PV[i], TV[i], FF[i], e);
                FUZZ_CHECK(odd ? err[i] == e : fuzz::same(out[i], y));
            }
            break;
        }
        case 3: { // the automatic step alone, once every lane has started
            bool started = true;
            for (const Pid& p : pids)
                started = started && !p.ini_flag();
            if (!started) break;
            const Input SP = input(in, n, value), PV = input(in, n, value),
                        FF = input(in, n, value);
            bank.automatic(SP.lanes(), PV.lanes(), FF.lanes(), out.data());
            for (std::size_t i = 0; i < n; ++i)
                FUZZ_CHECK(fuzz::same(out[i], pids[i].automatic(SP[i], PV[i], FF[i])));
            break;
        }
        case 4: { // retuned, every lane or some (the others given their own)
            const bool all = in.flag();
            std::vector<double> p[4];
            for (std::size_t k = 0; k < 4; ++k)
                for (std::size_t i = 0; i < (all ? 1 : n); ++i)
                    p[k].push_back(all || in.flag()
                                       ? parameter(in)
                                       : field(pids[i], PidBank::Number(PidBank::KP + k)));
            const auto at = [&](std::size_t k) {
                return all ? korvel::Lanes::all(p[k][0]) : korvel::Lanes{p[k].data()};
            };
            bank.set_params(at(0), at(1), at(2), at(3));
            for (std::size_t i = 0; i < n; ++i)
                pids[i].set_params(at(0)[i], at(1)[i], at(2)[i], at(3)[i]);
            break;
        }
        case 5: { // limits, some refused
            const Input hi = input(in, n, value), lo = input(in, n, value);
            std::size_t bad = 0;
            for (std::size_t i = 0; i < n; ++i)
                bad += !(hi[i] >= lo[i]);
            FUZZ_CHECK(bank.set_limits(hi.lanes(), lo.lanes(), refused.data()) == bad);
            for (std::size_t i = 0; i < n; ++i)
                FUZZ_CHECK(pids[i].set_limits(hi[i], lo[i]) == !refused[i]);
            break;
        }
        case 6: { // restarted
            const Input SP = input(in, n, value), PV = input(in, n, value),
                        TV = input(in, n, value), FF = input(in, n, value);
            bank.reset(SP.lanes(), PV.lanes(), TV.lanes(), FF.lanes());
            for (std::size_t i = 0; i < n; ++i)
                pids[i].reset(SP[i], PV[i], TV[i], FF[i]);
            break;
        }
        case 7: { // one number of every lane or some, as given
            const auto k = PidBank::Number(in.below(PidBank::n_numbers));
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i)
                v[i] = in.flag() ? (k == PidBank::TD ? parameter(in) : value()) : field(pids[i], k);
            const bool all = n && in.u8() % 4 == 0;
            if (all) std::fill(v.begin(), v.end(), v[0]);
            bank.set_numbers(k, all ? korvel::Lanes::all(v[0]) : korvel::Lanes{v.data()});
            for (std::size_t i = 0; i < n; ++i)
                set_field(pids[i], k, v[i]);
            break;
        }
        case 8: { // a lane put in: another lane's Pid, run on its own a while and altered
            if (n == 0) break;
            const std::size_t i = in.below(n);
            Pid p = in.u8() % 4 ? pids[in.below(n)] : Pid(value());
            for (std::size_t k = in.below(4); k > 0; --k) {
                korvel::PidModeError e;
                p.run(mode(in, in.flag()), value(), value(), value(), value(), e);
            }
            if (in.flag()) set_field(p, PidBank::Number(in.below(PidBank::n_numbers)), value());
            if (in.flag()) p.set_ini_flag(in.flag());
            bank.set(i, p);
            pids[i] = p;
            break;
        }
        case 9: { // lanes read and restarted by hand, the bank copied
            if (n && in.flag()) {
                const std::size_t i = in.below(n);
                same_pid(bank.get(i), pids[i]);
                const auto k = PidBank::Number(in.below(PidBank::n_numbers));
                const std::vector<double> all = bank.numbers(k);
                for (std::size_t j = 0; j < n; ++j)
                    FUZZ_CHECK(fuzz::same(all[j], field(pids[j], k)));
                const bool first = in.flag();
                bank.ini[i] = first;
                pids[i].set_ini_flag(first);
            }
            PidBank copy = bank;
            bank = in.flag() ? std::move(copy) : PidBank(copy);
            break;
        }
        }
        FUZZ_CHECK(bank.size() == n);
        // Read now and then, so numbers the bank owes also meet later steps.
        if (!in.empty() && in.u8() % 3) continue;
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK((bank.ini[i] != 0) == pids[i].ini_flag());
            for (std::size_t k = 0; k < PidBank::n_numbers; ++k)
                FUZZ_CHECK(fuzz::same(bank.number(PidBank::Number(k), i),
                                      field(pids[i], PidBank::Number(k))));
        }
    }
    return 0;
}
