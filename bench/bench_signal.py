"""Signal-conditioning, logic and timing blocks against the C-builtin floor and
pure-Python transcriptions; the Delay's per-call cost against its capacity; the
limiter and delay banks against a Python loop of their scalar blocks."""

import math
import sys
from collections import deque
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import best_of, loop_time, ns, table  # noqa: E402

from korvel.algorithm.clampwind import AntiWindupLimter, AntiWindupLimterBank  # noqa: E402
from korvel.algorithm.deadtime import Delay, Delay_Algorithm, DelayBank  # noqa: E402
from korvel.algorithm.excite import TestSignal  # noqa: E402
from korvel.algorithm.flatline import ConstDect  # noqa: E402
from korvel.algorithm.heartbeat import WatchDog  # noqa: E402
from korvel.algorithm.latches import RStrigger, TOFFtrigger, TONtrigger  # noqa: E402
from korvel.algorithm.slewguard import RateLimit, RateLimitBank  # noqa: E402
from korvel.algorithm.utilities import dataStore  # noqa: E402

# ---- the blocks written plainly in Python, as a user would -------------------


class PyAntiWindup:
    def __init__(self):
        self._u0 = self._y0 = None

    def __call__(self, u, HI=100, LO=0):
        u = float(u)
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            x = LO if LO > u else u
            self._y0 = HI if HI < x else x
        delta_u = u - self._u0
        x = LO if LO > self._y0 + delta_u else self._y0 + delta_u
        y = HI if HI < x else x
        self._u0, self._y0 = u, y
        return y


class PyRateLimit:
    def __init__(self, u_ini, Ts=1):
        self.u_last, self.Ts = float(u_ini), Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        u_last = self.u_last
        rise = abs((PRLimPerMin / 60) * self.Ts)
        fall = -rise if NRLimPerMin is None else -abs((NRLimPerMin / 60) * self.Ts)
        if u_end - u_last >= 0:
            u_out = u_last + rise if (u_end - u_last) > rise else u_end
        else:
            u_out = u_last + fall if (u_end - u_last) < fall else u_end
        self.u_last = u_out
        return float(u_out)


class PyConstDect:
    def __init__(self):
        self._U_queue = deque()

    def __call__(self, Ut, DectLen=10):
        q = self._U_queue
        q.append(Ut)
        while len(q) < DectLen:
            q.append(Ut)
        while len(q) > DectLen:
            q.popleft()
        Udiff = np.abs(np.diff(q, prepend=q[0]))
        return bool(np.where(Udiff < 1e-6, True, False).all())


class PyWatchDog:
    def __init__(self):
        self.ticks = 0

    def __call__(self, MaxOut=0):
        self.ticks = (self.ticks + 1) % int(MaxOut + 1)
        return self.ticks


class PyDelay:
    def __init__(self, max_cache=10000):
        self.max_cache = max_cache
        self._cache = deque(maxlen=max_cache)

    def __call__(self, Ut, nLag=1):
        if not self._cache:
            if Ut is None:
                raise ValueError("Ut is None and cache is empty.")
            self._cache.extend([Ut] * self.max_cache)
        self._cache.appendleft(Ut)
        if 0 <= nLag < self.max_cache:
            return self._cache[nLag]
        raise ValueError(f"nLag must be between 0 and {self.max_cache - 1}, but got {nLag}.")


class PyDelayAlgorithm:
    def __init__(self):
        self.Ut, self.Yt, self.nLag = 0, 0, 1
        self.U_array = np.array([])

    def call(self):
        if self.U_array.size == 0:
            self.U_array = np.array([self.Ut], dtype=float)
        if self.nLag > self.U_array.size - 1:
            pad = np.full(self.nLag + 1 - self.U_array.size, self.U_array[-1])
            self.U_array = np.hstack([self.U_array, pad])
        dataStore(self.U_array, self.Ut)
        self.Yt = self.U_array[self.nLag]


class PyRStrigger:
    def __init__(self):
        self.S, self.R, self.Q, self.nQ = 0, 0, False, True
        self.Q_array = np.array([False])

    def call(self):
        if self.S and not self.R:
            self.Q = True
        elif self.R:
            self.Q = False
        else:
            self.Q = self.Q_array[0]
        dataStore(self.Q_array, self.Q)
        self.nQ = not self.Q


class PyTONtrigger:
    def __init__(self):
        self.Ut, self.Yt, self.DT, self.ET = 0, 0, 3, 0
        self.Ut_array = np.zeros(2, dtype=int)

    def call(self):
        dataStore(self.Ut_array, self.Ut)
        if self.Ut_array[0] == 0:
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET = self.ET - 1
        if self.Ut_array[0] > self.Ut_array[1]:
            self.ET = self.DT - 1
        self.Yt = 0 if self.ET > 0 else 1


class PyTestSignal:
    def __init__(self, SEED=None):
        np.random.seed(SEED)
        self._rand_arr = np.random.randint(10, 91, 10000) / 100
        self._ET, self._amp = 10, 1.0

    def __call__(self, t=None):
        ET, L = self._ET, len(self._rand_arr)
        period_index = t // (2 * ET)
        sw0 = int((2 * ET) * self._rand_arr[period_index % L])
        sw1 = int((2 * ET) * self._rand_arr[(period_index + 1) % L])
        sw2 = int((2 * ET) * self._rand_arr[(period_index + 2) % L])
        tp = t % (2 * ET)
        if tp < sw0:
            n2 = 2 * ET - tp
            return (self._amp, sw0 - tp, n2, n2 + sw1, 4 * ET - tp, 4 * ET - tp + sw2)
        n1 = 2 * ET - tp
        return (-self._amp, n1, n1 + sw1, 4 * ET - tp, 4 * ET - tp + sw2, 6 * ET - tp)


# ---- measurements --------------------------------------------------------------


def main() -> None:
    delay_small, delay_large = Delay(10), Delay(10**6)
    delay_small(0.0)
    delay_large(0.0)
    env = {
        "hypot": math.hypot,
        "x": 1.5,
        "lim": AntiWindupLimter(),
        "pylim": PyAntiWindup(),
        "rl": RateLimit(0.0),
        "pyrl": PyRateLimit(0.0),
        "cd": ConstDect(),
        "pycd": PyConstDect(),
        "wd": WatchDog(),
        "pywd": PyWatchDog(),
        "dl": Delay(),
        "pydl": PyDelay(),
        "da": Delay_Algorithm(),
        "pyda": PyDelayAlgorithm(),
        "rs": RStrigger(),
        "pyrs": PyRStrigger(),
        "ton": TONtrigger(),
        "pyton": PyTONtrigger(),
        "toff": TOFFtrigger(),
        "ts": TestSignal(1),
        "pyts": PyTestSignal(1),
        "small": delay_small,
        "large": delay_large,
    }
    for b in ("da", "pyda"):
        env[b].Ut, env[b].nLag = 1.0, 5
    for b in ("ton", "pyton", "toff"):
        env[b].Ut = 1
    env["rs"].S = env["pyrs"].S = 1
    floors = {
        0: ("`x.is_integer()`", "x.is_integer()"),
        1: ("`abs(x)`", "abs(x)"),
        2: ("`math.hypot(x, x)`", "hypot(x, x)"),
        3: ("`math.hypot(x, x, x)`", "hypot(x, x, x)"),
    }
    cases = [
        ("`AntiWindupLimter(u, HI, LO)`", 3, "lim(1.5, 100.0, 0.0)", "pylim(1.5, 100.0, 0.0)"),
        ("`AntiWindupLimter.run(u, HI, LO)`", 3, "lim.run(1.5, 100.0, 0.0)", None),
        ("`RateLimit(u_end, PR, NR)`", 3, "rl(10.0, 10.0, -10.0)", "pyrl(10.0, 10.0, -10.0)"),
        ("`ConstDect(Ut, DectLen)`", 2, "cd(1.0, 10)", "pycd(1.0, 10)"),
        ("`WatchDog(MaxOut)`", 1, "wd(3)", "pywd(3)"),
        ("`Delay(Ut, nLag)`", 2, "dl(1.0, 5)", "pydl(1.0, 5)"),
        ("`Delay_Algorithm.call()` (nLag 5)", 0, "da.call()", "pyda.call()"),
        ("`RStrigger.call()`", 0, "rs.call()", "pyrs.call()"),
        ("`TONtrigger.call()`", 0, "ton.call()", "pyton.call()"),
        ("`TOFFtrigger.call()`", 0, "toff.call()", None),
        ("`TestSignal(t)`", 1, "ts(123456)", "pyts(123456)"),
    ]
    rows = []
    worst = 0.0
    for label, arity, stmt, py_stmt in cases:
        floor_label, floor_stmt = floors[arity]
        # Floor and block alternate, so load from other processes hits both.
        t_floor = t = math.inf
        for _ in range(5):
            t_floor = min(t_floor, loop_time(floor_stmt, env, number=100_000, repeat=3))
            t = min(t, loop_time(stmt, env, number=100_000, repeat=3))
        worst = max(worst, t / t_floor)
        if py_stmt:
            t_py = loop_time(py_stmt, env, number=20_000, repeat=5)
            py = f"{t_py / t:.1f}x"
        else:
            py = "-"
        rows.append((label, ns(t), floor_label, f"{t / t_floor:.2f}x", py))

    print("## Signal conditioning, logic and timing\n")
    header = ("call", "time per call", "floor (same arity)", "vs floor", "pure Python / block")
    print(table(rows, header))
    print()
    t_small = t_large = math.inf
    for _ in range(5):
        t_small = min(t_small, loop_time("small(1.0, 5)", env, number=100_000, repeat=3))
        t_large = min(t_large, loop_time("large(1.0, 5)", env, number=100_000, repeat=3))
    print(
        f"- `Delay` per call: max_cache 10 {ns(t_small)}, max_cache 10**6 {ns(t_large)} "
        f"(ratio {t_large / t_small:.2f}; constant time whatever the capacity)."
    )
    print(f"- Worst ratio to the floor: {worst:.2f}x (target <= 1.5x).")


LANES = 10_000


def banks() -> None:
    rng = np.random.default_rng(1)
    u, hi, rates = (rng.uniform(*r, LANES) for r in ((-150.0, 150.0), (50.0, 100.0), (10.0, 120.0)))
    u_list, hi_list, rates_list = u.tolist(), hi.tolist(), rates.tolist()
    clamp_bank, clamps = AntiWindupLimterBank(LANES), [AntiWindupLimter() for _ in range(LANES)]
    ramp_bank, ramps = RateLimitBank(LANES, 0.0), [RateLimit(0.0) for _ in range(LANES)]

    def clamp_shared():
        for c, x in zip(clamps, u_list, strict=True):
            c(x, 100.0, 0.0)

    def clamp_lanes():
        for c, x, h in zip(clamps, u_list, hi_list, strict=True):
            c(x, h, 0.0)

    def ramp_shared():
        for r, x in zip(ramps, u_list, strict=True):
            r(x, 60.0)

    def ramp_lanes():
        for r, x, p in zip(ramps, u_list, rates_list, strict=True):
            r(x, p, p)

    cases = [
        ("`AntiWindupLimterBank(u)`, limits shared", lambda: clamp_bank(u), clamp_shared),
        ("`AntiWindupLimterBank(u, HI)`, HI per lane", lambda: clamp_bank(u, hi), clamp_lanes),
        ("`RateLimitBank(u_end)`, rates shared", lambda: ramp_bank(u, 60.0), ramp_shared),
        (
            "`RateLimitBank(u_end, PR, NR)`, rates per lane",
            lambda: ramp_bank(u, rates, rates),
            ramp_lanes,
        ),
    ]
    rows = []
    for label, bank_step, loop in cases:
        # Bank and loop alternate, so load from other processes hits both.
        t_bank = t_loop = math.inf
        for _ in range(5):
            t_bank = min(t_bank, best_of(bank_step, 20))
            t_loop = min(t_loop, best_of(loop, 2))
        rows.append(
            (label, f"{t_bank / LANES * 1e9:.2f} ns", ns(t_loop / LANES), f"{t_loop / t_bank:.0f}x")
        )
    print(f"\n## Limiter banks: one step of {LANES:,} lanes\n")
    header = ("step", "bank, per lane", "Python loop of blocks, per lane", "loop / bank")
    print(table(rows, header))


def delay_banks(capacities: tuple[int, ...] = (10, 100)) -> None:
    """One DelayBank step, a delay per lane, against a Python loop of Delay calls."""
    rows, ratios = [], []
    for capacity in capacities:
        rng = np.random.default_rng(3)
        u = rng.normal(size=LANES)
        lag = rng.integers(0, capacity, size=LANES)
        bank, delays = DelayBank(LANES, capacity), [Delay(capacity) for _ in range(LANES)]
        u_list, lag_list = u.tolist(), lag.tolist()

        def loop(delays=delays, u_list=u_list, lag_list=lag_list):
            for d, x, k in zip(delays, u_list, lag_list, strict=True):
                d(x, k)

        def bank_step(bank=bank, u=u, lag=lag):
            bank(u, lag)

        bank_step()
        loop()
        t_bank = t_loop = math.inf
        for _ in range(5):  # alternated, so load from other processes hits both
            t_bank = min(t_bank, best_of(bank_step, 20))
            t_loop = min(t_loop, best_of(loop, 2))
        ratios.append(t_loop / t_bank)
        rows.append(
            (
                f"`DelayBank(Ut, nLag)`, max_cache {capacity}",
                f"{t_bank / LANES * 1e9:.2f} ns",
                ns(t_loop / LANES),
                f"{t_loop / t_bank:.0f}x",
            )
        )
    print(f"\n## Delay bank: one step of {LANES:,} lanes, a delay per lane\n")
    header = ("step", "bank, per lane", "Python loop of blocks, per lane", "loop / bank")
    print(table(rows, header))
    print(
        "\n- Each lane reads and writes its own history, scattered over memory: the bank "
        "slows as the histories outgrow the cache."
    )


if __name__ == "__main__":
    main()
    banks()
    delay_banks()
