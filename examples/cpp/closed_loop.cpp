// Two PID loops on a two-by-two process, in C++ alone (no Python): the
// library's blocks as plain headers. Prints one line per sample with every
// value at full precision, so the same loop written in Python with the
// korvel.algorithm modules can be compared with it digit for digit.
#include <korvel/mimo.hpp>
#include <korvel/pid.hpp>

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace {

std::unique_ptr<korvel::PairModel> tf(std::vector<double> num, std::vector<double> den) {
    return std::make_unique<korvel::TfModel>(std::move(num), std::move(den));
}

} // namespace

int main() {
    // CV1, CV2 from MV1, MV2 (discrete transfer functions in powers of z^-1).
    std::vector<std::vector<std::unique_ptr<korvel::PairModel>>> models(2);
    models[0].push_back(tf({0.0, 0.08}, {1.0, -0.92}));
    models[0].push_back(tf({0.0, 0.0, 0.03}, {1.0, -0.95}));
    models[1].push_back(tf({0.0, 0.02}, {1.0, -0.9}));
    models[1].push_back(tf({0.0, 0.1, 0.05}, {1.0, -1.2, 0.4}));
    korvel::MimoSim plant(std::move(models), {40.0, 20.0}, {50.0, 30.0});

    korvel::Pid pid1(1.0), pid2(1.0);
    pid1.set_params(0.8, 12.0, 0.0, 10.0);
    pid2.set_params(0.6, 8.0, 0.0, 10.0);

    std::vector<double> y = plant.outputs();
    std::vector<double> u = plant.inputs();
    std::printf("k,CV1,CV2,MV1,MV2\n");
    for (int k = 0; k < 200; ++k) {
        const double mode = k < 5 ? 0.0 : 1.0; // tracking first, then automatic
        const double sp1 = k < 10 ? 50.0 : 55.0;
        korvel::Pid::ModeError err;
        u[0] = pid1.run(mode, sp1, y[0], u[0], 0.0, err);
        u[1] = pid2.run(mode, 30.0, y[1], u[1], 0.0, err);
        plant.set_input(0, u[0]);
        plant.set_input(1, u[1]);
        const double load[2] = {0.0, k < 60 ? 0.0 : 2.0}; // unmeasured, on CV2
        y = plant.step(load);
        std::printf("%d,%.17g,%.17g,%.17g,%.17g\n", k, y[0], y[1], u[0], u[1]);
    }
    return 0;
}
