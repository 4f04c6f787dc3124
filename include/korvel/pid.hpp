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

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
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
enum class PidModeError { none, nan, inf };

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
// OP1, FF1, dOPD1 and the saved OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF). A
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

// One automatic step; the history must have been initialised. `l.c()` gives
// the lane's coefficients.
template <class L>
KORVEL_ALWAYS_INLINE double automatic(L l, double SP, double PV, double FF) noexcept {
    const double et = SP - PV;
    const double et1 = l.et1();
    const double det = et - et1;
    const double ddet = (et - 2.0 * et1) + l.et2();
    const PidCoefficients c = l.c();
    const double dOP_P = l.KP() * det;
    // Both terms are computed and then taken or not, so that a bank's loop
    // has no branch (a term not taken may be inf or NaN: it is unused).
    const double dOP_I_raw = c.ki * et;
    const double dOP_I = l.TI() > 0 ? dOP_I_raw : 0.0;
    const double dOP_D_raw = (c.tao * l.dOPD1() + c.kd * ddet) / c.d;
    const double dOP_D = l.TD() > 0 ? dOP_D_raw : 0.0;
    const double dFF = FF - l.FF1();
    const double dOP = ((dOP_P + dOP_I) + dOP_D) + dFF;
    const double OPcal = dOP + l.OP1();
    const double lo = l.lo(), hi = l.hi();
    const double x = lo > OPcal ? lo : OPcal;
    const double OP = hi < x ? hi : x;
    l.OP() = OP;
    l.OPcal() = OPcal;
    l.dOP() = dOP;
    l.dOP_P() = dOP_P;
    l.dOP_I() = dOP_I;
    l.dOP_D() = dOP_D;
    l.dFF() = dFF;
    l.et2() = et1;
    l.et1() = et;
    l.OP1() = OP;
    l.FF1() = FF;
    l.dOPD1() = dOP_D;
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
// own numbers, kept as one array per number so a step is one loop over the
// lanes. A bank of one lane is a Pid.
class PidBank {
  public:
    explicit PidBank(std::size_t n = 0, double TS = 1.0)
        : ini(n, 1), TS(n, TS), KP(n, 1.0), TI(n, 60.0), TD(n, 0.0), N(n, 10.0), hi(n, 100.0),
          lo(n, 0.0), et1(n), et2(n), OP1(n), FF1(n), dOPD1(n), OP(n), OPcal(n), dOP(n), dOP_P(n),
          dOP_I(n), dOP_D(n), dFF(n), ki(n), tao(n), kd(n), d(n),
          in_{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)} {
        derive();
    }

    std::size_t size() const noexcept { return TS.size(); }

    // One sample of every lane into out[0:size()]. When some lane's mode
    // cannot be rounded, those lanes do what a Pid does (a first-call
    // initialisation, err[i] set) and no other lane steps; returns how many
    // could not.
    std::size_t run(Lanes mode, Lanes SP, Lanes PV, Lanes TV, Lanes FF, double* out,
                    PidModeError* err) noexcept {
        const auto [odd, manual] = survey(mode);
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
            return refused;
        }
        // Every lane automatic and started, the usual case of a simulation:
        // one loop without branches.
        if (!manual) {
            automatic(SP, PV, FF, out);
            return 0;
        }
        for (std::size_t i = 0; i < size(); ++i)
            out[i] = pid_law::run(lane(i), mode[i], SP[i], PV[i], TV[i], FF[i], err[i]);
        return 0;
    }
    // Every lane automatic; each lane must have been initialised (ini unset).
    void automatic(Lanes SP, Lanes PV, Lanes FF, double* out) noexcept {
        with_lanes(size(), in_, {SP, PV, FF},
                   [&](auto sp, auto pv, auto ff) { automatic_loop(sp, pv, ff, out); });
    }
    void set_params(Lanes KP_, Lanes TI_, Lanes TD_, Lanes N_) noexcept {
        for (std::size_t i = 0; i < size(); ++i) {
            pid_law::set_params(lane(i), KP_[i], TI_[i], TD_[i], N_[i]);
            derive(i);
        }
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
    }

    // Lane i as a controller of its own, and back.
    Pid get(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        Pid p(TS[i]);
        p.set_ini_flag(ini[i] != 0);
        p.params_mut() = PidParams{KP[i], TI[i], TD[i], N[i]};
        p.set_hi(hi[i]);
        p.set_lo(lo[i]);
        p.history_mut() = PidHistory{et1[i], et2[i], OP1[i], FF1[i], dOPD1[i]};
        p.saved_mut() = PidSaved{OP[i], OPcal[i], dOP[i], dOP_P[i], dOP_I[i], dOP_D[i], dFF[i]};
        return p;
    }
    void set(std::size_t i, const Pid& p) {
        KORVEL_ASSERT(i < size());
        ini[i] = p.ini_flag();
        TS[i] = p.TS();
        const PidParams& q = p.params();
        KP[i] = q.KP, TI[i] = q.TI, TD[i] = q.TD, N[i] = q.N;
        hi[i] = p.op_hi(), lo[i] = p.op_lo();
        const PidHistory& h = p.history();
        et1[i] = h.et1, et2[i] = h.et2, OP1[i] = h.OP1, FF1[i] = h.FF1, dOPD1[i] = h.dOPD1;
        const PidSaved& v = p.saved();
        OP[i] = v.OP, OPcal[i] = v.OPcal, dOP[i] = v.dOP, dOP_P[i] = v.dOP_P;
        dOP_I[i] = v.dOP_I, dOP_D[i] = v.dOP_D, dFF[i] = v.dFF;
        derive(i);
    }

    // The coefficients of lane i from its parameters and TS; call after
    // changing them directly.
    void derive(std::size_t i) noexcept {
        const PidCoefficients c = pid_coefficients(KP[i], TI[i], TD[i], N[i], TS[i]);
        ki[i] = c.ki, tao[i] = c.tao, kd[i] = c.kd, d[i] = c.d;
    }
    void derive() noexcept {
        for (std::size_t i = 0; i < size(); ++i)
            derive(i);
    }

    // The numbers of every lane, one array each (what Pid keeps of one).
    std::vector<std::uint8_t> ini;
    std::vector<double> TS, KP, TI, TD, N, hi, lo;
    std::vector<double> et1, et2, OP1, FF1, dOPD1;
    std::vector<double> OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF;
    // Derived from the parameters and TS (derive()).
    std::vector<double> ki, tao, kd, d;

  private:
    // The law's view of lane i.
    struct Lane {
        PidBank& b;
        std::size_t i;
        struct Flag {
            std::uint8_t& v;
            operator bool() const noexcept { return v != 0; }
            Flag& operator=(bool x) noexcept {
                v = x;
                return *this;
            }
        };
        Flag ini() const noexcept { return Flag{b.ini[i]}; }
        double& TS() const noexcept { return b.TS[i]; }
        double& KP() const noexcept { return b.KP[i]; }
        double& TI() const noexcept { return b.TI[i]; }
        double& TD() const noexcept { return b.TD[i]; }
        double& N() const noexcept { return b.N[i]; }
        double& hi() const noexcept { return b.hi[i]; }
        double& lo() const noexcept { return b.lo[i]; }
        double& et1() const noexcept { return b.et1[i]; }
        double& et2() const noexcept { return b.et2[i]; }
        double& OP1() const noexcept { return b.OP1[i]; }
        double& FF1() const noexcept { return b.FF1[i]; }
        double& dOPD1() const noexcept { return b.dOPD1[i]; }
        double& OP() const noexcept { return b.OP[i]; }
        double& OPcal() const noexcept { return b.OPcal[i]; }
        double& dOP() const noexcept { return b.dOP[i]; }
        double& dOP_P() const noexcept { return b.dOP_P[i]; }
        double& dOP_I() const noexcept { return b.dOP_I[i]; }
        double& dOP_D() const noexcept { return b.dOP_D[i]; }
        double& dFF() const noexcept { return b.dFF[i]; }
        PidCoefficients c() const noexcept { return {b.ki[i], b.tao[i], b.kd[i], b.d[i]}; }
    };
    Lane lane(std::size_t i) noexcept { return Lane{*this, i}; }

    // How many lanes have a mode that is not finite, and how many would not
    // take the automatic step (another mode, or not started); one pass
    // without branches.
    KORVEL_LANE_CLONES std::pair<std::size_t, std::size_t> survey(Lanes mode) const noexcept {
        const std::size_t n = size();
        const std::uint8_t* first = ini.data();
        if (mode.stride == 0) {
            const double m = mode[0];
            if (!std::isfinite(m)) return {n, n};
            if (!(m > 0.5 && m < 1.5)) return {0, n};
            std::size_t started = 0;
            KORVEL_LANE_LOOP_SUM(started)
            for (std::size_t i = 0; i < n; ++i)
                started += first[i] == 0;
            return {0, n - started};
        }
        std::size_t odd = 0, manual = 0;
        const double* m = mode.data;
        const std::ptrdiff_t s = mode.stride;
        KORVEL_LANE_LOOP_SUM(odd, manual)
        for (std::size_t i = 0; i < n; ++i) {
            const double v = m[static_cast<std::ptrdiff_t>(i) * s];
            odd += !(v - v == 0.0);
            manual += !((v > 0.5) & (v < 1.5)) | (first[i] != 0);
        }
        return {odd, manual};
    }

    // The same view over raw pointers taken once, for the loop the compiler
    // runs several lanes at a time.
    struct Arrays {
        double *TS, *KP, *TI, *TD, *N, *hi, *lo, *et1, *et2, *OP1, *FF1, *dOPD1;
        double *OP, *OPcal, *dOP, *dOP_P, *dOP_I, *dOP_D, *dFF;
        const double *ki, *tao, *kd, *d;
    };
    struct At {
        const Arrays& a;
        std::size_t i;
        double& TS() const noexcept { return a.TS[i]; }
        double& KP() const noexcept { return a.KP[i]; }
        double& TI() const noexcept { return a.TI[i]; }
        double& TD() const noexcept { return a.TD[i]; }
        double& N() const noexcept { return a.N[i]; }
        double& hi() const noexcept { return a.hi[i]; }
        double& lo() const noexcept { return a.lo[i]; }
        double& et1() const noexcept { return a.et1[i]; }
        double& et2() const noexcept { return a.et2[i]; }
        double& OP1() const noexcept { return a.OP1[i]; }
        double& FF1() const noexcept { return a.FF1[i]; }
        double& dOPD1() const noexcept { return a.dOPD1[i]; }
        double& OP() const noexcept { return a.OP[i]; }
        double& OPcal() const noexcept { return a.OPcal[i]; }
        double& dOP() const noexcept { return a.dOP[i]; }
        double& dOP_P() const noexcept { return a.dOP_P[i]; }
        double& dOP_I() const noexcept { return a.dOP_I[i]; }
        double& dOP_D() const noexcept { return a.dOP_D[i]; }
        double& dFF() const noexcept { return a.dFF[i]; }
        PidCoefficients c() const noexcept { return {a.ki[i], a.tao[i], a.kd[i], a.d[i]}; }
    };
    // SP, PV, FF: an EachLane or a SameLane (lanes.hpp).
    template <class SPs, class PVs, class FFs>
    KORVEL_LANE_CLONES void automatic_loop(SPs SP, PVs PV, FFs FF, double* out) noexcept {
        const Arrays a{TS.data(),    KP.data(),    TI.data(),    TD.data(),    N.data(),
                       hi.data(),    lo.data(),    et1.data(),   et2.data(),   OP1.data(),
                       FF1.data(),   dOPD1.data(), OP.data(),    OPcal.data(), dOP.data(),
                       dOP_P.data(), dOP_I.data(), dOP_D.data(), dFF.data(),   ki.data(),
                       tao.data(),   kd.data(),    d.data()};
        const std::size_t n = size();
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i)
            out[i] = pid_law::automatic(At{a, i}, SP[i], PV[i], FF[i]);
    }
    std::vector<double> in_[3]; // an input's lanes when given otherwise
};

} // namespace korvel
