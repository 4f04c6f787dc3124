// The closed-loop study of examples/demo.py with the C++ core alone (no
// Python): the reference two-by-three process, once as a MIMO simulator and
// once as an LPV plant whose gains change with CV1; two PID loops (rate
// limiter and anti-windup limiter on one, lead-lag feed-forward on the
// other); a soft sensor of CV2 corrected from laboratory samples that a
// recorder appends to CSV files. It prints the same table as the Python
// study, line for line.
//
// usage: demo [--steps N] [--out DIR]
#include <korvel/labbias.hpp>
#include <korvel/limiters.hpp>
#include <korvel/lpv.hpp>
#include <korvel/pid.hpp>
#include <korvel/reference.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace korvel;

namespace {

const TagValues initial = reference::initial_values();

constexpr int tracking_until = 20; // samples in tracking before automatic
constexpr int sp_step_at = 60;     // CV1 set-point step
constexpr double sp_step = 4.0;
constexpr int load_at = 400; // unmeasured disturbance on CV1
constexpr double load = -3.0;
constexpr int lab_every = 45, lab_delay = 12; // laboratory sampling and analysis delay
constexpr double epoch = 1'767'225'600.0;     // 2026-01-01 00:00:00 UTC

struct Trace {
    std::vector<double> sp, pv, op;
};

struct Study {
    std::string name;
    Trace loops[2]; // CV1, CV2
    std::vector<double> truth, raw, corrected;
};

// A plant either way: CV values by tag after one step.
struct Plant {
    std::optional<MimoSim> mimo;
    std::optional<LpvPlant> lpv;

    TagValues step(double working_value, const TagValues& u, const TagValues& v) {
        if (lpv) return lpv->step(working_value, u, v);
        const std::vector<double>& y = mimo->step(u, v);
        TagValues out;
        for (std::size_t r = 0; r < y.size(); ++r)
            out.emplace_back(mimo->cv_list()[r], y[r]);
        return out;
    }
};

Study run_study(const std::string& name, Plant& plant, int steps, const std::string& csv_dir) {
    Pid pid1(1.0), pid2(1.0);
    pid1.set_params(0.03, 2.0, 0.0, 10.0);
    pid2.set_params(0.3, 80.0, 0.0, 10.0);
    pid1.set_limits(40.0, 0.0);
    pid2.set_limits(40.0, 0.0);
    RateLimiter rate1(tag_value(initial, "MV2")), rate2(tag_value(initial, "MV1"));
    AntiWindup clamp1;
    // CV2 sees MV2 through a fast step response of gain 3 and MV1 through
    // 5.39/(50 s + 1): the decoupler -(3/5.39) (50 s + 1)/(10 s + 1) is a lead.
    LeadLag feed_forward(5.0, 10.0, 1);
    const double ff_gain = -3.0 / 5.39;

    SoftSensor sensor(name + "-CV2", 3.0, 1e-6, 28800, 5);
    LabRecorder recorder(name + "-CV2", 1e-6, 5, csv_dir);
    double lab_value = tag_value(initial, "CV2"), lab_time = epoch;
    // A sample drawn and not yet analysed: its value, time and due call.
    double pending_value = 0.0, pending_time = 0.0;
    int pending_due = -1;

    double sp1 = tag_value(initial, "CV1");
    const double sp2 = tag_value(initial, "CV2");
    double cv1 = sp1, cv2 = sp2;
    TagValues mv{{"MV1", tag_value(initial, "MV1")},
                 {"MV2", tag_value(initial, "MV2")},
                 {"MV3", tag_value(initial, "MV3")}};
    Study study{name, {}, {}, {}, {}};
    for (int k = 0; k < steps; ++k) {
        const double now = epoch + k;
        const double mode = k < tracking_until ? 0 : 1;
        if (k == sp_step_at) sp1 += sp_step;

        Pid::ModeError err;
        const double op1 = pid1.run(mode, sp1, cv1, mv[1].second, 0.0, err);
        mv[1].second = clamp1.step(rate1.step(op1, 60.0), 40.0, 0.0);
        const double ff = ff_gain * (feed_forward.step(mv[1].second) - tag_value(initial, "MV2"));
        const double op2 = pid2.run(mode, sp2, cv2, mv[0].second, ff, err);
        mv[0].second = rate2.step(op2, 60.0);

        TagValues disturbance;
        if (k >= load_at) disturbance.emplace_back("CV1", load);
        const TagValues cv = plant.step(cv1, mv, disturbance);
        cv1 = tag_value(cv, "CV1");
        cv2 = tag_value(cv, "CV2");

        // The soft sensor sees CV2 with a drifting model error; the laboratory
        // result of a sample drawn at k arrives lab_delay samples later.
        const double raw = cv2 + 1.5 + 0.002 * k;
        if (k % lab_every == 0) {
            pending_value = cv2;
            pending_time = now;
            pending_due = k + lab_delay;
        }
        if (k == pending_due) {
            lab_value = pending_value;
            lab_time = pending_time;
            pending_due = -1;
        }
        recorder.run(lab_value, lab_time);
        const double bias = sensor.run(raw, lab_value, lab_time, now);
        study.truth.push_back(cv2);
        study.raw.push_back(raw);
        study.corrected.push_back(raw + bias);

        const double sps[2] = {sp1, sp2}, pvs[2] = {cv1, cv2}, ops[2] = {op1, op2};
        for (int l = 0; l < 2; ++l) {
            study.loops[l].sp.push_back(sps[l]);
            study.loops[l].pv.push_back(pvs[l]);
            study.loops[l].op.push_back(ops[l]);
        }
    }
    return study;
}

struct Metrics {
    double iae;
    std::optional<double> overshoot;
    double settling, final_error;
};

// IAE in automatic mode; overshoot in % of the set-point step (none for a
// loop whose set-point does not move); settling time of the set-point
// response into a band of 2 % of the step, before the load arrives; final
// error.
Metrics metrics(const Trace& t) {
    const std::size_t n = t.sp.size();
    std::vector<double> err(n);
    for (std::size_t k = 0; k < n; ++k)
        err[k] = t.sp[k] - t.pv[k];
    double iae = 0.0;
    for (std::size_t k = tracking_until; k < n; ++k)
        iae += std::fabs(err[k]);
    const double step = t.sp[sp_step_at] - t.sp[sp_step_at - 1];
    const double before = t.sp[sp_step_at - 1];
    const std::size_t end = std::min<std::size_t>(load_at, n);
    std::optional<double> overshoot;
    if (step != 0) {
        double peak = (t.pv[sp_step_at] - before) / step;
        for (std::size_t k = sp_step_at + 1; k < end; ++k)
            peak = std::max(peak, (t.pv[k] - before) / step);
        overshoot = std::max(0.0, (peak - 1.0) * 100.0);
    }
    const double band = 0.02 * std::fabs(step != 0 ? step : sp_step);
    double settling = 0.0;
    for (std::size_t k = sp_step_at; k < end; ++k)
        if (std::fabs(err[k]) > band) settling = static_cast<double>(k + 1 - sp_step_at);
    return {iae, overshoot, settling, err[n - 1]};
}

double mean_error(const std::vector<double>& signal, const std::vector<double>& truth) {
    double s = 0.0;
    for (std::size_t k = 0; k < truth.size(); ++k)
        s += std::fabs(signal[k] - truth[k]);
    return s / static_cast<double>(truth.size());
}

} // namespace

int main(int argc, char** argv) {
    int steps = 900;
    std::string out = "out";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--steps") == 0) steps = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
    }
    namespace fs = std::filesystem;
    fs::create_directories(out);
    for (const auto& entry : fs::directory_iterator(out)) {
        const std::string file = entry.path().filename().string();
        if (file.size() > 16 && file.ends_with(lab_csv_suffix)) fs::remove(entry.path());
    }

    const auto started = std::chrono::steady_clock::now();
    Plant mimo{MimoSim(reference::process(), initial, 1.0), std::nullopt};
    Plant lpv{std::nullopt, LpvPlant(initial)};
    for (const auto& p : reference::lpv_points)
        lpv.lpv->add_plant(p.id, p.working_point, reference::process(p.gain), 1.0);
    const Study studies[2] = {run_study("MIMO", mimo, steps, out),
                              run_study("LPV", lpv, steps, out)};
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("%-6s %-5s %9s %12s %11s %12s\n", "study", "loop", "IAE", "overshoot %",
                "settling s", "final error");
    for (const Study& s : studies) {
        const char* tags[2] = {"CV1", "CV2"};
        for (int l = 0; l < 2; ++l) {
            const Metrics m = metrics(s.loops[l]);
            char shown[32] = "-";
            if (m.overshoot) std::snprintf(shown, sizeof shown, "%.1f", *m.overshoot);
            std::printf("%-6s %-5s %9.2f %12s %11.0f %12.4f\n", s.name.c_str(), tags[l], m.iae,
                        shown, m.settling, m.final_error);
        }
    }
    for (const Study& s : studies)
        std::printf("%-6s soft sensor: mean error %.3f uncorrected, %.3f corrected\n",
                    s.name.c_str(), mean_error(s.raw, s.truth), mean_error(s.corrected, s.truth));
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(out)) {
        const std::string file = entry.path().filename().string();
        if (file.ends_with(lab_csv_suffix)) files.push_back(file);
    }
    std::sort(files.begin(), files.end());
    std::string listed;
    for (const std::string& f : files)
        listed += (listed.empty() ? "" : ", ") + f;
    std::printf("%d closed-loop steps in %.2f s; laboratory records %s\n", 2 * steps, elapsed,
                listed.c_str());
    return 0;
}
