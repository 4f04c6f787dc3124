// Docstrings of korvel.algorithm.clampwind.
#pragma once

namespace korvel::docstrings::clampwind {

inline constexpr const char module[] =
    R"doc(Anti-windup limiter: passes on the changes of its input, kept inside a band.

``AntiWindupLimter`` limits a signal to a band [LO, HI] without winding
up: once the input has driven the output to a limit, the output leaves
the limit with the first sample in which the input turns back, however
far the input went beyond it.
)doc";

inline constexpr const char AntiWindupLimter[] =
    R"doc(Band limiter that passes on the changes of its input, without windup.

Call the limiter once per sample. The first call returns the input
limited to the band; every later call returns the previous output plus
the change of the input since the previous call, limited to the band of
that call. The limits are arguments of every call and may change from
call to call; a change takes effect at once. The constructor takes no
parameters.

Notes
-----
With u0 and y0 the input and output of the previous call (the first call
takes u0 = u and y0 = u limited)::

    y = min(HI, max(LO, y0 + (u - u0)))

The lower limit is applied first and the upper one last, so with HI < LO
every call returns HI. A NaN input makes the output NaN, and, being
stored, keeps it NaN for the life of the limiter.

Examples
--------
The output leaves the upper limit as soon as the input turns back:

>>> from korvel.algorithm.clampwind import AntiWindupLimter
>>> limiter = AntiWindupLimter()
>>> [limiter(u) for u in (150.0, 160.0, 155.0)]
[100.0, 100.0, 95.0]

A new upper limit applies at once; an unchanged input keeps the output:

>>> limiter = AntiWindupLimter()
>>> limiter(50.0), limiter(50.0, HI=40), limiter(50.0, HI=100)
(50.0, 40.0, 40.0)
)doc";

inline constexpr const char call[] = R"doc(Limit one sample.

Parameters
----------
u : float
    The input sample.
HI : float, default 100
    Upper limit of the output for this call.
LO : float, default 0
    Lower limit of the output for this call. HI and LO are not compared:
    with HI < LO the output is HI.

Returns
-------
float
    The previous output plus the change of the input, limited to
    [LO, HI]; on the first call the input limited.

Raises
------
TypeError
    An argument is not a real number ("must be real number, not str");
    nothing changes.

Examples
--------
>>> from korvel.algorithm.clampwind import AntiWindupLimter
>>> limiter = AntiWindupLimter()
>>> limiter(-20.0), limiter(-10.0)
(0.0, 10.0)
)doc";

inline constexpr const char run[] = R"doc(Limit one sample; the same as calling the limiter.

Parameters
----------
u : float
    The input sample.
HI : float, default 100
    Upper limit of the output for this call.
LO : float, default 0
    Lower limit of the output for this call.

Returns
-------
float
    The previous output plus the change of the input, limited to
    [LO, HI].

Raises
------
TypeError
    An argument is not a real number.

Examples
--------
>>> from korvel.algorithm.clampwind import AntiWindupLimter
>>> limiter = AntiWindupLimter()
>>> limiter.run(20.0, 40, 10), limiter.run(40.0, 40, 10), limiter(30.0, 40, 10)
(20.0, 40.0, 30.0)
)doc";

} // namespace korvel::docstrings::clampwind
