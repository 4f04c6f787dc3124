// Docstrings of korvel.algorithm.utilities.
#pragma once

namespace korvel::docstrings::utilities {

inline constexpr const char module[] = R"doc(History shift shared by the delay and trigger blocks.

``dataStore`` pushes the newest sample into the front of a fixed-length
history and moves every older sample one place back. The pure delay and
the on-/off-delay timers keep their histories with it.
)doc";

inline constexpr const char dataStore[] = R"doc(Push a sample into the front of a history, in place.

Every element moves one place back (the oldest, last one is lost) and
``xt`` becomes element 0. The length of the history never changes.

Parameters
----------
xArray : list or numpy.ndarray
    The history, newest sample first: a list, a one-dimensional array of
    any element type or another mutable sequence that supports slicing.
    It is modified in place.
xt : object
    The new sample. An array stores it converted to its element type, as
    NumPy converts it (a float stored in an integer array is truncated).

Raises
------
IndexError
    The history is empty: "list assignment index out of range" for a
    list, NumPy's "index 0 is out of bounds for axis 0 with size 0" for
    an array; nothing changes.
TypeError
    ``xArray`` cannot be sliced or assigned to (a tuple, a str, None).
ValueError
    The array's element type refuses ``xt`` (NumPy's conversion error,
    such as "could not convert string to float: 'x'"); the history has
    already been shifted by then.

See Also
--------
korvel.algorithm.toolbox.dataStore : the same shift, offered with the
    other helpers of the toolbox.

Examples
--------
>>> from korvel.algorithm.utilities import dataStore
>>> history = [0, 0, 0, 0]
>>> for sample in (1, 2, 3):
...     dataStore(history, sample)
>>> history
[3, 2, 1, 0]

An array keeps its element type:

>>> import numpy as np
>>> levels = np.zeros(3)
>>> dataStore(levels, 7)
>>> levels
array([7., 0., 0.])
>>> dataStore([], 1.0)
Traceback (most recent call last):
    ...
IndexError: list assignment index out of range
)doc";

} // namespace korvel::docstrings::utilities
