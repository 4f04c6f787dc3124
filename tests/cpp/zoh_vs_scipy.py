"""Hold korvel::zoh against scipy.signal.cont2discrete(..., method="zoh").

usage: zoh_vs_scipy.py PATH/TO/zoh_cli

Random systems of orders 1-4 (stable, unstable, integrating, Ts from 0.1 to
10) and a few fixed ones go through the CLI built from zoh_cli.cpp and
through SciPy. Passes when the shapes match; den agrees to TOL of its largest
coefficient; ours is within REF_TOL of the same pipeline run in 50-digit
decimals from the very doubles SciPy forms (normalised coefficients, C and
Ts * [[A, B], [0, 0]]); and num agrees to TOL, except where SciPy's own num
is off the 50-digit value by that much. SciPy forms num as a difference of
two polynomials of the size of den, so a num small beside den carries its
rounding; there ours must still agree to GROSS. Refusals must carry SciPy's
messages.
"""

import decimal
import subprocess
import sys
import warnings

import numpy as np
from scipy.signal import BadCoefficients, cont2discrete

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


def hexs(v):
    return f"{len(v)} " + " ".join(float(x).hex() for x in v)


def parse(line):
    t = line.split()
    k = int(t[0])
    return (
        np.array([float.fromhex(x) for x in t[1 : 1 + k]]),
        np.array([float.fromhex(x) for x in t[2 + k :]]),
    )


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


def main(cli):
    rng = np.random.default_rng(20240611)
    systems = [random_system(rng) for _ in range(300)]
    systems += [
        (0.5, np.array([1.0]), np.array([20.0, 1.0, 0.0])),
        (1.0, np.array([0.0, 0.0, 2.0]), np.array([3.0, 1.0])),
        (2.0, np.array([0.0]), np.array([1.0, 2.0, 1.0])),
        (0.5, np.array([3.0]), np.array([0.0, 2.0])),
    ]  # static gain
    refused = [
        (0.5, np.array([1.0, 2.0, 3.0]), np.array([1.0, 2.0])),
        (0.5, np.array([1.0]), np.array([0.0, 0.0])),
        (0.5, np.array([np.nan]), np.array([1.0, 2.0])),
    ]
    lines = [f"{ts.hex()} {hexs(num)} {hexs(den)}\n" for ts, num, den in systems + refused]
    out = subprocess.run(
        [cli], input="".join(lines), capture_output=True, text=True, check=True
    ).stdout.splitlines()
    assert len(out) == len(lines), out

    worst = dict(
        den=0.0, num=0.0, num_where_scipy_ok=0.0, num_by_scale=0.0, ours_ref=0.0, scipy_ref=0.0
    )
    excused, bad = 0, []
    for (ts, num, den), line in zip(systems, out, strict=False):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", BadCoefficients)
            sn, sd, _ = cont2discrete((num, den), ts, method="zoh")
        sn = np.ravel(sn)
        on, od = parse(line)
        rn, rd = reference(ts, num, den)
        if on.shape != sn.shape or od.shape != sd.shape:
            bad.append((ts, list(num), list(den), "shape", line))
            continue
        e_num, e_den = rel(on, sn), rel(od, sd)
        e_ref = max(rel(on, rn), rel(od, rd))
        scipy_err = rel(sn, rn)
        by_scale = float(np.max(np.abs(on - sn)) / max(np.max(np.abs(sn)), np.max(np.abs(sd))))
        for key, v in (
            ("num", e_num),
            ("den", e_den),
            ("ours_ref", e_ref),
            ("scipy_ref", max(scipy_err, rel(sd, rd))),
            ("num_by_scale", by_scale),
        ):
            worst[key] = max(worst[key], v)
        if scipy_err <= TOL / 2:
            worst["num_where_scipy_ok"] = max(worst["num_where_scipy_ok"], e_num)
        excused += e_num > TOL and scipy_err > TOL / 2
        num_ok = e_num <= TOL or (scipy_err > TOL / 2 and by_scale <= GROSS)
        if not num_ok or e_den > TOL or e_ref > REF_TOL:
            bad.append((ts, list(num), list(den), e_num, e_den, e_ref))

    for (ts, num, den), line in zip(refused, out[len(systems) :], strict=False):
        try:
            cont2discrete((num, den), ts, method="zoh")
            raise AssertionError(f"SciPy took {num} / {den}")
        except ValueError as e:
            assert line == f"error: {e}", (line, str(e))

    print(f"{len(systems)} systems, orders 0-4; errors relative to the largest coefficient")
    print(f"  ours vs SciPy, den:                   {worst['den']:.3g}")
    print(f"  ours vs SciPy, num:                   {worst['num']:.3g}")
    print(f"    where SciPy's num is within {TOL / 2:g}:  {worst['num_where_scipy_ok']:.3g}")
    print(f"    per max(|num|, |den|):              {worst['num_by_scale']:.3g}")
    print(f"  ours vs 50-digit pipeline:            {worst['ours_ref']:.3g}")
    print(f"  SciPy vs 50-digit pipeline:           {worst['scipy_ref']:.3g}")
    print(
        f"  {excused} systems differ from SciPy's num by more than {TOL:g}, each where "
        "SciPy's own num is off the 50-digit value"
    )
    for b in bad:
        print("  FAILED:", b)
    ok = not bad
    print("ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
