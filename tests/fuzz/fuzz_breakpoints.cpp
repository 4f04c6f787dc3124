// Breakpoint text: the split against a plain transcription of the rule, the
// number reader against a grammar and strtod, and printed tables read back.
#include <korvel/breakpoints.hpp>
#include <korvel/text.hpp>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "bytes.hpp"

namespace {

std::vector<std::string> split_all(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (char c : s)
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    return out;
}

// float()'s grammar over ASCII, written out separately from the reader.
bool grammar_accepts(const std::string& s) {
    static const std::regex number(
        "^[ \\t\\n\\v\\f\\r]*[+-]?("
        "(([0-9](_?[0-9])*)?\\.[0-9](_?[0-9])*|[0-9](_?[0-9])*\\.?)([eE][+-]?[0-9](_?[0-9])*)?"
        "|[iI][nN][fF]([iI][nN][iI][tT][yY])?|[nN][aA][nN])[ \\t\\n\\v\\f\\r]*$");
    return std::regex_match(s, number);
}

void check_number(const std::string& field) {
    const auto v = korvel::read_number(field);
    if (field.size() <= 48) FUZZ_CHECK(v.has_value() == grammar_accepts(field));
    if (!v) {
        bool threw = false;
        try {
            korvel::to_number(field);
        } catch (const korvel::bad_number&) {
            threw = true;
        }
        FUZZ_CHECK(threw);
        return;
    }
    std::string plain;
    for (char c : field)
        if (c != '_' && !std::strchr(" \t\n\v\f\r", c)) plain += c;
    const double want = std::strtod(plain.c_str(), nullptr);
    FUZZ_CHECK(fuzz::same(*v, want));
    if (std::isnan(*v)) FUZZ_CHECK(std::signbit(*v) == (plain[0] == '-'));
}

bool less_x(double a, double b) {
    return !std::isnan(a) && (std::isnan(b) || a < b);
}

std::string print(const korvel::Breakpoints& t, fuzz::Bytes& in) {
    static const char* const noise[] = {"", " ", "\t", "  "};
    std::string s;
    for (std::size_t i = 0; i < t.x.size(); ++i) {
        if (i) s += '#';
        if (in.u8() % 4 == 0) s += "#junk#,#"; // skipped entries
        s += noise[in.u8() % 4];
        korvel::append_float_repr(s, t.x[i]);
        s += noise[in.u8() % 4];
        s += ',';
        s += noise[in.u8() % 4];
        korvel::append_float_repr(s, t.y[i]);
        if (in.u8() % 4 == 0) s += ",ignored,1";
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::setlocale(LC_NUMERIC, "C");
    fuzz::Bytes in(data, size);
    const std::size_t cut = size ? in.u8() : 0;
    const std::string text = in.rest();
    fuzz::Bytes noise(data, std::min<std::size_t>(size, cut));

    // The split, against the rule spelt out on whole strings.
    std::vector<std::string> xs, ys;
    for (const std::string& e : split_all(text, '#'))
        if (e.find(',') != std::string::npos && e.size() >= 2) {
            const std::vector<std::string> f = split_all(e, ',');
            xs.push_back(f[0]);
            ys.push_back(f[1]);
        }
    const auto fields = korvel::breakpoint_fields(text);
    FUZZ_CHECK(fields.size() == xs.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FUZZ_CHECK(fields[i].x == xs[i] && fields[i].y == ys[i]);
        FUZZ_CHECK(fields[i].x.data() >= text.data() &&
                   fields[i].y.data() + fields[i].y.size() <= text.data() + text.size());
    }

    // Each field, and the text as a whole: parsed, or refused with the first
    // bad x (then the first bad y) named.
    const std::string* first_bad = nullptr;
    for (const std::string& f : xs)
        if (!first_bad && !korvel::read_number(f)) first_bad = &f;
    for (const std::string& f : ys)
        if (!first_bad && !korvel::read_number(f)) first_bad = &f;
    for (const auto& f : xs)
        check_number(f);
    for (const auto& f : ys)
        check_number(f);
    check_number(text.substr(0, 64));

    korvel::Breakpoints t;
    try {
        t = korvel::parse_breakpoints(text);
    } catch (const korvel::bad_number& e) {
        FUZZ_CHECK(first_bad);
        // what() ends at a NUL the field may hold.
        const std::string want = "could not convert string to float: '" + *first_bad + "'";
        FUZZ_CHECK(std::strcmp(e.what(), want.c_str()) == 0);
        return 0;
    }
    FUZZ_CHECK(!first_bad);
    FUZZ_CHECK(t.x.size() == xs.size() && t.y.size() == ys.size());

    // Sorted, NaNs last, and a permutation of the pairs as read.
    for (std::size_t i = 1; i < t.x.size(); ++i)
        FUZZ_CHECK(!less_x(t.x[i], t.x[i - 1]));
    std::vector<std::pair<std::string, std::string>> got, want;
    for (std::size_t i = 0; i < t.x.size(); ++i) {
        got.emplace_back(korvel::float_repr(t.x[i]), korvel::float_repr(t.y[i]));
        want.emplace_back(korvel::float_repr(*korvel::read_number(xs[i])),
                          korvel::float_repr(*korvel::read_number(ys[i])));
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    FUZZ_CHECK(got == want);

    // What it parsed prints back to the same table, whatever the noise.
    const korvel::Breakpoints back = korvel::parse_breakpoints(print(t, noise));
    FUZZ_CHECK(fuzz::same(back.x, t.x) && fuzz::same(back.y, t.y));
    return 0;
}
