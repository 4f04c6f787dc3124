// A bounded double-ended queue in one fixed block of memory.
//
// Invariants: 0 <= size() <= capacity(); element i (0 = front, the oldest
// for FIFO use) lives at slot (head_ + i) % capacity(). Pushing onto a full
// ring drops the element at the opposite end in the same step, as a deque
// with a maximum length does, so every push is O(1) and never allocates.
// Only construction and reserve() allocate.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace korvel {

template <class T> class Ring {
  public:
    Ring() = default;
    explicit Ring(std::size_t capacity) : slots_(capacity) {}

    std::size_t capacity() const noexcept { return slots_.size(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == slots_.size(); }

    // Element i from the front; requires i < size().
    T& operator[](std::size_t i) noexcept { return slots_[wrap(head_ + i)]; }
    const T& operator[](std::size_t i) const noexcept { return slots_[wrap(head_ + i)]; }
    T& front() noexcept { return (*this)[0]; }
    T& back() noexcept { return (*this)[size_ - 1]; }
    const T& front() const noexcept { return (*this)[0]; }
    const T& back() const noexcept { return (*this)[size_ - 1]; }

    // Appends at the back; when full, the front element is dropped. A
    // zero-capacity ring keeps nothing.
    void push_back(T value) {
        if (slots_.empty()) return;
        if (full()) {
            slots_[head_] = std::move(value); // the old front slot becomes the back
            head_ = wrap(head_ + 1);
            return;
        }
        slots_[wrap(head_ + size_)] = std::move(value);
        ++size_;
    }

    // Prepends at the front; when full, the back element is dropped.
    void push_front(T value) {
        if (slots_.empty()) return;
        head_ = head_ == 0 ? slots_.size() - 1 : head_ - 1;
        slots_[head_] = std::move(value); // overwrites the old back when full
        if (!full()) ++size_;
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

    // Removes the front element; requires !empty().
    void pop_front() {
        slots_[head_] = T();
        head_ = wrap(head_ + 1);
        --size_;
    }

    void clear() {
        for (auto& s : slots_)
            s = T();
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
