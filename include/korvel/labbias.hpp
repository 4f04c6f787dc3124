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
    // Values kept beyond the number of calls a new result must stay: the one
    // before its step and the step itself.
    static constexpr int extra = 2;

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
        if (ring_.capacity() != capacity_ || !ring_.full()) [[unlikely]]
            fill(v); // the first call only: out of the way of every later one
    }

    // Whether the oldest step is at least `abs_threshold` and every later one
    // is below settle_step. Needs two values (IndexError as NumPy gives it).
    bool new_result(double abs_threshold) const {
        if (ring_.size() < 2) throw std::out_of_range(first_of_empty);
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

    void fill(double v) {
        if (ring_.capacity() != capacity_) ring_ = Ring<double>(capacity_);
        while (!ring_.full())
            push(v);
    }

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
    static constexpr int prd_extra = 1;              // predictions kept beyond prd_len

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

// What both blocks are built with when a caller says nothing.
struct LabDefaults {
    static constexpr const char* name = "softSensor";
    static constexpr double filter_tao = 5.0;
    static constexpr double abs_threshold = 1e-6;
    static constexpr std::size_t prd_len = 28800;
    static constexpr std::size_t const_len = 60;
    static constexpr const char* csv_dir = "./";
};

// --- the laboratory-data CSV file ---

inline constexpr const char* lab_csv_suffix = "_Raw_LabData.csv";
inline constexpr const char* lab_csv_header = "ExportTime,LabTime,LabData\n";

// Refusals of a recorder's name, each after the name itself.
inline constexpr const char* lab_name_path_note =
    " LabDataRecorder: name must not contain a path separator or a NUL character!";
inline constexpr const char* lab_name_file_note =
    " LabDataRecorder: name cannot make a file name in csv_dir!";

// What an append that met something other than a regular file says (with
// EINVAL).
inline constexpr const char* not_regular_file_text = "Not a regular file";

// The error of an append that returned `err` (an errno value or
// not_regular_file), as the C++ recorder throws it.
inline std::system_error append_error(int err, const std::string& path) {
    if (err == not_regular_file)
        return std::system_error(EINVAL, std::generic_category(),
                                 path + ": " + not_regular_file_text);
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

// Appends one record to the file at `path` (a file system path), a new file
// getting the header first: 0, an errno value, or not_regular_file.
inline int append_lab_record(const std::string& path, std::string_view row) {
    return append_record(path, file_exists(path), lab_csv_header, row);
}

// --- what the blocks are written over ---
//
// Both blocks are generic over a policy P: what the program around them holds
// and how it speaks. StdLab below is a C++ program's; the Python module gives
// Python objects (a str name, notes through sys.stdout, any object as the lag,
// path objects). A call into P may run code that changes the block itself,
// so the blocks hold no reference into their own members across one and read
// them afresh after it.
//
//   Name; refuse(name, tail), contains(name, c)   the block's name, which
//                                   begins every message, and refusals (thrown)
//   Length; capacity(len, extra)    a history length as given, and the
//                                   capacity len + extra (refusing what cannot be one)
//   Notes                           notes(name, text) prints one line: name, text
//   Lag, LagMaker, Output           the bias lag: make_lag(maker, filter_tao)
//                                   (filters.hpp's bias_lag), hold(lag) for one
//                                   step, present(held), step(held, bias) and
//                                   pass(bias) giving the result of run
//   DirArg, Dir, File               the recorder's directory as given and
//                                   resolved, and its file: resolve(dir),
//                                   fs_text(dir or name, out) (false: not
//                                   encodable), make_dirs(dir), join(dir, name,
//                                   suffix), append(file, row)

// Marks the constructors that put a block together from the parts a saved
// state keeps.
struct FromParts {
    explicit FromParts() = default;
};
inline constexpr FromParts from_parts{};

// The soft-sensor bias correction as a whole: the bias update, the notes it
// prints and the lag that smooths the bias it returns.
template <class P> class BasicSoftSensor {
  public:
    using Name = typename P::Name;
    using Length = typename P::Length;
    using Notes = typename P::Notes;
    using Lag = typename P::Lag;
    using LagMaker = typename P::LagMaker;
    using Output = typename P::Output;

    // History lengths are refused (P::capacity) in the order given, then the
    // lag is made.
    BasicSoftSensor(Name name, double filter_tao, double abs_threshold, Length prd_len,
                    Length const_len, const LagMaker& lag_maker, Notes notes)
        : name_(std::move(name)), core_(histories(abs_threshold, prd_len, const_len)),
          lag_(P::make_lag(lag_maker, filter_tao)), notes_(std::move(notes)) {}

    BasicSoftSensor(FromParts, Name name, BiasUpdate core, Lag lag, Notes notes)
        : name_(std::move(name)), core_(std::move(core)), lag_(std::move(lag)),
          notes_(std::move(notes)) {}

    // One prediction sample; the bias, smoothed when there is a lag. Refuses
    // inputs that are not finite (P::refuse, the block's words) before
    // anything changes. No prediction time means now.
    Output run(double prd_data, double lab_data, double lab_time,
               std::optional<double> prd_time = std::nullopt,
               std::optional<double> trigger = std::nullopt) {
        if (const char* bad =
                BiasUpdate::not_finite(prd_data, lab_data, lab_time, prd_time, trigger))
            P::refuse(name_, bad);
        const auto s =
            core_.run(prd_data, lab_data, lab_time, prd_time ? *prd_time : wall_clock(), trigger);
        report(s.attempt);
        if (s.first) notes_(name_, BiasUpdate::first_data_note);
        return smoothed();
    }

    // One attempt at taking a laboratory result, reported as run reports it.
    void update_bias(double lab_data, double lab_time) {
        report(core_.update_bias(lab_data, lab_time));
    }

    const Name& name() const noexcept { return name_; }
    const BiasUpdate& core() const noexcept { return core_; }
    const Lag& lag() const noexcept { return lag_; }
    // For restoring and field writes.
    Name& name_mut() noexcept { return name_; }
    BiasUpdate& core_mut() noexcept { return core_; }
    Lag& lag_mut() noexcept { return lag_; }

  private:
    static BiasUpdate histories(double abs_threshold, Length prd_len, Length const_len) {
        const std::size_t prd_capacity = P::capacity(prd_len, BiasUpdate::prd_extra);
        return BiasUpdate(abs_threshold, prd_capacity, P::capacity(const_len, LabHistory::extra));
    }

    void report(BiasUpdate::Attempt attempt) {
        if (attempt == BiasUpdate::Attempt::unchanged) notes_(name_, BiasUpdate::unchanged_note);
    }

    // The lag is held for its step: the step may replace the block's lag.
    Output smoothed() {
        const double bias = core_.bias();
        auto lag = P::hold(lag_);
        if (!P::present(lag)) return P::pass(bias);
        return P::step(lag, bias);
    }

    Name name_;
    BiasUpdate core_;
    Lag lag_;
    [[no_unique_address]] Notes notes_;
};

// Watches a laboratory value and appends each new result to
// <csv_dir>/<name>_Raw_LabData.csv, once it has stayed for const_len calls.
template <class P> class BasicLabRecorder {
  public:
    using Name = typename P::Name;
    using Length = typename P::Length;
    using DirArg = typename P::DirArg;
    using Dir = typename P::Dir;
    using File = typename P::File;

    // Whatever would keep the name from making a file of its own in csv_dir
    // is refused before anything is created.
    BasicLabRecorder(Name name, double abs_threshold, Length const_len, const DirArg& csv_dir)
        : abs_threshold_(abs_threshold), name_(std::move(name)) {
        if (P::contains(name_, '/') || P::contains(name_, '\0'))
            P::refuse(name_, lab_name_path_note);
        lab_ = LabHistory(P::capacity(const_len, LabHistory::extra));
        const Dir dir = P::resolve(csv_dir);
        std::string dir_text, name_text;
        if (!P::fs_text(dir, dir_text) || !P::fs_text(name_, name_text) ||
            check_file_name(dir_text, name_text + lab_csv_suffix) != 0)
            P::refuse(name_, lab_name_file_note);
        P::make_dirs(dir);
        csv_file_ = P::join(dir, name_, lab_csv_suffix);
        row_.reserve(row_capacity);
    }

    BasicLabRecorder(FromParts, Name name, LabHistory lab, double abs_threshold, File csv_file)
        : lab_(std::move(lab)), abs_threshold_(abs_threshold), name_(std::move(name)),
          csv_file_(std::move(csv_file)) {
        row_.reserve(row_capacity);
    }

    // The first input of run that is not finite, as the text its refusal
    // gives after the name; nullptr when both are.
    static const char* not_finite(double lab_data, double lab_time) noexcept {
        if (!std::isfinite(lab_data)) return " LabDataRecorder: lab_data is not finite!";
        if (!std::isfinite(lab_time)) return " LabDataRecorder: lab_time is not finite!";
        return nullptr;
    }

    // One sample; true when it recorded a new result.
    bool run(double lab_data, double lab_time) {
        if (const char* bad = not_finite(lab_data, lab_time)) P::refuse(name_, bad);
        lab_.record(lab_data);
        if (!lab_.new_result(abs_threshold_)) return false;
        export_row(lab_data, lab_time);
        return true;
    }

    // Appends one record (the header first into a new file); what P::append
    // throws when the file cannot be written.
    void export_row(double lab_data, double lab_time) {
        row_.clear();
        append_lab_row(row_, std::time(nullptr), lab_time, lab_data);
        P::append(csv_file_, row_);
    }

    const Name& name() const noexcept { return name_; }
    const File& csv_file() const noexcept { return csv_file_; }
    const LabHistory& history() const noexcept { return lab_; }
    double abs_threshold() const noexcept { return abs_threshold_; }
    // For field writes.
    Name& name_mut() noexcept { return name_; }
    File& csv_file_mut() noexcept { return csv_file_; }
    double& abs_threshold_mut() noexcept { return abs_threshold_; }

  private:
    // Room for a row of ordinary dates, so appending to an existing file
    // allocates nothing.
    static constexpr std::size_t row_capacity = 96;

    // What every run reads comes first.
    LabHistory lab_;
    double abs_threshold_;
    Name name_;
    File csv_file_;
    std::string row_;
};

// How a C++ soft sensor prints a note: the name and the text as one line.
class LineNotes {
  public:
    explicit LineNotes(LineSink print = print_to_stdout) : print_(std::move(print)) {}

    void operator()(const std::string& name, const char* text) {
        line_.assign(name).append(text); // the line's memory is kept for the next note
        print_(line_);
    }

  private:
    LineSink print_;
    std::string line_;
};

// A C++ program's blocks: std::string names, refusals as
// std::invalid_argument, notes to a LineSink, an SFilter as the lag,
// std::filesystem paths, file errors as std::system_error.
struct StdLab {
    using Name = std::string;
    using Length = std::size_t;
    static std::size_t capacity(std::size_t len, int extra) noexcept {
        return len + static_cast<std::size_t>(extra);
    }
    [[noreturn]] static void refuse(const std::string& name, const char* tail) {
        throw std::invalid_argument(name + tail);
    }
    static bool contains(const std::string& name, char c) noexcept {
        return name.find(c) != std::string::npos;
    }

    using Notes = LineNotes;
    using Lag = std::optional<SFilter>;
    using LagMaker = Discretise;
    using Output = double;
    static Lag make_lag(const Discretise& discretise, double filter_tao) {
        return bias_lag(filter_tao, discretise);
    }
    static SFilter* hold(Lag& lag) noexcept { return lag ? &*lag : nullptr; }
    static bool present(const SFilter* lag) noexcept { return lag != nullptr; }
    static double step(SFilter* lag, double bias) { return lag->step(bias); }
    static double pass(double bias) noexcept { return bias; }

    using DirArg = std::filesystem::path;
    using Dir = std::filesystem::path;
    using File = std::string;
    static Dir resolve(const DirArg& dir) {
        return std::filesystem::weakly_canonical(std::filesystem::absolute(dir));
    }
    static bool fs_text(const Dir& dir, std::string& out) {
        out = dir.string();
        return true;
    }
    static bool fs_text(const std::string& name, std::string& out) {
        out = name;
        return true;
    }
    static void make_dirs(const Dir& dir) { std::filesystem::create_directories(dir); }
    static File join(const Dir& dir, const std::string& name, const char* suffix) {
        return (dir / (name + suffix)).string();
    }
    static void append(const File& path, std::string_view row) {
        if (const int err = append_lab_record(path, row)) throw append_error(err, path);
    }
};

// The blocks as C++ programs build them.
class SoftSensor : public BasicSoftSensor<StdLab> {
  public:
    SoftSensor(std::string name = LabDefaults::name, double filter_tao = LabDefaults::filter_tao,
               double abs_threshold = LabDefaults::abs_threshold,
               std::size_t prd_len = LabDefaults::prd_len,
               std::size_t const_len = LabDefaults::const_len,
               const Discretise& discretise = default_zoh, LineSink print = print_to_stdout)
        : BasicSoftSensor(std::move(name), filter_tao, abs_threshold, prd_len, const_len,
                          discretise, LineNotes(std::move(print))) {}
};

class LabRecorder : public BasicLabRecorder<StdLab> {
  public:
    LabRecorder(std::string name = LabDefaults::name,
                double abs_threshold = LabDefaults::abs_threshold,
                std::size_t const_len = LabDefaults::const_len,
                const std::filesystem::path& csv_dir = LabDefaults::csv_dir)
        : BasicLabRecorder(std::move(name), abs_threshold, const_len, csv_dir) {}
};

} // namespace korvel
