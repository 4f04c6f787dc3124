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

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ring.hpp"

namespace korvel {

// The last laboratory values received, oldest first, and the new-result rule.
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
        ring_.push_back(v);
    }

    // Fills a history that is not yet full with copies of `v`.
    void backfill(double v) {
        if (ring_.capacity() != capacity_) ring_ = Ring<double>(capacity_);
        while (!ring_.full())
            ring_.push_back(v);
    }

    // Whether the oldest step is at least `abs_threshold` and every later one
    // is below settle_step. Needs two values (IndexError as NumPy gives it).
    bool new_result(double abs_threshold) const {
        const std::size_t n = ring_.size();
        if (n < 2) throw std::out_of_range("index 0 is out of bounds for axis 0 with size 0");
        if (!(std::fabs(ring_[1] - ring_[0]) >= abs_threshold)) return false;
        for (std::size_t i = 2; i < n; ++i)
            if (!(std::fabs(ring_[i] - ring_[i - 1]) < settle_step)) return false;
        return true;
    }

    // Replaces the contents (oldest first, the newest `capacity` kept).
    void restore(const std::vector<double>& v) {
        Ring<double> r(v.empty() ? 0 : capacity_);
        for (double x : v)
            r.push_back(x);
        ring_ = std::move(r);
    }

  private:
    std::size_t capacity_;
    Ring<double> ring_;
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

} // namespace korvel
