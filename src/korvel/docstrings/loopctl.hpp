// Docstrings of korvel.algorithm.loopctl.
#pragma once

namespace korvel::docstrings::loopctl {

inline constexpr const char module[] =
    R"doc(Incremental PID controller block with tracking, feed-forward and output limits.

``PID`` is a single-loop controller in velocity form for a sampled loop:
create one per loop with the loop's sampling period, tune it with
``setPIDParam``, set its output range with ``setOPHighLowLimit`` and call
``run`` once per sampling instant.
)doc";

inline constexpr const char PID[] =
    R"doc(Non-interacting PID controller in incremental (velocity) form.

Each automatic sample adds the increments of the proportional, integral
and derivative terms and of the feed-forward input to the previous output
and limits the result to the output range. Tracking mode makes the output
follow an external tracking value (typically the actual valve command) so
that switching to automatic starts from it without a bump.

A new block has KP 1.0, TI 60.0 s, TD 0.0 s (no derivative action), N 10.0
and the output range 0.0 ... 100.0. Its history is initialised by the first
``run``, whatever the mode.

Parameters
----------
TS : float, default 1.0
    Sampling period in seconds: the time between two ``run`` calls. It is
    stored as given and cannot be changed afterwards.

See Also
--------
run : one sampling step.
setPIDParam, setOPHighLowLimit : tuning and output range.

Notes
-----
The control law is the non-interacting PID form with a first-order filter
on the derivative, acting on the control error e = SP - PV::

    u(s) = KP * (1 + 1/(TI*s) + TD*s / ((TD/N)*s + 1)) * e(s)

discretised with the backward Euler rule 1/s = TS*z/(z - 1) and evaluated
in velocity form. With tau = TD/N, automatic sample k computes::

    dP(k)  = KP * (e(k) - e(k-1))
    dI(k)  = KP*TS/TI * e(k)                             (0 when TI is 0)
    dD(k)  = (tau*dD(k-1) + KP*TD*(e(k) - 2*e(k-1) + e(k-2))) / (tau + TS)
                                                         (0 when TD is 0)
    dFF(k) = FF(k) - FF(k-1)
    OPcal  = OP(k-1) + dP(k) + dI(k) + dD(k) + dFF(k)
    OP(k)  = OPcal limited to [OP_LO, OP_HI]

dD is the increment of the filtered derivative term, whose kick after a
change of the error decays with the time constant tau. Proportional and
derivative action both act on the error, so a set-point step moves the
output through both. Because every increment is added to the previous
limited output, the integral cannot wind up beyond the limits, and
changes of the tuning or of the limits are bumpless.

Examples
--------
A PI controller, one sample per second: the first automatic sample adds
the integral increment KP*TS/TI*e to the tracking value.

>>> from korvel.algorithm.loopctl import PID
>>> pid = PID(TS=1.0)
>>> pid.setPIDParam(KP=0.5, TI=10.0)
>>> pid.run(MODE=0, SP=50.0, PV=40.0, TV=30.0)
30.0
>>> pid.run(MODE=1, SP=50.0, PV=40.0, TV=30.0)
30.5
>>> pid.run(1, 50.0, 42.0, 30.0)
29.9

A filtered derivative: the kick of a step of the error decays with
tau = TD/N = 1 s.

>>> pid = PID()
>>> pid.setPIDParam(KP=2.0, TI=0.0, TD=10.0, N=10.0)
>>> [pid.run(1, 1.0, pv, 50.0) for pv in (0.0, 0.5, 0.5, 0.5)]
[50.0, 44.0, 46.5, 47.75]

No windup: at the limit the increments are added to the limited output,
so the output leaves the limit as soon as the error changes sign.

>>> pid = PID()
>>> pid.setPIDParam(KP=1.0, TI=1.0)
>>> pid.run(1, 10.0, 0.0, 99.0), pid.run(1, 10.0, 0.0, 99.0)
(100.0, 100.0)
>>> pid.run(1, 0.0, 0.0, 99.0)
90.0
)doc";

inline constexpr const char run[] = R"doc(Compute one sample in tracking or automatic mode.

The first call, whatever its mode, first initialises the history from its
SP, PV, TV and FF. In tracking mode the output is TV, limited to the
output range, and the history is initialised again from the unlimited TV,
so that the first automatic sample starts from it without a bump. In
automatic mode the block computes one velocity-form step (``PID_Auto``).

Parameters
----------
MODE : float
    Operating mode: 0 tracking, 1 automatic. It is rounded to the nearest
    integer, halves to the even one (0.5 and 1.5 track, 0.7 is
    automatic); any rounded value other than 1 tracks.
SP : float
    Set-point, in the units of the process value.
PV : float
    Process value (the controlled variable).
TV : float
    Tracking value, typically the actual valve command. It is the output
    in tracking mode and the starting output when automatic mode begins,
    so it must always be supplied correctly; automatic samples after the
    first do not use it.
FF : float, default 0.0
    Feed-forward value: its changes from sample to sample are added to the
    output, so a constant feed-forward adds nothing after the first sample.

Returns
-------
float
    The controller output OP, limited to [OP_LO, OP_HI]. A NaN computed
    output passes the limits unchanged.

Raises
------
TypeError
    An argument is not a real number ("must be real number, not str").
ValueError
    ``MODE`` is NaN ("cannot convert float NaN to integer").
OverflowError
    ``MODE`` is infinite ("cannot convert float infinity to integer").
    With a NaN or infinite mode the first call has already initialised the
    history; the output and the rest of the state are unchanged.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> pid = PID()
>>> pid.run(0, SP=1.0, PV=0.0, TV=120.0)
100.0
>>> pid.getInnerSaveState()["OP"]
120.0
>>> pid.run(1, SP=1.0, PV=0.0, TV=120.0)
100.0
>>> pid.getInnerSaveState()["OPcal"]
120.01666666666667
)doc";

inline constexpr const char PID_Auto[] = R"doc(Compute one automatic sample in velocity form.

Adds the proportional, integral, derivative and feed-forward increments to
the previous output, limits the sum, saves the inner state and advances
the history (see the class notes for the law). ``run`` calls it in
automatic mode; it may be called directly once ``run`` has initialised the
history.

Parameters
----------
SP : float
    Set-point.
PV : float
    Process value.
FF : float, default 0.0
    Feed-forward value.

Returns
-------
float
    The controller output, limited to [OP_LO, OP_HI].

Raises
------
AttributeError
    Called before the first ``run``: the history does not exist yet
    ("'PID' object has no attribute '_et1'"); nothing changes.
TypeError
    An argument is not a real number.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> pid = PID()
>>> pid.run(0, 1.0, 0.0, 10.0)
10.0
>>> pid.PID_Auto(1.0, 0.0, FF=2.0)
12.016666666666666
)doc";

inline constexpr const char setPIDParam[] = R"doc(Set the four tuning parameters at once.

Every parameter left out takes its default, not its current value:
``setPIDParam(KP=2.0)`` also sets TI 60.0, TD 0.0 and N 10.0. The history
is not touched, so retuning between two samples is bumpless. Values below
the lower bounds are raised to them silently; a NaN is stored unchanged.

Parameters
----------
KP : float, default 1.0
    Proportional gain, any sign (zero allowed), not validated.
TI : float, default 60.0
    Integral time in seconds; 0 switches the integral action off. Values
    below 0 become 0.
TD : float, default 0.0
    Derivative time in seconds; 0 switches the derivative action off.
    Values below 0 become 0.
N : float, default 10.0
    Derivative filter factor: the filter time constant is TD/N. Values
    below 1e-6 become 1e-6.

Raises
------
TypeError
    An argument is not a real number.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> pid = PID()
>>> pid.setPIDParam(KP=-2.0, TI=-5.0, N=0.0)
>>> pid.getPIDParam()
(-2.0, 0.0, 0.0, 1e-06)
)doc";

inline constexpr const char getPIDParam[] = R"doc(Return the tuning parameters as stored.

Returns
-------
tuple of float
    (KP, TI, TD, N), after the lower bounds were applied.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> PID().getPIDParam()
(1.0, 60.0, 0.0, 10.0)
)doc";

inline constexpr const char setOPHighLowLimit[] = R"doc(Set the output range.

The limits are accepted when ``OP_HI >= OP_LO`` (equal limits included).
Otherwise, or when either is NaN, the block prints "Error: OP_HI < OP_LO.
Fail to set OP_HI and OP_LO!" on standard output and keeps both previous
limits; it raises nothing. Limits left out take their defaults, not their
current values. The history is not touched.

Parameters
----------
OP_HI : float, default 100.0
    Upper output limit, in the units of the output.
OP_LO : float, default 0.0
    Lower output limit.

Raises
------
TypeError
    An argument is not a real number.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> pid = PID()
>>> pid.setOPHighLowLimit(OP_HI=80)
>>> pid.getOPHighLowLimit()
(80.0, 0.0)
>>> pid.setOPHighLowLimit(0, 100)
Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!
>>> pid.getOPHighLowLimit()
(80.0, 0.0)
)doc";

inline constexpr const char getOPHighLowLimit[] = R"doc(Return the output range.

Returns
-------
tuple of float
    (OP_HI, OP_LO).

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> PID().getOPHighLowLimit()
(100.0, 0.0)
)doc";

inline constexpr const char resetPID[] =
    R"doc(Initialise the history so that the next sample starts from TV.

Sets e(k-1) and e(k-2) to SP - PV, the previous output to TV (not limited),
the previous feed-forward to FF and the previous derivative increment to
0, and saves the inner state with output TV and all increments 0. ``run``
calls it on its first call and on every tracking sample.

Parameters
----------
SP : float
    Set-point.
PV : float
    Process value.
TV : float
    Tracking value: the output the next automatic sample starts from.
FF : float
    Feed-forward value.
)doc";

inline constexpr const char setInnerSaveState[] =
    R"doc(Store the saved inner state of the last sample.

Parameters
----------
OP_save : float
    Output (limited).
OPcal_save : float
    Output before limiting.
dOP_save : float
    Total increment.
dOP_P_save : float
    Proportional increment.
dOP_I_save : float
    Integral increment.
dOP_D_save : float
    Derivative increment.
dFF_save : float
    Feed-forward increment.
)doc";

inline constexpr const char getInnerSaveState[] =
    R"doc(Return the output and the increments of the last sample.

Returns
-------
dict
    A new dict (a snapshot) with the keys, in this order: "OP" (output,
    limited), "OPcal" (output before limiting), "dOP" (total increment),
    "dOP_P", "dOP_I", "dOP_D" (proportional, integral and derivative
    increments) and "dFF" (feed-forward increment). After a tracking
    sample "OP" and "OPcal" hold the unlimited TV and the increments are 0.

Raises
------
AttributeError
    Called before the first ``run`` ("'PID' object has no attribute
    '_OP_save'").

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> pid = PID()
>>> pid.run(1, 1.0, 0.0, 0.0)
0.016666666666666666
>>> pid.run(1, 1.0, 0.0, 0.0)
0.03333333333333333
>>> pid.getInnerSaveState()  # doctest: +NORMALIZE_WHITESPACE
{'OP': 0.03333333333333333, 'OPcal': 0.03333333333333333,
 'dOP': 0.016666666666666666, 'dOP_P': 0.0, 'dOP_I': 0.016666666666666666,
 'dOP_D': 0.0, 'dFF': 0.0}
)doc";

inline constexpr const char getPIDForm[] =
    R"doc(Return the text that describes the control law and the defaults.

Returns
-------
str
    A fixed text, the same for every block whatever its tuning: the name
    of the form, the continuous law, the backward Euler rule and the
    default parameters. It begins with a line break and every line ends
    with one.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> PID().getPIDForm().splitlines()[1]
'Name: Non-Interacting A'
)doc";

inline constexpr const char PIDBank[] =
    R"doc(n PID controllers stepped together, each exactly a ``PID``.

A bank holds n lanes; lane i behaves, sample for sample and to the last
bit, as a ``PID`` driven with lane i's values. Every operation of ``PID``
is here under the same name and with the same arguments; where ``PID``
takes a number, the bank takes a number (every lane takes it) or n values
(one per lane, as NumPy broadcasts them), and it answers with float64
arrays of n values. Use a bank to simulate many loops at once: a tuning
sweep, a Monte Carlo study.

Parameters
----------
n : int
    Number of lanes (exactly an int, at least 0).
TS : float or array of n floats, default 1.0
    Sampling period of each lane in seconds.

See Also
--------
PID : one controller; ``bank[i]`` is lane i as a ``PID``.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``PID`` that continues
exactly as lane i would (its parameters, limits, history and saved
state); ``bank[i] = pid`` makes lane i that controller. A bank pickles and
deep-copies, and a copy continues exactly as the original would.

Examples
--------
Three PI loops that differ in their integral time, all in automatic:

>>> import numpy as np
>>> from korvel.algorithm.loopctl import PIDBank
>>> bank = PIDBank(3, TS=1.0)
>>> bank.setPIDParam(KP=0.5, TI=[5.0, 10.0, 20.0])
>>> bank.run(MODE=0, SP=50.0, PV=40.0, TV=30.0)
array([30., 30., 30.])
>>> bank.run(1, 50.0, 40.0, 30.0)
array([31.  , 30.5 , 30.25])
>>> float(bank[1].run(1, 50.0, 40.0, 30.0)) == float(bank.run(1, 50.0, 40.0, 30.0)[1])
True
)doc";

inline constexpr const char bank_run[] = R"doc(Compute one sample of every lane, in its own mode.

Parameters
----------
MODE : float or array of n floats
    Mode of each lane, as for ``PID.run``: some lanes may track while
    others are automatic.
SP : float or array of n floats
    Set-point of each lane.
PV : float or array of n floats
    Process value of each lane.
TV : float or array of n floats
    Tracking value of each lane.
FF : float or array of n floats, default 0.0
    Feed-forward value of each lane.

Returns
-------
numpy.ndarray
    The output of each lane (float64, n values).

Raises
------
ValueError, OverflowError
    A mode that is NaN (infinite) in some lanes, named in the message:
    those lanes do what a ``PID`` does (a first call still initialises
    their history) and no other lane steps.

Examples
--------
>>> from korvel.algorithm.loopctl import PIDBank
>>> bank = PIDBank(2)
>>> bank.run([0, 1], 50.0, 40.0, 30.0)
array([30.        , 30.16666667])
)doc";

inline constexpr const char bank_PID_Auto[] = R"doc(Compute one automatic sample of every lane.

Parameters
----------
SP : float or array of n floats
    Set-point of each lane.
PV : float or array of n floats
    Process value of each lane.
FF : float or array of n floats, default 0.0
    Feed-forward value of each lane.

Returns
-------
numpy.ndarray
    The output of each lane.

Raises
------
AttributeError
    Some lanes have never run, so they have no history yet (named).

Examples
--------
>>> from korvel.algorithm.loopctl import PIDBank
>>> bank = PIDBank(2)
>>> _ = bank.run(0, 50.0, 40.0, 30.0)
>>> bank.PID_Auto([50.0, 60.0], 40.0)
array([30.16666667, 40.33333333])
)doc";

inline constexpr const char bank_setPIDParam[] = R"doc(Set the tuning parameters of every lane.

Parameters
----------
KP : float or array of n floats, default 1.0
    Proportional gain of each lane.
TI : float or array of n floats, default 60.0
    Integral time of each lane (below 0 stored as 0: no integral action).
TD : float or array of n floats, default 0.0
    Derivative time of each lane (below 0 stored as 0).
N : float or array of n floats, default 10.0
    Derivative filter divisor of each lane (at least 1e-6).

Examples
--------
>>> from korvel.algorithm.loopctl import PIDBank
>>> bank = PIDBank(2)
>>> bank.setPIDParam(KP=[1.0, 2.0], TI=-1.0)
>>> bank.getPIDParam()[1]
array([0., 0.])
)doc";

inline constexpr const char bank_getPIDParam[] = R"doc(Return the tuning parameters of every lane.

Returns
-------
tuple of numpy.ndarray
    (KP, TI, TD, N), one array of n values each, as stored.
)doc";

inline constexpr const char bank_setOPHighLowLimit[] = R"doc(Set the output range of every lane.

Parameters
----------
OP_HI : float or array of n floats, default 100.0
    Upper output limit of each lane.
OP_LO : float or array of n floats, default 0.0
    Lower output limit of each lane.

Notes
-----
A lane whose limits are in the wrong order (or NaN) keeps its previous
limits, as a ``PID`` does; one line names all such lanes:
"Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO! (lanes 0, 2)".

Examples
--------
>>> from korvel.algorithm.loopctl import PIDBank
>>> bank = PIDBank(3)
>>> bank.setOPHighLowLimit([80.0, 10.0, 90.0], [20.0, 50.0, 30.0])
Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO! (lane 1)
>>> bank.getOPHighLowLimit()
(array([ 80., 100.,  90.]), array([20.,  0., 30.]))
)doc";

inline constexpr const char bank_getOPHighLowLimit[] = R"doc(Return the output range of every lane.

Returns
-------
tuple of numpy.ndarray
    (OP_HI, OP_LO), one array of n values each.
)doc";

inline constexpr const char bank_resetPID[] =
    R"doc(Initialise the history of every lane (what tracking does each sample).

Parameters
----------
SP : float or array of n floats
    Set-point of each lane.
PV : float or array of n floats
    Process value of each lane.
TV : float or array of n floats
    Output each lane starts from.
FF : float or array of n floats
    Feed-forward value of each lane.
)doc";

inline constexpr const char bank_setInnerSaveState[] =
    R"doc(Store the saved inner state of every lane.

Parameters
----------
OP_save : float or array of n floats
    Limited output of each lane.
OPcal_save : float or array of n floats
    Unlimited output of each lane.
dOP_save : float or array of n floats
    Output increment of each lane.
dOP_P_save : float or array of n floats
    Proportional increment of each lane.
dOP_I_save : float or array of n floats
    Integral increment of each lane.
dOP_D_save : float or array of n floats
    Derivative increment of each lane.
dFF_save : float or array of n floats
    Feed-forward increment of each lane.
)doc";

inline constexpr const char bank_getInnerSaveState[] =
    R"doc(Return the output of the last sample of every lane and its parts.

Returns
-------
dict
    "OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF", each an array
    of n values.

Raises
------
AttributeError
    Some lanes have never run (named).
)doc";

} // namespace korvel::docstrings::loopctl
