"""Results handed to NumPy without a copy: PySliceContainer and buffer ownership."""

import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import tesk
from contract_texts import TEXT

RESULTS = {
    "eye_3": lambda: tesk.eye(3),
    "eye_0": lambda: tesk.eye(0),
    "max_min": lambda: tesk.max_min(np.arange(5.0)),
    "max_min_empty": lambda: tesk.max_min(np.zeros(0)),
}


@pytest.fixture(params=sorted(RESULTS))
def result(request):
    return RESULTS[request.param]()


def test_container_type_identity(result):
    container_type = type(result.base)
    assert container_type.__name__ == "PySliceContainer"
    assert container_type.__module__ == "builtins"
    assert container_type is type(tesk.eye(1).base)
    assert container_type.__doc__ == TEXT.container_doc
    assert container_type.__basicsize__ == sys.getsizeof(result.base) == 56


def test_container_has_no_constructor(result):
    container_type = type(result.base)
    for args, kwargs in (((), {}), ((1, 2), {"a": 3})):
        with pytest.raises(TypeError) as caught:
            container_type(*args, **kwargs)
        assert caught.value.args == (TEXT.no_constructor,)


def test_forged_container_owns_nothing_and_lends_nothing():
    # The type is a mutable heap type: Python code can replace __new__ and make an instance
    # with neither memory nor a routine to free it. In a child, as a fault would be a crash.
    script = (
        "import tesk\n"
        "T = type(tesk.eye(1).base)\n"
        "T.__new__ = lambda cls, *a: object.__new__(cls)\n"
        "forged = T()\n"
        "lent = memoryview(forged)\n"
        "assert (lent.nbytes, lent.readonly) == (0, False)\n"
        "lent.release()\n"
        "del forged, lent\n"
        "assert tesk.max_min(tesk.eye(2)).tolist() == [1.0, 0.0]\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr


def test_container_is_not_a_base_type(result):
    with pytest.raises(TypeError):
        type("Sub", (type(result.base),), {})


def test_result_flags(result):
    assert not result.flags.owndata
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    # The array holds the container's only reference (plus the call's argument).
    references = sys.getrefcount(result.base)
    assert references == 2


def test_writeable_flag_can_be_set_as_on_numpys_arrays(result):
    result.flags.writeable = True
    result.flags.writeable = False
    result.flags.writeable = True
    result[...] = 7.0
    assert (result == 7.0).all()
    reversed_view = result[::-1]  # its base is the container too
    reversed_view.flags.writeable = False
    reversed_view.flags.writeable = True
    del reversed_view
    lent = memoryview(result.base)
    assert (lent.nbytes, lent.readonly, lent.format) == (result.nbytes, False, "B")
    lent.release()
    references = sys.getrefcount(result.base)
    assert references == 2  # every export gave its reference back


def test_writes_stay_in_one_result():
    a = tesk.max_min(np.arange(4.0))
    b = tesk.max_min(np.arange(4.0))
    a[0] = -5.0
    assert a.tolist() == [-5.0, 0.0] and b.tolist() == [3.0, 0.0]


def test_views_keep_the_buffer_alive():
    matrix = tesk.eye(64)
    row = matrix[5]
    lent = np.frombuffer(memoryview(matrix.base)).reshape(64, 64)
    del matrix
    gc.collect()
    # Churn the allocator: a freed buffer would likely be reused and overwritten.
    churn = [tesk.max_min(np.full(3, float(i))) for i in range(2000)]
    assert row[5] == 1.0 and row.sum() == 1.0
    lent[5, 5] = 2.0
    assert row[5] == 2.0 and lent.sum() == 65.0
    del churn


def test_every_container_releases_its_type():
    container_type = type(tesk.eye(1).base)
    before = sys.getrefcount(container_type)
    for n in range(300):
        tesk.eye(n % 7)
        tesk.max_min(np.arange(float(n % 3)))
    assert sys.getrefcount(container_type) == before


def address_space_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * 4096


def test_buffers_are_freed_when_results_go():
    # Each eye(2048) maps 32 MiB; 200 leaked buffers would add over 6 GiB of address space.
    tesk.eye(2048)
    before = address_space_bytes()
    for _ in range(200):
        tesk.eye(2048)
    assert address_space_bytes() - before < 256 * 2**20
