"""double_and_random_perturbation: in-place updates in every layout, and its refusals."""

import math
import sys
import threading

import numpy as np
import pytest

import tesk
from contract_texts import TEXT
from array_layouts import ALL, DISTINCT, distinct_values, logical_indices

perturb = tesk.double_and_random_perturbation


def sequential_doubling(view):
    """What scaling 0 must do: each logical element, in order, doubled from its current value."""
    for index in logical_indices(view):
        view[index] = view[index] + view[index]


@pytest.mark.parametrize("layout", sorted(ALL))
def test_scaling_zero_doubles_each_logical_element_in_place(layout):
    owner, view = ALL[layout](distinct_values)
    expected_owner, expected_view = ALL[layout](distinct_values)
    sequential_doubling(expected_view)
    assert perturb(view, 0.0) is None
    # Raw bytes of the whole owner: nothing outside the view moves either.
    assert owner.tobytes() == expected_owner.tobytes()


@pytest.mark.parametrize("layout", sorted(DISTINCT))
def test_scaling_one_stays_within_half_of_double(layout):
    _, view = DISTINCT[layout](distinct_values)
    before = np.array(view, copy=True)
    perturb(view, 1.0)
    offset = view - 2 * before
    assert np.all((offset >= -0.5) & (offset < 0.5))


@pytest.mark.parametrize("layout", sorted(DISTINCT))
def test_every_element_gets_a_fresh_draw(layout):
    # With zeros and scaling 1 each element becomes exactly u - 0.5, u a multiple of 2^-53
    # in [0, 1). A draw used twice, or an element skipped, shows up as a repeat or a zero.
    _, view = DISTINCT[layout](lambda count: np.zeros(count))
    perturb(view, 1.0)
    values = np.array(view, copy=True).reshape(-1)
    units = (values + 0.5) * 2.0**53
    assert np.all(units == np.floor(units)) and np.all((units >= 0) & (units < 2.0**53))
    assert len(set(values.tolist())) == values.size


def test_long_contiguous_array_gets_distinct_draws_across_batches():
    x = np.zeros(70_001)
    perturb(x, 1.0)
    assert len(np.unique(x)) == x.size
    assert -0.5 <= x.min() and x.max() < 0.5
    # Coarse sanity of uniformity: the mean of 70001 draws is far inside these bounds.
    assert abs(x.mean()) < 0.01


def test_two_copies_get_different_perturbations():
    a = np.ones(64)
    b = a.copy()
    perturb(a, 1.0)
    perturb(b, 1.0)
    assert not np.array_equal(a, b)


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 4, 2)])
def test_empty_arrays_are_unchanged(shape):
    x = np.zeros(shape)
    assert perturb(x, 1.0) is None
    assert x.shape == shape


def test_zero_dimensional_array_is_updated_once():
    x = np.array(3.0)
    perturb(x, 1.0)
    assert 5.5 <= float(x) < 6.5


class FloatStoredZero(float):
    """A float subclass is read by its stored value; its own __float__ is never called."""

    def __float__(self):
        return math.inf


@pytest.mark.parametrize(
    "scaling, check",
    [
        (2, lambda offset: np.all(np.abs(offset) <= 1.0)),
        (FloatStoredZero(0.0), lambda offset: np.all(offset == 0.0)),
        (math.nan, lambda offset: np.all(np.isnan(offset))),
        (math.inf, lambda offset: np.all(np.isinf(offset) | np.isnan(offset))),
    ],
)
def test_scaling_conversions(scaling, check):
    x = np.arange(1.0, 33.0)
    perturb(x, perturbation_scaling=scaling)
    assert check(x - 2 * np.arange(1.0, 33.0))


def test_keyword_arguments():
    x = np.ones(4)
    assert perturb(perturbation_scaling=0.0, x=x) is None
    assert x.tolist() == [2.0] * 4


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


@pytest.mark.parametrize(
    "scaling, error, message",
    [
        ("0.5", TypeError, "argument 'perturbation_scaling': must be real number, not str"),
        (10**400, OverflowError, "int too large to convert to float"),
        (FloatRaises(), ValueError, "no float here"),
    ],
)
def test_bad_scaling_is_refused_before_anything_is_written(scaling, error, message):
    x = np.arange(5.0)
    with pytest.raises(error) as caught:
        perturb(x, scaling)
    assert str(caught.value) == message
    assert x.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]


def test_bad_x_is_reported_before_bad_scaling():
    with pytest.raises(TypeError) as caught:
        perturb([1.0], "no")
    assert str(caught.value).startswith("argument 'x': 'list' object")


READ_ONLY = {
    "flag_cleared": lambda: _read_only(np.arange(1.0, 7.0)),
    "from_bytes": lambda: np.frombuffer(np.arange(1.0, 7.0).tobytes()),
    "broadcast": lambda: np.broadcast_to(np.arange(1.0, 4.0), (2, 3)),
    "empty": lambda: _read_only(np.zeros((2, 0))),
    "zero_d": lambda: _read_only(np.array(4.0)),
}


def _read_only(x):
    x.flags.writeable = False
    return x


@pytest.mark.parametrize("kind", sorted(READ_ONLY))
def test_read_only_arrays_are_refused_unchanged(kind):
    x = READ_ONLY[kind]()
    snapshot = x.tobytes()
    with pytest.raises(ValueError) as caught:
        perturb(x, 1.0)
    assert caught.value.args == (f"argument 'x': {TEXT.read_only_destination}",)
    assert x.tobytes() == snapshot
    assert not x.flags.writeable


def _change_dtype_in_callback(x, dtype):
    x.dtype = dtype


def _change_dtype_from_another_thread(x, dtype):
    changer = threading.Thread(target=_change_dtype_in_callback, args=(x, dtype))
    changer.start()
    changer.join()


# Newer NumPy deprecates setting .dtype; the module must cope with it while it works.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("change", [_change_dtype_in_callback, _change_dtype_from_another_thread])
@pytest.mark.parametrize("dtype", [np.int8, np.float32, np.int64, ">f8"])
def test_dtype_changed_by_the_scaling_is_refused_untouched(change, dtype):
    # x lies inside a larger buffer, so a write past x (int8: 32 elements of stride 1)
    # would show in the bytes around it.
    buffer = np.full(48, 0xA5, np.uint8)
    x = buffer[8:40].view(np.float64)
    x[:] = 1.0
    snapshot = buffer.tobytes()

    class Scaling:
        def __float__(self):
            change(x, dtype)
            return 0.5

    with pytest.raises(TypeError) as caught:
        perturb(x, Scaling())
    assert caught.value.args == (
        f"argument 'x': {TEXT.type_mismatch_from}{np.dtype(dtype)}{TEXT.type_mismatch_to}float64",)
    assert buffer.tobytes() == snapshot


def test_bad_scaling_is_reported_before_read_only():
    x = _read_only(np.ones(3))
    with pytest.raises(TypeError) as caught:
        perturb(x, "1")
    assert str(caught.value).startswith("argument 'perturbation_scaling': ")


def test_reference_counts_unchanged_over_many_calls():
    x = np.zeros((8, 9)).T
    scaling = 1e-300
    counts = (sys.getrefcount(x), sys.getrefcount(scaling))
    none_before = sys.getrefcount(None)
    for _ in range(1000):
        perturb(x, scaling)
    # None is shared with the whole interpreter; a missing or extra reference per call
    # would move it by a thousand.
    assert abs(sys.getrefcount(None) - none_before) < 50
    for _ in range(200):
        with pytest.raises(TypeError):
            perturb(x, "bad")
        with pytest.raises(ValueError):
            perturb(_read_only(x), scaling)
        x.flags.writeable = True
    assert (sys.getrefcount(x), sys.getrefcount(scaling)) == counts
