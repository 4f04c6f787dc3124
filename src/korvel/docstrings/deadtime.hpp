// Docstrings of korvel.algorithm.deadtime.
#pragma once

namespace korvel::docstrings::deadtime {

inline constexpr const char module[] = R"doc(Pure (transport) delays by a whole number of samples.

Two independent forms: ``Delay_Algorithm``, driven through its fields
(write ``Ut`` and ``nLag``, call ``call()``, read ``Yt``), and ``Delay``, a
callable block with a bounded history that checks the delay it is given.
In both a delay of 0 returns the current input and a delay of n the input
of n calls earlier; the history is pre-filled with the first input, so the
output equals the first input until real history has accumulated.
)doc";

inline constexpr const char Delay_Algorithm[] = R"doc(Pure delay driven through its fields.

Write the input ``Ut`` and the delay ``nLag`` (in samples), call ``call()``
and read the output ``Yt``. A new block has ``Ut`` 0, ``Yt`` 0, ``nLag`` 1
and an empty history ``U_array``. The history grows to ``nLag`` + 1 samples
when the delay needs it, the missing samples filled with the oldest one
known, and never shrinks; assigning an empty array to ``U_array`` restarts
it. The constructor takes no parameters.

See Also
--------
Delay : the callable form with a bounded, checked history.
korvel.algorithm.utilities.dataStore : the shift of the history.

Notes
-----
One call, with h the history (h[0] newest):

1. an empty history becomes [Ut];
2. if nLag > len(h) - 1, h is extended to nLag + 1 samples with copies of
   its oldest sample;
3. h is shifted one place back and h[0] = Ut;
4. Yt = h[nLag].

The delay is not validated: a negative ``nLag`` selects from the old end
of the history (-1 is the oldest sample).

Examples
--------
>>> from korvel.algorithm.deadtime import Delay_Algorithm
>>> delay = Delay_Algorithm()
>>> outputs = []
>>> for u in (1.0, 2.0, 3.0):
...     delay.Ut = u
...     delay.call()
...     outputs.append(delay.Yt)
>>> outputs
[1.0, 1.0, 2.0]

Lengthening the delay fills the history with its oldest sample:

>>> delay.nLag, delay.Ut = 3, 4.0
>>> delay.call()
>>> delay.Yt, delay.U_array
(2.0, array([4., 3., 2., 2.]))
)doc";

inline constexpr const char da_call[] =
    R"doc(Compute one sample: shift ``Ut`` into the history and set ``Yt``.

``Yt`` becomes the input of ``nLag`` calls ago (the current ``Ut`` for
``nLag`` 0). Returns nothing.

Raises
------
IndexError
    ``nLag`` is below -len(U_array) ("index -3 is out of bounds for axis 0
    with size 1").
TypeError
    ``nLag`` is not an integer ("'float' object cannot be interpreted as
    an integer").
ValueError
    ``Ut`` cannot be stored in the float history ("could not convert
    string to float: 'x'").

Examples
--------
>>> from korvel.algorithm.deadtime import Delay_Algorithm
>>> delay = Delay_Algorithm()
>>> delay.nLag = 2
>>> outputs = []
>>> for u in (1.0, 2.0, 3.0, 4.0):
...     delay.Ut = u
...     delay.call()
...     outputs.append(delay.Yt)
>>> outputs
[1.0, 1.0, 1.0, 2.0]
)doc";

inline constexpr const char Ut[] = R"doc(Input of the next call, written by the caller (default 0).
)doc";

inline constexpr const char Yt[] =
    R"doc(Output of the last call: the input of nLag calls ago (default 0).

A float while the history is a float64 array.
)doc";

inline constexpr const char nLag[] =
    R"doc(Delay in samples (calls), written by the caller (default 1); may change between calls.
)doc";

inline constexpr const char U_array[] =
    R"doc(History, newest input first: element i is the input of i calls ago.

A float64 array, shifted in place by each call and replaced by a longer
one when ``nLag`` needs more history; empty until the first call.
)doc";

inline constexpr const char Delay[] =
    R"doc(Pure delay with a bounded history, called once per sample.

Call it with the input and the delay in samples; it returns the input of
``nLag`` calls ago. The first call fills the whole history with its input,
so the output equals the first input until real history has accumulated.
The delay may change from call to call, from 0 to ``max_cache`` - 1.

Parameters
----------
max_cache : int, default 10000
    Capacity of the history in samples: the longest delay is
    ``max_cache`` - 1. Exactly an int, not negative.

Raises
------
TypeError
    ``max_cache`` is not exactly an int ("Argument 'max_cache' has
    incorrect type (expected int, got float)").
ValueError
    ``max_cache`` is negative ("maxlen must be non-negative").

See Also
--------
Delay_Algorithm : the field-driven form.

Examples
--------
>>> from korvel.algorithm.deadtime import Delay
>>> delay = Delay()
>>> [delay(u) for u in (5, 6, 7)]
[5, 5, 6]
>>> delay(8, nLag=0), delay(9, nLag=3)
(8, 6)

The history holds the samples as given, newest first:

>>> short = Delay(max_cache=3)
>>> [short(u, 2) for u in (1.0, 2.0, 3.0, 4.0)]
[1.0, 1.0, 1.0, 2.0]
>>> short._cache
deque([4.0, 3.0, 2.0], maxlen=3)
)doc";

inline constexpr const char d_call[] =
    R"doc(Take one sample and return the input of ``nLag`` calls ago.

Parameters
----------
Ut : object
    The input sample, stored as given. None is accepted once the history
    is filled, and comes out ``nLag`` calls later.
nLag : int, default 1
    Delay in samples, 0 to ``max_cache`` - 1; exactly an int.

Returns
-------
object
    The input of ``nLag`` calls ago (``Ut`` itself for 0).

Raises
------
ValueError
    The first call has ``Ut`` None ("Ut is None and cache is empty.");
    nothing is stored. Or ``nLag`` is out of range ("nLag must be between
    0 and 9999, but got 10000." for ``max_cache`` 10000); the input has
    been stored all the same, so the next valid call continues seamlessly.
    With ``max_cache`` 0 every call fails this way.
TypeError
    ``nLag`` is not exactly an int ("Argument 'nLag' has incorrect type
    (expected int, got float)").

Examples
--------
>>> from korvel.algorithm.deadtime import Delay
>>> delay = Delay(3)
>>> delay(1.0, 2)
1.0
>>> delay(2.0, 3)
Traceback (most recent call last):
    ...
ValueError: nLag must be between 0 and 2, but got 3.
>>> delay(3.0, 1)
2.0
)doc";

inline constexpr const char cache[] =
    R"doc(The history, newest first, as a new collections.deque with maxlen max_cache.

A copy: changing it does not change the delay. Empty until the first call,
then always full.
)doc";

inline constexpr const char DelayBank[] =
    R"doc(n pure delays stepped together, each exactly a ``Delay`` of floats.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as a ``Delay`` driven with lane i's values. Each lane has its own
capacity, so the delays of a Monte Carlo study over dead times may differ
from lane to lane. Where ``Delay`` takes a number, the bank takes a number
(every lane takes it) or n values (one per lane, as NumPy broadcasts them),
and it answers with float64 arrays of n values. A lane holds floats: the
value a ``Delay`` given that float would hold.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).
max_cache : int or array of n ints, default 10000
    Capacity of each lane's history in samples: the longest delay of lane
    i is ``max_cache[i]`` - 1. Not negative.

Raises
------
ValueError
    Some lane's ``max_cache`` is negative ("maxlen must be non-negative
    (lane 1)").
OverflowError
    Some lane's ``max_cache`` does not fit a 64-bit integer.
MemoryError
    The lanes' histories cannot be reserved: a bank reserves them at
    construction (the memory is taken up only as lanes write it), where a
    ``Delay`` takes its history at its first call.

See Also
--------
Delay : one delay; ``bank[i]`` is lane i as a ``Delay``, and
    ``bank[i] = delay`` makes lane i that delay.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``Delay`` holding lane i's
samples as Python floats, in the same order, so it continues exactly as
the lane would; ``bank[i] = delay`` makes lane i that delay (its capacity
and history), whose samples must all convert to float. A bank pickles and
deep-copies, and a copy continues exactly as the original would. A step
costs the same whatever the capacities: the first sample of a lane stands
for all its older slots, as a ``Delay`` fills them with it.

Examples
--------
Three lanes with dead times of 1, 3 and 7 samples:

>>> from korvel.algorithm.deadtime import DelayBank
>>> bank = DelayBank(3, max_cache=[2, 4, 8])
>>> lags = [1, 3, 7]
>>> bank([1.0, 2.0, 3.0], lags)
array([1., 2., 3.])
>>> bank(10.0, lags)
array([1., 2., 3.])
>>> bank(20.0, nLag=[1, 1, 1])
array([10., 10., 10.])

Each lane is a ``Delay``, and one taken out continues as the lane does:

>>> bank[0]._cache
deque([20.0, 10.0], maxlen=2)
>>> lane = bank[2]
>>> lane(30.0, 7)
3.0
>>> float(bank(30.0, lags)[2])
3.0
)doc";

inline constexpr const char bank_call[] =
    R"doc(Take one sample in every lane and return the inputs of ``nLag`` calls ago.

Parameters
----------
Ut : float or array of n floats
    The input of each lane, as ``numpy.asarray(Ut, dtype=float)`` makes
    it. Not None: a lane holds floats.
nLag : int or array of n ints, default 1
    Delay of each lane in samples, 0 to its ``max_cache`` - 1.

Returns
-------
numpy.ndarray
    The input of ``nLag`` calls ago of each lane (float64, n values).

Raises
------
ValueError
    ``nLag`` is out of range in some lanes, named in the message of the
    first ("nLag must be between 0 and 2, but got 3. (lane 1)"): those
    lanes have stored their input all the same, as a ``Delay`` does, and
    no other lane steps. Or ``Ut`` or ``nLag`` is neither one value nor n.
TypeError
    ``Ut`` is None, or ``nLag`` is not made of ints ("Argument 'nLag' has
    incorrect type (expected int, got float)").

Examples
--------
>>> from korvel.algorithm.deadtime import DelayBank
>>> bank = DelayBank(2, max_cache=3)
>>> bank([1.0, 5.0], nLag=2)
array([1., 5.])
>>> bank([2.0, 6.0], [0, 3])
Traceback (most recent call last):
    ...
ValueError: nLag must be between 0 and 2, but got 3. (lane 1)
>>> bank([3.0, 7.0], [0, 2])
array([3., 5.])
)doc";

inline constexpr const char bank_cache[] =
    R"doc(Every lane's history, newest first, as a tuple of n new float64 arrays.

Lane i's array holds its ``max_cache`` samples once it has taken one, and
none before. A copy: changing it does not change the bank.
)doc";

} // namespace korvel::docstrings::deadtime
