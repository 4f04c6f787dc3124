"""
A soft sensor corrected from laboratory samples
===============================================

A soft sensor predicts a product quality every minute, but its model is off by
a bias that drifts. Every four hours a sample is drawn, and the laboratory
publishes its result 45 minutes later, stamped with the time the sample was
drawn; the published value then stays until the next result.

:class:`~korvel.algorithm.labbias.SoftSensorBiasUpdate` keeps a time-stamped
history of its predictions. When a new laboratory result has been published
and stayed for ``const_len`` calls, it looks up the prediction that was valid
when the sample was drawn and sets the bias to laboratory value minus that
prediction; each call returns the bias through a first-order lag, to be added
to the prediction. :class:`~korvel.algorithm.labbias.LabDataRecorder` applies
the same new-result rule and appends every result to a CSV file (one complete,
synced line per result; see :doc:`/labfile`). The file goes into a temporary
folder here.

Times are seconds since the Unix epoch, as the wall clock gives them.
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

from korvel.algorithm.labbias import LabDataRecorder, SoftSensorBiasUpdate

START = 1_767_225_600.0  # 2026-01-01 00:00:00 UTC
MINUTE, HOUR = 60.0, 3600.0
rng = np.random.default_rng(7)


def true_quality(t):
    hours = (t - START) / HOUR
    return 92.0 + 1.5 * np.sin(hours / 3.0) + (0.8 if hours > 14 else 0.0)


def model_error(t):
    return 1.2 + 0.08 * (t - START) / HOUR  # the soft sensor drifts away


folder = tempfile.TemporaryDirectory()
sensor = SoftSensorBiasUpdate(name="quality", filter_tao=3.0, const_len=5)
recorder = LabDataRecorder(name="quality", const_len=5, csv_dir=folder.name)

# The result on display when the application starts: a sample of two hours ago.
lab_value, lab_time = true_quality(START - 2 * HOUR), START - 2 * HOUR
pending = None  # (value, drawn at, published at)
trace = {key: [] for key in ("hours", "true", "raw", "corrected", "lab")}
for k in range(24 * 60):  # one day, one call per minute
    now = START + k * MINUTE
    if k % 240 == 30:  # a sample is drawn every four hours
        pending = (true_quality(now) + rng.normal(0.0, 0.05), now, now + 45 * MINUTE)
    if pending and now >= pending[2]:
        lab_value, lab_time, pending = pending[0], pending[1], None

    prediction = true_quality(now) + model_error(now)
    recorder.run(lab_value, lab_time)
    bias = sensor.run(prediction, lab_value, lab_time, prd_time=now)
    if sensor.get_update_flag():
        print(
            f"{(now - START) / HOUR:5.2f} h: bias {sensor.get_bias():+.3f} from the sample "
            f"drawn at {(sensor.get_lab_time() - START) / HOUR:5.2f} h"
        )

    trace["hours"].append((now - START) / HOUR)
    trace["true"].append(true_quality(now))
    trace["raw"].append(prediction)
    trace["corrected"].append(prediction + bias)
    trace["lab"].append(lab_value)

# %%
# The laboratory file
# -------------------
# One line per new result, with the time of export, the time the sample was
# drawn (local time, whole seconds) and the value. The value on display at the
# first call is not recorded: only a change counts as a new result. The file
# is named after the recorder: ``<csv_dir>/<name>_Raw_LabData.csv``.

csv = Path(folder.name) / "quality_Raw_LabData.csv"
print(csv.read_text())
folder.cleanup()

# %%
# The corrected prediction follows the true quality; between two results it
# drifts with the model error, and each result pulls it back.

fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(trace["hours"], trace["true"], "k", lw=1, label="true quality")
ax.plot(trace["hours"], trace["raw"], "C3:", label="soft sensor")
ax.plot(trace["hours"], trace["corrected"], "C2", label="soft sensor + bias")
ax.step(trace["hours"], trace["lab"], "C0", where="post", lw=0.8, label="published lab value")
ax.set_xlabel("hours")
ax.set_ylabel("quality")
ax.legend(fontsize=8)
ax.grid(True, alpha=0.3)
fig.tight_layout()
plt.show()
