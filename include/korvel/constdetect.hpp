// Constant-signal detection over a sliding window of the latest samples.
//
// The window is constant when every pair of neighbours differs by less than
// 1e-6 (and its first sample minus itself does too, which only a NaN or an
// infinity fails). The number of failing neighbour pairs is kept up to date
// as samples enter and leave, so a step costs O(1) apart from the samples it
// adds or removes.
#pragma once

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "ring.hpp"

namespace korvel {

inline constexpr double const_tolerance = 1e-6;

inline bool same_level(double a, double b) noexcept {
    return std::fabs(b - a) < const_tolerance;
}

struct AsDouble {
    double operator()(double v) const noexcept { return v; }
};

// T is the stored sample; Key gives its value as a double.
template <class T = double, class Key = AsDouble> class ConstWindow {
  public:
    // Appends `sample`, fills the window up to `length` with it or drops the
    // oldest down to `length`, and answers whether the window is constant.
    // length 0 leaves the window empty and throws std::out_of_range; a
    // negative length empties it and throws too.
    bool step(const T& sample, long long length) {
        push_back(sample);
        while (static_cast<long long>(q_.size()) < length)
            push_back(sample);
        while (static_cast<long long>(q_.size()) > length) {
            if (q_.empty()) throw std::out_of_range("pop from an empty deque");
            pop_front();
        }
        if (q_.empty()) throw std::out_of_range("deque index out of range");
        return constant();
    }

    bool constant() const noexcept {
        if (q_.empty()) return true;
        const double first = Key{}(q_.front());
        return changes_ == 0 && same_level(first, first);
    }

    // Oldest first.
    const Ring<T>& samples() const noexcept { return q_; }

    // Replaces the window (oldest first), as from a saved state.
    template <class It> void assign(It first, It last) {
        ConstWindow fresh;
        for (; first != last; ++first)
            fresh.push_back(*first);
        std::swap(*this, fresh); // the old samples go last
    }

    template <class F> void for_each(F&& f) { q_.for_each(f); }

  private:
    // The ring grows geometrically, so a window of steady length stops
    // allocating once it has been filled.
    void push_back(const T& s) {
        const bool change = !q_.empty() && !same_level(Key{}(q_.back()), Key{}(s));
        if (q_.full()) q_.reserve(q_.capacity() < 8 ? 8 : 2 * q_.capacity());
        q_.push_back(s);
        changes_ += change;
    }
    // The element is released last, once the window is consistent again:
    // releasing it may run arbitrary code.
    void pop_front() {
        const bool change = q_.size() >= 2 && !same_level(Key{}(q_[0]), Key{}(q_[1]));
        [[maybe_unused]] T dropped = q_.pop_front();
        changes_ -= change;
    }

    Ring<T> q_;
    std::size_t changes_ = 0;
};

} // namespace korvel
