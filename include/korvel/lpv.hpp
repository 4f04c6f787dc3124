// Working-point arithmetic of a linear-parameter-varying plant bank: the
// order of the bank and the blending weights of its two neighbouring plants.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace korvel::lpv {

// Positions (into `points`) of the plants that stay in the bank, in ascending
// order of working point: of equal working points the one at the lowest
// position wins (a new plant is inserted at position 0, so the newest wins).
// NaN working points sort last and count as equal to each other, so at most
// one NaN plant stays; it takes part in no interpolation (see weights()).
inline std::vector<std::size_t> bank_order(const std::vector<double>& points) {
    std::vector<std::size_t> idx(points.size());
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    auto less = [&](std::size_t i, std::size_t j) {
        const double a = points[i], b = points[j];
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a < b;
    };
    std::stable_sort(idx.begin(), idx.end(), less);
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < idx.size(); ++k)
        if (k == 0 || less(idx[k - 1], idx[k])) kept.push_back(idx[k]);
    return kept;
}

// Fractional index of `x` on the ascending, distinct sample points xp[0..n)
// with values 0, 1, ..., n-1, computed as np.interp computes it (same
// operations in the same order). Requires n >= 1 and x not NaN.
inline double fractional_index(const double* xp, std::size_t n, double x) {
    if (n == 1) return 0.0;
    if (x > xp[n - 1]) return static_cast<double>(n - 1);
    if (x < xp[0]) return 0.0;
    // j with xp[j] <= x < xp[j+1], or j = n-1 when x equals the last point.
    const std::size_t j = static_cast<std::size_t>(std::upper_bound(xp, xp + n, x) - xp) - 1;
    if (j == n - 1 || xp[j] == x) return static_cast<double>(j);
    const double yj = static_cast<double>(j), yk = static_cast<double>(j + 1);
    const double slope = (yk - yj) / (xp[j + 1] - xp[j]);
    double r = slope * (x - xp[j]) + yj;
    if (std::isnan(r)) {
        r = slope * (x - xp[j + 1]) + yk;
        if (std::isnan(r) && yj == yk) r = yj;
    }
    return r;
}

struct Weights {
    std::size_t id1, id2; // lower and upper neighbour
    double w1, w2;        // their shares, w1 = 1 - w2
};

// Neighbours and shares for a fractional index (not NaN).
inline Weights weights(double index) {
    const double lo = std::floor(index), hi = std::ceil(index);
    double w2 = index - lo;
    w2 = w2 > 1.0 ? 1.0 : w2; // clipped as np.clip clips: upper bound, then lower
    w2 = w2 < 0.0 ? 0.0 : w2;
    return {static_cast<std::size_t>(lo), static_cast<std::size_t>(hi), 1.0 - w2, w2};
}

} // namespace korvel::lpv
