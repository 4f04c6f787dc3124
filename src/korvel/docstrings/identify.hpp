// Docstrings of korvel.algorithm.identify.
#pragma once

namespace korvel::docstrings::identify {

inline constexpr const char module[] =
    R"doc(Process models identified from plant-test records.

``fit_pair`` fits one CV/MV pair, ``fit_process`` every CV of a plant
test from all its MVs at once; both return the model entries a model
dictionary takes, so the result goes straight into
:class:`~korvel.algorithm.plantmodels.MIMOSim` and the tuning rules of
:mod:`korvel.algorithm.tuning`.

The fitted model is the library's own: the transfer function made
discrete with a zero-order hold and its dead time as whole samples, as
``c2d`` and ``MIMOSim`` run it. The fit minimises the output error (the
squared difference between the recorded CV and the model driven by the
recorded MVs from rest), which stays unbiased under measurement noise.
Any excitation serves: steps, the two-level test signal of
:class:`~korvel.algorithm.excite.TestSignal`, several MVs moving at once.
)doc";

inline constexpr const char fit_pair[] =
    R"doc(Fit a model of one CV/MV pair to sampled input and output records.

Parameters
----------
u : array_like
    The MV record, one value per sample.
y : array_like
    The CV record, as long as ``u``.
Ts : float
    Sampling period of the records in seconds (an int or a float; it
    becomes the dead time's unit in the model entry).
kind : str, default 'fopdt'
    The model structure: ``'fopdt'`` (gain, time constant and dead
    time), ``'sopdt'`` (gain, two real time constants and dead time),
    ``'ipdt'`` (integrating: gain in CV units per second per MV unit,
    and dead time) or ``'stp'`` (a step-response table of ``length``
    values).
u0 : float or None, default None
    The MV's initial value, from which deviations count; ``u[0]`` when
    None.
y0 : float or None, default None
    The CV's initial value; ``y[0]`` when None.
delay : int or None, default None
    The dead time in whole samples, searched when None. For ``'stp'``
    a given delay fixes the table's first ``delay`` values at zero;
    otherwise the table carries any dead time itself.
max_delay : int or None, default None
    The largest dead time the search tries, in samples; a tenth of the
    record when None.
length : int or None, default None
    ``'stp'`` only: the table's length in samples. When None, the dead
    time and five time constants of a first-order fit of the same
    records, at least 2 and at most half the record.

Returns
-------
dict
    ``"kind"``; ``"params"``, the parameters by name (``"gain"``,
    ``"tau"`` or ``"tau1"`` and ``"tau2"`` in seconds, largest first,
    ``"dead_time"`` in the unit of ``Ts``; ``"stp"`` for a table);
    ``"stderr"``, their standard errors (the dead time has none: it is
    searched, not estimated); ``"delay"``, the dead time in samples;
    ``"entry"``, the model entry; ``"r2"``, the coefficient of
    determination of the CV's deviations; ``"sigma"``, the residual
    standard deviation; ``"prediction"``, the fitted model's CV
    (absolute values, a float64 array); ``"u0"`` and ``"y0"``.

Raises
------
ValueError
    An unknown ``kind``, records of different lengths, shorter than 4
    samples, or holding values that are not finite; a CV or MV that
    never leaves its initial value; a non-positive ``Ts``; a negative
    ``delay``, ``max_delay`` or ``length``; a ``max_delay`` not below
    the record length; a step table not longer than its ``delay``.
TypeError
    ``kind`` not exactly a str, or ``delay``, ``max_delay``, ``length``
    neither None nor exactly an int.

See Also
--------
fit_process : every CV of a plant test from all its MVs.
korvel.algorithm.tuning.simc : PID parameters for the fitted model.

Notes
-----
The records are taken in deviation form, ``du = u - u0`` and
``dy = y - y0``, and the model starts at rest: the records should begin
while the process is steady at its initial values (a few samples
before the excitation starts).

The models and their zero-order holds, with ``h = Ts``, ``d`` the dead
time in samples and ``p = exp(-h/tau)``::

    fopdt  K e^(-theta s) / (tau s + 1)        y[k] = p y[k-1] + K (1 - p) du[k-1-d]
    sopdt  K e^(-theta s) / ((tau1 s + 1)(tau2 s + 1))
    ipdt   K e^(-theta s) / s                  y[k] = y[k-1] + K h du[k-1-d]
    stp    y[k] = sum_i (s[i] - s[i-1]) du[k-i]

with ``theta = d Ts``. For every dead time tried, SciPy's
``least_squares`` (Levenberg-Marquardt) minimises the sum of squared
output errors over the continuous parameters (time constants through
their logarithms, so they stay positive), with residuals and Jacobian
computed in the compiled core. The search starts from a grid of time
constants and dead times on which the gain follows by linear least
squares, then moves the dead time one sample at a time while the
error falls.

Standard errors are the square roots of the diagonal of
``sigma^2 (J^T J)^-1``, J the Jacobian at the optimum and
``sigma^2 = SSR / (N - p)``, conditional on the dead time found. The
prediction is computed the way ``MIMOSim`` computes it from the entry
(SciPy's ``cont2discrete`` through ``c2d``), so a simulator built from
the entry and driven with ``u`` returns the same values.

Examples
--------
A step test on a first-order process with a 4 s dead time, simulated
without noise:

>>> from korvel.algorithm.identify import fit_pair
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> truth = {"mode": "tf_s", "num_s": [2.0], "den_s": [15.0, 1.0], "iodelay_s": 4}
>>> plant = MIMOSim({"CV": {"MV": truth}}, {"CV": 50.0, "MV": 30.0}, Ts=1)
>>> u = [30.0] * 10 + [35.0] * 100 + [28.0] * 100
>>> y = [plant({"MV": v})["CV"] for v in u]
>>> fit = fit_pair(u, y, Ts=1)
>>> {name: round(value, 4) for name, value in fit["params"].items()}
{'gain': 2.0, 'tau': 15.0, 'dead_time': 4}
>>> fit["entry"]["iodelay_s"], fit["entry"]["IntegralMark"]
(4, 0)
>>> round(fit["r2"], 6)
1.0
)doc";

inline constexpr const char fit_process[] =
    R"doc(Fit every CV of a plant test from all its MVs at once.

Parameters
----------
records : mapping
    Tag to record (array_like), as a plant test logs them; every CV
    and MV tag named below must be there, all of one length.
cv_tags : iterable of str
    The CVs to fit, in the order of the model dictionary.
mv_tags : iterable of str
    The MVs, in the order of the model dictionary.
Ts : float
    Sampling period of the records in seconds.
kinds : str or mapping, default 'fopdt'
    One structure for every pair (see ``fit_pair``), or a mapping CV
    tag to a structure or to a mapping MV tag to structure. A pair
    missing from the mapping, or given ``'none'``, gets no model (the
    entry ``{"mode": "None"}``).
ini_values : mapping or None, default None
    Initial values by tag; a tag not in it (or every tag, when None)
    starts at its record's first value.
max_delay : int or None, default None
    The largest dead time searched, in samples (a tenth of the record
    when None).
length : int or None, default None
    Length of every ``'stp'`` table (see ``fit_pair``).

Returns
-------
dict
    ``"model_dict"``: CV -> MV -> model entry, ready for ``MIMOSim``;
    ``"ini_values"``: the initial values used, CVs then MVs, ready for
    ``MIMOSim`` as well; ``"fits"``: CV -> its fit, a dict of ``"r2"``,
    ``"sigma"``, ``"prediction"`` (as in ``fit_pair``, for the CV with
    all its MVs) and ``"pairs"``: MV -> the pair's ``"kind"``,
    ``"params"``, ``"stderr"``, ``"delay"`` and ``"entry"``.

Raises
------
KeyError
    A tag without a record.
TypeError
    ``records`` or ``kinds`` of the wrong kind, a tag that is not a str.
ValueError
    As ``fit_pair``, for any CV.

See Also
--------
fit_pair : one pair, with the details of the fit.

Notes
-----
A CV's pairs are fitted jointly: the model output is the sum of the
pair models, as ``MIMOSim`` sums them, so MVs that move together (the
test signal on every MV at once) are told apart by their different
signals. The search finds each pair's starting point on the grid
against what the other pairs leave unexplained, twice round, and then
moves each pair's dead time in turn while the joint error falls.

Examples
--------
>>> import numpy as np
>>> from korvel.algorithm.identify import fit_process
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> truth = {"CV": {"A": {"mode": "tf_s", "num_s": [1.5], "den_s": [8.0, 1.0],
...                       "iodelay_s": 2},
...                 "B": {"mode": "tf_s", "num_s": [-0.5], "den_s": [1.0],
...                       "iodelay_s": 3, "IntegralMark": 1}}}
>>> plant = MIMOSim(truth, {"CV": 0.0, "A": 0.0, "B": 0.0}, Ts=1)
>>> a = np.repeat([0.0, 1.0, -1.0, 1.0, 0.0, -1.0, 1.0, 0.0], 40)
>>> b = np.repeat([0.0, 0.0, 1.0, -1.0, 1.0, 1.0, -1.0, -1.0], 40)
>>> cv = [plant({"A": x, "B": z})["CV"] for x, z in zip(a, b)]
>>> result = fit_process({"CV": cv, "A": a, "B": b}, ["CV"], ["A", "B"], 1,
...                      kinds={"CV": {"A": "fopdt", "B": "ipdt"}})
>>> pairs = result["fits"]["CV"]["pairs"]
>>> [round(pairs["A"]["params"]["tau"], 4), pairs["A"]["delay"], pairs["B"]["delay"]]
[8.0, 2, 3]
>>> round(pairs["B"]["params"]["gain"], 4)
-0.5
>>> sim = MIMOSim(result["model_dict"], result["ini_values"], 1)
>>> replay = [sim({"A": x, "B": z})["CV"] for x, z in zip(a, b)]
>>> bool(np.array_equal(replay, result["fits"]["CV"]["prediction"]))
True
)doc";

} // namespace korvel::docstrings::identify
