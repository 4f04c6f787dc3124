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
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "iir.hpp"
#include "lanes.hpp"
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
          last_(std::move(last)) {
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
    }

    // One sample; a filter that never ran starts at rest at its input.
    double step(double u) {
        if (!K::started(zi_)) [[unlikely]]
            start_at_rest(u);
        iir_.check();
        return record(u, iir_.step(u, K::data(zi_)));
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
