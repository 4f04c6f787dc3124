// Soft-sensor bias correction from laboratory samples, and the detection of a
// new laboratory result that it shares with the laboratory-data recorder.
//
// A laboratory value is published as a level that steps when a new analysis
// arrives. A result counts as new once, on the call at which a step of at least
// the threshold has been followed by `const_len` further calls without a step
// of 1e-6 or more. The bias is the laboratory value minus the prediction that
// was valid at the laboratory sampling time, looked up in a time-stamped
// prediction history.
//
// Histories are rings allocated on the first call, so an object that is never
// run costs no history memory. Time stamps are expected in ascending order;
// the lookup is the same binary search as NumPy's searchsorted, so unsorted
// stamps give the same (meaningless) answer it would.
#pragma once

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "append.hpp"
#include "filters.hpp"
#include "ring.hpp"
#include "text.hpp"

namespace korvel {

// The last laboratory values received, oldest first, and the new-result rule.
// The number of later steps that are not settled is kept up to date as
// values enter and leave, so the rule costs O(1) whatever the capacity.
class LabHistory {
  public:
    // Steps below this count as "unchanged" while a result settles, whatever
    // the threshold for a new result is.
    static constexpr double settle_step = 1e-6;

    explicit LabHistory(std::size_t capacity = 0) noexcept : capacity_(capacity) {}

    std::size_t capacity() const noexcept { return capacity_; }
    const Ring<double>& values() const noexcept { return ring_; }

    // Appends `v`; a history that is not yet full (the first call) is first
    // filled with copies of `v`, so the value present then never counts as new.
    void record(double v) {
        backfill(v);
        push(v);
    }

    // Fills a history that is not yet full with copies of `v`.
    void backfill(double v) {
        if (ring_.capacity() != capacity_) ring_ = Ring<double>(capacity_);
        while (!ring_.full())
            push(v);
    }

    // Whether the oldest step is at least `abs_threshold` and every later one
    // is below settle_step. Needs two values (IndexError as NumPy gives it).
    bool new_result(double abs_threshold) const {
        if (ring_.size() < 2)
            throw std::out_of_range("index 0 is out of bounds for axis 0 with size 0");
        const double first = std::fabs(ring_[1] - ring_[0]);
        return first >= abs_threshold && unsettled_ - !settled(first) == 0;
    }

    // Replaces the contents (oldest first, the newest `capacity` kept).
    void restore(const std::vector<double>& v) {
        ring_ = Ring<double>(v.empty() ? 0 : capacity_);
        unsettled_ = 0;
        for (double x : v)
            push(x);
    }

  private:
    static bool settled(double step) noexcept { return step < settle_step; }

    void push(double v) {
        if (ring_.capacity() == 0) return;
        if (ring_.full() && ring_.size() >= 2)
            unsettled_ -= !settled(std::fabs(ring_[1] - ring_[0]));
        const bool had = !ring_.empty() && !(ring_.full() && ring_.size() == 1);
        const double last = had ? ring_.back() : 0.0;
        ring_.push_back(v);
        if (had) unsettled_ += !settled(std::fabs(v - last));
    }

    std::size_t capacity_;
    Ring<double> ring_;
    std::size_t unsettled_ = 0; // steps of the history that are not settled
};

class BiasUpdate {
  public:
    static constexpr double backfill_spacing = 60.0; // seconds between back-filled stamps
    static constexpr double same_time = 0.1;         // laboratory times closer are equal

    enum class Attempt { none, unchanged, updated, outside };

    // What one run call did, for the caller to report.
    struct Step {
        bool first = false;
        Attempt attempt = Attempt::none;
    };

    // What a call prints, after the block's name.
    static constexpr const char* first_data_note = ": Bias Update is triggered by the first data.";
    static constexpr const char* unchanged_note =
        ": Bias Update is not triggered, lab_data or lab_time is unchanged.";

    // The first input of run that is not finite, as the text its refusal
    // gives after the block's name; nullptr when all are.
    static const char* not_finite(double prd_data, double lab_data, double lab_time,
                                  std::optional<double> prd_time,
                                  std::optional<double> trigger) noexcept {
        if (!std::isfinite(prd_data)) return " Bias Update: prd_data is not finite!";
        if (!std::isfinite(lab_data)) return " Bias Update: lab_data is not finite!";
        if (!std::isfinite(lab_time)) return " Bias Update: lab_time is not finite!";
        if (prd_time && !std::isfinite(*prd_time)) return " Bias Update: prd_time is not finite!";
        if (trigger && !std::isfinite(*trigger))
            return " Bias Update: update_trigger is not finite!";
        return nullptr;
    }

    BiasUpdate(double abs_threshold, std::size_t prd_capacity, std::size_t lab_capacity) noexcept
        : abs_threshold_(abs_threshold), prd_capacity_(prd_capacity), lab_(lab_capacity) {}

    // One sample with the prediction time already known; `trigger` empty for
    // automatic detection. The caller filters bias() afterwards.
    Step run(double prd_data, double lab_data, double lab_time, double prd_time,
             std::optional<double> trigger) {
        Step s;
        s.first = prd_data_.empty();
        if (s.first) {
            lab_.backfill(lab_data);
            backfill(prd_data, prd_time);
        }
        prd_data_.push_back(prd_data);
        prd_time_.push_back(prd_time);
        lab_.record(lab_data);
        update_flag_ = false;
        if (s.first || (trigger ? *trigger > 0.5 : lab_.new_result(abs_threshold_)))
            s.attempt = update_bias(lab_data, lab_time);
        return s;
    }

    // Takes the laboratory result unless it repeats the last accepted one;
    // uses the newest prediction stamped at or before `lab_time`, if the
    // history reaches back that far. IndexError on an empty history.
    Attempt update_bias(double lab_data, double lab_time) {
        if (std::fabs(lab_data - current_lab_data_) < abs_threshold_ &&
            std::fabs(lab_time - current_lab_time_) < same_time)
            return Attempt::unchanged;
        if (prd_time_.empty()) throw std::out_of_range("deque index out of range");
        if (!(prd_time_.front() <= lab_time && lab_time <= prd_time_.back()))
            return Attempt::outside;
        const double prd = prd_data_[prd_time_.upper_bound(lab_time) - 1];
        bias_ = lab_data - prd;
        update_flag_ = true;
        current_lab_data_ = lab_data;
        current_lab_time_ = lab_time;
        prd_data_at_labtime_ = prd;
        return Attempt::updated;
    }

    const Ring<double>& prd_data() const noexcept { return prd_data_; }
    const Ring<double>& prd_time() const noexcept { return prd_time_; }
    const LabHistory& lab() const noexcept { return lab_; }
    std::size_t prd_capacity() const noexcept { return prd_capacity_; }

    double abs_threshold() const noexcept { return abs_threshold_; }
    double& abs_threshold_mut() noexcept { return abs_threshold_; }

    // Result state: changes only when an update is accepted (and through the
    // mutable accessors, which restoring and field writes use).
    double bias() const noexcept { return bias_; }
    bool update_flag() const noexcept { return update_flag_; }
    double current_lab_data() const noexcept { return current_lab_data_; }
    double current_lab_time() const noexcept { return current_lab_time_; }
    double prd_data_at_labtime() const noexcept { return prd_data_at_labtime_; }
    double& bias_mut() noexcept { return bias_; }
    bool& update_flag_mut() noexcept { return update_flag_; }
    double& current_lab_data_mut() noexcept { return current_lab_data_; }
    double& current_lab_time_mut() noexcept { return current_lab_time_; }
    double& prd_data_at_labtime_mut() noexcept { return prd_data_at_labtime_; }

    // Replaces the histories (oldest first). The prediction lists must have
    // equal lengths.
    void restore(const std::vector<double>& prd_data, const std::vector<double>& prd_time,
                 const std::vector<double>& lab) {
        if (prd_data.size() != prd_time.size())
            throw std::invalid_argument("prediction histories differ in length");
        const std::size_t cap = prd_data.empty() ? 0 : prd_capacity_;
        Ring<double> d(cap), t(cap);
        for (double x : prd_data)
            d.push_back(x);
        for (double x : prd_time)
            t.push_back(x);
        lab_.restore(lab);
        prd_data_ = std::move(d);
        prd_time_ = std::move(t);
    }

  private:
    // Both prediction rings or neither: allocation may fail.
    void allocate() {
        if (prd_data_.capacity() == prd_capacity_) return;
        Ring<double> d(prd_capacity_), t(prd_capacity_);
        prd_data_ = std::move(d);
        prd_time_ = std::move(t);
    }

    // Fills the prediction history with copies of the first prediction
    // stamped back from prd_time, so that the append that follows leaves
    // stamps prd_time - (capacity - 1) * 60, ..., prd_time - 60, prd_time.
    void backfill(double prd_data, double prd_time) {
        allocate();
        for (std::size_t k = prd_capacity_ - prd_data_.size(); k >= 1; --k) {
            prd_data_.push_back(prd_data);
            prd_time_.push_back(prd_time - static_cast<double>(k) * backfill_spacing);
        }
    }

    double abs_threshold_;
    std::size_t prd_capacity_;
    Ring<double> prd_data_, prd_time_;
    LabHistory lab_;
    double bias_ = 0.0;
    bool update_flag_ = false;
    double current_lab_data_ = std::numeric_limits<double>::quiet_NaN();
    double current_lab_time_ = std::numeric_limits<double>::quiet_NaN();
    double prd_data_at_labtime_ = std::numeric_limits<double>::quiet_NaN();
};

// Seconds since the epoch, now.
inline double wall_clock() noexcept {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Where the lines a block prints go: standard output unless given.
using LineSink = std::function<void(std::string_view)>;
inline void print_to_stdout(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// The soft-sensor bias correction as a whole: the bias update and the lag
// that smooths the bias it returns.
class SoftSensor {
  public:
    SoftSensor(std::string name = "softSensor", double filter_tao = 5.0,
               double abs_threshold = 1e-6, std::size_t prd_len = 28800, std::size_t const_len = 60,
               const Discretise& discretise = default_zoh, LineSink print = print_to_stdout)
        : name_(std::move(name)), core_(abs_threshold, prd_len + 1, const_len + 2),
          lag_(bias_lag(filter_tao, discretise)), print_(std::move(print)) {}

    // One prediction sample; the bias, smoothed when there is a lag. Refuses
    // inputs that are not finite (std::invalid_argument, the block's words)
    // before anything changes. No prediction time means now.
    double run(double prd_data, double lab_data, double lab_time,
               std::optional<double> prd_time = std::nullopt,
               std::optional<double> trigger = std::nullopt) {
        if (const char* bad =
                BiasUpdate::not_finite(prd_data, lab_data, lab_time, prd_time, trigger))
            throw std::invalid_argument(name_ + bad);
        const auto s =
            core_.run(prd_data, lab_data, lab_time, prd_time ? *prd_time : wall_clock(), trigger);
        if (s.attempt == BiasUpdate::Attempt::unchanged) note(BiasUpdate::unchanged_note);
        if (s.first) note(BiasUpdate::first_data_note);
        return lag_ ? lag_->step(core_.bias()) : core_.bias();
    }

    const std::string& name() const noexcept { return name_; }
    const BiasUpdate& core() const noexcept { return core_; }
    const std::optional<SFilter>& lag() const noexcept { return lag_; }

  private:
    void note(const char* text) {
        line_.assign(name_).append(text);
        print_(line_);
    }

    std::string name_;
    BiasUpdate core_;
    std::optional<SFilter> lag_;
    LineSink print_;
    std::string line_;
};

// --- the laboratory-data CSV file ---

inline constexpr const char* lab_csv_suffix = "_Raw_LabData.csv";
inline constexpr const char* lab_csv_header = "ExportTime,LabTime,LabData\n";

// Refusals of a recorder's name, each after the name itself.
inline constexpr const char* lab_name_path_note =
    " LabDataRecorder: name must not contain a path separator or a NUL character!";
inline constexpr const char* lab_name_file_note =
    " LabDataRecorder: name cannot make a file name in csv_dir!";

// Whether a recorder's name gives a file name of its own in `dir`: no path
// separator and no NUL, and a length the file system there takes.
inline const char* lab_name_refusal(const std::string& dir, const std::string& name) {
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        return lab_name_path_note;
    if (check_file_name(dir, name + lab_csv_suffix) != 0) return lab_name_file_note;
    return nullptr;
}

// The error of an append that returned `err` (an errno value or
// not_regular_file), as the C++ recorder throws it.
inline std::system_error append_error(int err, const std::string& path) {
    if (err == not_regular_file)
        return std::system_error(EINVAL, std::generic_category(), path + ": not a regular file");
    return std::system_error(err, std::generic_category(), path);
}

// One record: export time, laboratory time (whole seconds, rounded down),
// value, in local time and Python's repr of the value.
inline void append_lab_row(std::string& row, std::time_t export_time, double lab_time,
                           double lab_data) {
    const std::time_t lab = whole_seconds(lab_time);
    append_local_time(row, export_time);
    row += ',';
    append_local_time(row, lab);
    row += ',';
    append_float_repr(row, lab_data);
    row += '\n';
}
inline std::string lab_row(std::time_t export_time, double lab_time, double lab_data) {
    std::string row;
    append_lab_row(row, export_time, lab_time, lab_data);
    return row;
}

// Watches a laboratory value and appends each new result to
// <csv_dir>/<name>_Raw_LabData.csv, once it has stayed for const_len calls.
class LabRecorder {
  public:
    LabRecorder(std::string name = "softSensor", double abs_threshold = 1e-6,
                std::size_t const_len = 60, const std::filesystem::path& csv_dir = "./")
        : name_(std::move(name)), lab_(const_len + 2), abs_threshold_(abs_threshold) {
        const std::filesystem::path dir =
            std::filesystem::weakly_canonical(std::filesystem::absolute(csv_dir));
        if (const char* refusal = lab_name_refusal(dir.string(), name_))
            throw std::invalid_argument(name_ + refusal);
        std::filesystem::create_directories(dir);
        csv_file_ = (dir / (name_ + lab_csv_suffix)).string();
        row_.reserve(row_capacity);
    }

    // One sample; true when it recorded a new result.
    bool run(double lab_data, double lab_time) {
        if (!std::isfinite(lab_data))
            throw std::invalid_argument(name_ + " LabDataRecorder: lab_data is not finite!");
        if (!std::isfinite(lab_time))
            throw std::invalid_argument(name_ + " LabDataRecorder: lab_time is not finite!");
        lab_.record(lab_data);
        if (!lab_.new_result(abs_threshold_)) return false;
        export_row(lab_data, lab_time);
        return true;
    }

    // Appends one record (the header first into a new file); std::system_error
    // when the file cannot be written.
    void export_row(double lab_data, double lab_time) {
        row_.clear();
        append_lab_row(row_, std::time(nullptr), lab_time, lab_data);
        const int err = append_record(csv_file_, file_exists(csv_file_), lab_csv_header, row_);
        if (err != 0) throw append_error(err, csv_file_);
    }

    const std::string& name() const noexcept { return name_; }
    const std::string& csv_file() const noexcept { return csv_file_; }
    const LabHistory& history() const noexcept { return lab_; }

  private:
    std::string name_;
    LabHistory lab_;
    // Room for a row of ordinary dates, so appending to an existing file
    // allocates nothing.
    static constexpr std::size_t row_capacity = 96;

    double abs_threshold_;
    std::string csv_file_;
    std::string row_;
};

} // namespace korvel
