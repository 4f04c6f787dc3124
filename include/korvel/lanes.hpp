// The inputs of a bank's step, one value per lane: an array of them, or one
// value every lane takes (stride 0), as NumPy broadcasts a scalar.
#pragma once

#include <cstddef>

#include "assert.hpp"

namespace korvel {

struct Lanes {
    const double* data;
    std::ptrdiff_t stride = 1; // in elements; 0: one value for every lane

    // One value for every lane.
    static Lanes all(const double& v) noexcept { return Lanes{&v, 0}; }

    double operator[](std::size_t i) const noexcept {
        return data[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

} // namespace korvel
