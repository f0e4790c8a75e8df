"""max_min: values and bit patterns against a model of the two sequential searches."""

import math
import struct
import sys
import weakref

import numpy as np
import pytest

import tesk
from array_layouts import ALL, logical_values


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", float(value)))[0]


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def greater(a, b):
    """The searches' order: NaN above every number, NaNs equal, -0.0 == 0.0."""
    if math.isnan(a):
        return not math.isnan(b)
    if math.isnan(b):
        return False
    return a > b


def model_max_min(values):
    """The two searches, literally: max keeps m unless m > v; min takes v when n > v."""
    m = values[0]
    for v in values[1:]:
        if not greater(m, v):
            m = v
    n = values[0]
    for v in values[1:]:
        if greater(n, v):
            n = v
    return bits(m), bits(n)


def result_bits(result):
    return tuple(int(b) for b in result.view(np.uint64))


def nan_with_payload(k):
    return from_bits(0x7FF8000000000000 + k + 1)


def pattern_fill(kind, seed):
    """Fillers dense in the values whose bits the order alone does not fix."""

    def fill(count):
        rng = np.random.default_rng(seed)
        values = rng.uniform(-8.0, 8.0, count)
        if kind == "plain":
            return values
        out = np.empty(count)
        for i, v in enumerate(values):
            roll = rng.random()
            if kind == "signed_zeros" and roll < 0.5:
                v = -0.0 if rng.random() < 0.5 else 0.0
            elif kind == "nan_payloads" and roll < 0.3:
                v = nan_with_payload(i)
            elif kind == "all_nan":
                v = nan_with_payload(i)
            elif kind == "zeros_only":
                v = -0.0 if roll < 0.5 else 0.0
            elif kind == "nonpositive_with_zeros":
                v = -abs(v) if roll < 0.7 else (-0.0 if rng.random() < 0.5 else 0.0)
            elif kind == "infinities" and roll < 0.3:
                v = math.inf if rng.random() < 0.5 else -math.inf
            out[i] = v
        return out

    return fill


PATTERNS = ["plain", "signed_zeros", "nan_payloads", "all_nan", "zeros_only",
            "nonpositive_with_zeros", "infinities"]


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("layout", sorted(ALL))
@pytest.mark.parametrize("seed", [1, 2])
def test_layouts_and_patterns_match_the_searches(layout, pattern, seed):
    _, view = ALL[layout](pattern_fill(pattern, seed))
    expected = model_max_min(logical_values(view))
    result = tesk.max_min(view)
    assert result.shape == (2,) and result.dtype == np.float64
    assert result_bits(result) == expected


@pytest.mark.parametrize(
    "values, expected",
    [
        ([3.0, -1.0, 2.0], [3.0, -1.0]),
        ([1.0, math.nan, 2.0], [math.nan, 1.0]),
        ([math.nan, math.nan], [math.nan, math.nan]),
        ([math.nan, 4.0], [math.nan, 4.0]),
        ([0.0, -0.0], [-0.0, 0.0]),
        ([-0.0, 0.0], [0.0, -0.0]),
        ([-math.inf, math.inf], [math.inf, -math.inf]),
        ([2.5], [2.5, 2.5]),
    ],
)
def test_documented_examples(values, expected):
    assert result_bits(tesk.max_min(np.array(values))) == tuple(bits(v) for v in expected)


# A broadcast axis repeats each element 2**45 times: the zero met first and the NaN met
# last must be found from the distinct memory, since a walk over the repeats would not end.
@pytest.mark.parametrize(
    "column, expected",
    [
        ([1.0, -0.0, 0.0], [1.0, -0.0]),
        ([nan_with_payload(1), nan_with_payload(2), 1.0], [nan_with_payload(2), 1.0]),
    ],
)
def test_broadcast_axes_cost_only_their_distinct_memory(column, expected):
    x = np.broadcast_to(np.array(column)[:, None], (3, 2**45))
    assert result_bits(tesk.max_min(x)) == tuple(bits(v) for v in expected)


@pytest.mark.parametrize("value", [-0.0, nan_with_payload(3), 2.5])
def test_one_broadcast_axis_costs_one_element(value):
    x = np.broadcast_to(np.array(value), (2**45,))
    assert result_bits(tesk.max_min(x)) == (bits(value), bits(value))


def test_zero_dimensional():
    assert result_bits(tesk.max_min(np.array(5.0))) == (bits(5.0), bits(5.0))


# Specials at every position around the 8-, 16- and 32-element SIMD blocks and their tails.
@pytest.mark.parametrize("count", [1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 1027])
@pytest.mark.parametrize("special", ["nan", "zero_max", "zero_min", "inf", "-inf"])
def test_single_special_anywhere_in_contiguous_runs(count, special):
    positions = {p for p in (0, count // 2, count - 8, count - 2, count - 1) if 0 <= p < count}
    for position in sorted(positions):
        if special == "zero_max":
            values = np.full(count, -1.0)
            values[position // 2] = 0.0
            values[position] = -0.0
        elif special == "zero_min":
            values = np.full(count, 1.0)
            values[position] = -0.0
            values[(position + count // 2) % count] = 0.0
        else:
            values = np.arange(count, dtype=np.float64) - count / 2
            values[position] = {"nan": nan_with_payload(position), "inf": math.inf,
                                "-inf": -math.inf}[special]
        expected = model_max_min(list(values))
        assert result_bits(tesk.max_min(values)) == expected, position


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 5), (2, 0, 3)])
def test_empty_input_gives_empty_result(shape):
    x = np.zeros(shape)
    result = tesk.max_min(x)
    assert result.shape == (0,) and result.dtype == np.float64 and result.strides == (0,)
    result_transposed = tesk.max_min(x.T)
    assert result_transposed.shape == (0,)


def test_keyword_argument_and_subclass():
    class Sub(np.ndarray):
        pass

    base = np.array([[4.0, -2.0], [7.5, 1.0]])
    sub = base.view(Sub)
    for result in (tesk.max_min(x=base), tesk.max_min(sub)):
        assert type(result) is np.ndarray
        assert result.tolist() == [7.5, -2.0]
        assert not np.shares_memory(result, base)


def test_reference_counts_unchanged_over_many_calls():
    x = np.arange(50.0).reshape(5, 10).T
    before = sys.getrefcount(x)
    for _ in range(500):
        result = weakref.ref(tesk.max_min(x))
        # Dropped by the caller, the result goes at once: no reference was left behind.
        assert result() is None
    for _ in range(500):
        with pytest.raises(TypeError):
            tesk.max_min(x.astype(np.float32))
    assert sys.getrefcount(x) == before
