"""Every tesk function on every layout and every failure path, once or a few times: the
workload that tools/valgrind_check.sh runs under memcheck.

It checks its own results as it goes (a wrong answer exits with status 1), so that a
clean memcheck report also means the calls did what they should.
"""

import os
import pathlib
import sys
import threading

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
import array_layouts  # noqa: E402

import tesk  # noqa: E402

PANIC = None
calls = 0


def call(function, *args, **kwargs):
    global calls
    calls += 1
    return function(*args, **kwargs)


def refused(expected, function, *args, **kwargs):
    """Calls and returns the exception, which must be of the type named `expected`."""
    try:
        call(function, *args, **kwargs)
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == expected, (expected, repr(error))
        return error
    raise AssertionError(f"{function.__name__}{args} did not raise {expected}")


def fills(count):
    """Plain values, and values with the zeros and NaNs that send max_min down its
    slower lookups."""
    plain = array_layouts.distinct_values(count)
    special = plain.copy()
    special[:: max(count // 3, 1)] = -0.0
    special[count // 2] = 0.0
    with_nan = plain.copy()
    with_nan[count // 3] = np.nan
    return {"plain": plain, "zeros": special, "nan": with_nan}


def layouts():
    """(name, owner, view): the shared test layouts and a few more."""
    for name, make in array_layouts.ALL.items():
        probe_owner, probe_view = make(lambda count: np.zeros(count))
        for fill_name, values in fills(max(probe_view.size, 1)).items():
            owner, view = make(lambda count, values=values: np.resize(values, count))
            yield f"{name}/{fill_name}", owner, view
    yield "empty", None, np.zeros((3, 0))
    yield "five_axes", None, np.arange(120.0).reshape(2, 3, 1, 4, 5)
    yield "thirty_two_axes", None, np.arange(4.0).reshape((2, 2) + (1,) * 30)
    yield "subclass", None, np.arange(7.0).view(type("Sub", (np.ndarray,), {}))
    yield "long", None, np.linspace(-1.0, 1.0, 20000)  # beyond the 8192-draw reseed budget


def check_max_min(view):
    writeable = view.flags.writeable
    result = call(tesk.max_min, view)
    assert view.flags.writeable == writeable
    values = np.asarray(view).ravel()
    if values.size == 0:
        assert result.shape == (0,)
    elif np.isnan(values).all():
        assert np.isnan(result).all()
    elif np.isnan(values).any():
        assert np.isnan(result[0]) and result[1] == np.nanmin(values)
    else:
        assert result.tolist() == [values.max(), values.min()]


def check_perturbation(view):
    before = np.array(view)
    assert call(tesk.double_and_random_perturbation, view, 1.0) is None
    if view.size and not np.isnan(before).any():
        # Shared memory is updated once per logical element, so only the bound is general.
        assert np.isfinite(np.asarray(view)).all()
    call(tesk.double_and_random_perturbation, view, 0.0)


def run_layouts():
    for name, _, view in layouts():
        check_max_min(view)
        readonly = view.view()
        readonly.flags.writeable = False
        check_max_min(readonly)
        refused("ValueError", tesk.double_and_random_perturbation, readonly, 1.0)
        check_perturbation(view)


def run_functions():
    assert call(tesk.introduction).startswith("Tesk, ")
    for size in [0, 1, 2, 3, 17, 100, True, np.int64(5)]:
        matrix = call(tesk.eye, size)
        assert np.array_equal(matrix, np.eye(int(size)))
        matrix.flags.writeable = False  # unfrozen again through the container's buffer
        matrix.flags.writeable = True
        np.frombuffer(matrix.base)[:] = 2.0
        assert (matrix == 2.0).all()
    assert call(tesk.eye, size=4).shape == (4, 4)
    result = call(tesk.max_min, x=np.array([3.0, -1.0]))
    view = result[1:]  # keeps the container alive after the result goes
    del result
    assert view.tolist() == [-1.0]
    x = np.zeros(5)
    call(tesk.double_and_random_perturbation, perturbation_scaling=2, x=x)
    assert (np.abs(x) <= 1.0).all()


class IndexRaising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


def run_failures():
    global PANIC
    PANIC = type(refused("PanicException", tesk.eye, 2**32))
    a = np.zeros(3)
    # Binding.
    refused("TypeError", tesk.introduction, 1)
    refused("TypeError", tesk.introduction, verbose=True)
    refused("TypeError", tesk.max_min)
    refused("TypeError", tesk.max_min, a, a)
    refused("TypeError", tesk.max_min, a, x=a)
    refused("TypeError", tesk.eye, 1, 2, n=3)
    refused("TypeError", tesk.eye, SIZE=3)
    refused("TypeError", tesk.double_and_random_perturbation)
    refused("TypeError", tesk.double_and_random_perturbation, perturbation_scaling=1.0)
    refused("TypeError", tesk.max_min, **{"x\udc80": a})
    refused("PanicException", tesk.eye, **{Unprintable("q"): 1})
    # Conversions and checks.
    refused("TypeError", tesk.max_min, [1.0, 2.0])
    refused("TypeError", tesk.max_min, np.zeros(3, np.float32))
    refused("TypeError", tesk.max_min, np.zeros(3, ">f8"))
    refused("TypeError", tesk.double_and_random_perturbation, [1.0], "s")
    refused("TypeError", tesk.double_and_random_perturbation, a, "s")
    refused("OverflowError", tesk.double_and_random_perturbation, a, 10**400)
    refused("TypeError", tesk.eye, 2.5)
    refused("OverflowError", tesk.eye, -1)
    refused("OverflowError", tesk.eye, 2**64)
    cause = LookupError("root")
    chained = TypeError("inner")
    chained.__cause__ = cause
    assert refused("TypeError", tesk.eye, IndexRaising(chained)).__cause__ is cause
    refused("ValueError", tesk.eye, IndexRaising(ValueError("value")))
    refused("PanicException", tesk.eye, IndexRaising(PANIC("from python")))
    # Internal failures and memory exhaustion.
    refused("PanicException", tesk.eye, 3037000499)
    refused("PanicException", tesk.eye, 3037000500)
    refused("MemoryError", tesk.eye, 2**30)
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        deep = np.zeros((1,) * 33)
        refused("PanicException", tesk.max_min, deep)
        refused("PanicException", tesk.double_and_random_perturbation, deep, 1.0)
        assert deep.flags.writeable


def run_threads():
    """Generators created on threads that end: their states are freed at thread exit."""
    def work():
        x = np.zeros(100)
        tesk.double_and_random_perturbation(x, 1.0)
        assert ((x >= -0.5) & (x < 0.5)).all()

    for _ in range(3):
        threads = [threading.Thread(target=work) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()


def run_fork():
    """Both sides draw after a fork. The child answers through a pipe: under memcheck its
    exit status reports the errors it inherited, not its own result."""
    draws = np.zeros(40)
    tesk.double_and_random_perturbation(draws, 1.0)
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        x = np.zeros(100)
        tesk.double_and_random_perturbation(x, 1.0)
        os.write(writer, b"ok" if ((x >= -0.5) & (x < 0.5)).all() else b"bad")
        os._exit(0)
    os.close(writer)
    tesk.double_and_random_perturbation(draws, 1.0)
    os.waitpid(pid, 0)
    assert os.read(reader, 3) == b"ok"
    os.close(reader)


def main():
    run_functions()
    run_layouts()
    run_failures()
    run_threads()
    run_fork()
    print(f"valgrind script: {calls} calls checked")


if __name__ == "__main__":
    main()
