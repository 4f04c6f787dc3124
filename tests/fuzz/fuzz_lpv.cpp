// The LPV plant: its bank stays sorted without ties, a step blends the two
// local plants around the working value with the shares it reports, and a
// refused step advances nothing.
#include <korvel/lpv.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common_models.hpp"

namespace {

const char* const tags[] = {"CV1", "CV2", "MV1", "MV2"};

korvel::ModelDict local_dict(fuzz::Bytes& in) {
    korvel::ModelDict d(1 + in.below(2));
    for (auto& row : d) {
        row.cv = tags[in.below(2)];
        const std::size_t n = 1 + in.below(2);
        for (std::size_t j = 0; j < n; ++j) {
            std::vector<double> num = {in.bounded(2.0)},
                                den = {1.0, -0.5 * std::fabs(in.bounded(1.0))};
            row.pairs.emplace_back(tags[2 + in.below(2)],
                                   korvel::PairSpec::tf_z(num, den, in.below(3)));
        }
    }
    return d;
}

double point(fuzz::Bytes& in) {
    switch (in.u8() % 8) {
    case 0:
        return std::numeric_limits<double>::quiet_NaN();
    case 1:
        return in.number();
    default:
        return static_cast<double>(in.u8() % 6) * 10.0;
    }
}

korvel::TagValues tag_values(fuzz::Bytes& in) {
    korvel::TagValues t(in.below(4));
    for (auto& [k, v] : t) {
        k = tags[in.below(4)];
        v = in.finite();
    }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const korvel::TagValues ini = tag_values(in);
    korvel::LpvPlant p(ini);

    while (!in.empty()) {
        switch (in.u8() % 4) {
        case 0:
            p.add_plant(static_cast<long long>(in.below(4)), point(in), local_dict(in));
            break;
        case 1:
            p.del_plant(static_cast<long long>(in.below(4)));
            break;
        default: {
            const double w = in.u8() % 8 ? in.bounded(60.0) : point(in);
            const korvel::TagValues u = tag_values(in), v = tag_values(in);
            std::vector<std::vector<double>> before;
            for (const auto& l : p.bank())
                before.push_back(l.plant.outputs());
            try {
                p.step(w, u, v);
            } catch (const std::invalid_argument&) {
                // No plant to blend, or a NaN working value: nothing advanced.
                std::size_t finite = 0;
                while (finite < p.bank().size() && !std::isnan(p.bank()[finite].working_point))
                    ++finite;
                FUZZ_CHECK(std::isnan(w) || finite == 0);
                for (std::size_t i = 0; i < p.bank().size(); ++i)
                    FUZZ_CHECK(fuzz::same(p.bank()[i].plant.outputs(), before[i]));
                break;
            } catch (const std::out_of_range&) {
                break; // the upper plant lacks a CV of the lower one
            }
            // The shares: at most two plants, neighbours, summing to one.
            std::vector<double> points;
            for (const auto& l : p.bank())
                points.push_back(l.working_point);
            const auto bw = korvel::lpv::blend_weights(points.data(), points.size(), w);
            FUZZ_CHECK(bw.id2 == bw.id1 || bw.id2 == bw.id1 + 1);
            FUZZ_CHECK(bw.w2 >= 0.0 && bw.w2 <= 1.0 && bw.w1 == 1.0 - bw.w2);
            const auto& lower = p.bank()[bw.id1];
            const auto& upper = p.bank()[bw.id2];
            for (std::size_t i = 0; i < p.bank().size(); ++i) {
                const double share = p.bank()[i].weight;
                if (bw.id1 == bw.id2)
                    FUZZ_CHECK(share == (i == bw.id1 ? 1.0 : 0.0));
                else
                    FUZZ_CHECK(share == (i == bw.id1 ? bw.w1 : i == bw.id2 ? bw.w2 : 0.0));
            }
            for (std::size_t c = 0; c < lower.plant.cv_list().size(); ++c) {
                const std::string& cv = lower.plant.cv_list()[c];
                const double* got = korvel::find_tag(p.outputs(), cv);
                FUZZ_CHECK(got != nullptr);
                // Of a tag the lower plant lists twice, its last CV stays.
                const auto& list = lower.plant.cv_list();
                if (std::find(list.begin() + static_cast<std::ptrdiff_t>(c) + 1, list.end(), cv) !=
                    list.end())
                    continue;
                const double yl = lower.plant.outputs()[c], lift = korvel::tag_value(ini, cv);
                const double want = bw.id1 == bw.id2
                                        ? yl + lift
                                        : (bw.w1 * yl + bw.w2 * upper.plant.output(cv)) + lift;
                FUZZ_CHECK(fuzz::same(*got, want));
            }
            break;
        }
        }
        // Ascending working points without ties, a NaN only last, ids unique.
        const auto& bank = p.bank();
        for (std::size_t i = 0; i < bank.size(); ++i) {
            if (std::isnan(bank[i].working_point)) FUZZ_CHECK(i + 1 == bank.size());
            if (i > 0 && !std::isnan(bank[i].working_point))
                FUZZ_CHECK(bank[i - 1].working_point < bank[i].working_point);
            for (std::size_t k = 0; k < i; ++k)
                FUZZ_CHECK(bank[k].id != bank[i].id);
        }
    }
    return 0;
}
