"""Closed-loop study built only from korvel.algorithm blocks.

The reference two-by-three process runs as a MIMOSim. Two PID loops start in
tracking and switch to automatic:

- loop 1 controls CV1 with MV2 through a rate limiter and an anti-windup
  limiter;
- loop 2 controls CV2 with MV1 through a rate limiter, with a lead-lag
  feed-forward from the measured disturbance MV2 (loop 1 moves it).

(The diagonal pairing CV1-MV1, CV2-MV2 has a negative relative gain and cannot
be closed with integral action; the study uses the other one.)

The study steps the CV1 set-point and then hits CV1 with an unmeasured
disturbance. The same study runs again on an LPVPlantSim whose gains change
with the working value (CV1). A soft sensor predicts CV2 with a bias; laboratory
samples, recorded to a CSV file by a LabDataRecorder, correct it through a
SoftSensorBiasUpdate.

Prints a table per loop (IAE, overshoot, settling time, final error) and writes
a PNG figure of the trajectories.
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from korvel.algorithm import _reference
from korvel.algorithm.clampwind import AntiWindupLimter
from korvel.algorithm.gainsched import LPVPlantSim
from korvel.algorithm.labbias import LabDataRecorder, SoftSensorBiasUpdate
from korvel.algorithm.loopctl import PID
from korvel.algorithm.phaseshaper import LDLAG
from korvel.algorithm.plantmodels import MIMOSim
from korvel.algorithm.slewguard import RateLimit

# The reference process and its initial values (as floats).
REFERENCE = _reference.process()
INITIAL = {tag: float(v) for tag, v in _reference.initial_values().items()}

TRACKING_UNTIL = 20  # samples in tracking before the loops switch to automatic
SP_STEP_AT, SP_STEP = 60, 4.0  # CV1 set-point step
LOAD_AT, LOAD = 400, -3.0  # unmeasured disturbance on CV1
LAB_EVERY, LAB_DELAY = 45, 12  # laboratory sampling period and analysis delay
EPOCH = 1_767_225_600.0  # the study's clock starts 2026-01-01 00:00:00 UTC


@dataclass
class Trace:
    sp: list[float] = field(default_factory=list)
    pv: list[float] = field(default_factory=list)
    op: list[float] = field(default_factory=list)


@dataclass
class Study:
    name: str
    loops: dict[str, Trace]
    soft: dict[str, list[float]]


def lpv_plant() -> LPVPlantSim:
    """The reference process's LPV bank: gains that change with CV1."""
    return _reference.lpv_bank(INITIAL)


TUNING = {"CV1": (0.03, 2.0), "CV2": (0.3, 80.0)}  # (KP, TI) per loop


def run_study(
    name: str,
    plant: object,
    steps: int,
    csv_dir: Path,
    progress: bool,
    tuning: dict[str, tuple[float, float]] = TUNING,
) -> Study:
    pid1, pid2 = PID(1.0), PID(1.0)
    pid1.setPIDParam(KP=tuning["CV1"][0], TI=tuning["CV1"][1])
    pid2.setPIDParam(KP=tuning["CV2"][0], TI=tuning["CV2"][1])
    pid1.setOPHighLowLimit(40.0, 0.0)
    pid2.setOPHighLowLimit(40.0, 0.0)
    rate1, rate2 = RateLimit(INITIAL["MV2"]), RateLimit(INITIAL["MV1"])
    clamp1 = AntiWindupLimter()
    # CV2 sees MV2 through a fast step response of gain 3 and MV1 through
    # 5.39/(50 s + 1): the decoupler -(3/5.39) (50 s + 1)/(10 s + 1) is a lead.
    feed_forward = LDLAG(alpha=5.0, tao=10.0, Ts=1)
    ff_gain = -3.0 / 5.39

    sensor = SoftSensorBiasUpdate(name=f"{name}-CV2", filter_tao=3.0, const_len=5)
    recorder = LabDataRecorder(name=f"{name}-CV2", const_len=5, csv_dir=str(csv_dir))
    lab_value, lab_time, pending = INITIAL["CV2"], EPOCH, None

    sp1, sp2 = INITIAL["CV1"], INITIAL["CV2"]
    cv = {"CV1": INITIAL["CV1"], "CV2": INITIAL["CV2"]}
    mv = {k: INITIAL[k] for k in ("MV1", "MV2", "MV3")}
    loops = {"CV1": Trace(), "CV2": Trace()}
    soft: dict[str, list[float]] = {"true": [], "raw": [], "corrected": []}

    ticks = range(steps)
    if progress:
        from tqdm import tqdm

        ticks = tqdm(ticks, desc=name, unit="step", leave=False)
    for k in ticks:
        now = EPOCH + k
        mode = 0 if k < TRACKING_UNTIL else 1
        if k == SP_STEP_AT:
            sp1 += SP_STEP

        op1 = pid1.run(mode, sp1, cv["CV1"], mv["MV2"])
        mv["MV2"] = clamp1(rate1(op1, 60), 40.0, 0.0)
        ff = ff_gain * (feed_forward(mv["MV2"]) - INITIAL["MV2"])
        op2 = pid2.run(mode, sp2, cv["CV2"], mv["MV1"], ff)
        mv["MV1"] = rate2(op2, 60)

        disturbance = {"CV1": LOAD} if k >= LOAD_AT else {}
        if isinstance(plant, LPVPlantSim):
            cv = plant(cv["CV1"], mv, disturbance)
        else:
            assert isinstance(plant, MIMOSim)
            cv = plant(mv, disturbance)

        # The soft sensor sees CV2 with a drifting model error; the laboratory
        # result of a sample drawn at k arrives LAB_DELAY samples later.
        raw = cv["CV2"] + 1.5 + 0.002 * k
        if k % LAB_EVERY == 0:
            pending = (cv["CV2"], now, k + LAB_DELAY)
        if pending and k == pending[2]:
            lab_value, lab_time, pending = pending[0], pending[1], None
        recorder.run(lab_value, lab_time)
        bias = sensor.run(raw, lab_value, lab_time, prd_time=now)
        soft["true"].append(cv["CV2"])
        soft["raw"].append(raw)
        soft["corrected"].append(raw + bias)

        for tag, sp, op in (("CV1", sp1, op1), ("CV2", sp2, op2)):
            loops[tag].sp.append(sp)
            loops[tag].pv.append(cv[tag])
            loops[tag].op.append(op)
    return Study(name, loops, soft)


def metrics(trace: Trace) -> tuple[float, float | None, float, float]:
    """IAE in automatic mode; overshoot in % of the set-point step (None for a loop
    whose set-point does not move); settling time of the set-point response
    into a band of 2 % of the step, before the load arrives; final error."""
    err = [sp - pv for sp, pv in zip(trace.sp, trace.pv, strict=True)]
    iae = sum(abs(e) for e in err[TRACKING_UNTIL:])
    step = trace.sp[SP_STEP_AT] - trace.sp[SP_STEP_AT - 1]
    before = trace.sp[SP_STEP_AT - 1]
    window = range(SP_STEP_AT, min(LOAD_AT, len(err)))
    overshoot = None
    if step:
        peak = max((trace.pv[k] - before) / step for k in window)
        overshoot = max(0.0, (peak - 1.0) * 100.0)
    band = 0.02 * abs(step or SP_STEP)
    outside = [k for k in window if abs(err[k]) > band]
    settling = float(outside[-1] + 1 - SP_STEP_AT) if outside else 0.0
    return iae, overshoot, settling, err[-1]


def mean_error(signal: list[float], truth: list[float]) -> float:
    return sum(abs(a - b) for a, b in zip(signal, truth, strict=True)) / len(truth)


def plot(studies: list[Study], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, len(studies), figsize=(6 * len(studies), 9), sharex=True)
    for col, study in enumerate(studies):
        for row, tag in enumerate(("CV1", "CV2")):
            ax = axes[row][col]
            trace = study.loops[tag]
            ax.plot(trace.sp, "k--", lw=1, label=f"SP {tag}")
            ax.plot(trace.pv, lw=1.5, label=tag)
            ax.set_title(f"{study.name}: {tag}")
            ax.grid(True)
            ax.legend(loc="best", fontsize=8)
        ax = axes[2][col]
        for key, style in (("true", "k-"), ("raw", "r:"), ("corrected", "g-")):
            ax.plot(study.soft[key], style, lw=1, label=f"CV2 {key}")
        ax.set_title(f"{study.name}: soft sensor")
        ax.set_xlabel("sample")
        ax.grid(True)
        ax.legend(loc="best", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=900)
    parser.add_argument("--out", type=Path, default=Path("out"))
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    for old in args.out.glob("*_Raw_LabData.csv"):
        old.unlink()

    progress = not args.no_progress and args.steps >= 5000 and sys.stderr.isatty()
    started = time.perf_counter()
    studies = [
        run_study("MIMO", MIMOSim(REFERENCE, INITIAL, 1), args.steps, args.out, progress),
        run_study("LPV", lpv_plant(), args.steps, args.out, progress),
    ]
    elapsed = time.perf_counter() - started

    print(
        f"{'study':<6} {'loop':<5} {'IAE':>9} {'overshoot %':>12} {'settling s':>11} "
        f"{'final error':>12}"
    )
    for study in studies:
        for tag, trace in study.loops.items():
            iae, over, settle, final = metrics(trace)
            shown = "-" if over is None else f"{over:.1f}"
            print(f"{study.name:<6} {tag:<5} {iae:9.2f} {shown:>12} {settle:11.0f} {final:12.4f}")
    for study in studies:
        uncorrected, corrected = (
            mean_error(study.soft[key], study.soft["true"]) for key in ("raw", "corrected")
        )
        print(
            f"{study.name:<6} soft sensor: mean error {uncorrected:.3f} uncorrected, "
            f"{corrected:.3f} corrected"
        )
    figure = args.out / "demo.png"
    plot(studies, figure)
    files = sorted(p.name for p in args.out.glob("*_Raw_LabData.csv"))
    print(
        f"{2 * args.steps} closed-loop steps in {elapsed:.2f} s; figure {figure}; "
        f"laboratory records {', '.join(files)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
