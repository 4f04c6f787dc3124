// Docstrings of korvel.algorithm.excite.
#pragma once

namespace korvel::docstrings::excite {

inline constexpr const char module[] = R"doc(Random two-level test signal for plant tests.

``TestSignal`` generates a random binary excitation for identification
experiments: a fixed function of time, in whole seconds, for a given seed.
)doc";

inline constexpr const char TestSignal[] = R"doc(Random two-level excitation signal for plant tests.

Time is divided into cycles of 2*ET seconds (ET 10 s for a new signal).
In every cycle the signal is +amplitude from the start of the cycle until
a random switching instant and -amplitude for the rest of the cycle. The
switching instants come from a table of 10000 random fractions, each a
multiple of 0.01 between 0.10 and 0.90, drawn once at construction, so
the signal is a fixed function of time; the table repeats after 10000
cycles. A call returns the level at time t together with the times until
the next five level changes, so the caller can schedule ahead.

Parameters
----------
SEED : int or None, default None
    Seed of the switching table. Construction reseeds NumPy's
    process-wide legacy generator (``numpy.random.seed``) with it and draws
    the table from that generator, which affects every other user of it;
    None seeds from operating-system entropy. Two signals built with the
    same seed are the same signal.

Raises
------
ValueError
    NumPy refuses the seed ("Seed must be between 0 and 2**32 - 1").
TypeError
    The seed is not an integer or None.

Notes
-----
For a time t (floored division and remainder), the cycle index is
p = t // (2*ET), the position in the cycle tp = t mod (2*ET) and the
switching instants of this and the next two cycles::

    sw_i = int(2*ET * table[(p + i) mod 10000]),   i = 0, 1, 2

(truncated toward zero). The level is +amplitude while tp < sw_0, and
-amplitude from sw_0 to the end of the cycle. The call keeps no state.

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> signal = TestSignal(SEED=1)
>>> signal(23)
(1.0, 1, 17, 33, 37, 40)
>>> signal(30)
(-1.0, 10, 26, 30, 33, 50)
>>> TestSignal(SEED=1)(30) == signal(30)
True

A schedule for one minute of test, level changes only:

>>> signal.set_amplitude(5.0)
>>> [(t, signal(t)[0]) for t in range(0, 60) if t == 0 or signal(t)[0] != signal(t - 1)[0]]
[(0, 5.0), (9, -5.0), (20, 5.0), (24, -5.0), (40, 5.0), (56, -5.0)]
)doc";

inline constexpr const char call[] =
    R"doc(Return the level at time t and the times of the next five level changes.

Parameters
----------
t : int or None, default None
    The time in whole seconds; None: the wall clock, ``int(time.time())``
    (seconds since the epoch). Exactly an integer: a float time fails,
    even 23.0.

Returns
-------
tuple
    (U, next1, next2, next3, next4, next5): U the level, +amplitude or
    -amplitude, and next1 ... next5 (int) the seconds from t to the next
    five level changes, which alternate between a fall and a rise.

Raises
------
IndexError
    ``t`` is a float ("only integers, slices (`:`), ellipsis (`...`),
    numpy.newaxis (`None`) and integer or boolean arrays are valid
    indices").
ZeroDivisionError
    ET is 0 ("integer division or modulo by zero").
TypeError
    ``t`` is not a number.

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> signal = TestSignal(SEED=1)
>>> signal.set_ET(5)
>>> [signal(t)[0] for t in range(10)]
[1.0, 1.0, 1.0, 1.0, -1.0, -1.0, -1.0, -1.0, -1.0, -1.0]
>>> signal(0)
(1.0, 4, 10, 12, 20, 28)
)doc";

inline constexpr const char get_ET[] = R"doc(Return half the cycle length.

Returns
-------
int
    ET in seconds; the cycle is 2*ET.

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> TestSignal(SEED=0).get_ET()
10
)doc";

inline constexpr const char set_ET[] =
    R"doc(Set half the cycle length; takes effect at the next call.

Parameters
----------
ET : float, default 10
    Half the cycle length in seconds, truncated to an integer; not
    validated (0 makes every later call fail with ZeroDivisionError).

Raises
------
OverflowError
    ``ET`` is infinite ("cannot convert float infinity to integer").
ValueError
    ``ET`` is NaN or text that is not an integer ("invalid literal for
    int() with base 10: 'a'").

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> signal = TestSignal(SEED=0)
>>> signal.set_ET(5.9)
>>> signal.get_ET()
5
)doc";

inline constexpr const char get_amplitude[] = R"doc(Return the amplitude.

Returns
-------
float
    The amplitude, never negative.

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> TestSignal(SEED=0).get_amplitude()
1.0
)doc";

inline constexpr const char set_amplitude[] =
    R"doc(Set the amplitude; takes effect at the next call.

Parameters
----------
amp : float, default 1.0
    The amplitude, in the units of the excited signal; a negative or NaN
    amplitude becomes 0.0.

Raises
------
TypeError
    ``amp`` cannot be compared with 0.0 ("'>' not supported between
    instances of 'str' and 'float'").

Examples
--------
>>> from korvel.algorithm.excite import TestSignal
>>> signal = TestSignal(SEED=0)
>>> signal.set_amplitude(-2)
>>> signal.get_amplitude(), signal(0)[0]
(0.0, 0.0)
)doc";

} // namespace korvel::docstrings::excite
