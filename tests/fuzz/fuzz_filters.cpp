// ZFilter, SFilter and LeadLag: states keep their sizes, copies continue
// exactly, arrays continue sample steps, parameter changes are all or
// nothing, and a filter at its operating point stays there.
#include <korvel/filters.hpp>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace {

std::optional<double> maybe(fuzz::Bytes& in) {
    if (in.flag()) return std::nullopt;
    return in.finite();
}

void fuzz_zfilter(fuzz::Bytes& in) {
    std::vector<double> b = in.numbers(5), a = in.numbers(5);
    if (in.flag()) { // mostly coefficients a filter can run
        if (b.empty()) b.push_back(1.0);
        if (a.empty() || !(a[0] != 0.0)) a.insert(a.begin(), 1.0);
    }
    const std::optional<double> u_ini = maybe(in), y_ini = maybe(in);
    std::optional<korvel::ZFilter> f;
    try {
        f.emplace(b, a, u_ini, y_ini);
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(a.empty());
        return;
    } catch (const std::domain_error&) {
        FUZZ_CHECK(a[0] == 0.0 || std::isnan(a[0]));
        return;
    }
    const std::size_t n = f->state_size();
    FUZZ_CHECK(n == std::max(a.size(), b.size()) - 1 && f->state().size() == n);
    const bool finite_coefficients = [&] {
        // As the kernel divides them by a[0].
        for (double v : b)
            if (!std::isfinite(v / a[0])) return false;
        for (double v : a)
            if (!std::isfinite(v / a[0])) return false;
        return true;
    }();
    std::optional<korvel::ZFilter> twin;

    while (!in.empty()) {
        switch (in.u8() % 4) {
        case 0: {
            const double y0 = in.finite();
            const bool rest = f->operating_point().u.has_value();
            // Now and then exactly the input operating point.
            const double u = rest && in.flag() ? *f->operating_point().u : in.number();
            double y;
            try {
                y = f->step(u, y0);
            } catch (const std::exception&) {
                FUZZ_CHECK(!f->iir().usable());
                break;
            }
            if (twin) FUZZ_CHECK(fuzz::same(twin->step(u, y0), y));
            break;
        }
        case 1: { // at rest at the operating point, it stays there
            if (!finite_coefficients || !f->iir().usable()) break;
            f->operating_point().adopt(in.finite(), in.finite());
            twin.reset();
            std::fill(f->state().begin(), f->state().end(), 0.0);
            const double u0 = *f->operating_point().u, y0 = *f->operating_point().y;
            if (!std::isfinite(u0) || !std::isfinite(y0)) break; // adopted from an odd sample
            for (int k = 0; k < 3; ++k)
                FUZZ_CHECK(f->step(u0) == y0);
            for (double v : f->state())
                FUZZ_CHECK(v == 0.0);
            break;
        }
        case 2: { // an array, then the same samples one at a time on a copy
            std::vector<double> x = in.numbers(16);
            const double y0 = in.finite();
            korvel::ZFilter g = *f;
            std::vector<double> y(x.size());
            try {
                f->run(x.data(), y.data(), x.size(), y0);
            } catch (const std::exception&) {
                FUZZ_CHECK(!f->iir().usable() || (x.empty() && !g.operating_point().u));
                break;
            }
            FUZZ_CHECK(f->state().size() == n);
            if (f->iir().a().size() > 1)
                for (std::size_t k = 0; k < x.size(); ++k)
                    FUZZ_CHECK(fuzz::same(g.step(x[k], y0), y[k]));
            if (twin) {
                std::vector<double> y2(x.size());
                twin->run(x.data(), y2.data(), x.size(), y0);
                FUZZ_CHECK(fuzz::same(y2, y));
            }
            break;
        }
        case 3:
            twin = *f;
            break;
        }
        FUZZ_CHECK(f->state().size() == n);
        if (twin) FUZZ_CHECK(fuzz::same(twin->state(), f->state()));
    }
}

void same_leadlag(const korvel::LeadLag& p, const korvel::LeadLag& q) {
    FUZZ_CHECK(fuzz::same(p.alpha(), q.alpha()) && fuzz::same(p.tao(), q.tao()));
    FUZZ_CHECK(fuzz::same(p.iir().b(), q.iir().b()) && fuzz::same(p.iir().a(), q.iir().a()));
    FUZZ_CHECK(p.state().has_value() == q.state().has_value());
    if (p.state()) FUZZ_CHECK(fuzz::same(*p.state(), *q.state()));
}

double parameter(fuzz::Bytes& in) {
    switch (in.u8() % 4) {
    case 0:
        return in.number();
    case 1:
        return 0.0;
    default:
        return std::ldexp(1.0 + in.u8(), static_cast<int>(in.u8() % 16) - 8);
    }
}

void fuzz_leadlag(fuzz::Bytes& in) {
    const double alpha = parameter(in), tao = parameter(in);
    const long long Ts = in.u8() % 8 == 0 ? in.integer() : 1 + in.u8() % 4;
    std::optional<korvel::LeadLag> f;
    try {
        f.emplace(alpha, tao, Ts, maybe(in), maybe(in));
    } catch (const std::invalid_argument&) {
        return; // no rule for these parameters, or the hold refused them
    }
    std::optional<korvel::LeadLag> twin;
    while (!in.empty()) {
        switch (in.u8() % 5) {
        case 0:
        case 1: {
            const double u = in.u8() % 4 ? in.finite() : in.number();
            const bool fresh = !f->state();
            const double y = f->step(u);
            FUZZ_CHECK(f->state() && f->state()->size() == f->iir().state_size());
            FUZZ_CHECK(fuzz::same(*f->last().u, u) && fuzz::same(*f->last().y, y));
            if (twin) FUZZ_CHECK(fuzz::same(twin->step(u), y));
            // Started at rest at its input, a filter of unit gain answers
            // with about that input.
            const double r = f->tao() / static_cast<double>(f->Ts());
            if (fresh && std::isfinite(u) && std::fabs(u) < 1e6 && f->alpha() <= 16.0 &&
                ((r >= 1e-2 && r <= 1e2) || f->tao() == 0.0))
                FUZZ_CHECK(std::fabs(y - u) <= 1e-9 * (std::fabs(u) + 1.0));
            break;
        }
        case 2: { // new parameters: all or nothing
            const korvel::LeadLag before = *f;
            const double v = parameter(in);
            const bool which = in.flag();
            try {
                which ? f->set_alpha(v) : f->set_tao(v);
            } catch (const std::invalid_argument&) {
                same_leadlag(*f, before);
                break;
            }
            // An equal value (-0.0 for 0.0) leaves the stored one.
            const double now = which ? f->alpha() : f->tao();
            FUZZ_CHECK(now == v || (std::isnan(now) && std::isnan(v)));
            if (f->state()) FUZZ_CHECK(f->state()->size() == f->iir().state_size());
            if (twin) which ? twin->set_alpha(v) : twin->set_tao(v);
            break;
        }
        case 3: {
            std::vector<double> x = in.numbers(12);
            std::vector<double> y(x.size());
            try {
                f->run(x.data(), y.data(), x.size());
            } catch (const std::out_of_range&) {
                FUZZ_CHECK(x.empty());
                break;
            }
            if (twin) {
                std::vector<double> y2(x.size());
                twin->run(x.data(), y2.data(), x.size());
                FUZZ_CHECK(fuzz::same(y2, y));
            }
            break;
        }
        case 4:
            twin = *f;
            break;
        }
        if (twin) same_leadlag(*f, *twin);
    }
}

void fuzz_sfilter(fuzz::Bytes& in) {
    const std::vector<double> Bs = in.numbers(3), As = in.numbers(4);
    const double Ts = in.u8() % 4 ? 1.0 + in.u8() % 4 : in.number();
    std::optional<korvel::SFilter> f;
    try {
        f.emplace(Bs, As, Ts, maybe(in), maybe(in));
    } catch (const std::invalid_argument&) {
        return;
    }
    const korvel::ZFilter& z = f->zfilter();
    FUZZ_CHECK(!z.iir().a().empty() && z.iir().a()[0] == 1.0);
    FUZZ_CHECK(z.iir().b().size() == z.iir().a().size());
    korvel::SFilter twin = *f;
    while (!in.empty()) {
        const double u = in.number(), y0 = in.finite();
        FUZZ_CHECK(fuzz::same(f->step(u, y0), twin.step(u, y0)));
        FUZZ_CHECK(z.state().size() == z.state_size());
    }
    const double tao = in.number();
    try {
        FUZZ_CHECK(korvel::bias_lag(tao).has_value() == (tao > 0));
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(tao > 0); // so short that the hold overflows
    }
}

void fuzz_step_trajectory(fuzz::Bytes& in) {
    const std::size_t n = in.below(64);
    const double tao = in.u8() % 4 ? in.finite() : in.number();
    const double alpha = in.bounded(1.0) * 0.5 + 0.5, r1 = in.finite(), r2 = in.finite();
    const std::vector<double> w = korvel::filter_stp(n, tao, alpha, r1, r2);
    FUZZ_CHECK(w.size() == n);
    const double lo = std::min(r1, r2), hi = std::max(r1, r2);
    const double slack = 1e-12 * (std::fabs(r1) + std::fabs(r2));
    // A time constant so short that -1/tao is infinite gives -inf * 0 at the
    // first sample, NaN, as the arithmetic it is defined by does.
    for (double v : w) {
        if (std::isnan(tao) || (tao > 0 && !std::isfinite(-1 / tao))) break;
        FUZZ_CHECK(lo - slack <= v && v <= hi + slack);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    switch (in.u8() % 4) {
    case 0:
        fuzz_zfilter(in);
        break;
    case 1:
        fuzz_leadlag(in);
        break;
    case 2:
        fuzz_sfilter(in);
        break;
    case 3:
        fuzz_step_trajectory(in);
        break;
    }
    return 0;
}
