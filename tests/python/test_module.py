"""The module object, its function table and introduction()."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import types

import pytest

import tesk
from contract_texts import TEXT
from property_support import RESIDENT_SIZE_MEANINGFUL

INTRODUCTION = TEXT.introduction
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


SUBINTERPRETERS = """
import gc, json
import numpy as np
try:
    import _testcapi
except ImportError:
    _testcapi = None
try:
    import _interpreters as interpreters  # 3.13 on
    def in_legacy_subinterpreter(code):
        interpreter = interpreters.create("legacy")
        interpreters.exec(interpreter, code)
        interpreters.destroy(interpreter)
except ImportError:
    import _xxsubinterpreters as interpreters
    def in_legacy_subinterpreter(code):
        try:
            interpreter = interpreters.create(isolated=False)
        except TypeError:  # before 3.11 every sub-interpreter is legacy
            interpreter = interpreters.create()
        interpreters.run_string(interpreter, code)
        interpreters.destroy(interpreter)

# The issue's reproduction, which made the panic type in the sub-interpreter.
ATTEMPT = '''
import json
try:
    import tesk
    try:
        tesk.eye(1)
    except BaseException as e:
        getattr(type(e), "x", None)
    outcome = "imported"
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
with open(OUTCOME, "w") as file:
    json.dump(outcome, file)
'''.replace("OUTCOME", repr(OUTCOME))

def use_in_main():
    import tesk
    assert tesk.max_min(tesk.eye(2)).tolist() == [1.0, 0.0]
    made = [type(tesk.eye(1).base)]
    try:
        tesk.double_and_random_perturbation(np.zeros((1,) * 33), 1.0)
    except ValueError:  # NumPy before 2 makes no array of 33 dimensions
        pass
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        made.append(type(error))
    # The crash's cause: a type made in a sub-interpreter carries that interpreter's
    # version tag, which a class of this one has too, and bytecode specialised for that
    # class then reads its attributes out of the type's objects.
    for own in made if hasattr(_testcapi, "type_get_version") else []:
        getattr(own, "not_an_attribute", None)  # gives the type its tag
        tag = _testcapi.type_get_version(own)
        assert not [kind for kind in gc.get_objects() if isinstance(kind, type)
                    and kind is not own and _testcapi.type_get_version(kind) == tag]

refused = []
for step in ORDER:
    if step == "sub":
        in_legacy_subinterpreter(ATTEMPT)
        with open(OUTCOME) as file:
            refused.append(json.load(file))
    else:
        use_in_main()
print(json.dumps(refused))
"""


# The module loads in the main interpreter only: a legacy sub-interpreter that imports it,
# before or after the main one did, is refused, and the main interpreter works on.
@pytest.mark.skipif(not any(importlib.util.find_spec(name)
                            for name in ("_interpreters", "_xxsubinterpreters")),
                    reason="this interpreter has no module to make sub-interpreters")
@pytest.mark.parametrize("order", [["sub", "main", "sub"], ["main", "sub", "main"]])
def test_subinterpreters_are_refused_in_either_order(tmp_path, order):
    script = (f"OUTCOME = {str(tmp_path / 'outcome.json')!r}\nORDER = {order!r}\n"
              + SUBINTERPRETERS)
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr
    refusal = ["ImportError", TEXT.subinterpreters_refused]
    assert json.loads(completed.stdout) == [refusal] * order.count("sub")


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
