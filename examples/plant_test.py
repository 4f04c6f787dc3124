"""From a plant test to a tuned loop, on the library's reference process.

    python examples/plant_test.py [--out DIR] [--seed N]

1. Plant test: the test signal on every MV of the reference process, white
   measurement noise on every CV (20 dB), 4000 samples of 1 s.
2. Identification: fit_process fits every CV from all MVs at once and gives
   the model dictionary.
3. Tuning: SIMC on the identified pairs CV1-MV1 (first order) and CV2-MV3
   (integrating).
4. Closed loop: the two tuned PID loops on the true process, set-point steps
   on both CVs.

Prints the identified pairs next to the true ones and the closed loop's
figures of merit; with --out, saves the three figures there.
"""

import argparse
import sys
from pathlib import Path

import numpy as np

from korvel.algorithm import _reference
from korvel.algorithm.excite import TestSignal
from korvel.algorithm.identify import fit_process
from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import MIMOSim
from korvel.algorithm.tuning import simc

# The reference process of the model dictionary's documentation.
REFERENCE = _reference.process()
INITIAL = {tag: float(v) for tag, v in _reference.initial_values().items()}
CVS, MVS = ["CV1", "CV2"], ["MV1", "MV2", "MV3"]
# One structure per pair: what an engineer would pick from the step responses.
KINDS = {
    "CV1": {"MV1": "fopdt", "MV2": "fopdt"},
    "CV2": {"MV1": "fopdt", "MV2": "stp", "MV3": "ipdt"},
}
LOOPS = {"CV1": "MV1", "CV2": "MV3"}  # the pairing of the control loops
AMPLITUDE = {"MV1": 1.0, "MV2": 0.2, "MV3": 0.05}
SAMPLES, LEAD = 4000, 60  # the test starts after a minute at rest


def plant_test(seed: int = 1, snr_db: float = 20.0) -> dict[str, np.ndarray]:
    """The records of a plant test: the test signal on every MV at once."""
    signals = []
    for i, mv in enumerate(MVS):
        signal = TestSignal(SEED=seed * 10 + i)
        signal.set_ET(60)
        signal.set_amplitude(AMPLITUDE[mv])
        signals.append(signal)
    plant = MIMOSim(REFERENCE, INITIAL, Ts=1)
    records: dict[str, list[float]] = {tag: [] for tag in CVS + MVS}
    for k in range(SAMPLES):
        u = {
            mv: INITIAL[mv] + (s(k - LEAD)[0] if k >= LEAD else 0.0)
            for mv, s in zip(MVS, signals, strict=True)
        }
        y = plant(u)
        for tag, value in (u | y).items():
            records[tag].append(value)
    arrays = {tag: np.array(v) for tag, v in records.items()}
    rng = np.random.default_rng(seed)
    for cv in CVS:  # white measurement noise at the given signal-to-noise ratio
        arrays[cv] += np.std(arrays[cv]) / 10 ** (snr_db / 20) * rng.standard_normal(SAMPLES)
    return arrays


def identify(records: dict[str, np.ndarray]) -> dict:
    return fit_process(records, CVS, MVS, 1, KINDS, INITIAL, length=30)


def tune(result: dict) -> dict[str, dict[str, float]]:
    return {cv: simc(result["fits"][cv]["pairs"][mv], Ts=1.0) for cv, mv in LOOPS.items()}


def closed_loop(tunings: dict[str, dict[str, float]], steps: int = 1500) -> dict[str, np.ndarray]:
    """The tuned loops on the true process: CV1 steps by +2 at 60 s, CV2 by +2
    at 700 s."""
    plant = MIMOSim(REFERENCE, INITIAL, Ts=1)
    pids = {}
    for cv, params in tunings.items():
        pids[cv] = PID(TS=1.0)
        pids[cv].setPIDParam(**params)
    u, y = plant.get_input_data_dict(), plant.get_output_data_dict()
    trace: dict[str, list[float]] = {k: [] for k in ["SP1", "SP2", *CVS, *MVS]}
    for k in range(steps):
        sp = {"CV1": INITIAL["CV1"] + (2.0 if k >= 60 else 0.0),
              "CV2": INITIAL["CV2"] + (2.0 if k >= 700 else 0.0)}  # fmt: skip
        mode = 0 if k < 10 else 1  # track the valves first, then automatic
        for cv, mv in LOOPS.items():
            u[mv] = pids[cv].run(mode, sp[cv], y[cv], u[mv])
        y = plant(u)
        for tag, value in (u | y).items():
            trace[tag].append(value)
        trace["SP1"].append(sp["CV1"])
        trace["SP2"].append(sp["CV2"])
    return {k: np.array(v) for k, v in trace.items()}


def pair_table(result: dict) -> list[str]:
    lines = [f"{'pair':<9} {'kind':<6} {'gain':>9} {'taus':>15} {'dead time':>10}   true"]
    for cv, fit in result["fits"].items():
        for mv, pair in fit["pairs"].items():
            p = pair["params"]
            if pair["kind"] == "stp":
                gain, taus = p["stp"][-1], "-"
            else:
                gain = p["gain"]
                taus = " ".join(f"{p[k]:.1f}" for k in ("tau", "tau1", "tau2") if k in p) or "-"
            true = REFERENCE[cv][mv]
            if true["mode"] == "tf_s":
                t = f"{true['num_s'][-1]}/({true['den_s'][0]}s+1), {true['iodelay_s']} s"
            else:
                t = true["mode"]
            lines.append(
                f"{cv}-{mv:<5} {pair['kind']:<6} {gain:9.3f} {taus:>15} {p['dead_time']:>10}   {t}"
            )
        lines.append(f"{cv}: R2 {fit['r2']:.4f}, residual sd {fit['sigma']:.4f}")
    return lines


def figures(records, result, trace):
    import matplotlib.pyplot as plt

    t = np.arange(SAMPLES)
    test, axes = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
    for mv in MVS:
        axes[0].plot(t, records[mv] - INITIAL[mv], lw=0.8, label=mv)
    for cv in CVS:
        axes[1].plot(t, records[cv], lw=0.6, label=cv)
    axes[0].set_ylabel("MV deviation")
    axes[1].set_ylabel("CV (measured)")
    axes[1].set_xlabel("time, s")
    test.suptitle("Plant test: the test signal on every MV")

    fit, axes = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
    for ax, cv in zip(axes, CVS, strict=True):
        ax.plot(t, records[cv], color="0.7", lw=0.6, label="measured")
        ax.plot(t, result["fits"][cv]["prediction"], lw=1.0, label="identified model")
        ax.set_ylabel(cv)
        ax.legend(loc="upper right")
    axes[1].set_xlabel("time, s")
    fit.suptitle("Identified model against the records")

    loop, axes = plt.subplots(3, 1, sharex=True, figsize=(8, 6.5))
    ts = np.arange(len(trace["CV1"]))
    for ax, cv, sp in zip(axes, CVS, ["SP1", "SP2"], strict=False):
        ax.plot(ts, trace[sp], "k--", lw=0.8, label="set-point")
        ax.plot(ts, trace[cv], lw=1.0, label=cv)
        ax.set_ylabel(cv)
        ax.legend(loc="lower right")
    for mv in LOOPS.values():
        axes[2].plot(ts, trace[mv], lw=1.0, label=mv)
    axes[2].set_ylabel("MV")
    axes[2].legend(loc="lower right")
    axes[2].set_xlabel("time, s")
    loop.suptitle("SIMC-tuned loops on the true process")
    for f in (test, fit, loop):
        for ax in f.axes:
            ax.grid(True, alpha=0.3)
        f.tight_layout()
    return {"plant_test": test, "fit": fit, "closed_loop": loop}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, help="save the figures in this directory")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)

    records = plant_test(args.seed)
    result = identify(records)
    print("\n".join(pair_table(result)))
    tunings = tune(result)
    for cv, params in tunings.items():
        print(f"{cv}-{LOOPS[cv]} SIMC: " + ", ".join(f"{k} {v:.4g}" for k, v in params.items()))
    trace = closed_loop(tunings)
    for cv, sp in (("CV1", "SP1"), ("CV2", "SP2")):
        error = trace[sp] - trace[cv]
        print(f"{cv}: IAE {np.abs(error).sum():.1f}, final error {error[-1]:+.4f}")
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        for name, fig in figures(records, result, trace).items():
            fig.savefig(args.out / f"{name}.png", dpi=90)
        print(f"figures in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
