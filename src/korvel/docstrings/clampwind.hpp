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

inline constexpr const char AntiWindupLimterBank[] =
    R"doc(n anti-windup limiters stepped together, each exactly an ``AntiWindupLimter``.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as an ``AntiWindupLimter`` driven with lane i's values. The call
and ``run`` take, where the limiter takes a number, a number (every lane
takes it) or n values (one per lane, as NumPy broadcasts them), and
answer with a float64 array of n values. Use a bank to limit many
signals at once: the outputs of a bank of controllers, a Monte Carlo
study.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).

Raises
------
ValueError
    n is negative.

See Also
--------
AntiWindupLimter : one limiter; ``bank[i]`` is lane i as an
    ``AntiWindupLimter``, and ``bank[i] = limiter`` makes lane i that
    limiter.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``AntiWindupLimter`` that
continues exactly as lane i would (its previous input and output, or
none before its first call); ``bank[i] = limiter`` makes lane i that
limiter. A bank pickles and deep-copies, and a copy continues exactly as
the original would.

Examples
--------
Three signals driven beyond the upper limit, then turning back:

>>> from korvel.algorithm.clampwind import AntiWindupLimterBank
>>> bank = AntiWindupLimterBank(3)
>>> bank([150.0, 50.0, -20.0])
array([100.,  50.,   0.])
>>> bank([160.0, 60.0, -10.0], HI=[100.0, 55.0, 100.0])
array([100.,  55.,  10.])
>>> bank[0](155.0), bank(155.0)[0]
(95.0, np.float64(95.0))
)doc";

inline constexpr const char bank_call[] = R"doc(Limit one sample of every lane.

Parameters
----------
u : float or array of n floats
    The input sample of each lane.
HI : float or array of n floats, default 100
    Upper limit of each lane's output for this call.
LO : float or array of n floats, default 0
    Lower limit of each lane's output for this call.

Returns
-------
numpy.ndarray
    The output of each lane (float64, n values): its previous output plus
    the change of its input, limited to its [LO, HI]; on a lane's first
    call its input limited.

Raises
------
ValueError
    An argument is neither a number nor n values ("u must be a number or
    3 values, not an array of shape (2,)"); nothing changes.
TypeError
    An argument is None; nothing changes.

Examples
--------
>>> from korvel.algorithm.clampwind import AntiWindupLimterBank
>>> bank = AntiWindupLimterBank(2)
>>> bank(-20.0, LO=[0.0, -30.0]), bank(-10.0, LO=[0.0, -30.0])
(array([  0., -20.]), array([ 10., -10.]))
)doc";

inline constexpr const char bank_run[] =
    R"doc(Limit one sample of every lane; the same as calling the bank.

Parameters
----------
u : float or array of n floats
    The input sample of each lane.
HI : float or array of n floats, default 100
    Upper limit of each lane's output for this call.
LO : float or array of n floats, default 0
    Lower limit of each lane's output for this call.

Returns
-------
numpy.ndarray
    The output of each lane (float64, n values).

Raises
------
ValueError
    An argument is neither a number nor n values; nothing changes.

Examples
--------
>>> from korvel.algorithm.clampwind import AntiWindupLimterBank
>>> bank = AntiWindupLimterBank(2)
>>> bank.run([20.0, 30.0], 40, 10), bank.run(45.0, 40, 10)
(array([20., 30.]), array([40., 40.]))
)doc";

} // namespace korvel::docstrings::clampwind
