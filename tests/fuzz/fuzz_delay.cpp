// The delay line and the growable delay buffer against deques.
#include <korvel/delay.hpp>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "bytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::size_t cap = in.below(40);
    korvel::DelayLine<std::string> line(cap);
    std::deque<std::string> ref; // newest first
    korvel::DelayBuffer buf;
    std::deque<double> bref; // newest first

    while (!in.empty()) {
        switch (in.u8() % 6) {
        case 0: {
            const std::string v(20, static_cast<char>('a' + in.u8() % 26));
            line.push(v);
            if (cap == 0) break;
            if (ref.empty()) ref.assign(cap, v);
            if (ref.size() == cap) ref.pop_back();
            ref.push_front(v);
            break;
        }
        case 1: {
            const long long lag = in.u8() % 8 == 0 ? in.integer() : in.range(-2, 45);
            const bool ok = line.valid_lag(lag);
            FUZZ_CHECK(ok ==
                       (lag >= 0 && static_cast<unsigned long long>(lag) < cap && !ref.empty()));
            if (ok) {
                FUZZ_CHECK(static_cast<std::size_t>(lag) < ref.size());
                FUZZ_CHECK(line.at(static_cast<std::size_t>(lag)) == ref[lag]);
            }
            break;
        }
        case 2: {                                          // restore a history
            std::vector<std::string> h(in.below(cap + 3)); // too long now and then
            for (auto& s : h)
                s = std::string(18, static_cast<char>('A' + in.u8() % 26));
            line.assign(h.begin(), h.end());
            ref.assign(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(std::min(h.size(), cap)));
            while (!ref.empty() && ref.size() < cap)
                ref.push_back(ref.back());
            break;
        }
        case 3: {
            korvel::DelayLine<std::string> copy = line;
            line = std::move(copy);
            break;
        }
        case 4: {
            const double u = in.finite();
            const std::size_t lag = in.u8() % 16 == 0 ? in.below(3000) : in.below(24);
            const double y = buf.step(u, lag);
            if (bref.empty()) bref.push_back(u);
            while (bref.size() < lag + 1)
                bref.push_back(bref.back());
            bref.pop_back();
            bref.push_front(u);
            FUZZ_CHECK(fuzz::same(y, bref[lag]));
            break;
        }
        case 5: {
            const std::vector<double> h = buf.history();
            FUZZ_CHECK(std::equal(h.begin(), h.end(), bref.begin(), bref.end()));
            // Growing a copy of the history repeats its oldest sample.
            std::vector<double> grown(h.size() + in.below(8));
            korvel::extend_with_oldest(h.data(), h.size(), grown.data(), grown.size());
            for (std::size_t i = 0; i < grown.size() && !h.empty(); ++i)
                FUZZ_CHECK(grown[i] == (i < h.size() ? h[i] : h.back()));
            break;
        }
        }
        FUZZ_CHECK(line.size() == ref.size() && line.capacity() == cap);
        std::size_t i = 0;
        line.for_each([&](const std::string& s) { FUZZ_CHECK(s == ref[i++]); });
    }
    return 0;
}
