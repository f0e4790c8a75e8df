"""Error values and exception translation, seen from Python."""

import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest

import tesk
from contract_texts import TEXT


def panic_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return caught.value


@pytest.fixture(scope="module")
def panic_type():
    return type(panic_of(lambda: tesk.eye(2**32)))


def test_panic_type_shape(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert "PanicException" not in dir(tesk)
    assert panic_type.__doc__ == TEXT.panic_type_doc


def test_failures_share_one_type(panic_type):
    again = panic_of(lambda: tesk.eye(2**40))
    assert type(again) is panic_type
    assert again.args == (TEXT.shape_too_large,)
    assert str(again) == again.args[0]


def test_failure_is_reported_on_stderr(capfd):
    panic_of(lambda: tesk.eye(3037000499))
    err = capfd.readouterr().err
    # Sources are named from the project root, never by the directory of the build.
    assert re.match(r"tesk: internal failure in thread '[^']+' at src/\S+\.cpp:\d+:\d+: ", err)
    assert TEXT.capacity_overflow in err


def elf_section_names(path):
    data = pathlib.Path(path).read_bytes()
    (headers,) = struct.unpack_from("<Q", data, 0x28)
    entry_size, count, names_index = struct.unpack_from("<HHH", data, 0x3A)
    (names,) = struct.unpack_from("<Q", data, headers + names_index * entry_size + 0x18)
    offsets = (struct.unpack_from("<I", data, headers + i * entry_size)[0] for i in range(count))
    return {data[names + offset :].split(b"\0", 1)[0].decode() for offset in offsets}


def test_backtrace_switch():
    script = "import tesk\ntry:\n    tesk.eye(2**33)\nexcept BaseException:\n    pass\n"
    env = dict(os.environ, TESK_BACKTRACE="1")
    with_trace = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    env["TESK_BACKTRACE"] = "0"
    without = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert "stack backtrace:" in with_trace.stderr
    assert "stack backtrace:" not in without.stderr
    assert with_trace.stderr.count(TEXT.shape_too_large) == 1
    assert without.stderr.count(TEXT.shape_too_large) == 1
    frames = with_trace.stderr.split("stack backtrace:\n", 1)[1]
    assert re.search(r"^ +\d+: tesk::runtime::fail\(", frames, re.M)  # named and demangled
    if ".debug_line" in elf_section_names(tesk.__file__):  # a build with line tables
        located = re.findall(r"^ +\d+: tesk::.*\n +at (\S+):\d+$", frames, re.M)
        assert located and all(path.startswith("src/") for path in located)


class PanickingIndex:
    def __init__(self, panic):
        self.panic = panic

    def __index__(self):
        raise self.panic


def test_resumed_panic_from_python_code(panic_type, capfd):
    resumed = panic_of(lambda: tesk.eye(PanickingIndex(panic_type("from python"))))
    assert type(resumed) is panic_type
    # The fetched value is an exception instance, not a str.
    assert resumed.args == (TEXT.unwrapped_panic,)
    err = capfd.readouterr().err
    assert TEXT.panic_resumed_notice in err
    assert "from python" in err and "__index__" in err


@pytest.mark.parametrize(
    "obj, expected_type, expected_args",
    [
        (ValueError("instance"), ValueError, ("instance",)),
        (KeyError, KeyError, ()),
        (3, TypeError, (TEXT.not_an_exception,)),
    ],
)
def test_error_from_object(testing, obj, expected_type, expected_args):
    with pytest.raises(BaseException) as caught:
        testing.raise_from_object(obj)
    assert type(caught.value) is expected_type
    assert caught.value.args == expected_args
    if isinstance(obj, BaseException):
        assert caught.value is obj


def test_fetch_with_nothing_pending(testing):
    with pytest.raises(SystemError) as caught:
        testing.raise_fetch_with_nothing_pending()
    assert caught.value.args == (TEXT.nothing_to_fetch,)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("plain ascii", b"plain ascii"),
        ("\udc80", "\ufffd\ufffd\ufffd".encode()),
        ("a\ud800b\udfffc", "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffdc".encode()),
        ("图像", "图像".encode()),
    ],
)
def test_lossy_utf8(testing, text, expected):
    assert testing.lossy_text(text) == expected


class Outer:
    class Inner:
        pass


class BrokenQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Unnamed(metaclass=BrokenQualname):
    pass


def test_downcast_uses_qualname(testing):
    with pytest.raises(TypeError) as caught:
        testing.raise_downcast(Outer.Inner(), TEXT.array_target)
    assert caught.value.args == (f"'Outer.Inner{TEXT.cannot_be_converted}{TEXT.array_target}'",)


def test_downcast_without_readable_qualname(testing):
    failure = panic_of(lambda: testing.raise_downcast(Unnamed(), "PyString"))
    assert type(failure).__name__ == "PanicException"
    assert failure.args == (f"{TEXT.display_failed}: {TEXT.formatting_failure_rendering}",)


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (0, 0), (2**64 - 1, 2**64 - 1), (7, 7)],
)
def test_index_size(testing, value, expected):
    assert testing.index_size(value) == expected


def test_index_size_numpy_scalar(testing):
    np = pytest.importorskip("numpy")
    assert testing.index_size(np.int64(5)) == 5


@pytest.mark.parametrize(
    "value, expected",
    [(-1.0, -1.0), (2, 2.0), (True, 1.0), (float("inf"), float("inf")), (-0.0, -0.0)],
)
def test_float_conversion(testing, value, expected):
    result = testing.to_float(value)
    assert result == expected and str(result) == str(expected)


def test_float_conversion_nan(testing):
    result = testing.to_float(float("nan"))
    assert result != result


class FloatRaising:
    def __float__(self):
        raise ValueError("not today")


def test_float_conversion_passes_other_errors(testing):
    with pytest.raises(ValueError, match="not today"):
        testing.to_float(FloatRaising())
