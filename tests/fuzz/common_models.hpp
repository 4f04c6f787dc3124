// Model entries drawn from the fuzzer's bytes, small enough to
// build and step quickly, for the model, simulator and LPV harnesses.
#pragma once

#include <korvel/models.hpp>

#include <cmath>
#include <vector>

#include "bytes.hpp"

namespace fuzz {

// Coefficients of moderate size, now and then anything at all.
inline std::vector<double> coefficients(Bytes& in, std::size_t max_len, bool wild) {
    if (wild) return in.numbers(max_len);
    std::vector<double> v(in.below(max_len + 1));
    for (double& x : v)
        x = in.bounded(2.0);
    return v;
}

inline korvel::PairSpec pair_spec(Bytes& in) {
    const bool wild = in.u8() % 8 == 0;
    const bool integrating = in.u8() % 4 == 0;
    switch (in.u8() % 6) {
    case 0:
        return korvel::PairSpec{};
    case 1: { // a first-order lag with dead time, mostly
        std::vector<double> num = coefficients(in, 2, wild), den = coefficients(in, 3, wild);
        if (!wild && in.flag()) {
            num = {in.bounded(4.0)};
            den = {1.0 + std::fabs(in.bounded(20.0)), 1.0};
        }
        // Any dead time, up to what memory holds (NaN and infinities stay).
        const double delay = wild ? std::fmod(in.number(), 1e4) : static_cast<double>(in.u8() % 6);
        return korvel::PairSpec::tf_s(num, den, delay, integrating);
    }
    case 2:
    case 3: {
        std::vector<double> num = coefficients(in, 4, wild), den = coefficients(in, 4, wild);
        if (!wild && !den.empty()) den[0] = 1.0 + std::fabs(den[0]);
        return korvel::PairSpec::tf_z(num, den, in.below(5), integrating);
    }
    case 4:
        return korvel::PairSpec::stp(coefficients(in, 12, wild), integrating);
    default: {
        std::vector<double> x(in.below(6)), y(x.size() + (in.u8() % 16 == 0));
        double at = in.u8() % 8 == 0 ? -3.0 : 0.0;
        for (double& v : x) // ascending, mostly
            v = at += in.u8() % 16 == 0 ? -1.0 : static_cast<double>(in.u8() % 12) / 2.0;
        for (double& v : y)
            v = wild ? in.number() : in.bounded(5.0);
        return korvel::PairSpec::stpxy(x, y, integrating);
    }
    }
}

// A dead time the harness can afford to build (delay / Ts samples).
inline bool affordable(const korvel::PairSpec& s, double Ts) {
    return s.mode != korvel::PairMode::tf_s || !(std::fabs(s.delay_s / Ts) > 1e5);
}

// Whether a construction failure is one the rule may report.
template <class F> bool builds(F&& f) {
    try {
        f();
        return true;
    } catch (const std::invalid_argument&) { // bad_spec too
    } catch (const std::out_of_range&) {
    } catch (const std::domain_error&) { // zero_division too
    } catch (const std::overflow_error&) {
    } catch (const std::length_error&) { // a dead time longer than a vector can be
    }
    return false;
}

} // namespace fuzz
