// The identification core over any records and parameters: residuals are
// the output minus the model, the model is linear in a parametric pair's
// gain, the Jacobian has the problem's shape, the grid's delay stays in its
// range, and the search never ends above the error it started from.
#include <korvel/identify.hpp>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "bytes.hpp"

namespace id = korvel::identify;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const bool wild = in.u8() % 4 == 0;
    const std::size_t n = 1 + in.below(64);
    const auto sample = [&] { return wild ? in.number() : in.bounded(3.0); };
    const double Ts = wild ? in.number() : 0.25 + in.below(8) * 0.5;
    std::vector<double> dy(n);
    for (double& v : dy)
        v = sample();
    id::Problem* made = nullptr;
    try {
        made = new id::Problem(dy, Ts);
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(!(Ts > 0.0) || !std::isfinite(Ts));
        return 0;
    }
    id::Problem& pb = *made;
    const std::size_t pairs = 1 + in.below(3);
    std::vector<bool> search;
    for (std::size_t j = 0; j < pairs; ++j) {
        id::Pair p;
        p.kind = static_cast<id::Kind>(in.below(4));
        p.length = p.kind == id::Kind::stp ? 1 + in.below(6) : 0;
        p.delay = in.below(n + 2);
        p.du.resize(n);
        for (double& v : p.du)
            v = in.u8() % 3 == 0 ? 0.0 : sample();
        search.push_back(in.flag());
        pb.add(std::move(p));
    }
    const std::size_t m = pb.params();
    std::vector<double> x(m);
    for (double& v : x)
        v = wild ? in.number() : in.bounded(4.0);

    std::vector<double> y(n), r(n), J(n * m);
    pb.simulate(x, y.data());
    pb.residuals(x, r.data());
    for (std::size_t k = 0; k < n; ++k)
        FUZZ_CHECK(fuzz::same(r[k], dy[k] - y[k]));
    pb.jacobian(x, J.data());

    // A parametric pair's output scales exactly with its gain.
    for (std::size_t j = 0; j < pairs; ++j) {
        if (!id::parametric(pb.pairs()[j].kind) || !(std::fabs(x[pb.offset(j)]) < 1e300)) continue;
        std::vector<double> xj(x.begin() + pb.offset(j),
                               x.begin() + pb.offset(j) + pb.pairs()[j].params());
        std::vector<double> one(n), two(n);
        pb.simulate_pair(j, xj.data(), one.data());
        xj[0] *= 2.0;
        pb.simulate_pair(j, xj.data(), two.data());
        for (std::size_t k = 0; k < n; ++k)
            if (std::isfinite(one[k]) && std::fabs(one[k]) < 1e300 &&
                (one[k] == 0.0 || std::fabs(one[k]) > 1e-290)) // no rounding below normals
                FUZZ_CHECK(fuzz::same(two[k], 2.0 * one[k]));
    }

    if (wild) {
        delete made;
        return 0;
    }
    // The grid's delay lies in the range it was given.
    const std::size_t lo = in.below(n), hi = lo + in.below(n);
    const id::Pair& first = pb.pairs()[0];
    if (id::parametric(first.kind)) {
        const id::GridPoint g = id::grid_search(first.kind, first.du, dy, Ts, lo, hi);
        FUZZ_CHECK(g.x.empty() || (g.delay >= lo && g.delay <= std::min(hi, n - 1)));
    }
    // With an optimiser that does not move, the search ends at an error no
    // larger than its start's, and reports the error of where it ends.
    const std::size_t max_delay = in.below(n);
    double start = -1.0;
    const id::Fit f =
        id::fit(pb, search, max_delay, [&](const id::Problem& p, std::vector<double>& v) {
            const double s = p.ssr(v);
            if (start < 0.0) start = s;
            return s;
        });
    if (std::isfinite(start)) FUZZ_CHECK(f.ssr <= start);
    FUZZ_CHECK(fuzz::same(f.ssr, pb.ssr(f.x)));
    for (std::size_t j = 0; j < pairs; ++j)
        if (search[j] && id::parametric(pb.pairs()[j].kind))
            FUZZ_CHECK(pb.pairs()[j].delay <= max_delay);
    delete made;
    return 0;
}
