// The constant-signal window against a deque and the rule spelt out: every
// neighbour pair closer than 1e-6, and the first sample minus itself too.
#include <korvel/constdetect.hpp>

#include <cmath>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace {

bool constant(const std::deque<double>& q) {
    if (q.empty()) return true;
    if (!(std::fabs(q[0] - q[0]) < 1e-6)) return false;
    for (std::size_t i = 1; i < q.size(); ++i)
        if (!(std::fabs(q[i] - q[i - 1]) < 1e-6)) return false;
    return true;
}

double sample(fuzz::Bytes& in, double last) {
    switch (in.u8() % 4) {
    case 0:
        return in.number();
    case 1:
        return last;
    default: // near the last one, across the tolerance
        return last + in.bounded(2e-6);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    korvel::ConstWindow<> w;
    std::optional<korvel::ConstWindow<>> twin;
    std::deque<double> ref;
    double last = 0.0;

    while (!in.empty()) {
        switch (in.u8() % 3) {
        case 0:
        case 1: {
            const double x = sample(in, last);
            last = std::isfinite(x) ? x : 0.0;
            const long long n = in.u8() % 16 == 0 ? in.range(-3, 300) : in.range(1, 12);
            ref.push_back(x);
            while (static_cast<long long>(ref.size()) < n)
                ref.push_back(x);
            while (static_cast<long long>(ref.size()) > n && !ref.empty())
                ref.pop_front();
            bool got;
            try {
                got = w.step(x, n);
            } catch (const std::out_of_range&) {
                FUZZ_CHECK(n <= 0 && w.samples().empty());
                ref.clear();
                twin.reset();
                break;
            }
            FUZZ_CHECK(n > 0 && got == constant(ref));
            if (twin) FUZZ_CHECK(twin->step(x, n) == got);
            break;
        }
        case 2: {
            if (in.flag()) {
                twin = w;
                break;
            }
            std::vector<double> h(in.below(20));
            for (double& v : h)
                v = last = sample(in, last);
            w.assign(h.begin(), h.end());
            ref.assign(h.begin(), h.end());
            FUZZ_CHECK(w.constant() == constant(ref));
            twin.reset();
            break;
        }
        }
        FUZZ_CHECK(w.samples().size() == ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i)
            FUZZ_CHECK(fuzz::same(w.samples()[i], ref[i]));
        FUZZ_CHECK(w.constant() == constant(ref));
    }
    return 0;
}
