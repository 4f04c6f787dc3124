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
#include <optional>
#include <string_view>

namespace korvel {

class Pid {
  public:
    struct Params {
        double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    };
    // Output of one sample and its parts.
    struct Saved {
        double OP = 0.0, OPcal = 0.0, dOP = 0.0, dOP_P = 0.0, dOP_I = 0.0, dOP_D = 0.0, dFF = 0.0;
    };
    // e(k-1), e(k-2), previous output, previous feed-forward, previous
    // derivative increment.
    struct History {
        double et1 = 0.0, et2 = 0.0, OP1 = 0.0, FF1 = 0.0, dOPD1 = 0.0;
    };

    explicit Pid(double TS = 1.0) noexcept : TS_(TS) {}

    // Stores the parameters with TI, TD >= 0 and N >= 1e-6; a NaN passes
    // through unchanged (the comparison is false).
    void set_params(double KP, double TI, double TD, double N) noexcept {
        p_.KP = KP;
        p_.TI = 0.0 > TI ? 0.0 : TI;
        p_.TD = 0.0 > TD ? 0.0 : TD;
        p_.N = 1e-6 > N ? 1e-6 : N;
    }
    const Params& params() const noexcept { return p_; }

    // Accepts OP_HI >= OP_LO only; returns false and keeps the old limits
    // otherwise (a NaN included).
    bool set_limits(double hi, double lo) noexcept {
        if (!(hi >= lo)) return false;
        hi_ = hi;
        lo_ = lo;
        return true;
    }
    double op_hi() const noexcept { return hi_; }
    double op_lo() const noexcept { return lo_; }

    // Initialises history and saved state so that the next automatic sample
    // starts from TV without a bump. TV is kept unlimited.
    void reset(double SP, double PV, double TV, double FF) noexcept {
        h_ = History{SP - PV, SP - PV, TV, FF, 0.0};
        ini_ = false;
        s_ = Saved{TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0};
    }

    // First call (any mode) initialises the history; then rounded mode 1 is
    // automatic, any other rounded mode tracks TV. Returns nullopt, after the
    // first-call initialisation, for a mode that cannot be rounded (NaN/inf).
    enum class ModeError { none, nan, inf };
    double run(double mode, double SP, double PV, double TV, double FF, ModeError& err) noexcept {
        err = ModeError::none;
        if (ini_) reset(SP, PV, TV, FF);
        if (std::isnan(mode)) {
            err = ModeError::nan;
            return 0.0;
        }
        if (std::isinf(mode)) {
            err = ModeError::inf;
            return 0.0;
        }
        if (std::nearbyint(mode) == 1.0) return automatic(SP, PV, FF);
        const double x = lo_ > TV ? lo_ : TV;
        const double OP = hi_ < x ? hi_ : x;
        reset(SP, PV, TV, FF);
        return OP;
    }

    // One automatic step; the history must have been initialised by reset()
    // or a first run().
    double automatic(double SP, double PV, double FF) noexcept {
        const double et = SP - PV;
        const double det = et - h_.et1;
        const double ddet = (et - 2.0 * h_.et1) + h_.et2;
        const double dOP_P = p_.KP * det;
        const double dOP_I = p_.TI > 0 ? ((p_.KP * TS_) / p_.TI) * et : 0.0;
        double dOP_D = 0.0;
        if (p_.TD > 0) {
            const double tao = p_.TD / p_.N;
            double d = tao + TS_;
            if (1e-6 > d) d = 1e-6;
            dOP_D = (tao * h_.dOPD1 + (p_.KP * p_.TD) * ddet) / d;
        }
        const double dFF = FF - h_.FF1;
        const double dOP = ((dOP_P + dOP_I) + dOP_D) + dFF;
        const double OPcal = dOP + h_.OP1;
        const double x = lo_ > OPcal ? lo_ : OPcal;
        const double OP = hi_ < x ? hi_ : x;
        s_ = Saved{OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF};
        h_.et2 = h_.et1;
        h_.et1 = et;
        h_.OP1 = OP;
        h_.FF1 = FF;
        h_.dOPD1 = dOP_D;
        return OP;
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
    bool ini_ = true;
    double TS_;
    Params p_{};
    double hi_ = 100.0, lo_ = 0.0;
    History h_{};
    Saved s_{};
};

} // namespace korvel
