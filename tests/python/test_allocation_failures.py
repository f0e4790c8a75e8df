"""Failing C library allocations, one at a time or every one from a point on.

A subprocess with the allocation interposer preloaded forks once per injection point and
arms the interposer in the fork right before the call: a fork taken before any call
makes the process's first call, one taken after warm-up calls a warm one, and one that
starts a thread the thread's first call. Each fork reports the call's outcome and a
repeat of the call without failures; an abort shows in its exit status.
"""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

pytestmark = [
    pytest.mark.soak,
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitizer runtime brings its own allocator"),
]

# introduction() makes its str with the interpreter's allocator alone, so its sweeps have
# no C library allocation to fail; every other case has some on a first call.
ALLOCATION_FREE = {"tesk.introduction()"}
CASES = [
    "tesk.introduction()",
    "tesk.max_min(x)",
    "tesk.max_min(x[::2])",
    "tesk.double_and_random_perturbation(x, 0.0)",
    "tesk.double_and_random_perturbation(frozen, 0.0)",
    "tesk.eye(3)",
    "tesk.eye(2**40)",
    "tesk.max_min(np.arange(3))",
    "tesk.max_min(y=x)",
    "tesk.eye()",
]

HARNESS = r"""
import ctypes, json, os, sys, threading
import numpy as np
import tesk

interposer = ctypes.CDLL(os.environ["TESK_ALLOCATION_INTERPOSER"])
arm, stop = interposer.tesk_fail_allocations, interposer.tesk_stop_failing
arm.argtypes, arm.restype = (ctypes.c_ulong, ctypes.c_int), None
stop.argtypes, stop.restype = (), ctypes.c_ulong
# The C library allocates the C++ runtime's per-thread block on a thread's first touch
# and aborts when it cannot: a new thread makes it before the failures start, through a
# call that allocates nothing else, whichever runtime the module carries (the system's,
# or the portable wheel's own).
make_thread_runtime = tesk.introduction
code = compile(sys.argv[1], "<case>", "eval")

def run(arming=None):
    x = np.linspace(-1.0, 1.0, 7)
    frozen = x.copy()
    frozen.flags.writeable = False
    names = {"tesk": tesk, "np": np, "x": x, "frozen": frozen}
    if arming:
        arm(*arming)
    try:
        value, kind = eval(code, names), "result"
    except BaseException as error:
        value, kind = None, type(error).__name__
    counted = stop()
    return {"kind": kind, "value": None if value is None else np.asarray(value).tolist(),
            "x": x.tolist(), "counted": counted}

def in_thread(arming):
    reports = []
    def body():
        make_thread_runtime()
        reports.append(run(arming))
    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return reports[0]

def point(phase, arming):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        injected = in_thread(arming) if phase == "thread" else run(arming)
        os.write(write_end, json.dumps([injected, run()]).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    return os.waitpid(pid, 0)[1], json.loads(data) if data else None

results = []
for phase in ("first", "warm", "thread"):
    if phase == "warm":
        run(), run()
    for and_after in (0, 1):
        for number in range(1, 400):
            status, reports = point(phase, (number, and_after))
            results.append([phase, and_after, number, status, reports])
            if status != 0 or reports[0]["counted"] < number:
                break
print(json.dumps({"expected": run(), "points": results}))
"""


@pytest.mark.parametrize("source", CASES)
def test_allocation_failures_end_in_an_exception_and_leave_the_module_working(
        build_dir, source):
    env = dict(os.environ)
    interposer = build_dir / "tests" / "libtesk_allocation_interpose.so"
    env["TESK_ALLOCATION_INTERPOSER"] = str(interposer)
    env["LD_PRELOAD"] = ":".join(filter(None, (env.get("LD_PRELOAD"), str(interposer))))
    completed = subprocess.run([sys.executable, "-c", HARNESS, source], env=env,
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert "Fatal" not in completed.stderr and "ABORT" not in completed.stderr
    report = json.loads(completed.stdout)
    expected = {k: report["expected"][k] for k in ("kind", "value", "x")}
    untouched = np.linspace(-1.0, 1.0, 7).tolist()
    sweeps = {}
    for phase, and_after, number, status, reports in report["points"]:
        where = (phase, and_after, number)
        assert status == 0, (where, completed.stderr[-2000:])
        injected, repeated = reports
        assert {k: repeated[k] for k in expected} == expected, where
        if injected["kind"] == expected["kind"]:
            assert injected["value"] == expected["value"] and injected["x"] == expected["x"], where
        else:
            assert injected["kind"] in ("MemoryError", "PanicException"), (where, injected)
            assert injected["x"] == untouched, where
        sweeps.setdefault((phase, and_after), []).append(injected["counted"] >= number)
    # Every sweep ran past the call's last allocation, and the first calls had some.
    assert len(sweeps) == 6
    assert all(all(hit[:-1]) and not hit[-1] for hit in sweeps.values()), sweeps
    if source not in ALLOCATION_FREE:
        assert len(sweeps["first", 0]) > 1 and len(sweeps["thread", 0]) > 1
