"""The float64 array check shared by max_min and double_and_random_perturbation."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tesk
from contract_texts import TEXT

# Both functions, with every argument but x valid.
CALLS = {
    "max_min": lambda x: tesk.max_min(x),
    "perturbation": lambda x: tesk.double_and_random_perturbation(x, 0.5),
}


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("call", sorted(CALLS))
@pytest.mark.parametrize(
    "argument, type_name",
    [([1.0, 2.0], "list"), (3.0, "float"), (None, "NoneType"), ((1.0,), "tuple"),
     (Outer.Inner(), "Outer.Inner"), (np.float64(2.0), "float64"), (memoryview(b"12345678"), "memoryview")],
)
def test_non_arrays_are_refused_with_the_downcast_message(call, argument, type_name):
    with pytest.raises(TypeError) as caught:
        CALLS[call](argument)
    assert caught.value.args == (
        f"argument 'x': '{type_name}{TEXT.cannot_be_converted}{TEXT.array_target}'",
    )


@pytest.mark.parametrize("call", sorted(CALLS))
@pytest.mark.parametrize("dtype", ["float32", "int64", ">f8", "complex128", "float16", "O"])
def test_other_element_types_are_refused_untouched(call, dtype):
    x = np.arange(6).astype(dtype).reshape(2, 3)
    snapshot = x.copy()
    with pytest.raises(TypeError) as caught:
        CALLS[call](x)
    assert caught.value.args == (
        f"argument 'x': {TEXT.type_mismatch_from}{np.dtype(dtype)}{TEXT.type_mismatch_to}float64",)
    assert x.flags.writeable
    assert np.array_equal(x, snapshot)


def test_structured_float64_field_with_offset_is_accepted():
    record = np.zeros(4, dtype=[("a", "i1"), ("f", "<f8")])
    record["f"] = [1.0, -3.0, 2.0, 0.5]
    assert tesk.max_min(record["f"]).tolist() == [2.0, -3.0]


def test_whole_structured_array_is_a_type_mismatch():
    record = np.zeros(2, dtype=[("a", "i1"), ("f", "<f8")])
    with pytest.raises(TypeError) as caught:
        tesk.max_min(record)
    assert caught.value.args[0].startswith(f"argument 'x': {TEXT.type_mismatch_from}")
    assert caught.value.args[0].endswith(", to=float64")


def too_many_axes():
    try:
        return np.zeros((1,) * 33)
    except ValueError:
        pytest.skip("this NumPy does not allow 33 dimensions")


@pytest.mark.parametrize("call", sorted(CALLS))
def test_more_than_32_axes_is_an_internal_failure(call):
    x = too_many_axes()
    with pytest.raises(BaseException) as caught:
        CALLS[call](x)
    assert type(caught.value).__module__ == "pyo3_runtime"
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (TEXT.too_many_dimensions,)
    assert not x.any()


def test_exactly_32_axes_are_accepted():
    x = np.arange(2.0).reshape((2,) + (1,) * 31)
    assert tesk.max_min(x).tolist() == [1.0, 0.0]


def run_isolated(code):
    """Runs code in a fresh interpreter, where NumPy's table has not been fetched."""
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.splitlines(), completed.stderr


def test_numpy_missing_fails_every_use_and_is_retried():
    lines, stderr = run_isolated("""
        import sys
        sys.modules["numpy"] = None
        import tesk
        for call in (lambda: tesk.max_min([1.0]), lambda: tesk.eye(2),
                     lambda: tesk.double_and_random_perturbation(3, 1.0)):
            try:
                call()
            except BaseException as e:
                print(type(e).__module__, type(e).__name__, e.args)
        del sys.modules["numpy"]
        try:
            tesk.max_min([1.0])
        except TypeError as e:
            print("retried", e.args[0])
        print(tesk.eye(1).tolist())
    """)
    failure = f"pyo3_runtime PanicException {(TEXT.numpy_import_failed,)}"
    assert lines == [failure] * 3 + [
        f"retried argument 'x': 'list{TEXT.cannot_be_converted}{TEXT.array_target}'",
        "[[1.0]]",
    ]
    assert TEXT.numpy_import_failed in stderr


def test_capsule_missing_or_named_fails_and_is_retried():
    lines, _ = run_isolated("""
        import ctypes, sys, types
        real = {}
        for name in ("numpy", "numpy.core", "numpy.core.multiarray"):
            real[name] = sys.modules.pop(name, None)
            sys.modules[name] = types.ModuleType(name)
        import tesk
        def attempt():
            try:
                tesk.max_min(1.0)
            except BaseException as e:
                print(type(e).__name__, e.args)
        attempt()
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        sys.modules["numpy.core.multiarray"]._ARRAY_API = new_capsule(8, b"named", None)
        attempt()
        for name in real:
            del sys.modules[name]
        import numpy
        print(tesk.max_min(numpy.array([2.0, -1.0])).tolist())
    """)
    failure = f"PanicException {(TEXT.numpy_capsule_failed,)}"
    assert lines == [failure, failure, "[2.0, -1.0]"]
