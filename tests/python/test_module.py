"""The module object, its function table and introduction()."""

import os
import shutil
import subprocess
import sys
import types

import pytest

import tesk
from property_support import RESIDENT_SIZE_MEANINGFUL

INTRODUCTION = "Tesk, 图像配基工具库, version: 0.1. 这是测试消息, 正式版即将上线."
FUNCTIONS = ["introduction", "max_min", "double_and_random_perturbation", "eye"]


def test_namespace():
    assert tesk.__all__ == FUNCTIONS
    assert tesk.__doc__ == ""
    assert tesk.__name__ == "tesk"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    function = getattr(tesk, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__self__ is tesk
    assert function.__module__ == tesk.__name__


def test_introduction_text():
    first, second = tesk.introduction(), tesk.introduction()
    assert first == INTRODUCTION
    assert len(first) == 45
    assert len(first.encode("utf-8")) == 85
    assert first is not second


def test_introduction_recovers_after_binding_error():
    with pytest.raises(TypeError):
        tesk.introduction(1)
    assert tesk.introduction() == INTRODUCTION


def test_second_initialisation_builds_a_new_module():
    script = (
        "import sys, importlib, tesk\n"
        "first = tesk\n"
        "del sys.modules['tesk']\n"
        "second = importlib.import_module('tesk')\n"
        "assert second is not first\n"
        "assert second.__all__ == first.__all__\n"
        "assert second.eye is not first.eye and second.eye.__self__ is second\n"
        "assert second.introduction() == first.introduction()\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, env=dict(os.environ))


@pytest.mark.skipif(not RESIDENT_SIZE_MEANINGFUL,
                    reason="the sanitizer's quarantine keeps freed memory resident")
def test_reinitialisation_keeps_native_memory_flat():
    # Every function object points at its method record, so records made per import could
    # never be freed: 20,000 imports would keep about 4 MB.
    script = (
        "import gc, os, sys, tesk\n"
        "def resident():\n"
        "    with open('/proc/self/statm') as statm:\n"
        "        return int(statm.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
        "def reimport(times):\n"
        "    for _ in range(times):\n"
        "        del sys.modules['tesk']\n"
        "        import tesk\n"
        "    gc.collect()\n"
        "reimport(2000)\n"
        "before = resident()\n"
        "reimport(20000)\n"
        "print(resident() - before)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                          text=True, env=dict(os.environ))
    assert int(done.stdout) < 1 << 20


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tesk.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_tesk"]


# NumPy's FFT is C++ built with GCC's runtime, loaded by its own import; the portable wheel's
# module carries LLVM's. Loaded either way round, each side's exceptions, allocation and
# per-thread runtime state must stay its own, on the main thread and on new threads.
RUNTIMES_SCRIPT = """
import sys, threading
if sys.argv[1] == "tesk":
    import tesk
    import numpy.fft
else:
    import numpy.fft
    import tesk
import numpy as np

def work():
    x = np.linspace(-1.0, 1.0, 64)
    assert np.allclose(np.fft.irfft(np.fft.rfft(x), 64), x)
    assert tesk.max_min(x).tolist() == [1.0, -1.0]
    for call, error in [(lambda: tesk.eye(2**30), MemoryError), (lambda: tesk.eye(1.5), TypeError),
                        (lambda: np.fft.fft(x, n=0), ValueError)]:
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(call)

work()
threads = [threading.Thread(target=work) for _ in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("ok")
"""


@pytest.mark.parametrize("first", ["tesk", "numpy.fft"])
def test_cpp_runtime_beside_numpys_cpp_extension(first):
    done = subprocess.run([sys.executable, "-c", RUNTIMES_SCRIPT, first],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
