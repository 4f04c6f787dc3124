import copy
import math
import pickle
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvel.algorithm.heartbeat import WatchDog


class PyWatchDog:
    """The counter written plainly in Python."""

    def __init__(self):
        self.ticks = 0

    def __call__(self, MaxOut=0):
        self.ticks = (self.ticks + 1) % int(MaxOut + 1)
        return self.ticks


class TestCounting:
    def test_cycles_through_max_out(self):
        wd = WatchDog()
        assert [wd(3) for _ in range(5)] == [1, 2, 3, 0, 1]

    def test_default_bound_always_shows_zero(self):
        wd = WatchDog()
        assert [wd() for _ in range(3)] == [0, 0, 0]

    def test_fractional_bound_is_truncated(self):
        wd = WatchDog()
        assert [wd(2.7) for _ in range(4)] == [1, 2, 0, 1]

    def test_negative_bound_uses_floored_modulo(self):
        wd = WatchDog()
        assert [wd(-3) for _ in range(4)] == [-1, 0, -1, 0]

    def test_lowering_the_bound_applies_to_the_next_increment(self):
        wd = WatchDog()
        for _ in range(7):
            wd(10)
        assert wd.ticks == 7
        assert wd(3) == 0  # 8 mod 4

    def test_writing_ticks_restarts_the_count(self):
        wd = WatchDog()
        wd(5)
        wd.ticks = 0
        assert wd(5) == 1

    def test_result_is_an_int(self):
        assert type(WatchDog()(3)) is int
        assert type(WatchDog()(2.5)) is int

    @given(
        st.integers(-(2**70), 2**70),
        st.lists(
            st.integers(-(2**66), 2**66).filter(lambda m: m != -1)
            | st.floats(-1e6, 1e6).filter(lambda m: int(m + 1) != 0),
            max_size=20,
        ),
    )
    def test_matches_python_transcription(self, start, bounds):
        wd, ref = WatchDog(), PyWatchDog()
        wd.ticks = ref.ticks = start
        for m in bounds:
            assert wd(m) == ref(m)
            assert wd.ticks == ref.ticks


class TestFailures:
    def test_bound_of_minus_one_divides_by_zero(self):
        wd = WatchDog()
        wd(5)
        with pytest.raises(ZeroDivisionError):
            wd(-1)
        with pytest.raises(ZeroDivisionError):
            wd(-1.5)  # int(-0.5) == 0
        assert wd.ticks == 1

    def test_non_finite_bound(self):
        wd = WatchDog()
        with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
            wd(math.nan)
        with pytest.raises(OverflowError):
            wd(math.inf)
        assert wd.ticks == 0

    def test_non_integer_ticks_fails_the_call_not_the_assignment(self):
        wd = WatchDog()
        wd.ticks = 2.5
        with pytest.raises(TypeError, match="must be an integer"):
            wd(3)
        wd.ticks = "x"
        with pytest.raises(TypeError):
            wd(3)
        wd.ticks = True  # an int subclass: True + 1 == 2
        assert wd(5) == 2

    def test_argument_binding_messages(self):
        wd = WatchDog()
        cases = [
            (lambda: wd(1, 2), "__call__() takes at most 2 positional arguments (3 given)"),
            (lambda: wd(maxout=1), "__call__() got an unexpected keyword argument 'maxout'"),
            (lambda: WatchDog(0), "__init__() takes exactly 1 positional argument (2 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message
        assert wd(MaxOut=4) == 1


class TestState:
    @pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
    def test_copies_continue_exactly(self, clone):
        wd = WatchDog()
        wd(9)
        wd(9)
        twin = clone(wd)
        assert [twin(4) for _ in range(6)] == [wd(4) for _ in range(6)]

    def test_uninitialised_instance_raises(self):
        wd = WatchDog.__new__(WatchDog)
        for op in (lambda: wd(3), lambda: wd.ticks, wd.__getstate__):
            with pytest.raises(TypeError, match="not initialized"):
                op()


class TestDemonstration:
    def run(self, *args):
        return subprocess.run(
            [sys.executable, "-m", "korvel.algorithm", *args],
            capture_output=True,
            text=True,
            timeout=60,
        )

    def test_counts_ten_times(self):
        done = self.run("heartbeat", "--fast")
        assert done.returncode == 0
        assert done.stdout.split() == ["1", "2", "3", "0", "1", "2", "3", "0", "1", "2"]

    def test_help_lists_the_demonstrations(self):
        done = self.run("--help")
        assert done.returncode == 0
        assert "heartbeat" in done.stdout and "slewguard" in done.stdout
        assert self.run("no-such-demo").returncode != 0

    @pytest.mark.parametrize("demo", ["heartbeat", "slewguard"])
    def test_a_reader_that_goes_away_ends_it_quietly(self, demo):
        child = subprocess.Popen(
            [sys.executable, "-m", "korvel.algorithm", demo, "--fast"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        child.stdout.close()  # as `| head -c 0` would, before anything is written
        _, err = child.communicate(timeout=60)
        assert b"Traceback" not in err and b"Error" not in err, err.decode()
        assert child.returncode == 1
