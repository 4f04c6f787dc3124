// Docstrings of korvel.algorithm.phaseshaper.
#pragma once

namespace korvel::docstrings::phaseshaper {

inline constexpr const char module[] =
    R"doc(First-order lead-lag filter with bumpless parameter changes, and its step trajectory.

``LDLAG`` is the unit-gain lead-lag filter (alpha*tao*s + 1)/(tao*s + 1)
whose parameters may be changed while it runs; ``filter_stp`` gives the
ideal step trajectory of the same filter, and
``positive_parameter_property`` the validated parameter that ``LDLAG``
uses for ``alpha`` and ``tao``.
)doc";

inline constexpr const char LDLAG[] = R"doc(First-order lead-lag filter with unit steady-state gain.

The filter::

    G(s) = (alpha*tao*s + 1) / (tao*s + 1)

starts its unit-step response at alpha and approaches 1 with the time
constant tao: alpha < 1 lags (alpha = 0 is the first-order lag
1/(tao*s + 1)), alpha > 1 leads with overshoot, alpha = 1 passes the
signal through. Call it once per sample. ``alpha`` and ``tao`` may be
assigned at any time; the filter then restarts from its last input and
output, so the output continues without a bump.

Parameters
----------
alpha : float, default 0.0
    Start of the unit-step response (the high-frequency gain), >= 0.
tao : float, default 5.0
    Time constant, in the time unit of ``Ts`` (seconds), >= 0; 0 makes the
    filter pass its input through whatever alpha is.
Ts : int, default 1
    Sampling period in seconds; exactly an int.
u_ini : float or None, default None
    Last input before the first call (the input operating point).
y_ini : float or None, default None
    Last output before the first call (the output operating point). With
    both given the filter starts as if it had last seen them; otherwise
    the first call starts it at rest at its first input, so the first
    output equals the first input.

Raises
------
TypeError
    ``alpha`` or ``tao`` is not a real number ("must be real number, not
    str"), or ``Ts`` is not exactly an int ("Argument 'Ts' has incorrect
    type (expected int, got float)").
ValueError
    No coefficient rule applies: "LDLAG needs tao >= 0, and alpha >= 0
    unless tao is 0". The constructor does not apply the checks of the
    ``alpha`` and ``tao`` properties otherwise.

See Also
--------
filter_stp : the ideal step trajectory of the same filter.

Notes
-----
The filter is discretised with a zero-order hold at Ts. With
e = exp(-Ts/tao) the discrete coefficients (ascending powers of z^-1) are::

    alpha = 0:   b = [1 - e],                a = [1, -e]
    alpha > 0:   b = [alpha, 1 - e - alpha], a = [1, -e]
    tao = 0:     b = [1],                    a = [1]

For alpha = 0 the leading zero of the zero-order-hold numerator is
dropped: the lag reacts to an input change in the same sample, one
sample ahead of ``filter_stp``. One sample computes::

    y(k) = e*y(k-1) + b0*u(k) + b1*u(k-1).

Every call leaves its input and output in ``_u_ini`` and ``_y_ini``; an
effective change of ``alpha`` or ``tao`` recomputes the coefficients and
restarts the state from them, so the next output is
alpha*u + (1 - e - alpha)*u_last + e*y_last with the new parameters.

Examples
--------
A lead-lag with alpha 0.5: the step response starts at 0.5 and follows
the ideal trajectory.

>>> from korvel.algorithm.phaseshaper import LDLAG, filter_stp
>>> lead_lag = LDLAG(alpha=0.5, tao=5)
>>> [round(lead_lag(u), 6) for u in (0.0, 1.0, 1.0, 1.0)]
[0.0, 0.5, 0.590635, 0.66484]
>>> filter_stp(3, 5, 0.5).round(6)
array([0.5     , 0.590635, 0.66484 ])

A lag at rest at 2.0; lengthening its time constant while it runs does
not bump the output:

>>> lag = LDLAG()
>>> lag(2.0)
2.0
>>> lag.tao = 20
>>> round(lag(2.0), 12), round(lag(3.0), 6)
(2.0, 2.048771)
)doc";

inline constexpr const char call[] = R"doc(Filter one input sample.

A filter without a state (no operating point given and no sample seen
yet) first comes to rest at this sample, so its first output equals it.

Parameters
----------
u : float
    The input sample.

Returns
-------
float
    The output sample.

Raises
------
TypeError
    ``u`` is not a real number ("must be real number, not str"); nothing
    changes.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAG
>>> lag = LDLAG(u_ini=0.0, y_ini=1.0)
>>> round(lag(0.0), 6), round(lag(0.0), 6)
(0.818731, 0.67032)
)doc";

inline constexpr const char multi_step[] = R"doc(Filter a sequence of input samples.

Gives the same outputs as single calls over the samples in turn, and
leaves the last input and output in ``_u_ini`` and ``_y_ini``. A filter
without a state first comes to rest at the first sample.

Parameters
----------
u : list or numpy.ndarray of float
    The input samples, oldest first; a one-dimensional sequence.

Returns
-------
numpy.ndarray
    One float64 output per input sample.

Raises
------
IndexError
    ``u`` is empty ("list index out of range" for a list); nothing
    changes.
ValueError
    ``u`` cannot be made into a float array.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAG
>>> lag = LDLAG(tao=5)
>>> lag.multi_step([0.0, 1.0, 1.0, 1.0]).round(6)
array([0.      , 0.181269, 0.32968 , 0.451188])
>>> lag._u_ini, round(lag._y_ini, 6)
(1.0, 0.451188)
)doc";

inline constexpr const char modify_param[] = R"doc(Recompute the coefficients and restart the state.

Discretises the filter for the current ``_alpha``, ``_tao`` and ``_Ts`` and,
when both ``_u_ini`` and ``_y_ini`` are set, restarts the state as if the
filter's last input and output had been those values (otherwise the
state is cleared, and the next sample starts the filter at rest). The
constructor and every effective assignment to ``alpha`` or ``tao`` call it.

Raises
------
ValueError
    "LDLAG needs tao >= 0, and alpha >= 0 unless tao is 0"; nothing
    changes.
)doc";

inline constexpr const char alpha[] =
    R"doc(Start of the unit-step response (high-frequency gain), >= 0.

Assigning a new value recomputes the coefficients and restarts the filter
from its last input and output, without a bump; assigning the current
value changes nothing. An int is stored as an int.

Raises
------
TypeError
    The value is not an int or a float ("alpha must be a (<class 'float'>,
    <class 'int'>)").
ValueError
    The value is negative ("Expected a non-negative value."). A refused
    value changes nothing.
)doc";

inline constexpr const char tao[] =
    R"doc(Time constant in seconds (the time unit of Ts), >= 0; 0 passes the input through.

Assigning a new value recomputes the coefficients and restarts the filter
from its last input and output, without a bump; assigning the current
value changes nothing. An int is stored as an int.

Raises
------
TypeError
    The value is not an int or a float ("tao must be a (<class 'float'>,
    <class 'int'>)").
ValueError
    The value is negative ("Expected a non-negative value."). A refused
    value changes nothing.
)doc";

inline constexpr const char filter_stp[] =
    R"doc(Return the ideal step trajectory of the lead-lag filter.

The sampled response of (alpha*tao*s + 1)/(tao*s + 1) to a step from
``r1`` to ``r2`` at sample 0, with the time constant counted in samples.

Parameters
----------
N : int
    Number of samples; exactly an int.
tao : float
    Time constant in samples; tao <= 0 gives ``r2`` throughout.
alpha : float
    Start of the normalised response.
r1 : float, default 0.0
    Value before the step.
r2 : float, default 1.0
    Value after the step.

Returns
-------
numpy.ndarray
    N float64 samples; an empty array for N <= 0 when tao > 0.

Raises
------
TypeError
    ``N`` is not exactly an int ("Argument 'N' has incorrect type
    (expected int, got float)"), or another argument is not a real number.
ValueError
    ``N`` is negative while tao <= 0 ("negative dimensions are not
    allowed").

Notes
-----
For k = 0 ... N-1::

    y(k) = r1 + (r2 - r1) * (1 - (1 - alpha) * exp(-k/tao))

so the trajectory starts at r1 + (r2 - r1)*alpha and approaches r2.

Examples
--------
>>> from korvel.algorithm.phaseshaper import filter_stp
>>> filter_stp(3, 2, 0.0).round(6)
array([0.      , 0.393469, 0.632121])
>>> filter_stp(4, 5, 0.3, r1=2.0, r2=4.0).round(4)
array([2.6   , 2.8538, 3.0616, 3.2317])
>>> filter_stp(3, 0, 0.3, 2.0, 4.0)
array([4., 4., 4.])
)doc";

inline constexpr const char positive_parameter_property[] =
    R"doc(Make a property that accepts non-negative numbers and recomputes its owner on a change.

The property stores its value in the attribute "_" + ``name`` of the
owning object. An assignment is checked, in this order: the value must be
an instance of ``expected_type``, then not negative; a value that differs
from the stored one is stored as given and the owner's ``_modify_param()``
is called (if that fails, the old value is put back and the error
raised). Assigning the stored value again does nothing.

Parameters
----------
name : str
    The public name; the value lives in "_" + name.
expected_type : type or tuple of type
    The accepted types, as ``isinstance`` takes them.

Returns
-------
property
    The accessor, to be bound as a class attribute.

Raises
------
TypeError
    On assignment, a value of another type ("{name} must be a
    {expected_type}").
ValueError
    On assignment, a negative value ("Expected a non-negative value.").

Examples
--------
>>> from korvel.algorithm.phaseshaper import positive_parameter_property
>>> class Valve:
...     gain = positive_parameter_property("gain", (float, int))
...     def __init__(self):
...         self._gain, self.updates = 1.0, 0
...     def _modify_param(self):
...         self.updates += 1
>>> valve = Valve()
>>> valve.gain = 2
>>> valve.gain = 2
>>> valve.gain, valve.updates
(2, 1)
>>> valve.gain = -1
Traceback (most recent call last):
    ...
ValueError: Expected a non-negative value.
>>> valve.gain = "3"
Traceback (most recent call last):
    ...
TypeError: gain must be a (<class 'float'>, <class 'int'>)
)doc";

inline constexpr const char LDLAGBank[] =
    R"doc(n lead-lag filters stepped together, each exactly an ``LDLAG``.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as an ``LDLAG`` built and driven with lane i's values. Where
``LDLAG`` takes a number, the bank takes a number (every lane takes it)
or n values (one per lane, as NumPy broadcasts them), and it answers with
float64 arrays of n values. Use a bank to filter many signals at once, or
one signal through many time constants.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).
alpha : float or array of n floats, default 0.0
    Start of each lane's unit-step response.
tao : float or array of n floats, default 5.0
    Time constant of each lane, in the time unit of ``Ts``; 0 passes the
    input through.
Ts : int or array of n ints, default 1
    Sampling period of each lane; integers only.
u_ini : float, array of n floats or None, default None
    Last input of each lane before the first call; None for no lane.
y_ini : float, array of n floats or None, default None
    Last output of each lane before the first call; None for no lane.
    Lanes given both start as if they had last seen them; the others start
    at rest at their first input.

Raises
------
TypeError
    ``Ts`` is neither an int nor an array of integers.
ValueError
    A value does not broadcast to n lanes, or some lanes have no
    coefficient rule (the ``LDLAG`` message, naming those lanes).

See Also
--------
LDLAG : one filter; ``bank[i]`` is lane i as an ``LDLAG``.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``LDLAG`` that continues
exactly as lane i would (its parameters, coefficients, state and last
samples); ``bank[i] = ldlag`` makes lane i that filter. A lane takes the
coefficient shapes of a first-order lead-lag only: an ``LDLAG`` whose
``_b`` or ``_a`` were assigned another order is refused. Parameters are
kept as floats and ``Ts`` as a 64-bit integer. A bank pickles and
deep-copies, and a copy continues exactly as the original would.

Examples
--------
One step through three time constants:

>>> from korvel.algorithm.phaseshaper import LDLAGBank
>>> bank = LDLAGBank(3, tao=[2.0, 5.0, 0.0])
>>> bank(0.0)
array([0., 0., 0.])
>>> bank(1.0).round(6)
array([0.393469, 0.181269, 1.      ])
>>> float(bank[1](1.0)) == float(bank(1.0)[1])
True
)doc";

inline constexpr const char bank_call[] = R"doc(Filter one input sample in every lane.

Parameters
----------
u : float or array of n floats
    Input sample of each lane.

Returns
-------
numpy.ndarray
    The output of each lane (float64, n values). Lanes that never ran
    start at rest at their input.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAGBank
>>> bank = LDLAGBank(2, alpha=[0.0, 0.5])
>>> bank([0.0, 0.0])
array([0., 0.])
>>> bank(1.0).round(6)
array([0.181269, 0.5     ])
)doc";

inline constexpr const char bank_modify_param[] =
    R"doc(Recompute every lane's coefficients and restart its state.

As ``LDLAG._modify_param`` lane by lane: each lane's state restarts from
its last input and output (none where they are not known). Where some
lane has no coefficient rule, no lane changes.

Raises
------
ValueError
    The ``LDLAG`` message, naming the lanes without a rule.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAGBank
>>> bank = LDLAGBank(2)
>>> bank(1.0)
array([1., 1.])
>>> bank._modify_param()
>>> bank(1.0)
array([1., 1.])
)doc";

inline constexpr const char bank_alpha[] =
    R"doc(Start of each lane's unit-step response (float64 array of n values).

Assigning a number or n values applies ``LDLAG.alpha``'s rules lane by
lane: lanes given their current value keep everything; the others get new
coefficients and continue from their last input and output without a
bump. Where some lane refuses its value (a negative one: ValueError
"Expected a non-negative value."; no coefficient rule: ValueError), no
lane changes and the message names the lanes; a value that is not a
number is a TypeError for every lane.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAGBank
>>> bank = LDLAGBank(3)
>>> bank.alpha = [0.0, 0.5, 1.0]
>>> bank.alpha
array([0. , 0.5, 1. ])
>>> bank.alpha = [0.2, -1.0, 1.0]
Traceback (most recent call last):
    ...
ValueError: Expected a non-negative value. (lane 1)
)doc";

inline constexpr const char bank_tao[] =
    R"doc(Time constant of each lane (float64 array of n values).

Assigning a number or n values applies ``LDLAG.tao``'s rules lane by lane,
as ``alpha`` does; 0 makes a lane pass its input through.

Examples
--------
>>> from korvel.algorithm.phaseshaper import LDLAGBank
>>> bank = LDLAGBank(2)
>>> bank(2.0)
array([2., 2.])
>>> bank.tao = [20.0, 0.0]
>>> bank(3.0).round(6)
array([2.048771, 3.      ])
)doc";

} // namespace korvel::docstrings::phaseshaper
