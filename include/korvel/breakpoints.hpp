// Breakpoint tables written as one line of text: "x,y#x,y#...".
//
// The text splits at every '#' into entries (empty ones included). An entry
// is used when it holds a ',' and is at least two characters long; its text
// before the first ',' is x, the text between the first and the second ','
// (or to the end) is y, and any further fields are ignored. Every other entry
// is skipped without notice.
//
// Splitting works on bytes. In UTF-8 neither '#' nor ',' occurs inside a
// multi-byte sequence, and an entry that holds a ',' is at least two bytes
// long exactly when it is at least two characters long, so a UTF-8 text (lone
// surrogates encoded as three bytes each included) splits as its characters
// would.
//
// read_number is the field rule for C++ callers: Python's float() over ASCII
// text (white space " \t\n\v\f\r around the number, an optional sign,
// decimal digits with single underscores between digits, an optional point
// and exponent, or "inf", "infinity", "nan" in any case), correctly rounded,
// overflowing to an infinity and underflowing to zero as float() does.
// Non-ASCII digits and white space, which float() also takes, are refused.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace korvel {

inline constexpr char breakpoint_entry_separator = '#';
inline constexpr char breakpoint_field_separator = ',';

// A field that is not a number.
struct bad_number : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The x and y text of one used entry: views into the text split.
struct BreakpointFields {
    std::string_view x, y;
};

// Calls f(BreakpointFields) for every used entry, in order.
template <class F> void for_each_breakpoint(std::string_view text, F&& f) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t hash = text.find(breakpoint_entry_separator, start);
        const std::size_t end = hash == std::string_view::npos ? text.size() : hash;
        const std::string_view entry = text.substr(start, end - start);
        const std::size_t comma = entry.find(breakpoint_field_separator);
        if (comma != std::string_view::npos && entry.size() >= 2) {
            const std::string_view rest = entry.substr(comma + 1);
            f(BreakpointFields{entry.substr(0, comma),
                               rest.substr(0, rest.find(breakpoint_field_separator))});
        }
        if (hash == std::string_view::npos) return;
        start = end + 1;
    }
}

inline std::vector<BreakpointFields> breakpoint_fields(std::string_view text) {
    std::vector<BreakpointFields> out;
    for_each_breakpoint(text, [&](const BreakpointFields& f) { out.push_back(f); });
    return out;
}

namespace breakpoint_detail {

constexpr bool space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool equals_folded(std::string_view s, std::string_view word) noexcept {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (lower(s[i]) != word[i]) return false;
    return true;
}

// Digits with single underscores between them, from s[i] on, appended to
// `out` without the underscores; the count of digits (0: none there).
inline std::size_t digit_part(std::string_view s, std::size_t& i, std::string& out) {
    std::size_t n = 0;
    while (i < s.size()) {
        if (digit(s[i])) {
            out += s[i++];
            ++n;
        } else if (s[i] == '_' && n > 0 && i + 1 < s.size() && digit(s[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    return n;
}

} // namespace breakpoint_detail

// The field as Python's float() reads it (see above); empty when refused.
inline std::optional<double> read_number(std::string_view field) {
    using namespace breakpoint_detail;
    std::size_t b = 0, e = field.size();
    while (b < e && space(field[b]))
        ++b;
    while (e > b && space(field[e - 1]))
        --e;
    std::string_view s = field.substr(b, e - b);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (equals_folded(s, "inf") || equals_folded(s, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    if (equals_folded(s, "nan"))
        return negative ? -std::numeric_limits<double>::quiet_NaN()
                        : std::numeric_limits<double>::quiet_NaN();

    std::string clean;
    clean.reserve(s.size() + 1);
    std::size_t i = 0;
    const std::size_t whole = digit_part(s, i, clean);
    std::size_t fraction = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        clean += '.';
        fraction = digit_part(s, i, clean);
    }
    if (whole + fraction == 0) return std::nullopt;
    const std::size_t mantissa_end = clean.size();
    long long exponent = 0; // saturated: it only has to tell overflow from underflow
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        clean += 'e';
        bool exp_negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            exp_negative = s[i] == '-';
            clean += s[i++];
        }
        const std::size_t from = clean.size();
        if (digit_part(s, i, clean) == 0) return std::nullopt;
        for (std::size_t k = from; k < clean.size() && exponent < 1000000000; ++k)
            exponent = exponent * 10 + (clean[k] - '0');
        if (exp_negative) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;

    double v = 0.0;
    const auto r =
        std::from_chars(clean.data(), clean.data() + clean.size(), v, std::chars_format::general);
    if (r.ptr != clean.data() + clean.size()) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        // Beyond the range of double: the power of ten of the first
        // significant digit says which way.
        long long lead = 0;
        std::size_t k = 0;
        while (k < mantissa_end && (clean[k] == '0' || clean[k] == '.'))
            ++k;
        const std::size_t point = std::min(clean.find('.'), mantissa_end);
        lead =
            k < point ? static_cast<long long>(point - k) : -static_cast<long long>(k - point - 1);
        v = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

// read_number, or bad_number in float()'s words.
inline double to_number(std::string_view field) {
    if (const auto v = read_number(field)) return *v;
    std::string what = "could not convert string to float: '";
    what.append(field).append("'");
    throw bad_number(what);
}

// Breakpoint lists, pair i being (x[i], y[i]).
struct Breakpoints {
    std::vector<double> x, y;
};

// The lists in the order of the text. Every x is read before any y, so a
// text with several bad fields fails on the first bad x.
inline Breakpoints read_breakpoints(std::string_view text) {
    const std::vector<BreakpointFields> fields = breakpoint_fields(text);
    Breakpoints out;
    out.x.reserve(fields.size());
    out.y.reserve(fields.size());
    for (const BreakpointFields& f : fields)
        out.x.push_back(to_number(f.x));
    for (const BreakpointFields& f : fields)
        out.y.push_back(to_number(f.y));
    return out;
}

// Ascending in x, each y staying with its x; NaNs last. Equal x keep the
// order of the text (NumPy's default sort leaves theirs unspecified).
inline void sort_by_x(Breakpoints& t) {
    if (t.x.size() != t.y.size()) throw std::invalid_argument("breakpoint lists differ in length");
    std::vector<std::size_t> order(t.x.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        const double a = t.x[i], b = t.x[j];
        return !std::isnan(a) && (std::isnan(b) || a < b);
    });
    Breakpoints s;
    s.x.reserve(order.size());
    s.y.reserve(order.size());
    for (std::size_t k : order) {
        s.x.push_back(t.x[k]);
        s.y.push_back(t.y[k]);
    }
    t = std::move(s);
}

// The table of a breakpoint text, sorted by x; bad_number for a field that
// is not a number.
inline Breakpoints parse_breakpoints(std::string_view text) {
    Breakpoints t = read_breakpoints(text);
    sort_by_x(t);
    return t;
}

} // namespace korvel
