// The inputs of a bank's step, one value per lane: an array of them, or one
// value every lane takes (stride 0), as NumPy broadcasts a scalar; and
// several samples of them.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

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

// A bank's numbers kept in blocks of lane_width lanes, row r of a block
// holding number r of its lanes: a step reads each number of a block as one
// vector, and a block's rows stream from memory together, where one array
// per number makes a stream per number (a step of many lanes is bound by the
// bytes it moves, not by its arithmetic).
inline constexpr std::size_t lane_width = 8; // doubles in the widest vector register
template <std::size_t R> struct alignas(64) LaneBlock {
    double v[R][lane_width] = {};
};
template <std::size_t R> using LaneBlocks = std::vector<LaneBlock<R>>;
// Blocks for n lanes.
inline std::size_t lane_blocks(std::size_t n) noexcept {
    return (n + lane_width - 1) / lane_width;
}

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

// The n values of `v` as one array, for a loop that reads plain memory:
// its own when they are one, otherwise copied into `scratch` (n values).
inline const double* contiguous(Lanes v, std::size_t n, double* scratch) noexcept {
    if (v.stride == 1) return v.data;
    for (std::size_t i = 0; i < n; ++i)
        scratch[i] = v[i];
    return scratch;
}

// An input of a loop over lanes, as the loop reads it: n values in one
// array, or one value every lane takes (kept in a register, not copied out).
struct EachLane {
    const double* p;
    double operator[](std::size_t i) const noexcept { return p[i]; }
};
struct SameLane {
    double v;
    double operator[](std::size_t) const noexcept { return v; }
};

namespace detail {
template <std::size_t I, std::size_t K, class F, class... A>
void with_lanes(F& f, const std::array<Lanes, K>& in, std::size_t n, std::vector<double>* scratch,
                const A&... a) {
    if constexpr (I == K) {
        f(a...);
    } else if (in[I].stride == 0) {
        with_lanes<I + 1>(f, in, n, scratch, a..., SameLane{in[I].data[0]});
    } else {
        KORVEL_ASSERT(scratch[I].size() >= n);
        with_lanes<I + 1>(f, in, n, scratch, a...,
                          EachLane{contiguous(in[I], n, scratch[I].data())});
    }
}
} // namespace detail

// f(x...) with each of the K inputs as a SameLane or an EachLane (strided
// values copied into scratch[k], n values), so the loop f runs is made once
// for every mix of shared and per-lane inputs.
template <std::size_t K, class F>
void with_lanes(std::size_t n, std::vector<double> (&scratch)[K], const std::array<Lanes, K>& in,
                F&& f) {
    detail::with_lanes<0>(f, in, n, scratch);
}

} // namespace korvel
