// The flip-flop and the delay timers: on 0/1 inputs against the delays
// counted out, on any integers within the counter's range; copies continue
// exactly.
#include <korvel/timers.hpp>

#include <climits>
#include <initializer_list>
#include <tuple>

#include "bytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool binary = in.flag();
    auto delay = [&] {
        long long DT = in.u8() % 4 == 0 ? in.integer() : in.range(-1, 8);
        return DT == LLONG_MIN ? DT + 1 : DT; // the counters need DT - 1
    };
    korvel::OnDelay on(delay());
    korvel::OffDelay off(delay());
    korvel::RSLatch rs;
    korvel::OnDelay on_twin = on;
    korvel::OffDelay off_twin = off;
    long long ones = 0, zeros = 0; // lengths of the current runs of the input
    bool seen_one = false, q = false;

    while (!in.empty()) {
        switch (in.u8() % 8) {
        default: {
            const long long u = binary ? in.u8() & 1 : in.integer();
            const long long ET_on = on.ET(), ET_off = off.ET();
            const int a = on.step(u), b = off.step(u);
            FUZZ_CHECK(on_twin.step(u) == a && off_twin.step(u) == b);
            FUZZ_CHECK((a == 0 || a == 1) && (b == 0 || b == 1));
            // Each count reloads, starts at DT - 1, counts down by one or
            // rests.
            for (auto [now, before, DT] :
                 {std::tuple{on.ET(), ET_on, on.DT()}, std::tuple{off.ET(), ET_off, off.DT()}})
                FUZZ_CHECK(now == DT || now == DT - 1 || now == before || now == before - 1);
            if (u != 0) {
                ones = ones < LLONG_MAX ? ones + 1 : ones;
                zeros = 0;
                seen_one = seen_one || u > 0;
            } else {
                zeros = zeros < LLONG_MAX ? zeros + 1 : zeros;
                ones = 0;
            }
            if (binary) {
                // On-delay: high once the input has been 1 for DT samples;
                // off-delay: high while it is 1 and for DT - 1 samples after.
                FUZZ_CHECK(a == (on.DT() <= 0 || ones >= on.DT() ? 1 : 0));
                FUZZ_CHECK(b == (u == 1 ? (off.DT() > 0 ? 1 : 0)
                                        : (seen_one && zeros < off.DT() ? 1 : 0)));
            }
            break;
        }
        case 0: {
            const bool s = in.flag(), r = in.flag();
            const bool prev = q;
            q = rs.step(s, r);
            FUZZ_CHECK(q == (r ? false : (s || prev)) && rs.q() == q);
            break;
        }
        case 1:
            if (binary) break; // the run counts above assume a fixed delay
            {
                const long long DT = delay();
                on.set_DT(DT);
                on_twin.set_DT(DT);
                off.set_DT(DT);
                off_twin.set_DT(DT);
            }
            break;
        }
        FUZZ_CHECK(on.ET() == on_twin.ET() && off.ET() == off_twin.ET());
    }
    return 0;
}
