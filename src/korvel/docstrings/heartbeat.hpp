// Docstrings of korvel.algorithm.heartbeat.
#pragma once

namespace korvel::docstrings::heartbeat {

inline constexpr const char module[] =
    R"doc(Watchdog counter that advances by one per call and wraps around.

A station shows that it is alive by calling its ``WatchDog`` once per
cycle and publishing the value; a supervisor checks that the value keeps
changing, for example with ``korvel.algorithm.flatline.ConstDect``.
)doc";

inline constexpr const char WatchDog[] =
    R"doc(Watchdog counter that advances by one per call and wraps around.

Call it once per cycle with the largest value it should show: with
``MaxOut`` n (n >= 0) successive calls return 1, 2, ..., n, 0, 1, 2, ...
The bound may change from call to call and applies to the next
increment. The counter value lives in the public field ``ticks`` (0 for a
new counter); writing 0 to it restarts the count. The constructor takes
no parameters.

See Also
--------
korvel.algorithm.flatline.ConstDect : the detector that supervises it.

Notes
-----
One call computes::

    ticks = (ticks + 1) mod int(MaxOut + 1)

with the bound truncated toward zero and the floored modulo of Python
(the result takes the sign of the modulus).

Examples
--------
>>> from korvel.algorithm.heartbeat import WatchDog
>>> watchdog = WatchDog()
>>> [watchdog(3) for _ in range(5)]
[1, 2, 3, 0, 1]

Watchdog supervision: the detector answers False while the counter keeps
changing, so the station is alive while ``not detect(...)`` holds. The
first answer is always True, as the detector's window starts full.

>>> from korvel.algorithm.flatline import ConstDect
>>> watchdog, detect = WatchDog(), ConstDect()
>>> [not detect(watchdog(3), DectLen=3) for _ in range(4)]
[False, True, True, True]
>>> [not detect(watchdog.ticks, DectLen=3) for _ in range(3)]
[True, False, False]
)doc";

inline constexpr const char call[] = R"doc(Advance the counter by one, wrapping after ``MaxOut``.

Parameters
----------
MaxOut : float, default 0
    The largest value the counter shows; truncated toward zero (2.7
    counts 1, 2, 0). With the default 0 every call returns 0; a negative
    bound counts through negative values (-3: -1, 0, -1, 0).

Returns
-------
int
    The new counter value, also stored in ``ticks``.

Raises
------
ZeroDivisionError
    ``MaxOut`` is -1 ("integer modulo by zero"); ``ticks`` is unchanged.
TypeError
    ``MaxOut`` is not a number ("can only concatenate str (not "int") to
    str"), or ``ticks`` holds a non-integer ("ticks must be an integer,
    not 'float'"; the new value is stored all the same).

Examples
--------
>>> from korvel.algorithm.heartbeat import WatchDog
>>> watchdog = WatchDog()
>>> watchdog.ticks = 7
>>> watchdog(3), watchdog(10), watchdog(2.7)
(0, 1, 2)
)doc";

inline constexpr const char ticks[] =
    R"doc(Current counter value, an int (0 for a new counter); write 0 to restart the count.
)doc";

} // namespace korvel::docstrings::heartbeat
