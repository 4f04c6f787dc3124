"""
From a plant test to a tuned loop
=================================

The daily workflow on a process nobody has a model of: excite it, identify a
model per CV/MV pair, tune the loops, check them in simulation.

Here the "plant" is a :class:`~korvel.algorithm.plantmodels.MIMOSim` of the
reference process of the model-dictionary documentation (two CVs, three MVs,
first-order, oscillating, step-table and integrating pairs), and the measured
CVs carry white noise at 20 dB. The identification never sees the true model:
only the records.
"""

import matplotlib.pyplot as plt
import numpy as np

from korvel.algorithm import _reference
from korvel.algorithm.excite import TestSignal
from korvel.algorithm.identify import fit_process
from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import MIMOSim
from korvel.algorithm.tuning import simc

truth = _reference.process()  # the library's reference process
initial = {tag: float(v) for tag, v in _reference.initial_values().items()}
cvs, mvs = ["CV1", "CV2"], ["MV1", "MV2", "MV3"]

# %%
# The plant test
# --------------
# The two-level test signal on every MV at once, each from its own seed and
# with cycles of 120 s, after a minute at rest (the fit counts deviations from
# the values the records start with). 4000 samples of 1 s.

amplitude = {"MV1": 1.0, "MV2": 0.2, "MV3": 0.05}
signals = {}
for i, mv in enumerate(mvs):
    signals[mv] = TestSignal(SEED=10 + i)
    signals[mv].set_ET(60)
    signals[mv].set_amplitude(amplitude[mv])

plant = MIMOSim(truth, initial, Ts=1)
records = {tag: [] for tag in cvs + mvs}
for k in range(4000):
    u = {mv: initial[mv] + (signals[mv](k - 60)[0] if k >= 60 else 0.0) for mv in mvs}
    for tag, value in (u | plant(u)).items():
        records[tag].append(value)
records = {tag: np.array(v) for tag, v in records.items()}
rng = np.random.default_rng(1)
for cv in cvs:  # measurement noise: 20 dB below the response
    records[cv] += 0.1 * np.std(records[cv]) * rng.standard_normal(4000)

fig, axes = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
for mv in mvs:
    axes[0].plot(records[mv] - initial[mv], lw=0.8, label=mv)
for cv in cvs:
    axes[1].plot(records[cv], lw=0.6, label=cv)
axes[0].set_ylabel("MV deviation")
axes[1].set_ylabel("measured CV")
axes[1].set_xlabel("time, s")
for ax in axes:
    ax.legend(loc="upper right")
    ax.grid(True, alpha=0.3)
fig.tight_layout()

# %%
# Identification
# --------------
# One structure per pair, chosen as an engineer would from a look at the
# responses: first order with dead time where the CV settles, a step table for
# the odd CV2-MV2 response, integrating for CV2-MV3. Pairs that are left out
# (CV1-MV3) get no model. Every CV is fitted from all its MVs at once.

kinds = {"CV1": {"MV1": "fopdt", "MV2": "fopdt"},
         "CV2": {"MV1": "fopdt", "MV2": "stp", "MV3": "ipdt"}}  # fmt: skip
result = fit_process(records, cvs, mvs, 1, kinds, initial, length=30)

for cv, fit in result["fits"].items():
    print(f"{cv}: R2 {fit['r2']:.4f}, residual sd {fit['sigma']:.3f}")
    for mv, pair in fit["pairs"].items():
        shown = {k: v for k, v in pair["params"].items() if k != "stp"}
        print(f"  {mv} {pair['kind']:<6}", {k: round(v, 3) for k, v in shown.items()})

fig, axes = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
for ax, cv in zip(axes, cvs, strict=True):
    ax.plot(records[cv], color="0.7", lw=0.6, label="measured")
    ax.plot(result["fits"][cv]["prediction"], lw=1.0, label="identified model")
    ax.set_ylabel(cv)
    ax.legend(loc="upper right")
    ax.grid(True, alpha=0.3)
axes[1].set_xlabel("time, s")
fig.tight_layout()

# %%
# ``result["model_dict"]`` is an ordinary model dictionary: a simulator built
# from it and driven with the recorded MVs reproduces the fit's prediction.

replay = MIMOSim(result["model_dict"], result["ini_values"], Ts=1)
cv1 = [replay({mv: records[mv][k] for mv in mvs})["CV1"] for k in range(4000)]
print("replayed as fitted:", np.array_equal(cv1, result["fits"]["CV1"]["prediction"]))

# %%
# Tuning and the closed loop
# --------------------------
# SIMC for the loops CV1-MV1 (first order: a PI with TI = tau) and CV2-MV3
# (integrating), with the PID's sampling period. The tuned loops then run on
# the *true* process: set-point steps on CV1 at 60 s and on CV2 at 700 s; CV1's
# loop moves MV1, which upsets CV2, whose loop rejects it.

loops = {"CV1": "MV1", "CV2": "MV3"}
pids = {}
for cv, mv in loops.items():
    params = simc(result["fits"][cv]["pairs"][mv], Ts=1.0)
    print(cv, mv, {k: round(v, 4) for k, v in params.items()})
    pids[cv] = PID(TS=1.0)
    pids[cv].setPIDParam(**params)

plant = MIMOSim(truth, initial, Ts=1)
u, y = plant.get_input_data_dict(), plant.get_output_data_dict()
trace = {tag: [] for tag in ["SP1", "SP2", "CV1", "CV2", "MV1", "MV3"]}
for k in range(1500):
    sp = {"CV1": 12.0 if k >= 60 else 10.0, "CV2": 22.0 if k >= 700 else 20.0}
    for cv, mv in loops.items():
        u[mv] = pids[cv].run(0 if k < 10 else 1, sp[cv], y[cv], u[mv])
    y = plant(u)
    for tag in ("CV1", "CV2"):
        trace[tag].append(y[tag])
    for tag in ("MV1", "MV3"):
        trace[tag].append(u[tag])
    trace["SP1"].append(sp["CV1"])
    trace["SP2"].append(sp["CV2"])

fig, axes = plt.subplots(3, 1, sharex=True, figsize=(8, 6.5))
for ax, cv, sp in zip(axes, cvs, ["SP1", "SP2"], strict=False):
    ax.plot(trace[sp], "k--", lw=0.8, label="set-point")
    ax.plot(trace[cv], lw=1.0, label=cv)
    ax.set_ylabel(cv)
for mv in loops.values():
    axes[2].plot(trace[mv], lw=1.0, label=mv)
axes[2].set_ylabel("MV")
axes[2].set_xlabel("time, s")
for ax in axes:
    ax.legend(loc="lower right")
    ax.grid(True, alpha=0.3)
fig.tight_layout()
plt.show()
