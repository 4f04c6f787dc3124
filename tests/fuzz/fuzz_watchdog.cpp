// The watchdog counter against floored arithmetic in 128 bits.
#include <korvel/watchdog.hpp>

#include <climits>

#include "bytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    korvel::WatchDog w, twin;
    while (!in.empty()) {
        if (in.u8() % 8 == 0) {
            const long long t = in.integer();
            w.set_ticks(t);
            twin.set_ticks(t);
        }
        const long long m = in.u8() % 4 == 0 ? in.integer() : in.range(-3, 20);
        const long long before = w.ticks();
        const auto v = w.step(m);
        FUZZ_CHECK(twin.step(m) == v);
        if (m == -1 || m == LLONG_MAX || before == LLONG_MAX) {
            FUZZ_CHECK(!v && w.ticks() == before);
            continue;
        }
        FUZZ_CHECK(v && *v == w.ticks());
        const __int128 mod = static_cast<__int128>(m) + 1, next = static_cast<__int128>(before) + 1;
        __int128 r = next % mod;
        if (r != 0 && ((r < 0) != (mod < 0))) r += mod;
        FUZZ_CHECK(*v == static_cast<long long>(r));
        if (m >= 0) FUZZ_CHECK(*v >= 0 && *v <= m);
    }
    return 0;
}
