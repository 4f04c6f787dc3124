// Float64 samples as little-endian bytes, eight to a sample, whatever the
// host's byte order: the form in which block states keep their histories, so
// a state saved on one machine restores on any other bit for bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel {

// Appends the eight bytes of each sample to `out`.
inline void append_le64(std::string& out, double v) {
    const std::uint64_t u = std::bit_cast<std::uint64_t>(v);
    for (int k = 0; k < 8; ++k)
        out.push_back(static_cast<char>(u >> (8 * k) & 0xff));
}

// The samples of `bytes`: a whole number of them, at most `capacity`
// (std::invalid_argument otherwise, since the bytes cannot be a history of it).
inline std::vector<double> read_le64(std::span<const unsigned char> bytes, std::size_t capacity) {
    if (bytes.size() % 8 != 0 || bytes.size() / 8 > capacity)
        throw std::invalid_argument("invalid history state");
    std::vector<double> v(bytes.size() / 8);
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::uint64_t u = 0;
        for (int k = 0; k < 8; ++k)
            u |= std::uint64_t{bytes[i * 8 + k]} << (8 * k);
        v[i] = std::bit_cast<double>(u);
    }
    return v;
}

} // namespace korvel
