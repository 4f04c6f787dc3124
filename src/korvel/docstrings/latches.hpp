// Docstrings of korvel.algorithm.latches.
#pragma once

namespace korvel::docstrings::latches {

inline constexpr const char module[] =
    R"doc(Set/reset flip-flop and on-/off-delay timers, counted in calls.

``RStrigger`` is a set/reset flip-flop with dominant reset, ``TONtrigger``
an on-delay and ``TOFFtrigger`` an off-delay timer. All three are driven
through their fields: write the inputs, call ``call()`` once per sample
and read the outputs. Delays count calls (samples), not seconds.
)doc";

inline constexpr const char RStrigger[] = R"doc(Set/reset flip-flop with dominant reset.

Write the set input ``S`` and the reset input ``R`` (taken by their truth
values), call ``call()`` and read the output ``Q`` and its negation ``nQ``.
A new flip-flop has ``S`` 0, ``R`` 0, ``Q`` False, ``nQ`` True and
``Q_array`` [False]. The constructor takes no parameters.

Notes
-----
=====  =====  ==========================================
S      R      Q
=====  =====  ==========================================
true   false  True (set)
false  true   False (reset)
true   true   False (reset dominates)
false  false  the output of the previous call (hold)
=====  =====  ==========================================

Examples
--------
>>> from korvel.algorithm.latches import RStrigger
>>> latch = RStrigger()
>>> outputs = []
>>> for s, r in [(1, 0), (0, 0), (1, 1), (0, 0)]:
...     latch.S, latch.R = s, r
...     latch.call()
...     outputs.append(latch.Q)
>>> outputs, latch.nQ
([True, True, False, False], True)
)doc";

inline constexpr const char rs_call[] =
    R"doc(Compute one sample: ``Q`` from ``S`` and ``R``, ``nQ`` = not ``Q``.

The reset dominates; with neither input true the output of the previous
call (``Q_array[0]``) is held. Returns nothing.

Raises
------
ValueError
    ``S`` or ``R`` has no single truth value ("The truth value of an array
    with more than one element is ambiguous. ..."); any other error of
    their truth test passes through as it is.

Examples
--------
>>> from korvel.algorithm.latches import RStrigger
>>> latch = RStrigger()
>>> latch.S = True
>>> latch.call()
>>> latch.Q, latch.nQ, latch.Q_array
(True, False, array([ True]))
)doc";

inline constexpr const char S[] =
    R"doc(Set input, written by the caller and taken by its truth value (default 0).
)doc";

inline constexpr const char R[] =
    R"doc(Reset input, written by the caller and taken by its truth value (default 0); dominates.
)doc";

inline constexpr const char Q[] = R"doc(Output, a bool (default False).
)doc";

inline constexpr const char nQ[] = R"doc(Negated output, a bool (default True).
)doc";

inline constexpr const char Q_array[] =
    R"doc(One-element bool array holding the output of the previous call.
)doc";

inline constexpr const char TONtrigger[] = R"doc(On-delay timer counted in calls.

Write the input ``Ut`` (and, when it should change, the delay ``DT``), call
``call()`` once per sample and read the output ``Yt``. The output switches
on ``DT`` - 1 calls after the input rises, provided the input stays on,
and off at once when it goes back to 0: a pulse shorter than the delay
never switches the output on. A new timer has ``Ut`` 0, ``Yt`` 0, ``DT`` 3,
``ET`` 0 and ``Ut_array`` [0, 0]; the constructor takes no parameters.

See Also
--------
TOFFtrigger : the off-delay timer.

Notes
-----
The input is stored in an int64 history, truncated toward zero (0.7 is
off). With u0 the current and u1 the previous stored input, one call does

1. if u0 == 0: ET = DT (the resting value);
2. if 0 < ET < DT: ET = ET - 1;
3. if u0 > u1 (a rise): ET = DT - 1;
4. Yt = 0 if ET > 0 else 1.

Any rise restarts a running count (1 -> 2 included); a negative input is
never a rise. With DT <= 1 the output follows the input without delay,
with DT <= 0 it is always 1.

Examples
--------
>>> from korvel.algorithm.latches import TONtrigger
>>> timer = TONtrigger()
>>> outputs = []
>>> for u in (0, 1, 1, 1, 1, 0):
...     timer.Ut = u
...     timer.call()
...     outputs.append(timer.Yt)
>>> outputs
[0, 0, 0, 1, 1, 0]
)doc";

inline constexpr const char ton_call[] =
    R"doc(Compute one sample of the on-delay timer; the result is left in ``Yt``.

Returns nothing.

Raises
------
ValueError
    ``Ut`` cannot be stored as an integer ("cannot convert float NaN to
    integer", "invalid literal for int() with base 10: 'a'").

Examples
--------
>>> from korvel.algorithm.latches import TONtrigger
>>> timer = TONtrigger()
>>> timer.DT = 2
>>> outputs = []
>>> for u in (1, 1, 0, 1):
...     timer.Ut = u
...     timer.call()
...     outputs.append(timer.Yt)
>>> outputs
[0, 1, 0, 0]
)doc";

inline constexpr const char TOFFtrigger[] = R"doc(Off-delay timer counted in calls.

Write the input ``Ut`` (and, when it should change, the delay ``DT``), call
``call()`` once per sample and read the output ``Yt``. The output switches
on at once when the input is on and off ``DT`` - 1 calls after the input
falls, provided it stays off: a gap shorter than the delay is bridged. A
new timer has ``Ut`` 0, ``Yt`` 0, ``DT`` 3, ``ET`` 0 and ``Ut_array`` [0, 0];
the constructor takes no parameters.

See Also
--------
TONtrigger : the on-delay timer.

Notes
-----
The input is stored in an int64 history, truncated toward zero. With u0
the current and u1 the previous stored input, one call does

1. if u0 > 0: ET = DT (the resting value);
2. if 0 < ET < DT: ET = ET - 1;
3. if u0 < u1 (a fall): ET = DT - 1;
4. Yt = 1 if ET > 0 else 0.

A negative input counts as off. With DT <= 1 the output follows the
input without delay, with DT <= 0 it is always 0.

Examples
--------
>>> from korvel.algorithm.latches import TOFFtrigger
>>> timer = TOFFtrigger()
>>> outputs = []
>>> for u in (1, 0, 1, 1, 0, 0, 0):
...     timer.Ut = u
...     timer.call()
...     outputs.append(timer.Yt)
>>> outputs
[1, 1, 1, 1, 1, 1, 0]
)doc";

inline constexpr const char toff_call[] =
    R"doc(Compute one sample of the off-delay timer; the result is left in ``Yt``.

Returns nothing.

Raises
------
ValueError
    ``Ut`` cannot be stored as an integer ("cannot convert float NaN to
    integer", "invalid literal for int() with base 10: 'a'").

Examples
--------
>>> from korvel.algorithm.latches import TOFFtrigger
>>> timer = TOFFtrigger()
>>> outputs = []
>>> for u in (1, 1, 0, 0, 0, 0):
...     timer.Ut = u
...     timer.call()
...     outputs.append(timer.Yt)
>>> outputs
[1, 1, 1, 1, 0, 0]
)doc";

inline constexpr const char Ut[] =
    R"doc(Input, written by the caller (default 0); stored truncated to an integer.
)doc";

inline constexpr const char Yt[] = R"doc(Output, 0 or 1 (default 0).
)doc";

inline constexpr const char DT[] =
    R"doc(Delay setting in calls (default 3); the output changes DT - 1 calls after the edge.

It may be changed at any time and takes effect at the next call.
)doc";

inline constexpr const char ET[] =
    R"doc(Remaining count of a running delay; DT while the timer rests (default 0).
)doc";

inline constexpr const char Ut_array[] =
    R"doc(int64 history of the input: the current input, then the previous one.
)doc";

} // namespace korvel::docstrings::latches
