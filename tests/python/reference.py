"""The reference two-by-three process the simulator tests drive."""


def reference_dict():
    return {
        "CV1": {
            "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {
                "mode": "tf_z",
                "num_z": [0, 1, 0.5],
                "den_z": [1, -1.5, 0.7],
                "iodelay_z": 0,
                "IntegralMark": 0,
            },
        },
        "CV2": {
            "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {
                "mode": "stp",
                "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3],
            },
            "MV3": {
                "mode": "tf_s",
                "num_s": [0, 1],
                "den_s": [20, 1],
                "iodelay_s": 2,
                "IntegralMark": 1,
            },
        },
    }


def reference_ini():
    return {"CV1": 10, "CV2": 20, "MV1": 15, "MV2": 16, "MV3": 17}
