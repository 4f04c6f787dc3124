// Identification of pair models from sampled records: the output error of
// the library's own models (zero-order hold, dead time as whole samples),
// its Jacobian, a starting point found on a grid, and the whole-sample
// dead-time search around a continuous optimiser the caller supplies.
//
// Everything works in deviation form: du is an MV's deviation from its
// initial value, dy the CV's. A CV's model output is the sum of its pairs'.
//
// Structures and the vector x the optimiser moves (time constants as their
// logarithms, so that they stay positive without bounds):
//   fopdt  K e^(-theta s) / (tau s + 1)                      x = [K, ln tau]
//   sopdt  K e^(-theta s) / ((tau1 s + 1)(tau2 s + 1))       x = [K, ln tau1, ln tau2]
//   ipdt   K e^(-theta s) / s                                x = [K]
//   stp    a unit-step table s[0..L-1] (an FIR)              x = s
// theta = delay * Ts for a pair's whole-sample delay; an stp table starts
// `delay` samples after the step.
//
// The discrete models are the zero-order holds of these transfer functions
// in closed form: what c2d gives for them, to rounding. The closed forms stay
// accurate where a general discretisation would not (a time constant far
// below or above Ts, two equal time constants).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "iir.hpp"

namespace korvel::identify {

enum class Kind { fopdt, sopdt, ipdt, stp };

inline Kind kind_of(std::string_view name) {
    if (name == "fopdt") return Kind::fopdt;
    if (name == "sopdt") return Kind::sopdt;
    if (name == "ipdt") return Kind::ipdt;
    if (name == "stp") return Kind::stp;
    throw std::invalid_argument("kind must be 'fopdt', 'sopdt', 'ipdt' or 'stp'");
}

inline const char* kind_name(Kind k) noexcept {
    switch (k) {
    case Kind::fopdt:
        return "fopdt";
    case Kind::sopdt:
        return "sopdt";
    case Kind::ipdt:
        return "ipdt";
    case Kind::stp:
        break;
    }
    return "stp";
}

inline bool parametric(Kind k) noexcept {
    return k != Kind::stp;
}

// Entries of x beyond this stay put: e^40 spans any time constant a record
// can show, and the exponential cannot overflow.
inline constexpr double log_limit = 40.0;

inline double time_constant(double log_tau) noexcept {
    return std::exp(std::clamp(log_tau, -log_limit, log_limit));
}

// One CV/MV pair of a problem.
struct Pair {
    Kind kind = Kind::fopdt;
    std::size_t length = 0; // stp: the table length
    std::size_t delay = 0;  // whole samples
    std::vector<double> du; // the MV's deviations, one per sample

    std::size_t params() const noexcept {
        switch (kind) {
        case Kind::fopdt:
            return 2;
        case Kind::sopdt:
            return 3;
        case Kind::ipdt:
            return 1;
        case Kind::stp:
            break;
        }
        return length;
    }
};

// (expm1(z) / z), continued to 1 at z = 0.
inline double expm1_ratio(double z) noexcept {
    return std::fabs(z) < 1e-10 ? 1.0 + 0.5 * z : std::expm1(z) / z;
}

// The unit-gain discrete model of a parametric pair at x (its gain ignored):
// b and a in ascending powers of z^-1, without the dead time.
inline void unit_model(Kind kind, const double* x, double Ts, std::vector<double>& b,
                       std::vector<double>& a) {
    switch (kind) {
    case Kind::fopdt: {
        const double r = -Ts / time_constant(x[1]);
        b = {0.0, -std::expm1(r)};
        a = {1.0, -std::exp(r)};
        return;
    }
    case Kind::sopdt: {
        const double t1 = time_constant(x[1]), t2 = time_constant(x[2]);
        const double p1 = std::exp(-Ts / t1), p2 = std::exp(-Ts / t2);
        // 1 - step(t) = (tau1 e^(-t/tau1) - tau2 e^(-t/tau2)) / (tau1 - tau2), written
        // without the difference of nearly equal time constants.
        const auto rest = [&](double t) {
            const double z = t * (t1 - t2) / (t1 * t2);
            return std::exp(-t / t1) + std::exp(-t / t2) * (t / t1) * expm1_ratio(z);
        };
        const double s1 = 1.0 - rest(Ts), s2 = 1.0 - rest(2.0 * Ts);
        b = {0.0, s1, s2 - (1.0 + p1 + p2) * s1};
        a = {1.0, -(p1 + p2), p1 * p2};
        return;
    }
    case Kind::ipdt:
        b = {0.0, Ts};
        a = {1.0, -1.0};
        return;
    case Kind::stp:
        break;
    }
    throw std::invalid_argument("a step table has no unit model");
}

// v[k] = u[k - d], zero before.
inline void shifted(std::span<const double> u, std::size_t d, double* v) {
    const std::size_t n = u.size(), s = std::min(d, n);
    std::fill(v, v + s, 0.0);
    std::copy(u.begin(), u.end() - static_cast<std::ptrdiff_t>(s), v + s);
}

// lfilter(b, a, x) from rest into y.
inline void filter(const std::vector<double>& b, const std::vector<double>& a, const double* x,
                   double* y, std::size_t n) {
    const Iir f(b, a);
    std::vector<double> z(f.state_size(), 0.0);
    f.filter(x, y, n, z.data());
}

// The step table's FIR taps: h[i] = s[i] - s[i-1].
inline std::vector<double> table_taps(const double* s, std::size_t L) {
    std::vector<double> h(L);
    for (std::size_t i = 0; i < L; ++i)
        h[i] = i == 0 ? s[0] : s[i] - s[i - 1];
    return h;
}

// The output error of one CV against the sum of its pair models.
class Problem {
  public:
    Problem(std::vector<double> dy, double Ts) : dy_(std::move(dy)), Ts_(Ts) {
        if (!(Ts > 0.0) || !std::isfinite(Ts))
            throw std::invalid_argument("Ts must be positive and finite");
    }

    void add(Pair p) {
        if (p.du.size() != dy_.size())
            throw std::invalid_argument("every record must have as many samples as the output");
        if (p.kind == Kind::stp && p.length == 0)
            throw std::invalid_argument("a step table needs at least one value");
        pairs_.push_back(std::move(p));
    }

    std::size_t samples() const noexcept { return dy_.size(); }
    double Ts() const noexcept { return Ts_; }
    std::span<const double> dy() const noexcept { return dy_; }
    std::vector<Pair>& pairs() noexcept { return pairs_; }
    const std::vector<Pair>& pairs() const noexcept { return pairs_; }

    std::size_t params() const noexcept {
        std::size_t n = 0;
        for (const Pair& p : pairs_)
            n += p.params();
        return n;
    }
    // Where pair j's entries start in x.
    std::size_t offset(std::size_t j) const noexcept {
        std::size_t n = 0;
        for (std::size_t i = 0; i < j; ++i)
            n += pairs_[i].params();
        return n;
    }

    // Pair j's output at its entries of x (x + offset(j)) into y.
    void simulate_pair(std::size_t j, const double* x, double* y) const {
        const Pair& p = pairs_[j];
        const std::size_t n = samples();
        std::vector<double> ud(n);
        shifted(p.du, p.delay, ud.data());
        if (p.kind == Kind::stp) {
            filter(table_taps(x, p.length), {1.0}, ud.data(), y, n);
            return;
        }
        std::vector<double> b, a;
        unit_model(p.kind, x, Ts_, b, a);
        filter(b, a, ud.data(), y, n);
        for (std::size_t k = 0; k < n; ++k)
            y[k] *= x[0];
    }

    // The model output (the sum over the pairs) into y.
    void simulate(std::span<const double> x, double* y) const {
        check(x);
        const std::size_t n = samples();
        std::fill(y, y + n, 0.0);
        std::vector<double> one(n);
        for (std::size_t j = 0; j < pairs_.size(); ++j) {
            simulate_pair(j, x.data() + offset(j), one.data());
            for (std::size_t k = 0; k < n; ++k)
                y[k] += one[k];
        }
    }

    // r = dy - model output.
    void residuals(std::span<const double> x, double* r) const {
        simulate(x, r);
        for (std::size_t k = 0; k < samples(); ++k)
            r[k] = dy_[k] - r[k];
    }

    double ssr(std::span<const double> x) const {
        std::vector<double> r(samples());
        residuals(x, r.data());
        double s = 0.0;
        for (double v : r)
            s += v * v;
        return s;
    }

    // d(residuals)/dx, row-major: J[k * params() + i].
    void jacobian(std::span<const double> x, double* J) const {
        check(x);
        const std::size_t n = samples(), m = params();
        std::vector<double> col(n), ud(n);
        for (std::size_t j = 0; j < pairs_.size(); ++j) {
            const Pair& p = pairs_[j];
            const std::size_t at = offset(j);
            shifted(p.du, p.delay, ud.data());
            const auto put = [&](std::size_t i) {
                for (std::size_t k = 0; k < n; ++k)
                    J[k * m + at + i] = -col[k];
            };
            if (p.kind == Kind::stp) {
                // y = sum_i (s[i] - s[i-1]) ud[k-i]: s[i] meets ud[k-i] - ud[k-i-1],
                // the last one ud[k-L+1] alone.
                for (std::size_t i = 0; i < p.length; ++i) {
                    for (std::size_t k = 0; k < n; ++k) {
                        const double now = k >= i ? ud[k - i] : 0.0;
                        const double next = i + 1 < p.length && k >= i + 1 ? ud[k - i - 1] : 0.0;
                        col[k] = now - next;
                    }
                    put(i);
                }
                continue;
            }
            const double* xp = x.data() + at;
            std::vector<double> b, a, g(n);
            unit_model(p.kind, xp, Ts_, b, a);
            filter(b, a, ud.data(), g.data(), n);
            std::copy(g.begin(), g.end(), col.begin());
            put(0);
            // The time constants: y = K (B/A) ud, so dy = K (dB ud - dA g) / A, with dB
            // and dA from central differences of the closed forms.
            for (std::size_t i = 1; i < p.params(); ++i) {
                constexpr double h = 1e-5;
                std::vector<double> xs(xp, xp + p.params());
                std::vector<double> bp, ap, bm, am;
                xs[i] = xp[i] + h;
                unit_model(p.kind, xs.data(), Ts_, bp, ap);
                xs[i] = xp[i] - h;
                unit_model(p.kind, xs.data(), Ts_, bm, am);
                std::vector<double> w(n, 0.0);
                for (std::size_t k = 0; k < n; ++k) {
                    double s = 0.0;
                    for (std::size_t t = 0; t < b.size() && t <= k; ++t)
                        s += (bp[t] - bm[t]) / (2.0 * h) * ud[k - t];
                    for (std::size_t t = 1; t < a.size() && t <= k; ++t)
                        s -= (ap[t] - am[t]) / (2.0 * h) * g[k - t];
                    w[k] = xp[0] * s;
                }
                filter({1.0}, a, w.data(), col.data(), n);
                put(i);
            }
        }
    }

  private:
    void check(std::span<const double> x) const {
        if (x.size() != params())
            throw std::invalid_argument("the parameter vector does not fit the problem");
    }

    std::vector<double> dy_;
    double Ts_;
    std::vector<Pair> pairs_;
};

// --- the starting point ---------------------------------------------------

// Time constants tried on the grid: geometric from Ts/4 to a quarter of the
// record.
inline std::vector<double> tau_grid(double Ts, std::size_t n, std::size_t points = 40) {
    const double lo = 0.25 * Ts, hi = std::max(0.25 * static_cast<double>(n) * Ts, 2.0 * lo);
    std::vector<double> t(points);
    for (std::size_t i = 0; i < points; ++i)
        t[i] = lo * std::pow(hi / lo, static_cast<double>(i) / static_cast<double>(points - 1));
    return t;
}

struct GridPoint {
    std::size_t delay = 0;
    std::vector<double> x; // the pair's entries of the optimiser's vector
    double score = -1.0;   // the drop in squared error it gives
};

// The best delay in [dlo, dhi] and grid point for one parametric pair fitted
// alone to `target`, its gain by least squares.
//
// For the unit response g of a candidate, the gain and the error drop at
// delay d follow from c[d] = sum_k g[k-d] t[k] and e[d] = sum_{k<n-d} g[k]^2:
// K = c/e, drop c^2/e. With r[m] = sum_i du[i] t[i+m] (once per target),
// c[d] = sum_j h[j] r[d+j] for the candidate's impulse response h: the
// reversed r filtered by the candidate. So a candidate costs two filter
// passes, whatever the range of delays.
inline GridPoint grid_search(Kind kind, std::span<const double> du, std::span<const double> target,
                             double Ts, std::size_t dlo, std::size_t dhi) {
    const std::size_t n = du.size();
    GridPoint best;
    if (n == 0 || dlo >= n) return best;
    dhi = std::min(dhi, n - 1);
    // r accumulated one input sample at a time (independent sums, which the
    // compiler may vectorise), then reversed.
    std::vector<double> rr(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = du[i];
        if (u == 0.0) continue;
        const double* t = target.data() + i;
        double* r = rr.data();
        for (std::size_t m = 0; m + i < n; ++m)
            r[m] += u * t[m];
    }
    std::reverse(rr.begin(), rr.end());
    std::vector<double> c(n), g(n), q(n + 1);
    const auto consider = [&](const std::vector<double>& x, std::size_t hi) {
        std::vector<double> b, a;
        unit_model(kind, x.data(), Ts, b, a);
        filter(b, a, rr.data(), c.data(), n); // c[n-1-d] is c at delay d
        filter(b, a, du.data(), g.data(), n);
        q[0] = 0.0;
        for (std::size_t k = 0; k < n; ++k)
            q[k + 1] = q[k] + g[k] * g[k];
        for (std::size_t d = dlo; d <= hi; ++d) {
            const double cd = c[n - 1 - d], e = q[n - d];
            if (!(e > 0.0) || !std::isfinite(cd)) continue;
            const double score = cd * cd / e;
            if (score > best.score) {
                best.score = score;
                best.delay = d;
                best.x = x;
                best.x[0] = cd / e;
            }
        }
    };
    const std::vector<double> taus = tau_grid(Ts, n);
    switch (kind) {
    case Kind::ipdt:
        consider({1.0}, dhi);
        break;
    case Kind::fopdt:
        for (double tau : taus)
            consider({1.0, std::log(tau)}, dhi);
        break;
    case Kind::sopdt: {
        // A first-order fit bounds the delay: its apparent dead time holds the
        // second lag's share as well.
        for (double tau : taus)
            consider({1.0, std::log(tau), 0.0}, dhi);
        const std::size_t hi = std::min(dhi, best.delay + 2);
        best = GridPoint{};
        // Unequal lags: at equal ones the two would move as one.
        static constexpr double ratios[] = {0.8, 0.5, 0.3, 0.15, 0.05};
        for (double tau : taus)
            for (double ratio : ratios)
                consider({1.0, std::log(tau), std::log(tau * ratio)}, hi);
        break;
    }
    case Kind::stp:
        throw std::invalid_argument("a step table is not searched on the grid");
    }
    return best;
}

// A starting x for the problem, with the pairs' delays set: each parametric
// pair in turn on the grid against what the others leave unexplained, twice
// round when there are several. Step tables start at zero; pairs whose
// `search` flag is false keep their delay.
inline std::vector<double> initial_guess(Problem& pb, const std::vector<bool>& search,
                                         std::size_t max_delay) {
    auto& pairs = pb.pairs();
    const std::size_t n = pb.samples(), m = pairs.size();
    std::vector<double> x(pb.params(), 0.0);
    std::vector<std::vector<double>> out(m, std::vector<double>(n, 0.0));
    std::size_t searched = 0;
    for (const Pair& p : pairs)
        searched += parametric(p.kind) ? 1 : 0;
    const int rounds = searched > 1 ? 2 : 1;
    std::vector<double> target(n);
    for (std::size_t j = 0; j < m; ++j)
        if (search[j]) pairs[j].delay = 0; // where the grid finds nothing
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t j = 0; j < m; ++j) {
            Pair& p = pairs[j];
            if (!parametric(p.kind)) continue;
            for (std::size_t k = 0; k < n; ++k) {
                double t = pb.dy()[k];
                for (std::size_t i = 0; i < m; ++i)
                    if (i != j) t -= out[i][k];
                target[k] = t;
            }
            const std::size_t lo = search[j] ? 0 : p.delay, hi = search[j] ? max_delay : p.delay;
            GridPoint g = grid_search(p.kind, p.du, target, pb.Ts(), lo, hi);
            if (g.x.empty()) continue; // the MV never moves: nothing to start from
            p.delay = g.delay;
            std::copy(g.x.begin(), g.x.end(),
                      x.begin() + static_cast<std::ptrdiff_t>(pb.offset(j)));
            pb.simulate_pair(j, x.data() + pb.offset(j), out[j].data());
        }
    }
    return x;
}

// Moves x to a minimum of the squared error at the pairs' current delays and
// returns that error. The Python module hands in scipy.optimize.least_squares.
using Minimise = std::function<double(const Problem&, std::vector<double>&)>;

struct Fit {
    std::vector<double> x;
    double ssr = std::numeric_limits<double>::infinity();
};

// The whole fit: the grid's start, the optimiser, then each searched pair's
// delay moved one sample at a time while that lowers the error (the other
// parameters re-optimised at every trial), until no pair moves.
inline Fit fit(Problem& pb, const std::vector<bool>& search, std::size_t max_delay,
               const Minimise& minimise) {
    if (search.size() != pb.pairs().size()) throw std::invalid_argument("one search flag per pair");
    Fit best;
    best.x = initial_guess(pb, search, max_delay);
    best.ssr = minimise(pb, best.x);
    auto& pairs = pb.pairs();
    const auto trial = [&](std::size_t j, std::size_t d) {
        const std::size_t keep = pairs[j].delay;
        pairs[j].delay = d;
        std::vector<double> x = best.x;
        const double s = minimise(pb, x);
        if (s < best.ssr) {
            best = Fit{std::move(x), s};
            return true;
        }
        pairs[j].delay = keep;
        return false;
    };
    for (std::size_t round = 0; round < 2 * max_delay + 2; ++round) {
        bool moved = false;
        for (std::size_t j = 0; j < pairs.size(); ++j) {
            if (!search[j] || !parametric(pairs[j].kind)) continue;
            bool down = false;
            while (pairs[j].delay > 0 && trial(j, pairs[j].delay - 1))
                down = moved = true;
            if (down) continue;
            while (pairs[j].delay < max_delay && trial(j, pairs[j].delay + 1))
                moved = true;
        }
        if (!moved) break;
    }
    return best;
}

} // namespace korvel::identify
