"""No leaks: every function, on success and on every failure path, called 100,000 times.

Reference counts of the arguments, of None, of the result and exception types and of the
float64 descriptor must come back exactly; traced Python memory and the resident size
must not grow beyond noise. A result must give its buffer back when it is dropped.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import tesk
from property_support import CONTAINER, NUMPY_MAX_DIMS, PANIC, RESIDENT_SIZE_MEANINGFUL

CALLS = 100_000
WARM_UP = 2_000
# A leak of one 16-byte block per call is 1.6 MB over CALLS; Python objects are larger.
RSS_NOISE = 1 << 20
TRACED_NOISE = 64 << 10
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # the failure paths raise on every call
            pass


class IndexRaisingTypeError:
    """A TypeError with a cause, so the rewrite builds a new error and moves the cause."""

    def __index__(self):
        raise TypeError("no index") from LookupError("root")


def readonly(array):
    array.flags.writeable = False
    return array


def cases():
    """(id, function, arguments, keyword arguments): each argument is counted as well."""
    matrix = np.arange(12.0).reshape(3, 4)
    yield "introduction ok", tesk.introduction, (), {}
    yield "introduction binding", tesk.introduction, (1,), {}
    yield "introduction keyword", tesk.introduction, (), {"verbose": True}

    yield "max_min ok", tesk.max_min, (matrix.T,), {}
    yield "max_min ok keyword", tesk.max_min, (), {"x": matrix}
    yield "max_min ok empty", tesk.max_min, (np.zeros((3, 0)),), {}
    yield "max_min ok read-only", tesk.max_min, (readonly(np.ones(5)),), {}
    yield "max_min binding", tesk.max_min, (matrix, matrix), {}
    yield "max_min conversion", tesk.max_min, ([1.0, 2.0],), {}
    yield "max_min type mismatch", tesk.max_min, (np.ones(3, np.float32),), {}
    if NUMPY_MAX_DIMS > 32:
        yield "max_min internal failure", tesk.max_min, (np.zeros((1,) * 33),), {}

    perturb = tesk.double_and_random_perturbation
    yield "perturbation ok", perturb, (np.zeros(64), 0.5), {}
    yield "perturbation ok strided", perturb, (np.zeros((8, 8))[::-2, ::3], 0.5), {}
    yield "perturbation ok keyword", perturb, (), {"x": np.zeros(4), "perturbation_scaling": 1}
    yield "perturbation binding", perturb, (np.zeros(4),), {}
    yield "perturbation conversion x", perturb, ([0.0], 1.0), {}
    yield "perturbation type mismatch", perturb, (np.zeros(3, ">f8"), 1.0), {}
    yield "perturbation conversion scaling", perturb, (np.zeros(3), "s"), {}
    yield "perturbation overflow scaling", perturb, (np.zeros(3), 10**400), {}
    yield "perturbation read-only", perturb, (readonly(np.zeros(3)), 1.0), {}
    if NUMPY_MAX_DIMS > 32:
        yield "perturbation internal failure", perturb, (np.zeros((1,) * 33), 1.0), {}

    yield "eye ok", tesk.eye, (5,), {}
    yield "eye ok zero", tesk.eye, (), {"size": 0}
    yield "eye binding", tesk.eye, (1, 2), {}
    yield "eye conversion", tesk.eye, (2.5,), {}
    yield "eye rewrite with cause", tesk.eye, (IndexRaisingTypeError(),), {}
    yield "eye overflow", tesk.eye, (-1,), {}
    yield "eye internal failure", tesk.eye, (2**32,), {}
    yield "eye capacity overflow", tesk.eye, (3037000499,), {}
    yield "eye memory error", tesk.eye, (2**30,), {}


CASES = list(cases())
WATCHED_TYPES = [np.ndarray, CONTAINER, PANIC, TypeError, ValueError, OverflowError, MemoryError]


@pytest.mark.soak
@pytest.mark.parametrize("function, args, kwargs", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_calls_leave_counts_and_memory_unchanged(function, args, kwargs):
    def call():
        return function(*args, **kwargs)

    watched = [None, np.dtype(np.float64), *WATCHED_TYPES, *args, *kwargs.values()]

    def counts():
        # As text: a list of ints could itself hold a watched small int.
        return [str(sys.getrefcount(obj)) for obj in watched]

    repeat(call, WARM_UP)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    resident_before = resident_bytes()
    counts_before = counts()

    repeat(call, CALLS)

    gc.collect()
    counts_after = counts()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    resident_growth = resident_bytes() - resident_before
    print(f"{CALLS} calls: traced {traced_growth:+} B, resident {resident_growth:+} B")
    assert counts_after == counts_before
    assert traced_growth < TRACED_NOISE, f"traced memory grew by {traced_growth} bytes"
    if RESIDENT_SIZE_MEANINGFUL:
        assert resident_growth < RSS_NOISE, f"resident size grew by {resident_growth} bytes"


needs_resident_size = pytest.mark.skipif(
    not RESIDENT_SIZE_MEANINGFUL, reason="the sanitizer's quarantine keeps freed memory resident"
)


@needs_resident_size
def test_dropped_results_give_their_buffer_back():
    size = 4096  # 128 MiB
    start = resident_bytes()
    for _ in range(5):
        matrix = tesk.eye(size)
        matrix.fill(1.0)  # touch every page: calloc's pages are only mapped on use
        assert resident_bytes() - start > 100 << 20
        del matrix
        assert resident_bytes() - start < 16 << 20


@needs_resident_size
def test_a_view_keeps_the_buffer_until_it_goes():
    start = resident_bytes()
    matrix = tesk.eye(4096)
    matrix.fill(2.0)
    view = matrix[100:101]
    del matrix
    assert resident_bytes() - start > 100 << 20
    assert view.sum() == 2.0 * 4096
    del view
    assert resident_bytes() - start < 16 << 20
