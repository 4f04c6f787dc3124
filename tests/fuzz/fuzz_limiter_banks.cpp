// The limiter banks against their scalar limiters: every lane answers as its
// own limiter would, to the bit, whatever mix of shared and per-lane inputs,
// lanes taken out, put in or started afresh, and copies of the bank.
#include <korvel/limiters.hpp>

#include <optional>
#include <vector>

#include "bytes.hpp"

namespace {

// One input of a step: shared by every lane (stride 0) or one per lane.
struct Input {
    std::vector<double> v;
    korvel::Lanes lanes() const noexcept {
        return v.size() == 1 ? korvel::Lanes::all(v[0]) : korvel::Lanes{v.data()};
    }
};

Input input(fuzz::Bytes& in, std::size_t n, bool tame) {
    Input x{std::vector<double>(in.flag() ? 1 : n)};
    for (double& d : x.v)
        d = tame ? in.finite() : in.number();
    return x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::size_t n = 1 + in.below(17);
    korvel::AntiWindupBank aw(n);
    std::vector<korvel::AntiWindup> aws(n);
    korvel::RateLimiterBank rl(n);
    std::vector<korvel::RateLimiter> rls;
    for (std::size_t i = 0; i < n; ++i) {
        rls.emplace_back(in.finite(), in.u8() % 4 ? in.finite() : in.number());
        rl.set(i, rls[i]);
    }
    std::vector<double> out(n);

    while (!in.empty()) {
        const bool tame = in.u8() % 4 != 0;
        switch (in.u8() % 6) {
        case 0: { // anti-windup step
            const Input u = input(in, n, tame), hi = input(in, n, tame), lo = input(in, n, tame);
            aw.step(u.lanes(), hi.lanes(), lo.lanes(), out.data());
            for (std::size_t i = 0; i < n; ++i)
                FUZZ_CHECK(
                    fuzz::same(out[i], aws[i].step(u.lanes()[i], hi.lanes()[i], lo.lanes()[i])));
            break;
        }
        case 1: { // rate step, with or without falling rates
            const Input u = input(in, n, tame), rise = input(in, n, tame);
            if (in.flag()) {
                const Input fall = input(in, n, tame);
                rl.step(u.lanes(), rise.lanes(), fall.lanes(), out.data());
                for (std::size_t i = 0; i < n; ++i)
                    FUZZ_CHECK(fuzz::same(
                        out[i], rls[i].step(u.lanes()[i], rise.lanes()[i], fall.lanes()[i])));
            } else {
                rl.step(u.lanes(), rise.lanes(), out.data());
                for (std::size_t i = 0; i < n; ++i)
                    FUZZ_CHECK(fuzz::same(out[i], rls[i].step(u.lanes()[i], rise.lanes()[i])));
            }
            break;
        }
        case 2: { // reset every lane
            const Input v = input(in, n, tame);
            rl.reset(v.lanes());
            for (std::size_t i = 0; i < n; ++i)
                rls[i].reset(v.lanes()[i]);
            break;
        }
        case 3: { // a lane put in: fresh, part of a history, or another lane
            const std::size_t i = in.below(n), j = in.below(n);
            korvel::AntiWindup a = in.flag() ? korvel::AntiWindup() : aws[j];
            if (in.flag()) a.set_u0(in.flag() ? std::nullopt : std::optional(in.number()));
            if (in.flag()) a.set_y0(in.flag() ? std::nullopt : std::optional(in.number()));
            aw.set(i, aws[i] = a);
            rl.set(i, rls[i] = rls[j]);
            break;
        }
        case 4: { // a lane taken out continues as the lane
            const std::size_t i = in.below(n);
            aws[i] = aw.get(i);
            rls[i] = rl.get(i);
            break;
        }
        case 5: { // a copy of the bank continues as the bank
            korvel::AntiWindupBank aw_copy = aw;
            korvel::RateLimiterBank rl_copy = rl;
            aw = std::move(aw_copy);
            rl = std::move(rl_copy);
            break;
        }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const korvel::AntiWindup a = aw.get(i);
        FUZZ_CHECK(a.u0().has_value() == aws[i].u0().has_value() &&
                   a.y0().has_value() == aws[i].y0().has_value());
        if (a.u0()) FUZZ_CHECK(fuzz::same(*a.u0(), *aws[i].u0()));
        if (a.y0()) FUZZ_CHECK(fuzz::same(*a.y0(), *aws[i].y0()));
        FUZZ_CHECK(fuzz::same(rl.get(i).last(), rls[i].last()) &&
                   fuzz::same(rl.get(i).Ts(), rls[i].Ts()));
    }
    return 0;
}
