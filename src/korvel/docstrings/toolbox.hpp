// Docstrings of korvel.algorithm.toolbox.
#pragma once

namespace korvel::docstrings::toolbox {

inline constexpr const char module[] =
    R"doc(Discretisation with dead time, nested tag paths, breakpoint strings and time stamps.

``c2d`` turns a continuous transfer function with an input-output dead
time into a discrete one at a sampling period, the dead time built into
the numerator as whole samples. ``dict2pairs`` and ``pair2dict`` move
between nested dictionaries (loop -> group -> signal -> value) and
dotted tag paths such as 'Loop1.data.SP'. ``str2xpyp`` reads a breakpoint
table written as one line of text, ``current_time_str`` gives a local
time stamp and ``dataStore`` pushes a sample into a fixed-length history.
All are stateless functions.
)doc";

inline constexpr const char c2d[] = R"doc(Discretise a continuous transfer function with dead time.

Gs(s) = Gs_num(s)/Gs_den(s) * exp(-Gs_delay*s) becomes a discrete transfer
function at the sampling period ``Ts``, whose numerator starts with the
dead time as whole samples of zeros, so that a plain discrete filter
(coefficients in ascending powers of z^-1) reproduces the delay.

Parameters
----------
Gs_num : sequence of float
    Continuous numerator, descending powers of s. Leading zeros are
    dropped before the discretisation.
Gs_den : sequence of float
    Continuous denominator, descending powers of s.
Gs_delay : float
    Input-output dead time, in the time unit of ``Ts`` (seconds).
Ts : float, default 1
    Sampling period in seconds.
method : str, default 'zoh'
    Discretisation method, as ``scipy.signal.cont2discrete`` names them
    ('zoh', 'foh', 'bilinear', 'euler', 'backward_diff', 'impulse'). The
    dead-time handling is the same for every method.

Returns
-------
Gd_num : numpy.ndarray
    d zeros followed by the discretised numerator, as float64, where d is
    the dead time in samples. For a proper function of order n it has
    d + n + 1 coefficients.
Gd_den : numpy.ndarray
    The discretised denominator, normalised to a leading 1.

Raises
------
IndexError
    The numerator has no non-zero coefficient ("index 0 is out of bounds
    for axis 0 with size 0").
ValueError
    The function is improper ("Improper transfer function. `num` is longer
    than `den`."), the method is unknown ("Unknown transformation method
    'xyz'") or needs the parameter alpha ('gbt'), a coefficient sequence is
    not numeric or not one-dimensional ("Gs_num must be one-dimensional"),
    the dead time is NaN ("cannot convert float NaN to integer") or it
    rounds to a negative number of samples ("negative dimensions are not
    allowed").
ZeroDivisionError
    ``Ts`` is 0 ("division by zero").
TypeError
    ``Gs_delay`` or ``Ts`` is not a number.

See Also
--------
korvel.algorithm.tfblock.sFilter : a continuous filter without dead time.

Notes
-----
The dead time is rounded to whole samples, never interpolated::

    d = round(Gs_delay / Ts)

with halves going to the even neighbour (0.5 -> 0, 1.5 -> 2, 2.5 -> 2,
3.5 -> 4): a fraction below half a sample is dropped, one above adds a
sample. A dead time that rounds to 0 (-0.4 s at Ts = 1 s) adds nothing.
The discrete function is::

    Gd(z^-1) = z^-d * Bd(z^-1) / Ad(z^-1)

where Bd/Ad is the discretisation of Gs_num/Gs_den. With the zero-order
hold a strictly proper function also gets one sample of lag, so a step at
sample 0 first shows at sample d + 1.

Examples
--------
A first-order lag 4.05/(50 s + 1) with 25 s of dead time, sampled every
second:

>>> from korvel.algorithm.toolbox import c2d
>>> num, den = c2d([4.05], [50, 1], 25, Ts=1)
>>> len(num), num[:25].any(), num[25:].round(6), den.round(6)
(27, np.False_, array([0.      , 0.080195]), array([ 1.      , -0.980199]))

The dead time rounds to whole samples, halves to even:

>>> [len(c2d([1], [1, 1], delay)[0]) - 2 for delay in (0.5, 1.5, 2.5, 2.6)]
[0, 2, 2, 3]
>>> len(c2d([1], [1, 1], 10, Ts=4)[0]) - 2
2
)doc";

inline constexpr const char dict2pairs[] =
    R"doc(Iterate over the (dotted key path, value) pairs of a nested dictionary.

Walks the dictionary depth first, in insertion order, and yields one pair
per leaf: the keys from the top down to the leaf, each as text, joined by
".", and the leaf value as it is (not copied). A value that is a dict is
a branch; an empty branch yields nothing. The pairs are produced lazily:
the dictionary is read while the iterator is consumed.

Parameters
----------
d : dict
    The nested dictionary; exactly a dict.
path : str, default ''
    Prefix for every path; the walk passes it down to the branches.

Returns
-------
iterator of tuple
    (key path, value) pairs; a one-pass iterator.

Raises
------
TypeError
    ``d`` is not a dict ("Argument 'd' has incorrect type (expected dict,
    got list)"); a ``path`` that is not text fails when the first pair is
    formed.
RuntimeError
    The consumer changes a dictionary while it is being walked.

Notes
-----
Keys are not escaped: a key that contains "." gives a path that cannot be
told apart from a deeper one.

Examples
--------
>>> from korvel.algorithm.toolbox import dict2pairs
>>> tags = {"Loop1": {"data": {"SP": 50.0, "PV": 48.2}, "mode": 1}}
>>> list(dict2pairs(tags))
[('Loop1.data.SP', 50.0), ('Loop1.data.PV', 48.2), ('Loop1.mode', 1)]
>>> list(dict2pairs({"x": 1}, "top")), list(dict2pairs({1: {2: "v"}, "e": {}}))
([('top.x', 1)], [('1.2', 'v')])
)doc";

inline constexpr const char pair2dict[] =
    R"doc(Store a (dotted key path, value) pair into a nested dictionary.

Splits the key path at every "." and walks down ``d``, creating an empty
dict for every missing branch (an existing one is descended into), then
stores the value under the last key, replacing whatever was there, a
whole branch included. Consecutive separators give empty keys.

Parameters
----------
pair : tuple
    (key path, value): exactly a tuple of two items, the key path a str.
d : dict
    The nested dictionary to write into, modified in place; exactly a
    dict.

Raises
------
TypeError
    ``pair`` is not a tuple or ``d`` not a dict ("Argument 'pair' has
    incorrect type (expected tuple, got list)"), the key path is not text
    ("Expected str, got int"), or the path runs through an existing leaf
    ("Expected dict, got int"); branches created for the earlier keys of
    that path stay in ``d``.
ValueError
    ``pair`` does not have two items ("too many values to unpack (expected
    2)", "not enough values to unpack (expected 2, got 1)").

Examples
--------
>>> from korvel.algorithm.toolbox import pair2dict
>>> d = {}
>>> pair2dict(("a.b.c", 5), d)
>>> pair2dict(("a.b.d", 6), d)
>>> d
{'a': {'b': {'c': 5, 'd': 6}}}
>>> pair2dict(("a.b", 0), d)
>>> d
{'a': {'b': 0}}

Every pair of ``dict2pairs`` rebuilds the dictionary, when its keys are
text without "." and it has no empty branch:

>>> from korvel.algorithm.toolbox import dict2pairs
>>> tags = {"Loop1": {"SP": 50.0, "PV": 48.2}}
>>> rebuilt = {}
>>> for p in dict2pairs(tags):
...     pair2dict(p, rebuilt)
>>> rebuilt == tags
True
)doc";

inline constexpr const char str2xpyp[] = R"doc(Parse a breakpoint table written as one line of text.

The text holds (x, y) entries separated by "#", x and y separated by ",",
for example '0,0#50,30#100,100'. Entries without a comma, empty ones and
the single character "," are skipped silently; fields after the second
are ignored ('1,2,3' is the pair (1, 2)). Fields are read as float()
reads text: white space around them, exponents, 'nan' and 'inf' are
accepted. The pairs come back sorted by x, each y staying with its x; the
order of equal x values is not defined.

Parameters
----------
s : str
    The breakpoint text; exactly a str.

Returns
-------
xp : list of float
    The x values, ascending.
yp : list of float
    The y values, in the order of ``xp``.

Raises
------
TypeError
    ``s`` is not a str ("Argument 's' has incorrect type (expected str,
    got int)").
ValueError
    A used entry has an empty or non-numeric field ("could not convert
    string to float: 'a'"); nothing is returned.

Examples
--------
>>> from korvel.algorithm.toolbox import str2xpyp
>>> str2xpyp("100,1#0,5#50,3")
([0.0, 50.0, 100.0], [5.0, 3.0, 1.0])
>>> str2xpyp("0,0##7#10,20"), str2xpyp(" 1 , 2 #3,4"), str2xpyp("")
(([0.0, 10.0], [0.0, 20.0]), ([1.0, 3.0], [2.0, 4.0]), ([], []))
>>> import numpy as np
>>> xp, yp = str2xpyp("0,0#50,30#100,100")
>>> float(np.interp(75.0, xp, yp))
65.0
)doc";

inline constexpr const char current_time_str[] =
    R"doc(Return the current local date and time as text.

Returns
-------
str
    The local time as 'YYYY-mm-dd HH:MM:SS' (the time.strftime pattern
    "%Y-%m-%d %H:%M:%S"): 19 characters, 24-hour clock, no fraction of a
    second and no time zone, for example '2024-03-05 07:08:09'.

Examples
--------
>>> import time
>>> from korvel.algorithm.toolbox import current_time_str
>>> stamp = current_time_str()
>>> len(stamp)
19
>>> time.strptime(stamp, "%Y-%m-%d %H:%M:%S").tm_year >= 2024
True
)doc";

inline constexpr const char dataStore[] = R"doc(Push a sample into the front of a history, in place.

Every element moves one place back (the oldest, last one is lost) and
``xt`` becomes element 0; the length of the history never changes.

Parameters
----------
xArray : list or numpy.ndarray
    The history, newest sample first: a list, a one-dimensional array of
    any element type or another mutable sequence that supports slicing.
    It is modified in place.
xt : object
    The new sample. An array stores it converted to its element type, as
    NumPy converts it.

Raises
------
IndexError
    The history is empty ("list assignment index out of range" for a
    list); nothing changes.
TypeError
    ``xArray`` cannot be sliced or assigned to (a tuple, a str, None).
ValueError
    The array's element type refuses ``xt``; the history has already been
    shifted by then.

Examples
--------
>>> from korvel.algorithm.toolbox import dataStore
>>> history = [0, 0, 0, 0]
>>> for sample in (1, 2, 3):
...     dataStore(history, sample)
>>> history
[3, 2, 1, 0]
)doc";

} // namespace korvel::docstrings::toolbox
