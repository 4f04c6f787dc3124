"""PID.run against the C-builtin floor, a pure-Python transcription and simple-pid."""

import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import loop_time, ns, per_call, table  # noqa: E402

from korvel.algorithm.loopctl import PID  # noqa: E402


class PyPID:
    """The incremental PID written plainly in Python, as a user would."""

    def __init__(self, TS=1.0):
        self._iniFlag = True
        self._TS = TS
        self._KP, self._TI, self._TD, self._N = 1.0, 60.0, 0.0, 10.0
        self._OP_HI, self._OP_LO = 100.0, 0.0

    def _resetPID(self, SP, PV, TV, FF):
        self._et1 = SP - PV
        self._et2 = SP - PV
        self._OP1 = TV
        self._FF1 = FF
        self._dOPD1 = 0.0
        self._iniFlag = False
        self._setInnerSaveState(TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0)

    def _setInnerSaveState(self, OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF):
        self._OP_save, self._OPcal_save, self._dOP_save = OP, OPcal, dOP
        self._dOP_P_save, self._dOP_I_save, self._dOP_D_save, self._dFF_save = (
            dOP_P,
            dOP_I,
            dOP_D,
            dFF,
        )

    def run(self, MODE, SP, PV, TV, FF=0.0):
        MODE, SP, PV, TV, FF = float(MODE), float(SP), float(PV), float(TV), float(FF)
        if self._iniFlag:
            self._resetPID(SP, PV, TV, FF)
        if round(MODE) == 1:
            return self.PID_Auto(SP, PV, FF)
        x = self._OP_LO if self._OP_LO > TV else TV
        OP = self._OP_HI if self._OP_HI < x else x
        self._resetPID(SP, PV, TV, FF)
        return OP

    def PID_Auto(self, SP, PV, FF=0.0):
        et = SP - PV
        det = et - self._et1
        ddet = (et - 2 * self._et1) + self._et2
        dOP_P = self._KP * det
        dOP_I = ((self._KP * self._TS) / self._TI) * et if self._TI > 0 else 0.0
        if self._TD > 0:
            tao = self._TD / self._N
            d = max(tao + self._TS, 1e-6)
            dOP_D = (tao * self._dOPD1 + (self._KP * self._TD) * ddet) / d
        else:
            dOP_D = 0.0
        dFF = FF - self._FF1
        dOP = ((dOP_P + dOP_I) + dOP_D) + dFF
        OPcal = dOP + self._OP1
        x = self._OP_LO if self._OP_LO > OPcal else OPcal
        OP = self._OP_HI if self._OP_HI < x else x
        self._setInnerSaveState(OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF)
        self._et2, self._et1, self._OP1, self._FF1, self._dOPD1 = self._et1, et, OP, FF, dOP_D
        return OP


def main() -> None:
    pid, pypid = PID(), PyPID()
    env = {"pid": pid, "pypid": pypid, "hypot": math.hypot}
    rows = []
    t_floor = loop_time("hypot(1.0, 2.0, 3.0, 4.0)", env)
    t_run = loop_time("pid.run(1, 1.0, 0.0, 0.0)", env)
    t_py = loop_time("pypid.run(1, 1.0, 0.0, 0.0)", env)
    rows.append(("floor: `math.hypot(1.0, 2.0, 3.0, 4.0)`", ns(t_floor), "1.00x"))
    rows.append(("`PID.run(1, 1.0, 0.0, 0.0)`", ns(t_run), f"{t_run / t_floor:.2f}x"))
    rows.append(("pure-Python transcription", ns(t_py), f"{t_py / t_floor:.2f}x"))
    try:
        from simple_pid import PID as SimplePID

        sp = SimplePID(1.0, 1.0 / 60.0, 0.0, setpoint=1.0, sample_time=None)
        sp.time_fn = lambda: 0.0  # timing disabled: a constant clock, dt given per call
        env["sp"] = sp
        t_sp = loop_time("sp(0.0, dt=1.0)", env)
        rows.append(("simple-pid `PID.__call__`", ns(t_sp), f"{t_sp / t_floor:.2f}x"))
    except ImportError:
        t_sp = None
    print("## PID\n")
    print(table(rows, ("call", "time per call", "relative to floor")))
    print()
    print(f"- `PID.run` is {t_run / t_floor:.2f}x the C-builtin floor (target <= 1.5x).")
    print(f"- `PID.run` is {t_py / t_run:.1f}x faster than plain Python (target >= 10x).")
    if t_sp is not None:
        print(f"- `PID.run` is {t_sp / t_run:.1f}x faster than simple-pid.")


def bank(lanes: int = 10_000) -> None:
    """PIDBank.run against a Python loop of PID.run calls, per lane: PI loops
    whose gains and integral times differ, all in automatic."""
    import numpy as np

    from korvel.algorithm.loopctl import PIDBank

    rng = np.random.default_rng(1)
    kp, ti = rng.uniform(0.5, 2.0, lanes), rng.uniform(10.0, 100.0, lanes)
    sp, pv = rng.uniform(40.0, 60.0, lanes), rng.uniform(40.0, 60.0, lanes)
    pids_bank = PIDBank(lanes)
    pids_bank.setPIDParam(KP=kp, TI=ti)
    pids = [PID() for _ in range(lanes)]
    for p, k, t in zip(pids, kp.tolist(), ti.tolist(), strict=True):
        p.setPIDParam(KP=k, TI=t)
    sp_l, pv_l = sp.tolist(), pv.tolist()

    def loop():
        for p, s, v in zip(pids, sp_l, pv_l, strict=True):
            p.run(1, s, v, 0.0)

    def step():
        return pids_bank.run(1, sp, pv, 0.0)

    loop()
    step()  # both past their first call
    assert step().tolist() == [
        p.run(1, s, v, 0.0) for p, s, v in zip(pids, sp_l, pv_l, strict=True)
    ]
    t_bank = t_loop = float("inf")
    for _ in range(5):  # alternated, so load from other processes hits both
        t_bank = min(t_bank, per_call(step, number=50, repeat=1))
        t_loop = min(t_loop, per_call(loop, number=1, repeat=1))
    print(f"\n## PIDBank: one step of {lanes:,} lanes\n")
    print(
        table(
            [
                (
                    "`PIDBank.run(1, SP, PV, 0.0)`, gains per lane",
                    f"{t_bank / lanes * 1e9:.2f} ns",
                    f"{t_loop / lanes * 1e9:.1f} ns",
                    f"{t_loop / t_bank:.0f}x",
                )
            ],
            ("step", "bank, per lane", "Python loop of `PID.run`, per lane", "loop / bank"),
        )
    )


if __name__ == "__main__":
    main()
    bank()
