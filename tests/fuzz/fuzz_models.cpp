// Pair models from their model entries: built or refused in the rule's
// terms, stepped as the IIR kernel steps them, step tables reproduced, and a
// copy that continues exactly as the original.
#include <korvel/iir.hpp>
#include <korvel/mimo.hpp>
#include <korvel/models.hpp>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "common_models.hpp"

namespace {

double max_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

void check_table(const korvel::PairSpec& s) {
    std::vector<double> t;
    if (!fuzz::builds([&] { t = korvel::breakpoint_table(s.x, s.y); })) return;
    const double stop = s.x.back() + 1.0;
    FUZZ_CHECK(t.size() == static_cast<std::size_t>(stop > 0 ? std::ceil(stop) : 0.0));
    if (!std::is_sorted(s.x.begin(), s.x.end())) return;
    bool finite = true;
    for (double v : s.y)
        finite = finite && std::isfinite(v);
    if (!finite) return;
    const auto [lo, hi] = std::minmax_element(s.y.begin(), s.y.end());
    const double slack = 1e-12 * (std::fabs(*lo) + std::fabs(*hi));
    for (double v : t)
        FUZZ_CHECK(*lo - slack <= v && v <= *hi + slack);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    // The dead-time rule: round(delay / Ts), ties to even, never negative.
    const double delay = in.number(), ts = in.number();
    std::size_t d = 0;
    if (fuzz::builds([&] { d = korvel::dead_time_samples(delay, ts); }))
        FUZZ_CHECK(static_cast<double>(d) == std::nearbyint(delay / ts) && delay / ts >= -0.5);

    const korvel::PairSpec spec = fuzz::pair_spec(in);
    const double Ts = in.u8() % 8 == 0 ? in.number() : 1.0 + in.u8() % 3;
    if (spec.mode == korvel::PairMode::stpxy) check_table(spec);
    korvel::BuiltPair b;
    if (!fuzz::affordable(spec, Ts)) return 0;
    if (!fuzz::builds([&] { b = korvel::build_pair(spec, Ts); })) return 0;
    FUZZ_CHECK(b.mode == spec.mode &&
               (b.model != nullptr) == (spec.mode != korvel::PairMode::none));
    if (!b.model) {
        std::unique_ptr<korvel::PairModel> none = b.take();
        FUZZ_CHECK(none->step(in.number()) == 0.0);
        return 0;
    }
    korvel::TfModel& m = *b.model;
    FUZZ_CHECK(m.zi().size() == m.state_size());
    for (double v : m.zi())
        FUZZ_CHECK(v == 0.0);

    // A step table comes back as the unit-step response, within rounding.
    if (spec.mode == korvel::PairMode::stp && !spec.integrating && !spec.table.empty() &&
        max_abs(spec.table) < 1e6 &&
        std::all_of(spec.table.begin(), spec.table.end(),
                    [](double v) { return std::isfinite(v); })) {
        korvel::TfModel probe = korvel::stp_model(spec.table);
        std::vector<double> y(spec.table.size() + 3);
        korvel::step_response(probe, y.data(), y.size());
        const double tol = 1e-13 * max_abs(spec.table) * static_cast<double>(y.size());
        for (std::size_t k = 0; k < y.size(); ++k)
            FUZZ_CHECK(std::fabs(y[k] - spec.table[std::min(k, spec.table.size() - 1)]) <= tol);
    }

    korvel::Iir ref(m.num(), m.den());
    std::vector<double> z = m.zi();
    std::unique_ptr<korvel::TfModel> twin;
    while (!in.empty()) {
        switch (in.u8() % 6) {
        default: {
            const double du = in.u8() % 8 ? in.finite() : in.number();
            const double y = m.step(du);
            FUZZ_CHECK(fuzz::same(y, ref.step(du, z.data())));
            FUZZ_CHECK(fuzz::same(m.zi(), z));
            if (twin) FUZZ_CHECK(fuzz::same(twin->step(du), y));
            break;
        }
        case 1:
            twin = std::make_unique<korvel::TfModel>(m);
            FUZZ_CHECK(fuzz::same(twin->zi(), m.zi()));
            break;
        case 2:
            m.reset_zi();
            std::fill(z.begin(), z.end(), 0.0);
            FUZZ_CHECK(m.zi().size() == m.state_size());
            twin.reset();
            break;
        case 3: { // a state of the wrong length fails at the next step
            std::vector<double> zi(m.state_size() + 1 + in.below(3));
            m.set_zi(zi);
            bool threw = false;
            try {
                m.step(1.0);
            } catch (const std::invalid_argument&) {
                threw = true;
            }
            FUZZ_CHECK(threw);
            m.reset_zi();
            std::fill(z.begin(), z.end(), 0.0);
            twin.reset();
            break;
        }
        case 4: { // new coefficients of the same state length keep the state
            std::vector<double> num = m.num();
            if (!num.empty()) num[in.below(num.size())] = in.bounded(2.0);
            m.set_num(num);
            ref = korvel::Iir(m.num(), m.den());
            FUZZ_CHECK(fuzz::same(m.zi(), z) && m.state_size() == z.size());
            twin.reset();
            break;
        }
        case 5: {
            const std::size_t n = in.below(40);
            std::vector<double> y;
            if (!fuzz::builds([&] { y = korvel::pair_step_response(m, n); })) {
                FUZZ_CHECK(n == 0);
                break;
            }
            FUZZ_CHECK(y.empty() || y.size() == n);
            ref = korvel::Iir(m.num(), m.den());
            z = m.zi();
            twin.reset();
            break;
        }
        }
        FUZZ_CHECK(m.zi().size() == m.state_size());
    }

    return 0;
}
