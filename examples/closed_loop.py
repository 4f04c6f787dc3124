"""The loop of examples/cpp/closed_loop.cpp written with the Python modules.

Both print the same numbers, digit for digit: the Python blocks are thin layers
over the same C++ arithmetic.
"""

from korvel.algorithm.loopctl import PID
from korvel.algorithm.plantmodels import MIMOSim


def tf(num: list[float], den: list[float]) -> dict[str, object]:
    return {"mode": "tf_z", "num_z": num, "den_z": den}


MODELS = {
    "CV1": {"MV1": tf([0.0, 0.08], [1.0, -0.92]), "MV2": tf([0.0, 0.0, 0.03], [1.0, -0.95])},
    "CV2": {"MV1": tf([0.0, 0.02], [1.0, -0.9]), "MV2": tf([0.0, 0.1, 0.05], [1.0, -1.2, 0.4])},
}
INITIAL = {"CV1": 50.0, "CV2": 30.0, "MV1": 40.0, "MV2": 20.0}


def main() -> None:
    plant = MIMOSim(MODELS, INITIAL, 1)
    pid1, pid2 = PID(1.0), PID(1.0)
    pid1.setPIDParam(0.8, 12.0, 0.0, 10.0)
    pid2.setPIDParam(0.6, 8.0, 0.0, 10.0)
    y = plant.get_output_data_dict()
    u = plant.get_input_data_dict()
    print("k,CV1,CV2,MV1,MV2")
    for k in range(200):
        mode = 0 if k < 5 else 1  # tracking first, then automatic
        sp1 = 50.0 if k < 10 else 55.0
        u["MV1"] = pid1.run(mode, sp1, y["CV1"], u["MV1"])
        u["MV2"] = pid2.run(mode, 30.0, y["CV2"], u["MV2"])
        load = {"CV2": 0.0 if k < 60 else 2.0}  # unmeasured, on CV2
        y = plant(u, load)
        print(f"{k},{y['CV1']!r},{y['CV2']!r},{u['MV1']!r},{u['MV2']!r}")


if __name__ == "__main__":
    main()
