// Docstrings of korvel.algorithm.gainsched.
#pragma once

namespace korvel::docstrings::gainsched {

inline constexpr const char module[] =
    R"doc(LPV plant simulation: local MIMO plants blended by working point.

A plant whose dynamics change with an operating condition, measured by
one number (the working value: a load, a throughput, a level), is
approximated by a bank of local linear simulators, each valid at one
working point. ``LPVPlantSim`` steps every local ``MIMOSim`` once per
sample and interpolates their outputs linearly between the two local
plants that bracket the working value; ``LPVLocalPlant`` is one entry of
its bank.
)doc";

inline constexpr const char LPVLocalPlant[] =
    R"doc(One local plant of an LPVPlantSim bank: a plain record with public fields.

``LPVPlantSim.addPlant`` creates and fills it; the constructor takes no
parameters and leaves ``plant_id``, ``working_point``, ``plant`` and
``yu_model_tf`` None, ``Ts`` 1 and ``current_weight`` 0.0.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(7, 40.0, {"CV1": {"MV1": {"mode": "stp", "stp": [1.0]}}}, 1)
>>> local = sim.get_plant_dict()[7]
>>> local.plant_id, local.working_point, local.Ts, local.current_weight
(7, 40.0, 1, 0.0)
>>> local.plant.get_cv_list()
['CV1']
)doc";

inline constexpr const char plant_id[] =
    R"doc(Identifier of the local plant, chosen by the caller (an int).
)doc";

inline constexpr const char working_point[] =
    R"doc(Working value at which the local plant holds, a float.
)doc";

inline constexpr const char plant[] =
    R"doc(The local simulator, a MIMOSim whose CVs start at 0.0 (deviation form).
)doc";

inline constexpr const char yu_model_tf[] =
    R"doc(The model dictionary given to addPlant: the same object, not a copy.
)doc";

inline constexpr const char lp_Ts[] =
    R"doc(Sampling period of the local simulator in seconds, an int (default 1).
)doc";

inline constexpr const char current_weight[] =
    R"doc(Share of this plant in the latest blended output, 0.0 to 1.0 (default 0.0).
)doc";

inline constexpr const char LPVPlantSim[] =
    R"doc(Linear-parameter-varying plant simulator blending local MIMO plants.

Add local plants with ``addPlant``, each a model dictionary valid at one
working point, then call the simulator once per sample with the working
value, the MV values and the CV disturbances. Every local simulator
advances on every step; the output is interpolated linearly between the
two local plants around the working value, and follows the nearest end
plant alone outside the range of working points (no extrapolation). The
local simulators run in deviation form (their CVs start at 0.0); the
CVs' initial values are added once, after blending.

Parameters
----------
ini_value_dict : dict, default {}
    Initial values, tag -> number, of the MVs and CVs; a deep copy is
    kept. A tag missing from it starts at 0.0.

Raises
------
TypeError
    ``ini_value_dict`` is not a dict ("Argument 'ini_value_dict' has
    incorrect type (expected dict, got list)").

See Also
--------
korvel.algorithm.plantmodels.MIMOSim : the local simulator.

Notes
-----
With the working points w(0) < ... < w(n-1) of the bank, the working
value x has the fractional index f = interp(x, w, [0 ... n-1]) (0 below
w(0), n - 1 above w(n-1)). With i = floor(f), j = ceil(f) and
wj = min(1, max(0, f - i)), every CV is

    y = (1 - wj) * y_i + wj * y_j + y_ini

where y_i, y_j are the outputs of local plants i and j. A disturbance is
applied by every local simulator and so appears once in the blend.

Examples
--------
Two local plants, gain 1 at working point 10 and gain 3 at 30:

>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> low = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [1.0], "den_z": [1.0]}}}
>>> high = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [3.0], "den_z": [1.0]}}}
>>> sim = LPVPlantSim({"CV1": 5.0, "MV1": 2.0})
>>> sim.addPlant(1, 10.0, low, 1)
>>> sim.addPlant(2, 30.0, high, 1)
>>> sim(15.0, {"MV1": 3.0})
{'CV1': 6.5}
>>> sim.get_current_plant_weight_dict()
{1: 0.75, 2: 0.25}
>>> sim(30.0), sim(100.0), sim(5.0)
({'CV1': 8.0}, {'CV1': 8.0}, {'CV1': 6.0})
)doc";

inline constexpr const char call[] =
    R"doc(Advance every local plant one sample and return the blended CV values.

Parameters
----------
working_value : float
    The current working value, on the scale of the working points.
u_Value_Dict : dict, default {}
    MV values, tag -> number, handed to every local simulator as given;
    an MV that is not given keeps its previous value.
v_Value_Dict : dict, default {}
    CV disturbances, tag -> number, for this step only.

Returns
-------
dict
    A new dict CV tag -> float. Only the CVs of the lower neighbouring
    plant are rewritten; a CV that only other plants have keeps its
    previous value.

Raises
------
ValueError
    The bank is empty ("array of sample points is empty"), or the working
    value is NaN ("cannot convert float NaN to integer"); the working
    value and the MV values have been taken by then.
AttributeError
    ``u_Value_Dict`` has no items ("'NoneType' object has no attribute
    'items'").
KeyError
    The upper plant lacks a CV of the lower one (the tag).
TypeError
    ``working_value`` is not a real number, or a local simulator refuses
    a value.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> for plant_id, wp, gain in [(1, 10.0, 1.0), (2, 20.0, 2.0), (3, 40.0, 4.0)]:
...     sim.addPlant(plant_id, wp, {"CV": {"MV": {"mode": "stp", "stp": [gain]}}}, 1)
>>> sim(30.0, {"MV": 1.0})
{'CV': 3.0}
>>> sim.get_current_plant_weight_dict()
{1: 0.0, 2: 0.5, 3: 0.5}
)doc";

inline constexpr const char run[] = R"doc(Advance one sample; the same as calling the simulator.

Parameters
----------
working_value : float
    The current working value.
u_Value_Dict : dict, default {}
    MV values, tag -> number.
v_Value_Dict : dict, default {}
    CV disturbances, tag -> number, for this step only.

Returns
-------
dict
    A new dict CV tag -> float.

Raises
------
ValueError, AttributeError, KeyError, TypeError
    As calling the simulator.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim({"CV": 1.0})
>>> sim.addPlant(1, 0.0, {"CV": {"MV": {"mode": "stp", "stp": [2.0]}}}, 1)
>>> sim.run(0.0, {"MV": 1.0}, {"CV": 0.5})
{'CV': 3.5}
)doc";

inline constexpr const char addPlant[] = R"doc(Add a local plant to the bank, or replace one.

A plant with the same ``plant_id`` is removed first; a plant with the
same working point (under another identifier) is replaced too: the
newest plant wins. The local simulator is a new ``MIMOSim`` of the model
dictionary whose CVs start at 0.0 and whose MVs start at their initial
values. CV and MV tags not yet known to the simulator are added to its
mappings, at their initial values. The bank stays ordered by working
point.

Parameters
----------
plant_id : int
    Identifier of the local plant; exactly an int.
working_point : float
    Working value at which the local model holds.
yu_model_tf : dict
    The local model dictionary, CV tag -> MV tag -> model entry; exactly
    a dict. The record keeps this very object.
Ts : int
    Sampling period of the local simulator in seconds; exactly an int.

Raises
------
TypeError
    ``plant_id`` or ``Ts`` is not exactly an int, ``yu_model_tf`` not a
    dict ("Argument 'plant_id' has incorrect type (expected int, got
    bool)"), or ``working_point`` not a real number; nothing changes.
KeyError, AssertionError, ValueError
    ``MIMOSim`` refuses the model dictionary; a plant with the same
    identifier has been removed by then, nothing else has changed.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> layout = {"CV1": {"MV1": {}}}
>>> for plant_id, wp in [(1, 50.0), (2, 10.0), (3, 30.0)]:
...     sim.addPlant(plant_id, wp, layout, 1)
>>> [(p.plant_id, p.working_point) for p in sim.plant_list]
[(2, 10.0), (3, 30.0), (1, 50.0)]
>>> sim.addPlant(4, 30.0, layout, 1)
>>> list(sim.get_plant_dict())
[2, 4, 1]
)doc";

inline constexpr const char delPlant[] = R"doc(Remove a local plant from the bank.

An identifier that is not in the bank changes nothing. The tags of the
plant stay in the simulator's mappings.

Parameters
----------
plant_id : int
    Identifier of the local plant; exactly an int.

Raises
------
TypeError
    ``plant_id`` is not exactly an int ("Argument 'plant_id' has incorrect
    type (expected int, got float)").

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(1, 10.0, {"CV1": {"MV1": {}}}, 1)
>>> sim.delPlant(1)
>>> sim.delPlant(99)
>>> sim.plant_list, sim.get_cv_list()
([], ['CV1'])
)doc";

inline constexpr const char sort[] =
    R"doc(Order the bank by working point, dropping later duplicates.

Plants whose working point equals that of an earlier plant in the
current order are dropped. ``addPlant`` and ``delPlant`` call it.
)doc";

inline constexpr const char get_plant_dict[] = R"doc(Return the local plants by identifier.

Returns
-------
dict
    A new dict plant_id -> LPVLocalPlant, in the order of the bank
    (ascending working point); the values are the bank's own records.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(5, 2.0, {}, 1)
>>> sim.addPlant(6, 1.0, {}, 1)
>>> list(sim.get_plant_dict())
[6, 5]
)doc";

inline constexpr const char get_current_plant_weight_dict[] =
    R"doc(Return the share of every local plant in the latest step.

Returns
-------
dict
    A new dict plant_id -> weight, in bank order. After a step at most two
    weights are non-zero and they sum to 1.0; before the first step all
    are 0.0.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(1, 0.0, {"CV": {"MV": {}}}, 1)
>>> sim.addPlant(2, 4.0, {"CV": {"MV": {}}}, 1)
>>> _ = sim(1.0)
>>> sim.get_current_plant_weight_dict()
{1: 0.75, 2: 0.25}
)doc";

inline constexpr const char get_cv_list[] =
    R"doc(Return the CV tags known to the simulator, in order of first appearance.

Returns
-------
list of str
    A new list; tags stay after their plants are removed.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(1, 1.0, {"A": {}, "B": {}}, 1)
>>> sim.addPlant(2, 2.0, {"B": {}, "C": {}}, 1)
>>> sim.get_cv_list()
['A', 'B', 'C']
)doc";

inline constexpr const char get_mv_list[] =
    R"doc(Return the MV tags known to the simulator, in order of first appearance.

Returns
-------
list of str
    A new list; tags stay after their plants are removed.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(1, 1.0, {"CV": {"FC1": {}, "FC2": {}}}, 1)
>>> sim.get_mv_list()
['FC1', 'FC2']
)doc";

inline constexpr const char get_input_data_dict[] = R"doc(Return the current MV values.

Returns
-------
dict
    A deep copy of MV tag -> value. MV tags that no local plant uses are
    not listed.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim({"MV": 2.0})
>>> sim.addPlant(1, 1.0, {"CV": {"MV": {}}}, 1)
>>> _ = sim(1.0, {"MV": 3.0, "OTHER": 1.0})
>>> sim.get_input_data_dict()
{'MV': 3.0}
)doc";

inline constexpr const char get_output_data_dict[] = R"doc(Return the current CV values.

Returns
-------
dict
    A deep copy of CV tag -> value.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim({"CV": 4.0})
>>> sim.addPlant(1, 1.0, {"CV": {"MV": {}}}, 1)
>>> sim.get_output_data_dict()
{'CV': 4.0}
)doc";

inline constexpr const char get_all_data_dict[] =
    R"doc(Return the MV values followed by the CV values.

Returns
-------
dict
    A new dict: MV entries first, then CV entries; a tag present in both
    shows its CV value.

Examples
--------
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim({"CV": 4.0, "MV": 1.0})
>>> sim.addPlant(1, 1.0, {"CV": {"MV": {}}}, 1)
>>> sim.get_all_data_dict()
{'MV': 1.0, 'CV': 4.0}
)doc";

inline constexpr const char plot_model_stp[] =
    R"doc(Plot the unit-step responses of one local plant.

Calls the local simulator's ``plot_model_stp``. An identifier that is not
in the bank, or an empty bank, does nothing.

Parameters
----------
plant_id : int
    Identifier of the local plant.
plotLen : int, default 300
    Number of samples of every response.

Returns
-------
None

Raises
------
TypeError, ValueError
    As ``MIMOSim.plot_model_stp``.

Examples
--------
>>> import matplotlib
>>> matplotlib.use("Agg")
>>> import matplotlib.pyplot as plt
>>> from korvel.algorithm.gainsched import LPVPlantSim
>>> sim = LPVPlantSim()
>>> sim.addPlant(1, 1.0, {"CV": {"MV": {"mode": "stp", "stp": [0, 1]}}}, 1)
>>> sim.plot_model_stp(99)
>>> sim.plot_model_stp(1, plotLen=20)
>>> [ax.get_title() for ax in plt.gcf().axes]
['CV-MV']
>>> plt.close("all")
)doc";

inline constexpr const char plant_list[] =
    R"doc(The bank: a list of LPVLocalPlant in ascending order of working point.
)doc";

inline constexpr const char ini_value_dict[] =
    R"doc(Deep copy of the initial values, tag -> number, given to the constructor.
)doc";

} // namespace korvel::docstrings::gainsched
