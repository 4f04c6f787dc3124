// The fuzzer's bytes as a stream of choices, and the checks the harnesses
// abort on. Reading past the end gives zeros, so every input decodes to some
// run and short inputs stay short runs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// Equal bit for bit, any two NaNs counting as equal.
inline bool same(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same(const std::vector<double>& a, const std::vector<double>& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

class Bytes {
  public:
    Bytes(const std::uint8_t* data, std::size_t size) noexcept : p_(data), n_(size) {}

    bool empty() const noexcept { return n_ == 0; }
    std::size_t left() const noexcept { return n_; }

    std::uint8_t u8() noexcept {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() noexcept { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() noexcept { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }
    bool flag() noexcept { return u8() & 1; }

    // 0 .. n-1 (n > 0).
    std::size_t below(std::size_t n) noexcept { return n <= 256 ? u8() % n : u32() % n; }
    // lo .. hi inclusive.
    long long range(long long lo, long long hi) noexcept {
        const auto span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
        const std::uint64_t r = span < 256 ? u8() : span < 65536 ? u16() : u64();
        return static_cast<long long>(static_cast<std::uint64_t>(lo) +
                                      (span == UINT64_MAX ? r : r % (span + 1)));
    }

    // Any integer, the edges of the range often.
    long long integer() noexcept {
        switch (u8() % 8) {
        case 0:
            return static_cast<long long>(u64());
        case 1: {
            static const long long edges[] = {0,
                                              1,
                                              -1,
                                              2,
                                              -2,
                                              std::numeric_limits<long long>::max(),
                                              std::numeric_limits<long long>::min(),
                                              std::numeric_limits<long long>::max() - 1,
                                              std::numeric_limits<long long>::min() + 1,
                                              1LL << 32,
                                              1LL << 40,
                                              (1LL << 40) + 1,
                                              -(1LL << 40),
                                              1LL << 62,
                                              -(1LL << 62)};
            return edges[u8() % (sizeof edges / sizeof edges[0])];
        }
        default:
            return static_cast<long long>(static_cast<std::int8_t>(u8()));
        }
    }

    // Any double: special values, raw bits, and small "plain" numbers.
    double number() noexcept {
        switch (u8() % 8) {
        case 0: {
            const std::uint64_t bits = u64();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        case 1: {
            static const double specials[] = {0.0,
                                              -0.0,
                                              1.0,
                                              -1.0,
                                              0.5,
                                              1e-6,
                                              -1e-6,
                                              5e-7,
                                              1e-14,
                                              1e300,
                                              -1e300,
                                              std::numeric_limits<double>::infinity(),
                                              -std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::denorm_min(),
                                              std::numeric_limits<double>::min(),
                                              std::numeric_limits<double>::max(),
                                              std::numeric_limits<double>::lowest(),
                                              std::numeric_limits<double>::epsilon(),
                                              9007199254740992.0,
                                              9223372036854775808.0};
            return specials[u8() % (sizeof specials / sizeof specials[0])];
        }
        default:
            return finite();
        }
    }

    // A finite double of moderate size: a small integer over a power of two,
    // times a power of ten now and then.
    double finite() noexcept {
        const double m = static_cast<double>(static_cast<std::int16_t>(u16()));
        const int shift = u8() % 16;
        double v = std::ldexp(m, -shift);
        if (u8() % 4 == 0) v *= std::pow(10.0, static_cast<int>(u8() % 13) - 6);
        return v;
    }

    // A finite double in [-bound, bound].
    double bounded(double bound) noexcept {
        return bound * (static_cast<double>(u16()) / 32767.5 - 1.0);
    }

    std::vector<double> numbers(std::size_t max_len, bool finite_only = false) {
        const std::size_t n = below(max_len + 1);
        std::vector<double> v(n);
        for (double& x : v)
            x = finite_only ? finite() : number();
        return v;
    }

    // Up to max_len bytes, drawn from `alphabet` when one is given.
    std::string text(std::size_t max_len, const char* alphabet = nullptr) {
        const std::size_t n = below(max_len + 1);
        std::string s;
        const std::size_t an = alphabet ? std::strlen(alphabet) : 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto c = static_cast<char>(u8());
            s += an ? alphabet[static_cast<unsigned char>(c) % an] : c;
        }
        return s;
    }

    // All the bytes that are left.
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(p_), n_);
        p_ += n_;
        n_ = 0;
        return s;
    }

  private:
    const std::uint8_t* p_;
    std::size_t n_;
};

} // namespace fuzz
