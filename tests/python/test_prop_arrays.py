"""Property-based tests: max_min and the perturbation over arbitrary arrays and objects.

max_min is compared, bit for bit, with a pure-Python model of its two sequential
searches; the perturbation with a zero scaling with exact doubling. Every refusal must be
a clean exception that leaves the caller's memory and flags as they were.
"""

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tesk
from contract_texts import TEXT
from property_support import (
    CONTAINER,
    NUMPY_MAX_DIMS,
    PANIC,
    examples,
    doubling_matches,
    float64_layouts,
    logical_bits,
    max_min_model,
)

READ_ONLY = f"argument 'x': {TEXT.read_only_destination}"


@examples(400)
@given(layout=float64_layouts())
def test_max_min_matches_the_sequential_searches(layout):
    x = layout.array
    before = layout.buffer_bytes()
    writeable = x.flags.writeable
    expected = max_min_model(logical_bits(layout))

    result = tesk.max_min(x)

    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape == (len(expected),)
    assert result.view(np.uint64).tolist() == expected, layout.description
    assert type(result.base) is CONTAINER
    assert x.flags.writeable == writeable
    result[...] = 7.0  # the result owns its memory: the argument's bytes stay as they were
    assert layout.buffer_bytes() == before


@examples(400)
@given(layout=float64_layouts(), scaling=st.sampled_from([0.0, -0.0]))
def test_zero_scaling_doubles_every_logical_element(layout, scaling):
    x = layout.array
    before = layout.buffer_bytes()
    if not x.flags.writeable:
        with pytest.raises(ValueError) as caught:
            tesk.double_and_random_perturbation(x, scaling)
        assert caught.value.args == (READ_ONLY,)
        assert not x.flags.writeable
        assert layout.buffer_bytes() == before
        return
    assert tesk.double_and_random_perturbation(x, scaling) is None
    verdict = doubling_matches(before, layout.buffer_bytes(), layout.offsets)
    assume(verdict is not None)  # too many aliased negative zeros for the model
    assert verdict, layout.description


any_dtype = st.one_of(
    hnp.scalar_dtypes(),
    hnp.array_dtypes(),
    hnp.floating_dtypes(endianness=">"),
    hnp.integer_dtypes(endianness="<", sizes=(64,)),
    hnp.complex_number_dtypes(),
)
any_array = hnp.arrays(dtype=any_dtype, shape=hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4))


def is_native_float64(dtype: np.dtype) -> bool:
    return dtype.kind == "f" and dtype.itemsize == 8 and dtype.isnative and dtype.fields is None


@examples(300)
@given(x=any_array, read_only=st.booleans(), reverse=st.booleans())
def test_every_dtype_is_accepted_or_refused_cleanly(x, read_only, reverse):
    if reverse and x.ndim:
        x = x[::-1]
    x.flags.writeable = not read_only
    before = x.tobytes()
    if is_native_float64(x.dtype):
        bits = np.ascontiguousarray(x).reshape(-1).view(np.uint64).tolist()
        assert tesk.max_min(x).view(np.uint64).tolist() == max_min_model(bits)
        assert x.flags.writeable == (not read_only)
        return
    message = f"argument 'x': {TEXT.type_mismatch_from}{x.dtype}{TEXT.type_mismatch_to}float64"
    calls = [
        lambda: tesk.max_min(x),
        lambda: tesk.double_and_random_perturbation(x, 0.5),
        lambda: tesk.double_and_random_perturbation(x, "not a number"),  # x is named first
    ]
    for call in calls:
        with pytest.raises(TypeError) as caught:
            call()
        assert type(caught.value) is TypeError
        assert caught.value.args == (message,)
    assert x.tobytes() == before
    assert x.flags.writeable == (not read_only)


class Outer:
    class Inner:
        pass


class ArrayLike:
    def __array__(self, dtype=None, copy=None):
        return np.zeros(3)


def metaclass_naming(name_of):
    """A metaclass whose classes answer __qualname__ with name_of() (which may raise)."""

    class Naming(type):
        def __getattribute__(cls, attribute):
            if attribute == "__qualname__":
                return name_of()
            return super().__getattribute__(attribute)

    return Naming


def _no_name():
    raise RuntimeError("no name")


RaisingQualname = metaclass_naming(_no_name)
NumberQualname = metaclass_naming(lambda: 42)
SurrogateQualname = metaclass_naming(lambda: "bad\udc80name")


def instance_of(metaclass):
    return metaclass("Hostile", (), {})()


non_arrays = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.lists(st.floats(), max_size=3),
    st.tuples(st.floats()),
    st.binary(max_size=16).map(memoryview),
    st.floats().map(np.float64),
    st.integers(-10, 10).map(np.int64),
    st.just(np.float64(1.5)[()]),
    st.builds(Outer.Inner),
    st.builds(ArrayLike),
    st.builds(lambda: instance_of(RaisingQualname)),
    st.builds(lambda: instance_of(NumberQualname)),
    st.builds(lambda: instance_of(SurrogateQualname)),
)


def downcast_message(obj):
    """The refusal text, or None when the type's name cannot be read as UTF-8 text."""
    try:
        name = type(obj).__qualname__
    except Exception:
        return None
    if not isinstance(name, str):
        return None
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return f"argument 'x': '{name}{TEXT.cannot_be_converted}{TEXT.array_target}'"


@examples(300)
@given(obj=non_arrays, which=st.sampled_from(["max_min", "perturbation"]))
def test_non_arrays_are_refused_by_their_type_name(obj, which):
    if which == "max_min":
        def call():
            return tesk.max_min(obj)
    else:
        def call():
            return tesk.double_and_random_perturbation(obj, 1.0)
    message = downcast_message(obj)
    with pytest.raises(BaseException) as caught:
        call()
    if message is None:
        assert type(caught.value) is PANIC
        assert caught.value.args == (f"{TEXT.display_failed}: {TEXT.formatting_failure_rendering}",)
    else:
        assert type(caught.value) is TypeError
        assert caught.value.args == (message,)


@pytest.mark.skipif(NUMPY_MAX_DIMS <= 32, reason="this NumPy allows at most 32 dimensions")
@examples(60)
@given(
    shape=st.integers(33, NUMPY_MAX_DIMS).flatmap(
        lambda ndim: st.lists(st.sampled_from([1, 1, 1, 2, 0]), min_size=ndim, max_size=ndim)
    ),
    read_only=st.booleans(),
)
def test_more_than_32_dimensions_fail_cleanly(shape, read_only):
    x = np.arange(float(np.prod(shape))).reshape(shape)
    x.flags.writeable = not read_only
    before = x.tobytes()
    calls = [lambda: tesk.max_min(x)]
    if not read_only:
        calls.append(lambda: tesk.double_and_random_perturbation(x, 1.0))
    for call in calls:
        with pytest.raises(BaseException) as caught:
            call()
        assert type(caught.value) is PANIC
        assert caught.value.args == (TEXT.too_many_dimensions,)
        assert x.flags.writeable == (not read_only)
        assert x.tobytes() == before
