"""MIMOSim step and get_model_stp against a plain NumPy/SciPy transcription."""

import copy
import importlib.util
import os
import sys
from pathlib import Path

# Building a thousand lanes runs SciPy's discretisation a thousand times; on a
# small machine BLAS threads left spinning after it would slow what follows.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import signal  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import loop_time, ns, per_call, table  # noqa: E402

from korvel.algorithm import _reference  # noqa: E402
from korvel.algorithm import plantmodels as pm  # noqa: E402

YU_MODEL = _reference.process()
INI = _reference.initial_values()


# --- The transcription: every pair stepped with scipy.signal.lfilter.


def c2d(num, den, delay, Ts=1):
    num = np.array(num, dtype=float)
    den = np.array(den, dtype=float)
    num = num[np.where(num != 0)[0][0] :]
    numd, dend, _ = signal.cont2discrete((num, den), dt=Ts, method="zoh", alpha=None)
    return np.hstack((np.zeros(int(round(delay / Ts))), numd[0])), dend


class NoModel:
    def deltaU_sim(self, dU=0.0):
        return 0.0


class TfzModel:
    def __init__(self, num, den, delay=0):
        self.Gz_num = np.pad(np.array(num, dtype=float), (delay, 0), "constant", constant_values=0)
        self.Gz_den = np.array(den, dtype=float)
        self._zi = np.zeros(max(len(self.Gz_den), len(self.Gz_num)) - 1)

    def deltaU_sim(self, dU):
        y, self._zi = signal.lfilter(self.Gz_num, self.Gz_den, [dU], zi=self._zi)
        return y[0]


def build(spec, Ts):
    mark = spec.get("IntegralMark", 0)
    mode = spec.get("mode", "None")
    if not spec or mode == "None":
        return NoModel()
    if mode == "tf_s":
        den = np.convolve([1, 0], spec["den_s"]) if mark else spec["den_s"]
        return TfzModel(*c2d(spec["num_s"], den, spec.get("iodelay_s", 0), Ts))
    if mode == "tf_z":
        den = np.convolve([1, -1], spec["den_z"]) if mark else spec["den_z"]
        return TfzModel(spec["num_z"], den, spec.get("iodelay_z", 0))
    if mode == "stp":
        stp = np.cumsum(spec["stp"]) if mark else spec["stp"]
        return TfzModel(np.diff(stp, prepend=0), [1.0])
    raise AssertionError


class MISO:
    def __init__(self, model_list, u_ini_list):
        self.model_list, self.u_ini_list = model_list, u_ini_list

    def one_step_sim(self, u_list):
        y = 0.0
        for m, u, u0 in zip(self.model_list, u_list, self.u_ini_list, strict=False):
            y += m.deltaU_sim(u - u0)
        return y


class MIMO:
    def __init__(self, yu_model, ini={}, Ts=1):  # noqa: B006
        self.process_model_dict = copy.deepcopy(yu_model)
        self.cv_list = list(yu_model)
        self.mv_list = []
        for cv in self.cv_list:
            for mv in yu_model[cv]:
                if mv not in self.mv_list:
                    self.mv_list.append(mv)
        self.ini_value_dict = copy.deepcopy(ini)
        self.yu_model_obj = {
            cv: {mv: build(yu_model[cv].get(mv, {}), Ts) for mv in self.mv_list}
            for cv in self.cv_list
        }
        ini = self.ini_value_dict
        self._u_dict = {mv: ini.get(mv, 0.0) for mv in self.mv_list}
        self._y_dict = {cv: ini.get(cv, 0.0) for cv in self.cv_list}
        self.cv_simulators = {
            cv: MISO(
                [self.yu_model_obj[cv][mv] for mv in self.mv_list],
                [ini.get(mv, 0.0) for mv in self.mv_list],
            )
            for cv in self.cv_list
        }

    def __call__(self, u_Value_Dict={}, v_Value_Dict={}):  # noqa: B006
        for tag, value in u_Value_Dict.items():
            if tag in self.mv_list:
                self._u_dict[tag] = value
        for cv, sim in self.cv_simulators.items():
            y0 = sim.one_step_sim(list(self._u_dict.values()))
            self._y_dict[cv] = y0 + v_Value_Dict.get(cv, 0.0) + self.ini_value_dict.get(cv, 0.0)
        return dict(self._y_dict)


def model_stp(yu_model, Ts=1, length=300):
    cvs = list(yu_model)
    mvs = []
    for cv in cvs:
        for mv in yu_model[cv]:
            if mv not in mvs:
                mvs.append(mv)
    out = {cv: {mv: [] for mv in mvs} for cv in cvs}
    for cv in cvs:
        for mv in mvs:
            sim = MIMO({cv: {mv: yu_model[cv].get(mv, {})}}, {cv: 0.0, mv: 0.0}, Ts)
            y = [sim({mv: 1.0})[cv] for _ in range(length)]
            out[cv][mv] = [] if max(y) - min(y) < 1e-6 else y
    return out


def main() -> None:
    u, v = {"MV1": 15.5, "MV2": 17}, {"CV2": 0.25}
    sim, ref = pm.MIMOSim(YU_MODEL, INI), MIMO(YU_MODEL, INI)
    for _ in range(500):  # identical arithmetic, so identical results
        assert sim(u, v) == ref(u, v)
    assert pm.get_model_stp(YU_MODEL, 1, 300) == model_stp(YU_MODEL, 1, 300)

    env = {"sim": sim, "ref": ref, "u": u, "v": v}
    t_step = loop_time("sim(u, v)", env, number=100_000)
    t_step_ref = loop_time("ref(u, v)", env, number=2_000)

    t_stp = per_call(lambda: pm.get_model_stp(YU_MODEL, 1, 300), number=10, repeat=5)
    t_stp_ref = per_call(lambda: model_stp(YU_MODEL, 1, 300), number=2, repeat=3)
    # Both sides discretise the continuous pairs with SciPy's cont2discrete
    # (about half a millisecond each), which caps the ratio above; without
    # them the comparison is of the step loops alone.
    discrete = {
        cv: {mv: sp for mv, sp in row.items() if sp["mode"] != "tf_s"}
        for cv, row in YU_MODEL.items()
    }
    assert pm.get_model_stp(discrete, 1, 300) == model_stp(discrete, 1, 300)
    t_dstp = per_call(lambda: pm.get_model_stp(discrete, 1, 300), number=200, repeat=5)
    t_dstp_ref = per_call(lambda: model_stp(discrete, 1, 300), number=3, repeat=3)

    # Construction against the SciPy calls it cannot avoid: the reference
    # process has three continuous pairs, each discretised by cont2discrete
    # (numerator without leading zeros, an integrating pair's den times s).
    calls = []
    for row in YU_MODEL.values():
        for sp in row.values():
            if sp["mode"] == "tf_s":
                num = np.trim_zeros(np.array(sp["num_s"], dtype=float), "f")
                den = np.array(sp["den_s"], dtype=float)
                if sp.get("IntegralMark", 0):
                    den = np.convolve([1, 0], den)
                calls.append(((num, den), 1))
    assert len(calls) == 3

    def three_c2d():
        for system, Ts in calls:
            signal.cont2discrete(system, Ts)

    cons = {
        "three_c2d": three_c2d,
        "mimo": lambda: pm.MIMOSim(YU_MODEL, INI, 1),
        "stp": lambda: pm.get_model_stp(YU_MODEL, 1, 300),
    }
    best = {k: float("inf") for k in cons}
    for _ in range(5):  # interleaved, so a slow spell hits all three alike
        for k, fn in cons.items():
            best[k] = min(best[k], per_call(fn, number=50, repeat=3))
    floor = best["three_c2d"]

    rows = [
        (
            "one MIMOSim step, reference process (2 CVs x 3 MVs)",
            ns(t_step),
            ns(t_step_ref),
            f"{t_step_ref / t_step:.0f}x",
        ),
        (
            "get_model_stp, reference process, length 300",
            f"{t_stp * 1e6:.0f} µs",
            f"{t_stp_ref * 1e6:.0f} µs",
            f"{t_stp_ref / t_stp:.0f}x",
        ),
        (
            "get_model_stp, its discrete and table pairs only, length 300",
            f"{t_dstp * 1e6:.0f} µs",
            f"{t_dstp_ref * 1e6:.0f} µs",
            f"{t_dstp_ref / t_dstp:.0f}x",
        ),
    ]
    print("## Process simulation (plantmodels)\n")
    print("Transcription: the same model classes and simulators written with NumPy and SciPy,")
    print("stepping every pair with `scipy.signal.lfilter`; results are checked equal first.\n")
    print(table(rows, ("operation", "korvel", "NumPy/SciPy", "speed-up")))
    print("\nConstruction, against the three `cont2discrete` calls it makes:\n")
    print(
        table(
            [
                ("the three `cont2discrete` calls", f"{floor * 1e6:.0f} µs", "1.00x"),
                (
                    "`MIMOSim(reference, ini, 1)`",
                    f"{best['mimo'] * 1e6:.0f} µs",
                    f"{best['mimo'] / floor:.2f}x",
                ),
                (
                    "`get_model_stp(reference, 1, 300)`",
                    f"{best['stp'] * 1e6:.0f} µs",
                    f"{best['stp'] / floor:.2f}x",
                ),
            ],
            ("operation", "time", "relative"),
        )
    )
    if importlib.util.find_spec("control") is None:
        print(
            "\npython-control is not installed: the SISOSim/forced_response comparison is skipped."
        )
    else:
        import control

        from korvel.algorithm.toolbox import c2d

        steps = 10_000
        siso = pm.SISOSim(2.0, 10.0, 3)
        num, den = c2d([0, 2.0], [10.0, 1], 3, 1)  # the system SISOSim discretises
        # Powers of z^-1 become powers of z once both have the same length.
        plant = control.tf(list(num), list(den) + [0.0] * (len(num) - len(den)), dt=1)
        t = np.arange(steps, dtype=float)

        def ours():
            return [siso({"MV": 1.0})["CV"] for _ in range(steps)]

        def theirs():
            return control.forced_response(plant, T=t, U=np.ones_like(t)).outputs

        t_siso = per_call(ours, number=1, repeat=3)
        t_ctrl = per_call(theirs, number=1, repeat=3)
        fresh = pm.SISOSim(2.0, 10.0, 3)
        a = np.array([fresh({"MV": 1.0})["CV"] for _ in range(steps)])
        b = np.asarray(theirs())
        print(
            "\n10 000-step unit-step response of SISOSim(2.0, 10.0, delay=3): "
            f"{t_siso * 1e3:.1f} ms;"
            f" python-control `forced_response` of the same discretised system: "
            f"{t_ctrl * 1e3:.1f} ms ({t_ctrl / t_siso:.1f}x); largest difference of the two "
            f"responses {np.max(np.abs(a - b)):.1e}."
        )


def bank(lanes: int = 1000) -> None:
    """MIMOSimBank against a Python loop of MIMOSim calls, lanes that differ in
    their gains (a Monte Carlo over the plant), per lane-step."""
    rng = np.random.default_rng(1)
    dicts = [_reference.process(g) for g in rng.uniform(0.5, 2.0, lanes)]
    bank_sim = pm.MIMOSimBank(dicts, INI)
    sims = [pm.MIMOSim(d, INI) for d in dicts]
    mv1 = rng.normal(15.0, 1.0, lanes)
    u_bank = {"MV1": mv1, "MV2": 17.0}
    u_lanes = [{"MV1": x, "MV2": 17.0} for x in mv1.tolist()]
    got = bank_sim(u_bank)
    for i, s in enumerate(sims):  # every lane is its simulator
        assert s(u_lanes[i]) == {cv: float(y[i]) for cv, y in got.items()}

    def loop():
        for s, u in zip(sims, u_lanes, strict=True):
            s(u)

    t_bank = t_loop = float("inf")
    for _ in range(5):  # alternated, so load from other processes hits both
        t_bank = min(t_bank, per_call(lambda: bank_sim(u_bank), number=20, repeat=1))
        t_loop = min(t_loop, per_call(loop, number=1, repeat=1))
    print(f"\n## MIMOSimBank: one step of {lanes:,} lanes of the reference process\n")
    print(
        table(
            [
                (
                    "one step, gains per lane",
                    ns(t_bank / lanes),
                    ns(t_loop / lanes),
                    f"{t_loop / t_bank:.0f}x",
                )
            ],
            ("operation", "bank, per lane-step", "Python loop of MIMOSim calls", "loop / bank"),
        )
    )


if __name__ == "__main__":
    main()
    bank()
