"""
Two PID loops on a two-by-two process
=====================================

A :class:`~korvel.algorithm.plantmodels.MIMOSim` simulates a process with two
controlled variables (CV1, CV2) and two manipulated variables (MV1, MV2), one
discrete transfer function per pair, so each MV moves both CVs. Two
:class:`~korvel.algorithm.loopctl.PID` blocks close the loops CV1-MV1 and
CV2-MV2. Both start in tracking mode (``MODE`` 0) and switch to automatic at
sample 5; the CV1 set-point steps at sample 20, and an unmeasured load hits CV2
at sample 120.

Everything happens in one ``for`` loop: each iteration is one sampling instant,
and every block is called exactly once in it.
"""

import matplotlib.pyplot as plt

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import MIMOSim


def tf(num, den):
    """A discrete pair model: num(z^-1) / den(z^-1)."""
    return {"mode": "tf_z", "num_z": num, "den_z": den}


# CV tag -> MV tag -> model entry. The off-diagonal pairs are the
# interaction the two loops have to live with.
models = {
    "CV1": {"MV1": tf([0.0, 0.08], [1.0, -0.92]), "MV2": tf([0.0, 0.0, 0.03], [1.0, -0.95])},
    "CV2": {"MV1": tf([0.0, 0.02], [1.0, -0.9]), "MV2": tf([0.0, 0.1, 0.05], [1.0, -1.2, 0.4])},
}
initial = {"CV1": 50.0, "CV2": 30.0, "MV1": 40.0, "MV2": 20.0}
plant = MIMOSim(models, initial, Ts=1)

pid1, pid2 = PID(TS=1.0), PID(TS=1.0)
pid1.setPIDParam(KP=0.8, TI=12.0)
pid2.setPIDParam(KP=0.6, TI=8.0)

# %%
# The loop
# --------
# ``run(MODE, SP, PV, TV)`` returns the new output. ``TV`` is the value the
# output actually has (here the MV the plant receives), so the switch from
# tracking to automatic starts from it.

y = plant.get_output_data_dict()
u = plant.get_input_data_dict()
trace = {key: [] for key in ("SP1", "CV1", "CV2", "MV1", "MV2")}
for k in range(300):
    mode = 0 if k < 5 else 1
    sp1 = 50.0 if k < 20 else 55.0
    u["MV1"] = pid1.run(mode, sp1, y["CV1"], u["MV1"])
    u["MV2"] = pid2.run(mode, 30.0, y["CV2"], u["MV2"])
    load = {"CV2": 2.0} if k >= 120 else {}  # unmeasured: the PIDs never see it
    y = plant(u, load)
    for key, value in (("SP1", sp1), *y.items(), *u.items()):
        trace[key].append(value)

print(f"CV1 {y['CV1']:.3f} (set-point 55), CV2 {y['CV2']:.3f} (set-point 30)")

# %%
# CV2 moves when loop 1 moves MV1 for the set-point step (the interaction) and
# again when the load arrives; integral action removes both deviations.

fig, (ax1, ax2, ax3) = plt.subplots(3, 1, sharex=True, figsize=(7, 7))
ax1.plot(trace["SP1"], "k--", lw=1, label="set-point")
ax1.plot(trace["CV1"], label="CV1")
ax1.set_ylabel("CV1")
ax2.axhline(30.0, color="k", ls="--", lw=1, label="set-point")
ax2.plot(trace["CV2"], color="C1", label="CV2")
ax2.annotate("load on CV2", (126, 31.7), fontsize=8)
ax2.set_ylabel("CV2")
ax3.plot(trace["MV1"], label="MV1 (loop 1)")
ax3.plot(trace["MV2"], label="MV2 (loop 2)")
ax3.set_ylabel("controller outputs")
ax3.set_xlabel("sample")
for ax in (ax1, ax2, ax3):
    ax.grid(True, alpha=0.3)
    ax.legend(loc="center right", fontsize=8)
fig.tight_layout()
plt.show()
