"""
A test signal and the response it excites
=========================================

:class:`~korvel.algorithm.excite.TestSignal` makes a random two-level signal
for plant tests: time runs in cycles of ``2 * ET`` seconds, and each cycle is
``+amplitude`` from its start to a random switching instant and
``-amplitude`` after it. The switching instants come from a table drawn once
from a seed, so the signal is a fixed function of time: the same seed and the
same clock give the same test. (Constructing one reseeds NumPy's legacy global
random generator.) Each call also returns the times to the next five level
changes, so a test can be scheduled ahead.

The signal moves the valve of a simulated process around its working point;
a first-order model fitted to the response recovers the process gain.
"""

import matplotlib.pyplot as plt
import numpy as np

from korvel.algorithm.excite import TestSignal
from korvel.algorithm.plantmodels import SISOSim

signal = TestSignal(SEED=3)
signal.set_ET(20)  # cycles of 40 s
signal.set_amplitude(2.0)

U, *next_changes = signal(100)
print(f"at t = 100 s the level is {U:+.1f}; next changes in {next_changes} s")

process = SISOSim(gain=1.5, tao=15.0, delay=4, Ts=1)  # deviation from the working point
t0 = 1_767_225_600  # the test starts at 2026-01-01 00:00:00 UTC, in whole seconds
u, y = [], []
for k in range(600):
    level = signal(t0 + k)[0]
    u.append(level)
    y.append(process({"MV": level})["CV"])

# %%
# Identification
# --------------
# The zero-order hold of the simulator adds one sample to the 4 s dead time, so
# fit ``y(k) = a y(k-1) + b u(k-5)`` by least squares; the gain is
# ``b / (1 - a)`` and the time constant ``-1 / ln(a)``. The simulated
# response carries no noise, so the fit is exact; a real test adds noise and
# needs a longer record.

u_arr, y_arr = np.asarray(u), np.asarray(y)
d = 5
X = np.column_stack([y_arr[d - 1 : -1], u_arr[:-d]])
(a, b), *_ = np.linalg.lstsq(X, y_arr[d:], rcond=None)
print(f"gain {b / (1 - a):.4f} (process 1.5), time constant {-1 / np.log(a):.3f} s (process 15)")

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 4.5))
top.step(range(600), u, where="post", lw=1)
top.set_ylabel("test signal")
bottom.plot(y, "C1")
bottom.set_ylabel("process response")
bottom.set_xlabel("time from the start of the test, s")
for ax in (top, bottom):
    ax.grid(True, alpha=0.3)
fig.tight_layout()
plt.show()
