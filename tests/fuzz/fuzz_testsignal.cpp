// The test signal against its cycle arithmetic done in 128 bits, and the
// announced level changes against the signal itself.
#include <korvel/testsignal.hpp>

#include <cmath>
#include <optional>
#include <vector>

#include "bytes.hpp"

namespace {

using i128 = __int128;

i128 floor_div(i128 a, i128 b) {
    i128 q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}

struct Expected {
    bool high;
    i128 next[5];
};

std::optional<Expected> expected(const std::vector<double>& table, long long ET, long long t) {
    constexpr long long max_ET = 1LL << 40, max_sw = 1LL << 60;
    const auto L = static_cast<i128>(table.size());
    if (ET == 0 || ET > max_ET || ET < -max_ET || L == 0) return std::nullopt;
    const i128 period = 2 * static_cast<i128>(ET);
    const i128 index = floor_div(t, period);
    i128 id = index % L;
    if (id < 0) id += L;
    i128 sw[3];
    for (int k = 0; k < 3; ++k) {
        const double x =
            static_cast<double>(period) * table[static_cast<std::size_t>((id + k) % L)];
        if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return std::nullopt;
        sw[k] = static_cast<long long>(x);
        if (sw[k] > max_sw || sw[k] < -max_sw) return std::nullopt;
    }
    const i128 tp = t - index * period, e = ET;
    if (tp < sw[0])
        return Expected{
            true, {sw[0] - tp, period - tp, period - tp + sw[1], 4 * e - tp, 4 * e - tp + sw[2]}};
    return Expected{false,
                    {period - tp, period - tp + sw[1], 4 * e - tp, 4 * e - tp + sw[2], 6 * e - tp}};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool plain = in.u8() % 4 != 0; // fractions in [0, 1], positive ET
    std::vector<double> table(in.below(12));
    for (double& f : table)
        f = plain ? static_cast<double>(in.u16()) / 65535.0 : in.number();
    long long ET = plain ? in.range(1, 60) : in.integer();
    const double amp = in.number();
    korvel::TestSignal s(table, ET, amp);
    FUZZ_CHECK(std::isnan(s.amplitude()) ? false : s.amplitude() >= 0.0);
    FUZZ_CHECK(s.amplitude() == (amp > 0.0 ? amp : 0.0));

    while (!in.empty()) {
        if (in.u8() % 16 == 0) {
            ET = plain ? in.range(1, 60) : in.integer();
            s.set_ET(ET);
        }
        const long long t = in.flag() ? in.range(-100000, 100000) : in.integer();
        const auto got = s.at(t);
        const auto want = expected(table, ET, t);
        FUZZ_CHECK(got.has_value() == want.has_value());
        if (!got) continue;
        FUZZ_CHECK(got->U == (want->high ? s.amplitude() : -s.amplitude()));
        for (int k = 0; k < 5; ++k)
            FUZZ_CHECK(got->next[k] == want->next[k]);
        if (!plain) continue;
        // The level holds until the first announced change, and the changes
        // come in order.
        FUZZ_CHECK(got->next[0] > 0);
        for (int k = 1; k < 5; ++k)
            FUZZ_CHECK(got->next[k] >= got->next[k - 1]);
        long long later;
        const long long k = static_cast<long long>(
            in.below(static_cast<std::size_t>(std::min<long long>(got->next[0], 1LL << 20))));
        if (!__builtin_add_overflow(t, k, &later)) {
            const auto then = s.at(later);
            FUZZ_CHECK(then && then->U == got->U && then->next[0] == got->next[0] - k);
        }
    }
    return 0;
}
