"""zFilter, sFilter and LDLAG per sample and over long arrays, against the C-builtin
floor and against scipy.signal.lfilter driven the same way."""

import math
import sys
import timeit
from pathlib import Path

import numpy as np
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import ns, table  # noqa: E402

from korvel.algorithm.phaseshaper import LDLAG  # noqa: E402
from korvel.algorithm.tfblock import sFilter, zFilter  # noqa: E402


def interleaved(stmts: dict[str, str], env: dict, number: int, rounds: int) -> dict[str, float]:
    """Best per-call time of each statement, the statements taking turns in every round
    so that a busy moment of the machine hits them alike."""
    timers = {k: timeit.Timer(s, globals=env) for k, s in stmts.items()}
    empty = timeit.Timer("pass")
    best = dict.fromkeys(stmts, math.inf)
    floor = math.inf
    for _ in range(rounds):
        floor = min(floor, empty.timeit(number) / number)
        for k, t in timers.items():
            best[k] = min(best[k], t.timeit(number) / number)
    return {k: v - floor for k, v in best.items()}


def main() -> None:
    f, s, ld = zFilter(), sFilter(), LDLAG()
    for block in (f, s, ld):
        block(1.0)
    b, a = f._Bz, f._Az
    env = {
        "f": f,
        "s": s,
        "ld": ld,
        "fabs": math.fabs,
        "x": 1.0,
        "lfilter": signal.lfilter,
        "b": b,
        "a": a,
        "zi": f._zi.copy(),
    }
    t = interleaved(
        {
            "floor": "fabs(x)",
            "z": "f(x)",
            "s": "s(x)",
            "ld": "ld(x)",
            "zrun": "f.run(x)",
        },
        env,
        number=200_000,
        rounds=15,
    )
    t_scipy = interleaved({"lf": "lfilter(b, a, [x], zi=zi)"}, env, number=5_000, rounds=7)["lf"]

    rows = [("floor: `math.fabs(x)`", ns(t["floor"]), "1.00x", "")]
    for key, label in (
        ("z", "`zFilter(x)`"),
        ("zrun", "`zFilter.run(x)`"),
        ("s", "`sFilter(x)`"),
        ("ld", "`LDLAG(x)`"),
    ):
        rows.append((label, ns(t[key]), f"{t[key] / t['floor']:.2f}x", f"{t_scipy / t[key]:.0f}x"))
    rows.append(("`lfilter(b, a, [x], zi=zi)`", ns(t_scipy), f"{t_scipy / t['floor']:.1f}x", "1x"))

    n = 10**6
    u = np.random.default_rng(0).standard_normal(n)
    ul = u.tolist()
    zf, ldm, sf = zFilter(), LDLAG(), sFilter()
    for block in (zf, ldm, sf):
        block(0.0)
    env2 = {
        "zf": zf,
        "ldm": ldm,
        "sf": sf,
        "u": u,
        "ul": ul,
        "lfilter": signal.lfilter,
        "zb": zf._Bz,
        "za": zf._Az,
        "zzi": zf._zi.copy(),
        "lb": ldm._b,
        "la": ldm._a,
        "lzi": ldm._zi.copy(),
        "sb": sf._zfilter._Bz,
        "sa": sf._zfilter._Az,
        "szi": sf._zfilter._zi.copy(),
    }
    # Arrays and lists apart: building million-item lists disturbs the caches.
    m = interleaved(
        {
            "z": "zf.run_multistep(u)",
            "zl": "lfilter(zb, za, u, zi=zzi)",
            "ld": "ldm.multi_step(u)",
            "ldl": "lfilter(lb, la, u, zi=lzi)",
        },
        env2,
        number=1,
        rounds=21,
    )
    m |= interleaved(
        {"s": "sf.run_multistep(ul)", "sl": "lfilter(sb, sa, ul, zi=szi)"},
        env2,
        number=1,
        rounds=9,
    )
    rows2 = [
        (
            "`zFilter.run_multistep(array)`",
            f"{m['z'] * 1e3:.2f} ms",
            f"{m['zl'] * 1e3:.2f} ms",
            f"{m['z'] / m['zl']:.2f}x",
        ),
        (
            "`LDLAG.multi_step(array)`",
            f"{m['ld'] * 1e3:.2f} ms",
            f"{m['ldl'] * 1e3:.2f} ms",
            f"{m['ld'] / m['ldl']:.2f}x",
        ),
        (
            "`sFilter.run_multistep(list)`",
            f"{m['s'] * 1e3:.2f} ms",
            f"{m['sl'] * 1e3:.2f} ms",
            f"{m['s'] / m['sl']:.2f}x",
        ),
    ]

    print("## Transfer-function and lead-lag filters\n")
    print("One sample per call:\n")
    print(table(rows, ("call", "time per call", "relative to floor", "faster than lfilter")))
    print()
    print(f"{n:,} samples in one call, against `lfilter` with `zi` over the same data:\n")
    print(table(rows2, ("call", "time", "lfilter", "relative to lfilter")))
    print()
    worst = max(t[k] / t["floor"] for k in ("z", "s", "ld"))
    slowest = min(t_scipy / t[k] for k in ("z", "s", "ld"))
    worst_m = max(m["z"] / m["zl"], m["ld"] / m["ldl"], m["s"] / m["sl"])
    print(f"- Per-sample calls are at most {worst:.2f}x the C-builtin floor (target <= 1.5x).")
    print(f"- Per-sample calls are at least {slowest:.0f}x faster than `lfilter` (target >= 100x).")
    print(f"- Whole arrays take at most {worst_m:.2f}x the time of `lfilter` (target <= 1.2x).")


if __name__ == "__main__":
    main()
