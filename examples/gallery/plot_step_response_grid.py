"""
Step responses of a model dictionary
====================================

A model dictionary describes a process pair by pair: CV tag, then MV tag, then
the model of that pair. Four kinds of model can be mixed freely:

* ``"tf_s"``: a continuous transfer function (descending powers of ``s``) with
  a dead time in seconds, discretised with a zero-order hold at ``Ts``;
* ``"tf_z"``: a discrete transfer function (ascending powers of ``z^-1``) with
  a dead time in samples;
* ``"stp"``: a unit-step response table, one value per sample;
* ``"stpxy"``: breakpoints of a step response, interpolated at every sample.

``"IntegralMark": 1`` makes a pair integrating. A pair that is absent has no
model: it contributes nothing.
:func:`~korvel.algorithm.plantmodels.get_model_stp` returns the unit-step
response of every pair (an empty list for a flat one), and
:func:`~korvel.algorithm.plantmodels.plot_model_stp` draws them as a grid, one
row per CV and one column per MV.
"""

import matplotlib.pyplot as plt

from korvel.algorithm import _reference
from korvel.algorithm.plantmodels import get_model_stp, get_model_tags, plot_model_stp

# The reference process, with a breakpoint table on CV1/MV3 and a third CV.
models = _reference.process()
models["CV1"]["MV3"] = {"mode": "stpxy", "x": [0, 10, 40, 80], "y": [0, 0, -2.5, -3.0]}
models["CV3"] = {"MV2": {"mode": "tf_z", "num_z": [0, 0.2], "den_z": [1, -0.8], "iodelay_z": 5}}

cvs, mvs = get_model_tags(models)
print("CVs", cvs, "MVs", mvs)

responses = get_model_stp(models, Ts=1, length=200)
for cv in cvs:
    for mv in mvs:
        stp = responses[cv][mv]
        shown = f"{len(stp)} samples, final value {stp[-1]:.3f}" if stp else "no model"
        print(f"{cv} <- {mv}: {shown}")

# %%
# The grid
# --------
# ``plot_model_stp`` opens one figure and calls ``plt.show()``. It sets a
# process-wide font preference for its labels; the ``rc_context`` puts the
# previous settings back afterwards. The ``CV3``-``MV1`` and ``CV3``-``MV3``
# cells are empty: those pairs have no model. A running simulator draws the
# same grid with ``MIMOSim.plot_model_stp(plotLen)``.

with plt.rc_context():
    plot_model_stp(models, Ts=1, plotLen=200)
plt.gcf().set_size_inches(10, 9)
