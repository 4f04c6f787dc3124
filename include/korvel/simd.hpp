// Loops over a bank's lanes that the compiler may run several lanes at a
// time. Each lane's arithmetic is the scalar block's, lane-wise IEEE
// operations in the same order (nothing is contracted or reassociated), so a
// vectorised loop gives the bits of the plain one.
//
//   KORVEL_LANE_LOOP      before the loop: the lanes do not overlap, run
//                         them together. Needs -fopenmp-simd (the build
//                         defines KORVEL_LANE_SIMD with it); a plain loop
//                         otherwise. GCC turns a lane's selections into
//                         blends only with -fno-trapping-math (nothing here
//                         reads the floating-point exception flags).
//   KORVEL_ALWAYS_INLINE  on the per-lane rule such a loop calls.
//   KORVEL_LANE_CLONES    on a function whose loops run many lanes: GCC
//                         builds it also for AVX2 and AVX-512 and picks the
//                         one the CPU runs when the program loads. Wider
//                         registers run the same IEEE operations (contraction
//                         stays off), so every version gives the same bits.
#pragma once

#define KORVEL_PRAGMA(x) _Pragma(#x)
#if defined(KORVEL_LANE_SIMD)
#define KORVEL_LANE_LOOP _Pragma("omp simd")
// As KORVEL_LANE_LOOP, for a loop that also sums a value of every lane into
// each variable named.
#define KORVEL_LANE_LOOP_SUM(...) KORVEL_PRAGMA(omp simd reduction(+ : __VA_ARGS__))
// As KORVEL_LANE_LOOP, for a loop that ORs a value of every lane into each
// variable named.
#define KORVEL_LANE_LOOP_ANY(...) KORVEL_PRAGMA(omp simd reduction(| : __VA_ARGS__))
#else
#define KORVEL_LANE_LOOP
#define KORVEL_LANE_LOOP_SUM(...)
#define KORVEL_LANE_LOOP_ANY(...)
#endif

#if defined(KORVEL_LANE_SIMD) && defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KORVEL_LANE_CLONES                                                                         \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KORVEL_LANE_CLONES
#endif

#if defined(__GNUC__)
#define KORVEL_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define KORVEL_ALWAYS_INLINE inline
#endif
