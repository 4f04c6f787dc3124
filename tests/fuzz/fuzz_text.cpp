// Numbers and times as text: repr reads back to the same double, is the
// shortest text that does, and takes the positional or exponent form by the
// exponent; time stamps have their fixed width.
#include <korvel/labbias.hpp>
#include <korvel/text.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include "bytes.hpp"

namespace {

void check_repr(double v) {
    const std::string s = korvel::float_repr(v);
    if (std::isnan(v)) {
        FUZZ_CHECK(s == "nan");
        return;
    }
    if (std::isinf(v)) {
        FUZZ_CHECK(s == (v < 0 ? "-inf" : "inf"));
        return;
    }
    const double back = std::strtod(s.c_str(), nullptr);
    FUZZ_CHECK(std::memcmp(&back, &v, sizeof v) == 0);
    // The significant digits and the power of ten of the first one.
    std::string digits;
    int lead = 0;
    bool seen_point = false;
    std::size_t i = s[0] == '-' ? 1 : 0;
    for (; i < s.size() && s[i] != 'e'; ++i) {
        if (s[i] == '.') {
            seen_point = true;
            continue;
        }
        FUZZ_CHECK(s[i] >= '0' && s[i] <= '9');
        if (digits.empty() && s[i] == '0') {
            if (seen_point) --lead;
            continue;
        }
        digits += s[i];
    }
    const bool exp_form = i < s.size();
    FUZZ_CHECK(exp_form || seen_point); // "1.0", never "1"
    if (v == 0.0) {
        FUZZ_CHECK(s == (std::signbit(v) ? "-0.0" : "0.0"));
        return;
    }
    int power = exp_form ? std::atoi(s.c_str() + i + 1) : (lead < 0 ? lead - 1 : 0);
    if (!exp_form && lead == 0) {
        int k = 0; // digits before the point, leading zeros dropped
        for (std::size_t j = s[0] == '-' ? 1 : 0; s[j] != '.'; ++j)
            k += !(k == 0 && s[j] == '0');
        power = k - 1;
    }
    FUZZ_CHECK(exp_form == (power < -4 || power >= 16));
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    FUZZ_CHECK(!digits.empty() && digits.size() <= 17);
    // One digit fewer does not read back (away from powers of two, where
    // the interval that reads back is lopsided).
    int e2;
    if (digits.size() > 1 && std::fabs(std::frexp(v, &e2)) != 0.5) {
        char shorter[64];
        std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(digits.size()) - 2, v);
        FUZZ_CHECK(std::strtod(shorter, nullptr) != v);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    while (!in.empty()) {
        const double v = in.number();
        check_repr(v);
        check_repr(std::nextafter(v, 0.0));

        const std::time_t t = in.flag() ? static_cast<std::time_t>(in.integer())
                                        : static_cast<std::time_t>(in.range(-1LL << 34, 1LL << 34));
        std::tm tm{};
        const bool representable = localtime_r(&t, &tm) != nullptr;
        std::string text;
        try {
            korvel::append_local_time(text, t);
            FUZZ_CHECK(representable);
            const int year = tm.tm_year + 1900;
            if (year >= 1000 && year <= 9999) {
                FUZZ_CHECK(text.size() == 19);
                FUZZ_CHECK(text[4] == '-' && text[7] == '-' && text[10] == ' ' && text[13] == ':' &&
                           text[16] == ':');
            }
        } catch (const std::overflow_error&) {
            FUZZ_CHECK(!representable);
        }

        const double secs = in.number();
        try {
            const std::time_t w = korvel::whole_seconds(secs);
            FUZZ_CHECK(!std::isnan(secs) && static_cast<double>(w) == std::floor(secs));
            std::string row;
            try {
                row = korvel::lab_row(t, secs, v);
            } catch (const std::overflow_error&) {
                continue;
            }
            FUZZ_CHECK(!row.empty() && row.back() == '\n');
            FUZZ_CHECK(row.substr(row.rfind(',') + 1) == korvel::float_repr(v) + "\n");
        } catch (const std::invalid_argument&) {
            FUZZ_CHECK(std::isnan(secs));
        } catch (const std::overflow_error&) {
            FUZZ_CHECK(!(std::floor(secs) >= -9223372036854775808.0 &&
                         std::floor(secs) < 9223372036854775808.0));
        }
    }
    return 0;
}
