"""SIMC and lambda tuning: the rules' numbers, their sign and dead-time
conventions, and loops tuned by them on the processes they were tuned for."""

import numpy as np
import pytest

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import MIMOSim
from korvel.algorithm.tuning import lambda_tuning, simc


def tf(num, den, delay=0.0, integrating=0):
    return {"mode": "tf_s", "num_s": num, "den_s": den, "iodelay_s": delay,
            "IntegralMark": integrating}  # fmt: skip


def series(kc, ti, td):
    f = 1 + td / ti
    return {"KP": kc * f, "TI": ti * f, "TD": td / f, "N": 10.0}


@pytest.mark.parametrize(
    ("rule", "model", "kwargs", "expected"),
    [
        # First order, k 2, tau 10, theta 1: tau_c = theta by default.
        (simc, tf([2.0], [10.0, 1.0], 1.0), {}, series(10 / (2 * 2), 8.0, 0.0)),
        (simc, tf([2.0], [10.0, 1.0], 1.0), {"tau_c": 5.0}, series(10 / (2 * 6), 10.0, 0.0)),
        # Half a sample of hold joins the dead time.
        (simc, tf([2.0], [10.0, 1.0], 1.0), {"Ts": 2.0}, series(10 / (2 * 4), 10.0, 0.0)),
        # Two lags 10 and 2 (den 20 s^2 + 12 s + 1), leading numerator zeros ignored.
        (simc, tf([0, 1.0], [20.0, 12.0, 1.0], 1), {}, series(5.0, 8.0, 2.0)),
        # Integrating, with and without a lag; the integrator as IntegralMark or in den.
        (simc, tf([0.5], [1.0], 2.0, 1), {}, series(0.5, 16.0, 0.0)),
        (simc, tf([0.5], [1.0, 0.0], 2.0), {}, series(0.5, 16.0, 0.0)),
        (simc, tf([0.5], [3.0, 1.0], 2.0, 1), {}, series(0.5, 16.0, 3.0)),
        # Negative gains: reverse acting.
        (simc, tf([-2.0], [10.0, 1.0], 1.0), {}, series(-10 / (2 * 2), 8.0, 0.0)),
        (lambda_tuning, tf([2.0], [10.0, 1.0], 1.0), {}, series(10 / (2 * 11), 10.0, 0.0)),
        (lambda_tuning, tf([2.0], [2.0, 1.0], 1.0), {}, series(2 / (2 * 4), 2.0, 0.0)),
        (lambda_tuning, tf([2.0], [10.0, 1.0], 1.0), {"lam": 4.0, "Ts": 1.0},
         series(10 / (2 * 5.5), 10.0, 0.0)),
        (lambda_tuning, tf([-0.5], [1.0], 2.0, 1), {}, series(-14 / (0.5 * 64), 14.0, 0.0)),
    ],
)  # fmt: skip
def test_rules(rule, model, kwargs, expected):
    got = rule(model, **kwargs)
    assert list(got) == ["KP", "TI", "TD", "N"]
    assert got == pytest.approx(expected, rel=1e-12)
    # A fit result serves as well as its entry.
    assert rule({"entry": model, "params": {}}, **kwargs) == got


@pytest.mark.parametrize(
    ("model", "words"),
    [
        (tf([1.0, 1.0], [5.0, 1.0]), "constant numerator"),
        (tf([1.0], [1.0, 1.0, 1.0]), "not real"),
        (tf([1.0], [1.0, 0.0], 1.0, 1), "one integrator"),
        (tf([1.0], [1.0, 3.0, 3.0, 1.0]), "two lags"),
        (tf([1.0], [-5.0, 1.0], 1.0), "stable"),
        (tf([0.0], [5.0, 1.0], 1.0), "constant numerator"),
        (tf([1.0], [1.0], 1.0), "integral action alone"),
        (tf([1.0], [5.0, 1.0], 0.0), "without dead time"),
        (tf([1.0], [5.0, 1.0], -1.0), "dead time must"),
        ({"mode": "stp", "stp": [0, 1]}, "'tf_s' model entry"),
    ],
)
def test_refusals(model, words):
    with pytest.raises(ValueError, match=words):
        simc(model)


def test_lambda_refuses_what_it_does_not_cover():
    with pytest.raises(ValueError, match="first-order or integrating"):
        lambda_tuning(tf([1.0], [20.0, 12.0, 1.0], 1.0))
    with pytest.raises(ValueError, match="first-order or integrating"):
        lambda_tuning(tf([1.0], [3.0, 1.0], 1.0, 1))
    with pytest.raises(ValueError, match="lam must"):
        lambda_tuning(tf([1.0], [3.0, 1.0], 1.0), lam=-1.0)
    with pytest.raises(TypeError, match="model entry or a fit result"):
        simc([1.0, 2.0])
    with pytest.raises(KeyError, match="den_s"):
        simc({"mode": "tf_s", "num_s": [1.0]})


LOOPS = [
    tf([2.0], [20.0, 1.0], 5),
    tf([-1.5], [20.0, 1.0], 3),
    tf([1.0], [20.0 * 6, 26.0, 1.0], 3),
    tf([0.05], [1.0], 4, 1),
    tf([-0.05], [1.0], 4, 1),
]
# Lambda tuning takes one lag at most.
RULES_AND_LOOPS = [(simc, m) for m in LOOPS] + [
    (lambda_tuning, m) for m in LOOPS if len(m["den_s"]) < 3
]


@pytest.mark.parametrize(("rule", "model"), RULES_AND_LOOPS)
def test_tuned_loop_follows_a_set_point_step(rule, model):
    """Driven through the PID block on the process it was tuned for, the loop
    settles on a set-point step without a large overshoot, whatever the sign."""
    pid = PID(TS=1.0)
    pid.setPIDParam(**rule(model, Ts=1.0))
    pid.setOPHighLowLimit(1e6, -1e6)
    plant = MIMOSim({"CV": {"MV": model}}, {"CV": 0.0, "MV": 0.0}, 1)
    pv, op, trace = 0.0, 0.0, []
    for k in range(600):
        op = pid.run(1, 1.0 if k >= 10 else 0.0, pv, op)
        pv = plant({"MV": op})["CV"]
        trace.append(pv)
    trace = np.array(trace)
    assert abs(trace[-50:] - 1.0).max() < 0.01
    # A PI loop on an integrating process overshoots a set-point step by design.
    assert trace.max() < (1.5 if model["IntegralMark"] else 1.35) and trace.min() > -0.05
