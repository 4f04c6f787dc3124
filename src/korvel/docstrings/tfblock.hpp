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
    ``U_arr`` cannot be made into a one-dimensional float array.
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

} // namespace korvel::docstrings::tfblock
