"""The call frame: owned references, nesting, failures."""

import subprocess
import sys

import pytest

from property_support import ADDRESS_SANITIZER


class Probe:
    """A weak-referenceable object whose reference count the tests watch."""


def test_nested_frames_release_only_their_own(testing):
    # Each frame's references are counted against the same call registering none.
    probe = Probe()
    before = sys.getrefcount(probe)
    counts = {}

    def count(label):
        counts[label] = sys.getrefcount(probe)

    def inner():
        count("outer")
        testing.hold_and_call(probe, 0, lambda: count("inner, none"))
        testing.hold_and_call(probe, 2, lambda: count("inner"))
        count("outer again")

    testing.hold_and_call(probe, 0, lambda: count("outer, none"))
    testing.hold_and_call(probe, 3, inner)
    assert counts["outer"] - counts["outer, none"] == 3
    assert counts["inner"] - counts["inner, none"] == 2
    assert counts["outer again"] == counts["outer"]
    assert sys.getrefcount(probe) == before


def test_internal_failure_releases_registered_references(testing):
    probe = Probe()
    before = sys.getrefcount(probe)
    for _ in range(50):
        with pytest.raises(BaseException) as caught:
            testing.fail_holding(probe, 5, "broken invariant")
        assert type(caught.value).__name__ == "PanicException"
        assert caught.value.args == ("broken invariant",)
    del caught
    assert sys.getrefcount(probe) == before


def test_memory_exhaustion_becomes_memory_error(testing):
    with pytest.raises(MemoryError) as caught:
        testing.raise_bad_alloc()
    assert caught.value.args == ()


def test_non_failure_exception_is_trapped(testing):
    with pytest.raises(BaseException) as caught:
        testing.raise_foreign()
    assert type(caught.value).__name__ == "PanicException"
    assert len(caught.value.args) == 1 and caught.value.args[0]


DAEMON_SCRIPT = """
import sys, threading, time
import numpy as np
import tesk

class Callback:
    def stall(self):
        if sys.argv[2] == "sleeping":
            while True:
                time.sleep(0.001)
        while True:
            pass
    __float__ = __index__ = stall

call = {
    "perturbation": lambda: tesk.double_and_random_perturbation(np.zeros(1), Callback()),
    "eye": lambda: tesk.eye(Callback()),
}[sys.argv[1]]
threading.Thread(target=call, daemon=True).start()
time.sleep(0.1)
"""


# AddressSanitizer's own bookkeeping does not survive pthread_exit's forced unwind through
# instrumented frames, and its frames are several times larger than the release build's.
needs_plain_build = pytest.mark.skipif(ADDRESS_SANITIZER,
                                       reason="a property of the release build's frames")


@needs_plain_build
@pytest.mark.parametrize("callback", ["sleeping", "busy"])
@pytest.mark.parametrize("function", ["perturbation", "eye"])
def test_daemon_thread_inside_a_call_lets_the_interpreter_exit(function, callback):
    # At exit the interpreter ends such a thread with pthread_exit once it asks for the
    # lock back; the unwinding passes through the call and must reach the thread's start.
    done = subprocess.run([sys.executable, "-c", DAEMON_SCRIPT, function, callback],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")


RECURSION_SCRIPT = """
import sys
import numpy as np
import tesk

sys.setrecursionlimit(9000)
x = np.arange(3.0)

class Again:
    def __float__(self):
        tesk.double_and_random_perturbation(x, Again())
        return 0.0
    def __index__(self):
        tesk.eye(Again())
        return 0

try:
    {call}
except RecursionError:
    print(x.tolist())
"""


@needs_plain_build
@pytest.mark.parametrize("call", ["tesk.double_and_random_perturbation(x, Again())",
                                  "tesk.eye(Again())"])
def test_recursion_through_a_callback_ends_in_recursion_error(call):
    # CPython's own float() and range() recursion raises RecursionError at this limit on
    # the default stack; a call through the module must not take a crash instead.
    done = subprocess.run([sys.executable, "-c", RECURSION_SCRIPT.replace("{call}", call)],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "[0.0, 1.0, 2.0]\n")
