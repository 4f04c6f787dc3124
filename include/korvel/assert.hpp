// KORVEL_ASSERT(condition): a precondition or invariant the code states and
// relies on, checked where checks cost nothing that matters (debug builds,
// the sanitizer and fuzz builds, the C++ tests: NDEBUG undefined, or
// KORVEL_ASSERTIONS defined) and compiled out of release builds, as CPython
// asserts its deque's invariants. A failed check names itself and aborts.
#pragma once

#include <cstdio>
#include <cstdlib>

#if defined(KORVEL_ASSERTIONS) || !defined(NDEBUG)
#define KORVEL_ASSERTIONS_ON 1
#define KORVEL_ASSERT(condition)                                                                   \
    ((condition) ? static_cast<void>(0)                                                            \
                 : ::korvel::detail::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define KORVEL_ASSERTIONS_ON 0
#define KORVEL_ASSERT(condition) static_cast<void>(0)
#endif

namespace korvel::detail {

[[noreturn]] inline void assertion_failed(const char* what, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: korvel assertion failed: %s\n", file, line, what);
    std::abort();
}

} // namespace korvel::detail
