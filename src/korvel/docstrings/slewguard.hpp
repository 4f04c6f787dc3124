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

inline constexpr const char RateLimitBank[] =
    R"doc(n slew-rate limiters stepped together, each exactly a ``RateLimit``.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as a ``RateLimit`` driven with lane i's values. The call and
``reset`` take, where the limiter takes a number, a number (every lane
takes it) or n values (one per lane, as NumPy broadcasts them), and the
call answers with a float64 array of n values. Use a bank to ramp many
set-points or controller outputs at once.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).
u_ini : float or array of n floats
    Initial output of each lane: the value its first call ramps from.
Ts : float or array of n floats, default 1
    Sampling period of each lane in seconds; not validated.

Raises
------
ValueError
    n is negative, or ``u_ini`` or ``Ts`` is neither a number nor n
    values.

See Also
--------
RateLimit : one limiter; ``bank[i]`` is lane i as a ``RateLimit``, and
    ``bank[i] = limiter`` makes lane i that limiter.

Notes
-----
A lane holds numbers: ``bank[i]`` returns a new ``RateLimit`` whose
``u_last`` and ``Ts`` are floats, and ``bank[i] = limiter`` takes the
limiter's ``u_last`` and ``Ts`` as ``float()`` reads them. ``len(bank)``
is n. A bank pickles and deep-copies, and a copy continues exactly as the
original would.

Examples
--------
Three ramps from 0 at 60, 30 and 6 units per minute, one call per second:

>>> from korvel.algorithm.slewguard import RateLimitBank
>>> bank = RateLimitBank(3, u_ini=0.0, Ts=1)
>>> bank(10.0, PRLimPerMin=[60, 30, 6])
array([1. , 0.5, 0.1])
>>> bank(10.0, PRLimPerMin=[60, 30, 6])
array([2. , 1. , 0.2])
>>> bank[1](10.0, 30), bank(10.0, [60, 30, 6])[1]
(1.5, np.float64(1.5))
)doc";

inline constexpr const char bank_call[] =
    R"doc(Move the output of every lane one sample towards its target.

Parameters
----------
u_end : float or array of n floats
    The requested (target) value of each lane.
PRLimPerMin : float or array of n floats, default 60
    Rising rate limit of each lane in units per minute; signs are ignored.
NRLimPerMin : float, None or array of n values, default None
    Falling rate limit of each lane in units per minute, signs ignored;
    None uses the rising limit in both directions, for every lane or,
    among n values, for the lanes that hold None.

Returns
-------
numpy.ndarray
    The new output of each lane (float64, n values).

Raises
------
ValueError
    An argument is neither a number nor n values; nothing changes.
TypeError
    ``u_end`` or ``PRLimPerMin`` is None; nothing changes.

Examples
--------
>>> from korvel.algorithm.slewguard import RateLimitBank
>>> bank = RateLimitBank(3, 0.0, Ts=2)
>>> bank(-10.0, PRLimPerMin=30, NRLimPerMin=[3, None, -60])
array([-0.1, -1. , -2. ])
)doc";

inline constexpr const char bank_reset[] =
    R"doc(Restart the output of every lane from a value, without a ramp.

Parameters
----------
u_ini : float or array of n floats
    The new output of each lane: the value its next call ramps from.

Raises
------
ValueError
    ``u_ini`` is neither a number nor n values; nothing changes.

Examples
--------
>>> from korvel.algorithm.slewguard import RateLimitBank
>>> bank = RateLimitBank(2, 0.0)
>>> bank.reset([7.0, 3.0])
>>> bank(7.0)
array([7., 4.])
)doc";

} // namespace korvel::docstrings::slewguard
