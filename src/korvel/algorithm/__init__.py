"""Process-control function blocks: PID, filters, limiters, timers and plant simulators.

An application imports the modules it needs, builds one block object per
function with its tuning parameters (and, where a block integrates,
filters or delays, its sampling period) and calls it once per sampling
instant with the current inputs. A block returns its output and keeps its
own state between calls; nothing runs on its own, and blocks share no
state.

See Also
--------
korvel.algorithm.loopctl : ``PID``, incremental PID controller with tracking
    and feed-forward.
korvel.algorithm.toolbox : ``c2d`` (discretisation with dead time), tag paths,
    breakpoint text, time stamps and the history shift.
korvel.algorithm.tfblock : ``zFilter`` and ``sFilter``, discrete and continuous
    transfer functions.
korvel.algorithm.phaseshaper : ``LDLAG``, lead-lag filter with bumpless
    parameter changes.
korvel.algorithm.clampwind : anti-windup limiter.
korvel.algorithm.slewguard : rate limiter.
korvel.algorithm.deadtime : pure delays.
korvel.algorithm.flatline : constant-signal detector.
korvel.algorithm.latches : flip-flop, on- and off-delay timers.
korvel.algorithm.heartbeat : watchdog counter.
korvel.algorithm.excite : random two-level test signal.
korvel.algorithm.plantmodels : MIMO process simulation from transfer
    functions and step responses.
korvel.algorithm.gainsched : linear-parameter-varying blend of local plants.
korvel.algorithm.labbias : soft-sensor bias correction and the
    laboratory-data recorder.
korvel.algorithm.identify : model identification from plant-test records.
korvel.algorithm.tuning : SIMC and lambda PID tuning rules.
korvel.algorithm.utilities : the history shift of the delay and trigger
    blocks.

Notes
-----
Sampling periods are in seconds; delays, timers, windows and counters
count calls (samples); rates are in units per minute; wall-clock times
are seconds since the epoch. Every operation takes its arguments by
position or by name. A call with too few or too many positional
arguments, an unknown keyword or a keyword repeating a positional
argument raises TypeError ("run() takes at least 5 positional arguments
(2 given)", "run() got an unexpected keyword argument 'x'", "run() got
multiple values for keyword argument 'SP'"); the counts include ``self``.
An argument documented as exactly an int, str, dict, list, tuple or float
must have that very type (a bool is not an int) and is otherwise refused
with TypeError "Argument 'N' has incorrect type (expected int, got
float)"; other number arguments accept anything float() converts.

Examples
--------
>>> from korvel.algorithm.loopctl import PID
>>> from korvel.algorithm.tfblock import sFilter
>>> plant = sFilter([2.0], [10.0, 1.0], Ts=1, u_ini=0.0, y_ini=0.0)
>>> pid = PID(TS=1.0)
>>> pid.setPIDParam(KP=0.5, TI=10.0)
>>> pv = 0.0
>>> for _ in range(300):
...     op = pid.run(1, SP=20.0, PV=pv, TV=0.0)
...     pv = plant(op)
>>> round(pv, 3)
20.0
"""

# The package's one version: the build reads it from here into the metadata.
__version__ = "0.1.0"
