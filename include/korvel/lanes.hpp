// The inputs of a bank's step, one value per lane: an array of them, or one
// value every lane takes (stride 0), as NumPy broadcasts a scalar; and
// several samples of them.
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

// Samples of every lane, one row per sample (an array of samples x lanes):
// row k holds the lanes' values at data + k * row, as Lanes of `stride`.
// Samples every lane takes alike are one value per row (stride 0).
struct LaneRows {
    const double* data;
    std::ptrdiff_t row;
    std::ptrdiff_t stride = 1;

    Lanes operator[](std::size_t k) const noexcept {
        return Lanes{data + static_cast<std::ptrdiff_t>(k) * row, stride};
    }
};

} // namespace korvel
