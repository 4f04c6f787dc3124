// A delay bank against one delay line per lane: steps with shared and
// per-lane values (delays refused now and then), lanes taken out and put in
// with other capacities, histories restored, the bank copied.
#include <korvel/delay.hpp>

#include <cstdint>
#include <vector>

#include "bytes.hpp"

namespace {

void same_lane(const korvel::DelayBank& bank, std::size_t i,
               const korvel::DelayLine<double>& line) {
    FUZZ_CHECK(bank.capacity(i) == line.capacity() && bank.held(i) == line.held());
    for (std::size_t lag = 0; lag < line.size(); ++lag)
        FUZZ_CHECK(fuzz::same(bank.at(i, lag), line.at(lag)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::size_t n = in.below(10);
    std::vector<std::size_t> caps(n);
    for (auto& c : caps)
        c = in.below(12);
    korvel::DelayBank bank(caps);
    std::vector<korvel::DelayLine<double>> lines;
    for (std::size_t c : caps)
        lines.emplace_back(c);
    std::vector<double> u(n + 1), out(n); // one for all lanes even when there are none
    std::vector<long long> lag(n + 1);
    std::vector<std::uint8_t> refused(n);

    while (!in.empty()) {
        switch (in.u8() % 4) {
        case 0: {
            const bool shared_u = in.flag(), shared_lag = in.flag();
            for (std::size_t i = 0; i <= n; ++i) {
                u[i] = in.number();
                lag[i] = in.u8() % 8 == 0 ? in.integer() : in.range(-1, 12);
            }
            const korvel::Lanes us = shared_u ? korvel::Lanes::all(u[0]) : korvel::Lanes{u.data()};
            const korvel::LagLanes lags =
                shared_lag ? korvel::LagLanes::all(lag[0]) : korvel::LagLanes{lag.data()};
            std::size_t bad = 0;
            for (std::size_t i = 0; i < n; ++i)
                bad += !korvel::delay_law::valid_lag(caps[i], lags[i]);
            FUZZ_CHECK(bank.step(us, lags, out.data(), refused.data()) == bad);
            for (std::size_t i = 0; i < n; ++i) {
                if (bad && !refused[i]) continue; // no other lane steps
                lines[i].push(us[i]);
                FUZZ_CHECK(lines[i].valid_lag(lags[i]) == !refused[i]);
                if (!bad) FUZZ_CHECK(fuzz::same(out[i], lines[i].at(std::size_t(lags[i]))));
            }
            break;
        }
        case 1: { // a lane taken out, then a line of another capacity put in
            if (n == 0) break;
            const std::size_t i = in.below(n);
            same_lane(bank, i, bank.get(i));
            korvel::DelayLine<double> line(in.below(12));
            for (std::size_t k = in.below(14); k > 0; --k)
                line.push(in.number());
            bank.set(i, line);
            lines[i] = line;
            caps[i] = line.capacity();
            break;
        }
        case 2: { // a history restored, too long now and then
            if (n == 0) break;
            const std::size_t i = in.below(n);
            const std::vector<double> h = in.numbers(caps[i] + 2);
            bank.assign(i, h.begin(), h.end());
            lines[i].assign(h.begin(), h.end());
            break;
        }
        case 3: {
            korvel::DelayBank copy = bank;
            bank = in.flag() ? std::move(copy) : korvel::DelayBank(copy);
            break;
        }
        }
        FUZZ_CHECK(bank.size() == n);
        for (std::size_t i = 0; i < n; ++i)
            same_lane(bank, i, lines[i]);
    }
    return 0;
}
