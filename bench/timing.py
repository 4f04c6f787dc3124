"""Timing helpers shared by the benchmark scripts."""

import time
from collections.abc import Callable


def per_call(fn: Callable[[], object], number: int = 200_000, repeat: int = 7) -> float:
    """Best per-call time in seconds of `fn()` over `repeat` runs of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def best_of(fn: Callable[[], object], repeat: int) -> float:
    """Best time in seconds of one call of `fn()` over `repeat` calls."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def loop_time(stmt: str, env: dict, number: int = 200_000, repeat: int = 7) -> float:
    """Best per-iteration time of `stmt` run in a compiled loop, minus the empty loop.

    The loop is compiled once, so the measurement holds the call itself and not
    a Python-level wrapper around it.
    """
    import timeit

    t = min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number
    empty = min(timeit.repeat("pass", number=number, repeat=repeat)) / number
    return t - empty


def table(rows: list[tuple[str, ...]], header: tuple[str, ...]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def ns(seconds: float) -> str:
    return f"{seconds * 1e9:.0f} ns"
