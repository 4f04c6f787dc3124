// Pure (transport) delay by a whole number of samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "ring.hpp"

#include "assert.hpp"

namespace korvel {

// Bounded history, newest first, with the delay chosen per sample. The
// first sample fills every slot, so the output equals it until real history
// has accumulated. Each step is O(1) whatever the capacity.
template <class T> class DelayLine {
  public:
    explicit DelayLine(std::size_t capacity = 10000) : capacity_(capacity) {}

    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return ring_.empty(); }
    std::size_t size() const noexcept { return ring_.size(); }

    // Stores `sample` as the newest value, dropping the oldest, which is
    // released last, once the history is consistent again.
    void push(T sample) {
        if (ring_.capacity() != capacity_) ring_ = Ring<T>(capacity_);
        if (ring_.empty())
            for (std::size_t i = 0; i < capacity_; ++i)
                ring_.push_back(sample);
        [[maybe_unused]] T dropped = ring_.push_front(std::move(sample));
    }

    bool valid_lag(long long lag) const noexcept {
        return lag >= 0 && static_cast<unsigned long long>(lag) < capacity_ && !ring_.empty();
    }
    // The sample of `lag` steps ago; requires valid_lag(lag).
    const T& at(std::size_t lag) const noexcept {
        KORVEL_ASSERT(lag < capacity_ && !ring_.empty());
        return ring_[lag];
    }

    // Newest first.
    template <class F> void for_each(F&& f) const { ring_.for_each(f); }
    template <class F> void for_each_mut(F&& f) { ring_.for_each(f); }

    // Replaces the history (newest first; samples beyond capacity() are
    // dropped). A shorter history is completed with its oldest sample, as the
    // first push fills every slot: any valid lag reads a sample.
    template <class It> void assign(It first, It last) {
        Ring<T> fresh(first == last ? 0 : capacity_);
        for (; first != last && !fresh.full(); ++first)
            fresh.push_back(*first);
        while (!fresh.full())
            fresh.push_back(fresh.back());
        ring_ = std::move(fresh);
    }

  private:
    std::size_t capacity_;
    Ring<T> ring_;
};

// The growable history of a field-driven delay: element 0 newest. When the
// delay needs more history than there is, the missing older samples repeat
// the oldest one known.
inline void extend_with_oldest(const double* old, std::size_t n, double* grown, std::size_t m) {
    KORVEL_ASSERT(n <= m);
    std::copy(old, old + n, grown);
    if (n > 0) std::fill(grown + n, grown + m, old[n - 1]);
}

// One step of the field-driven delay on any history, newest first: an empty
// history starts as the input, one too short for the delay is extended with
// its oldest sample to lag + 1 samples, the input is shifted in (the oldest
// sample drops) and the output is the sample of `lag` steps ago. The history
// `h` reads the delay and the input wherever the rule uses them:
//   h.size()      the length
//   h.start()     the history becomes the input alone
//   h.lag()       the delay
//   h.count(lag)  the delay as a number of samples
//   h.extend(m)   extends to m samples, repeating the oldest
//   h.push()      shifts the input in
//   h.at(lag)     the sample of `lag` steps ago
template <class H> auto delay_step(H& h) {
    if (h.size() == 0) h.start();
    const auto n = h.size();
    {
        const auto lag = h.lag();
        if (lag > n - 1) h.extend(h.count(lag) + 1);
    }
    h.push();
    return h.at(h.lag());
}

// The history is always full (size() == capacity()), so a push drops the
// oldest sample; it grows only when a longer delay is asked for, and a step
// at a delay already reached is O(1).
class DelayBuffer {
  public:
    // Delays `u` by `lag` samples (lag >= 0).
    double step(double u, std::size_t lag) {
        Steps h{h_, u, lag};
        return delay_step(h);
    }
    // Newest first.
    std::vector<double> history() const {
        std::vector<double> out;
        h_.for_each([&](double v) { out.push_back(v); });
        return out;
    }

  private:
    struct Steps {
        Ring<double>& ring;
        double u;
        std::size_t delay;

        std::size_t size() const noexcept { return ring.size(); }
        void start() {
            ring.reserve(1);
            ring.push_back(u);
        }
        std::size_t lag() const noexcept { return delay; }
        static std::size_t count(std::size_t lag) noexcept { return lag; }
        void extend(std::size_t m) {
            const double oldest = ring.back();
            ring.reserve(m);
            while (!ring.full())
                ring.push_back(oldest);
        }
        void push() noexcept { ring.push_front(u); }
        double at(std::size_t lag) const noexcept { return ring[lag]; }
    };

    Ring<double> h_;
};

} // namespace korvel
