// The ring buffer against std::deque with the same bound.
#include <korvel/ring.hpp>

#include <algorithm>
#include <deque>
#include <string>

#include "bytes.hpp"

namespace {

// Strings long enough to live on the heap, so a slot read after its
// release or a lost element shows under the address sanitizer.
std::string item(std::uint8_t v) {
    return std::string(24, static_cast<char>('a' + v % 26)) + std::to_string(v);
}

void same_contents(const korvel::Ring<std::string>& r, const std::deque<std::string>& d,
                   std::size_t cap) {
    FUZZ_CHECK(r.size() == d.size() && r.capacity() == cap && r.size() <= r.capacity());
    FUZZ_CHECK(r.empty() == d.empty() && r.full() == (d.size() == cap));
    for (std::size_t i = 0; i < d.size(); ++i)
        FUZZ_CHECK(r[i] == d[i]);
    std::size_t i = 0;
    r.for_each([&](const std::string& s) { FUZZ_CHECK(s == d[i++]); });
    FUZZ_CHECK(i == d.size());
    if (!d.empty()) FUZZ_CHECK(r.front() == d.front() && r.back() == d.back());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    std::size_t cap = in.below(20);
    korvel::Ring<std::string> r(cap);
    std::deque<std::string> d;
    korvel::Ring<int> sorted(in.below(20)); // kept ascending, for upper_bound
    std::deque<int> sd;
    int next = 0;

    while (!in.empty()) {
        switch (in.u8() % 9) {
        case 0: {
            const std::string v = item(in.u8());
            r.push_back(v);
            if (cap == 0) break;
            if (d.size() == cap) d.pop_front();
            d.push_back(v);
            break;
        }
        case 1: {
            const std::string v = item(in.u8());
            r.push_front(v);
            if (cap == 0) break;
            if (d.size() == cap) d.pop_back();
            d.push_front(v);
            break;
        }
        case 2:
            if (!d.empty()) {
                r.pop_front();
                d.pop_front();
            }
            break;
        case 3: {
            const std::size_t n = in.below(40);
            r.reserve(n);
            cap = std::max(cap, n);
            break;
        }
        case 4:
            r.clear();
            d.clear();
            break;
        case 5: { // a copy starts equal and goes its own way
            korvel::Ring<std::string> c = r;
            same_contents(c, d, cap);
            c.push_back("x");
            std::deque<std::string> dc = d;
            if (cap > 0) {
                if (dc.size() == cap) dc.pop_front();
                dc.push_back("x");
            }
            same_contents(c, dc, cap);
            korvel::Ring<std::string> m = std::move(c);
            same_contents(m, dc, cap);
            m = r;
            r = std::move(m);
            break;
        }
        case 6:
            if (!d.empty()) {
                const std::size_t i = in.below(d.size());
                const std::string v = item(in.u8());
                r[i] = v;
                d[i] = v;
            }
            break;
        case 7: {
            next += in.u8() % 3; // ties too
            sorted.push_back(next);
            if (sorted.capacity() == 0) break;
            if (sd.size() == sorted.capacity()) sd.pop_front();
            sd.push_back(next);
            break;
        }
        case 8: {
            const int x = next - static_cast<int>(in.u8() % 8);
            const auto want =
                static_cast<std::size_t>(std::upper_bound(sd.begin(), sd.end(), x) - sd.begin());
            FUZZ_CHECK(sorted.upper_bound(x) == want);
            break;
        }
        }
        same_contents(r, d, cap);
    }
    return 0;
}
