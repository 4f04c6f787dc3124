"""korvel::zoh, the core's zero-order hold, against scipy.signal.cont2discrete.

Random systems of orders 1-4 (stable, unstable, integrating; Ts from 0.1 to
10) go through the C++ core and through SciPy. The denominator agrees to TOL
of its largest coefficient. So does the numerator, except where SciPy's own
numerator is off: SciPy forms it as a difference of two polynomials of the
size of the denominator, so a numerator small beside the denominator carries
that rounding. The arbiter is the same pipeline in 50-digit decimals from the
doubles SciPy forms; the core must be within REF_TOL of it everywhere, and
match SciPy to GROSS of max(|num|, |den|) where SciPy is the one that is off.
"""

import decimal
import warnings

import numpy as np
import pytest
from core_driver import DRIVE, CoreError, number
from scipy.signal import BadCoefficients, cont2discrete

pytestmark = pytest.mark.skipif(not DRIVE, reason="the C++ driver is built by `make test`")

TOL = 1e-13
REF_TOL = 1e-14  # ours against the 50-digit pipeline: a few ulps
# Where SciPy's num is off by more than TOL itself, ours must still match it
# to this fraction of max(|num|, |den|), the scale of SciPy's rounding: a
# slip in trimming, padding or D would show as a difference near 1.
GROSS = 1e-10

decimal.getcontext().prec = 50
Dec = decimal.Decimal


def random_system(rng):
    n = int(rng.integers(1, 5))
    ts = float(rng.choice([0.1, 0.5, 1.0, 2.0, 10.0]))
    poles = []
    while len(poles) < n:
        u = rng.random()
        if u < 0.1:
            poles.append(0.0)  # integrating
            continue
        mag = np.exp(rng.uniform(np.log(0.02), np.log(5.0))) / ts
        if u < 0.25:
            poles.append(min(mag, 2.0 / ts))  # unstable, growth at most e^2 a sample
        elif u < 0.6 or len(poles) == n - 1:
            poles.append(-mag)
        else:
            z = mag * np.exp(1j * rng.uniform(np.pi / 2, np.pi))
            poles += [z, np.conj(z)]
    den = np.real(np.poly(poles)) * np.exp(rng.uniform(-3.0, 3.0))
    num = rng.normal(size=int(rng.integers(1, n + 2)))
    if rng.random() < 0.15:
        num = np.concatenate([np.zeros(int(rng.integers(1, 3))), num])
    return ts, num, den


def reference(ts, num, den):
    """The zoh pipeline in decimal from the doubles SciPy forms."""
    den = np.trim_zeros(np.asarray(den, float), "f")
    num, den = np.asarray(num, float) / den[0], den / den[0]
    lead = 0
    while lead < len(num) - 1 and abs(num[lead]) <= 1e-14:
        lead += 1
    num = np.concatenate([np.zeros(len(den) - len(num) + lead), num[lead:]])
    d = num[0]
    n = max(len(den) - 1, 1)  # tf2ss gives a static gain one state, A = B = C = 0
    c = num[1:] - d * den[1:] if len(den) > 1 else np.zeros(1)
    em = np.zeros((n + 1, n + 1))
    if len(den) > 1:
        em[0, :n] = -den[1:]
        em[1:n, : n - 1] = np.eye(n - 1)
        em[0, n] = 1.0
    em = ts * em

    def mul(x, y):
        return [
            [sum(x[i][k] * y[k][j] for k in range(len(y))) for j in range(len(y))]
            for i in range(len(x))
        ]

    m = [[Dec(float(v)) for v in row] for row in em]
    norm = max(sum(abs(m[i][j]) for i in range(n + 1)) for j in range(n + 1))
    s = 0
    while norm > Dec("0.5"):
        norm /= 2
        s += 1
    m = [[v / 2**s for v in row] for row in m]
    e = [[Dec(int(i == j)) for j in range(n + 1)] for i in range(n + 1)]
    term = e
    for k in range(1, 40):
        term = [[v / k for v in row] for row in mul(term, m)]
        e = [[a + b for a, b in zip(r, q, strict=False)] for r, q in zip(e, term, strict=False)]
    for _ in range(s):
        e = mul(e, e)

    def charpoly(a):  # Faddeev-LeVerrier; 50 digits absorb its growth here
        p, mk = [Dec(1)], [[Dec(0)] * n for _ in range(n)]
        for k in range(1, n + 1):
            mk = [
                [v + (p[-1] if i == j else 0) for j, v in enumerate(row)]
                for i, row in enumerate(mul(a, mk))
            ]
            am = mul(a, mk)
            p.append(-sum(am[i][i] for i in range(n)) / k)
        return p

    ad = [row[:n] for row in e[:n]]
    an = [[ad[i][j] - e[i][n] * Dec(float(c[j])) for j in range(n)] for i in range(n)]
    pd, pn = charpoly(ad), charpoly(an)
    dd = Dec(float(d))
    return (
        np.array([float(x - y + dd * y) for x, y in zip(pn, pd, strict=False)]),
        np.array([float(y) for y in pd]),
    )


def rel(x, r):
    return (
        float(np.max(np.abs(x - r)) / np.max(np.abs(r))) if np.any(r) else float(np.max(np.abs(x)))
    )


def core_zoh(core, ts, num, den):
    toks = [number(t) for t in core("zoh", float(ts), list(num), list(den)).split()]
    k = toks[0]
    return np.array(toks[1 : 1 + k], float), np.array(toks[2 + k :], float)


def test_zoh_agrees_with_scipy(core):
    rng = np.random.default_rng(20240611)
    systems = [random_system(rng) for _ in range(300)]
    systems += [
        (0.5, np.array([1.0]), np.array([20.0, 1.0, 0.0])),
        (1.0, np.array([0.0, 0.0, 2.0]), np.array([3.0, 1.0])),
        (2.0, np.array([0.0]), np.array([1.0, 2.0, 1.0])),
        (0.5, np.array([3.0]), np.array([0.0, 2.0])),  # a static gain
    ]
    bad = []
    for ts, num, den in systems:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", BadCoefficients)
            sn, sd, _ = cont2discrete((num, den), ts, method="zoh")
        sn = np.ravel(sn)
        on, od = core_zoh(core, ts, num, den)
        rn, rd = reference(ts, num, den)
        assert on.shape == sn.shape and od.shape == sd.shape, (ts, num, den)
        scipy_off = rel(sn, rn) > TOL / 2
        by_scale = float(np.max(np.abs(on - sn)) / max(np.max(np.abs(sn)), np.max(np.abs(sd))))
        num_ok = rel(on, sn) <= TOL or (scipy_off and by_scale <= GROSS)
        if not num_ok or rel(od, sd) > TOL or max(rel(on, rn), rel(od, rd)) > REF_TOL:
            bad.append((ts, list(num), list(den)))
    assert not bad


@pytest.mark.parametrize(
    "num, den",
    [([1.0, 2.0, 3.0], [1.0, 2.0]), ([1.0], [0.0, 0.0]), ([float("nan")], [1.0, 2.0])],
)
def test_zoh_refuses_what_scipy_refuses(core, num, den):
    with pytest.raises(ValueError) as scipy:
        cont2discrete((np.array(num), np.array(den)), 0.5, method="zoh")
    with pytest.raises(CoreError) as ours:
        core("zoh", 0.5, num, den)
    assert str(ours.value) == f"invalid_argument {scipy.value}"
