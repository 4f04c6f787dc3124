// The MIMO bank against one simulator per lane, to the bit: small models of
// every kind (common_models.hpp), lanes that differ from a common plant in
// gains, in dead times or in everything; steps with MVs and disturbances
// given or not, shared or per lane, values held so that zeros of either sign
// cross a dead time, now and then not finite; lanes taken out and put in
// (with states of their own), resets and copies of the bank.
#include <korvel/mimo_bank.hpp>

#include <cmath>
#include <memory>
#include <vector>

#include "common_models.hpp"

namespace {

// What a lane is made of: a spec per pair (CV-major) and initial values.
struct Recipe {
    std::vector<korvel::PairSpec> specs;
    std::vector<double> u_ini, y_ini;
};

// A dead time short enough to step quickly.
korvel::PairSpec tame(korvel::PairSpec s) {
    if (!(std::fabs(s.delay_s) <= 64.0)) s.delay_s = 0.0;
    return s;
}

// The common plant's pair as lane's: the same, another gain, another dead
// time, or another model.
korvel::PairSpec variant(fuzz::Bytes& in, korvel::PairSpec s) {
    switch (in.u8() % 4) {
    case 0:
        return s;
    case 1: {
        const double g = in.u8() % 8 ? in.bounded(4.0) : in.number();
        for (std::vector<double>* v : {&s.num, &s.table, &s.y})
            for (double& x : *v)
                x *= g;
        return s;
    }
    case 2:
        s.delay_s = static_cast<double>(in.below(13));
        s.delay_z = in.below(13);
        return s;
    default:
        return tame(fuzz::pair_spec(in));
    }
}

Recipe recipe(fuzz::Bytes& in, const std::vector<korvel::PairSpec>& plant, std::size_t cvs,
              std::size_t mvs) {
    Recipe r{{}, std::vector<double>(mvs), std::vector<double>(cvs)};
    for (const korvel::PairSpec& s : plant)
        r.specs.push_back(variant(in, s));
    for (auto* v : {&r.u_ini, &r.y_ini})
        for (double& x : *v) {
            const unsigned k = in.u8() % 8;
            x = k < 4 ? 0.0 : k == 4 ? -0.0 : k == 5 ? in.number() : in.finite();
        }
    return r;
}

// The lane's simulator; a pair the rule cannot build has no model.
korvel::MimoSim simulator(const Recipe& r) {
    const std::size_t cvs = r.y_ini.size(), mvs = r.u_ini.size();
    std::vector<std::vector<std::unique_ptr<korvel::PairModel>>> models(cvs);
    for (std::size_t p = 0; p < cvs * mvs; ++p) {
        std::unique_ptr<korvel::PairModel> m;
        fuzz::builds([&] { m = korvel::build_pair(r.specs[p], 1.0).take(); });
        models[p / mvs].push_back(std::move(m));
    }
    return korvel::MimoSim(std::move(models), r.u_ini, r.y_ini);
}

korvel::TfModel* tf(const korvel::MimoSim& s, std::size_t r, std::size_t j) {
    return dynamic_cast<korvel::TfModel*>(&s.model(r, j));
}

korvel::MimoBank::Lane lane(const korvel::MimoSim& s) {
    korvel::MimoBank::Lane l{{},         s.input_initial(), s.output_initial(),
                             s.inputs(), s.outputs(),       {}};
    for (std::size_t r = 0; r < s.cv_list().size(); ++r) {
        l.models.emplace_back();
        for (std::size_t j = 0; j < s.mv_list().size(); ++j)
            l.models[r].push_back(&s.model(r, j));
    }
    return l;
}

// Lane l of the bank is simulator s: values, filters and states.
void same_lane(const korvel::MimoBank& bank, std::size_t l, const korvel::MimoSim& s) {
    for (std::size_t j = 0; j < bank.mvs(); ++j)
        FUZZ_CHECK(fuzz::same(bank.inputs(j)[l], s.inputs()[j]) &&
                   fuzz::same(bank.input_initial(j)[l], s.input_initial()[j]));
    for (std::size_t r = 0; r < bank.cvs(); ++r) {
        FUZZ_CHECK(fuzz::same(bank.outputs(r)[l], s.outputs()[r]) &&
                   fuzz::same(bank.output_initial(r)[l], s.output_initial()[r]));
        for (std::size_t j = 0; j < bank.mvs(); ++j) {
            const korvel::TfModel* m = tf(s, r, j);
            const auto& f = bank.iir(l, r, j);
            FUZZ_CHECK(bool(f) == bool(m));
            if (m) FUZZ_CHECK(fuzz::same(f->b(), m->num()) && fuzz::same(f->a(), m->den()));
            FUZZ_CHECK(fuzz::same(bank.state(l, r, j), m ? m->zi() : std::vector<double>{}));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::size_t cvs = 1 + in.below(3), mvs = in.below(4);
    const std::size_t n = in.u8() % 16 ? in.below(21) : 64 + in.below(8); // past a block too
    std::vector<korvel::PairSpec> plant(cvs * mvs);
    for (korvel::PairSpec& s : plant)
        s = tame(fuzz::pair_spec(in));
    std::vector<Recipe> recipes;
    std::vector<korvel::MimoSim> sims;
    std::vector<korvel::MimoBank::Lane> parts;
    for (std::size_t l = 0; l < n; ++l) {
        recipes.push_back(recipe(in, plant, cvs, mvs));
        sims.push_back(simulator(recipes.back()));
        parts.push_back(lane(sims.back()));
    }
    korvel::MimoBank bank =
        n && in.flag() ? korvel::MimoBank::of(sims) : korvel::MimoBank(cvs, mvs, parts);
    // A value of an MV or a disturbance: the one held mostly, zeros of
    // either sign, now and then anything.
    const auto value = [&](double held) {
        const unsigned k = in.u8() % 8;
        return k < 3 ? held : k == 3 ? 0.0 : k == 4 ? -0.0 : k == 5 ? in.number() : in.finite();
    };
    // Values of every lane or one for all, held(l) lane l's own; not given
    // (data nullptr) now and then.
    const auto lanes = [&](std::vector<double>& v, auto held) {
        v.resize(in.u8() % 4 == 0 ? 1 : n);
        for (std::size_t l = 0; l < v.size(); ++l)
            v[l] = value(held(l));
        return in.u8() % 4 == 0 ? korvel::Lanes{nullptr}
               : v.size() == 1  ? korvel::Lanes::all(v[0])
                                : korvel::Lanes{v.data()};
    };
    std::vector<std::vector<double>> uv(mvs), vv(cvs);
    std::vector<korvel::Lanes> U(mvs), V(cvs);
    std::vector<double> dist(cvs);

    while (!in.empty()) {
        switch (in.u8() % 8) {
        default: { // a sample; MVs not given keep their values
            for (std::size_t j = 0; j < mvs; ++j)
                U[j] = lanes(uv[j], [&](std::size_t l) { return n ? bank.inputs(j)[l] : 0.0; });
            for (std::size_t r = 0; r < cvs; ++r)
                V[r] = lanes(vv[r], [](std::size_t) { return 0.0; });
            const bool with_u = in.u8() % 8 != 0, with_v = in.flag();
            bank.step(with_u ? U.data() : nullptr, with_v ? V.data() : nullptr);
            for (std::size_t l = 0; l < n; ++l) {
                for (std::size_t j = 0; j < mvs && with_u; ++j)
                    if (U[j].data) sims[l].set_input(j, U[j][l]);
                for (std::size_t r = 0; r < cvs; ++r)
                    dist[r] = V[r].data ? V[r][l] : 0.0;
                sims[l].step(with_v ? dist.data() : nullptr);
            }
            break;
        }
        case 0:
            bank.reset();
            for (korvel::MimoSim& s : sims)
                s.reset();
            break;
        case 1: { // a new lane, run on its own a while, maybe with states of its own
            if (n == 0) break;
            const std::size_t l = in.below(n);
            Recipe r = recipe(in, plant, cvs, mvs);
            korvel::MimoSim s = simulator(r);
            for (std::size_t k = in.below(4); k > 0; --k) {
                for (std::size_t j = 0; j < mvs; ++j)
                    s.set_input(j, value(0.0));
                s.step();
            }
            korvel::MimoBank::Lane new_lane = lane(s);
            bool fits = true;
            if (in.flag()) {
                new_lane.zi.assign(cvs, std::vector<std::vector<double>>(mvs));
                for (std::size_t p = 0; p < cvs * mvs; ++p) {
                    korvel::TfModel* m = tf(s, p / mvs, p % mvs);
                    auto& z = new_lane.zi[p / mvs][p % mvs];
                    z.resize(m ? m->state_size() + (in.u8() % 32 == 0) : 0); // too long: refused
                    for (double& x : z)
                        x = value(0.0);
                    fits = fits && (!m || z.size() == m->state_size());
                    if (m) m->set_zi(z);
                }
            }
            try {
                bank.set_lane(l, new_lane);
                FUZZ_CHECK(fits);
            } catch (const std::invalid_argument&) {
                FUZZ_CHECK(!fits);
                break;
            }
            sims[l] = std::move(s);
            recipes[l] = std::move(r);
            break;
        }
        case 2: { // a lane taken out continues as the lane, and is put into another
            if (n == 0) break;
            const std::size_t j = in.below(n), l = in.below(n);
            korvel::MimoSim s = simulator(recipes[j]);
            bank.copy_lane_to(j, s);
            same_lane(bank, j, s);
            bank.set_lane(l, lane(s));
            sims[l] = std::move(s);
            recipes[l] = recipes[j];
            break;
        }
        case 3: {
            korvel::MimoBank copy = bank;
            bank = in.flag() ? std::move(copy) : korvel::MimoBank(copy);
            break;
        }
        }
        FUZZ_CHECK(bank.size() == n && bank.cvs() == cvs && bank.mvs() == mvs);
        for (std::size_t l = 0; l < n; ++l)
            same_lane(bank, l, sims[l]);
    }
    return 0;
}
