"""Odd values given to fields and operations are refused in the block's or Python's words.

A sweep over every public class of every module assigns None, a string,
bytes, a list, a dict and a plain object to every field of a constructed
instance and calls every operation with None; whatever is raised must not
speak with the binding library's voice.
"""

import importlib
import inspect

import pytest
from reference import reference_dict, reference_ini

MODULES = [
    "loopctl",
    "toolbox",
    "tfblock",
    "phaseshaper",
    "clampwind",
    "slewguard",
    "deadtime",
    "flatline",
    "latches",
    "heartbeat",
    "excite",
    "plantmodels",
    "gainsched",
    "labbias",
    "utilities",
]
BINDING_WORDING = ("incompatible function arguments", "fset(", "property ''", "Invoked with types")
ODD_VALUES = [None, "x", b"x", [1.0], {"a": 1.0}, object()]
# Operations that would draw a figure or sleep once their arguments are accepted.
SKIP_CALLS = {"plot_model_stp"}


def instances(tmp_path):
    """One constructed, stepped instance of every public class."""
    from korvel.algorithm import gainsched, labbias, plantmodels

    made = {
        "RateLimit": lambda cls: cls(3.0),
        "PIDBank": lambda cls: cls(3),
        "LDLAGBank": lambda cls: cls(3),
        "DelayBank": lambda cls: cls(3, 5),
        "AntiWindupLimterBank": lambda cls: cls(3),
        "RateLimitBank": lambda cls: cls(3, 0.0),
        "zFilterBank": lambda cls: cls(3),
        "MISOSimulator": lambda cls: cls([plantmodels.no_model()], [0.0]),
        "MIMOSim": lambda cls: cls(reference_dict(), reference_ini()),
        "MIMOSimBank": lambda cls: cls([reference_dict()] * 2, reference_ini()),
        "SISOSim": lambda cls: cls(2.0, 10.0),
        "LabDataRecorder": lambda cls: cls(csv_dir=str(tmp_path)),
    }
    for name in MODULES:
        module = importlib.import_module(f"korvel.algorithm.{name}")
        for attr, cls in vars(module).items():
            if (
                attr.startswith("_")
                or not isinstance(cls, type)
                or cls.__module__ != module.__name__
            ):
                continue
            if inspect.isabstract(cls) or attr == "model":
                continue
            obj = made.get(attr, lambda c: c())(cls)
            if isinstance(obj, gainsched.LPVPlantSim):
                obj.addPlant(1, 10.0, reference_dict(), 1)
                obj(12.0)
            elif isinstance(obj, labbias.SoftSensorBiasUpdate):
                obj.run(1.0, 2.0, 0.0, prd_time=60.0)
            yield f"{name}.{attr}", obj


def fields(obj):
    for name in dir(type(obj)):
        if name.startswith("__"):
            continue
        if isinstance(inspect.getattr_static(type(obj), name), property):
            yield name


def operations(obj):
    for name in dir(obj):
        if name.startswith("__") and name not in (
            "__call__",
            "__getstate__",
            "__setstate__",
            "__init__",
        ):
            continue
        if name in SKIP_CALLS:
            continue
        value = getattr(obj, name, None)
        if callable(value) and not isinstance(value, type):
            yield name, value


def module_functions():
    for name in MODULES:
        module = importlib.import_module(f"korvel.algorithm.{name}")
        for attr, fn in vars(module).items():
            if not attr.startswith("_") and callable(fn) and not isinstance(fn, type):
                if attr not in SKIP_CALLS:
                    yield f"{name}.{attr}", fn


def none_calls(fn):
    """fn(None), fn(None, None), ... up to the number of parameters."""
    try:
        count = len(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        count = 1
    for n in range(1, max(count, 1) + 1):
        yield (None,) * n


def binding_messages(action, *args):
    try:
        action(*args)
    except Exception as e:  # noqa: BLE001 - any refusal is fine, only its wording is checked
        text = f"{type(e).__name__}: {e}"
        if any(w in text for w in BINDING_WORDING):
            return [text]
    return []


def test_no_binding_library_message_reaches_a_user(tmp_path, capsys):
    found = []
    for label, obj in instances(tmp_path):
        for field in fields(obj):
            for value in ODD_VALUES:
                found += [
                    f"{label}.{field} = {value!r}: {m}"
                    for m in binding_messages(setattr, obj, field, value)
                ]
        for name, op in operations(obj):
            for args in none_calls(op):
                found += [f"{label}.{name}{args}: {m}" for m in binding_messages(op, *args)]
    for label, fn in module_functions():
        for args in none_calls(fn):
            found += [f"{label}{args}: {m}" for m in binding_messages(fn, *args)]
    capsys.readouterr()
    assert not found, "\n".join(found)


@pytest.mark.parametrize("value", ODD_VALUES)
def test_positive_parameter_property_refuses_every_non_instance(value):
    from korvel.algorithm.phaseshaper import LDLAG, positive_parameter_property

    calls = []

    class Gain:
        k = positive_parameter_property("k", (float, int))

        def __init__(self):
            self._k = 1.0

        def _modify_param(self):
            calls.append(self._k)

    g = Gain()
    with pytest.raises(TypeError) as e:
        g.k = value
    assert str(e.value) == f"k must be a {(float, int)}"
    assert g._k == 1.0 and not calls

    f = LDLAG()
    with pytest.raises(TypeError, match=r"^alpha must be a "):
        f.alpha = value
    assert f._alpha == 0.0


def test_fields_refuse_in_pythons_words_and_keep_their_value():
    from collections import deque

    from korvel.algorithm.deadtime import Delay
    from korvel.algorithm.excite import TestSignal
    from korvel.algorithm.loopctl import PID
    from korvel.algorithm.plantmodels import MIMOSim, tfz_model

    pid = PID()
    with pytest.raises(TypeError, match=r"^must be real number, not NoneType$"):
        pid._KP = None
    assert pid._KP == 1.0
    signal = TestSignal(1)
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        signal._ET = 2.5
    assert signal._ET == 10
    with pytest.raises(
        AttributeError, match=r"^property '_cache' of 'Delay' object has no setter$"
    ):
        Delay()._cache = deque()
    sim = MIMOSim(reference_dict(), reference_ini())
    with pytest.raises(TypeError, match=r"^_u_dict must be a dict, not list$"):
        sim._u_dict = []
    assert sim._u_dict == {"MV1": 15, "MV2": 16, "MV3": 17}
    model = tfz_model()
    with pytest.raises(TypeError, match=r"^Gz_num must be a sequence of numbers, not NoneType$"):
        model.Gz_num = None
    assert model.Gz_num.tolist() == [0, 1, 0.5]
