// A PID loop on a simulated heater, with the C++ blocks alone (no Python),
// and a watchdog that supervises it.
//
//   c++ -std=c++20 -O2 -ffp-contract=off -I include heater_loop.cpp -o heater_loop
#include <korvel/constdetect.hpp>
#include <korvel/limiters.hpp>
#include <korvel/mimo.hpp>
#include <korvel/pid.hpp>
#include <korvel/watchdog.hpp>

#include <cstdio>

int main() {
    using namespace korvel;

    // T from Q: 2 / (30 s + 1) with 3 s of dead time, discretised at Ts = 1 s.
    const ModelDict models{{"T", {{"Q", PairSpec::tf_s({2.0}, {30.0, 1.0}, 3.0)}}}};
    MimoSim plant(models, {{"T", 20.0}, {"Q", 10.0}}, 1.0);

    Pid pid(1.0);                         // TS = 1 s
    pid.set_params(1.5, 25.0, 0.0, 10.0); // KP, TI, TD, N
    pid.set_limits(100.0, 0.0);           // false, and no change, if hi < lo
    RateLimiter ramp(10.0, 1.0);          // starts at 10 %, Ts = 1 s

    WatchDog heartbeat;
    ConstWindow<> frozen;

    double T = 20.0, Q = 10.0;
    for (int k = 0; k < 300; ++k) {
        Pid::ModeError err;
        const double mode = k < 10 ? 0.0 : 1.0; // track Q for 10 s, then automatic
        const double op = pid.run(mode, 30.0, T, Q, 0.0, err);
        if (err != Pid::ModeError::none) return 1; // a NaN or infinite mode
        Q = ramp.step(op, 120.0);                  // at most 120 % per minute
        plant.set_input("Q", Q);
        T = plant.step()[0]; // the CVs, in the order of plant.cv_list()

        // The first reading fills the window, which then counts as constant.
        const long long beat = *heartbeat.step(9); // 1, 2, ..., 9, 0, 1, ...
        const bool stalled = frozen.step(static_cast<double>(beat), 5);
        if (stalled && k > 0) std::puts("station stalled");
        if (k % 50 == 0) std::printf("%3d  T %7.3f  Q %7.3f\n", k, T, Q);
    }
    std::printf("T %.3f after 300 s (set-point 30)\n", T);
    return 0;
}
