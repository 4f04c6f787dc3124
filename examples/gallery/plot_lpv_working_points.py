"""
An LPV plant across its working points
======================================

A process whose gain and speed change with the operating condition (here the
throughput) is approximated by local linear plants, each valid at one working
point. :class:`~korvel.algorithm.gainsched.LPVPlantSim` steps every local
plant on every sample and blends the two around the current working value
linearly; outside the range of working points the nearest end plant acts
alone (no extrapolation).

Three local plants at throughputs 20, 50 and 80: gain 0.5, 1 and 2, time
constant 10, 20 and 40 s. The throughput ramps from 0 to 100 while the valve
makes square steps, so the response shows the gain and the time constant
growing along the ramp.
"""

import matplotlib.pyplot as plt

from korvel.algorithm.gainsched import LPVPlantSim


def local_model(gain, tao):
    return {"T": {"valve": {"mode": "tf_s", "num_s": [gain], "den_s": [tao, 1], "iodelay_s": 3}}}


plant = LPVPlantSim({"T": 60.0, "valve": 50.0})
for plant_id, (point, gain, tao) in enumerate(
    ((20.0, 0.5, 10.0), (50.0, 1.0, 20.0), (80.0, 2.0, 40.0))
):
    plant.addPlant(plant_id, point, local_model(gain, tao), 1)

print("bank:", {pid: local.working_point for pid, local in plant.get_plant_dict().items()})
print("CVs", plant.get_cv_list(), "MVs", plant.get_mv_list())

steps = 1200
throughput, valve, temperature, weights = [], [], [], {pid: [] for pid in range(3)}
for k in range(steps):
    w = 100.0 * k / (steps - 1)
    u = 50.0 + (5.0 if (k // 100) % 2 else -5.0)
    y = plant(w, {"valve": u})
    throughput.append(w)
    valve.append(u)
    temperature.append(y["T"])
    for pid, share in plant.get_current_plant_weight_dict().items():
        weights[pid].append(share)

# %%
# At most two plants share the output at any time, and their weights add up
# to one. Between 20 and 50 the first two blend, between 50 and 80 the last
# two; below 20 and above 80 an end plant acts alone.

fig, (ax1, ax2, ax3) = plt.subplots(3, 1, sharex=True, figsize=(7, 7))
ax1.plot(throughput, temperature, "C3")
ax1.set_ylabel("T")
ax2.plot(throughput, valve, "k", lw=1)
ax2.set_ylabel("valve")
ax3.stackplot(
    throughput, *weights.values(), labels=["plant at 20", "plant at 50", "plant at 80"], alpha=0.8
)
ax3.set_ylabel("blend weight")
ax3.set_xlabel("working value (throughput)")
ax3.legend(fontsize=8, loc="center right")
for ax in (ax1, ax2, ax3):
    ax.grid(True, alpha=0.3)
    for point in (20, 50, 80):
        ax.axvline(point, color="grey", lw=0.6, ls=":")
fig.tight_layout()
plt.show()
