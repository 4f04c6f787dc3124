"""
Watchdog supervision
====================

A station proves it is alive by publishing a counter that changes every
cycle: :class:`~korvel.algorithm.heartbeat.WatchDog` counts 1, 2, ...,
``MaxOut``, 0, 1, ... The supervisor reads the published value once a second
and feeds it to :class:`~korvel.algorithm.flatline.ConstDect`, which answers
true while the last ``DectLen`` readings are all the same: the station is
alive while the answer is false.

Here the station runs a cycle every second but its value reaches the
supervisor only every other second, so two equal readings in a row are
normal; a window of ``DectLen`` 5 tolerates that and still reports a stall
within a few seconds. The station stalls from 60 s to 90 s.

Two blocks of :mod:`~korvel.algorithm.latches` turn the answer into an alarm.
They are driven through fields: write the inputs, call ``call()``, read the
outputs.

* :class:`~korvel.algorithm.latches.TONtrigger`, an on-delay of ``DT`` 3
  samples: the answer must stay true for two more samples before it counts.
  This also hides the detector's start, whose window holds a single reading and
  so is constant.
* :class:`~korvel.algorithm.latches.RStrigger` latches the alarm until the
  operator acknowledges it at 120 s.
"""

import matplotlib.pyplot as plt

from korvel.algorithm.flatline import ConstDect
from korvel.algorithm.heartbeat import WatchDog
from korvel.algorithm.latches import RStrigger, TONtrigger

station = WatchDog()
detector = ConstDect()
confirm = TONtrigger()
confirm.DT = 3
alarm = RStrigger()

published = 0
trace = {key: [] for key in ("published", "constant", "stalled", "alarm")}
for t in range(160):
    if not 60 <= t < 90:  # the station runs
        counter = station(MaxOut=9)
        if t % 2 == 0:  # the link carries a new value every other second
            published = counter
    constant = detector(published, DectLen=5)

    confirm.Ut = int(constant)
    confirm.call()
    alarm.S = confirm.Yt
    alarm.R = t == 120  # the operator acknowledges
    alarm.call()
    for key, value in zip(trace, (published, constant, confirm.Yt, alarm.Q), strict=True):
        trace[key].append(value)

raised = trace["alarm"].index(True)
print(
    f"the station stalls at 60 s; alarm raised at {raised} s, "
    f"held until {trace['alarm'].index(False, raised)} s"
)

# %%
# The detector reports the stall at 62 s, four seconds after the last change,
# and clears with the first new value; the on-delay passes it on two samples
# later. The latch holds the alarm until it is reset.

fig, axes = plt.subplots(4, 1, sharex=True, figsize=(7, 6))
for ax, key, color in zip(axes, trace, ("C0", "C3", "C3", "C1"), strict=True):
    ax.step(range(160), trace[key], color, where="post")
    ax.set_ylabel(key, fontsize=9)
    ax.axvspan(60, 90, color="grey", alpha=0.15)
    ax.grid(True, alpha=0.3)
axes[3].annotate("acknowledged", (121, 0.4), fontsize=8)
axes[3].set_xlabel("time, s")
fig.tight_layout()
plt.show()
