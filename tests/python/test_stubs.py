"""The type stubs next to the extension modules describe those modules.

Each stub is parsed with ast and held against the imported module: the same
names, classes and fields; parameter names, order and required/optional status
probed through the argument binder's own messages (every probe ends in an
unknown keyword, so nothing runs); the stubs' default values compared with the
runtime's own defaults by calling each operation once with the argument left
out and once with the stub's value given; and values read or returned at run
time checked against the stub's annotations.
"""

import ast
import collections
import collections.abc
import copy
import importlib
import importlib.machinery
import inspect
import math
import pathlib
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest

import korvel.algorithm

PACKAGE_DIR = pathlib.Path(korvel.algorithm.__file__).parent
UNKNOWN = "zz_not_a_parameter"


# --- stub model -------------------------------------------------------------


@dataclass
class Param:
    name: str
    default: ast.expr | None


@dataclass
class Func:
    qualname: str
    name: str
    params: list[Param]
    returns: ast.expr
    is_method: bool
    abstract: bool = False

    @property
    def required(self) -> list[Param]:
        return [p for p in self.params if p.default is None]

    @property
    def defaulted(self) -> list[Param]:
        return [p for p in self.params if p.default is not None]


@dataclass
class Attr:
    name: str
    annotation: ast.expr
    setter: ast.expr | None  # None: read-only


@dataclass
class Cls:
    name: str
    bases: list[str]
    methods: dict[str, Func] = field(default_factory=dict)
    attrs: dict[str, Attr] = field(default_factory=dict)


@dataclass
class Stub:
    module: str
    functions: dict[str, Func] = field(default_factory=dict)
    classes: dict[str, Cls] = field(default_factory=dict)
    aliases: dict[str, ast.expr] = field(default_factory=dict)
    imports: set[str] = field(default_factory=set)


def parse_func(node: ast.FunctionDef, qualname: str, is_method: bool) -> Func:
    args = node.args
    assert not args.posonlyargs and not args.kwonlyargs, f"{qualname}: keep parameters plain"
    assert args.vararg is None and args.kwarg is None, f"{qualname}: no *args/**kwargs"
    positional = args.args[1:] if is_method else args.args
    if is_method:
        assert args.args[0].arg == "self", qualname
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults))
    defaults += list(args.defaults)
    params = [Param(a.arg, d) for a, d in zip(positional, defaults, strict=True)]
    for a in positional:
        assert a.annotation is not None, f"{qualname}({a.arg}) has no annotation"
    assert node.returns is not None, f"{qualname} has no return annotation"
    abstract = "abstractmethod" in decorator_names(node)
    return Func(qualname, node.name, params, node.returns, is_method, abstract)


def decorator_names(node: ast.FunctionDef) -> list[str]:
    return [ast.unparse(d) for d in node.decorator_list]


def parse_stub(module: str) -> Stub:
    tree = ast.parse((PACKAGE_DIR / f"{module}.pyi").read_text(encoding="utf-8"))
    stub = Stub(module)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stub.functions[node.name] = parse_func(node, f"{module}.{node.name}", False)
        elif isinstance(node, ast.ClassDef):
            cls = Cls(node.name, [ast.unparse(b) for b in node.bases])
            for item in node.body:
                if isinstance(item, ast.AnnAssign):
                    assert isinstance(item.target, ast.Name) and item.value is None
                    name = item.target.id
                    cls.attrs[name] = Attr(name, item.annotation, item.annotation)
                elif isinstance(item, ast.FunctionDef):
                    decorators = decorator_names(item)
                    if decorators == ["property"]:
                        assert item.returns is not None
                        cls.attrs[item.name] = Attr(item.name, item.returns, None)
                    elif decorators == [f"{item.name}.setter"]:
                        cls.attrs[item.name].setter = item.args.args[1].annotation
                    else:
                        qualname = f"{module}.{node.name}.{item.name}"
                        cls.methods[item.name] = parse_func(item, qualname, True)
            stub.classes[node.name] = cls
        elif isinstance(node, ast.TypeAlias):
            assert node.name.id.startswith("_"), "type aliases of a stub stay private"
            stub.aliases[node.name.id] = node.value
        elif isinstance(node, ast.Import | ast.ImportFrom):
            stub.imports.update((a.asname or a.name).split(".")[0] for a in node.names)
        elif isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant):
            continue  # docstring
        else:
            raise AssertionError(f"{module}.pyi: unexpected statement {ast.unparse(node)}")
    return stub


def extension_modules() -> list[str]:
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    return sorted(
        {p.name.split(".")[0] for p in PACKAGE_DIR.iterdir() if p.name.endswith(suffixes)}
    )


MODULES = sorted(p.stem for p in PACKAGE_DIR.glob("*.pyi"))
STUBS = {m: parse_stub(m) for m in MODULES}


def runtime(module: str) -> Any:
    return importlib.import_module(f"korvel.algorithm.{module}")


def all_functions() -> list[tuple[Stub, str | None, Func]]:
    out: list[tuple[Stub, str | None, Func]] = []
    for stub in STUBS.values():
        out += [(stub, None, f) for f in stub.functions.values()]
        for cls in stub.classes.values():
            # Python's own slots (len, item access) take no keywords of ours.
            out += [(stub, cls.name, f) for f in cls.methods.values() if f.name not in SLOTS]
    return out


SLOTS = {"__len__", "__getitem__", "__setitem__"}


FUNCTIONS = all_functions()
FUNCTION_IDS = [f.qualname for _, _, f in FUNCTIONS]


# --- fresh objects ------------------------------------------------------------


def model_dict() -> dict[str, Any]:
    return {
        "CV1": {
            "MV1": {"mode": "tf_s", "num_s": [1.0], "den_s": [5.0, 1.0]},
            "MV2": {"mode": "stp", "stp": [0.0, 1.0, 2.0]},
        }
    }


def lpv_sim() -> Any:
    sim = runtime("gainsched").LPVPlantSim({"CV1": 1.0})
    sim.addPlant(1, 10.0, model_dict(), 1)
    sim.addPlant(2, 20.0, model_dict(), 1)
    return sim


T0 = 1_700_000_000.0


def primed(obj: Any, step: Callable[[Any], Any]) -> Any:
    step(obj)
    return obj


# One object per class, after a typical first step, so that every field exists.
FRESH: dict[str, Callable[[], Any]] = {
    "loopctl.PID": lambda: primed(runtime("loopctl").PID(), lambda o: o.run(1, 1.0, 0.0, 0.0)),
    "loopctl.PIDBank": lambda: primed(
        runtime("loopctl").PIDBank(3), lambda o: o.run(1, 1.0, 0.0, 0.0)
    ),
    "tfblock.zFilter": lambda: primed(runtime("tfblock").zFilter(), lambda o: o(1.0)),
    "tfblock.zFilterBank": lambda: primed(runtime("tfblock").zFilterBank(3), lambda o: o(1.0)),
    "tfblock.sFilter": lambda: primed(runtime("tfblock").sFilter(), lambda o: o(1.0)),
    "phaseshaper.LDLAG": lambda: primed(runtime("phaseshaper").LDLAG(), lambda o: o(1.0)),
    "phaseshaper.LDLAGBank": lambda: primed(runtime("phaseshaper").LDLAGBank(3), lambda o: o(1.0)),
    "clampwind.AntiWindupLimter": lambda: primed(
        runtime("clampwind").AntiWindupLimter(), lambda o: o(50.0)
    ),
    "slewguard.RateLimit": lambda: primed(runtime("slewguard").RateLimit(0.0), lambda o: o(1.0)),
    "clampwind.AntiWindupLimterBank": lambda: primed(
        runtime("clampwind").AntiWindupLimterBank(3), lambda o: o(50.0)
    ),
    "slewguard.RateLimitBank": lambda: primed(
        runtime("slewguard").RateLimitBank(3, 0.0), lambda o: o(1.0)
    ),
    "deadtime.Delay_Algorithm": lambda: primed(
        runtime("deadtime").Delay_Algorithm(), lambda o: o.call()
    ),
    "deadtime.Delay": lambda: primed(runtime("deadtime").Delay(5), lambda o: o(1.0)),
    "deadtime.DelayBank": lambda: primed(
        runtime("deadtime").DelayBank(3, [5, 2, 3]), lambda o: o(1.0, 0)
    ),
    "flatline.ConstDect": lambda: primed(runtime("flatline").ConstDect(), lambda o: o(1.0)),
    "latches.RStrigger": lambda: primed(runtime("latches").RStrigger(), lambda o: o.call()),
    "latches.TONtrigger": lambda: primed(runtime("latches").TONtrigger(), lambda o: o.call()),
    "latches.TOFFtrigger": lambda: primed(runtime("latches").TOFFtrigger(), lambda o: o.call()),
    "heartbeat.WatchDog": lambda: primed(runtime("heartbeat").WatchDog(), lambda o: o(3)),
    "excite.TestSignal": lambda: runtime("excite").TestSignal(1),
    # The abstract base has no instances of its own: a subclass stands in.
    "plantmodels.model": lambda: runtime("plantmodels").no_model(),
    "plantmodels.no_model": lambda: runtime("plantmodels").no_model(),
    "plantmodels.tfz_model": lambda: primed(
        runtime("plantmodels").tfz_model(), lambda o: o.deltaU_sim(1.0)
    ),
    "plantmodels.tfs_model": lambda: primed(
        runtime("plantmodels").tfs_model(), lambda o: o.deltaU_sim(1.0)
    ),
    "plantmodels.stp_model": lambda: primed(
        runtime("plantmodels").stp_model(), lambda o: o.deltaU_sim(1.0)
    ),
    "plantmodels.stpxy_model": lambda: primed(
        runtime("plantmodels").stpxy_model(), lambda o: o.deltaU_sim(1.0)
    ),
    "plantmodels.MISOSimulator": lambda: runtime("plantmodels").MISOSimulator(
        [runtime("plantmodels").tfz_model()], [0.0]
    ),
    "plantmodels.MIMOSim": lambda: primed(
        runtime("plantmodels").MIMOSim(model_dict(), {"CV1": 1.0, "MV1": 2.0}),
        lambda o: o({"MV1": 3.0}),
    ),
    "plantmodels.SISOSim": lambda: primed(
        runtime("plantmodels").SISOSim(2.0, 5.0), lambda o: o({"MV": 1.0})
    ),
    "plantmodels.MIMOSimBank": lambda: primed(
        runtime("plantmodels").MIMOSimBank([model_dict()] * 2, {"CV1": 1.0}),
        lambda o: o({"MV1": 3.0}),
    ),
    "gainsched.LPVLocalPlant": lambda: lpv_sim().plant_list[0],
    "gainsched.LPVPlantSim": lambda: primed(lpv_sim(), lambda o: o(15.0, {"MV1": 1.0})),
    "labbias.SoftSensorBiasUpdate": lambda: primed(
        runtime("labbias").SoftSensorBiasUpdate(),
        lambda o: o.run(1.0, 2.0, T0 - 30.0, prd_time=T0),
    ),
    "labbias.LabDataRecorder": lambda: primed(
        runtime("labbias").LabDataRecorder(csv_dir="records"), lambda o: o.run(1.0, T0)
    ),
}


@pytest.fixture(autouse=True)
def _sandbox(tmp_path, monkeypatch):
    """Files land in a temporary directory and figures are drawn off screen."""
    monkeypatch.chdir(tmp_path)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        yield
        return
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    yield
    plt.close("all")


# --- annotations against values -------------------------------------------------

SIMPLE = {"float": (float, int), "int": int, "bool": bool, "str": str, "property": property}


def conforms(value: Any, node: ast.expr, stub: Stub) -> bool:
    """Whether a run-time value is an instance of the stub annotation `node`."""
    text = ast.unparse(node)
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return conforms(value, node.left, stub) or conforms(value, node.right, stub)
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if text in ("Any", "object", "ArrayLike"):
        return True
    if text in SIMPLE:
        return isinstance(value, SIMPLE[text]) and (text != "float" or not isinstance(value, bool))
    if text in stub.aliases:
        return conforms(value, stub.aliases[text], stub)
    if text in stub.classes:
        return isinstance(value, getattr(runtime(stub.module), text))
    if isinstance(node, ast.Subscript):
        head = ast.unparse(node.value)
        items = list(node.slice.elts) if isinstance(node.slice, ast.Tuple) else [node.slice]
        if head == "NDArray":
            dtype = ast.unparse(items[0])
            return isinstance(value, np.ndarray) and (
                dtype == "np.generic" or value.dtype == np.dtype(getattr(np, dtype[3:]))
            )
        if head in ("list", "deque"):
            kind = list if head == "list" else collections.deque
            return isinstance(value, kind) and all(conforms(v, items[0], stub) for v in value)
        if head == "dict":
            return isinstance(value, dict) and all(
                conforms(k, items[0], stub) and conforms(v, items[1], stub)
                for k, v in value.items()
            )
        if head == "tuple" and len(items) == 2 and ast.unparse(items[1]) == "...":
            return isinstance(value, tuple) and all(conforms(v, items[0], stub) for v in value)
        if head == "tuple":
            return (
                isinstance(value, tuple)
                and len(value) == len(items)
                and all(conforms(v, t, stub) for v, t in zip(value, items, strict=True))
            )
        if head == "Iterator":
            return isinstance(value, collections.abc.Iterator)
    raise AssertionError(f"{stub.module}.pyi: no run-time check for the annotation {text}")


# --- names --------------------------------------------------------------------


def test_every_extension_module_has_a_stub_and_the_package_is_marked_typed():
    assert extension_modules() == MODULES
    assert (PACKAGE_DIR / "py.typed").is_file()


@pytest.mark.parametrize("module", MODULES)
def test_module_names_match(module):
    stub, mod = STUBS[module], runtime(module)
    declared = set(stub.functions) | set(stub.classes)
    public = {n for n in vars(mod) if not n.startswith("_")}
    assert {n for n in declared if not n.startswith("_")} == public
    for name in declared:
        assert hasattr(mod, name), f"{module}.{name}"
    for name in stub.classes:
        assert isinstance(getattr(mod, name), type), f"{module}.{name} is not a class"
    for name in stub.functions:
        obj = getattr(mod, name)
        assert callable(obj) and not isinstance(obj, type), f"{module}.{name}"
    # Aliases exist only for the type checker.
    for name in stub.aliases:
        assert not hasattr(mod, name), f"{module}.{name}"


def own_members(cls: type) -> set[str]:
    names = {n for n in vars(cls) if not (n.startswith("__") and n.endswith("__"))}
    dunders = {"__init__", "__call__", "__len__", "__getitem__", "__setitem__"}
    return names | (dunders & set(vars(cls)))


CLASSES = [(stub, cls) for stub in STUBS.values() for cls in stub.classes.values()]
CLASS_IDS = [f"{stub.module}.{cls.name}" for stub, cls in CLASSES]


@pytest.mark.parametrize(("stub", "cls"), CLASSES, ids=CLASS_IDS)
def test_class_members_match(stub, cls):
    rt = getattr(runtime(stub.module), cls.name)
    assert cls.bases == [b.__name__ for b in rt.__bases__ if b is not object]
    assert set(cls.methods) | set(cls.attrs) == own_members(rt)
    for name in cls.methods:
        assert callable(vars(rt)[name]) and not isinstance(vars(rt)[name], property), name
    for name, attr in cls.attrs.items():
        descriptor = vars(rt)[name]
        assert isinstance(descriptor, property), name
        assert (descriptor.fset is None) == (attr.setter is None), f"{name}: read-only?"


WITH_FIELDS = [(stub, cls) for stub, cls in CLASSES if cls.attrs]


@pytest.mark.parametrize(
    ("stub", "cls"), WITH_FIELDS, ids=[f"{stub.module}.{cls.name}" for stub, cls in WITH_FIELDS]
)
def test_field_values_and_setters_follow_the_annotations(stub, cls):
    obj = FRESH[f"{stub.module}.{cls.name}"]()
    for name, attr in cls.attrs.items():
        value = getattr(obj, name)
        assert conforms(value, attr.annotation, stub), f"{name} = {value!r}"
        if attr.setter is None:
            continue
        # Fields that take anything say so with Any; the others refuse a stray object.
        anything = ast.unparse(attr.setter) in ("Any", "object")
        target = copy.deepcopy(obj)
        if anything:
            setattr(target, name, sentinel := object())
            if ast.unparse(attr.annotation) == "Any":
                assert getattr(target, name) is sentinel, name
        else:
            with pytest.raises(TypeError):
                setattr(target, name, object())
            # What the field gives back it takes again, and array fields take lists.
            target = copy.deepcopy(obj)
            setattr(target, name, value)
            assert same(getattr(target, name), value), name
            if isinstance(value, np.ndarray) and "ArrayLike" in ast.unparse(attr.setter):
                setattr(target, name, value.tolist())
                assert same(getattr(target, name), value), name


# --- parameters, probed through the binder ----------------------------------------


def probe_target(stub: Stub, owner: str | None, func: Func) -> tuple[Callable[..., Any], int]:
    """The callable to probe and the count the binder adds for self."""
    mod = runtime(stub.module)
    if owner is None:
        return getattr(mod, func.name), 0
    method = getattr(getattr(mod, owner), func.name)
    instance = FRESH[f"{stub.module}.{owner}"]()
    return (lambda *a, **k: method(instance, *a, **k)), 1


def binder_message(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> str:
    kwargs[UNKNOWN] = 0  # last: whatever else happens, the call does not run
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def plural(n: int) -> str:
    return "" if n == 1 else "s"


@pytest.mark.parametrize(("stub", "owner", "func"), FUNCTIONS, ids=FUNCTION_IDS)
def test_parameters_match_the_binder(stub, owner, func):
    fn, s = probe_target(stub, owner, func)
    names = [p.name for p in func.params]
    unexpected = f"{func.name}() got an unexpected keyword argument '{UNKNOWN}'"
    exact = not func.defaulted

    # Every name by keyword is accepted, and nothing required is left out.
    assert binder_message(fn, **dict.fromkeys(names)) == unexpected

    # As many parameters as the stub lists.
    n = len(names) + s
    word = "exactly" if exact else "at most"
    assert binder_message(fn, *[None] * (len(names) + 1)) == (
        f"{func.name}() takes {word} {n} positional argument{plural(n)} ({n + 1} given)"
    )

    # As many of them required.
    m = len(func.required) + s
    if func.required:
        word = "exactly" if exact else "at least"
        assert binder_message(fn) == (
            f"{func.name}() takes {word} {m} positional argument{plural(m)} ({s} given)"
        )
    else:
        assert binder_message(fn) == unexpected

    # Each in the stub's position: taken by keyword after the ones before it,
    # a second value when also given by position.
    required = [p.name for p in func.required]
    for i, name in enumerate(names):
        rest = dict.fromkeys(q for q in required if names.index(q) > i)
        assert binder_message(fn, *[None] * i, **{name: None}, **rest) == unexpected
        assert binder_message(fn, *[None] * (i + 1), **{name: None}, **rest) == (
            f"{func.name}() got multiple values for keyword argument '{name}'"
        )


# --- defaults, observed -------------------------------------------------------------


def snapshot(x: Any) -> Any:
    """A comparable picture of a value, with a block replaced by its pickled state."""
    if isinstance(x, collections.abc.Iterator):
        return ("iterator", *map(snapshot, x))
    if type(x).__module__.startswith("korvel."):
        return (type(x).__name__, snapshot(x.__getstate__()))
    if isinstance(x, np.ndarray):
        return ("ndarray", str(x.dtype), snapshot(x.tolist()))
    if isinstance(x, float) and math.isnan(x):
        return "nan"
    if isinstance(x, list | tuple | collections.deque):
        return (type(x).__name__, *map(snapshot, x))
    if isinstance(x, dict):
        return ("dict", *((snapshot(k), snapshot(v)) for k, v in x.items()))
    if isinstance(x, pathlib.PurePath):
        return ("path", str(x))
    return x


def same(a: Any, b: Any) -> bool:
    return snapshot(a) == snapshot(b)


def figures() -> Any:
    plt = pytest.importorskip("matplotlib.pyplot")

    drawn = [
        [(line.get_xdata().tolist(), line.get_ydata().tolist()) for line in ax.lines]
        for num in plt.get_fignums()
        for ax in plt.figure(num).axes
    ]
    plt.close("all")
    return drawn


def calling(make: Callable[[], tuple[Callable[..., Any], Any]], drawn: bool = False):
    """An observer: call what `make` gives on fresh objects; see the result and
    the object's state afterwards (or the figures drawn)."""

    def observe(kwargs: dict[str, Any]) -> Any:
        fn, owner = make()
        result = fn(**kwargs)
        if drawn:
            return figures()
        return snapshot((result, owner))

    return observe


def method(factory: Callable[[], Any], name: str):
    def make() -> tuple[Callable[..., Any], Any]:
        obj = factory()
        return getattr(obj, name), obj

    return calling(make)


def function(module: str, name: str, drawn: bool = False):
    return calling(lambda: (getattr(runtime(module), name), None), drawn)


def constructor(module: str, name: str):
    def observe(kwargs: dict[str, Any]) -> Any:
        return snapshot(getattr(runtime(module), name)(**kwargs))

    return observe


@dataclass
class Case:
    observe: Callable[[dict[str, Any]], Any]
    fixed: dict[str, Any] = field(default_factory=dict)  # arguments not under test
    alts: dict[str, Any] = field(default_factory=dict)  # a value the observation must notice
    unobservable: frozenset[str] = frozenset()


def rebuilt_table(kwargs: dict[str, Any]) -> Any:
    """Whether two signals built with these arguments share their table."""
    cls = runtime("excite").TestSignal
    first, second = cls(**kwargs), cls(**kwargs)
    return bool(np.array_equal(first._rand_arr, second._rand_arr)), first._ET, first._amp


def clock_call(kwargs: dict[str, Any]) -> bool:
    """Whether the call answered for the wall-clock time."""
    signal = runtime("excite").TestSignal(1)
    before = signal(t=int(time.time()))
    result = signal(**kwargs)
    after = signal(t=int(time.time()))
    return result in (before, after)


def bias_now(kwargs: dict[str, Any]) -> Any:
    sensor = runtime("labbias").SoftSensorBiasUpdate()
    result = sensor.run(**kwargs)
    return result, sensor.get_update_flag(), sensor.get_bias()


def bias_second_call(kwargs: dict[str, Any]) -> Any:
    sensor = runtime("labbias").SoftSensorBiasUpdate()
    sensor.run(1.0, 2.0, T0 - 60.0, prd_time=T0)
    result = sensor.run(**kwargs)
    return result, sensor.get_update_flag(), sensor.get_bias()


def fresh(module: str, name: str, *args: Any) -> Callable[[], Any]:
    return lambda: getattr(runtime(module), name)(*args)


def step_after(factory: Callable[[], Any], *inputs: Any) -> Callable[[], Any]:
    def make() -> Any:
        obj = factory()
        for u in inputs:
            obj(u)
        return obj

    return make


def filter_case(cls: str, op: str) -> Case:
    fixed = {"U_arr": [1.0, 2.0]} if op == "run_multistep" else {"Ut": 1.0}
    return Case(method(fresh("tfblock", cls, *((2,) if cls == "zFilterBank" else ())), op), fixed)


FILTER_CALLS = {
    f"tfblock.{cls}.{op}": filter_case(cls, op)
    for cls in ("zFilter", "sFilter", "zFilterBank")
    for op in ("__call__", "run", "run_multistep")
}
OPERATING_POINT = {"u_ini": 0.5, "y_ini": 0.5}

LIMITER = {
    f"clampwind.{cls}.{op}": {
        "HI": Case(method(fresh("clampwind", cls, *n), op), {"u": 150.0}),
        "LO": Case(method(fresh("clampwind", cls, *n), op), {"u": -20.0}),
    }
    for cls, n in (("AntiWindupLimter", ()), ("AntiWindupLimterBank", (2,)))
    for op in ("__call__", "run")
}
RATE_LIMIT = {
    f"slewguard.{cls}.__call__": {
        "PRLimPerMin": Case(method(fresh("slewguard", cls, *n, 0.0), "__call__"), {"u_end": 10}),
        "NRLimPerMin": Case(
            method(fresh("slewguard", cls, *n, 0.0), "__call__"),
            {"u_end": -10},
            alts={"NRLimPerMin": 30},
        ),
    }
    for cls, n in (("RateLimit", ()), ("RateLimitBank", (2,)))
}

LPV_STEPS = {
    f"gainsched.LPVPlantSim.{op}": Case(
        method(lpv_sim, op),
        {"working_value": 15.0},
        alts={"u_Value_Dict": {"MV1": 1.0}, "v_Value_Dict": {"CV1": 1.0}},
    )
    for op in ("__call__", "run")
}


def step_records() -> dict[str, Any]:
    """A step test on y = 2/(5s + 1) e^(-4s): records an identification fits."""
    u = np.r_[np.zeros(5), np.ones(40), -np.ones(40)]
    a = np.exp(-1 / 5)
    y = np.zeros_like(u)
    for k in range(5, len(u)):
        y[k] = a * y[k - 1] + 2 * (1 - a) * u[k - 5]
    return {"CV": y, "MV": u}


def fit_pair_case(**fixed: Any) -> Case:
    records = step_records()
    return Case(
        function("identify", "fit_pair"),
        {"u": records["MV"], "y": records["CV"], "Ts": 1} | fixed,
        alts={"kind": "ipdt", "u0": 0.5, "y0": 0.5, "delay": 3, "max_delay": 2, "length": 6},
    )


def fit_process_case(**fixed: Any) -> Case:
    return Case(
        function("identify", "fit_process"),
        {"records": step_records(), "cv_tags": ["CV"], "mv_tags": ["MV"], "Ts": 1} | fixed,
        alts={"kinds": "ipdt", "ini_values": {"MV": 0.5}, "max_delay": 2, "length": 6},
    )


FOPDT_ENTRY = {"mode": "tf_s", "num_s": [2.0], "den_s": [10.0, 1.0], "iodelay_s": 1.0}


def tuning_case(name: str) -> Case:
    return Case(
        function("tuning", name),
        {"model": FOPDT_ENTRY},
        alts={"tau_c": 3.0, "lam": 4.0, "Ts": 1.0},
    )


# One case per operation with defaults (per parameter where the setups differ).
CASES: dict[str, Case | dict[str, Case]] = {
    "loopctl.PID.__init__": Case(constructor("loopctl", "PID")),
    "loopctl.PID.run": Case(
        method(fresh("loopctl", "PID"), "run"), {"MODE": 1, "SP": 1.0, "PV": 0.0, "TV": 0.0}
    ),
    "loopctl.PID.PID_Auto": Case(method(FRESH["loopctl.PID"], "PID_Auto"), {"SP": 1.0, "PV": 0.0}),
    "loopctl.PID.setPIDParam": Case(method(fresh("loopctl", "PID"), "setPIDParam")),
    "loopctl.PID.setOPHighLowLimit": Case(method(fresh("loopctl", "PID"), "setOPHighLowLimit")),
    "loopctl.PIDBank.__init__": Case(constructor("loopctl", "PIDBank"), {"n": 2}),
    "loopctl.PIDBank.run": Case(
        method(fresh("loopctl", "PIDBank", 2), "run"), {"MODE": 1, "SP": 1.0, "PV": 0.0, "TV": 0.0}
    ),
    "loopctl.PIDBank.PID_Auto": Case(
        method(FRESH["loopctl.PIDBank"], "PID_Auto"), {"SP": 1.0, "PV": 0.0}
    ),
    "loopctl.PIDBank.setPIDParam": Case(method(fresh("loopctl", "PIDBank", 2), "setPIDParam")),
    "loopctl.PIDBank.setOPHighLowLimit": Case(
        method(fresh("loopctl", "PIDBank", 2), "setOPHighLowLimit")
    ),
    "toolbox.c2d": Case(
        function("toolbox", "c2d"),
        {"Gs_num": [1.0], "Gs_den": [5.0, 1.0], "Gs_delay": 2.0},
        alts={"method": "foh"},
    ),
    "toolbox.dict2pairs": Case(
        function("toolbox", "dict2pairs"), {"d": {"a": {"b": 1}}}, alts={"path": "top"}
    ),
    "tfblock.zFilter.__init__": Case(constructor("tfblock", "zFilter"), alts=OPERATING_POINT),
    "tfblock.sFilter.__init__": Case(constructor("tfblock", "sFilter"), alts=OPERATING_POINT),
    "tfblock.zFilterBank.__init__": Case(
        constructor("tfblock", "zFilterBank"), {"n": 2}, alts=OPERATING_POINT
    ),
    **FILTER_CALLS,
    "phaseshaper.filter_stp": Case(
        function("phaseshaper", "filter_stp"), {"N": 3, "tao": 2.0, "alpha": 0.5}
    ),
    "phaseshaper.LDLAG.__init__": Case(constructor("phaseshaper", "LDLAG"), alts=OPERATING_POINT),
    "phaseshaper.LDLAGBank.__init__": Case(
        constructor("phaseshaper", "LDLAGBank"), {"n": 2}, alts=OPERATING_POINT
    ),
    **LIMITER,
    "slewguard.RateLimit.__init__": Case(constructor("slewguard", "RateLimit"), {"u_ini": 0.0}),
    "slewguard.RateLimitBank.__init__": Case(
        constructor("slewguard", "RateLimitBank"), {"n": 2, "u_ini": 0.0}
    ),
    **RATE_LIMIT,
    "deadtime.Delay.__init__": Case(constructor("deadtime", "Delay")),
    "deadtime.DelayBank.__init__": Case(constructor("deadtime", "DelayBank"), {"n": 2}),
    "deadtime.DelayBank.__call__": Case(
        method(step_after(fresh("deadtime", "DelayBank", 2), 1.0, 2.0), "__call__"), {"Ut": 3.0}
    ),
    "deadtime.Delay.__call__": Case(
        method(step_after(fresh("deadtime", "Delay"), 1.0, 2.0), "__call__"), {"Ut": 3.0}
    ),
    "flatline.ConstDect.__call__": Case(
        method(step_after(fresh("flatline", "ConstDect"), *[1.0] * 5, 2.0), "__call__"),
        {"Ut": 2.0},
    ),
    "heartbeat.WatchDog.__call__": Case(method(fresh("heartbeat", "WatchDog"), "__call__")),
    "excite.TestSignal.__init__": Case(rebuilt_table, alts={"SEED": 5}),
    "excite.TestSignal.__call__": Case(clock_call, alts={"t": 5}),
    "excite.TestSignal.set_ET": Case(method(fresh("excite", "TestSignal", 1), "set_ET")),
    "excite.TestSignal.set_amplitude": Case(
        method(fresh("excite", "TestSignal", 1), "set_amplitude")
    ),
    # Always 0.0, and no state to show the argument.
    "plantmodels.no_model.deltaU_sim": Case(
        method(fresh("plantmodels", "no_model"), "deltaU_sim"), unobservable=frozenset({"dU"})
    ),
    "plantmodels.tfz_model.__init__": Case(constructor("plantmodels", "tfz_model")),
    "plantmodels.tfs_model.__init__": Case(constructor("plantmodels", "tfs_model")),
    "plantmodels.stp_model.__init__": Case(constructor("plantmodels", "stp_model")),
    "plantmodels.stpxy_model.__init__": Case(constructor("plantmodels", "stpxy_model")),
    "plantmodels.MIMOSim.__init__": Case(
        lambda kw: constructor("plantmodels", "MIMOSim")(
            {"process_model_dict": model_dict(), **kw}
        ),
        alts={"ini_value_dict": {"CV1": 1.0}},
    ),
    "plantmodels.MIMOSim.__call__": Case(
        method(fresh("plantmodels", "MIMOSim", model_dict()), "__call__"),
        alts={"u_Value_Dict": {"MV1": 1.0}, "v_Value_Dict": {"CV1": 1.0}},
    ),
    "plantmodels.MIMOSimBank.__init__": Case(
        lambda kw: constructor("plantmodels", "MIMOSimBank")(
            {"process_model_dicts": [model_dict()] * 2, **kw}
        ),
        alts={"ini_value_dict": {"CV1": 1.0}, "Ts": 2.0},
    ),
    "plantmodels.MIMOSimBank.__call__": Case(
        method(fresh("plantmodels", "MIMOSimBank", [model_dict()] * 2), "__call__"),
        alts={"u_Value_Dict": {"MV1": 1.0}, "v_Value_Dict": {"CV1": 1.0}},
    ),
    "plantmodels.MIMOSim.plot_model_stp": Case(
        calling(lambda: (runtime("plantmodels").MIMOSim(model_dict()).plot_model_stp, None), True)
    ),
    "plantmodels.SISOSim.__init__": Case(
        constructor("plantmodels", "SISOSim"), {"gain": 2.0, "tao": 5.0}
    ),
    "plantmodels.get_model_stp": Case(
        lambda kw: function("plantmodels", "get_model_stp")({"yu_model": model_dict(), **kw})
    ),
    "plantmodels.plot_model_stp": Case(
        lambda kw: function("plantmodels", "plot_model_stp", True)({"yu_model": model_dict(), **kw})
    ),
    "gainsched.LPVPlantSim.__init__": Case(
        constructor("gainsched", "LPVPlantSim"), alts={"ini_value_dict": {"CV1": 1.0}}
    ),
    **LPV_STEPS,
    "gainsched.LPVPlantSim.plot_model_stp": Case(
        calling(lambda: (lpv_sim().plot_model_stp, None), True), {"plant_id": 1}
    ),
    "labbias.SoftSensorBiasUpdate.__init__": Case(
        constructor("labbias", "SoftSensorBiasUpdate"), alts={"name": "other"}
    ),
    "labbias.SoftSensorBiasUpdate.run": {
        # Left out, the prediction time is now: a laboratory time of half a
        # minute ago lies in the window; at the epoch it would not.
        "prd_time": Case(
            lambda kw: bias_now({"lab_time": time.time() - 30.0, **kw}),
            {"prd_data": 1.0, "lab_data": 2.0},
            alts={"prd_time": 0.0},
        ),
        # Left out, a constant laboratory value triggers nothing; a trigger
        # makes the new laboratory time count.
        "update_trigger": Case(
            bias_second_call,
            {"prd_data": 1.0, "lab_data": 2.0, "lab_time": T0 - 30.0, "prd_time": T0 + 60.0},
            alts={"update_trigger": 1.0},
        ),
    },
    "labbias.LabDataRecorder.__init__": Case(
        constructor("labbias", "LabDataRecorder"), alts={"name": "other", "csv_dir": "sub"}
    ),
    "identify.fit_pair": {
        **{name: fit_pair_case() for name in ("kind", "u0", "y0", "delay", "max_delay")},
        "length": fit_pair_case(kind="stp"),
    },
    "identify.fit_process": {
        **{name: fit_process_case() for name in ("kinds", "ini_values", "max_delay")},
        "length": fit_process_case(kinds="stp"),
    },
    "tuning.simc": tuning_case("simc"),
    "tuning.lambda_tuning": tuning_case("lambda_tuning"),
}


def alternative(value: Any) -> Any:
    """A value other than the default, of the same kind."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value + 2
    if isinstance(value, float):
        return value + 0.5
    if isinstance(value, list):
        return [2 * v for v in value]
    raise LookupError(value)


DEFAULTED = [(stub, func, p) for stub, _, func in FUNCTIONS for p in func.defaulted]


@pytest.mark.parametrize(
    ("stub", "func", "param"), DEFAULTED, ids=[f"{f.qualname}:{p.name}" for _, f, p in DEFAULTED]
)
def test_stub_defaults_are_the_runtime_defaults(stub, func, param):
    case = CASES.get(func.qualname)
    assert case is not None, f"no observation for {func.qualname}"
    if isinstance(case, dict):
        case = case[param.name]
    default = ast.literal_eval(param.default)
    fixed = {k: v for k, v in case.fixed.items() if k != param.name}
    left_out = case.observe(dict(fixed))
    given = case.observe({**fixed, param.name: copy.deepcopy(default)})
    assert given == left_out, f"{param.name}={default!r} differs from leaving it out"
    if param.name in case.unobservable:
        return
    other = case.alts[param.name] if param.name in case.alts else alternative(default)
    changed = case.observe({**fixed, param.name: other})
    assert changed != left_out, f"the observation does not see {param.name}"


def test_every_observation_belongs_to_a_stub_operation():
    qualnames = {f.qualname for _, _, f in FUNCTIONS if f.defaulted}
    assert set(CASES) == qualnames


# --- results --------------------------------------------------------------------------

# Arguments for one call of every operation with required parameters; the
# others are called with none (after their defaults were checked above).
SAMPLES: dict[str, dict[str, Any]] = {
    "loopctl.PID._resetPID": {"SP": 1.0, "PV": 0.0, "TV": 2.0, "FF": 0.0},
    "loopctl.PID._setInnerSaveState": dict.fromkeys(
        ["OP_save", "OPcal_save", "dOP_save", "dOP_P_save", "dOP_I_save", "dOP_D_save"], 1.0
    )
    | {"dFF_save": 0.0},
    "loopctl.PID.run": {"MODE": 1, "SP": 1.0, "PV": 0.0, "TV": 0.0},
    "loopctl.PID.PID_Auto": {"SP": 1.0, "PV": 0.0},
    "loopctl.PIDBank.__init__": {"n": 2},
    "loopctl.PIDBank._resetPID": {"SP": 1.0, "PV": 0.0, "TV": 2.0, "FF": 0.0},
    "loopctl.PIDBank._setInnerSaveState": dict.fromkeys(
        ["OP_save", "OPcal_save", "dOP_save", "dOP_P_save", "dOP_I_save", "dOP_D_save"], 1.0
    )
    | {"dFF_save": 0.0},
    "loopctl.PIDBank.run": {"MODE": 1, "SP": 1.0, "PV": 0.0, "TV": 0.0},
    "loopctl.PIDBank.PID_Auto": {"SP": 1.0, "PV": 0.0},
    "toolbox.c2d": {"Gs_num": [1.0], "Gs_den": [5.0, 1.0], "Gs_delay": 2.0},
    "toolbox.dict2pairs": {"d": {"a": {"b": 1}}},
    "toolbox.pair2dict": {"pair": ("a.b", 1), "d": {}},
    "toolbox.str2xpyp": {"s": "1,2#0,5"},
    "toolbox.dataStore": {"xArray": [0.0, 1.0], "xt": 2.0},
    "utilities.dataStore": {"xArray": np.zeros(3), "xt": 2.0},
    "tfblock.zFilter.__call__": {"Ut": 1.0},
    "tfblock.zFilter.run": {"Ut": 1.0},
    "tfblock.zFilter.run_multistep": {"U_arr": np.array([1.0, 2.0])},
    "tfblock.sFilter.__call__": {"Ut": 1.0},
    "tfblock.zFilterBank.__init__": {"n": 2},
    "tfblock.zFilterBank.__call__": {"Ut": 1.0},
    "tfblock.zFilterBank.run": {"Ut": 1.0},
    "tfblock.zFilterBank.run_multistep": {"U_arr": np.array([[1.0, 2.0, 3.0]])},
    "tfblock.sFilter.run": {"Ut": 1.0},
    "tfblock.sFilter.run_multistep": {"U_arr": [1.0, 2.0]},
    "phaseshaper.filter_stp": {"N": 3, "tao": 2.0, "alpha": 0.5},
    "phaseshaper.positive_parameter_property": {"name": "x", "expected_type": (int, float)},
    "phaseshaper.LDLAG.__call__": {"u": 2.0},
    "phaseshaper.LDLAG.multi_step": {"u": [2.0, 3.0]},
    "phaseshaper.LDLAGBank.__init__": {"n": 2},
    "phaseshaper.LDLAGBank.__call__": {"u": [2.0, 3.0, 4.0]},
    "clampwind.AntiWindupLimter.__call__": {"u": 60.0},
    "clampwind.AntiWindupLimter.run": {"u": 60.0},
    "slewguard.RateLimit.__init__": {"u_ini": 1.0},
    "slewguard.RateLimit.__call__": {"u_end": 5.0},
    "slewguard.RateLimit.reset": {"u_ini": 2.0},
    "clampwind.AntiWindupLimterBank.__init__": {"n": 2},
    "clampwind.AntiWindupLimterBank.__call__": {"u": 60.0},
    "clampwind.AntiWindupLimterBank.run": {"u": 60.0},
    "slewguard.RateLimitBank.__init__": {"n": 2, "u_ini": 1.0},
    "slewguard.RateLimitBank.__call__": {"u_end": 5.0},
    "slewguard.RateLimitBank.reset": {"u_ini": 2.0},
    "deadtime.Delay.__call__": {"Ut": 2.0},
    "deadtime.DelayBank.__init__": {"n": 2},
    "deadtime.DelayBank.__call__": {"Ut": 2.0},
    "flatline.ConstDect.__call__": {"Ut": 2.0},
    "plantmodels.tfz_model.deltaU_sim": {"dU": 1.0},
    "plantmodels.MISOSimulator.__init__": {"model_list": [], "u_ini_list": []},
    "plantmodels.MISOSimulator.one_step_sim": {"u_list": [1.0]},
    "plantmodels.MIMOSim.__init__": {"process_model_dict": {}},
    "plantmodels.MIMOSimBank.__init__": {"process_model_dicts": [{}]},
    "plantmodels.SISOSim.__init__": {"gain": 1.0, "tao": 2.0},
    "plantmodels.get_model_tags": {"yu_model": {"CV1": {"MV1": {}}}},
    "plantmodels.get_model_stp": {"yu_model": {"CV1": {"MV1": {"mode": "stp", "stp": [0, 1]}}}},
    "plantmodels.plot_model_stp": {"yu_model": {"CV1": {"MV1": {"mode": "stp", "stp": [0, 1]}}}},
    "gainsched.LPVPlantSim.__call__": {"working_value": 12.0},
    "gainsched.LPVPlantSim.run": {"working_value": 12.0},
    "gainsched.LPVPlantSim.addPlant": {
        "plant_id": 3,
        "working_point": 30.0,
        "yu_model_tf": {"CV2": {"MV2": {}}},
        "Ts": 1,
    },
    "gainsched.LPVPlantSim.delPlant": {"plant_id": 1},
    "gainsched.LPVPlantSim.plot_model_stp": {"plant_id": 1},
    "labbias.SoftSensorBiasUpdate.run": {"prd_data": 1.0, "lab_data": 2.5, "lab_time": T0 - 10.0},
    "labbias.SoftSensorBiasUpdate._update_bias": {"lab_data": 3.0, "lab_time": T0 - 20.0},
    "labbias.LabDataRecorder.run": {"lab_data": 2.0, "lab_time": T0},
    "labbias.LabDataRecorder.export_lab_data_csv": {"lab_data": 2.0, "lab_time": T0},
    "identify.fit_pair": {"u": step_records()["MV"], "y": step_records()["CV"], "Ts": 1},
    "identify.fit_process": {
        "records": step_records(),
        "cv_tags": ["CV"],
        "mv_tags": ["MV"],
        "Ts": 1,
    },
    "tuning.simc": {"model": FOPDT_ENTRY},
    "tuning.lambda_tuning": {"model": FOPDT_ENTRY},
}


def abstract(stub: Stub, owner: str | None) -> bool:
    return owner is not None and any(f.abstract for f in stub.classes[owner].methods.values())


# An abstract class has no objects of its own, and its abstract operation no result.
CONCRETE = [(stub, owner, f) for stub, owner, f in FUNCTIONS if not abstract(stub, owner)]


@pytest.mark.parametrize(
    ("stub", "owner", "func"), CONCRETE, ids=[f.qualname for _, _, f in CONCRETE]
)
def test_results_follow_the_return_annotations(stub, owner, func):
    kwargs = SAMPLES.get(func.qualname, {})
    assert {p.name for p in func.required} <= set(kwargs), f"no sample call of {func.qualname}"
    mod = runtime(stub.module)
    if owner is None:
        result = getattr(mod, func.name)(**kwargs)
    elif func.name == "__init__":
        obj = FRESH[f"{stub.module}.{owner}"]()
        result = getattr(mod, owner).__init__(obj, **kwargs)
    else:
        result = getattr(getattr(mod, owner), func.name)(
            FRESH[f"{stub.module}.{owner}"](), **kwargs
        )
    assert conforms(result, func.returns, stub), f"{func.qualname} returned {result!r}"


def test_binder_probes_tell_names_apart_without_running():
    pid = runtime("loopctl").PID()
    good = f"run() got an unexpected keyword argument '{UNKNOWN}'"
    assert binder_message(pid.run, MODE=1, SP=1, PV=0, TV=0, FF=0) == good
    assert binder_message(pid.run, MODE=1, SP=1, PV=0, TV=0, ff=0).endswith("'ff'")
    assert "at least" in binder_message(pid.run, MODE=1, SP=1, PV=0)
    assert "multiple values" in binder_message(pid.run, None, None, MODE=1, PV=0, TV=0)
    assert binder_message(pid.run, None, SP=1, PV=0, TV=0) == good
    assert pid._iniFlag  # never stepped


@pytest.mark.parametrize(("stub", "owner", "func"), FUNCTIONS, ids=FUNCTION_IDS)
def test_text_signatures_match_the_stubs(stub, owner, func):
    """The text signature derives from the operation's argument table: its
    names, order and default values are the stub's."""
    mod = runtime(stub.module)
    target = getattr(mod, func.name) if owner is None else getattr(getattr(mod, owner), func.name)
    if func.name == "__init__":
        target = getattr(mod, owner)  # the class carries the constructor's signature
    try:
        sig = inspect.signature(target)
    except ValueError:
        pytest.skip("a slot wrapper without a text signature")
    params = list(sig.parameters.values())
    if owner is not None and func.name != "__init__":
        assert params[0].name == "self" and params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        params = params[1:]
    if any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params):
        pytest.skip("written in Python with *args")
    assert [p.name for p in params] == [p.name for p in func.params]
    for p, q in zip(params, func.params, strict=True):
        if q.default is None:
            assert p.default is inspect.Parameter.empty, p.name
        elif not (isinstance(q.default, ast.Constant) and q.default.value is Ellipsis):
            assert p.default == ast.literal_eval(q.default), p.name
