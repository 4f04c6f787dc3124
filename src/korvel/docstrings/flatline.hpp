// Docstrings of korvel.algorithm.flatline.
#pragma once

namespace korvel::docstrings::flatline {

inline constexpr const char module[] =
    R"doc(Constant-signal detector over a sliding window of samples.

``ConstDect`` answers, once per sample, whether a signal has stayed flat
over its latest samples. Its main use is the supervision of a watchdog
counter: a counter that keeps changing is never constant, so the
supervised station is alive while the detector answers false.
)doc";

inline constexpr const char ConstDect[] =
    R"doc(Constant-signal detector over a sliding window of samples.

Call the detector once per sample with the new value. It keeps the
latest ``DectLen`` samples and answers True while every two neighbouring
samples of that window differ by less than 1e-6, False while a change
lies inside the window. The constructor takes no parameters; the window
starts empty.

See Also
--------
korvel.algorithm.heartbeat.WatchDog : the counter it is meant to supervise.

Notes
-----
One call appends the sample to the window, fills a window shorter than
``DectLen`` with copies of the sample, then drops the oldest samples
beyond ``DectLen``. The window q[0] ... q[n-1] is constant when::

    |q[i] - q[i-1]| < 1e-6   for every i = 1 ... n-1

(the first sample is also compared with itself, which only a NaN or an
infinite sample fails). A difference of exactly 1e-6 is a change, and a
NaN sample reads as a change while it is inside the window.

Because a short window is filled up with the current sample, the first
call, and every call that lengthens the window, answers True. A step of
the signal is reported (False) by the call that brings it and by the
next ``DectLen - 2`` calls: as long as both levels are inside the window.

Examples
--------
>>> from korvel.algorithm.flatline import ConstDect
>>> detect = ConstDect()
>>> [detect(u, DectLen=3) for u in (1.0, 1.0, 2.0, 2.0, 2.0)]
[True, True, False, False, True]

Differences below 1e-6 count as constant:

>>> detect = ConstDect()
>>> [detect(u, 3) for u in (0.0, 5e-7, 1e-6)]
[True, True, True]

Shortening the window trims the oldest samples in the same call:

>>> detect = ConstDect()
>>> [detect(u) for u in (0.0, 1.0, 1.0, 1.0)]
[True, False, False, False]
>>> detect(1.0, DectLen=3)
True
>>> detect._U_queue
deque([1.0, 1.0, 1.0])
)doc";

inline constexpr const char ConstDect_call[] =
    R"doc(Take one sample and tell whether the signal has stayed constant.

Parameters
----------
Ut : float
    The new sample; any real number.
DectLen : int, default 10
    Window length in samples (calls), at least 1. It may change from
    call to call: a shorter window drops its oldest samples at once, a
    longer one is filled up with ``Ut``.

Returns
-------
bool
    True when every two neighbouring samples of the window differ by
    less than 1e-6 (always True for ``DectLen`` 1).

Raises
------
TypeError
    ``Ut`` is not a real number ("must be real number, not str"), or
    ``DectLen`` is not exactly an int ("Argument 'DectLen' has incorrect
    type (expected int, got float)"; a bool is refused the same way).
IndexError
    ``DectLen`` is 0 ("deque index out of range") or negative ("pop from
    an empty deque"); the window is left empty.
OverflowError
    ``DectLen`` does not fit a 64-bit integer ("int too big to convert").

Examples
--------
>>> from korvel.algorithm.flatline import ConstDect
>>> detect = ConstDect()
>>> detect(5.0, 4), detect(5.0, 4), detect(6.0, 4)
(True, True, False)
>>> detect(6.0, 0)
Traceback (most recent call last):
    ...
IndexError: deque index out of range
)doc";

inline constexpr const char U_queue[] =
    R"doc(The window, oldest sample first, as a new collections.deque.

A copy: changing it does not change the detector.
)doc";

} // namespace korvel::docstrings::flatline
