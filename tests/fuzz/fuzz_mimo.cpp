// The MIMO simulator against its pair models stepped one by one in the
// order the sum is defined in, with its tags, initial values, resets, moves
// and step responses.
#include <korvel/mimo.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common_models.hpp"

namespace {

const char* const tags[] = {"A", "B", "u", "v", "w"}; // "A" and "B" may be CVs and MVs at once

korvel::ModelDict model_dict(fuzz::Bytes& in) {
    korvel::ModelDict d(1 + in.below(3));
    for (auto& row : d) {
        row.cv = tags[in.below(3)];
        const std::size_t n = in.below(4);
        for (std::size_t j = 0; j < n; ++j)
            row.pairs.emplace_back(tags[in.below(5)], fuzz::pair_spec(in));
    }
    return d;
}

korvel::TagValues tag_values(fuzz::Bytes& in) {
    korvel::TagValues t(in.below(5));
    for (auto& [k, v] : t) {
        k = in.u8() % 8 == 0 ? "other" : tags[in.below(5)];
        v = in.u8() % 8 ? in.finite() : in.number();
    }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const korvel::ModelDict dict = model_dict(in);
    const korvel::TagValues ini = tag_values(in);
    std::optional<korvel::MimoSim> sim, shadow; // shadow: its models stepped by hand
    if (!fuzz::builds([&] {
            sim.emplace(dict, ini);
            shadow.emplace(dict, ini);
        }))
        return 0;
    const auto cvs = sim->cv_list(), mvs = sim->mv_list();
    FUZZ_CHECK(cvs.size() == dict.size());
    for (std::size_t j = 0; j < mvs.size(); ++j)
        FUZZ_CHECK(std::count(mvs.begin(), mvs.end(), mvs[j]) == 1);
    std::vector<double> u_ini, y_ini;
    for (const auto& mv : mvs)
        u_ini.push_back(korvel::tag_value(ini, mv));
    for (const auto& cv : cvs)
        y_ini.push_back(korvel::tag_value(ini, cv));
    FUZZ_CHECK(fuzz::same(sim->input_initial(), u_ini) && fuzz::same(sim->output_initial(), y_ini));
    std::vector<double> u = u_ini;

    while (!in.empty()) {
        switch (in.u8() % 5) {
        default: {
            const korvel::TagValues uv = tag_values(in), vv = tag_values(in);
            const std::vector<double>& y = sim->step(uv, vv);
            for (const auto& [tag, value] : uv)
                for (std::size_t j = 0; j < mvs.size(); ++j)
                    if (mvs[j] == tag) u[j] = value;
            FUZZ_CHECK(fuzz::same(sim->inputs(), u) && y.size() == cvs.size());
            for (std::size_t r = 0; r < cvs.size(); ++r) {
                double sum = 0.0;
                for (std::size_t j = 0; j < mvs.size(); ++j)
                    sum += shadow->model(r, j).step(u[j] - u_ini[j]);
                const double want = (sum + korvel::tag_value(vv, cvs[r])) + y_ini[r];
                FUZZ_CHECK(fuzz::same(y[r], want));
            }
            break;
        }
        case 1: {
            sim->reset();
            u = u_ini;
            FUZZ_CHECK(fuzz::same(sim->inputs(), u_ini) && fuzz::same(sim->outputs(), y_ini));
            break;
        }
        case 2: { // tag lookups, and the MV-then-CV table
            const std::string tag = in.u8() % 8 == 0 ? "other" : tags[in.below(5)];
            const auto mv = std::find(mvs.begin(), mvs.end(), tag);
            try {
                const double v = sim->input(tag);
                FUZZ_CHECK(mv != mvs.end() && fuzz::same(v, u[mv - mvs.begin()]));
            } catch (const std::out_of_range&) {
                FUZZ_CHECK(mv == mvs.end());
            }
            const auto cv = std::find(cvs.begin(), cvs.end(), tag);
            try {
                const double v = sim->output(tag);
                FUZZ_CHECK(cv != cvs.end() && fuzz::same(v, sim->outputs()[cv - cvs.begin()]));
            } catch (const std::out_of_range&) {
                FUZZ_CHECK(cv == cvs.end());
            }
            const korvel::TagValues all = sim->all_data();
            for (const auto& entry : all) {
                const std::string& k = entry.first;
                const double v = entry.second;
                FUZZ_CHECK(std::count_if(all.begin(), all.end(),
                                         [&](const auto& e) { return e.first == k; }) == 1);
                const auto last_cv = std::find(cvs.rbegin(), cvs.rend(), k);
                if (last_cv != cvs.rend())
                    FUZZ_CHECK(fuzz::same(v, sim->outputs()[cvs.rend() - last_cv - 1]));
                else
                    FUZZ_CHECK(fuzz::same(v, sim->input(k)));
            }
            break;
        }
        case 3: { // a moved simulator goes on from where it was
            korvel::MimoSim moved = std::move(*sim);
            sim.emplace(std::move(moved));
            break;
        }
        case 4: {
            const std::size_t n = 1 + in.below(12);
            korvel::StepResponses s;
            if (!fuzz::builds([&] { s = korvel::step_responses(dict, 1.0, n); })) break;
            FUZZ_CHECK(s.tags.cvs == cvs && s.tags.mvs == mvs && s.y.size() == cvs.size());
            for (const auto& row : s.y) {
                FUZZ_CHECK(row.size() == mvs.size());
                for (const auto& y : row)
                    FUZZ_CHECK(y.empty() || y.size() == n);
            }
            break;
        }
        }
    }

    // The SISO simulator is the one-pair MIMO simulator.
    const double gain = in.bounded(3.0), tao = 1.0 + std::fabs(in.bounded(10.0));
    const double delay = static_cast<double>(in.u8() % 4);
    korvel::SisoSim siso(gain, tao, delay);
    korvel::MimoSim same(korvel::siso_dict(gain, tao, delay), {{"CV", 0.0}, {"MV", 0.0}});
    for (int k = 0; k < 6; ++k) {
        const double mv = in.finite();
        FUZZ_CHECK(fuzz::same(siso.step_to(mv), same.step({{"MV", mv}})[0]));
    }
    return 0;
}
