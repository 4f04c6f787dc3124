// Numbers and times as text, the way the blocks write them.
//
// float_repr is Python's repr(float): the shortest decimal text that reads
// back as the same double, positional when the decimal exponent (the power of
// ten of the first significant digit) lies in [-4, 15] with at least one digit
// after the point, otherwise "d.ddde+XX" with an explicit sign and at least
// two exponent digits; "nan", "inf", "-inf". std::to_chars gives the shortest
// digits (the one nearest the value when several are as short), as Python's
// conversion does.
//
// local_time_text is "%Y-%m-%d %H:%M:%S" of a time in whole seconds since the
// epoch in the local time zone (as the C library's localtime sees TZ).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <system_error>

namespace korvel {

inline void append_float_repr(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
    if (r.ec != std::errc()) throw std::runtime_error("float to text failed");
    *r.ptr = '\0'; // to_chars does not end the text
    // buf: [-]d[.ddd]e[+-]XX
    const char* p = buf;
    const char* end = r.ptr;
    if (*p == '-') out += *p++;
    std::string digits;
    while (p < end && *p != 'e') {
        if (*p != '.') digits += *p;
        ++p;
    }
    const int exp = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (exp < -4 || exp >= 16) {
        out += digits[0];
        if (digits.size() > 1) out.append(".").append(digits, 1);
        char e[16];
        std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
        out += e;
        return;
    }
    if (exp < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exp - 1), '0').append(digits);
        return;
    }
    const auto whole = static_cast<std::size_t>(exp) + 1;
    if (digits.size() <= whole) {
        out.append(digits).append(whole - digits.size(), '0').append(".0");
        return;
    }
    out.append(digits, 0, whole).append(".").append(digits, whole);
}

inline std::string float_repr(double v) {
    std::string s;
    append_float_repr(s, v);
    return s;
}

// std::overflow_error for a time the platform's time_t or struct tm cannot
// hold.
inline void append_local_time(std::string& out, std::time_t t) {
    std::tm local{};
    if (!localtime_r(&t, &local))
        throw std::overflow_error("timestamp out of range for platform time_t");
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    out.append(text, n);
}

// Seconds since the epoch rounded down to a whole second, as a time_t; NaN
// is std::invalid_argument, a value beyond time_t std::overflow_error.
inline std::time_t whole_seconds(double seconds) {
    if (std::isnan(seconds)) throw std::invalid_argument("Invalid value NaN (not a number)");
    const double f = std::floor(seconds);
    if (!(f >= -9223372036854775808.0 && f < 9223372036854775808.0))
        throw std::overflow_error("timestamp out of range for platform time_t");
    return static_cast<std::time_t>(f);
}

} // namespace korvel
