"""zFilter, sFilter and LDLAG per sample and over long arrays, against the C-builtin
floor and against scipy.signal.lfilter driven the same way; a zFilterBank and an
LDLAGBank against Python loops over as many zFilters and LDLAGs."""

import math
import sys
import timeit
from pathlib import Path

import numpy as np
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import ns, table  # noqa: E402

from korvel.algorithm.phaseshaper import LDLAG, LDLAGBank  # noqa: E402
from korvel.algorithm.tfblock import sFilter, zFilter, zFilterBank  # noqa: E402


def interleaved(
    stmts: dict[str, str], env: dict, number: int | dict[str, int], rounds: int
) -> dict[str, float]:
    """Best per-call time of each statement, the statements taking turns in every round
    so that a busy moment of the machine hits them alike. `number` is the calls per
    timing, for all statements or for each."""
    timers = {k: timeit.Timer(s, globals=env) for k, s in stmts.items()}
    counts = number if isinstance(number, dict) else dict.fromkeys(stmts, number)
    empty = timeit.Timer("pass")
    best = dict.fromkeys(stmts, math.inf)
    floor = dict.fromkeys(counts.values(), math.inf)
    for _ in range(rounds):
        for c in floor:
            floor[c] = min(floor[c], empty.timeit(c) / c)
        for k, t in timers.items():
            best[k] = min(best[k], t.timeit(counts[k]) / counts[k])
    return {k: v - floor[counts[k]] for k, v in best.items()}


def bank_rows(lanes: int = 10_000) -> tuple[list[tuple[str, ...]], float]:
    """A second-order zFilterBank over `lanes` lanes against a Python loop of one
    zFilter call per lane: time per lane and the ratio, per operation."""
    rng = np.random.default_rng(1)
    b, a = [0.1, 0.2, 0.1], [1.0, -1.2, 0.5]
    # Per-lane coefficients: second-order lags of different poles.
    poles = rng.uniform(0.3, 0.9, lanes)
    A = np.column_stack([np.ones(lanes), -2 * poles, poles**2])
    B = np.column_stack([np.zeros(lanes), (1 - poles) ** 2, np.zeros(lanes)])
    u, U = rng.standard_normal(lanes), rng.standard_normal((16, lanes))
    cases = {
        "call, shared coefficients": (zFilterBank(lanes, b, a), [zFilter(b, a) for _ in u]),
        "call, coefficients per lane": (
            zFilterBank(lanes, B, A),
            [zFilter(B[i], A[i]) for i in range(lanes)],
        ),
    }
    env = {"u": u, "ul": u.tolist(), "U": U, "Ul": U.T.tolist()}
    stmts = {}
    for i, (bank, filters) in enumerate(cases.values()):
        bank(u), [f(x) for f, x in zip(filters, u, strict=True)]  # operating points set
        env |= {f"bank{i}": bank, f"lanes{i}": filters}
        stmts |= {f"bank{i}": f"bank{i}(u)", f"loop{i}": f"for f, x in zip(lanes{i}, ul): f(x)"}
    # 16 samples of every lane in one call, against run_multistep lane by lane.
    env |= {"bankm": cases["call, shared coefficients"][0]}
    env |= {"lanesm": cases["call, shared coefficients"][1]}
    stmts |= {
        "bankm": "bankm.run_multistep(U)",
        "loopm": "for f, x in zip(lanesm, Ul): f.run_multistep(x)",
    }
    # A bank's arrays stay in the cache from one call to the next, as in a
    # simulation that steps it; a loop over the filters has no such luck.
    t = interleaved(stmts, env, {k: 100 if k.startswith("bank") else 3 for k in stmts}, 15)
    rows, worst = [], math.inf
    labels = [*cases, "run_multistep, 16 samples x lanes"]
    for key, label in zip(("0", "1", "m"), labels, strict=True):
        ratio = t[f"loop{key}"] / t[f"bank{key}"]
        worst = min(worst, ratio)
        rows.append(
            (
                label,
                f"{t[f'bank{key}'] / lanes * 1e9:.2f} ns",
                f"{t[f'loop{key}'] / lanes * 1e9:.1f} ns",
                f"{ratio:.0f}x",
            )
        )
    return rows, worst


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
    rng = np.random.default_rng(0)
    u = rng.standard_normal(n)
    ul = u.tolist()
    # FIR (24 taps, lfilter's convolution path) and IIR (second order) filters;
    # LDLAG is first order, or a one-tap pass-through with tao = 0.
    arrays = {
        "zFilter.run_multistep(array), FIR, 24 taps": (
            zFilter(rng.standard_normal(24), [1.0]),
            "run_multistep",
            "u",
        ),
        "zFilter.run_multistep(array), IIR, 2nd order": (
            zFilter([0.1, 0.2, 0.1], [1.0, -1.2, 0.5]),
            "run_multistep",
            "u",
        ),
        "sFilter.run_multistep(list), IIR, 2nd order": (
            sFilter([1.0], [20.0, 9.0, 1.0]),
            "run_multistep",
            "ul",
        ),
        "LDLAG.multi_step(array), IIR, 1st order": (LDLAG(), "multi_step", "u"),
        "LDLAG.multi_step(array), FIR, tao = 0": (LDLAG(tao=0.0), "multi_step", "u"),
    }
    env2 = {"u": u, "ul": ul, "lfilter": signal.lfilter}
    m = {}
    for i, (block, op, data) in enumerate(arrays.values()):
        block(0.0)
        zb = block._zfilter if isinstance(block, sFilter) else block
        b, a = (zb._Bz, zb._Az) if isinstance(block, (zFilter, sFilter)) else (block._b, block._a)
        env2 |= {f"blk{i}": block, f"b{i}": b, f"a{i}": a, f"zi{i}": zb._zi.copy()}
        # Each block against lfilter alone: a million-item allocation of one
        # pair (or a list built) changes what the allocator hands the next.
        pair = {
            f"k{i}": f"blk{i}.{op}({data})",
            f"l{i}": f"lfilter(b{i}, a{i}, {data}, zi=zi{i})",
        }
        m |= interleaved(pair, env2, number=1, rounds=9 if data == "ul" else 21)
    rows2 = [
        (
            f"`{label}`",
            f"{m[f'k{i}'] * 1e3:.2f} ms",
            f"{m[f'l{i}'] * 1e3:.2f} ms",
            f"{m[f'k{i}'] / m[f'l{i}']:.2f}x",
        )
        for i, label in enumerate(arrays)
    ]

    print("## Transfer-function and lead-lag filters\n")
    print("One sample per call:\n")
    print(table(rows, ("call", "time per call", "relative to floor", "faster than lfilter")))
    print()
    print(f"{n:,} samples in one call, against `lfilter` with `zi` over the same data:\n")
    print(table(rows2, ("call", "time", "lfilter", "relative to lfilter")))
    print()
    lanes = 10_000
    rows3, worst_bank = bank_rows(lanes)
    print(f"A second-order `zFilterBank` of {lanes:,} lanes against a Python loop over")
    print(f"{lanes:,} `zFilter` objects (times per lane):\n")
    print(table(rows3, ("operation", "zFilterBank", "loop of zFilter", "bank faster by")))
    print()
    worst = max(t[k] / t["floor"] for k in ("z", "s", "ld"))
    slowest = min(t_scipy / t[k] for k in ("z", "s", "ld"))
    worst_m = max(m[f"k{i}"] / m[f"l{i}"] for i in range(len(arrays)))
    print(f"- Per-sample calls are at most {worst:.2f}x the C-builtin floor (target <= 1.5x).")
    print(f"- Per-sample calls are at least {slowest:.0f}x faster than `lfilter` (target >= 100x).")
    print(f"- Whole arrays take at most {worst_m:.2f}x the time of `lfilter` (target <= 1.1x).")
    print(
        f"- A `zFilterBank` lane costs at least {worst_bank:.0f}x less than a `zFilter` call"
        " in a Python loop (target >= 20x)."
    )
    print()
    bank_section(rng)


def bank_section(rng: np.random.Generator) -> None:
    """One sample of 10,000 lead-lags: a bank against a loop over 10,000 LDLAG calls.
    Lanes of mixed time constants, a few of them pass-throughs (tao = 0)."""
    lanes = 10_000
    alpha = np.where(rng.random(lanes) < 0.5, 0.0, rng.uniform(0.2, 2.0, lanes))
    tao = np.where(rng.random(lanes) < 0.1, 0.0, rng.uniform(1.0, 50.0, lanes))
    bank = LDLAGBank(lanes, alpha, tao)
    blocks = [LDLAG(float(al), float(ta)) for al, ta in zip(alpha, tao, strict=True)]
    x = rng.standard_normal(lanes)
    xl = x.tolist()
    bank(x)
    for f, v in zip(blocks, xl, strict=True):
        f(v)
    env = {"bank": bank, "blocks": blocks, "x": x, "xl": xl}
    t = interleaved(
        {"bank": "bank(x)", "loop": "for f, v in zip(blocks, xl, strict=True): f(v)"},
        env,
        number=20,
        rounds=15,
    )
    ratio = t["loop"] / t["bank"]
    rows = [
        ("`LDLAGBank(x)`, x an array", ns(t["bank"]), f"{t['bank'] / lanes * 1e9:.2f} ns", "1x"),
        (
            "`for f, v in zip(blocks, xl, strict=True): f(v)`",
            ns(t["loop"]),
            f"{t['loop'] / lanes * 1e9:.2f} ns",
            f"{ratio:.0f}x",
        ),
    ]
    print(f"## Lead-lag bank\n\nOne sample of {lanes:,} lanes:\n")
    print(table(rows, ("call", "time", "per lane", "relative to the bank")))
    print()
    print(f"- The bank is {ratio:.0f}x faster per lane than a loop of LDLAG calls (target >= 20x).")


if __name__ == "__main__":
    main()
