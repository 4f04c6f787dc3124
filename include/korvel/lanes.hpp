// The inputs of a bank's step, one value per lane: an array of them, or one
// value every lane takes (stride 0), as NumPy broadcasts a scalar.
#pragma once

#include <cstddef>

#include "assert.hpp"

namespace korvel {

template <class T> struct LanesOf {
    const T* data;
    std::ptrdiff_t stride = 1; // in elements; 0: one value for every lane

    // One value for every lane.
    static LanesOf all(const T& v) noexcept { return LanesOf{&v, 0}; }

    T operator[](std::size_t i) const noexcept {
        return data[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

using Lanes = LanesOf<double>;

} // namespace korvel
