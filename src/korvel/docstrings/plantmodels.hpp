// Docstrings of korvel.algorithm.plantmodels.
#pragma once

namespace korvel::docstrings::plantmodels {

inline constexpr const char module[] =
    R"doc(Process simulation: pair models, MISO/MIMO/SISO simulators and step responses.

A multivariable process is described by a model dictionary, an ordered
mapping CV tag -> MV tag -> model entry, one single-input
single-output model per controlled/manipulated variable pair. ``MIMOSim``
builds one model object per pair and, called once per sample with the MV
values and CV disturbances, returns the CV values. All models work in
deviation form: a model sees its MV's deviation from the MV's initial
value and returns its contribution to the CV's deviation; the simulator
adds the initial values back.

A model entry is a dict with the key "mode" and the keys of its
mode ("IntegralMark", default 0, makes the pair integrating):

========  ======================================  ===========================
mode      keys                                    model
========  ======================================  ===========================
"tf_s"    "num_s", "den_s", "iodelay_s" (0)       G(s) exp(-iodelay_s s),
                                                  discretised at Ts
"tf_z"    "num_z", "den_z", "iodelay_z" (0)       G(z^-1), iodelay_z samples
                                                  of dead time
"stp"     "stp"                                   unit-step response table,
                                                  one value per sample
"stpxy"   "x", "y"                                step response at breakpoints
                                                  (in samples), interpolated
"None"    (none)                                  no model: contributes 0.0
========  ======================================  ===========================

Continuous coefficients are in descending powers of s, discrete ones in
ascending powers of z^-1. An absent "mode", or an absent pair, means no
model. An integrating "tf_s" pair is divided by s, a "tf_z" pair by
(1 - z^-1), and the tables of "stp" and "stpxy" are replaced by their
running sums.
)doc";

inline constexpr const char model[] = R"doc(Abstract base of the pair models.

A pair model advances one sample per ``deltaU_sim`` call: MV deviation in,
CV deviation out. The class cannot be instantiated itself; a subclass
written in Python that defines ``deltaU_sim`` can take the place of a
built-in model in a simulator.

Raises
------
TypeError
    Instantiating the class, or a subclass that does not define
    ``deltaU_sim`` ("Can't instantiate abstract class model without an
    implementation for abstract method 'deltaU_sim'").

Examples
--------
A pure gain of 2 written in Python, summed with a built-in model:

>>> from korvel.algorithm.plantmodels import MISOSimulator, model, stp_model
>>> class Gain(model):
...     def deltaU_sim(self, dU):
...         return 2.0 * dU
>>> row = MISOSimulator([Gain(), stp_model([1.0, 2.0])], [1.0, 0.0])
>>> row.one_step_sim([2.0, 1.0]), row.one_step_sim([2.0, 1.0])
(3.0, 4.0)
)doc";

inline constexpr const char model_step[] =
    R"doc(Advance the model one sample: MV deviation in, CV deviation out.

Abstract: subclasses define it; the base operation does nothing and
returns None.

Parameters
----------
dU : float
    Deviation of the MV from its initial value, this sample.

Returns
-------
float
    The CV deviation caused by this pair, this sample.
)doc";

inline constexpr const char no_model[] =
    R"doc(Pair without a model: contributes 0.0 whatever its MV does.

The simulators give it to every pair that has no model entry, an empty
one or the mode "None". The constructor takes no parameters.

Examples
--------
>>> from korvel.algorithm.plantmodels import no_model
>>> no_model().deltaU_sim(5.0)
0.0
)doc";

inline constexpr const char no_model_step[] = R"doc(Return 0.0 whatever the MV deviation is.

Parameters
----------
dU : float, default 0.0
    Deviation of the MV from its initial value; it must be a number.

Returns
-------
float
    0.0.

Raises
------
TypeError
    ``dU`` is not a real number ("must be real number, not str").
)doc";

inline constexpr const char tfz_model[] =
    R"doc(Discrete transfer-function pair model with a dead time of whole samples.

The model is

    G(z^-1) = z^-delay * (b0 + b1 z^-1 + ...) / (a0 + a1 z^-1 + ...)

evaluated one sample per ``deltaU_sim`` call from a state kept between
calls (zero, the rest state of a deviation model, after construction).

Parameters
----------
num : sequence of float, default [0, 1, 0.5]
    Numerator b0, b1, ... in ascending powers of z^-1.
den : sequence of float, default [1, -1.5, 0.7]
    Denominator a0, a1, ...; a0 normalises and must not be 0.
delay : int, default 0
    Dead time in samples, >= 0: as many zeros are put in front of the
    numerator, so the first ``delay`` outputs after a step are 0.

Raises
------
ValueError
    ``delay`` is negative ("index can't contain negative values"), the
    coefficients are not numeric, or filtering refuses them (a leading
    denominator coefficient of 0 with more than one coefficient: "BUG:
    filter coefficient a[0] == 0 not supported yet").
TypeError
    ``delay`` is not an integer ("`pad_width` must be of integral type.").

Examples
--------
A pure delay of two samples:

>>> from korvel.algorithm.plantmodels import tfz_model
>>> delay = tfz_model([1], [1], delay=2)
>>> [delay.deltaU_sim(du) for du in (1.0, 2.0, 3.0, 4.0)]
[0.0, 0.0, 1.0, 2.0]
>>> delay.Gz_num, delay.Gz_den
(array([0., 0., 1.]), array([1.]))

A second-order lag, unit step:

>>> lag = tfz_model([0, 1, 0.5], [1, -1.5, 0.7])
>>> [round(lag.deltaU_sim(1.0), 4) for _ in range(4)]
[0.0, 1.0, 3.0, 5.3]
)doc";

inline constexpr const char tfz_step[] = R"doc(Advance the model one sample and return its output.

Filtering sample by sample from the rest state gives exactly the output
of filtering the whole input sequence at once.

Parameters
----------
dU : float
    Deviation of the MV from its initial value, this sample.

Returns
-------
float
    The CV deviation caused by this pair, this sample.

Raises
------
TypeError
    ``dU`` is not a real number ("must be real number, not str").

Examples
--------
>>> from korvel.algorithm.plantmodels import tfz_model
>>> integrator = tfz_model([1], [1, -1])
>>> [integrator.deltaU_sim(1.0) for _ in range(3)]
[1.0, 2.0, 3.0]
)doc";

inline constexpr const char reset_zi[] =
    R"doc(Put the model back at rest: the state becomes all zeros.

The coefficients are not touched.

Examples
--------
>>> from korvel.algorithm.plantmodels import tfz_model
>>> integrator = tfz_model([1], [1, -1])
>>> integrator.deltaU_sim(1.0), integrator.deltaU_sim(1.0)
(1.0, 2.0)
>>> integrator.reset_zi()
>>> integrator.deltaU_sim(1.0)
1.0
)doc";

inline constexpr const char Gz_num[] =
    R"doc(Discrete numerator in ascending powers of z^-1, the dead time as leading zeros.

A float64 array. Assigning new coefficients keeps the state, so they must
need a state of the same length.
)doc";

inline constexpr const char Gz_den[] =
    R"doc(Discrete denominator in ascending powers of z^-1, a float64 array.

Assigning new coefficients keeps the state, so they must need a state of
the same length.
)doc";

inline constexpr const char tfs_model[] =
    R"doc(Continuous transfer-function pair model with dead time.

G(s) exp(-delay*s) is discretised once, at construction, at the sampling
period ``Ts`` by ``korvel.algorithm.toolbox.c2d`` (zero-order hold, the dead
time rounded to whole samples and built into the numerator); the model
then runs as a ``tfz_model`` with those coefficients. A strictly proper
G(s) also gets one sample of lag from the hold.

Parameters
----------
num : sequence of float, default [0, 1]
    Numerator in descending powers of s; leading zeros are dropped.
den : sequence of float, default [5, 1]
    Denominator in descending powers of s. The defaults give 1/(5 s + 1).
delay : float, default 0
    Dead time in seconds (the time unit of ``Ts``).
Ts : float, default 1
    Sampling period in seconds.

Raises
------
IndexError, ValueError, ZeroDivisionError
    The errors of ``c2d``: a numerator without a non-zero coefficient, an
    improper function, ``Ts`` 0, a dead time that rounds below 0 samples.

See Also
--------
korvel.algorithm.toolbox.c2d : the discretisation with dead time.

Examples
--------
>>> from korvel.algorithm.plantmodels import tfs_model
>>> lag = tfs_model([1], [5, 1], delay=2, Ts=1)
>>> [round(lag.deltaU_sim(1.0), 4) for _ in range(5)]
[0.0, 0.0, 0.0, 0.1813, 0.3297]
)doc";

inline constexpr const char stp_model[] =
    R"doc(Pair model from a unit-step response table, one value per sample.

The model is the finite impulse response whose unit-step response is the
table: element k is the output deviation k samples after the MV steps
(element 0 on the step's own sample); after the table the last value is
held. Any dead time is carried by the table itself (leading zeros).

Parameters
----------
stp : sequence of float, default [0.5, 1, 2, 3, 4, 5]
    The unit-step response, one value per sample; not empty.

Raises
------
ValueError
    ``stp`` is empty ("Parameter b is not a non-empty 1d array, since
    b.shape=(0,)!") or not numeric.

Notes
-----
The impulse response is h(0) = stp(0), h(k) = stp(k) - stp(k-1), so

    y(k) = h(0) u(k) + h(1) u(k-1) + ... + h(n-1) u(k-n+1).

Examples
--------
>>> from korvel.algorithm.plantmodels import stp_model
>>> table = stp_model([0, 0, 1, 1, 0, 0, 4])
>>> [table.deltaU_sim(2.0) for _ in range(9)]
[0.0, 0.0, 2.0, 2.0, 0.0, 0.0, 8.0, 8.0, 8.0]
)doc";

inline constexpr const char stpxy_model[] =
    R"doc(Pair model from a step response given at breakpoints.

The step response is interpolated linearly at every sample 0, 1, ...,
x[-1] (y[0] before the first breakpoint) and the model runs as the
``stp_model`` of that table.

Parameters
----------
x : sequence of float, default [1, 2, 3]
    Breakpoints in samples after the step, increasing.
y : sequence of float, default [10, 20, 30]
    Step-response values at the breakpoints; as many as ``x``.

Raises
------
AssertionError
    ``x`` and ``y`` differ in length (no message).

Examples
--------
>>> from korvel.algorithm.plantmodels import stpxy_model
>>> ramp = stpxy_model(x=[0, 4], y=[0.0, 2.0])
>>> [ramp.deltaU_sim(1.0) for _ in range(6)]
[0.0, 0.5, 1.0, 1.5, 2.0, 2.0]
)doc";

inline constexpr const char MISOSimulator[] = R"doc(Sum of the pair models of one CV.

Each step feeds every model the deviation of its MV from the MV's initial
value and returns the sum of the model outputs: the deviation of the CV
from its initial value caused by all its MVs. ``MIMOSim`` holds one per
CV.

Parameters
----------
model_list : sequence of model
    The pair models, one per MV, in MV order; stored as given.
u_ini_list : sequence of float
    The MVs' initial values, in the same order; stored as given.

Examples
--------
>>> from korvel.algorithm.plantmodels import MISOSimulator, no_model, tfz_model
>>> row = MISOSimulator([tfz_model([1], [1]), no_model()], [1.0, 2.0])
>>> row.one_step_sim([3.0, 7.0])
2.0
)doc";

inline constexpr const char one_step_sim[] =
    R"doc(Advance every model one sample and return the CV deviation.

Parameters
----------
u_list : sequence of float
    The current MV values, in MV order. Positions beyond the shortest of
    ``model_list``, ``u_list`` and ``u_ini_list`` are not used.

Returns
-------
float
    The sum over the MVs of model.deltaU_sim(u - u_ini).

Raises
------
TypeError
    An MV value or initial value is not a number.

Examples
--------
>>> from korvel.algorithm.plantmodels import MISOSimulator, stp_model
>>> row = MISOSimulator([stp_model([0.0, 1.0]), stp_model([2.0])], [10.0, 0.0])
>>> row.one_step_sim([11.0, 1.0]), row.one_step_sim([11.0, 1.0])
(2.0, 3.0)
)doc";

inline constexpr const char model_list[] = R"doc(The pair models of the CV, one per MV, in MV order.
)doc";

inline constexpr const char u_ini_list[] = R"doc(The MVs' initial values, in MV order.
)doc";

inline constexpr const char MIMOSim[] =
    R"doc(Multivariable process simulator built from a model dictionary.

Call it once per sample with the MV values and the CV disturbances; it
returns the CV values. One pair model is built for every CV and every MV
of the dictionary (a pair without a model entry contributes 0.0). The
order of the CVs is that of the dictionary's keys, the order of the MVs
that of their first appearance when the CVs are scanned in order; every
list and mapping of the simulator follows it. The models are fixed at
construction.

Parameters
----------
process_model_dict : dict
    The model dictionary CV tag -> MV tag -> model entry (see
    the module documentation); exactly a dict. A deep copy is kept.
ini_value_dict : dict, default {}
    Initial values, tag -> number, of the CVs and MVs; a tag missing from
    it starts at 0.0. A deep copy is kept.
Ts : float, default 1
    Sampling period in seconds; used to discretise the "tf_s" pairs.

Raises
------
TypeError
    ``process_model_dict`` is not a dict ("Argument 'process_model_dict'
    has incorrect type (expected dict, got list)").
KeyError
    A model entry lacks a key its mode requires (the key, such as
    'num_s').
AssertionError
    A mode is unknown (names are compared exactly: "TF_S" and None are
    unknown) or the "x" and "y" of an "stpxy" pair differ in length; no
    message.
ValueError, IndexError, ZeroDivisionError
    The errors of the discretisation or of the numeric routines for
    unusable coefficients, dead times or tables.

See Also
--------
get_model_stp : the unit-step responses of a model dictionary.
SISOSim : a simulator for one first-order process with dead time.

Notes
-----
One step, for every CV:

    y_cv = y_cv,ini + v_cv + sum over the MVs of G_cv,mv(u_mv - u_mv,ini)

where every pair model advances exactly one sample, also when no input
changed, and the disturbance v is an additive output offset for this
step only.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> process = {
...     "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25}},
...     "CV2": {"MV1": {"mode": "tf_z", "num_z": [0, 0.5], "den_z": [1, -0.5]},
...             "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4]}},
... }
>>> sim = MIMOSim(process, {"CV1": 10.0, "CV2": 20.0, "MV1": 15.0, "MV2": 16.0}, Ts=1)
>>> sim()
{'CV1': 10.0, 'CV2': 20.0}
>>> [sim({"MV2": 17.0})["CV2"] for _ in range(8)]
[20.0, 20.0, 21.0, 21.0, 20.0, 20.0, 24.0, 24.0]
>>> sim.get_cv_list(), sim.get_mv_list()
(['CV1', 'CV2'], ['MV1', 'MV2'])
>>> sim({}, {"CV1": 1.5})["CV1"], sim()["CV1"]
(11.5, 10.0)
)doc";

inline constexpr const char mimo_call[] =
    R"doc(Advance the process one sample and return the CV values.

Parameters
----------
u_Value_Dict : dict, default {}
    MV values, tag -> number. An MV that is not given keeps its previous
    value (its initial value before the first step); tags that are not
    MVs are ignored.
v_Value_Dict : dict, default {}
    CV disturbances, tag -> number, added to this step's output only;
    tags that are not CVs are ignored.

Returns
-------
dict
    A new dict CV tag -> float, in CV order.

Raises
------
TypeError
    A value is not a number; the MV values read before it and the CVs
    computed before it keep their new values.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> sim = MIMOSim({"TI100": {"FC100": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1]}}},
...               {"TI100": 80.0, "FC100": 5.0})
>>> sim({"FC100": 6.0}), sim(), sim(v_Value_Dict={"TI100": -0.5})
({'TI100': 80.0}, {'TI100': 81.0}, {'TI100': 80.5})
)doc";

inline constexpr const char reset[] = R"doc(Put the MV and CV values back to their initial values.

The MISO simulators are rebuilt from the same model objects, which keep
their states: the next steps continue from the state the earlier inputs
left, so they need not return the initial values.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> sim = MIMOSim({"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [1, -1]}}})
>>> sim({"MV": 1.0}), sim()
({'CV': 1.0}, {'CV': 2.0})
>>> sim.reset()
>>> sim.get_all_data_dict()
{'MV': 0.0, 'CV': 0.0}
>>> sim()
{'CV': 2.0}
)doc";

inline constexpr const char get_process_tags[] = R"doc(Return the CV tags followed by the MV tags.

Returns
-------
list of str
    A new list.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> MIMOSim({"CV1": {"MV1": {}, "MV2": {}}}).get_process_tags()
['CV1', 'MV1', 'MV2']
)doc";

inline constexpr const char get_input_data_dict[] = R"doc(Return the current MV values.

Returns
-------
dict
    A copy of MV tag -> value, in MV order.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> sim = MIMOSim({"CV1": {"MV1": {}, "MV2": {}}}, {"MV1": 3.0})
>>> _ = sim({"MV2": 4.0})
>>> sim.get_input_data_dict()
{'MV1': 3.0, 'MV2': 4.0}
)doc";

inline constexpr const char get_output_data_dict[] = R"doc(Return the current CV values.

Returns
-------
dict
    A copy of CV tag -> value, in CV order.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> MIMOSim({"CV1": {"MV1": {}}}, {"CV1": 7.0}).get_output_data_dict()
{'CV1': 7.0}
)doc";

inline constexpr const char get_all_data_dict[] =
    R"doc(Return the MV values followed by the CV values.

Returns
-------
dict
    A new dict: MV entries first, then CV entries; a tag that is both an
    MV and a CV shows its CV value.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> MIMOSim({"CV1": {"MV1": {}}}, {"CV1": 7.0, "MV1": 1.0}).get_all_data_dict()
{'MV1': 1.0, 'CV1': 7.0}
)doc";

inline constexpr const char get_cv_list[] = R"doc(Return the CV tags, in order.

Returns
-------
list of str
    A copy.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> MIMOSim({"CV2": {}, "CV1": {}}).get_cv_list()
['CV2', 'CV1']
)doc";

inline constexpr const char get_mv_list[] =
    R"doc(Return the MV tags, in the order of their first appearance.

Returns
-------
list of str
    A copy.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> MIMOSim({"CV1": {"MV2": {}, "MV1": {}}, "CV2": {"MV3": {}}}).get_mv_list()
['MV2', 'MV1', 'MV3']
)doc";

inline constexpr const char get_model_dict[] = R"doc(Return the model dictionary.

Returns
-------
dict
    A deep copy: changing it changes nothing in the simulator.

Examples
--------
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> layout = {"CV1": {"MV1": {"mode": "stp", "stp": [1.0]}}}
>>> MIMOSim(layout).get_model_dict() == layout
True
)doc";

inline constexpr const char mimo_plot[] =
    R"doc(Plot the unit-step responses of this simulator's pairs.

Calls the module function ``plot_model_stp`` with the simulator's model
dictionary and sampling period.

Parameters
----------
plotLen : int, default 300
    Number of samples of every response; exactly an int.

Raises
------
TypeError
    ``plotLen`` is not exactly an int, or the simulator's ``Ts`` is not an
    int ("Argument 'Ts' has incorrect type (expected int, got float)"),
    although stepping such a simulator works.
ValueError
    ``plotLen`` is 0 ("max() iterable argument is empty").

Examples
--------
>>> import matplotlib
>>> matplotlib.use("Agg")
>>> import matplotlib.pyplot as plt
>>> from korvel.algorithm.plantmodels import MIMOSim
>>> sim = MIMOSim({"CV1": {"MV1": {"mode": "tf_s", "num_s": [1], "den_s": [5, 1]}}})
>>> sim.plot_model_stp(plotLen=50)
>>> [ax.get_title() for ax in plt.gcf().axes]
['CV1-MV1']
>>> plt.close("all")
)doc";

inline constexpr const char Ts[] =
    R"doc(Sampling period in seconds, as given; used to discretise the "tf_s" pairs.
)doc";

inline constexpr const char process_model_dict[] =
    R"doc(Deep copy of the model dictionary the simulator was built from.
)doc";

inline constexpr const char cv_list[] =
    R"doc(The CV tags, in the order of the model dictionary's keys.
)doc";

inline constexpr const char mv_list[] =
    R"doc(The MV tags, in the order of their first appearance in the model dictionary.
)doc";

inline constexpr const char ini_value_dict[] =
    R"doc(Deep copy of the initial values, tag -> number; a missing tag starts at 0.0.
)doc";

inline constexpr const char yu_model_obj[] =
    R"doc(The pair model objects, CV tag -> MV tag -> model, complete for every pair.
)doc";

inline constexpr const char cv_simulators[] =
    R"doc(One MISOSimulator per CV, CV tag -> simulator, in CV order.

Each holds the CV's row of ``yu_model_obj`` (the same model objects) and
the MVs' initial values, in MV order; ``reset`` rebuilds them.
)doc";

inline constexpr const char SISOSim[] = R"doc(Simulator of one first-order process with dead time.

A ``MIMOSim`` with the single CV "CV" and the single MV "MV", both starting
at 0.0, so its output is the deviation the MV causes. The process is

    G(s) = gain / (tao*s + 1) * exp(-delay*s)

divided by s when ``integralMark`` is true. Call it with {"MV": value} and
optionally a disturbance {"CV": offset}; it returns {"CV": value}.

Parameters
----------
gain : float
    Steady-state gain (for an integrating process: the rate of change of
    the CV per unit of MV, per second).
tao : float
    Time constant in seconds.
delay : float, default 0
    Dead time in seconds, rounded to whole samples.
Ts : float, default 1
    Sampling period in seconds.
integralMark : int, default 0
    Non-zero: the process is integrating.

Raises
------
IndexError, ValueError, ZeroDivisionError
    The errors of the discretisation for unusable values.

See Also
--------
MIMOSim : the general simulator.

Examples
--------
>>> from korvel.algorithm.plantmodels import SISOSim
>>> plant = SISOSim(gain=2.0, tao=10.0, delay=5, Ts=1)
>>> outputs = [plant({"MV": 1.0})["CV"] for _ in range(200)]
>>> outputs[:6] == [0.0] * 6, round(outputs[6], 4), round(outputs[-1], 4)
(True, 0.1903, 2.0)
>>> plant.get_cv_list(), plant.get_mv_list()
(['CV'], ['MV'])
)doc";

inline constexpr const char get_model_tags[] =
    R"doc(Return the CV tags and the MV tags of a model dictionary.

The model entries themselves are not looked at.

Parameters
----------
yu_model : dict
    The model dictionary CV tag -> MV tag -> model entry.

Returns
-------
cv_tag_list : list
    The CV tags, in key order.
mv_tag_list : list
    The MV tags, each once, in the order of their first appearance when
    the CVs are scanned in order.

Raises
------
AttributeError
    An entry of a CV is not a mapping ("'int' object has no attribute
    'keys'").

Examples
--------
>>> from korvel.algorithm.plantmodels import get_model_tags
>>> get_model_tags({"CV1": {"MV2": {}, "MV1": {}}, "CV2": {"MV1": {}, "MV3": {}}})
(['CV1', 'CV2'], ['MV2', 'MV1', 'MV3'])
>>> get_model_tags({})
([], [])
)doc";

inline constexpr const char get_model_stp[] =
    R"doc(Return the unit-step response of every CV/MV pair.

Each pair is simulated on its own, from rest, with its MV stepped to 1.0
on sample 0.

Parameters
----------
yu_model : dict
    The model dictionary; exactly a dict.
Ts : int, default 1
    Sampling period in seconds; exactly an int.
length : int, default 300
    Number of samples of every response; exactly an int.

Returns
-------
dict
    CV tag -> MV tag -> list of float, for every CV and every MV in tag
    order. A list holds ``length`` values (element 0 is the output on the
    sample of the step), or is empty when the response is flat: its
    range (largest minus smallest value) is below 1e-6. A pair without a
    model comes back empty.

Raises
------
TypeError
    An argument is not of its exact type ("Argument 'Ts' has incorrect
    type (expected int, got float)").
ValueError
    ``length`` is 0 ("max() iterable argument is empty").
KeyError, AssertionError
    A model entry is refused, as by ``MIMOSim``.

Examples
--------
>>> from korvel.algorithm.plantmodels import get_model_stp
>>> process = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}},
...            "CV2": {"MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4]}}}
>>> get_model_stp(process, Ts=1, length=10)
{'CV1': {'MV1': [0.0, 1.0, 1.5, 1.75, 1.875, 1.9375, 1.96875, 1.984375, 1.9921875, 1.99609375], 'MV2': []}, 'CV2': {'MV1': [], 'MV2': [0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 4.0, 4.0, 4.0, 4.0]}}
)doc";

inline constexpr const char plot_model_stp[] =
    R"doc(Draw the unit-step responses of a model dictionary as a grid of plots.

One row per CV and one column per MV, each cell titled "CV-MV" with the
pair's response against the sample index (an empty cell for a flat
response), then Matplotlib's ``show``. Without Matplotlib installed the
function returns at once and computes nothing. It sets the process-wide
Matplotlib settings "font.sans-serif" and "axes.unicode_minus".

Parameters
----------
yu_model : dict
    The model dictionary; exactly a dict.
Ts : int, default 1
    Sampling period in seconds; exactly an int.
plotLen : int, default 300
    Number of samples of every response; exactly an int.

Raises
------
TypeError
    An argument is not of its exact type ("Argument 'yu_model' has
    incorrect type (expected dict, got list)").
ValueError
    ``plotLen`` is 0 ("max() iterable argument is empty").

See Also
--------
get_model_stp : the responses that are drawn.

Examples
--------
>>> import matplotlib
>>> matplotlib.use("Agg")
>>> import matplotlib.pyplot as plt
>>> from korvel.algorithm.plantmodels import plot_model_stp
>>> process = {"CV1": {"MV1": {"mode": "tf_s", "num_s": [1], "den_s": [5, 1]},
...                    "MV2": {"mode": "stp", "stp": [0, 1, 2]}}}
>>> plot_model_stp(process, Ts=1, plotLen=50)
>>> [ax.get_title() for ax in plt.gcf().axes]
['CV1-MV1', 'CV1-MV2']
>>> plt.close("all")
)doc";

inline constexpr const char MIMOSimBank[] =
    R"doc(n multivariable process simulators stepped together, each exactly a ``MIMOSim``.

Lane i is the ``MIMOSim`` built from ``process_model_dicts[i]``; called
with tag mappings whose values are numbers (every lane takes them) or
arrays of n values (one per lane), the bank gives every lane, to the last
bit, what its simulator would give. Use it for Monte Carlo studies over
plant gains, time constants and dead times.

Parameters
----------
process_model_dicts : sequence of dict
    One model dictionary per lane (see ``MIMOSim``); every lane must have
    the same CV tags and MV tags in the same order. Lanes given the same
    dictionary object at the same period share one discretisation.
ini_value_dict : dict, default {}
    Initial values, tag -> a number or n values; a tag missing from it
    starts at 0.0 in every lane.
Ts : float or array of n floats, default 1
    Sampling period of each lane; used to discretise the "tf_s" pairs.

Raises
------
TypeError
    ``process_model_dicts`` is a dict rather than one dict per lane, or a
    lane's dictionary is not a dict.
ValueError
    A lane's tags differ from lane 0's (both are named), or a value does
    not broadcast to n lanes.

See Also
--------
MIMOSim : one simulator; ``bank[i]`` is lane i as a ``MIMOSim``.

Notes
-----
``len(bank)`` is n. ``bank[i]`` returns a new ``MIMOSim`` that continues
exactly as lane i would (its models' states, its initial and current
values); ``bank[i] = sim`` makes lane i a copy of that simulator (its
models must be the library's own). A bank pickles and deep-copies, and a
copy continues exactly as the original would.

Examples
--------
>>> import numpy as np
>>> from korvel.algorithm.plantmodels import MIMOSimBank
>>> def plant(gain):
...     return {"TI100": {"FC100": {"mode": "tf_z", "num_z": [0, gain], "den_z": [1, -0.5]}}}
>>> bank = MIMOSimBank([plant(1.0), plant(2.0), plant(4.0)], {"TI100": 80.0, "FC100": 5.0})
>>> len(bank), bank.get_cv_list()
(3, ['TI100'])
>>> _ = bank({"FC100": 6.0})
>>> bank({"FC100": 6.0})["TI100"]
array([81., 82., 84.])
>>> bank[2]()
{'TI100': 86.0}
)doc";

inline constexpr const char bank_call[] =
    R"doc(Advance every lane one sample and return the CV values.

Parameters
----------
u_Value_Dict : dict, default {}
    MV values, tag -> a number or n values. An MV that is not given keeps
    its previous values; tags that are not MVs are ignored.
v_Value_Dict : dict, default {}
    CV disturbances, tag -> a number or n values, added to this step's
    outputs only; tags that are not CVs are ignored.

Returns
-------
dict
    A new dict CV tag -> float64 array of n values, in CV order.

Raises
------
ValueError, TypeError
    A value does not convert or broadcast to n lanes; then no lane has
    changed.
)doc";

inline constexpr const char bank_reset[] =
    R"doc(Put every lane's MV and CV values back to its initial values.

The models keep their states, as ``MIMOSim.reset`` keeps them.
)doc";

inline constexpr const char bank_get_process_tags[] =
    R"doc(Return the CV tags followed by the MV tags (a new list).
)doc";

inline constexpr const char bank_get_input_data_dict[] =
    R"doc(Return the current MV values: a new dict MV tag -> array of n values.
)doc";

inline constexpr const char bank_get_output_data_dict[] =
    R"doc(Return the current CV values: a new dict CV tag -> array of n values.
)doc";

inline constexpr const char bank_get_all_data_dict[] =
    R"doc(Return the MV values followed by the CV values, each an array of n values.
)doc";

inline constexpr const char bank_get_cv_list[] = R"doc(Return the CV tags (a new list).
)doc";

inline constexpr const char bank_get_mv_list[] = R"doc(Return the MV tags (a new list).
)doc";

inline constexpr const char bank_get_model_dict[] =
    R"doc(Return a deep copy of every lane's model dictionary, as a list.
)doc";

} // namespace korvel::docstrings::plantmodels
