"""Closed-loop study: a PID block on a first-order process with dead time.

The loop starts in tracking mode (the controller follows the valve), switches
to automatic, then sees a set-point step and an unmeasured load disturbance.
"""

from korvel.algorithm.loopctl import PID

TS = 1.0  # s
GAIN, TAU, DEAD = 2.0, 20.0, 3  # process: GAIN / (TAU s + 1), DEAD samples of delay


def simulate(steps: int = 300) -> list[tuple[int, float, float, float]]:
    pid = PID(TS)
    pid.setPIDParam(KP=1.2, TI=18.0, TD=2.0, N=8.0)
    pid.setOPHighLowLimit(100.0, 0.0)
    a = TAU / (TAU + TS)  # backward-Euler lag
    pv, op = 20.0, 10.0
    queue = [op] * DEAD
    rows = []
    for k in range(steps):
        sp = 20.0 if k < 100 else 40.0
        load = 0.0 if k < 200 else -6.0
        mode = 0 if k < 20 else 1
        op = pid.run(mode, sp, pv, 10.0)
        queue.append(op)
        u = queue.pop(0)
        pv = a * pv + (1 - a) * (GAIN * u + load)
        rows.append((k, sp, pv, op))
    return rows


def main() -> None:
    rows = simulate()
    print(f"{'k':>4} {'SP':>7} {'PV':>8} {'OP':>8}")
    for k, sp, pv, op in rows[::25]:
        print(f"{k:>4} {sp:7.2f} {pv:8.3f} {op:8.3f}")
    iae = sum(abs(sp - pv) for _, sp, pv, _ in rows[20:]) * TS
    print(f"IAE after switching to automatic: {iae:.2f}")


if __name__ == "__main__":
    main()
