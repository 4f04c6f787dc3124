// Docstrings of korvel.algorithm.tuning.
#pragma once

namespace korvel::docstrings::tuning {

inline constexpr const char module[] =
    R"doc(PID tuning rules from a process model: SIMC and lambda (IMC) tuning.

Both rules take a model entry of a model dictionary (``"mode"``
``"tf_s"``: a constant numerator over at most two real lags, with dead
time, integrating or not) or a fit result of
:mod:`korvel.algorithm.identify`, and return the parameters of the
non-interacting PID of :class:`~korvel.algorithm.loopctl.PID`,
``Kp (1 + 1/(TI s) + TD s / ((TD/N) s + 1))``, as a dict that
``PID.setPIDParam(**result)`` takes.

A negative process gain gives a negative ``KP``: the PID, which always
acts on ``SP - PV``, is then reverse acting (its output falls as the
measurement rises above the set-point), which is what a process whose
CV falls when its MV rises needs.
)doc";

inline constexpr const char simc[] =
    R"doc(PID parameters by Skogestad's SIMC rules.

Parameters
----------
model : mapping
    A ``"tf_s"`` model entry (``num_s``, ``den_s``, ``iodelay_s``,
    ``IntegralMark``), or a fit result holding one under ``"entry"``.
tau_c : float or None, default None
    The desired closed-loop time constant in seconds; the (effective)
    dead time when None, the rule's choice for tight control with good
    robustness.
Ts : float or None, default None
    The controller's sampling period. When given, half a sample is
    added to the dead time: the zero-order hold delays the control
    action by half a sample on average.

Returns
-------
dict
    ``{"KP", "TI", "TD", "N"}``, for ``PID.setPIDParam(**result)``;
    ``N`` is the PID's default 10 (the rules assume an ideal
    derivative).

Raises
------
ValueError
    A model other than ``"tf_s"``, with process zeros, more than one
    integrator or two lags, lags that are not real and positive, a zero
    gain; a negative ``tau_c`` or ``Ts``, or a process without dead
    time and no ``tau_c``; a self-regulating process without lag (it
    calls for integral action alone).
TypeError
    ``model`` not a mapping.
KeyError
    ``num_s`` or ``den_s`` missing.

See Also
--------
lambda_tuning : the IMC rule for first-order and integrating processes.

Notes
-----
The rules of S. Skogestad, "Simple analytic rules for model reduction
and PID controller tuning", J. Process Control 13 (2003) 291-309, with
gain k, lags tau1 >= tau2 and dead time theta (theta + Ts/2 with
``Ts``)::

    k e^(-theta s)/(tau1 s + 1):   Kc = tau1 / (k (tau_c + theta)),
                                   tauI = min(tau1, 4 (tau_c + theta))
    k e^(-theta s)/((tau1 s + 1)(tau2 s + 1)):  as above, and tauD = tau2
    k' e^(-theta s)/s:             Kc = 1 / (k' (tau_c + theta)),
                                   tauI = 4 (tau_c + theta)
    k' e^(-theta s)/(s (tau2 s + 1)):  as above, and tauD = tau2

The rules give the series form ``Kc (1 + 1/(tauI s)) (1 + tauD s)``;
with ``f = 1 + tauD / tauI`` the non-interacting form has
``KP = Kc f``, ``TI = tauI f``, ``TD = tauD / f`` (the same paper).

Examples
--------
>>> from korvel.algorithm.tuning import simc
>>> fopdt = {"mode": "tf_s", "num_s": [2.0], "den_s": [10.0, 1.0], "iodelay_s": 1.0}
>>> simc(fopdt)
{'KP': 2.5, 'TI': 8.0, 'TD': 0.0, 'N': 10.0}
>>> simc(fopdt, tau_c=3.0)["KP"]
1.25

Two lags give derivative action, converted from the series form:

>>> sopdt = {"mode": "tf_s", "num_s": [1.0], "den_s": [20.0, 12.0, 1.0], "iodelay_s": 1}
>>> simc(sopdt)
{'KP': 6.25, 'TI': 10.0, 'TD': 1.6, 'N': 10.0}

An integrating process with a negative gain gets a negative (reverse
acting) controller gain:

>>> level = {"mode": "tf_s", "num_s": [-0.5], "den_s": [1.0], "iodelay_s": 2,
...          "IntegralMark": 1}
>>> simc(level)
{'KP': -0.5, 'TI': 16.0, 'TD': 0.0, 'N': 10.0}
>>> simc(level, Ts=1.0)["TI"]
20.0
)doc";

inline constexpr const char lambda_tuning[] =
    R"doc(PI parameters by lambda (IMC) tuning.

Parameters
----------
model : mapping
    A ``"tf_s"`` model entry of a first-order or integrating process
    with dead time, or a fit result holding one under ``"entry"``.
lam : float or None, default None
    The closed-loop time constant lambda in seconds. When None, three
    dead times, and for a self-regulating process at least its time
    constant (the closed loop no faster than the open loop).
Ts : float or None, default None
    The controller's sampling period; half a sample is then added to
    the dead time, as in ``simc``.

Returns
-------
dict
    ``{"KP", "TI", "TD", "N"}`` with ``TD`` 0 and ``N`` 10.

Raises
------
ValueError
    A model with two lags or an integrating one with a lag, or any
    model ``simc`` refuses; a negative ``lam`` or ``Ts``, or a process
    without dead time with ``lam`` 0.
TypeError
    ``model`` not a mapping.
KeyError
    ``num_s`` or ``den_s`` missing.

See Also
--------
simc : Skogestad's rules, also for two lags.

Notes
-----
With gain k (k' per second for an integrating process), time constant
tau and dead time theta (theta + Ts/2 with ``Ts``)::

    k e^(-theta s)/(tau s + 1):  KP = tau / (k (lambda + theta)), TI = tau
    k' e^(-theta s)/s:           KP = (2 lambda + theta) / (k' (lambda + theta)^2),
                                 TI = 2 lambda + theta

The first is the IMC-PI rule of D. E. Rivera, M. Morari and
S. Skogestad, "Internal model control. 4. PID controller design", Ind.
Eng. Chem. Process Des. Dev. 25 (1986) 252-265; the second the
integrating rule of I.-L. Chien and P. S. Fruehauf, "Consider IMC tuning
to improve controller performance", Chem. Eng. Prog. 86(10) (1990)
33-41.

Examples
--------
>>> from korvel.algorithm.tuning import lambda_tuning
>>> fopdt = {"mode": "tf_s", "num_s": [2.0], "den_s": [10.0, 1.0], "iodelay_s": 1.0}
>>> lambda_tuning(fopdt, lam=4.0)
{'KP': 1.0, 'TI': 10.0, 'TD': 0.0, 'N': 10.0}
>>> level = {"mode": "tf_s", "num_s": [0.5], "den_s": [1.0], "iodelay_s": 2,
...          "IntegralMark": 1}
>>> lambda_tuning(level)
{'KP': 0.4375, 'TI': 14.0, 'TD': 0.0, 'N': 10.0}
)doc";

} // namespace korvel::docstrings::tuning
