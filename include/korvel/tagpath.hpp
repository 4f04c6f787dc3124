// Dotted tag paths: the keys of a nested mapping from the top down to a leaf,
// joined by '.', as in "Loop1.data.SP".
//
// Keys are not escaped: a key that holds '.' gives a path that cannot be told
// from a deeper one. A path never starts with the separator that joining
// adds: at the top (an empty path) the key stands alone, so an empty key
// there is lost from the path.
//
// Both rules work on bytes; in UTF-8 '.' never occurs inside a multi-byte
// sequence, so a UTF-8 path splits as its characters would.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

namespace tagpath {

inline constexpr char separator = '.';

// path + "." + key, or key alone when path is empty.
inline void append(std::string& path, std::string_view key) {
    if (!path.empty()) path += separator;
    path.append(key);
}

inline std::string join(std::string_view path, std::string_view key) {
    std::string out(path);
    append(out, key);
    return out;
}

// Calls f(key) for every key of the path, split at every separator:
// consecutive separators give empty keys, a path without one is one key, and
// the empty path is the one empty key.
template <class F> void for_each_key(std::string_view path, F&& f) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = path.find(separator, start);
        if (dot == std::string_view::npos) {
            f(path.substr(start));
            return;
        }
        f(path.substr(start, dot - start));
        start = dot + 1;
    }
}

inline std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> keys;
    for_each_key(path, [&](std::string_view k) { keys.push_back(k); });
    return keys;
}

} // namespace tagpath

} // namespace korvel
