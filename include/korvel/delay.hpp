// Pure (transport) delay by a whole number of samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "assert.hpp"
#include "lanes.hpp"
#include "ring.hpp"
#include "simd.hpp"

namespace korvel {

// The rule of a bounded delay line, on one line's numbers wherever they are
// kept. A line of capacity c keeps its k most recent samples (k <= c): the
// newest in slot head(), each older one in the next slot, wrapping at c. The
// history starts full of the first sample, so every slot not written yet
// holds it: a delay reaching past the k samples kept reads the oldest kept,
// which is that first sample, and the first sample never has to be copied
// into all c slots. `L` gives capacity(), head(), held() (k) and slot(j),
// references where the rule writes them. A DelayLine keeps one line, a
// DelayBank one per lane, so both run this code.
namespace delay_law {

// Whether a line of that capacity delays by `lag` (once it holds a sample).
constexpr bool valid_lag(std::size_t capacity, long long lag) noexcept {
    return lag >= 0 && static_cast<unsigned long long>(lag) < capacity;
}

// Stores `sample` as the newest on a line of capacity > 0. Returns what the
// slot held: the oldest sample once all c slots hold samples (released by
// the caller, after the line is whole again), a default T before.
template <class L, class T> KORVEL_ALWAYS_INLINE T store(L l, T sample) {
    const std::size_t c = l.capacity();
    const std::size_t h = (l.head() == 0 ? c : l.head()) - 1;
    l.head() = h;
    l.held() += l.held() < c ? 1 : 0;
    return std::exchange(l.slot(h), std::move(sample));
}

// The same on any line: one of capacity 0 keeps nothing and hands the
// sample back.
template <class L, class T> T push(L l, T sample) {
    if (l.capacity() == 0) return sample;
    return store(l, std::move(sample));
}

// The slot of the sample `lag` steps ago, on a line holding a sample.
template <class L> KORVEL_ALWAYS_INLINE std::size_t slot_of(const L& l, std::size_t lag) noexcept {
    const std::size_t k = l.held(), c = l.capacity();
    const std::size_t j = l.head() + (lag < k ? lag : k - 1);
    return j >= c ? j - c : j;
}

// One sample with a valid lag: stores `u`, returns the sample `lag` steps ago.
template <class L> KORVEL_ALWAYS_INLINE double step(L l, double u, std::size_t lag) noexcept {
    store(l, u);
    return l.slot(slot_of(l, lag));
}

} // namespace delay_law

// Bounded history, newest first, with the delay chosen per sample. The
// first sample stands for every older one, so the output equals it until
// real history has accumulated. Each step is O(1) whatever the capacity.
template <class T> class DelayLine {
  public:
    explicit DelayLine(std::size_t capacity = 10000) : capacity_(capacity) {}

    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return held_ == 0; }
    // Once a sample is stored every slot reads one.
    std::size_t size() const noexcept { return empty() ? 0 : capacity_; }
    // How many samples are kept; older slots repeat the oldest of them.
    std::size_t held() const noexcept { return held_; }

    // Stores `sample` as the newest, dropping the oldest, which is released
    // last, once the history is consistent again.
    void push(T sample) {
        if (slots_.size() != capacity_) slots_ = std::vector<T>(capacity_); // first sample
        [[maybe_unused]] T dropped = delay_law::push(one(), std::move(sample));
    }

    bool valid_lag(long long lag) const noexcept {
        return !empty() && delay_law::valid_lag(capacity_, lag);
    }
    // The sample of `lag` steps ago; requires valid_lag(lag).
    const T& at(std::size_t lag) const noexcept {
        KORVEL_ASSERT(lag < capacity_ && !empty());
        return slots_[delay_law::slot_of(one(), lag)];
    }

    // Every slot, newest first.
    template <class F> void for_each(F&& f) const {
        for (std::size_t lag = 0; lag < size(); ++lag)
            f(at(lag));
    }
    // The samples kept, newest first, each once (what a collector visits).
    template <class F> void for_each_held(F&& f) const {
        for (std::size_t j = 0; j < held_; ++j)
            f(slots_[delay_law::slot_of(one(), j)]);
    }
    template <class F> void for_each_held(F&& f) {
        for (std::size_t j = 0; j < held_; ++j)
            f(slots_[delay_law::slot_of(one(), j)]);
    }

    // Replaces the history (newest first; samples beyond capacity() are
    // dropped). A shorter history stands for one completed with its oldest
    // sample, as after the first push: any valid lag reads a sample.
    template <class It> void assign(It first, It last) {
        std::vector<T> fresh(first == last ? 0 : capacity_);
        std::size_t k = 0;
        for (; first != last && k < capacity_; ++first)
            fresh[k++] = *first;
        slots_.swap(fresh);
        head_ = 0;
        held_ = k;
    } // the old samples go here, after the line is whole

  private:
    // The rule's view of this line (read-only through a const line).
    template <class D> struct One {
        D& d;
        std::size_t capacity() const noexcept { return d.capacity_; }
        auto& head() const noexcept { return d.head_; }
        auto& held() const noexcept { return d.held_; }
        auto& slot(std::size_t j) const noexcept { return d.slots_[j]; }
    };
    One<DelayLine> one() noexcept { return {*this}; }
    One<const DelayLine> one() const noexcept { return {*this}; }

    std::size_t capacity_;
    std::vector<T> slots_; // capacity_ of them from the first sample on
    std::size_t head_ = 0, held_ = 0;
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

// Delays per lane: an array of them, or one every lane takes (stride 0).
using LagLanes = LanesOf<long long>;

// n delay lines of doubles stepped together, each exactly a
// DelayLine<double>: the same rule on its own numbers, kept as one array per
// number and every lane's slots in one block, so a step is one loop over the
// lanes. A bank of one lane is a DelayLine.
class DelayBank {
  public:
    // n lanes of one capacity.
    explicit DelayBank(std::size_t n = 0, std::size_t capacity = 10000)
        : DelayBank(std::vector<std::size_t>(n, capacity)) {}
    // One lane per capacity.
    explicit DelayBank(const std::vector<std::size_t>& capacities)
        : cap_(capacities), off_(capacities.size()), head_(capacities.size()),
          held_(capacities.size()) {
        std::size_t total = 0;
        for (std::size_t i = 0; i < cap_.size(); ++i) {
            off_[i] = total;
            if (cap_[i] > max_slots - total) throw std::bad_alloc();
            total += cap_[i];
        }
        slots_ = zeroed(total);
    }
    DelayBank(const DelayBank& o) : DelayBank(o.cap_) {
        for (std::size_t i = 0; i < size(); ++i)
            take_lane(o, i);
    }
    DelayBank& operator=(const DelayBank& o) {
        if (this != &o) *this = DelayBank(o);
        return *this;
    }
    DelayBank(DelayBank&&) noexcept = default;
    DelayBank& operator=(DelayBank&&) noexcept = default;
    ~DelayBank() = default;

    std::size_t size() const noexcept { return cap_.size(); }
    std::size_t capacity(std::size_t i) const noexcept { return cap_[i]; }
    bool empty(std::size_t i) const noexcept { return held_[i] == 0; }
    // How many samples lane i keeps; older slots repeat the oldest of them.
    std::size_t held(std::size_t i) const noexcept { return held_[i]; }

    // Whether lane i delays by `lag` once it has stored its next sample.
    bool valid_lag(std::size_t i, long long lag) const noexcept {
        return delay_law::valid_lag(cap_[i], lag);
    }
    // Lane i's sample of `lag` steps ago; the lane holds a sample and lag
    // is below its capacity.
    double at(std::size_t i, std::size_t lag) const noexcept {
        KORVEL_ASSERT(i < size() && lag < cap_[i] && !empty(i));
        return slots_[off_[i] + delay_law::slot_of(lane(i), lag)];
    }

    // One sample of every lane into out[0:size()]: lane i stores u[i] and
    // gives its sample of lag[i] steps ago. A lane whose lag is outside [0,
    // capacity) only stores u[i], as a DelayLine does before the lag is
    // refused; when some lane refuses, no other lane steps, refused[i] is set
    // for those that do, and their count is returned.
    std::size_t step(Lanes u, LagLanes lag, double* out, std::uint8_t* refused) noexcept {
        const std::size_t n = size();
        std::size_t bad = 0;
        for (std::size_t i = 0; i < n; ++i) {
            refused[i] = !valid_lag(i, lag[i]);
            bad += refused[i];
        }
        if (bad) {
            for (std::size_t i = 0; i < n; ++i)
                if (refused[i]) delay_law::push(lane(i), u[i]);
            return bad;
        }
        const Arrays a{cap_.data(), head_.data(), held_.data(), off_.data(), slots_.get()};
        KORVEL_LANE_LOOP
        for (std::size_t i = 0; i < n; ++i)
            out[i] = delay_law::step(At{a, i}, u[i], static_cast<std::size_t>(lag[i]));
        return 0;
    }

    // Lane i as a line of its own, and back (lane i takes the line's
    // capacity and samples).
    DelayLine<double> get(std::size_t i) const {
        KORVEL_ASSERT(i < size());
        std::vector<double> kept(held_[i]);
        for (std::size_t j = 0; j < kept.size(); ++j)
            kept[j] = at(i, j);
        DelayLine<double> line(cap_[i]);
        line.assign(kept.begin(), kept.end());
        return line;
    }
    void set(std::size_t i, const DelayLine<double>& line) {
        KORVEL_ASSERT(i < size());
        if (line.capacity() != cap_[i]) {
            std::vector<std::size_t> caps = cap_;
            caps[i] = line.capacity();
            DelayBank grown(caps);
            for (std::size_t k = 0; k < size(); ++k)
                if (k != i) grown.take_lane(*this, k);
            *this = std::move(grown);
        }
        head_[i] = 0;
        held_[i] = line.held();
        std::size_t j = 0;
        line.for_each_held([&](double v) { slots_[off_[i] + j++] = v; });
    }
    // Replaces lane i's history, as DelayLine::assign does its own.
    template <class It> void assign(std::size_t i, It first, It last) {
        KORVEL_ASSERT(i < size());
        std::size_t k = 0;
        for (; first != last && k < cap_[i]; ++first)
            slots_[off_[i] + k++] = *first;
        head_[i] = 0;
        held_[i] = k;
    }

  private:
    // Zeroed memory whose pages the system supplies as lanes first write
    // them: a bank of long lines that delay little occupies little.
    struct Free {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    using Slots = std::unique_ptr<double[], Free>;
    static constexpr std::size_t max_slots = static_cast<std::size_t>(-1) / sizeof(double);
    static Slots zeroed(std::size_t n) {
        auto* p = static_cast<double*>(std::calloc(n == 0 ? 1 : n, sizeof(double)));
        if (!p) throw std::bad_alloc();
        return Slots(p);
    }

    // The rule's view of lane i.
    template <class B> struct Lane {
        B& b;
        std::size_t i;
        std::size_t capacity() const noexcept { return b.cap_[i]; }
        auto& head() const noexcept { return b.head_[i]; }
        auto& held() const noexcept { return b.held_[i]; }
        auto& slot(std::size_t j) const noexcept { return b.slots_[b.off_[i] + j]; }
    };
    Lane<DelayBank> lane(std::size_t i) noexcept { return {*this, i}; }
    Lane<const DelayBank> lane(std::size_t i) const noexcept { return {*this, i}; }

    // The same over raw pointers taken once, for the loop over all lanes.
    struct Arrays {
        const std::size_t* cap;
        std::size_t *head, *held;
        const std::size_t* off;
        double* slots;
    };
    struct At {
        const Arrays& a;
        std::size_t i;
        std::size_t capacity() const noexcept { return a.cap[i]; }
        std::size_t& head() const noexcept { return a.head[i]; }
        std::size_t& held() const noexcept { return a.held[i]; }
        double& slot(std::size_t j) const noexcept { return a.slots[a.off[i] + j]; }
    };

    // Lane i of `from` (of the same capacity) into lane i, newest in slot 0.
    void take_lane(const DelayBank& from, std::size_t i) noexcept {
        KORVEL_ASSERT(from.cap_[i] == cap_[i]);
        head_[i] = 0;
        held_[i] = from.held_[i];
        for (std::size_t j = 0; j < held_[i]; ++j)
            slots_[off_[i] + j] = from.at(i, j);
    }

    std::vector<std::size_t> cap_, off_, head_, held_;
    Slots slots_;
};

} // namespace korvel
