// Incremental (velocity-form) PID with tracking, feed-forward and output
// limits. The non-interacting law
//
//   u(s) = Kp (1 + 1/(TI s) + TD s / ((TD/N) s + 1)) [SP(s) - PV(s)]
//
// is discretised with backward Euler; each sample adds the increments of the
// P, I, D and feed-forward terms to the previous limited output, so the
// integral cannot wind up beyond the limits and retuning is bumpless.
//
// Every expression keeps the evaluation order the results are specified in,
// so outputs agree to the last bit (build with -ffp-contract=off).
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lanes.hpp"
#include "simd.hpp"

namespace korvel {

// What a controller refuses to take, and says so.
inline constexpr const char* limits_refused_note =
    "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!";

struct PidParams {
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
};
// Output of one sample and its parts.
struct PidSaved {
    double OP = 0.0, OPcal = 0.0, dOP = 0.0, dOP_P = 0.0, dOP_I = 0.0, dOP_D = 0.0, dFF = 0.0;
};
// e(k-1), e(k-2), previous output, previous feed-forward, previous
// derivative increment.
struct PidHistory {
    double et1 = 0.0, et2 = 0.0, OP1 = 0.0, FF1 = 0.0, dOPD1 = 0.0;
};

// A mode that cannot be rounded (NaN, infinite) makes run() fail after its
// first-call initialisation.
enum class PidModeError : std::uint8_t { none, nan, inf };

// What the law derives from the parameters and TS: the integral gain
// KP*TS/TI, the derivative filter's time constant tao = TD/N, the
// derivative gain KP*TD and the divisor max(tao + TS, 1e-6). A Pid derives
// them at each sample; a PidBank keeps them per lane (they change only with
// the parameters), so its step divides once per lane.
struct PidCoefficients {
    double ki, tao, kd, d;
};
inline PidCoefficients pid_coefficients(double KP, double TI, double TD, double N,
                                        double TS) noexcept {
    const double tao = TD / N;
    const double d0 = tao + TS;
    return {(KP * TS) / TI, tao, KP * TD, 1e-6 > d0 ? 1e-6 : d0};
}

// The law on one controller's numbers, wherever they are kept: `L` gives
// references to them (ini, TS, KP, TI, TD, N, hi, lo, the history et1, et2,
// OP1, FF1, dOPD1 and the saved OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF;
// an automatic step reads the values and hands back what it computed). A
// Pid keeps one set, a PidBank one set per lane, so both run this code.
namespace pid_law {

// Stores the parameters with TI, TD >= 0 and N >= 1e-6; a NaN passes
// through unchanged (the comparison is false).
template <class L> void set_params(L l, double KP, double TI, double TD, double N) noexcept {
    l.KP() = KP;
    l.TI() = 0.0 > TI ? 0.0 : TI;
    l.TD() = 0.0 > TD ? 0.0 : TD;
    l.N() = 1e-6 > N ? 1e-6 : N;
}

// Accepts OP_HI >= OP_LO only; false, the old limits kept, otherwise (a NaN
// included).
template <class L> bool set_limits(L l, double hi, double lo) noexcept {
    if (!(hi >= lo)) return false;
    l.hi() = hi;
    l.lo() = lo;
    return true;
}

// Initialises history and saved state so that the next automatic sample
// starts from TV without a bump. TV is kept unlimited.
template <class L> void reset(L l, double SP, double PV, double TV, double FF) noexcept {
    l.et1() = SP - PV;
    l.et2() = SP - PV;
    l.OP1() = TV;
    l.FF1() = FF;
    l.dOPD1() = 0.0;
    l.ini() = false;
    l.OP() = TV;
    l.OPcal() = TV;
    l.dOP() = 0.0;
    l.dOP_P() = 0.0;
    l.dOP_I() = 0.0;
    l.dOP_D() = 0.0;
    l.dFF() = 0.0;
}

// The P and I increments of a step from e(k-1) = et1 to e(k) = et, and the
// output increment they make with the D and feed-forward increments. A
// PidBank derives a step's saved numbers again from these after the step.
struct PidIncrements {
    double dOP_P, dOP_I, dOP;
};
KORVEL_ALWAYS_INLINE PidIncrements increments(double KP, double TI, double ki, double et,
                                              double et1, double dOP_D, double dFF) noexcept {
    const double dOP_P = KP * (et - et1);
    // Both sides are computed and one taken, so that a bank's loop has no
    // branch (the side not taken may be inf or NaN: it is unused).
    const double dOP_I_raw = ki * et;
    const double dOP_I = TI > 0 ? dOP_I_raw : 0.0;
    return {dOP_P, dOP_I, ((dOP_P + dOP_I) + dOP_D) + dFF};
}

// One automatic step; the history must have been initialised. `l.c()` gives
// the lane's coefficients; `l.keep(history, saved)` keeps the step's result.
// Where L::derivative is false every lane has TD <= 0, and the derivative
// term is 0.0 without being computed.
template <class L>
KORVEL_ALWAYS_INLINE double automatic(L l, double SP, double PV, double FF) noexcept {
    const double et = SP - PV;
    const double et1 = l.et1();
    const PidCoefficients c = l.c();
    double dOP_D = 0.0;
    if constexpr (L::derivative) {
        const double ddet = (et - 2.0 * et1) + l.et2();
        const double dOP_D_raw = (c.tao * l.dOPD1() + c.kd * ddet) / c.d;
        dOP_D = l.TD() > 0 ? dOP_D_raw : 0.0;
    }
    const double dFF = FF - l.FF1();
    const PidIncrements d = increments(l.KP(), l.TI(), c.ki, et, et1, dOP_D, dFF);
    const double OPcal = d.dOP + l.OP1();
    const double lo = l.lo(), hi = l.hi();
    const double x = lo > OPcal ? lo : OPcal;
    const double OP = hi < x ? hi : x;
    l.keep(PidHistory{et, et1, OP, FF, dOP_D},
           PidSaved{OP, OPcal, d.dOP, d.dOP_P, d.dOP_I, dOP_D, dFF});
    return OP;
}

// First call (any mode) initialises the history; then rounded mode 1 is
// automatic, any other rounded mode tracks TV. A mode that cannot be rounded
// sets `err` after the first-call initialisation, and changes nothing else.
template <class L>
double run(L l, double mode, double SP, double PV, double TV, double FF,
           PidModeError& err) noexcept {
    err = PidModeError::none;
    if (l.ini()) reset(l, SP, PV, TV, FF);
    if (std::isnan(mode)) {
        err = PidModeError::nan;
        return 0.0;
    }
    if (std::isinf(mode)) {
        err = PidModeError::inf;
        return 0.0;
    }
    // Rounded half to even, the mode is 1 exactly when 0.5 < mode < 1.5
    // (0.5 rounds to 0, 1.5 to 2): no rounding call per sample.
    if (mode > 0.5 && mode < 1.5) return automatic(l, SP, PV, FF);
    const double lo = l.lo(), hi = l.hi();
    const double x = lo > TV ? lo : TV;
    const double OP = hi < x ? hi : x;
    reset(l, SP, PV, TV, FF);
    return OP;
}

} // namespace pid_law

class Pid {
  public:
    using Params = PidParams;
    using Saved = PidSaved;
    using History = PidHistory;
    using ModeError = PidModeError;

    explicit Pid(double TS = 1.0) noexcept : TS_(TS) {}

    void set_params(double KP, double TI, double TD, double N) noexcept {
        pid_law::set_params(one(), KP, TI, TD, N);
    }
    const Params& params() const noexcept { return p_; }

    bool set_limits(double hi, double lo) noexcept { return pid_law::set_limits(one(), hi, lo); }
    double op_hi() const noexcept { return hi_; }
    double op_lo() const noexcept { return lo_; }

    void reset(double SP, double PV, double TV, double FF) noexcept {
        pid_law::reset(one(), SP, PV, TV, FF);
    }
    double run(double mode, double SP, double PV, double TV, double FF, ModeError& err) noexcept {
        return pid_law::run(one(), mode, SP, PV, TV, FF, err);
    }
    // The history must have been initialised by reset() or a first run().
    double automatic(double SP, double PV, double FF) noexcept {
        return pid_law::automatic(one(), SP, PV, FF);
    }

    // Configuration, readable and writable as the block's fields.
    bool ini_flag() const noexcept { return ini_; }
    void set_ini_flag(bool v) noexcept { ini_ = v; }
    double TS() const noexcept { return TS_; }
    void set_TS(double v) noexcept { TS_ = v; }
    Params& params_mut() noexcept { return p_; }
    void set_hi(double v) noexcept { hi_ = v; }
    void set_lo(double v) noexcept { lo_ = v; }

    const History& history() const noexcept { return h_; }
    History& history_mut() noexcept { return h_; }
    const Saved& saved() const noexcept { return s_; }
    Saved& saved_mut() noexcept { return s_; }

    static std::string_view form() noexcept {
        return "\n"
               "Name: Non-Interacting A\n"
               "Continuous Time:\n"
               "                  1             TD*s\n"
               "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
               "                TI*s         TD\n"
               "                            -----*s  +  1\n"
               "                              N\n"
               "Discrete: (Backward Euler)\n"
               "\n"
               "    1        TS*z\n"
               "---- = ------------\n"
               "    s        z - 1\n"
               "\n"
               "Default Parameters:\n"
               "Kp = 1.0\n"
               "TI = 60.0\n"
               "TD = 0.0\n"
               "N = 10.0\n"
               "TS = 1\n";
    }

  private:
    // The law's view of this controller's numbers.
    struct One {
        Pid& p;
        static constexpr bool derivative = true;
        bool& ini() const noexcept { return p.ini_; }
        double& TS() const noexcept { return p.TS_; }
        double& KP() const noexcept { return p.p_.KP; }
        double& TI() const noexcept { return p.p_.TI; }
        double& TD() const noexcept { return p.p_.TD; }
        double& N() const noexcept { return p.p_.N; }
        double& hi() const noexcept { return p.hi_; }
        double& lo() const noexcept { return p.lo_; }
        double& et1() const noexcept { return p.h_.et1; }
        double& et2() const noexcept { return p.h_.et2; }
        double& OP1() const noexcept { return p.h_.OP1; }
        double& FF1() const noexcept { return p.h_.FF1; }
        double& dOPD1() const noexcept { return p.h_.dOPD1; }
        double& OP() const noexcept { return p.s_.OP; }
        double& OPcal() const noexcept { return p.s_.OPcal; }
        double& dOP() const noexcept { return p.s_.dOP; }
        double& dOP_P() const noexcept { return p.s_.dOP_P; }
        double& dOP_I() const noexcept { return p.s_.dOP_I; }
        double& dOP_D() const noexcept { return p.s_.dOP_D; }
        double& dFF() const noexcept { return p.s_.dFF; }
        PidCoefficients c() const noexcept {
            return pid_coefficients(p.p_.KP, p.p_.TI, p.p_.TD, p.p_.N, p.TS_);
        }
        void keep(const PidHistory& h, const PidSaved& s) const noexcept {
            p.h_ = h;
            p.s_ = s;
        }
    };
    One one() noexcept { return One{*this}; }

    bool ini_ = true;
    double TS_;
    Params p_{};
    double hi_ = 100.0, lo_ = 0.0;
    History h_{};
    Saved s_{};
};

// n controllers stepped together, each exactly a Pid: the same law on its
// own numbers. A step of many lanes is bound by the bytes each lane moves
// between the caches, not by its arithmetic, so the bank keeps the numbers in
// blocks of lane_width lanes (lanes.hpp), one row per number, the rows a step
// reads in blocks of their own, and its step of every lane in automatic moves
// only what it must:
//
// - it keeps OPcal and dFF of the saved numbers; OP, dOP and the P, I and D
//   increments follow from the new history and the coefficients (Pending),
//   and are derived when read or before anything changes what they follow
//   from (settle());
// - while every lane's FF1 is one value and the step's FF is one value, it
//   keeps FF1 and dFF once for the bank (same_ff_);
// - while no lane has a derivative term and every dOPD1 is +0.0, it skips
//   the term, which is then 0.0 in every lane (no_derivative()).
//
// Each gives the bits of the plain law: the same operations on the same
// operands. A bank of one lane is a Pid.
class PidBank {
  public:
    // The numbers of a lane, as a Pid keeps them: its configuration, its
    // history (et1 to dOPD1) and its saved numbers (OP to dFF).
    // clang-format off
    enum Number : std::uint8_t {
        TS, KP, TI, TD, N, hi, lo,
        et1, et2, OP1, FF1, dOPD1,
        OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF
    };
    // clang-format on
    static constexpr std::size_t n_numbers = 19;

    explicit PidBank(std::size_t n = 0, double TS_ = 1.0)
        : ini(n, 1), n_(n), hot_(lane_blocks(n)), rest_(hot_.size()),
          in_{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)} {
        const PidParams q{};
        for (std::size_t i = 0; i < n; ++i) {
            row(Row::TS, i) = TS_;
            row(Row::KP, i) = q.KP, row(Row::TI, i) = q.TI, row(Row::TD, i) = q.TD;
            row(Row::N, i) = q.N, row(Row::hi, i) = 100.0, row(Row::lo, i) = 0.0;
            derive(i);
        }
    }

    std::size_t size() const noexcept { return n_; }

    // One sample of every lane into out[0:size()]. When some lane's mode
    // cannot be rounded, those lanes do what a Pid does (a first-call
    // initialisation), err[0:size()] says which and no other lane steps;
    // returns how many could not (err holds nothing of use when none).
    std::size_t run(Lanes mode, Lanes SP, Lanes PV, Lanes TV, Lanes FF, double* out,
                    PidModeError* err) noexcept {
        const auto [odd, manual] = survey(mode);
        // Every lane automatic and started, the usual case of a simulation:
        // one loop without branches.
        if (!odd && !manual) {
            automatic(SP, PV, FF, out);
            return 0;
        }
        settle();
        if (odd) {
            std::size_t refused = 0;
            for (std::size_t i = 0; i < size(); ++i) {
                const double m = mode[i];
                err[i] = std::isnan(m)   ? PidModeError::nan
                         : std::isinf(m) ? PidModeError::inf
                                         : PidModeError::none;
                if (err[i] != PidModeError::none) {
                    pid_law::run(lane(i), m, SP[i], PV[i], TV[i], FF[i], err[i]);
                    ++refused;
                }
            }
            // A first call may have reset some lanes (dOPD1 +0.0, FF1 theirs).
            same_ff_ = false;
            return refused;
        }
        for (std::size_t i = 0; i < size(); ++i)
            out[i] = pid_law::run(lane(i), mode[i], SP[i], PV[i], TV[i], FF[i], err[i]);
        stepped_all(FF);
        return 0;
    }
    // Every lane automatic; each lane's history must have been initialised.
    void automatic(Lanes SP, Lanes PV, Lanes FF, double* out) noexcept {
        const bool one_ff = FF.stride == 0;
        const bool keep_ff = one_ff && same_ff_;
        if (!keep_ff && pending_ == Pending::saved_ff) settle(); // the loop reads FF1 per lane
        const bool d = !no_derivative();
        with_lanes(size(), in_, {SP, PV, FF}, [&](auto sp, auto pv, auto ff) {
            if constexpr (std::is_same_v<decltype(ff), SameLane>) {
                if (keep_ff) {
                    d ? automatic_loop<true, false>(sp, pv, ff, out)
                      : automatic_loop<false, false>(sp, pv, ff, out);
                    return;
                }
            }
            d ? automatic_loop<true, true>(sp, pv, ff, out)
              : automatic_loop<false, true>(sp, pv, ff, out);
        });
        if (keep_ff) {
            dff_ = FF[0] - ff1_;
            pending_ = Pending::saved_ff;
        } else {
            pending_ = Pending::saved;
        }
        stepped_all(FF);
    }
    void set_params(Lanes KP_, Lanes TI_, Lanes TD_, Lanes N_) noexcept {
        settle();
        for (std::size_t i = 0; i < size(); ++i) {
            pid_law::set_params(lane(i), KP_[i], TI_[i], TD_[i], N_[i]);
            derive(i);
        }
        count_derivatives();
    }
    // refused[i] is set for the lanes whose limits were refused (they keep
    // theirs); returns how many were.
    std::size_t set_limits(Lanes hi_, Lanes lo_, std::uint8_t* refused) noexcept {
        std::size_t n = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            refused[i] = !pid_law::set_limits(lane(i), hi_[i], lo_[i]);
            n += refused[i];
        }
        return n;
    }
    void reset(Lanes SP, Lanes PV, Lanes TV, Lanes FF) noexcept {
        for (std::size_t i = 0; i < size(); ++i)
            pid_law::reset(lane(i), SP[i], PV[i], TV[i], FF[i]);
        pending_ = Pending::none; // every saved number and FF1 written
        zero_dOPD1_ = true;
        same_ff_ = FF.stride == 0;
        ff1_ = same_ff_ ? FF[0] : 0.0;
    }

    // Lane i as a controller of its own, and back.
    Pid get(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        Pid p(row(Row::TS, i));
        p.set_ini_flag(ini[i] != 0);
        p.params_mut() =
            PidParams{row(Row::KP, i), row(Row::TI, i), row(Row::TD, i), row(Row::N, i)};
        p.set_hi(row(Row::hi, i));
        p.set_lo(row(Row::lo, i));
        p.history_mut() = history(i);
        p.saved_mut() = saved(i);
        return p;
    }
    void set(std::size_t i, const Pid& p) {
        KORVEL_ASSERT(i < size());
        settle();
        n_derivative_ -= row(Row::TD, i) > 0;
        ini[i] = p.ini_flag();
        row(Row::TS, i) = p.TS();
        const PidParams& q = p.params();
        row(Row::KP, i) = q.KP, row(Row::TI, i) = q.TI;
        row(Row::TD, i) = q.TD, row(Row::N, i) = q.N;
        row(Row::hi, i) = p.op_hi(), row(Row::lo, i) = p.op_lo();
        const PidHistory& h = p.history();
        row(Row::et1, i) = h.et1, row(Row::et2, i) = h.et2, row(Row::OP1, i) = h.OP1;
        row(Row::FF1, i) = h.FF1, row(Row::dOPD1, i) = h.dOPD1;
        const PidSaved& v = p.saved();
        row(Row::OP, i) = v.OP, row(Row::OPcal, i) = v.OPcal, row(Row::dOP, i) = v.dOP;
        row(Row::dOP_P, i) = v.dOP_P, row(Row::dOP_I, i) = v.dOP_I, row(Row::dOP_D, i) = v.dOP_D;
        row(Row::dFF, i) = v.dFF;
        derive(i);
        n_derivative_ += q.TD > 0;
        zero_dOPD1_ = zero_dOPD1_ && positive_zero(h.dOPD1);
        same_ff_ =
            same_ff_ && std::bit_cast<std::uint64_t>(h.FF1) == std::bit_cast<std::uint64_t>(ff1_);
    }

    // Number k of lane i, and of every lane.
    double number(Number k, std::size_t i) const noexcept {
        KORVEL_ASSERT(i < size() && k < n_numbers);
        if (k >= OP) {
            const PidSaved s = saved(i);
            const double v[] = {s.OP, s.OPcal, s.dOP, s.dOP_P, s.dOP_I, s.dOP_D, s.dFF};
            return v[k - OP];
        }
        if (k == FF1) return history(i).FF1;
        return row(row_of[k], i);
    }
    std::vector<double> numbers(Number k) const {
        std::vector<double> v(size());
        for (std::size_t i = 0; i < size(); ++i)
            v[i] = number(k, i);
        return v;
    }
    // Sets number k of every lane; a parameter's lanes derive their
    // coefficients again.
    void set_numbers(Number k, Lanes v) noexcept {
        KORVEL_ASSERT(k < n_numbers);
        settle();
        for (std::size_t i = 0; i < size(); ++i) {
            row(row_of[k], i) = v[i];
            if (k <= N) derive(i);
            if (k == dOPD1) zero_dOPD1_ = zero_dOPD1_ && positive_zero(v[i]);
        }
        if (k == TD) count_derivatives();
        if (k == FF1) same_ff_ = false;
    }

    // Whether each lane has yet to take its first sample (what a Pid's
    // ini_flag() says).
    std::vector<std::uint8_t> ini;

  private:
    // The rows of a block: first those every automatic step reads, then
    // those of a per-lane feed-forward, of the derivative term, and the
    // rest. ki, tao, kd and d are derived from the parameters and TS.
    // clang-format off
    enum class Row : std::uint8_t {
        KP, ki, TI, lo, hi, et1, et2, OP1, OPcal,
        FF1, dFF,
        TD, tao, kd, d, dOPD1,
        TS, N, OP, dOP, dOP_P, dOP_I, dOP_D,
        count
    };
    // clang-format on
    static constexpr Row row_of[n_numbers] = {
        Row::TS,  Row::KP,    Row::TI,    Row::TD,    Row::N,     Row::hi, Row::lo,
        Row::et1, Row::et2,   Row::OP1,   Row::FF1,   Row::dOPD1, Row::OP, Row::OPcal,
        Row::dOP, Row::dOP_P, Row::dOP_I, Row::dOP_D, Row::dFF};
    // The rows a step of every lane reads (KP to OPcal) in blocks of their
    // own, so that they stream from memory without the others between them.
    static constexpr std::size_t n_hot = static_cast<std::size_t>(Row::FF1);
    static constexpr std::size_t n_rest = static_cast<std::size_t>(Row::count) - n_hot;
    using Hot = LaneBlock<n_hot>;
    using Rest = LaneBlock<n_rest>;
    // Row r of lane j in its block pair.
    static double& in(Hot& h, Rest& c, Row r, std::size_t j) noexcept {
        const auto k = static_cast<std::size_t>(r);
        return k < n_hot ? h.v[k][j] : c.v[k - n_hot][j];
    }
    double& row(Row r, std::size_t i) noexcept {
        return in(hot_[i / lane_width], rest_[i / lane_width], r, i % lane_width);
    }
    double row(Row r, std::size_t i) const noexcept {
        return const_cast<PidBank*>(this)->row(r, i);
    }

    // What a step of every lane in automatic left to derive: OP, dOP and
    // the P, I and D increments of every lane (saved), and with them FF1 =
    // ff1_ and dFF = dff_ of every lane (saved_ff).
    enum class Pending : std::uint8_t { none, saved, saved_ff };

    static bool positive_zero(double v) noexcept { return std::bit_cast<std::uint64_t>(v) == 0; }

    PidHistory history(std::size_t i) const noexcept {
        return {row(Row::et1, i), row(Row::et2, i), row(Row::OP1, i),
                pending_ == Pending::saved_ff ? ff1_ : row(Row::FF1, i), row(Row::dOPD1, i)};
    }
    // The saved numbers of lane i; after an automatic step, derived as the
    // step computed them: et1 is the step's e(k), et2 its e(k-1), dOPD1 its D
    // increment and OP1 its OP.
    PidSaved saved(std::size_t i) const noexcept {
        if (pending_ == Pending::none)
            return {row(Row::OP, i),    row(Row::OPcal, i), row(Row::dOP, i), row(Row::dOP_P, i),
                    row(Row::dOP_I, i), row(Row::dOP_D, i), row(Row::dFF, i)};
        const double dOP_D = row(Row::dOPD1, i);
        const double dFF = pending_ == Pending::saved_ff ? dff_ : row(Row::dFF, i);
        const auto d = pid_law::increments(row(Row::KP, i), row(Row::TI, i), row(Row::ki, i),
                                           row(Row::et1, i), row(Row::et2, i), dOP_D, dFF);
        return {row(Row::OP1, i), row(Row::OPcal, i), d.dOP, d.dOP_P, d.dOP_I, dOP_D, dFF};
    }
    // Writes what is pending into the rows, before anything reads them per
    // lane or changes what they are derived from.
    void settle() noexcept {
        if (pending_ == Pending::none) return;
        for (std::size_t i = 0; i < size(); ++i) {
            const PidSaved s = saved(i);
            row(Row::OP, i) = s.OP, row(Row::dOP, i) = s.dOP, row(Row::dOP_P, i) = s.dOP_P;
            row(Row::dOP_I, i) = s.dOP_I, row(Row::dOP_D, i) = s.dOP_D, row(Row::dFF, i) = s.dFF;
            row(Row::FF1, i) = history(i).FF1;
        }
        pending_ = Pending::none;
    }
    // After every lane took a sample with FF: each has FF1 = FF[i], and a
    // lane without a derivative term has dOPD1 = +0.0.
    void stepped_all(Lanes FF) noexcept {
        same_ff_ = FF.stride == 0;
        ff1_ = same_ff_ ? FF[0] : 0.0;
        zero_dOPD1_ = n_derivative_ == 0;
    }
    bool no_derivative() const noexcept { return n_derivative_ == 0 && zero_dOPD1_; }
    void count_derivatives() noexcept {
        n_derivative_ = 0;
        for (std::size_t i = 0; i < size(); ++i)
            n_derivative_ += row(Row::TD, i) > 0;
    }
    // The coefficients of lane i from its parameters and TS.
    void derive(std::size_t i) noexcept {
        const PidCoefficients c = pid_coefficients(
            row(Row::KP, i), row(Row::TI, i), row(Row::TD, i), row(Row::N, i), row(Row::TS, i));
        row(Row::ki, i) = c.ki, row(Row::tao, i) = c.tao, row(Row::kd, i) = c.kd,
                     row(Row::d, i) = c.d;
    }

    // The law's view of lane i, every number kept.
    struct Lane {
        PidBank& b;
        std::size_t i;
        static constexpr bool derivative = true;
        struct Flag {
            std::uint8_t& v;
            operator bool() const noexcept { return v != 0; }
            Flag& operator=(bool x) noexcept {
                v = x;
                return *this;
            }
        };
        Flag ini() const noexcept { return Flag{b.ini[i]}; }
        double& r(Row x) const noexcept { return b.row(x, i); }
        double& TS() const noexcept { return r(Row::TS); }
        double& KP() const noexcept { return r(Row::KP); }
        double& TI() const noexcept { return r(Row::TI); }
        double& TD() const noexcept { return r(Row::TD); }
        double& N() const noexcept { return r(Row::N); }
        double& hi() const noexcept { return r(Row::hi); }
        double& lo() const noexcept { return r(Row::lo); }
        double& et1() const noexcept { return r(Row::et1); }
        double& et2() const noexcept { return r(Row::et2); }
        double& OP1() const noexcept { return r(Row::OP1); }
        double& FF1() const noexcept { return r(Row::FF1); }
        double& dOPD1() const noexcept { return r(Row::dOPD1); }
        double& OP() const noexcept { return r(Row::OP); }
        double& OPcal() const noexcept { return r(Row::OPcal); }
        double& dOP() const noexcept { return r(Row::dOP); }
        double& dOP_P() const noexcept { return r(Row::dOP_P); }
        double& dOP_I() const noexcept { return r(Row::dOP_I); }
        double& dOP_D() const noexcept { return r(Row::dOP_D); }
        double& dFF() const noexcept { return r(Row::dFF); }
        PidCoefficients c() const noexcept {
            return {r(Row::ki), r(Row::tao), r(Row::kd), r(Row::d)};
        }
        void keep(const PidHistory& h, const PidSaved& s) const noexcept {
            et1() = h.et1, et2() = h.et2, OP1() = h.OP1, FF1() = h.FF1, dOPD1() = h.dOPD1;
            OP() = s.OP, OPcal() = s.OPcal, dOP() = s.dOP, dOP_P() = s.dOP_P;
            dOP_I() = s.dOP_I, dOP_D() = s.dOP_D, dFF() = s.dFF;
        }
    };
    Lane lane(std::size_t i) noexcept { return Lane{*this, i}; }

    // Whether some lane has a mode that is not finite, and whether some lane
    // would not take the automatic step (another mode, or not started); one
    // pass without branches.
    struct Survey {
        bool odd, manual;
    };
    KORVEL_LANE_CLONES Survey survey(Lanes mode) const noexcept {
        const std::size_t n = size();
        const std::uint8_t* first = ini.data();
        if (mode.stride == 0) {
            const double m = mode[0];
            if (!std::isfinite(m)) return {n != 0, n != 0};
            if (!(m > 0.5 && m < 1.5)) return {false, n != 0};
            std::uint8_t unstarted = 0;
            KORVEL_LANE_LOOP_ANY(unstarted)
            for (std::size_t i = 0; i < n; ++i)
                unstarted |= first[i];
            return {false, unstarted != 0};
        }
        std::uint8_t odd = 0, manual = 0;
        const double* m = mode.data;
        const std::ptrdiff_t s = mode.stride;
        KORVEL_LANE_LOOP_ANY(odd, manual)
        for (std::size_t i = 0; i < n; ++i) {
            const double v = m[static_cast<std::ptrdiff_t>(i) * s];
            odd |= !(v - v == 0.0);
            manual |= !((v > 0.5) & (v < 1.5)) | (first[i] != 0);
        }
        return {odd != 0, manual != 0};
    }

    // The law's view of lane j of a block in the automatic step: it keeps
    // what the step must (see the class comment). D: lanes may have a
    // derivative term; LaneFF: FF1 per lane, otherwise ff1 for every lane.
    template <bool D, bool LaneFF> struct At {
        Hot& h;
        Rest& rest;
        std::size_t j;
        double ff1;
        static constexpr bool derivative = D;
        double& r(Row x) const noexcept { return in(h, rest, x, j); }
        double KP() const noexcept { return r(Row::KP); }
        double TI() const noexcept { return r(Row::TI); }
        double TD() const noexcept { return r(Row::TD); }
        double hi() const noexcept { return r(Row::hi); }
        double lo() const noexcept { return r(Row::lo); }
        double et1() const noexcept { return r(Row::et1); }
        double et2() const noexcept { return r(Row::et2); }
        double OP1() const noexcept { return r(Row::OP1); }
        double dOPD1() const noexcept { return r(Row::dOPD1); }
        double FF1() const noexcept {
            if constexpr (LaneFF) return r(Row::FF1);
            return ff1;
        }
        PidCoefficients c() const noexcept {
            return {r(Row::ki), r(Row::tao), r(Row::kd), r(Row::d)};
        }
        void keep(const PidHistory& h, const PidSaved& s) const noexcept {
            r(Row::et1) = h.et1, r(Row::et2) = h.et2, r(Row::OP1) = h.OP1, r(Row::OPcal) = s.OPcal;
            if constexpr (LaneFF) r(Row::FF1) = h.FF1, r(Row::dFF) = s.dFF;
            if constexpr (D) r(Row::dOPD1) = h.dOPD1;
        }
    };
    // SP, PV, FF: an EachLane or a SameLane (lanes.hpp).
    template <bool D, bool LaneFF, class SPs, class PVs, class FFs>
    KORVEL_LANE_CLONES void automatic_loop(SPs SP, PVs PV, FFs FF, double* out) noexcept {
        const std::size_t n = size(), full = n / lane_width;
        const double ff1 = ff1_;
        for (std::size_t k = 0; k < full; ++k)
            block_step<D, LaneFF>(hot_[k], rest_[k], k * lane_width, lane_width, SP, PV, FF, ff1,
                                  out);
        if (n % lane_width)
            block_step<D, LaneFF>(hot_[full], rest_[full], full * lane_width, n % lane_width, SP,
                                  PV, FF, ff1, out);
    }
    template <bool D, bool LaneFF, class SPs, class PVs, class FFs>
    KORVEL_ALWAYS_INLINE static void block_step(Hot& h, Rest& rest, std::size_t i0, std::size_t m,
                                                SPs SP, PVs PV, FFs FF, double ff1,
                                                double* out) noexcept {
        KORVEL_LANE_LOOP
        for (std::size_t j = 0; j < m; ++j)
            out[i0 + j] = pid_law::automatic(At<D, LaneFF>{h, rest, j, ff1}, SP[i0 + j], PV[i0 + j],
                                             FF[i0 + j]);
    }

    std::size_t n_;
    LaneBlocks<n_hot> hot_;
    LaneBlocks<n_rest> rest_;
    Pending pending_ = Pending::none;
    // Every lane's FF1 is ff1_ (in its row unless pending_ is saved_ff).
    bool same_ff_ = true;
    double ff1_ = 0.0, dff_ = 0.0;
    // Lanes with TD > 0; whether every lane's dOPD1 is +0.0.
    std::size_t n_derivative_ = 0;
    bool zero_dOPD1_ = true;
    std::vector<double> in_[3]; // an input's lanes when given otherwise
};

} // namespace korvel
