"""
Tracking, then a bumpless switch to automatic
=============================================

An operator drives a heater by hand: the valve ramps from 10 % to 25 % and then
stays. Meanwhile the :class:`~korvel.algorithm.loopctl.PID` runs in tracking
mode (``MODE`` 0): it is given the valve position as ``TV``, returns it, and
keeps its history so that the next automatic sample starts from it. The
set-point, 45 degC, is known all along; at sample 100 the loop goes to
automatic.

The velocity form adds increments to the previous output, and tracking leaves
the previous error equal to the current one, so the first automatic sample adds
only the increments of that one sample: the valve moves on from where the
operator left it. (A set-point changed at the switch itself would add the
proportional kick ``KP * dSP``, as any set-point step does in automatic.)

For comparison, a position-form PI written the textbook way
(``u = Kp * (e + integral / TI)`` with the integral starting at zero) jumps
at the switch.
"""

import matplotlib.pyplot as plt

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import SISOSim

KP, TI = 1.2, 40.0
SWITCH = 100
SP = 45.0

# Two identical heaters, one per controller: temperature rise per % valve 0.8,
# time constant 40 s, dead time 4 s (CV and MV are deviations from 20 degC / 0 %).
heater_a = SISOSim(gain=0.8, tao=40.0, delay=4, Ts=1)
heater_b = SISOSim(gain=0.8, tao=40.0, delay=4, Ts=1)

pid = PID(TS=1.0)
pid.setPIDParam(KP=KP, TI=TI)

pv_a = pv_b = 20.0
integral = 0.0
trace = {key: [] for key in ("sp", "pv_a", "pv_b", "op_a", "op_b")}
for k in range(400):
    manual = min(25.0, 10.0 + 0.25 * k)  # the operator's ramp
    if k < SWITCH:
        op_a = pid.run(0, SP, pv_a, manual)  # tracking: the output is TV
        op_b = manual
    else:
        op_a = pid.run(1, SP, pv_a, op_a)
        # textbook position form, its integral starting at the switch
        e = SP - pv_b
        integral += e
        op_b = min(100.0, max(0.0, KP * (e + integral / TI)))
    pv_a = 20.0 + heater_a({"MV": op_a})["CV"]
    pv_b = 20.0 + heater_b({"MV": op_b})["CV"]
    for key, value in zip(trace, (SP, pv_a, pv_b, op_a, op_b), strict=True):
        trace[key].append(value)

print(
    f"valve at the switch: PID {trace['op_a'][SWITCH]:.3f} %, "
    f"position form {trace['op_b'][SWITCH]:.3f} %, operator {trace['op_a'][SWITCH - 1]:.3f} %"
)

# %%
# The valve of the PID block continues smoothly from 25 %; the position form
# drops to ``KP * e`` at the switch and needs a long while to wind its
# integral back up.

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5))
top.plot(trace["sp"], "k--", lw=1, label="set-point")
top.plot(trace["pv_a"], label="PID block")
top.plot(trace["pv_b"], label="position form", alpha=0.8)
top.set_ylabel("temperature, degC")
bottom.plot(trace["op_a"], label="PID block")
bottom.plot(trace["op_b"], label="position form", alpha=0.8)
bottom.set_ylabel("valve, %")
bottom.set_xlabel("sample (s)")
for ax in (top, bottom):
    ax.axvline(SWITCH, color="grey", lw=0.8)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8, loc="lower right")
top.text(SWITCH - 4, 22, "tracking", ha="right", fontsize=8)
top.text(SWITCH + 4, 22, "automatic", ha="left", fontsize=8)
fig.tight_layout()
plt.show()
