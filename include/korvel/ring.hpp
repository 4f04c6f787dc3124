// A bounded double-ended queue in one fixed block of memory.
//
// Invariants: 0 <= size() <= capacity(); element i (0 = front, the oldest
// for FIFO use) lives at slot (head_ + i) % capacity(). Pushing onto a full
// ring drops the element at the opposite end in the same step, as a deque
// with a maximum length does, so every push is O(1) and never allocates.
// Only construction and reserve() allocate.
//
// Elements may be objects whose release runs arbitrary code that reads or
// changes this very ring (a Python object's __del__). So no element is ever
// destroyed while the invariants are broken: an element a push drops, or a
// pop removes, is handed back to the caller, and assignment and clear() set
// the ring whole before the old elements go.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "assert.hpp"

namespace korvel {

template <class T> class Ring {
  public:
    Ring() = default;
    explicit Ring(std::size_t capacity) : slots_(capacity) {}
    Ring(Ring&& o) noexcept
        : slots_(std::move(o.slots_)), head_(std::exchange(o.head_, 0)),
          size_(std::exchange(o.size_, 0)) {}
    Ring& operator=(Ring&& o) noexcept {
        Ring old(std::move(*this));
        slots_ = std::move(o.slots_);
        head_ = std::exchange(o.head_, 0);
        size_ = std::exchange(o.size_, 0);
        return *this; // the old elements go here, after the ring is whole
    }
    Ring(const Ring&) = default;
    Ring& operator=(const Ring& o) {
        if (this != &o) *this = Ring(o);
        return *this;
    }
    ~Ring() = default;

    std::size_t capacity() const noexcept { return slots_.size(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == slots_.size(); }

    // Element i from the front; requires i < size().
    T& operator[](std::size_t i) noexcept {
        KORVEL_ASSERT(i < size_);
        return slots_[wrap(head_ + i)];
    }
    const T& operator[](std::size_t i) const noexcept {
        KORVEL_ASSERT(i < size_);
        return slots_[wrap(head_ + i)];
    }
    T& front() noexcept { return (*this)[0]; }
    T& back() noexcept { return (*this)[size_ - 1]; }
    const T& front() const noexcept { return (*this)[0]; }
    const T& back() const noexcept { return (*this)[size_ - 1]; }

    // Appends at the back; when full, the front element is dropped and
    // returned (a default T otherwise). A zero-capacity ring keeps nothing.
    T push_back(T value) {
        if (slots_.empty()) return value;
        if (full()) {
            // The old front slot becomes the back.
            T dropped = std::exchange(slots_[head_], std::move(value));
            head_ = wrap(head_ + 1);
            return dropped;
        }
        slots_[wrap(head_ + size_)] = std::move(value);
        ++size_;
        return T();
    }

    // Prepends at the front; when full, the back element is dropped and
    // returned (a default T otherwise).
    T push_front(T value) {
        if (slots_.empty()) return value;
        head_ = head_ == 0 ? slots_.size() - 1 : head_ - 1;
        T dropped = std::exchange(slots_[head_], std::move(value)); // the old back when full
        if (!full()) ++size_;
        return dropped;
    }

    // Raises the capacity to at least n, keeping the elements in order. On
    // failure (std::bad_alloc) the ring is unchanged.
    void reserve(std::size_t n) {
        if (n <= slots_.size()) return;
        std::vector<T> grown(n);
        for (std::size_t i = 0; i < size_; ++i)
            grown[i] = std::move((*this)[i]);
        slots_.swap(grown);
        head_ = 0;
    }

    // Removes the front element and returns it; requires !empty().
    T pop_front() {
        KORVEL_ASSERT(!empty());
        T out = std::exchange(slots_[head_], T());
        head_ = wrap(head_ + 1);
        --size_;
        return out;
    }

    // Empties the ring, keeping its capacity.
    void clear() {
        std::vector<T> old(slots_.size());
        old.swap(slots_);
        head_ = size_ = 0;
    }

    // Calls f(element) from front to back.
    template <class F> void for_each(F&& f) const {
        for (std::size_t i = 0; i < size_; ++i)
            f((*this)[i]);
    }
    template <class F> void for_each(F&& f) {
        for (std::size_t i = 0; i < size_; ++i)
            f((*this)[i]);
    }

    // First index i in [0, size()) with value(i) > x, for elements in
    // ascending order (upper bound; as searchsorted with side "right").
    template <class Key> std::size_t upper_bound(const Key& x) const {
        std::size_t lo = 0, hi = size_;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (x < (*this)[mid])
                hi = mid;
            else
                lo = mid + 1;
        }
        return lo;
    }

  private:
    std::size_t wrap(std::size_t i) const noexcept {
        return i >= slots_.size() ? i - slots_.size() : i;
    }

    std::vector<T> slots_;
    std::size_t head_ = 0, size_ = 0;
};

} // namespace korvel
