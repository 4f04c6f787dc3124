// PID tuning rules from a process model: Skogestad's SIMC rules and lambda
// (IMC) tuning, giving the parameters of the library's non-interacting PID
// Kp (1 + 1/(TI s) + TD s / ((TD/N) s + 1)).
//
// References:
//   S. Skogestad, "Simple analytic rules for model reduction and PID
//   controller tuning", J. Process Control 13 (2003) 291-309 (SIMC).
//   D. E. Rivera, M. Morari, S. Skogestad, "Internal model control. 4. PID
//   controller design", Ind. Eng. Chem. Process Des. Dev. 25 (1986) 252-265.
//   I.-L. Chien, P. S. Fruehauf, "Consider IMC tuning to improve controller
//   performance", Chem. Eng. Prog. 86(10) (1990) 33-41 (integrating rule).
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::tuning {

// A process the rules cover: gain k (k' per second for an integrating one),
// time constants tau1 >= tau2 >= 0 (0 where absent) and dead time theta.
struct Process {
    double gain = 1.0;
    double tau1 = 0.0, tau2 = 0.0;
    double dead_time = 0.0;
    bool integrating = false;
};

struct PidParams {
    double KP = 1.0, TI = 0.0, TD = 0.0, N = 10.0;
};

// The derivative filter the rules leave open: the PID's default N.
inline constexpr double derivative_filter = 10.0;

// The process a transfer function K / den(s) e^(-theta s) describes (num and
// den in descending powers of s; `integrating` adds a factor 1/s, as a model
// entry's IntegralMark does). Refused: a numerator with zeros, more than one
// integrator, more than two lags, lags that are not real and stable.
inline Process from_transfer(std::span<const double> num, std::span<const double> den,
                             double dead_time, bool integrating) {
    std::size_t i = 0;
    while (i < num.size() && num[i] == 0.0)
        ++i;
    if (num.size() - i != 1)
        throw std::invalid_argument("the rules take a constant numerator (no process zeros)");
    std::vector<double> d(den.begin(), den.end());
    while (!d.empty() && d.front() == 0.0)
        d.erase(d.begin());
    int integrators = integrating ? 1 : 0;
    while (!d.empty() && d.back() == 0.0) {
        d.pop_back();
        ++integrators;
    }
    if (d.empty()) throw std::invalid_argument("the denominator has no nonzero coefficient");
    if (integrators > 1) throw std::invalid_argument("the rules take at most one integrator");
    if (d.size() > 3) throw std::invalid_argument("the rules take at most two lags");
    if (!(dead_time >= 0.0) || !std::isfinite(dead_time))
        throw std::invalid_argument("the dead time must be finite and not negative");
    Process p;
    p.integrating = integrators == 1;
    p.dead_time = dead_time;
    const double c0 = d.back();
    p.gain = num[i] / c0;
    if (d.size() == 2) {
        p.tau1 = d[0] / c0;
    } else if (d.size() == 3) {
        // (tau1 s + 1)(tau2 s + 1) = tau1 tau2 s^2 + (tau1 + tau2) s + 1
        const double prod = d[0] / c0, sum = d[1] / c0;
        const double disc = sum * sum - 4.0 * prod;
        if (disc < -1e-12 * sum * sum)
            throw std::invalid_argument("the lags are not real (an oscillating process)");
        const double root = std::sqrt(std::max(disc, 0.0));
        p.tau1 = 0.5 * (sum + root);
        p.tau2 = prod / p.tau1;
    }
    if (!(p.tau1 >= 0.0 && p.tau2 >= 0.0) || !std::isfinite(p.tau1) || !std::isfinite(p.tau2))
        throw std::invalid_argument("the lags must be stable (positive time constants)");
    if (!(p.gain != 0.0) || !std::isfinite(p.gain))
        throw std::invalid_argument("the process gain must be finite and nonzero");
    return p;
}

// Series (cascade) form Kc (1 + 1/(tauI s)) (1 + tauD s) as the
// non-interacting form: with f = 1 + tauD / tauI, KP = Kc f, TI = tauI f,
// TD = tauD / f (Skogestad 2003, eq. (48)).
inline PidParams from_series(double Kc, double tauI, double tauD) {
    const double f = 1.0 + tauD / tauI;
    return {Kc * f, tauI * f, tauD / f, derivative_filter};
}

// The dead time the rules see: with a sampling period, the half sample the
// hold adds on average.
inline double effective_dead_time(const Process& p, std::optional<double> Ts) {
    if (Ts && !(*Ts > 0.0 && std::isfinite(*Ts)))
        throw std::invalid_argument("Ts must be positive and finite");
    return p.dead_time + (Ts ? 0.5 * *Ts : 0.0);
}

inline double closed_loop_time(std::optional<double> given, double fallback, double theta,
                               const char* what) {
    const double t = given ? *given : fallback;
    if (!(t >= 0.0) || !std::isfinite(t))
        throw std::invalid_argument(std::string(what) + " must be finite and not negative");
    if (!(t + theta > 0.0))
        throw std::invalid_argument(std::string(what) +
                                    " must be positive for a process without dead time");
    return t;
}

// SIMC (Skogestad 2003, Table 3), tau_c by default the dead time ("tight
// control"):
//   first order    Kc = tau1 / (k (tau_c + theta)), tauI = min(tau1, 4 (tau_c + theta))
//   second order   the same, and tauD = tau2 (series form)
//   integrating    Kc = 1 / (k' (tau_c + theta)), tauI = 4 (tau_c + theta),
//                  tauD = tau2 with a lag (series form)
inline PidParams simc(const Process& p, std::optional<double> tau_c, std::optional<double> Ts) {
    const double theta = effective_dead_time(p, Ts);
    const double tc = closed_loop_time(tau_c, theta, theta, "tau_c");
    const double span = tc + theta;
    if (p.integrating) {
        // A lag of an integrating process is its tau1 here.
        return from_series(1.0 / (p.gain * span), 4.0 * span, p.tau1);
    }
    if (!(p.tau1 > 0.0))
        throw std::invalid_argument(
            "a pure dead time calls for integral action alone, which this PID form cannot give");
    return from_series(p.tau1 / (p.gain * span), std::min(p.tau1, 4.0 * span), p.tau2);
}

// Lambda (IMC) tuning, PI:
//   first order    Kc = tau / (k (lambda + theta)), TI = tau    (Rivera et al. 1986)
//   integrating    Kc = (2 lambda + theta) / (k' (lambda + theta)^2),
//                  TI = 2 lambda + theta                        (Chien and Fruehauf 1990)
// lambda by default 3 theta, for a self-regulating process at least tau.
inline PidParams lambda_tuning(const Process& p, std::optional<double> lam,
                               std::optional<double> Ts) {
    if (p.tau2 > 0.0 || (p.integrating && p.tau1 > 0.0))
        throw std::invalid_argument(
            "lambda tuning takes a first-order or integrating process with dead time");
    const double theta = effective_dead_time(p, Ts);
    if (p.integrating) {
        const double l = closed_loop_time(lam, 3.0 * theta, theta, "lam");
        const double ti = 2.0 * l + theta;
        return {ti / (p.gain * (l + theta) * (l + theta)), ti, 0.0, derivative_filter};
    }
    if (!(p.tau1 > 0.0))
        throw std::invalid_argument(
            "a pure dead time calls for integral action alone, which this PID form cannot give");
    const double l = closed_loop_time(lam, std::max(p.tau1, 3.0 * theta), theta, "lam");
    return {p.tau1 / (p.gain * (l + theta)), p.tau1, 0.0, derivative_filter};
}

} // namespace korvel::tuning
