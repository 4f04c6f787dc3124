"""Every block's hot call, driven 10**5 times, must not grow memory."""

import gc
import os
import sys

import numpy as np
import pytest
from reference import reference_dict, reference_ini

from korvel.algorithm import (
    clampwind,
    deadtime,
    excite,
    flatline,
    gainsched,
    heartbeat,
    labbias,
    latches,
    loopctl,
    phaseshaper,
    plantmodels,
    slewguard,
    tfblock,
    toolbox,
)

CALLS = 100_000

REFERENCE, INITIAL = reference_dict(), reference_ini()


# AddressSanitizer keeps freed memory in quarantine, so resident memory grows
# under it whatever the code does; the allocated-blocks count still holds.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def hot_calls(tmp_path):
    pid = loopctl.PID()
    z, s, lag = tfblock.zFilter(), tfblock.sFilter(), phaseshaper.LDLAG(alpha=0.5)
    clamp, rate = clampwind.AntiWindupLimter(), slewguard.RateLimit(0.0)
    delay, delay_alg = deadtime.Delay(1000), deadtime.Delay_Algorithm()
    delay_alg.nLag = 5
    const, dog = flatline.ConstDect(), heartbeat.WatchDog()
    rs, ton, toff = latches.RStrigger(), latches.TONtrigger(), latches.TOFFtrigger()
    signal = excite.TestSignal(1)
    mimo = plantmodels.MIMOSim(REFERENCE, INITIAL, 1)
    siso = plantmodels.SISOSim(2.0, 10.0, 3)
    lpv = gainsched.LPVPlantSim(INITIAL)
    lpv.addPlant(1, 0.0, REFERENCE, 1)
    lpv.addPlant(2, 10.0, REFERENCE, 1)
    sensor = labbias.SoftSensorBiasUpdate(prd_len=100, const_len=5)
    recorder = labbias.LabDataRecorder(csv_dir=str(tmp_path), const_len=5)
    history = np.zeros(8)
    u = {"MV1": 16.0, "MV2": 15.0}
    block = np.linspace(0.0, 1.0, 16)

    def flip(trigger, k):
        trigger.Ut = k & 1
        trigger.call()

    def set_rs(k):
        rs.S, rs.R = k & 1, k & 2
        rs.call()

    def step_delay_alg(k):
        delay_alg.Ut = float(k)
        delay_alg.call()

    return {
        "PID.run": lambda k: pid.run(1, 1.0, 0.5 + (k & 7), 0.0),
        "zFilter": lambda k: z(float(k & 15)),
        "zFilter.run_multistep": lambda k: z.run_multistep(block),
        "sFilter": lambda k: s.run(float(k & 15)),
        "LDLAG": lambda k: lag(float(k & 15)),
        "AntiWindupLimter": lambda k: clamp(float(k % 300) - 100.0),
        "RateLimit": lambda k: rate(float(k & 31), 60, None),
        "Delay": lambda k: delay(float(k), 7),
        "Delay_Algorithm": step_delay_alg,
        "ConstDect": lambda k: const(float(k & 3), 10),
        "WatchDog": lambda k: dog(5),
        "RStrigger": set_rs,
        "TONtrigger": lambda k: flip(ton, k >> 2),
        "TOFFtrigger": lambda k: flip(toff, k >> 2),
        "TestSignal": lambda k: signal(1_700_000_000 + k),
        "MIMOSim": lambda k: mimo(u, {"CV1": 0.1}),
        "SISOSim": lambda k: siso({"MV": 1.0}),
        "LPVPlantSim": lambda k: lpv(float(k % 12), u),
        "SoftSensorBiasUpdate": lambda k: sensor.run(1.0, 2.0 + (k // 1000), 1e9 + k, 1e9 + k),
        "LabDataRecorder": lambda k: recorder.run(3.0, 1e9 + k),
        "dataStore": lambda k: toolbox.dataStore(history, float(k)),
    }


@pytest.fixture(scope="module")
def calls(tmp_path_factory):
    import contextlib
    import io

    with contextlib.redirect_stdout(io.StringIO()):
        yield hot_calls(tmp_path_factory.mktemp("leaks"))


NAMES = [
    "PID.run", "zFilter", "zFilter.run_multistep", "sFilter", "LDLAG", "AntiWindupLimter",
    "RateLimit", "Delay", "Delay_Algorithm", "ConstDect", "WatchDog", "RStrigger", "TONtrigger",
    "TOFFtrigger", "TestSignal", "MIMOSim", "SISOSim", "LPVPlantSim", "SoftSensorBiasUpdate",
    "LabDataRecorder", "dataStore",
]  # fmt: skip


def test_every_hot_call_is_covered(calls):
    assert sorted(calls) == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_hot_call_does_not_grow_memory(calls, name):
    import contextlib
    import io

    call = calls[name]
    with contextlib.redirect_stdout(io.StringIO()):
        for k in range(2_000):  # warm caches, free lists and lazily built state
            call(k)
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), rss_bytes()
        for k in range(2_000, 2_000 + CALLS):
            call(k)
        gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    grown_rss = rss_bytes() - rss
    assert grown_blocks < 200, f"{name}: {grown_blocks} Python blocks kept"
    if not SANITIZED:
        assert grown_rss < 2 * 1024 * 1024, f"{name}: resident memory grew by {grown_rss} bytes"
