// Docstrings of korvel.algorithm.slewguard.
#pragma once

namespace korvel::docstrings::slewguard {

inline constexpr const char module[] = R"doc(Slew-rate limiter with rates in units per minute.

``RateLimit`` ramps a signal, such as a set-point or a controller output,
towards a target no faster than a rising and a falling rate.
)doc";

inline constexpr const char RateLimit[] =
    R"doc(Slew-rate limiter with rising and falling rates in units per minute.

Each call moves the output from its previous value towards the requested
value by at most one step per sample, the step being the rate in units
per minute converted with the sampling period ``Ts`` in seconds. The
output reaches the target exactly once it is within one step and never
overshoots. The rates are arguments of every call and may change from
call to call.

Parameters
----------
u_ini : float
    Initial output: the value the first call ramps from.
Ts : float, default 1
    Sampling period in seconds: the time between two calls. Stored as
    given in the field ``Ts``; not validated.

Raises
------
TypeError
    ``u_ini`` is not a real number ("must be real number, not str").

Notes
-----
With the previous output y0 and the target u, one call computes::

    rise = |PRLimPerMin / 60 * Ts|
    fall = |NRLimPerMin / 60 * Ts|   (rise when NRLimPerMin is None)
    y    = y0 + rise   if u - y0 > rise
           y0 - fall   if u - y0 < -fall
           u           otherwise

The signs of the rates are ignored: each acts in its own direction. A NaN
target is returned and stored unlimited; the next call then returns its
own target unlimited too, after which limiting resumes.

Examples
--------
Ramp from 3 towards 10 at 10 units per minute, one call per second:

>>> from korvel.algorithm.slewguard import RateLimit
>>> ramp = RateLimit(3.0, Ts=1)
>>> outputs = [ramp(10.0, 10, -10) for _ in range(45)]
>>> outputs[:2], outputs[41], outputs[42:]
([3.1666666666666665, 3.333333333333333], 9.999999999999998, [10.0, 10.0, 10.0])

Falling at 60 units per minute, one unit per call:

>>> ramp = RateLimit(0.0)
>>> [ramp(-2.5) for _ in range(4)]
[-1.0, -2.0, -2.5, -2.5]
)doc";

inline constexpr const char call[] = R"doc(Move the output one sample towards the target.

Parameters
----------
u_end : float
    The requested (target) value.
PRLimPerMin : float, default 60
    Rising rate limit in units per minute; its sign is ignored.
NRLimPerMin : float or None, default None
    Falling rate limit in units per minute, its sign ignored; None uses
    the rising limit in both directions.

Returns
-------
float
    The new output, also stored in ``u_last``.

Raises
------
TypeError
    An argument is not a number ("unsupported operand type(s) for -:
    'str' and 'float'"); nothing changes.

Examples
--------
>>> from korvel.algorithm.slewguard import RateLimit
>>> ramp = RateLimit(0.0, Ts=2)
>>> ramp(10.0, PRLimPerMin=30, NRLimPerMin=-3), ramp(-10.0, 30, 3)
(1.0, 0.9)
)doc";

inline constexpr const char reset[] = R"doc(Restart the output from a value, without a ramp.

Parameters
----------
u_ini : float
    The new output: the value the next call ramps from.

Raises
------
TypeError
    ``u_ini`` is not a real number.

Examples
--------
>>> from korvel.algorithm.slewguard import RateLimit
>>> ramp = RateLimit(0.0)
>>> ramp.reset(7)
>>> ramp.u_last, ramp(7.0), ramp(10.0)
(7.0, 7.0, 8.0)
)doc";

inline constexpr const char u_last[] =
    R"doc(Output of the previous call; before the first call, the initial output.

It holds the object stored last: the target itself when the step was not
limited (an int target stays an int), otherwise a float.
)doc";

inline constexpr const char Ts[] = R"doc(Sampling period in seconds, as given to the constructor.
)doc";

} // namespace korvel::docstrings::slewguard
