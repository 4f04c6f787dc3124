// Docstrings of korvel.algorithm.tfblock.
#pragma once

namespace korvel::docstrings::tfblock {

inline constexpr const char module[] =
    R"doc(Discrete and continuous transfer-function filters with persistent state.

``zFilter`` is a discrete transfer function Bz(z^-1)/Az(z^-1); ``sFilter``
a continuous one, Bs(s)/As(s), discretised once with a zero-order hold at
its sampling period. Both work in deviation form around an operating
point, keep their filter state between calls and may be driven one
sample per call or over whole sequences of samples, the two continuing
one another.
)doc";

inline constexpr const char zFilter[] = R"doc(Discrete transfer-function filter in deviation form.

The filter sees the deviation of its input from the input operating point
``u_ini``, starts at rest, and adds the output operating point ``y_ini``
to its output. A new filter is therefore in equilibrium at
(``u_ini``, ``y_ini``) whatever its steady-state gain. An operating point
left as None is supplied by the first call: ``u_ini`` by its first input
sample, ``y_ini`` by its ``y_ini`` argument. Once set, the operating point
never changes.

Parameters
----------
Bz : sequence of float, default [0, 0.1]
    Numerator coefficients in ascending powers of z^-1:
    b0 + b1*z^-1 + ...
Az : sequence of float, default [1, -0.9]
    Denominator coefficients, same convention; the first one normalises
    and must not be 0. The defaults give a unit-gain first-order lag with
    the pole 0.9 and one sample of delay.
u_ini : float or None, default None
    Input operating point; None: the first input sample.
y_ini : float or None, default None
    Output operating point; None: the ``y_ini`` argument of the first call.

Raises
------
ValueError
    A coefficient sequence cannot be made into a float array ("could not
    convert string to float: 'ab'"), is not one-dimensional ("Filter
    coefficients `b` must be 1-D."), the denominator is empty ("There must
    be at least one `a` coefficient.") or starts with 0 ("First `a` filter
    coefficient must be non-zero.").
TypeError
    ``u_ini`` or ``y_ini`` is neither None nor a real number.

See Also
--------
sFilter : the same for a continuous transfer function.

Notes
-----
With the deviations du(k) = u(k) - u_ini, one sample computes::

    Az(z^-1) * dy(k) = Bz(z^-1) * du(k),    y(k) = dy(k) + y_ini

in direct form II transposed, keeping the delay-line contents (the field
``_zi``, max(len(Az), len(Bz)) - 1 values) between calls.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilter
>>> lag = zFilter()
>>> [lag(u) for u in (5.0, 6.0, 6.0, 6.0)]
[0.0, 0.0, 0.1, 0.19]
>>> lag._u_ini, lag._y_ini
(5.0, 0.0)

A pure gain of 2 around the operating point (1, 10):

>>> zFilter([2], [1], u_ini=1.0, y_ini=10.0)(3.0)
14.0

A denominator whose first coefficient is not 1 is normalised by it:

>>> zFilter([0, 0.2], [2, -1.8]).run_multistep([0.0, 1.0, 1.0, 1.0])
array([0.  , 0.  , 0.1 , 0.19])
)doc";

inline constexpr const char z_step[] = R"doc(Filter one input sample.

A filter without an operating point adopts this sample as ``u_ini`` and
the ``y_ini`` argument as its output operating point; from the rest state
it then returns exactly that output operating point.

Parameters
----------
Ut : float
    The input sample.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet;
    ignored once the filter has one.

Returns
-------
float
    The output sample: the filtered deviation plus the output operating
    point.

Raises
------
TypeError
    ``Ut`` or ``y_ini`` is not a real number ("must be real number, not
    str"); nothing changes.
ValueError
    The numerator is empty ("Parameter b is not a non-empty 1d array,
    since b.shape=(0,)!"), as ``lfilter`` refuses it; the operating points
    are taken first, the state is not stepped.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilter
>>> lag = zFilter(u_ini=2.0)
>>> lag(2.0, y_ini=7.0), lag(3.0, y_ini=100.0), lag(3.0)
(7.0, 7.0, 7.1)
)doc";

inline constexpr const char z_run[] = R"doc(Filter one input sample; the same as calling the filter.

Parameters
----------
Ut : float
    The input sample.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet.

Returns
-------
float
    The output sample.

Raises
------
TypeError
    ``Ut`` or ``y_ini`` is not a real number.
ValueError
    The numerator is empty, as for a call of the filter.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilter
>>> lag = zFilter(u_ini=0.0, y_ini=0.0)
>>> lag.run(1.0), lag.run(1.0)
(0.0, 0.1)
)doc";

inline constexpr const char z_run_multistep[] = R"doc(Filter a sequence of input samples.

Gives the same outputs as single calls over the samples in turn and
continues from, and leaves, the same filter state. A filter without an
operating point adopts the first sample as ``u_ini``.

Parameters
----------
U_arr : list or numpy.ndarray of float
    The input samples, oldest first; a one-dimensional sequence.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet.

Returns
-------
numpy.ndarray
    One float64 output per input sample.

Raises
------
IndexError
    ``U_arr`` is empty while the filter has no input operating point yet
    ("index 0 is out of bounds for axis 0 with size 0").
ValueError
    ``U_arr`` cannot be made into a one-dimensional float array, or the
    numerator is empty (as for a call of the filter).
TypeError
    ``y_ini`` is not a real number.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilter
>>> lag = zFilter()
>>> lag.run_multistep([1.0, 2.0, 2.0])
array([0. , 0. , 0.1])
>>> lag(2.0)
0.19
)doc";

inline constexpr const char sFilter[] =
    R"doc(Continuous transfer-function filter, discretised with a zero-order hold.

The transfer function Bs(s)/As(s) is discretised once, at construction,
with a zero-order hold at the sampling period ``Ts``; the filter then
behaves exactly as a ``zFilter`` with the discrete coefficients (the field
``_zfilter``), in deviation form around the operating point
(``u_ini``, ``y_ini``). Leading zeros of the numerator are kept and no dead
time is added. A strictly proper filter gets a leading zero in its
discrete numerator, so an input change first shows one sample later.

Parameters
----------
Bs : sequence of float, default [1]
    Numerator coefficients in descending powers of s.
As : sequence of float, default [5, 1]
    Denominator coefficients in descending powers of s. The defaults give
    the first-order lag 1/(5 s + 1).
Ts : float, default 1
    Sampling period in seconds.
u_ini : float or None, default None
    Input operating point; None: the first input sample.
y_ini : float or None, default None
    Output operating point; None: the ``y_ini`` argument of the first call.

Raises
------
ValueError
    A coefficient sequence cannot be made into a float array, or the
    transfer function is improper ("Improper transfer function. `num` is
    longer than `den`."), or the discrete denominator is refused as by
    ``zFilter``.
TypeError
    ``u_ini`` or ``y_ini`` is neither None nor a real number.

See Also
--------
zFilter : the discrete filter that does the work.
korvel.algorithm.toolbox.c2d : the discretisation with dead time.

Notes
-----
The zero-order hold discretisation of a first-order lag K/(T s + 1) at
the period Ts is::

    K*(1 - a)*z^-1 / (1 - a*z^-1),    a = exp(-Ts/T).

Examples
--------
>>> from korvel.algorithm.tfblock import sFilter
>>> lag = sFilter([1], [5, 1], Ts=1)
>>> [round(lag(u), 4) for u in (0.0, 1.0, 1.0, 1.0)]
[0.0, 0.0, 0.1813, 0.3297]
>>> lag._zfilter._Bz.round(4), lag._zfilter._Az.round(4)
(array([0.    , 0.1813]), array([ 1.    , -0.8187]))
)doc";

inline constexpr const char s_step[] = R"doc(Filter one input sample.

A filter without an operating point adopts this sample as ``u_ini`` and
the ``y_ini`` argument as its output operating point.

Parameters
----------
Ut : float
    The input sample.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet;
    ignored once the filter has one.

Returns
-------
float
    The output sample: the filtered deviation plus the output operating
    point.

Raises
------
TypeError
    ``Ut`` or ``y_ini`` is not a real number ("must be real number, not
    str"); nothing changes.

Examples
--------
>>> from korvel.algorithm.tfblock import sFilter
>>> lag = sFilter([2], [10, 1], Ts=1)
>>> lag(20.0, y_ini=50.0), lag(21.0), round(lag(21.0), 4)
(50.0, 50.0, 50.1903)
)doc";

inline constexpr const char s_run[] = R"doc(Filter one input sample; the same as calling the filter.

Parameters
----------
Ut : float
    The input sample.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet.

Returns
-------
float
    The output sample.

Raises
------
TypeError
    ``Ut`` or ``y_ini`` is not a real number.

Examples
--------
>>> from korvel.algorithm.tfblock import sFilter
>>> lag = sFilter(u_ini=0.0, y_ini=0.0)
>>> lag.run(1.0), round(lag.run(1.0), 4)
(0.0, 0.1813)
)doc";

inline constexpr const char s_run_multistep[] = R"doc(Filter a list of input samples.

Gives the same outputs as single calls over the samples in turn and
continues from, and leaves, the same filter state.

Parameters
----------
U_arr : list of float
    The input samples, oldest first. It must be exactly a list.
y_ini : float, default 0.0
    The output operating point to adopt when the filter has none yet.

Returns
-------
numpy.ndarray
    One float64 output per input sample.

Raises
------
TypeError
    ``U_arr`` is not a list ("Argument 'U_arr' has incorrect type
    (expected list, got numpy.ndarray)"), or ``y_ini`` is not a real
    number.
IndexError
    ``U_arr`` is empty while the filter has no input operating point yet.

Examples
--------
>>> from korvel.algorithm.tfblock import sFilter
>>> lag = sFilter()
>>> lag.run_multistep([0.0, 1.0, 1.0]).round(4)
array([0.    , 0.    , 0.1813])
)doc";

inline constexpr const char zFilterBank[] =
    R"doc(n zFilters stepped together, each exactly a ``zFilter``.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as a ``zFilter`` driven with lane i's values. The operations of
``zFilter`` are here under the same names and with the same arguments;
where ``zFilter`` takes a number, the bank takes a number (every lane takes
it) or n values (one per lane, as NumPy broadcasts them), and it answers
with float64 arrays of n values. Use a bank to filter many signals at once:
the measurements of a plant, the runs of a Monte Carlo study.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).
Bz : sequence of float, or n rows of them, default [0, 0.1]
    Numerator coefficients in ascending powers of z^-1, as for
    ``zFilter``: one row every lane shares, or a two-dimensional array of
    n rows, one per lane.
Az : sequence of float, or n rows of them, default [1, -0.9]
    Denominator coefficients, the same way; the first one of each row
    normalises and must not be 0.
u_ini : float, array of n floats, or None, default None
    Input operating point of each lane; None: the lane's first input
    sample. A list or tuple of n values may hold None for some lanes.
y_ini : float, array of n floats, or None, default None
    Output operating point of each lane; None: the ``y_ini`` argument of
    the lane's first call. May hold None as ``u_ini`` may.

Raises
------
ValueError
    As ``zFilter`` raises for the lanes' coefficients (naming the lanes
    when they have rows of their own), or ``Bz`` or ``Az`` is neither one
    row nor n rows ("Az must be one row of coefficients or 3 rows, one per
    lane, not an array of shape (2, 2)"), or an operating point is neither
    a number nor n values.

See Also
--------
zFilter : one filter; ``bank[i]`` is lane i as a ``zFilter``, and
    ``bank[i] = zfilter`` makes lane i that filter.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``zFilter`` that continues
exactly as lane i would (its coefficients, operating point and filter
state); ``bank[i] = zfilter`` makes lane i that filter. Every lane has the
same state length, max(len(Bz), len(Az)) - 1, and the same kind of
denominator (one coefficient or more): a filter of another kind is
refused with ValueError. Operating points are kept as floats. A bank
pickles and deep-copies, and a copy continues exactly as the original
would.

Examples
--------
Three first-order lags of different poles, around the operating point
(1, 10):

>>> from korvel.algorithm.tfblock import zFilterBank
>>> bank = zFilterBank(3, [[0, 0.1], [0, 0.5], [0, 0.9]],
...                    [[1, -0.9], [1, -0.5], [1, -0.1]], u_ini=1.0, y_ini=10.0)
>>> bank(2.0)
array([10., 10., 10.])
>>> bank(2.0)
array([10.1, 10.5, 10.9])
>>> lane = bank[1]
>>> float(lane(2.0)) == float(bank(2.0)[1])
True
)doc";

inline constexpr const char bank_step[] = R"doc(Filter one input sample of every lane.

A lane without an operating point adopts its sample as ``u_ini`` and its
``y_ini`` argument as the output operating point, as a ``zFilter`` does.

Parameters
----------
Ut : float or array of n floats
    The input sample of each lane.
y_ini : float or array of n floats, default 0.0
    The output operating point to adopt for lanes that have none yet.

Returns
-------
numpy.ndarray
    The output sample of each lane (float64, n values).

Raises
------
ValueError
    ``Ut`` or ``y_ini`` is neither a number nor n values; or some lanes'
    coefficients are refused by the filter (named in the message): those
    lanes adopt their operating point, as a ``zFilter`` does, and no other
    lane steps.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilterBank
>>> bank = zFilterBank(2)
>>> bank([5.0, 1.0], y_ini=[0.0, 3.0])
array([0., 3.])
>>> bank([6.0, 2.0])
array([0., 3.])
>>> bank([6.0, 2.0])
array([0.1, 3.1])
)doc";

inline constexpr const char bank_run[] =
    R"doc(Filter one input sample of every lane; the same as calling the bank.

Parameters
----------
Ut : float or array of n floats
    The input sample of each lane.
y_ini : float or array of n floats, default 0.0
    The output operating point to adopt for lanes that have none yet.

Returns
-------
numpy.ndarray
    The output sample of each lane.

Raises
------
ValueError
    As for calling the bank.

Examples
--------
>>> from korvel.algorithm.tfblock import zFilterBank
>>> bank = zFilterBank(2, u_ini=0.0, y_ini=[0.0, 1.0])
>>> bank.run(1.0), bank.run(1.0)
(array([0., 1.]), array([0.1, 1.1]))
)doc";

inline constexpr const char bank_run_multistep[] =
    R"doc(Filter a sequence of input samples of every lane.

Each lane gives the same outputs as its ``zFilter``'s ``run_multistep``
over its own samples, and continues from, and leaves, the same state.

Parameters
----------
U_arr : array_like of float, shape (m, n) or (m,)
    The input samples, oldest first: samples x lanes, or m samples that
    every lane takes.
y_ini : float or array of n floats, default 0.0
    The output operating point to adopt for lanes that have none yet.

Returns
-------
numpy.ndarray
    The outputs, samples x lanes (float64, shape (m, n)).

Raises
------
ValueError
    ``U_arr`` is neither samples x lanes nor one-dimensional, ``y_ini`` is
    neither a number nor n values, or some lanes' coefficients are refused
    (named).
IndexError
    ``U_arr`` holds no sample while some lanes have no input operating
    point yet (named; nothing changes).

Examples
--------
>>> from korvel.algorithm.tfblock import zFilterBank
>>> bank = zFilterBank(2, u_ini=0.0, y_ini=0.0)
>>> bank.run_multistep([[1.0, 2.0], [1.0, 2.0], [1.0, 2.0]])
array([[0.  , 0.  ],
       [0.1 , 0.2 ],
       [0.19, 0.38]])
>>> bank.run_multistep([1.0, 1.0]).shape
(2, 2)
)doc";

} // namespace korvel::docstrings::tfblock
