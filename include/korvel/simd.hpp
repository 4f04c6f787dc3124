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
#pragma once

#if defined(KORVEL_LANE_SIMD)
#define KORVEL_LANE_LOOP _Pragma("omp simd")
#else
#define KORVEL_LANE_LOOP
#endif

#if defined(__GNUC__)
#define KORVEL_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define KORVEL_ALWAYS_INLINE inline
#endif
