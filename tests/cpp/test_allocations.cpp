// After construction and a warm-up, a step of any block allocates nothing:
// every allocation in the test binary is counted, and each block then runs
// 10^5 steps with varying input.
#include <korvel/constdetect.hpp>
#include <korvel/delay.hpp>
#include <korvel/filters.hpp>
#include <korvel/labbias.hpp>
#include <korvel/limiters.hpp>
#include <korvel/lpv.hpp>
#include <korvel/mimo.hpp>
#include <korvel/pid.hpp>
#include <korvel/testsignal.hpp>
#include <korvel/timers.hpp>
#include <korvel/watchdog.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<long> allocations{0};
}

// The replacements pair malloc with free; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return ::operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace korvel;

namespace {

constexpr int steps = 100000;

// Allocations made by `step(k)` for k in [0, steps), after `warm` steps.
long allocations_in(const std::function<void(int)>& step, int warm = 100) {
    for (int k = 0; k < warm; ++k)
        step(k);
    const long before = allocations.load();
    for (int k = 0; k < steps; ++k)
        step(k);
    return allocations.load() - before;
}

double wave(int k) {
    return std::sin(0.01 * k) + 0.1 * (k % 7);
}

ModelDict process() {
    using S = PairSpec;
    return {{"CV1",
             {{"MV1", S::tf_s({0, 4.05}, {50, 1}, 25)},
              {"MV2", S::tf_z({0, 1, 0.5}, {1, -1.5, 0.7}, 3)}}},
            {"CV2",
             {{"MV1", S::stp({0, 0, 1, 1, 2, 3, 3})},
              {"MV2", S::stpxy({0, 4, 9}, {0, 1, 2})},
              {"MV3", S::tf_s({0, 1}, {20, 1}, 2, true)}}}};
}

TEST(Allocations, NoneInTheStepOfAnyBlock) {
    Pid pid(1.0);
    pid.set_params(0.5, 20.0, 1.0, 10.0);
    Pid::ModeError err;
    EXPECT_EQ(allocations_in([&](int k) { pid.run(k > 50, 1.0, wave(k), 0.0, 0.1, err); }), 0);

    ZFilter z({0.2, 0.1}, {1.0, -0.7}, 1.0, 2.0);
    SFilter s({1.0}, {10.0, 1.0}, 1.0);
    LeadLag ll(5.0, 10.0, 1);
    LeadLagBank lanes(9, 0.5, 10.0, 1);
    std::vector<double> out(9);
    EXPECT_EQ(allocations_in([&](int k) {
                  z.step(wave(k), 0.5);
                  s.step(wave(k));
                  ll.step(wave(k));
                  const double x = wave(k);
                  lanes.step(Lanes::all(x), out.data());
              }),
              0);

    AntiWindup clamp;
    RateLimiter rate(0.0);
    EXPECT_EQ(allocations_in([&](int k) { clamp.step(rate.step(10 * wave(k), 30.0), 1.0, -1.0); }),
              0);
    AntiWindupBank clamps(9);
    RateLimiterBank rates(9, 0.0);
    std::vector<double> ramped(9), clamped(9);
    EXPECT_EQ(allocations_in([&](int k) {
                  const double x = 10 * wave(k), hi = 1.0;
                  rates.step(Lanes::all(x), Lanes::all(30.0), ramped.data());
                  clamps.step({ramped.data()}, Lanes::all(hi), Lanes::all(-1.0), clamped.data());
              }),
              0);

    DelayLine<double> line(50);
    DelayBuffer buffer;
    ConstWindow<> window;
    DelayBank bank(std::vector<std::size_t>{10, 50, 3});
    const long long lags[] = {9, 20, 0};
    double delayed[3];
    std::uint8_t refused[3];
    EXPECT_EQ(allocations_in([&](int k) {
                  line.push(wave(k));
                  const double x = wave(k);
                  bank.step(Lanes::all(x), {lags}, delayed, refused);
                  buffer.step(wave(k), static_cast<std::size_t>(k % 40));
                  window.step(k % 20 < 15 ? 1.0 : wave(k), 12);
              }),
              0);

    RSLatch latch;
    OnDelay on(5);
    OffDelay off(5);
    WatchDog dog;
    TestSignal signal({0.2, 0.5, 0.7}, 60, 1.5);
    EXPECT_EQ(allocations_in([&](int k) {
                  latch.step(k % 9 == 0, k % 13 == 0);
                  on.step(k % 11 < 7);
                  off.step(k % 11 < 7);
                  dog.step(k);
                  signal.at(k);
              }),
              0);

    const TagValues ini{{"CV1", 10.0}, {"CV2", 20.0}, {"MV1", 1.0}};
    MimoSim mimo(process(), ini, 1.0);
    TagValues u{{"MV1", 0.0}, {"MV2", 0.0}, {"MV3", 0.0}}, v{{"CV2", 0.0}};
    SisoSim siso(2.0, 30.0, 4.0);
    EXPECT_EQ(allocations_in([&](int k) {
                  u[k % 3].second = wave(k);
                  v[0].second = 0.01 * (k % 5);
                  mimo.step(u, v);
                  siso.step_to(wave(k), 0.1);
              }),
              0);

    LpvPlant lpv(ini);
    lpv.add_plant(1, 5.0, process());
    lpv.add_plant(2, 15.0, process());
    lpv.add_plant(3, 25.0, process());
    EXPECT_EQ(allocations_in([&](int k) { lpv.step(30 * std::fabs(wave(k)), u, v); }), 0);
}

TEST(Allocations, NoneInTheSoftSensorOrTheRecorderOnceTheFileExists) {
    SoftSensor sensor("alloc", 3.0, 1e-6, 600, 5, default_zoh, [](std::string_view) {});
    const auto dir = std::filesystem::temp_directory_path() / "korvel-allocations";
    std::filesystem::remove_all(dir);
    LabRecorder recorder("alloc", 1e-6, 5, dir);
    // A laboratory result changes every 50 samples: updates, back-fills and
    // records keep happening throughout.
    const auto lab = [](int k) { return 20.0 + (k / 50) % 3; };
    EXPECT_EQ(allocations_in(
                  [&](int k) {
                      recorder.run(lab(k), 1e9 + 50 * (k / 50));
                      sensor.run(20 + wave(k), lab(k), 1e9 + 50 * (k / 50), 1e9 + k);
                  },
                  1000),
              0);
    std::filesystem::remove_all(dir);
}

} // namespace
