#include <korvel/mimo.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

using korvel::MimoSim;
using korvel::NoModel;
using korvel::PairModel;
using korvel::TfModel;

namespace {

std::vector<double> steps(PairModel& m, const std::vector<double>& du) {
    std::vector<double> y;
    for (double d : du)
        y.push_back(m.step(d));
    return y;
}

// The unit-step table as FIR numerator: first differences after a leading 0.
std::vector<double> table_numerator(const std::vector<double>& stp) {
    std::vector<double> h;
    double prev = 0.0;
    for (double s : stp) {
        h.push_back(s - prev);
        prev = s;
    }
    return h;
}

} // namespace

TEST(PairModels, StepTableIsReproducedAndHeld) {
    TfModel m(table_numerator({0, 0, 1, 1, 0, 0, 4}), {1.0});
    EXPECT_EQ(steps(m, std::vector<double>(10, 1.0)),
              (std::vector<double>{0, 0, 1, 1, 0, 0, 4, 4, 4, 4}));
    TfModel twice(table_numerator({0, 0, 1, 1, 0, 0, 4}), {1.0});
    EXPECT_EQ(steps(twice, std::vector<double>(9, 2.0)),
              (std::vector<double>{0, 0, 2, 2, 0, 0, 8, 8, 8}));
}

TEST(PairModels, DelayAndIntegration) {
    TfModel delay({0, 0, 1}, {1});
    EXPECT_EQ(steps(delay, {3, 5, 7, 9}), (std::vector<double>{0, 0, 3, 5}));
    TfModel integrator({1}, {1, -1});
    EXPECT_EQ(steps(integrator, {1, 1, 1, 1}), (std::vector<double>{1, 2, 3, 4}));
    NoModel none;
    EXPECT_EQ(steps(none, {1, -5, std::numeric_limits<double>::infinity()}),
              (std::vector<double>{0, 0, 0}));
}

TEST(PairModels, FirStepSumsFromTheOldestTap) {
    // lfilter on one sample: b / a[0], then the state chain, which adds the
    // taps from the oldest input to the newest.
    const std::vector<double> b{0.1, -0.7, 1.3, 0.25, 2.0};
    const std::vector<double> x{1.5, -2.25, 0.3, 7.0, 0.125, -1.0, 3.3};
    TfModel m(b, {2.0});
    const auto y = steps(m, x);
    for (std::size_t k = 0; k < x.size(); ++k) {
        double ref = 0.0;
        bool first = true;
        for (std::size_t j = b.size(); j-- > 0;) {
            if (j > k) continue;
            const double term = x[k - j] * (b[j] / 2.0);
            ref = first ? term : ref + term;
            first = false;
        }
        EXPECT_EQ(y[k], ref) << k;
    }
}

TEST(PairModels, RefusesWhatTheFilterCannotRun) {
    EXPECT_THROW(TfModel({}, {1.0}), std::invalid_argument);
    EXPECT_THROW(TfModel({1.0}, {}), std::invalid_argument);
    EXPECT_THROW(TfModel({1.0}, {0.0, 1.0}), std::domain_error);
}

TEST(PairModels, StateOfWrongLengthFailsAtTheStep) {
    TfModel m({0, 1, 0.5}, {1, -1.5, 0.7});
    m.step(1.0);
    m.set_num({1, 2, 3, 4});
    try {
        m.step(1.0);
        FAIL() << "expected a shape error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unexpected shape for zi: expected (3,), found (2,).");
    }
    m.reset_zi();
    EXPECT_EQ(m.zi(), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(m.step(1.0), 1.0);

    TfModel fir({1, 1}, {1});
    fir.set_zi({});
    try {
        fir.step(1.0);
        FAIL() << "expected a shape error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unexpected shape for parameter zi: expected (1,), found (0,).");
    }
}

TEST(PairModels, ReplacedStateLeavesOldBufferAlive) {
    TfModel m({1, 1}, {1});
    auto old = m.shared_zi();
    m.step(2.0);
    EXPECT_EQ(*old, (std::vector<double>{2.0}));
    m.reset_zi();
    m.step(5.0);
    EXPECT_EQ(*old, (std::vector<double>{2.0}));
    EXPECT_EQ(m.zi(), (std::vector<double>{5.0}));
}

TEST(Miso, FailingInputLeavesEarlierModelsAdvanced) {
    TfModel a({1, 1}, {1}), b({1, 1}, {1});
    PairModel* row[] = {&a, &b};
    EXPECT_THROW(korvel::miso_step(row, 2,
                                   [](std::size_t i) {
                                       if (i == 1) throw std::runtime_error("bad input");
                                       return 1.0;
                                   }),
                 std::runtime_error);
    EXPECT_EQ(a.zi(), (std::vector<double>{1.0}));
    EXPECT_EQ(b.zi(), (std::vector<double>{0.0}));
}

TEST(Mimo, StepTablePairMovesItsCv) {
    // CV2 of a two-MV process: MV1 through a first-order lag, MV2 through a
    // step table; MV2 one above its initial value from the first step on.
    std::vector<std::vector<std::unique_ptr<PairModel>>> models(2);
    models[0].push_back(
        std::make_unique<TfModel>(std::vector<double>{0, 0.5}, std::vector<double>{1, -0.5}));
    models[0].push_back(nullptr);
    models[1].push_back(nullptr);
    models[1].push_back(std::make_unique<TfModel>(
        table_numerator({0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3}), std::vector<double>{1.0}));
    MimoSim sim(std::move(models), {15, 16}, {10, 20});
    sim.set_input(1, 17);
    std::vector<double> cv2;
    for (int k = 0; k < 14; ++k) {
        const auto& y = sim.step();
        EXPECT_EQ(y[0], 10.0);
        cv2.push_back(y[1]);
    }
    EXPECT_EQ(cv2, (std::vector<double>{20, 20, 21, 21, 20, 20, 24, 24, 24, 27, 28, 29, 24, 23}));

    const double v[] = {0.0, 1.5};
    EXPECT_EQ(sim.step(v)[1], 24.5);
    EXPECT_EQ(sim.step()[1], 23.0);

    sim.reset();
    EXPECT_EQ(sim.inputs(), (std::vector<double>{15, 16}));
    EXPECT_EQ(sim.outputs(), (std::vector<double>{10, 20}));
    // The table held its last value; back at the initial input the model
    // still carries the step it saw.
    EXPECT_EQ(sim.step()[1], 23.0);
}

TEST(Mimo, SumOrderIsModelsThenDisturbanceThenInitialValue) {
    std::vector<std::vector<std::unique_ptr<PairModel>>> models(1);
    models[0].push_back(
        std::make_unique<TfModel>(std::vector<double>{1e-17}, std::vector<double>{1}));
    MimoSim sim(std::move(models), {0}, {1.0});
    sim.set_input(0, 1.0);
    const double v[] = {-1e-17};
    // (1e-17 + -1e-17) + 1.0, not 1e-17 + (-1e-17 + 1.0).
    EXPECT_EQ(sim.step(v)[0], 1.0);
    std::vector<std::vector<std::unique_ptr<PairModel>>> m2(1);
    m2[0].push_back(std::make_unique<TfModel>(std::vector<double>{1.0}, std::vector<double>{1}));
    MimoSim sim2(std::move(m2), {0}, {-1.0});
    sim2.set_input(0, 1e-17);
    const double v2[] = {1.0};
    EXPECT_EQ(sim2.step(v2)[0], 0.0);
}

TEST(StepResponse, FlatRangeFollowsPythonMaxMin) {
    TfModel m(table_numerator({0, 5e-7}), {1.0});
    std::vector<double> y(4);
    korvel::step_response(m, y.data(), y.size());
    EXPECT_EQ(y, (std::vector<double>{0, 5e-7, 5e-7, 5e-7}));
    EXPECT_TRUE(korvel::flat(y.data(), y.size(), 1e-6));
    const double exact[] = {0.0, 1e-6};
    EXPECT_FALSE(korvel::flat(exact, 2, 1e-6));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A leading NaN stays the maximum and minimum: the range is NaN, not flat.
    const double lead[] = {nan, 0.0, 5.0};
    EXPECT_FALSE(korvel::flat(lead, 3, 1e-6));
    // A later NaN never compares greater or smaller: it is skipped.
    const double later[] = {1.0, nan, 1.0};
    EXPECT_TRUE(korvel::flat(later, 3, 1e-6));
}
