"""
A tuning map of 10,000 closed loops, in banks
=============================================

How do KP and TI shape the response of two PI loops on the reference process?
One closed-loop simulation per grid point answers it: 100 values of KP times
100 values of TI make 10,000 simulations of 600 samples each. With scalar
blocks that is 10,000 ``MIMOSim`` objects and 20,000 ``PID`` objects driven
one after another; with banks it is one
:class:`~korvel.algorithm.plantmodels.MIMOSimBank` and two
:class:`~korvel.algorithm.loopctl.PIDBank` objects of 10,000 lanes, driven by
one loop of 600 samples. Each lane computes exactly what its scalar blocks
would, to the last bit.

The process has two CVs and three MVs. CV1 is paired with MV1 (a lag of 50 s
with 25 s of dead time) and CV2 with MV3 (an integrating pair). MV3 does not
move CV1, so the pairing has no two-way interaction; what MV1 does to CV2 is a
disturbance the second loop has to reject. MV2 stays where it is. Both loops
take the same KP and TI, and both set-points step up by 2 at sample 10.
"""

import time

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm

from korvel.algorithm import _reference
from korvel.algorithm.loopctl import PID, PIDBank
from korvel.algorithm.plantmodels import MIMOSim, MIMOSimBank

STEPS = 600
process, initial = _reference.process(), _reference.initial_values()
kps = np.geomspace(0.02, 2.0, 100)
tis = np.geomspace(2.0, 200.0, 100)
KP, TI = np.meshgrid(kps, tis)  # one row per TI, one column per KP
n = KP.size


def set_points(k):
    return (10.0, 20.0) if k < 10 else (12.0, 22.0)


# %%
# The banks
# ---------
# Every lane gets the same model dictionary object, so the bank discretises
# it once. ``setPIDParam`` takes one value per lane; the limits (0 to 100,
# the default) are shared. A lane that does not settle saturates its MV
# between the limits, so its IAE grows large but stays finite. The tracking
# value ``TV`` is the MV the plant received, as for a scalar ``PID``.

start = time.perf_counter()
plant = MIMOSimBank([process] * n, initial)
loop1, loop2 = PIDBank(n), PIDBank(n)
for loop in (loop1, loop2):
    loop.setPIDParam(KP=KP.ravel(), TI=TI.ravel())
u, y = plant.get_input_data_dict(), plant.get_output_data_dict()
iae, late = np.zeros(n), np.zeros(n)
for k in range(STEPS):
    sp1, sp2 = set_points(k)
    u = {"MV1": loop1.run(1, sp1, y["CV1"], u["MV1"]), "MV3": loop2.run(1, sp2, y["CV2"], u["MV3"])}
    y = plant(u)
    error = np.abs(sp1 - y["CV1"]) + np.abs(sp2 - y["CV2"])
    iae += error
    if k >= STEPS - 100:
        late = np.maximum(late, error)  # still off after 500 samples?
bank_time = time.perf_counter() - start

# %%
# The same points with scalar blocks
# ----------------------------------
# Scalar blocks take too long for the whole map here, so they run 100 points
# spread over it, each point building its simulator and controllers as the
# banks' time includes building theirs. The time per point, times 10,000,
# estimates the map: an extrapolation, not a measurement of all 10,000. Their
# IAEs equal the bank's lanes exactly.

subset = np.arange(0, n, n // 100)
start = time.perf_counter()
scalar_iae = []
for i in subset:
    sim, pid1, pid2 = MIMOSim(process, initial), PID(), PID()
    pid1.setPIDParam(KP=KP.flat[i], TI=TI.flat[i])
    pid2.setPIDParam(KP=KP.flat[i], TI=TI.flat[i])
    ui, yi, total = sim.get_input_data_dict(), sim.get_output_data_dict(), 0.0
    for k in range(STEPS):
        sp1, sp2 = set_points(k)
        ui["MV1"] = pid1.run(1, sp1, yi["CV1"], ui["MV1"])
        ui["MV3"] = pid2.run(1, sp2, yi["CV2"], ui["MV3"])
        yi = sim(ui)
        total += abs(sp1 - yi["CV1"]) + abs(sp2 - yi["CV2"])
    scalar_iae.append(total)
scalar_per_point = (time.perf_counter() - start) / len(subset)

assert scalar_iae == iae[subset].tolist()
best = np.argmin(iae)
print(f"best: KP {KP.flat[best]:.3f}, TI {TI.flat[best]:.1f}, IAE {iae[best]:.1f}")
print(f"banks: {bank_time:.2f} s for {n} points, {bank_time / n * 1e6:.0f} us per point")
print(
    f"scalar blocks: {scalar_per_point * 1e6:.0f} us per point (over {len(subset)} points), "
    f"about {scalar_per_point * n:.1f} s for the map: {scalar_per_point * n / bank_time:.0f}x"
)

# %%
# The map
# -------
# Low IAE lies along a valley of moderate KP with long enough TI. Too much
# gain, or too short an integral time (which the integrating CV2 tolerates
# least), and the loops oscillate; inside the white line the errors of the two
# loops add up to less than 0.5 over all of the last 100 samples. Too little gain and the
# loops are merely slow. The timings are of this build of these pages.

fig, (ax1, ax2) = plt.subplots(
    1, 2, figsize=(10, 4.5), gridspec_kw={"width_ratios": [2.2, 1]}, layout="constrained"
)
mesh = ax1.pcolormesh(KP, TI, iae.reshape(KP.shape), norm=LogNorm(), cmap="viridis")
fig.colorbar(mesh, ax=ax1, label="IAE, both loops")
ax1.contour(KP, TI, late.reshape(KP.shape), levels=[0.5], colors="white", linewidths=1)
ax1.plot(KP.flat[best], TI.flat[best], "r*", ms=12, label="least IAE")
ax1.set(xscale="log", yscale="log", xlabel="KP (both loops)", ylabel="TI [s] (both loops)")
ax1.set_title("600 samples, set-points +2 at sample 10", fontsize=10)
ax1.legend(loc="lower left", fontsize=8)

seconds = [bank_time, scalar_per_point * n]
bars = ax2.bar(["banks", "scalar blocks\n(estimated)"], seconds, color=["C2", "C7"])
ax2.bar_label(bars, labels=[f"{s:.2f} s" for s in seconds], fontsize=9)
ax2.set_ylabel("seconds for the 10,000-point map")
ax2.set_title(f"banks {seconds[1] / seconds[0]:.0f}x faster", fontsize=10)
plt.show()
