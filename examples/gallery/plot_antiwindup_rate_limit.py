"""
Anti-windup and rate limiting of a saturated output
===================================================

Three ways an output gets stuck at a limit, and how the blocks avoid it.

1. :class:`~korvel.algorithm.clampwind.AntiWindupLimter` passes on the
   *changes* of its input inside a band, so it leaves a limit with the first
   sample in which the input turns back, however far the input went beyond it.
   A plain clamp ``min(max(u, LO), HI)`` waits until the input is back inside.
2. The :class:`~korvel.algorithm.loopctl.PID` block adds each increment to its
   previous *limited* output: while the valve is saturated the integral cannot
   wind up, and the output leaves the limit as soon as the error changes sign.
3. :class:`~korvel.algorithm.slewguard.RateLimit` ramps the valve command at
   a given rate per minute.
"""

import matplotlib.pyplot as plt

from korvel.algorithm.clampwind import AntiWindupLimter
from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import SISOSim
from korvel.algorithm.slewguard import RateLimit

# %%
# The limiter on its own
# ----------------------
# A triangle that rises to 160 and falls back to 0, limited to [0, 100].

limiter = AntiWindupLimter()
u = [min(k, 320 - k) for k in range(0, 321, 2)]
clamped = [min(max(x, 0), 100) for x in u]
anti_windup = [limiter(x, HI=100, LO=0) for x in u]

fig, ax = plt.subplots(figsize=(7, 3))
ax.plot(u, "k:", label="input")
ax.plot(clamped, label="plain clamp")
ax.plot(anti_windup, label="AntiWindupLimter")
ax.axhline(100, color="grey", lw=0.8)
ax.set_xlabel("sample")
ax.legend(fontsize=8)
ax.grid(True, alpha=0.3)
fig.tight_layout()

# %%
# A saturated loop
# ----------------
# From sample 20 to 250 the set-point asks for more than the process can give
# with the valve wide open (gain 0.5: at most 50 above the starting 20).
# The PID block stays at 100 % with its unlimited value ``OPcal`` only one
# increment beyond; the position-form PI, clamped the same way, winds its
# integral up and holds the valve open long after the set-point came back.
# Both valve commands pass a rate limit of 120 % per minute.

KP, TI = 2.0, 20.0


def setpoint(k):
    return 80.0 if 20 <= k < 250 else 40.0


plants = [SISOSim(gain=0.5, tao=30.0, delay=2), SISOSim(gain=0.5, tao=30.0, delay=2)]
ramps = [RateLimit(u_ini=0.0, Ts=1), RateLimit(u_ini=0.0, Ts=1)]
pid = PID(TS=1.0)
pid.setPIDParam(KP=KP, TI=TI)
pid.setOPHighLowLimit(OP_HI=100.0, OP_LO=0.0)

pv = [20.0, 20.0]
valve = [0.0, 0.0]
integral = 0.0
trace = {key: [] for key in ("sp", "pv0", "pv1", "valve0", "valve1", "opcal")}
for k in range(500):
    sp = setpoint(k)
    op0 = pid.run(1, sp, pv[0], valve[0])
    e = sp - pv[1]
    integral += e  # grows without bound while the valve is saturated
    op1 = min(100.0, max(0.0, KP * (e + integral / TI)))
    for i, op in enumerate((op0, op1)):
        valve[i] = ramps[i](op, PRLimPerMin=120)
        pv[i] = 20.0 + plants[i]({"MV": valve[i]})["CV"]
    row = (sp, *pv, *valve, pid.getInnerSaveState()["OPcal"])
    for key, value in zip(trace, row, strict=True):
        trace[key].append(value)

released = [next(k for k in range(250, 500) if trace[f"valve{i}"][k] < 99.0) for i in (0, 1)]
print(f"valve leaves 100 %: PID block at sample {released[0]}, position form at {released[1]}")

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5))
top.plot(trace["sp"], "k--", lw=1, label="set-point")
top.plot(trace["pv0"], label="PID block")
top.plot(trace["pv1"], label="position form, clamped")
top.set_ylabel("process value")
bottom.plot(trace["valve0"], label="PID block, rate limited")
bottom.plot(trace["valve1"], label="position form, rate limited")
bottom.plot(trace["opcal"], "C0:", lw=1, label="PID block OPcal (before its limits)")
bottom.set_ylim(-5, 130)
bottom.set_ylabel("valve, %")
bottom.set_xlabel("sample")
for ax in (top, bottom):
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8, loc="upper right")
fig.tight_layout()
plt.show()
