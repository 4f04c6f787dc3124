// A block's histories (the core's rings of samples) as Python sees them:
// collections.deque snapshots, capacities checked with deque's own messages,
// and little-endian bytes in pickled states.
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/ring.hpp>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

namespace korvel::pyglue {

namespace nb = nanobind;

// A deque capacity from a length argument plus `extra`; false with deque's
// ValueError ("maxlen must be non-negative") or OverflowError.
bool capacity_of(long long len, long long extra, std::size_t& out) noexcept;

// Ring allocation failures are memory errors whatever the library calls them.
template <class F> auto allocating(F&& f) {
    try {
        return f();
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

// deque(history, maxlen): a fresh snapshot, oldest first.
nb::object snapshot(const Ring<double>& r, std::size_t maxlen);

// The history as state bytes, and back (ValueError "invalid history state"
// for bytes that cannot be a history of that capacity).
nb::bytes pack(const Ring<double>& r);
std::vector<double> unpack(const nb::bytes& b, std::size_t capacity);

} // namespace korvel::pyglue
