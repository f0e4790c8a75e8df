"""eye(size): the identity matrix, its conversions, overflow checks and allocation failure."""

import operator

import numpy as np
import pytest

import tesk
from contract_texts import TEXT


@pytest.mark.parametrize("n", [0, 1, 2, 3, 8, 17, 300])
def test_identity_matrix_and_layout(n):
    result = tesk.eye(n)
    assert result.dtype == np.float64 and result.shape == (n, n)
    assert np.array_equal(result, np.identity(n))
    assert result.strides == ((8 * n, 8) if n else (0, 0))
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.aligned
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    # Off-diagonal zeros are +0.0, bit for bit.
    assert not np.signbit(result).any()


class Index:
    def __index__(self):
        return 4


@pytest.mark.parametrize("size, n", [(True, 1), (False, 0), (np.int64(5), 5), (np.uint8(2), 2),
                                     (Index(), 4)])
def test_sizes_with_index(size, n):
    assert np.array_equal(tesk.eye(size), np.identity(n))


def test_keyword_size():
    assert np.array_equal(tesk.eye(size=4), tesk.eye(4))


@pytest.mark.parametrize("size", [2.0, "3", None, [2]])
def test_sizes_without_index_name_the_parameter(size):
    with pytest.raises(TypeError) as interpreter:
        operator.index(size)
    with pytest.raises(TypeError) as caught:
        tesk.eye(size)
    assert caught.value.args == (f"argument 'size': {interpreter.value}",)


@pytest.mark.parametrize("size", [-1, -(2**70), 2**64, 2**100])
def test_out_of_range_sizes_raise_overflow_unchanged(size):
    with pytest.raises(OverflowError) as caught:
        tesk.eye(size)
    assert not str(caught.value).startswith("argument")


SHAPE_TOO_LARGE = TEXT.shape_too_large


@pytest.mark.parametrize(
    "size, message",
    [
        (3037000500, SHAPE_TOO_LARGE),  # smallest n with n*n > 2**63 - 1
        (2**32, SHAPE_TOO_LARGE),  # n*n wraps 64 bits
        (2**64 - 1, SHAPE_TOO_LARGE),
        (3037000499, TEXT.capacity_overflow),  # largest n with n*n <= 2**63 - 1
        (1518500250, TEXT.capacity_overflow),  # smallest n with 8*n*n >= 2**64
    ],
)
def test_overflowing_sizes_are_internal_failures(size, message):
    with pytest.raises(BaseException) as caught:
        tesk.eye(size)
    assert type(caught.value).__module__ == "pyo3_runtime"
    assert type(caught.value).__name__ == "PanicException"
    assert not isinstance(caught.value, Exception)
    assert caught.value.args == (message,)


@pytest.mark.parametrize("size", [2**30, 1518500249])
def test_failed_allocation_is_memory_error(size):
    with pytest.raises(MemoryError):
        tesk.eye(size)
    # The process and the module go on.
    assert np.array_equal(tesk.eye(2), np.identity(2))


def test_results_are_independent():
    a = tesk.eye(3)
    b = tesk.eye(3)
    a[0, 1] = 7.0
    assert not np.shares_memory(a, b)
    assert np.array_equal(b, np.identity(3))
