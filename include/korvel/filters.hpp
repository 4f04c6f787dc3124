// Transfer-function filters with persistent state: ZFilter (discrete),
// SFilter (continuous, discretised once) and LeadLag (first-order lead-lag
// whose parameters may change while it runs, without a bump).
//
// ZFilter works in deviation form around an operating point (u_ini, y_ini):
// it filters the input minus u_ini from rest and adds y_ini to the output, so
// it starts in equilibrium at the operating point whatever its gain. An
// operating point not given at construction is taken from the first call.
// ZFilterBank steps n of them in one call.
//
// LeadLag is G(s) = (alpha tao s + 1) / (tao s + 1) at the sampling period
// Ts (whole time units); every step records the last input and output, and
// new parameters restart the state from them (lfiltic), so the output
// continues from where it was with the new dynamics. BasicLeadLag is the
// same rule over what it keeps (parameters, last samples, state) and how it
// discretises, so a binding runs it on the objects its callers see.
//
// A ZFilter's state may live elsewhere (a Python binding keeps it in an
// array that callers can see): every step has a form that takes the state
// vector.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "iir.hpp"
#include "lanes.hpp"
#include "lead_lag_law.hpp"
#include "models.hpp"

#include "assert.hpp"
#include "simd.hpp"

namespace korvel {

// An input or output operating point: empty until given or adopted.
struct OperatingPoint {
    std::optional<double> u, y;

    // Takes the first call's input and output operating point where none is
    // set yet.
    void adopt(double ut, double y_arg) noexcept {
        if (!u) u = ut;
        if (!y) y = y_arg;
    }
};

class ZFilter {
  public:
    // lfiltic's checks refuse what the filter could not run.
    ZFilter(std::vector<double> b, std::vector<double> a, std::optional<double> u_ini = {},
            std::optional<double> y_ini = {})
        : iir_(std::move(b), std::move(a)), op_{u_ini, y_ini}, zi_(rest_state(iir_)) {}

    // A filter as it stands: coefficients, operating point and state
    // (state_size() items).
    ZFilter(Iir f, OperatingPoint op, std::vector<double> zi)
        : iir_(std::move(f)), op_(op), zi_(std::move(zi)) {
        KORVEL_ASSERT(zi_.size() == iir_.state_size());
    }

    // The state a new filter starts from: lfiltic with no past inputs or
    // outputs. Throws lfiltic's refusals.
    static std::vector<double> rest_state(const Iir& f) {
        const std::size_t n = std::max(f.a().size(), f.b().size());
        const std::vector<double> zeros(n, 0.0);
        return lfiltic(f.b(), f.a(), zeros, zeros);
    }

    // One sample on the filter's own state.
    double step(double ut, double y_ini_arg = 0.0) { return step(ut, y_ini_arg, zi_.data()); }

    // One sample on state z (state_size() items).
    double step(double ut, double y_ini_arg, double* z) {
        op_.adopt(ut, y_ini_arg);
        iir_.check();
        return iir_.step(ut - *op_.u, z) + *op_.y;
    }

    // n samples of x into y (y may alias x). An empty input with no input
    // operating point fails: there is no first sample to take it from.
    void run(const double* x, double* y, std::size_t n, double y_ini_arg, double* z) {
        if (!op_.u && n == 0) throw std::out_of_range(first_of_empty);
        op_.adopt(n ? x[0] : 0.0, y_ini_arg);
        iir_.filter_deviation(x, y, n, z, *op_.u, *op_.y);
    }
    void run(const double* x, double* y, std::size_t n, double y_ini_arg = 0.0) {
        run(x, y, n, y_ini_arg, zi_.data());
    }

    const Iir& iir() const noexcept { return iir_; }
    // New coefficients must need a state of the same length.
    void set_iir(Iir f) {
        if (f.state_size() != iir_.state_size())
            throw std::invalid_argument("the new coefficients need a state of another length");
        iir_ = std::move(f);
    }
    std::size_t state_size() const noexcept { return iir_.state_size(); }
    const std::vector<double>& state() const noexcept { return zi_; }
    std::vector<double>& state() noexcept { return zi_; }
    OperatingPoint& operating_point() noexcept { return op_; }
    const OperatingPoint& operating_point() const noexcept { return op_; }

  private:
    Iir iir_;
    OperatingPoint op_;
    std::vector<double> zi_;
};

// n ZFilters stepped together, each lane exactly one: the same recurrence
// (iir_rule) on its own state and operating point. Item j of lane i's state
// is z[j n + i], so a step is a few loops over the lanes, one tap of every
// lane at a time. The lanes share what fixes the arithmetic of a step, the
// path (len(a) == 1 or not) and the state length max(len(a), len(b)) - 1;
// their coefficients are one row for all lanes or one row each. A bank of
// one lane is a ZFilter.
class ZFilterBank {
  public:
    // Coefficients of every lane: `count` values, lane i's at data + i *
    // stride (stride 0: one row all lanes share).
    struct Rows {
        const double* data;
        std::size_t count;
        std::size_t stride = 0;

        std::vector<double> lane(std::size_t i) const {
            return std::vector<double>(data + i * stride, data + i * stride + count);
        }
    };

    // Why a lane does not filter: its ZFilter would throw (throw_fault).
    enum class Fault : std::uint8_t { none, no_first_sample, refused };

    // n lanes, lane i as ZFilter(b_i, a_i, u_ini, y_ini); throws what the
    // first lane's ZFilter that cannot be made throws.
    ZFilterBank(std::size_t n, Rows b, Rows a, std::optional<double> u_ini = {},
                std::optional<double> y_ini = {})
        : n_(n), shared_(b.stride == 0 && a.stride == 0) {
        // The structure, from the row lengths (so also for no lanes).
        const Iir shape(std::vector<double>(b.count), std::vector<double>(a.count));
        const std::size_t rows = shared_ ? 1 : n;
        std::vector<std::vector<double>> rest(rows);
        iir_.reserve(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            iir_.emplace_back(b.lane(r), a.lane(r));
            rest[r] = ZFilter::rest_state(iir_.back());
        }
        allocate(shape);
        for (std::size_t i = 0; i < n; ++i) {
            set_state(i, rest[shared_ ? 0 : i].data());
            set_operating_point(i, {u_ini, y_ini});
        }
    }

    // n lanes of one filter.
    explicit ZFilterBank(std::size_t n = 0, const std::vector<double>& b = {0.0, 0.1},
                         const std::vector<double>& a = {1.0, -0.9},
                         std::optional<double> u_ini = {}, std::optional<double> y_ini = {})
        : ZFilterBank(n, Rows{b.data(), b.size()}, Rows{a.data(), a.size()}, u_ini, y_ini) {}

    // n lanes, each the filter f as it stands.
    ZFilterBank(std::size_t n, const ZFilter& f) : n_(n), shared_(true), iir_{f.iir()} {
        allocate(f.iir());
        for (std::size_t i = 0; i < n; ++i) {
            set_state(i, f.state().data());
            set_operating_point(i, f.operating_point());
        }
    }

    std::size_t size() const noexcept { return n_; }
    std::size_t state_size() const noexcept { return state_; }
    bool is_fir() const noexcept { return fir_; }
    // Whether the lanes share one row of coefficients.
    bool shared() const noexcept { return shared_; }

    // One sample of every lane into out[0:size()] (out may be ut's array).
    // When some lanes' coefficients are refused, those lanes do what their
    // ZFilter does before it throws (take an operating point), fault[i] says
    // so and no other lane steps; returns how many faulted.
    std::size_t step(Lanes ut, Lanes y_arg, double* out, Fault* fault) noexcept {
        std::fill(fault, fault + n_, Fault::none);
        if (refused_count_) {
            for (std::size_t i = 0; i < n_; ++i)
                if (refused_[i]) {
                    adopt(i, ut[i], y_arg[i]);
                    fault[i] = Fault::refused;
                }
            return refused_count_;
        }
        if (unset_)
            for (std::size_t i = 0; i < n_; ++i)
                adopt(i, ut[i], y_arg[i]);
        filter(contiguous(ut, n_, in_.data()), out);
        return 0;
    }

    // m samples of every lane, each lane as ZFilter::run over its own: lane
    // i takes x[k][i] and gives y[k * size() + i], k < m. Faults as step()
    // (and no sample to take an input operating point from, for m = 0).
    std::size_t run(std::size_t m, LaneRows x, Lanes y_arg, double* y, Fault* fault) noexcept {
        const std::size_t faults = start(m, x, y_arg, fault);
        if (faults == 0)
            for (std::size_t k = 0; k < m; ++k)
                filter(contiguous(x[k], n_, in_.data()), y + k * n_);
        return faults;
    }
    // What run() does before it filters: finds the faults and takes the
    // operating points. A caller may filter the samples otherwise then (a
    // binding whose FIR lanes must give NumPy's convolution).
    std::size_t start(std::size_t m, LaneRows x, Lanes y_arg, Fault* fault) noexcept {
        std::fill(fault, fault + n_, Fault::none);
        std::size_t faults = 0;
        if (refused_count_ || m == 0)
            for (std::size_t i = 0; i < n_; ++i) {
                fault[i] = m == 0 && !has_u_[i] ? Fault::no_first_sample
                           : refused_[i]        ? Fault::refused
                                                : Fault::none;
                faults += fault[i] != Fault::none;
            }
        const double none = 0.0; // no first sample: every lane that goes on has its u_ini
        const Lanes first = m ? x[0] : Lanes::all(none);
        for (std::size_t i = 0; i < n_ && (faults || unset_); ++i)
            if (!faults || fault[i] == Fault::refused) adopt(i, first[i], y_arg[i]);
        return faults;
    }

    // Throws what lane i's ZFilter throws for `f` (not Fault::none).
    [[noreturn]] void throw_fault(std::size_t i, Fault f) const {
        KORVEL_ASSERT(f != Fault::none);
        if (f == Fault::refused) iir(i).check();
        throw std::out_of_range(first_of_empty);
    }

    // Lane i as a filter of its own, and back. A filter put in must have the
    // lanes' structure (std::invalid_argument otherwise).
    ZFilter get(std::size_t i) const {
        KORVEL_ASSERT(i < n_);
        std::vector<double> zi(state_);
        for (std::size_t j = 0; j < state_; ++j)
            zi[j] = z_[j * n_ + i];
        return ZFilter(iir(i), operating_point(i), std::move(zi));
    }
    void set(std::size_t i, const ZFilter& f) {
        KORVEL_ASSERT(i < n_ && f.state().size() == f.state_size());
        const Iir& g = f.iir();
        if (g.is_fir() != fir_ || g.state_size() != state_)
            throw std::invalid_argument("the lanes of this bank have " + structure(fir_, state_) +
                                        "; this filter has " +
                                        structure(g.is_fir(), g.state_size()));
        if (shared_ && !same_coefficients(iir_[0], g)) unshare();
        if (!shared_) {
            iir_[i] = g;
            write_taps(i, g);
        }
        set_refused(i, !g.usable());
        set_state(i, f.state().data());
        set_operating_point(i, f.operating_point());
    }

    const Iir& iir(std::size_t i) const noexcept { return iir_[shared_ ? 0 : i]; }
    OperatingPoint operating_point(std::size_t i) const {
        return {has_u_[i] ? std::optional(u_[i]) : std::nullopt,
                has_y_[i] ? std::optional(y_[i]) : std::nullopt};
    }
    void set_operating_point(std::size_t i, OperatingPoint op) noexcept {
        const bool was_unset = !has_u_[i] || !has_y_[i];
        has_u_[i] = op.u.has_value();
        has_y_[i] = op.y.has_value();
        u_[i] = op.u.value_or(0.0);
        y_[i] = op.y.value_or(0.0);
        unset_ = unset_ - was_unset + (!op.u || !op.y);
    }
    // Lane i's state: state_size() items.
    void state(std::size_t i, double* zi) const noexcept {
        for (std::size_t j = 0; j < state_; ++j)
            zi[j] = z_[j * n_ + i];
    }
    void set_state(std::size_t i, const double* zi) noexcept {
        for (std::size_t j = 0; j < state_; ++j)
            z_[j * n_ + i] = zi[j];
    }

  private:
    // Sizes every array for lanes of the structure of `shape` and writes the
    // taps of iir_; the lanes' states and operating points are still to set.
    void allocate(const Iir& shape) {
        fir_ = shape.is_fir();
        state_ = shape.state_size();
        const std::size_t cols = shared_ ? 1 : n_;
        b_.assign((state_ + 1) * cols, 0.0);
        a_.assign(fir_ ? 0 : (state_ + 1) * cols, 0.0);
        for (std::size_t c = 0; c < iir_.size(); ++c)
            write_taps(c, iir_[c]);
        refused_.assign(n_, 0);
        for (std::size_t i = 0; i < n_; ++i)
            set_refused(i, !iir(i).usable());
        z_.assign(state_ * n_, 0.0);
        u_.assign(n_, 0.0);
        y_.assign(n_, 0.0);
        has_u_.assign(n_, 0);
        has_y_.assign(n_, 0);
        unset_ = n_;
        x_.resize(n_);
        in_.resize(n_);
    }

    static std::string structure(bool fir, std::size_t state) {
        return "a state of " + std::to_string(state) + (state == 1 ? " value" : " values") +
               (fir ? " and len(a) == 1" : " and len(a) > 1");
    }
    static bool same_coefficients(const Iir& f, const Iir& g) noexcept {
        const auto same = [](const std::vector<double>& p, const std::vector<double>& q) {
            return p.size() == q.size() &&
                   (p.empty() || std::memcmp(p.data(), q.data(), p.size() * sizeof(double)) == 0);
        };
        return same(f.b(), g.b()) && same(f.a(), g.a());
    }

    // Column `col` of the taps (tap j of column c at j * columns + c).
    void write_taps(std::size_t col, const Iir& f) noexcept {
        const std::size_t cols = shared_ ? 1 : n_;
        const auto write = [&](std::vector<double>& to, std::span<const double> taps) {
            for (std::size_t j = 0; j * cols < to.size(); ++j)
                to[j * cols + col] = j < taps.size() ? taps[j] : 0.0;
        };
        write(b_, f.nb());
        write(a_, f.na());
    }
    // One row of coefficients for each lane, from the shared one.
    void unshare() {
        std::vector<Iir> each(n_, iir_[0]);
        const auto spread = [&](const std::vector<double>& row) {
            std::vector<double> m(row.size() * n_);
            for (std::size_t j = 0; j < row.size(); ++j)
                std::fill_n(m.begin() + static_cast<std::ptrdiff_t>(j * n_), n_, row[j]);
            return m;
        };
        std::vector<double> b = spread(b_), a = spread(a_);
        iir_.swap(each);
        b_.swap(b);
        a_.swap(a);
        shared_ = false;
    }
    void set_refused(std::size_t i, bool v) noexcept {
        refused_count_ = refused_count_ - refused_[i] + v;
        refused_[i] = v;
    }
    // The operating point a first call supplies, where a lane has none.
    void adopt(std::size_t i, double ut, double y_arg) noexcept {
        if (has_u_[i] && has_y_[i]) return;
        OperatingPoint op = operating_point(i);
        op.adopt(ut, y_arg);
        set_operating_point(i, op);
    }

    // One sample of every lane, each lane's operating point set.
    void filter(const double* ut, double* out) noexcept {
        if (fir_)
            shared_ ? fir_pass<true>(ut, out) : fir_pass<false>(ut, out);
        else
            shared_ ? iir_step<true>(ut, out) : iir_step<false>(ut, out);
    }
    template <bool Shared> void iir_step(const double* ut, double* out) noexcept {
        switch (state_) {
        case 1:
            return iir_lanes<Shared, 1>(ut, out);
        case 2:
            return iir_lanes<Shared, 2>(ut, out);
        case 3:
            return iir_lanes<Shared, 3>(ut, out);
        case 4:
            return iir_lanes<Shared, 4>(ut, out);
        default:
            return iir_pass<Shared>(ut, out);
        }
    }
    // Tap j's coefficients: one for all lanes, or one per lane.
    template <bool Shared> static constexpr std::size_t at(std::size_t i) noexcept {
        return Shared ? 0 : i;
    }
    // Filters up to fourth order: a lane's whole step in one loop.
    template <bool Shared, std::size_t L> void iir_lanes(const double* ut, double* out) noexcept {
        const std::size_t n = n_, cols = Shared ? 1 : n;
        const double *u = u_.data(), *y0 = y_.data(), *b = b_.data(), *a = a_.data();
        double* z = z_.data();
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t c = at<Shared>(i);
            const double x = ut[i] - u[i];
            const double y = iir_rule::output(z[i], b[c] * x);
#pragma GCC unroll 4
            for (std::size_t j = 0; j + 1 < L; ++j)
                z[j * n + i] = iir_rule::tap(z[(j + 1) * n + i], x * b[(j + 1) * cols + c],
                                             y * a[(j + 1) * cols + c]);
            z[(L - 1) * n + i] = iir_rule::last_tap(x * b[L * cols + c], y * a[L * cols + c]);
            out[i] = y + y0[i];
        }
    }
    // Any order: the lanes' taps one at a time.
    template <bool Shared> void iir_pass(const double* ut, double* out) noexcept {
        const std::size_t n = n_, L = state_, cols = Shared ? 1 : n;
        const double *u = u_.data(), *y0 = y_.data(), *b = b_.data(), *a = a_.data();
        double *x = x_.data(), *z = z_.data();
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = ut[i] - u[i];
            out[i] = iir_rule::output(z[i], b[at<Shared>(i)] * x[i]);
        }
        for (std::size_t j = 0; j + 1 < L; ++j) {
            double* zj = z + j * n;
            const double *zn = zj + n, *bj = b + (j + 1) * cols, *aj = a + (j + 1) * cols;
            KORVEL_LANE_LOOP
            for (std::size_t i = 0; i < n; ++i)
                zj[i] = iir_rule::tap(zn[i], x[i] * bj[at<Shared>(i)], out[i] * aj[at<Shared>(i)]);
        }
        double* zl = z + (L - 1) * n;
        const double *bl = b + L * cols, *al = a + L * cols;
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i) {
            zl[i] = iir_rule::last_tap(x[i] * bl[at<Shared>(i)], out[i] * al[at<Shared>(i)]);
            out[i] = out[i] + y0[i];
        }
    }
    template <bool Shared> void fir_pass(const double* ut, double* out) noexcept {
        const std::size_t n = n_, L = state_, cols = Shared ? 1 : n;
        const double *u = u_.data(), *y0 = y_.data(), *b = b_.data();
        double *x = x_.data(), *z = z_.data();
        if (L == 0) {
            KORVEL_LANE_LOOP
            for (std::size_t i = 0; i < n; ++i)
                out[i] = iir_rule::fir_last(b[at<Shared>(i)] * (ut[i] - u[i])) + y0[i];
            return;
        }
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = ut[i] - u[i];
            out[i] = iir_rule::fir_output(b[at<Shared>(i)] * x[i], z[i]);
        }
        for (std::size_t j = 0; j + 1 < L; ++j) {
            double* zj = z + j * n;
            const double *zn = zj + n, *bj = b + (j + 1) * cols;
            KORVEL_LANE_LOOP
            for (std::size_t i = 0; i < n; ++i)
                zj[i] = iir_rule::fir_tap(x[i] * bj[at<Shared>(i)], zn[i]);
        }
        double* zl = z + (L - 1) * n;
        const double* bl = b + L * cols;
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i) {
            zl[i] = iir_rule::fir_last(x[i] * bl[at<Shared>(i)]);
            out[i] = out[i] + y0[i];
        }
    }

    std::size_t n_;
    bool shared_;
    bool fir_ = false;
    std::size_t state_ = 0;
    std::vector<Iir> iir_;              // one row for all lanes, or one per lane: as given
    std::vector<double> b_, a_;         // their taps (Iir::nb, na), tap by tap
    std::vector<std::uint8_t> refused_; // lanes whose coefficients lfilter refuses
    std::size_t refused_count_ = 0;
    std::vector<double> z_;     // state item j of lane i at j * n + i
    std::vector<double> u_, y_; // operating points, where has_u_, has_y_
    std::vector<std::uint8_t> has_u_, has_y_;
    std::size_t unset_ = 0;      // lanes without both
    std::vector<double> x_, in_; // scratch: deviations, inputs gathered
};

// Bs(s)/As(s) made discrete at Ts (a zero-order hold, no trimming, no dead
// time), then a ZFilter of the discrete coefficients.
class SFilter {
  public:
    SFilter(std::vector<double> Bs = {1.0}, std::vector<double> As = {5.0, 1.0}, double Ts = 1.0,
            std::optional<double> u_ini = {}, std::optional<double> y_ini = {},
            const Discretise& discretise = default_zoh)
        : SFilter(discretise(Bs, As, Ts), u_ini, y_ini) {}

    SFilter(DiscreteTf d, std::optional<double> u_ini = {}, std::optional<double> y_ini = {})
        : z_(std::move(d.num), std::move(d.den), u_ini, y_ini) {}

    double step(double ut, double y_ini_arg = 0.0) { return z_.step(ut, y_ini_arg); }
    ZFilter& zfilter() noexcept { return z_; }
    const ZFilter& zfilter() const noexcept { return z_; }

  private:
    ZFilter z_;
};

// The soft-sensor bias lag 1/(tao s + 1) at one call per time unit, at rest
// at 0; `none` for tao <= 0 or NaN (the bias passes unfiltered). A lag of any
// kind: make(num, den, Ts, u_ini, y_ini) builds it. Ts is a whole number of
// time units, as a caller that keeps the period as given shows it.
template <class Lag, class Make> Lag bias_lag(double tao, Lag none, Make&& make) {
    if (!(tao > 0)) return none;
    const double num[] = {1.0}, den[] = {tao, 1.0};
    return make(std::span<const double>(num), std::span<const double>(den), 1, 0.0, 0.0);
}

inline std::optional<SFilter> bias_lag(double tao, const Discretise& discretise = default_zoh) {
    return bias_lag(tao, std::optional<SFilter>(),
                    [&](std::span<const double> num, std::span<const double> den, int Ts,
                        double u_ini, double y_ini) {
                        return std::optional<SFilter>(std::in_place,
                                                      std::vector<double>(num.begin(), num.end()),
                                                      std::vector<double>(den.begin(), den.end()),
                                                      Ts, u_ini, y_ini, discretise);
                    });
}

// Assigning a validated filter parameter: a negative value is refused, an
// equal one changes nothing, another is stored and the filter recomputed,
// the old value coming back if that fails. `field` does each part, so the
// rule holds whatever keeps the value (a Python property keeps it in an
// attribute of any object and compares with Python's operators):
//   negative(v), get() -> old, differs(v, old), set(v), recompute(),
//   restore(old) (must not throw: it runs while the failure propagates).
template <class Field, class V> void assign_parameter(Field&& field, const V& v) {
    if (field.negative(v)) throw std::invalid_argument("Expected a non-negative value.");
    auto old = field.get();
    if (!field.differs(v, old)) return;
    field.set(v);
    try {
        field.recompute();
    } catch (...) {
        field.restore(old);
        throw;
    }
}

// What a lead-lag keeps, for C++ callers. A binding keeps other things (the
// objects its callers gave, a state they can see) through a class of the
// same shape:
//   Parameter    alpha and tao as kept; value(p) is the number
//   Period       Ts as kept, handed to the discretiser as it is
//   Sample       the last input or output, or none; known(s), value(s),
//                Sample(x) for a computed x
//   State        lfilter's zi, or none before it exists; started(z),
//                data(z) its items for a step, state(v) one holding v,
//                State{} none
//   Discretiser  discretise(num, den, Ts) -> DiscreteTf
struct LeadLagDoubles {
    using Parameter = double;
    using Period = long long;
    using Sample = std::optional<double>;
    using State = std::optional<std::vector<double>>;
    using Discretiser = Discretise;

    static double value(double p) noexcept { return p; }
    static bool known(const Sample& s) noexcept { return s.has_value(); }
    static double value(const Sample& s) noexcept { return *s; }
    static bool started(const State& z) noexcept { return z.has_value(); }
    static double* data(State& z) noexcept { return z->data(); }
    static State state(std::vector<double> v) { return State(std::move(v)); }
};

template <class K = LeadLagDoubles> class BasicLeadLag {
  public:
    using Parameter = typename K::Parameter;
    using Period = typename K::Period;
    using Sample = typename K::Sample;
    using State = typename K::State;
    using Discretiser = typename K::Discretiser;

    struct Coefficients {
        std::vector<double> b, a;
    };
    // The settings; assigning them recomputes nothing (modify_param does).
    struct Parameters {
        Parameter alpha, tao;
        Period Ts;
    };
    // The last input and output: the operating point until the first call.
    struct Last {
        Sample u, y;
    };

    // The coefficient rule. tao 0 passes the input through; alpha 0 is the
    // lag (alpha tao s + 1 -> 1) with the zero-order hold's one-sample delay
    // dropped; alpha > 0 the lead-lag. Negative tao, or negative alpha with
    // tao != 0, have no rule (std::invalid_argument).
    static Coefficients coefficients(double alpha, double tao, const Period& Ts,
                                     const Discretiser& discretise = default_zoh) {
        if (tao == 0) return {{1.0}, {1.0}};
        if (alpha == 0 && tao > 0) {
            const double one[] = {1.0}, lag[] = {tao, 1.0};
            DiscreteTf d = discretise(one, lag, Ts);
            return {{d.num.at(1)}, std::move(d.den)};
        }
        if (alpha > 0 && tao > 0) {
            const double lead[] = {alpha * tao, 1.0}, lag[] = {tao, 1.0};
            DiscreteTf d = discretise(lead, lag, Ts);
            return {std::move(d.num), std::move(d.den)};
        }
        throw std::invalid_argument("LDLAG needs tao >= 0, and alpha >= 0 unless tao is 0");
    }

    BasicLeadLag(Parameter alpha = 0.0, Parameter tao = 5.0, Period Ts = 1, Sample u_ini = {},
                 Sample y_ini = {}, Discretiser discretise = default_zoh)
        : params_{std::move(alpha), std::move(tao), std::move(Ts)},
          discretise_(std::move(discretise)), iir_({1.0}, {1.0}),
          last_{std::move(u_ini), std::move(y_ini)} {
        modify_param();
    }

    // A filter as it was saved: its parts as they were, no rule run. A state,
    // where there is one, has iir.state_size() items.
    BasicLeadLag(Parameters params, Iir iir, std::optional<std::vector<double>> zi, Last last,
                 Discretiser discretise)
        : params_(std::move(params)), discretise_(std::move(discretise)), iir_(std::move(iir)),
          taps_(LeadLagTaps::of(iir_)), last_(std::move(last)) {
        KORVEL_ASSERT(!zi || zi->size() == iir_.state_size());
        if (zi) zi_ = K::state(std::move(*zi));
    }

    // New coefficients from alpha and tao, and the state restarted from the
    // last input and output when both are known (none otherwise). All or
    // nothing: a failure leaves the filter as it was.
    void modify_param() {
        // The discretiser may run code that replaces the settings: it gets
        // a Ts of its own.
        const Period Ts = params_.Ts;
        Coefficients c =
            coefficients(K::value(params_.alpha), K::value(params_.tao), Ts, discretise_);
        Iir f(std::move(c.b), std::move(c.a));
        State zi{};
        if (K::known(last_.u) && K::known(last_.y))
            zi = K::state(restart_state(f, K::value(last_.u), K::value(last_.y)));
        iir_ = std::move(f);
        taps_ = LeadLagTaps::of(iir_);
        using std::swap;
        swap(zi_, zi); // the old state goes last
    }

    // lfiltic(b, a, [y], [u]): the state after input u and output y.
    static std::vector<double> restart_state(const Iir& f, double u, double y) {
        const double yy[1] = {y}, uu[1] = {u};
        return lfiltic(f.b(), f.a(), yy, uu);
    }

    // Assigning a parameter: assign_parameter's rule.
    void set_alpha(double v) { assign_parameter(Setting{*this, params_.alpha}, v); }
    void set_tao(double v) { assign_parameter(Setting{*this, params_.tao}, v); }

    // Coefficients as a caller assigns them, no rule run; while there is a
    // state they must need one of its length.
    void set_iir(Iir f) {
        if (K::started(zi_) && f.state_size() != iir_.state_size())
            throw std::invalid_argument(
                "the new coefficients need a state of another length than _zi");
        iir_ = std::move(f);
        taps_ = LeadLagTaps::of(iir_);
    }

    // One sample; a filter that never ran starts at rest at its input. The
    // lead-lag's own shapes step by the rule a LeadLagBank's lanes step by;
    // coefficients a caller assigned of another order as lfilter steps them.
    double step(double u) {
        if (!K::started(zi_)) [[unlikely]]
            start_at_rest(u);
        iir_.check();
        double* z = K::data(zi_);
        if (!taps_) [[unlikely]]
            return record(u, iir_.step(u, z));
        double none = 0.0;
        return record(u, lead_lag_law::step(Own{*taps_, taps_->held != 0.0 ? *z : none}, u));
    }

    // Samples x run by filter(iir, z), which filters them all on state z and
    // returns the last output. x.first() is asked only where the state starts
    // at rest at the first sample, x.last() before the filter runs; both
    // throw when there are no samples.
    template <class Samples, class Filter> double run(const Samples& x, Filter&& filter) {
        if (!K::started(zi_)) start_at_rest(x.first());
        const double u = x.last(); // the outputs may take the inputs' place
        return record(u, filter(std::as_const(iir_), K::data(zi_)));
    }

    // n samples of x into y (y may alias x); none is std::out_of_range.
    void run(const double* x, double* y, std::size_t n) {
        run(Span{x, n}, [&](const Iir& f, double* z) {
            f.filter(x, y, n, z);
            return y[n - 1];
        });
    }

    double alpha() const { return K::value(params_.alpha); }
    double tao() const { return K::value(params_.tao); }
    const Period& Ts() const noexcept { return params_.Ts; }
    const Iir& iir() const noexcept { return iir_; }
    const State& state() const noexcept { return zi_; }
    const Last& last() const noexcept { return last_; }

    // The parts as kept, for a binding whose callers assign them directly.
    Parameters& parameters() noexcept { return params_; }
    State& state() noexcept { return zi_; }
    Last& last() noexcept { return last_; }

  private:
    // A parameter of this filter under assign_parameter (Parameter double).
    struct Setting {
        BasicLeadLag& f;
        Parameter& p;
        bool negative(double v) const noexcept { return v < 0; }
        double get() const noexcept { return p; }
        bool differs(double v, double old) const noexcept { return v != old; }
        void set(double v) noexcept { p = v; }
        void recompute() const { f.modify_param(); }
        void restore(double old) noexcept { p = old; }
    };

    // The law's view of this filter.
    struct Own {
        const LeadLagTaps& t;
        double& z_;
        double b0() const noexcept { return t.b0; }
        double b1() const noexcept { return t.b1; }
        double a1() const noexcept { return t.a1; }
        double fir() const noexcept { return t.fir; }
        double held() const noexcept { return t.held; }
        double& z() const noexcept { return z_; }
    };

    struct Span {
        const double* x;
        std::size_t n;
        double first() const { return at(0); }
        double last() const { return at(n - 1); }
        double at(std::size_t i) const {
            if (n == 0) throw std::out_of_range(first_of_empty);
            return x[i];
        }
    };

    void start_at_rest(double u) { zi_ = K::state(restart_state(iir_, u, u)); }

    // The old input and output are released last: releasing may run code
    // that uses the filter.
    double record(double u, double y) {
        [[maybe_unused]] Sample old_u = std::exchange(last_.u, Sample(u));
        [[maybe_unused]] Sample old_y = std::exchange(last_.y, Sample(y));
        return y;
    }

    Parameters params_;
    Discretiser discretise_;
    Iir iir_;
    std::optional<LeadLagTaps> taps_; // of iir_, where it has a lead-lag's shape
    State zi_{};
    Last last_;
};

using LeadLag = BasicLeadLag<>;

// The ideal lead-lag step trajectory from r1 to r2 over n samples with the
// time constant in samples, into w[0:n]: r1 + (r2 - r1)(1 - (1 - alpha)
// e^(-k/tao)), or r2 throughout for tao <= 0. `exp` takes the exponentials of
// w[0:n] in place (a Python binding hands in NumPy's vectorised exp, which
// may differ from std::exp in the last bit).
template <class Exp>
void filter_stp(double* w, std::size_t n, double tao, double alpha, double r1, double r2,
                Exp&& exp) {
    const double span = r2 - r1;
    if (tao <= 0) {
        for (std::size_t k = 0; k < n; ++k)
            w[k] = r1 + span * 1.0;
        return;
    }
    const double rate = -1 / tao;
    for (std::size_t k = 0; k < n; ++k)
        w[k] = rate * static_cast<double>(k);
    exp(w, n);
    const double gap = 1 - alpha;
    for (std::size_t k = 0; k < n; ++k)
        w[k] = r1 + span * (1 - gap * w[k]);
}

// The length of a trajectory asked for with N samples: none for a negative
// N (np.arange(0, N) is empty), which tao <= 0 refuses (np.ones(N)).
inline std::size_t filter_stp_length(long long N, double tao) {
    if (N < 0 && tao <= 0) throw std::invalid_argument(negative_dimensions);
    return N > 0 ? static_cast<std::size_t>(N) : 0;
}

inline std::vector<double> filter_stp(std::size_t n, double tao, double alpha, double r1 = 0.0,
                                      double r2 = 1.0) {
    std::vector<double> w(n);
    filter_stp(w.data(), n, tao, alpha, r1, r2, [](double* v, std::size_t m) {
        for (std::size_t k = 0; k < m; ++k)
            v[k] = std::exp(v[k]);
    });
    return w;
}

} // namespace korvel

// --- LeadLagBank: n lead-lags stepped together ----------------------------

namespace korvel {

// One lead-lag's parts as numbers: what a LeadLagBank keeps of each lane.
// zi is none before the state exists (it then has iir.state_size() items).
struct LeadLagLane {
    double alpha = 0.0, tao = 5.0;
    long long Ts = 1;
    std::vector<double> b{1.0}, a{1.0};
    std::optional<std::vector<double>> zi;
    std::optional<double> u, y;
};

// n lead-lags, each exactly a LeadLag: the same coefficient rule, the same
// step (lead_lag_law) on its own numbers, kept in blocks of lane_width lanes
// (lanes.hpp) so a sample is one loop over the lanes that streams its
// numbers together. A bank of one lane is a LeadLag.
//
// Lanes take the lead-lag's own coefficient shapes only (lead_lag_law.hpp,
// a[0] != 0): set_lane refuses others. Parameters are assigned to all lanes
// or none: assign() reports every lane that refuses and then changes
// nothing.
class LeadLagBank {
  public:
    using Discretiser = Discretise;

    // n lanes of LeadLag(alpha, tao, Ts) each (shared settings are made
    // discrete once), without an operating point. Ts: one period for every
    // lane, or n.
    LeadLagBank(std::size_t n, Lanes alpha, Lanes tao, std::span<const long long> Ts,
                Discretiser discretise = default_zoh)
        : LeadLagBank(n, std::move(discretise)) {
        std::vector<std::exception_ptr> failed(n);
        if (!configure(alpha, tao, Ts, failed.data())) std::rethrow_exception(first(failed));
    }
    explicit LeadLagBank(std::size_t n = 0, double alpha = 0.0, double tao = 5.0, long long Ts = 1,
                         Discretiser discretise = default_zoh)
        : LeadLagBank(n, Lanes::all(alpha), Lanes::all(tao), std::span<const long long>(&Ts, 1),
                      std::move(discretise)) {}
    // n pass-through lanes (tao 0), for configure().
    LeadLagBank(std::size_t n, Discretiser discretise)
        : discretise_(std::move(discretise)), alpha_(n), tao_(n), Ts_(n, 1), rb_(2 * n), ra_(2 * n),
          lb_(n, 1), la_(n, 1), rows_(lane_blocks(n)), started_(n), known_(n), x_(n), odd_(n),
          odd_z_(n), unstarted_(n), all_known_(n == 0) {
        for (std::size_t i = 0; i < n; ++i) {
            rb_[2 * i] = ra_[2 * i] = 1.0;
            row(Row::b0, i) = row(Row::fir, i) = 1.0;
        }
    }

    // Every lane's settings as the constructor takes them (no check of
    // signs; the state becomes none, the last input and output stay): all
    // lanes, or none where some lane's settings have no coefficients
    // (failed[i] says why; false).
    bool configure(Lanes alpha, Lanes tao, std::span<const long long> Ts,
                   std::exception_ptr* failed) {
        const std::size_t n = size();
        KORVEL_ASSERT(Ts.size() == 1 || Ts.size() == n);
        std::vector<long long> periods(n);
        for (std::size_t i = 0; i < n; ++i)
            periods[i] = Ts[Ts.size() == 1 ? 0 : i];
        std::vector<Coefficients> c(n);
        if (coefficients(alpha, tao, periods, c, failed)) return false;
        Ts_ = std::move(periods);
        for (std::size_t i = 0; i < n; ++i) {
            alpha_[i] = alpha[i], tao_[i] = tao[i];
            take(i, c[i]);
            unstarted_ += started_[i];
            started_[i] = 0;
        }
        return true;
    }

    std::size_t size() const noexcept { return alpha_.size(); }

    // The operating point of every lane, each part given or none, as the
    // constructor takes it: with both, the state starts from them.
    void set_operating_point(std::optional<Lanes> u_ini, std::optional<Lanes> y_ini) noexcept {
        all_known_ = u_ini && y_ini;
        for (std::size_t i = 0; i < size(); ++i) {
            row(Row::u, i) = u_ini ? (*u_ini)[i] : 0.0, row(Row::y, i) = y_ini ? (*y_ini)[i] : 0.0;
            known_[i] = static_cast<std::uint8_t>((u_ini ? 1 : 0) | (y_ini ? 2 : 0));
            restart(i);
        }
    }

    // One sample of every lane into out[0:size()] (out may be u's array).
    // Lanes that never ran start at rest at their input.
    void step(Lanes u, double* out) noexcept {
        const double* x = contiguous(u, size(), x_.data());
        if (unstarted_) {
            for (std::size_t i = 0; i < size(); ++i)
                if (!started_[i]) {
                    row(Row::z, i) = row(Row::held, i) != 0.0 ? restart_state(i, x[i], x[i]) : 0.0;
                    started_[i] = 1;
                }
            unstarted_ = 0;
        }
        // Every lane as a lane of the IIR path, the usual shape (a loop the
        // compiler runs several lanes at a time); then the other lanes again
        // from their state as it was, by their own path. Past a few such
        // lanes, every lane taking the law's choices costs less.
        if (odd_dirty_) index_odd();
        const std::size_t again = n_odd_ * 32 > size() ? 0 : n_odd_;
        if (again && x == out) // the lanes stepped again read their input after the loop
            x = std::copy_n(x, size(), x_.data()) - size();
        for (std::size_t k = 0; k < again; ++k)
            odd_z_[k] = row(Row::z, odd_[k]);
        again == n_odd_ ? lane_loop<OnIirPath>(x, out) : lane_loop<At>(x, out);
        for (std::size_t k = 0; k < again; ++k) {
            const std::size_t i = odd_[k];
            row(Row::z, i) = odd_z_[k];
            out[i] = row(Row::y, i) = lead_lag_law::step(at(i), x[i]);
        }
        if (!all_known_) {
            std::fill(known_.begin(), known_.end(), std::uint8_t{3});
            all_known_ = true;
        }
    }

    enum class Parameter { alpha, tao };

    // Assigns alpha or tao lane by lane as LeadLag::set_alpha does: a
    // negative value is refused, an equal one changes nothing, another is
    // stored and the lane's coefficients recomputed, its state restarted.
    // Where some lane refuses (failed[i] its exception), no lane changes and
    // false is returned.
    bool assign(Parameter which, Lanes v, std::exception_ptr* failed) {
        const std::size_t n = size();
        std::vector<double> alpha(alpha_), tao(tao_);
        std::vector<double>& to = which == Parameter::alpha ? alpha : tao;
        std::vector<std::uint8_t> changed(n);
        bool refused = false;
        for (std::size_t i = 0; i < n; ++i) {
            failed[i] = nullptr;
            if (v[i] < 0) {
                failed[i] = std::make_exception_ptr(
                    std::invalid_argument("Expected a non-negative value."));
                refused = true;
            } else if (v[i] != to[i]) {
                to[i] = v[i];
                changed[i] = 1;
            }
        }
        if (refused) return false;
        std::vector<Coefficients> c(n);
        if (coefficients({alpha.data()}, {tao.data()}, Ts_, c, failed, changed.data()))
            return false;
        for (std::size_t i = 0; i < n; ++i)
            if (changed[i]) {
                alpha_[i] = alpha[i], tao_[i] = tao[i];
                take(i, c[i]);
                restart(i);
            }
        return true;
    }
    // Every lane's coefficients anew from its parameters and the state
    // restarted (LeadLag::modify_param), all lanes or none.
    bool modify_param(std::exception_ptr* failed) {
        std::vector<Coefficients> c(size());
        if (coefficients({alpha_.data()}, {tao_.data()}, Ts_, c, failed)) return false;
        for (std::size_t i = 0; i < size(); ++i) {
            take(i, c[i]);
            restart(i);
        }
        return true;
    }

    // Lane i's parts, and lane i made of such parts (std::invalid_argument
    // for coefficients of another shape, the lane unchanged).
    LeadLagLane lane(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        LeadLagLane l{alpha_[i], tao_[i], Ts_[i], {rb_[2 * i]}, {ra_[2 * i]}, {}, {}, {}};
        if (lb_[i] == 2) l.b.push_back(rb_[2 * i + 1]);
        if (la_[i] == 2) l.a.push_back(ra_[2 * i + 1]);
        if (started_[i])
            l.zi = row(Row::held, i) != 0.0 ? std::vector<double>{row(Row::z, i)}
                                            : std::vector<double>{};
        if (known_[i] & 1) l.u = row(Row::u, i);
        if (known_[i] & 2) l.y = row(Row::y, i);
        return l;
    }
    void set_lane(std::size_t i, const LeadLagLane& l) {
        KORVEL_ASSERT(i < size());
        const Iir f(l.b, l.a);
        const auto t = LeadLagTaps::of(f);
        if (!t || l.a[0] == 0.0)
            throw std::invalid_argument("a lane takes a first-order lead-lag's coefficients");
        KORVEL_ASSERT(!l.zi || l.zi->size() == f.state_size());
        alpha_[i] = l.alpha, tao_[i] = l.tao, Ts_[i] = l.Ts;
        take(i, Coefficients{l.b, l.a}, *t);
        unstarted_ += started_[i] && !l.zi;
        unstarted_ -= !started_[i] && l.zi;
        started_[i] = l.zi.has_value();
        row(Row::z, i) = l.zi && !l.zi->empty() ? (*l.zi)[0] : 0.0;
        known_[i] = static_cast<std::uint8_t>((l.u ? 1 : 0) | (l.y ? 2 : 0));
        row(Row::u, i) = l.u.value_or(0.0), row(Row::y, i) = l.y.value_or(0.0);
        all_known_ = all_known_ && known_[i] == 3;
    }

    // Lane i as a lead-lag of its own, and back.
    LeadLag get(std::size_t i) const {
        LeadLagLane l = lane(i);
        return LeadLag({l.alpha, l.tao, l.Ts}, Iir(std::move(l.b), std::move(l.a)), std::move(l.zi),
                       {l.u, l.y}, discretise_);
    }
    void set(std::size_t i, const LeadLag& f) {
        set_lane(i, LeadLagLane{f.alpha(), f.tao(), f.Ts(), f.iir().b(), f.iir().a(), f.state(),
                                f.last().u, f.last().y});
    }

    const std::vector<double>& alpha() const noexcept { return alpha_; }
    const std::vector<double>& tao() const noexcept { return tao_; }
    const std::vector<long long>& Ts() const noexcept { return Ts_; }

  private:
    using Coefficients = LeadLag::Coefficients;

    // The coefficients of the lanes flagged (all where `only` is null) from
    // these parameters, each (alpha, tao, Ts) made discrete once. Returns
    // how many lanes failed (failed[i] says why).
    std::size_t coefficients(Lanes alpha, Lanes tao, const std::vector<long long>& Ts_of,
                             std::vector<Coefficients>& c, std::exception_ptr* failed,
                             const std::uint8_t* only = nullptr) {
        struct Made {
            double alpha, tao;
            long long Ts;
            std::size_t lane;
        };
        std::vector<Made> made; // the settings made discrete so far, most recent last
        std::size_t n_failed = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            failed[i] = nullptr;
            if (only && !only[i]) continue;
            const double al = alpha[i], ta = tao[i];
            const long long Ts = Ts_of[i];
            const auto same = [&](const Made& m) {
                return std::bit_cast<std::uint64_t>(m.alpha) == std::bit_cast<std::uint64_t>(al) &&
                       std::bit_cast<std::uint64_t>(m.tao) == std::bit_cast<std::uint64_t>(ta) &&
                       m.Ts == Ts;
            };
            // Shared settings repeat the last lane's; a few distinct ones are
            // looked up, so a bank of mixed lanes discretises each once.
            const auto stop = made.size() > 64 ? made.rbegin() + 64 : made.rend();
            const auto it = std::find_if(made.rbegin(), stop, same);
            if (it != stop) {
                c[i] = c[it->lane];
                if (failed[it->lane]) failed[i] = failed[it->lane], ++n_failed;
                continue;
            }
            try {
                c[i] = LeadLag::coefficients(al, ta, Ts, discretise_);
            } catch (...) {
                failed[i] = std::current_exception();
                ++n_failed;
            }
            made.push_back({al, ta, Ts, i});
        }
        return n_failed;
    }
    static std::exception_ptr first(const std::vector<std::exception_ptr>& failed) {
        for (const auto& e : failed)
            if (e) return e;
        return nullptr;
    }

    // Lane i runs on coefficients c (of a lead-lag's shape).
    void take(std::size_t i, const Coefficients& c) {
        const Iir f(c.b, c.a);
        const auto t = LeadLagTaps::of(f);
        KORVEL_ASSERT(t.has_value());
        take(i, c, *t);
    }
    void take(std::size_t i, const Coefficients& c, const LeadLagTaps& t) noexcept {
        lb_[i] = static_cast<std::uint8_t>(c.b.size());
        la_[i] = static_cast<std::uint8_t>(c.a.size());
        rb_[2 * i] = c.b[0], rb_[2 * i + 1] = lb_[i] == 2 ? c.b[1] : 0.0;
        ra_[2 * i] = c.a[0], ra_[2 * i + 1] = la_[i] == 2 ? c.a[1] : 0.0;
        row(Row::b0, i) = t.b0, row(Row::b1, i) = t.b1, row(Row::a1, i) = t.a1;
        row(Row::fir, i) = t.fir, row(Row::held, i) = t.held;
        odd_dirty_ = true;
    }
    double restart_state(std::size_t i, double u, double y) const noexcept {
        return lead_lag_law::restart(&rb_[2 * i], lb_[i], &ra_[2 * i], la_[i], u, y);
    }
    // The state from the last input and output where both are known; none
    // otherwise.
    void restart(std::size_t i) noexcept {
        const bool start = known_[i] == 3;
        unstarted_ += started_[i] && !start;
        unstarted_ -= !started_[i] && start;
        started_[i] = start;
        row(Row::z, i) = start && row(Row::held, i) != 0.0
                             ? restart_state(i, row(Row::u, i), row(Row::y, i))
                             : 0.0;
    }

    // The numbers of a lane, rows of its block: those every step reads
    // first. b0, b1, a1, fir and held are the lane's LeadLagTaps; z its state
    // item (0.0 where there is none); u and y its last input and output.
    enum class Row : std::uint8_t { b0, b1, a1, z, u, y, fir, held, count };
    using Block = LaneBlock<static_cast<std::size_t>(Row::count)>;
    double& row(Row r, std::size_t i) noexcept {
        return rows_[i / lane_width].v[static_cast<std::size_t>(r)][i % lane_width];
    }
    double row(Row r, std::size_t i) const noexcept {
        return rows_[i / lane_width].v[static_cast<std::size_t>(r)][i % lane_width];
    }

    // The law's view of lane j of a block.
    struct At {
        Block& b;
        std::size_t j;
        double& r(Row x) const noexcept { return b.v[static_cast<std::size_t>(x)][j]; }
        double b0() const noexcept { return r(Row::b0); }
        double b1() const noexcept { return r(Row::b1); }
        double a1() const noexcept { return r(Row::a1); }
        double fir() const noexcept { return r(Row::fir); }
        double held() const noexcept { return r(Row::held); }
        double& z() const noexcept { return r(Row::z); }
    };
    At at(std::size_t i) noexcept { return At{rows_[i / lane_width], i % lane_width}; }
    // Lane j taken to be on the IIR path: the law's choices fold away.
    struct OnIirPath : At {
        double fir() const noexcept { return 0.0; }
        double held() const noexcept { return 1.0; }
    };
    // The lanes not on the IIR path, after their shapes changed.
    void index_odd() noexcept {
        n_odd_ = 0;
        for (std::size_t i = 0; i < size(); ++i)
            if (row(Row::fir, i) > 0.0 || !(row(Row::held, i) > 0.0)) odd_[n_odd_++] = i;
        odd_dirty_ = false;
    }
    // Every lane stepped by the law's view V (At, or OnIirPath: as a lane of
    // the IIR path).
    template <class V> KORVEL_LANE_CLONES void lane_loop(const double* x, double* out) noexcept {
        const std::size_t n = size(), full = n / lane_width;
        for (std::size_t k = 0; k < full; ++k)
            block_step<V>(rows_[k], x + k * lane_width, out + k * lane_width, lane_width);
        if (n % lane_width)
            block_step<V>(rows_[full], x + full * lane_width, out + full * lane_width,
                          n % lane_width);
    }
    template <class V>
    KORVEL_ALWAYS_INLINE static void block_step(Block& b, const double* x, double* out,
                                                std::size_t m) noexcept {
        KORVEL_LANE_LOOP
        for (std::size_t j = 0; j < m; ++j) {
            const double xj = x[j];
            const double y = lead_lag_law::step(V{At{b, j}}, xj);
            b.v[static_cast<std::size_t>(Row::u)][j] = xj;
            b.v[static_cast<std::size_t>(Row::y)][j] = y;
            out[j] = y;
        }
    }

    Discretiser discretise_;
    std::vector<double> alpha_, tao_;
    std::vector<long long> Ts_;
    std::vector<double> rb_, ra_;       // b and a as made (two per lane, zero-padded)
    std::vector<std::uint8_t> lb_, la_; // their lengths (1 or 2)
    std::vector<Block> rows_;           // the lanes' numbers (Row)
    std::vector<std::uint8_t> started_; // the state exists
    std::vector<std::uint8_t> known_;   // 1: u_ known, 2: y_ known
    std::vector<double> x_;             // an input's lanes when given otherwise
    std::vector<std::size_t> odd_;      // the lanes not on the IIR path (n_odd_ of them)
    std::vector<double> odd_z_;         // their state before a step
    std::size_t n_odd_ = 0;
    bool odd_dirty_ = true; // odd_ to be made anew
    std::size_t unstarted_; // lanes whose state is none
    bool all_known_;        // every lane knows its last input and output
};

} // namespace korvel
