// The soft-sensor bias: the laboratory history and its new-result rule
// against a deque and the rule spelt out, the bias update against a lookup
// by hand, and a copy that continues exactly as the original.
#include <korvel/labbias.hpp>

#include <cmath>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bytes.hpp"

namespace {

bool new_result(const std::deque<double>& q, double thr) {
    if (!(std::fabs(q[1] - q[0]) >= thr)) return false;
    for (std::size_t i = 2; i < q.size(); ++i)
        if (!(std::fabs(q[i] - q[i - 1]) < 1e-6)) return false;
    return true;
}

double level(fuzz::Bytes& in, double last) {
    switch (in.u8() % 4) {
    case 0:
        return in.finite();
    case 1:
        return last + in.bounded(2e-6);
    default:
        return last;
    }
}

void history(fuzz::Bytes& in) {
    const std::size_t cap = in.below(10);
    korvel::LabHistory h(cap);
    std::deque<double> ref;
    double last = 0.0;
    const double thr = in.flag() ? 1e-6 : std::fabs(in.finite());
    while (!in.empty()) {
        switch (in.u8() % 4) {
        default: {
            const double v = last = level(in, last);
            h.record(v);
            if (cap == 0) break;
            while (ref.size() < cap)
                ref.push_back(v);
            ref.pop_front();
            ref.push_back(v);
            break;
        }
        case 1: {
            std::vector<double> v(in.below(cap + 3));
            for (double& x : v)
                x = last = level(in, last);
            h.restore(v);
            ref.clear();
            if (!v.empty() && cap > 0)
                for (std::size_t i = v.size() > cap ? v.size() - cap : 0; i < v.size(); ++i)
                    ref.push_back(v[i]);
            break;
        }
        }
        FUZZ_CHECK(h.values().size() == ref.size() && h.values().size() <= cap);
        for (std::size_t i = 0; i < ref.size(); ++i)
            FUZZ_CHECK(fuzz::same(h.values()[i], ref[i]));
        if (ref.size() >= 2)
            FUZZ_CHECK(h.new_result(thr) == new_result(ref, thr));
        else {
            bool threw = false;
            try {
                h.new_result(thr);
            } catch (const std::out_of_range&) {
                threw = true;
            }
            FUZZ_CHECK(threw);
        }
    }
}

void bias(fuzz::Bytes& in) {
    const double thr = in.flag() ? 1e-6 : std::fabs(in.finite());
    const std::size_t prd_len = in.below(8), const_len = in.below(4);
    std::size_t printed = 0;
    korvel::SoftSensor s("fz", in.flag() ? 0.0 : 1.0 + in.u8() % 8, thr, prd_len, const_len,
                         korvel::default_zoh, [&](std::string_view) { ++printed; });
    std::optional<korvel::SoftSensor> twin;
    double t = 1.7e9, lab = 0.0, lab_t = t;
    while (!in.empty()) {
        if (in.u8() % 8 == 0) {
            twin = s;
            continue;
        }
        t += in.u8() % 8 == 0 ? -30.0 : static_cast<double>(in.u8() % 120);
        lab = level(in, lab);
        if (in.u8() % 4 == 0) lab_t = t - static_cast<double>(in.u8()) * 10.0;
        const double prd = in.finite();
        const std::optional<double> trigger =
            in.u8() % 4 == 0 ? std::optional<double>(in.u8() % 2) : std::nullopt;
        if (in.u8() % 16 == 0) { // refused before anything changes
            bool threw = false;
            try {
                s.run(std::nan(""), lab, lab_t, t, trigger);
            } catch (const std::invalid_argument& e) {
                threw = std::string(e.what()).rfind("fz Bias Update: prd_data", 0) == 0;
            }
            FUZZ_CHECK(threw);
            continue;
        }
        const auto& core = s.core();
        const double old_bias = core.bias();
        const double y = s.run(prd, lab, lab_t, t, trigger);
        if (twin) FUZZ_CHECK(fuzz::same(twin->run(prd, lab, lab_t, t, trigger), y));
        FUZZ_CHECK(core.prd_data().size() == prd_len + 1 && core.prd_time().size() == prd_len + 1);
        FUZZ_CHECK(core.lab().values().size() == const_len + 2);
        if (!s.lag()) FUZZ_CHECK(fuzz::same(y, core.bias()));
        if (core.update_flag()) {
            // The newest prediction stamped at or before the laboratory time.
            const auto& times = core.prd_time();
            std::optional<std::size_t> at;
            bool sorted = true;
            for (std::size_t i = 0; i < times.size(); ++i) {
                if (i && times[i] < times[i - 1]) sorted = false;
                if (times[i] <= lab_t) at = i;
            }
            if (sorted) {
                FUZZ_CHECK(at.has_value());
                FUZZ_CHECK(fuzz::same(core.prd_data_at_labtime(), core.prd_data()[*at]));
                FUZZ_CHECK(fuzz::same(core.bias(), lab - core.prd_data()[*at]));
                FUZZ_CHECK(fuzz::same(core.current_lab_data(), lab));
            }
        } else {
            FUZZ_CHECK(fuzz::same(core.bias(), old_bias));
        }
    }
    (void)printed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    if (in.flag())
        history(in);
    else
        bias(in);
    return 0;
}
