"""Robustness: hostile arguments, unconstructed instances, damaged states.

Each module is fuzzed in its own process (fuzz_targets.py), so that a crash
fails one test instead of ending the run. The regression tests below pin the
faults the fuzzing found; those that used to crash also run in a child.
"""

import copy
import gc
import os
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from korvel.algorithm import (
    clampwind,
    deadtime,
    flatline,
    gainsched,
    labbias,
    loopctl,
    tfblock,
    toolbox,
)

HERE = Path(__file__).resolve().parent
# Children import the package this process imports (in place or installed).
PKG_ROOT = str(Path(loopctl.__file__).resolve().parents[2])

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
    "identify",
    "tuning",
    "utilities",
]

# Modules with classes (the others define functions alone).
BLOCK_MODULES = [m for m in MODULES if m not in ("toolbox", "utilities", "identify", "tuning")]

# Examples per target relative to fuzz_targets' base; sanitizer builds run
# several times slower, so they get fewer.
SCALE = "0.5" if "libasan" in os.environ.get("LD_PRELOAD", "") else "1.5"
REENTRY_SCALE = "0.4" if "libasan" in os.environ.get("LD_PRELOAD", "") else "1"

FATAL = ("Fatal Python error", "Segmentation fault", "SystemError", "AddressSanitizer")


def child_env():
    return dict(os.environ, PYTHONPATH=PKG_ROOT, MPLBACKEND="Agg")


def assert_survived(done: subprocess.CompletedProcess):
    report = (
        f"exit {done.returncode}\nstdout:\n{done.stdout[-3000:]}\nstderr:\n{done.stderr[-6000:]}"
    )
    assert done.returncode == 0, report
    for word in FATAL:
        assert word not in done.stderr, report


@pytest.mark.parametrize("module", MODULES)
def test_module_survives_fuzzing(module, tmp_path):
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(HERE / "fuzz_targets.py"), module, SCALE],
        capture_output=True,
        text=True,
        env=child_env(),
        cwd=tmp_path,
        timeout=600,
    )
    assert_survived(done)
    assert done.stdout.strip().endswith(f"{module}: ok")


def run_isolated(code: str, tmp_path) -> str:
    """Runs `code` in a child interpreter; it must end normally."""
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env(),
        cwd=tmp_path,
        timeout=120,
    )
    assert_survived(done)
    return done.stdout


class TestUnconstructed:
    def test_pid_history_of_a_freed_block_is_not_read(self):
        # The memory of a freed PID still holds its history: a new instance
        # made by __new__ alone must refuse, not show those values.
        for _ in range(3):
            p = loopctl.PID()
            p.run(1, 3.5, 1.25, 7.0)
            del p
            q = loopctl.PID.__new__(loopctl.PID)
            for name in ("_et1", "_OP1", "_OP_save", "_dFF_save"):
                with pytest.raises(TypeError):
                    getattr(q, name)


class TestDamagedStates:
    """A state tuple with an item of the wrong kind is refused up front."""

    @pytest.mark.parametrize(
        "make",
        [
            lambda: loopctl.PID(),
            clampwind.AntiWindupLimter,
            lambda: deadtime.Delay(3),
            lambda: labbias.SoftSensorBiasUpdate("s", 5.0, 1e-6, 4, 2),
            lambda: labbias.LabDataRecorder("r", csv_dir="."),
            gainsched.LPVPlantSim,
        ],
    )
    def test_wrong_item_is_a_type_error(self, make, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        good = make()
        state = good.__getstate__()
        cls = type(good)
        refused = 0
        for i in range(len(state)):
            obj = cls.__new__(cls)
            try:  # a RuntimeError (a bare C++ cast error) fails the test
                obj.__setstate__(state[:i] + ("x",) + state[i + 1 :])
            except (TypeError, ValueError):
                refused += 1
        assert refused > 0

    def test_pid_presence_mask_out_of_range(self):
        state = list(loopctl.PID().__getstate__())
        state[8] = 1 << 20
        obj = loopctl.PID.__new__(loopctl.PID)
        with pytest.raises(ValueError):
            obj.__setstate__(tuple(state))

    def test_restored_states_keep_working(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        for block, step in [
            (loopctl.PID(0.5), lambda b: b.run(1, 2.0, 1.0, 3.0)),
            (deadtime.Delay(3), lambda b: b(4.0, 2)),
            (flatline.ConstDect(), lambda b: b(1.0, 3)),
        ]:
            step(block)
            twin = pickle.loads(pickle.dumps(block))
            assert step(twin) == step(copy.deepcopy(block)) == step(block)

    def test_constdect_window_that_is_not_a_tuple(self, tmp_path):
        # Used to read None as a tuple and crash.
        run_isolated(
            """
            from korvel.algorithm.flatline import ConstDect
            for bad in [(None,), (5,), ([1.0, 2.0],), ("ab",)]:
                obj = ConstDect.__new__(ConstDect)
                try:
                    obj.__setstate__(bad)
                except TypeError:
                    pass
                else:
                    raise SystemExit(f"accepted {bad!r}")
            """,
            tmp_path,
        )

    def test_delay_history_shorter_than_its_capacity(self, tmp_path):
        # A restored history must fill the capacity (or be empty): delays up to
        # the capacity read any slot, and used to read past the stored ones.
        run_isolated(
            """
            from korvel.algorithm.deadtime import Delay
            obj = Delay.__new__(Delay)
            try:
                obj.__setstate__((5, (1.0,)))
            except ValueError:
                pass
            else:
                raise SystemExit("accepted a short history")
            obj.__setstate__((5, ()))
            assert obj(7.0, 4) == 7.0
            """,
            tmp_path,
        )


class TestAllocation:
    def test_delay_capacity_beyond_memory_is_a_memory_error(self):
        # Used to leak the library's length_error as RuntimeError.
        d = deadtime.Delay(2**62)
        with pytest.raises(MemoryError):
            d(1.0)
        with pytest.raises(ValueError, match="Ut is None and cache is empty."):
            d(None)


class TestReentrancy:
    def test_zfilter_coefficients_replaced_while_converting(self, tmp_path):
        # Converting the new _Bz runs Python code that starts the filter over,
        # which freed the _Az the setter was about to read.
        out = run_isolated(
            """
            import numpy as np
            from korvel.algorithm.tfblock import zFilter

            class Sneaky:
                def __init__(self, f):
                    self.f = f
                def __len__(self):
                    return 2
                def __getitem__(self, i):
                    if i == 0:
                        self.f.__init__([1, 2, 3], [1, 0.5])
                    if i >= 2:
                        raise IndexError(i)
                    return 0.5

            for _ in range(20):
                f = zFilter([0, 0.1], [1, -0.9])
                try:
                    f._Bz = Sneaky(f)
                except ValueError:
                    pass
                f(1.0)
            print(f._Az.tolist())
            """,
            tmp_path,
        )
        assert out.strip() == "[1.0, 0.5]"

    def test_lpv_bank_changed_by_a_plant_during_a_step(self, tmp_path):
        # A plant (any callable a caller puts in a record) may replace its own
        # record's field while the step runs over the bank, but the simulator
        # refuses to be changed in the middle of its step.
        out = run_isolated(
            """
            from korvel.algorithm.gainsched import LPVPlantSim

            model = {"CV": {"MV": {"mode": "stp", "stp": [1.0, 2.0]}}}
            sim = LPVPlantSim()
            sim.addPlant(1, 10.0, model, 1)
            sim.addPlant(2, 20.0, model, 1)
            records = sim.plant_list
            real = records[0].plant

            def plant(u, v):
                records[0].plant = None
                sim.plant_list = []
                return real(u, v)

            records[0].plant = plant
            try:
                sim(15.0)
            except RuntimeError as e:
                print(e)
            records[0].plant = real
            print(sim(15.0), len(sim.plant_list))
            """,
            tmp_path,
        )
        assert out.splitlines() == ["LPVPlantSim is in the middle of a step", "{'CV': 0.0} 2"]

    def test_lpv_identifiers_that_change_the_bank_when_compared(self, tmp_path):
        out = run_isolated(
            """
            from korvel.algorithm.gainsched import LPVPlantSim

            sim = LPVPlantSim()
            model = {"CV": {"MV": {}}}
            for i in range(4):
                sim.addPlant(i, float(i), model, 1)

            class Id:
                def __eq__(self, other):
                    sim.plant_list = []
                    return False
                __hash__ = object.__hash__

            for rec in sim.plant_list:
                rec.plant_id = Id()
            for op in (sim.get_plant_dict, lambda: sim.plot_model_stp(0),
                       sim.get_current_plant_weight_dict, lambda: sim.delPlant(0)):
                try:
                    op()
                except RuntimeError as e:
                    print(e)
            print(len(sim.plant_list))
            """,
            tmp_path,
        )
        # Comparing runs inside the operations that walk the bank.
        assert out.splitlines()[-1] == "4"
        assert "LPVPlantSim is in the middle of a step" in out

    def test_lpv_plant_answering_with_something_else(self):
        sim = gainsched.LPVPlantSim()
        sim.addPlant(1, 0.0, {"CV": {"MV": {}}}, 1)
        sim.plant_list[0].plant = lambda u, v: 5
        with pytest.raises(AttributeError):
            sim(0.0)
        sim.plant_list[0].plant = lambda u, v: {"CV": 2.0}
        assert sim(0.0) == {"CV": 2.0}


class TestDict2Pairs:
    def test_items_of_a_dict_subclass_that_are_not_pairs(self, tmp_path):
        # Used to take any item for a 2-tuple and crash.
        out = run_isolated(
            """
            from korvel.algorithm.toolbox import dict2pairs

            for items in ([1], [(2,)], [(3, 4, 5)], [[6, 7]], ["ab"]):
                class D(dict):
                    def items(self, items=items):
                        return items
                try:
                    print(list(dict2pairs({"a": D(x=1)})))
                except (TypeError, ValueError) as e:
                    print(type(e).__name__, e)
            """,
            tmp_path,
        )
        assert out.splitlines() == [
            "TypeError cannot unpack non-iterable int object",
            "ValueError not enough values to unpack (expected 2, got 1)",
            "ValueError too many values to unpack (expected 2)",
            "[('a.6', 7)]",
            "[('a.a', 'b')]",
        ]

    def test_a_dict_that_contains_itself(self):
        d = {"x": 1}
        d["self"] = d
        pairs = toolbox.dict2pairs(d)
        assert [next(pairs) for _ in range(3)] == [("x", 1), ("self.x", 1), ("self.self.x", 1)]
        with pytest.raises(RecursionError):
            list(pairs)
        assert list(pairs) == []  # finished, as a generator that raised

    def test_reentered_from_a_key(self):
        seen = []

        class Key:
            def __str__(self):
                with pytest.raises(ValueError, match="generator already executing"):
                    next(pairs)
                seen.append(True)
                return "k"

        pairs = toolbox.dict2pairs({Key(): 1, "b": {"c": 2}})
        assert list(pairs) == [("k", 1), ("b.c", 2)]
        assert seen == [True]


def test_zfilter_coefficient_assignment_still_takes_effect():
    f = tfblock.zFilter([0, 0.1], [1, -0.9])
    f._Bz = [0, 0.2]
    assert list(f._Bz) == [0.0, 0.2]
    assert [f(u) for u in (1.0, 2.0, 2.0)] == [0.0, 0.0, 0.2]


# --- Python code that calls back into a block ---------------------------------

# Each script used to crash the interpreter or make a block write into memory
# it no longer owned; each now finishes or raises a clean exception. They run
# under PYTHONMALLOC=debug, whose checks catch freed memory being used.
REENTRY = {
    "a released output replaces the history": (
        """
        import numpy as np
        from korvel.algorithm.latches import RStrigger
        rs = RStrigger(); rs.Q_array = np.zeros(10**6, bool); rs.S = 1
        class Old:
            def __del__(self): rs.Q_array = np.zeros(1, bool)
        rs.Q = Old(); rs.call()
        print(rs.Q, rs.nQ, rs.Q_array.tolist())
        """,
        "True False [False]",
    ),
    "a released sample starts the delay over": (
        """
        from korvel.algorithm.deadtime import Delay
        d = Delay(1000)
        class Bomb:
            def __del__(self): print(len(d._cache))
        d(Bomb()); d.__init__(1)
        d(Bomb(), 0); d.__setstate__((0, ()))
        print(d._cache)
        """,
        "0\n0\ndeque([], maxlen=0)",
    ),
    "a state converted while the filter changes order": (
        """
        from korvel.algorithm.phaseshaper import LDLAG
        from korvel.algorithm.tfblock import zFilter
        for f, again in ((zFilter(), lambda f: f.__init__([0] * 40 + [1.0], [1.0])),
                         (LDLAG(u_ini=0.0, y_ini=0.0), lambda f: f.__init__(tao=0.0))):
            class Value:
                def __float__(self):
                    again(f)
                    return 0.0
            try:
                f._zi = [Value()]
            except ValueError as e:
                print("refused", e)
            print([f(1.0) for _ in range(3)][-1], len(f._zi))
        """,
        "refused Unexpected shape for zi: expected (40,), found (1,).\n0.0 40\n"
        "refused Unexpected shape for zi: expected (0,), found (1,).\n1.0 0",
    ),
    "a value or tag replaces a simulator's dicts": (
        """
        from korvel.algorithm.plantmodels import MIMOSim
        sim = MIMOSim({"T": {"Q": {"mode": "tf_z", "num_z": [1.0], "den_z": [1.0]}}}, {}, 1)
        made = []
        class D:
            def __float__(self):
                made.append({"kept": 1.0})
                sim._y_dict = {}
                return 1.0
        class Tag(str):
            def __hash__(self):
                made.append({"kept": 1.0})
                sim._u_dict = {}
                return str.__hash__(self)
            __eq__ = str.__eq__
        for u, v in (({"Q": 1.0}, {"T": D()}), ({Tag("Q"): 2.0}, {})):
            try:
                sim(u, v)
            except RuntimeError as e:
                print(e)
        print(sim({"Q": 3.0}), all(d == {"kept": 1.0} for d in made))
        """,
        "MIMOSim is in the middle of a step\nMIMOSim is in the middle of a step\n{'T': 3.0} True",
    ),
    "a tag resets a local plant while the bank steps it": (
        """
        from korvel.algorithm.gainsched import LPVPlantSim
        class CV(str):
            def __hash__(self):
                if armed:
                    armed.pop().reset()
                return str.__hash__(self)
            __eq__ = str.__eq__
        class Level(float):
            pass
        armed = []
        sim = LPVPlantSim()
        sim.addPlant(1, 0.0, {CV("T"): {"Q": {"mode": "stp", "stp": [1.0]}}}, 1)
        armed.append(sim.plant_list[0].plant)
        try:
            sim(0.0, {"Q": Level(1.0)})
        except RuntimeError as e:
            print(e)
        print(sim(0.0, {"Q": 1.0}))
        """,
        "MIMOSim is in the middle of a step\n{'T': 1.0}",
    ),
}


@pytest.mark.parametrize("case", REENTRY)
def test_python_code_called_back_cannot_crash_a_block(case, tmp_path):
    code, expected = REENTRY[case]
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=dict(child_env(), PYTHONMALLOC="debug"),
        cwd=tmp_path,
        timeout=120,
    )
    assert_survived(done)
    assert done.stdout.strip() == expected


@pytest.mark.parametrize("module", BLOCK_MODULES)
def test_module_survives_reentry_fuzzing(module, tmp_path):
    # Values whose conversions, comparisons, hashes and releases call back
    # into the block: re-initialise it, restore states, replace its fields.
    done = subprocess.run(
        [
            sys.executable,
            "-X",
            "faulthandler",
            str(HERE / "reentry_targets.py"),
            module,
            REENTRY_SCALE,
        ],
        capture_output=True,
        text=True,
        env=dict(child_env(), PYTHONMALLOC="debug"),
        cwd=tmp_path,
        timeout=900,
    )
    assert_survived(done)
    assert done.stdout.strip().endswith(f"{module}: ok")
    assert "leaked" not in done.stderr, done.stderr[-3000:]


def test_iterators_and_filters_in_reference_cycles_are_collected():
    import weakref

    from korvel.algorithm.phaseshaper import LDLAG

    class Holder(dict):
        pass

    d = Holder(x=1)
    it = toolbox.dict2pairs({"a": d})
    assert next(it) == ("a.x", 1)
    d["it"] = it  # the dict walked holds its own walk
    f = LDLAG(u_ini=0.0, y_ini=0.0)
    f._u_ini = Level(1.0)
    f._u_ini.block = f
    refs = [weakref.ref(d), weakref.ref(f._u_ini)]
    del d, it, f
    gc.collect()
    assert [r() for r in refs] == [None, None]


class Level(float):
    pass


SUBCLASSES: dict = {}


def test_subclass_attributes_survive_copies():
    from fuzz_targets import run_valid_tail, targets_for

    for module in BLOCK_MODULES:
        for target in targets_for(module):
            block = target.make()
            cls = type(block)
            sub = SUBCLASSES.setdefault(cls, type(f"My{cls.__name__}", (cls,), {}))
            sub.__qualname__ = sub.__name__
            globals()[sub.__name__] = sub  # where pickle looks it up
            obj = sub.__new__(sub)
            obj.__setstate__(block.__getstate__())
            obj.note = [target.name]
            copies = [
                how(obj)
                for how in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o)))
            ]
            for c in copies:
                assert type(c) is sub and c.note == [target.name], target.name
            # ... and continue as the original does.
            run_valid_tail([obj, *copies[1:]], target, target.name)


def test_callable_blocks_take_the_vectorcall_protocol():
    # Their call skips building an argument tuple, and gives what the call
    # slot gives; a subclass that defines __call__ uses its own.
    from korvel.algorithm import clampwind, flatline, phaseshaper, slewguard

    have_vectorcall = 1 << 11  # Py_TPFLAGS_HAVE_VECTORCALL
    for make, args in (
        (lambda: tfblock.zFilter([0.5, 0.25], [1.0, -0.5]), (1.0,)),
        (tfblock.sFilter, (1.0,)),
        (phaseshaper.LDLAG, (1.0,)),
        (clampwind.AntiWindupLimter, (1.0, 2.0, 0.0)),
        (lambda: slewguard.RateLimit(0.0), (1.0, 1.0, -1.0)),
        (flatline.ConstDect, (1.0, 3)),
        (lambda: deadtime.Delay(3), (1.0,)),
    ):
        a, b = make(), make()
        assert type(a).__flags__ & have_vectorcall, type(a).__name__
        for _ in range(3):
            assert a(*args) == type(b).__call__(b, *args)
        sub = type("Sub", (type(a),), {"__call__": lambda self, *x: "own"})
        assert sub.__new__(sub)(*args) == "own"
