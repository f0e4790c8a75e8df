"""Property-based tests: hostile scalars for eye(size) and the perturbation's scaling.

The objects' __index__ and __float__ raise, return the wrong type or huge values, raise
pyo3_runtime.PanicException, or call back into tesk before answering (nested calls). The
expected outcome comes from the interpreter's own conversion of the same object, passed
through an independent model of what the module makes of it.
"""

import math
import operator
import sys
import warnings

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import tesk
from contract_texts import TEXT
from property_support import PANIC, examples

RESUMED = TEXT.unwrapped_panic
UNPRINTABLE = f"{TEXT.formatting_failed}: {TEXT.formatting_failure_rendering}"
SHAPE_TOO_LARGE = TEXT.shape_too_large


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TypeErrorSub(TypeError):
    pass


def chained_type_error():
    error = TypeError("chained")
    error.__cause__ = LookupError("root")
    return error


# Each makes a fresh exception, so that identity and chaining can be checked per call.
RAISES = {
    "TypeError": lambda: TypeError("bad value"),
    "TypeError with cause": chained_type_error,
    "TypeError without text": lambda: TypeError(Unprintable()),
    "TypeError subclass": lambda: TypeErrorSub("sub"),
    "ValueError": lambda: ValueError("value"),
    "OverflowError": lambda: OverflowError("overflow"),
    "MemoryError": lambda: MemoryError(),
    "KeyboardInterrupt": lambda: KeyboardInterrupt(),
    "PanicException": lambda: PANIC("from python"),
}

RETURNS = [
    0, 1, 2, 5, True, False, -1, -(2**70), 2**30, 2**31, 1518500249, 1518500250, 3037000499,
    3037000500, 2**32, 2**63, 2**64 - 1, 2**64, 10**400, IntSub(3), np.int64(4), np.uint64(2**64 - 1),
    0.0, -0.0, -1.0, 2.5, math.inf, -math.inf, math.nan, FloatSub(1.5), np.float64(0.25), "3", None, 1j,
]


class Nested:
    """Calls back into tesk before answering; `target` is the array of the outer call."""

    target = None

    def __init__(self, action):
        self.action = action

    def __call__(self):
        if self.action == "introduction":
            tesk.introduction()
        elif self.action == "eye":
            assert tesk.eye(3).trace() == 3.0
        elif self.action == "max_min":
            assert tesk.max_min(np.arange(4.0)).tolist() == [3.0, 0.0]
        elif self.action == "failing call":
            with pytest.raises(OverflowError):
                tesk.eye(-1)
        elif self.action == "panicking call":
            with pytest.raises(PANIC):
                tesk.eye(2**32)
        elif self.action == "double the target":
            tesk.double_and_random_perturbation(self.target, 0.0)
        elif self.action == "freeze the target":
            self.target.flags.writeable = False


class Hostile:
    """Answers __index__ and/or __float__ with a value or an exception, after a nested
    call. Subclasses pick which of the two protocols exist."""

    def __init__(self, nested, outcome):
        self.nested = nested
        self.outcome = outcome
        self.raised = []

    def answer(self):
        self.nested()
        kind, payload = self.outcome
        if kind == "raise":
            error = RAISES[payload]()
            self.raised.append(error)
            raise error
        return payload


class IndexOnly(Hostile):
    def __index__(self):
        return self.answer()


class FloatOnly(Hostile):
    def __float__(self):
        return self.answer()


class IndexAndFloat(Hostile):
    def __index__(self):
        return self.answer()

    def __float__(self):
        return self.answer()


outcomes = st.one_of(
    st.tuples(st.just("return"), st.sampled_from(RETURNS)),
    st.tuples(st.just("raise"), st.sampled_from(sorted(RAISES))),
)
nested = st.sampled_from(
    [None, "introduction", "eye", "max_min", "failing call", "panicking call",
     "double the target", "freeze the target"]
).map(Nested)
plain_values = st.sampled_from(RETURNS)


def hostile(kinds):
    made = st.builds(lambda kind, call, outcome: kind(call, outcome), st.sampled_from(kinds), nested, outcomes)
    return st.one_of(plain_values, made)


def without_traceback(error):
    """Drops the frames an exception holds (they would hold the arguments too)."""
    while error is not None:
        error.__traceback__ = None
        error = error.__cause__ or error.__context__
    return error


def outcome_of(call):
    """('value', result) or ('error', exception) of call(), warnings silenced."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return "value", call()
        except BaseException as error:  # KeyboardInterrupt and panics included
            without_traceback(error)
            return "error", error


def float_as_the_module_converts(obj):
    """PyFloat_AsDouble: __float__, else __index__, else a TypeError of its own."""
    kind = type(obj)
    if not hasattr(kind, "__float__") and not hasattr(kind, "__index__"):
        raise TypeError(f"must be real number, not {kind.__name__}")
    return float(obj)


def references_to(obj):
    """The reference count of a hostile object, once the exceptions it raised no longer hold
    its frames. Shared plain values (None, small ints) are counted by test_leaks instead."""
    if not isinstance(obj, Hostile):
        return None
    for error in obj.raised:
        without_traceback(error)
    return sys.getrefcount(obj)


def check_failure(raised, error, parameter, obj):
    """`raised` is what the module raised where the interpreter's conversion raised `error`."""
    if isinstance(error, PANIC):
        assert type(raised) is PANIC and raised.args == (RESUMED,)
    elif type(error) is TypeError:
        try:
            text = str(error)
        except Exception:
            assert type(raised) is PANIC and raised.args == (UNPRINTABLE,)
            return
        assert type(raised) is TypeError
        assert raised.args == (f"argument '{parameter}': {text}",)
        cause, expected_cause = raised.__cause__, error.__cause__
        assert type(cause) is type(expected_cause)
        assert getattr(cause, "args", None) == getattr(expected_cause, "args", None)
        assert raised.__suppress_context__
    else:
        assert type(raised) is type(error)
        assert raised.args == error.args
        if isinstance(obj, Hostile) and obj.raised and type(obj.raised[-1]) is type(error):
            assert raised is obj.raised[-1]  # passed on, not copied


def check_eye(size, outcome):
    kind, result = outcome
    if size >= 3037000500:
        assert type(result) is PANIC and result.args == (SHAPE_TOO_LARGE,)
    elif size >= 1518500250:
        assert type(result) is PANIC and result.args == (TEXT.capacity_overflow,)
    elif size >= 2**20:
        assert type(result) is MemoryError
    else:
        assert kind == "value" and type(result) is np.ndarray and result.shape == (size, size)
        assert np.array_equal(result, np.eye(int(size)))  # NumPy 2.0 refuses np.eye(True)


@examples(400)
@given(size=hostile([IndexOnly, IndexAndFloat]))
def test_eye_converts_size_like_the_interpreter(size):
    nested_call = getattr(size, "nested", None)
    if nested_call is not None:
        nested_call.target = np.ones(3)  # an array of its own for the nested calls
    kind, value = outcome_of(lambda: operator.index(size))
    references = references_to(size)

    outcome = outcome_of(lambda: tesk.eye(size))
    event(f"eye: {outcome[0]} {type(outcome[1]).__name__}")

    if kind == "error":
        assert outcome[0] == "error"
        check_failure(outcome[1], value, "size", size)
    elif value < 0:
        check_failure(outcome[1], OverflowError("can't convert negative int to unsigned"), "size", size)
    elif value >= 2**64:
        check_failure(outcome[1], OverflowError("int too big to convert"), "size", size)
    else:
        check_eye(value, outcome)
    del outcome
    assert references_to(size) == references


def doubling_checked(before, after, scaling):
    """Each new value is 2v + (u - 0.5) * s for some u in [0, 1)."""
    doubled = 2.0 * before
    if scaling == 0.0:
        return np.array_equal(after, doubled)
    if math.isnan(scaling):
        return bool(np.isnan(after).all())
    if math.isinf(scaling):
        return bool((np.isinf(after) | np.isnan(after)).all())
    spread = (after - doubled) / scaling
    return bool(((spread >= -0.5 - 1e-9) & (spread <= 0.5 + 1e-9)).all())


@examples(400)
@given(scaling=hostile([FloatOnly, IndexOnly, IndexAndFloat]), read_only=st.booleans())
def test_perturbation_converts_scaling_like_the_interpreter(scaling, read_only):
    start = np.array([1.0, -2.0, 3.5, 0.25])

    # The model meets the same nested effects, on its own copy of the array.
    model_target = start.copy()
    model_target.flags.writeable = not read_only
    nested_call = getattr(scaling, "nested", None)
    if nested_call is not None:
        nested_call.target = model_target
    kind, value = outcome_of(lambda: float_as_the_module_converts(scaling))
    writeable_after_conversion = model_target.flags.writeable

    x = start.copy()
    x.flags.writeable = not read_only
    if nested_call is not None:
        nested_call.target = x
    references = references_to(scaling)

    outcome = outcome_of(lambda: tesk.double_and_random_perturbation(x, scaling))
    event(f"perturbation: {outcome[0]} {type(outcome[1]).__name__}")

    if kind == "error":
        assert outcome[0] == "error"
        check_failure(outcome[1], value, "perturbation_scaling", scaling)
        assert np.array_equal(x, model_target)
    elif not writeable_after_conversion:
        assert type(outcome[1]) is ValueError
        assert outcome[1].args == (f"argument 'x': {TEXT.read_only_destination}",)
        assert np.array_equal(x, model_target)
    else:
        assert outcome == ("value", None)
        assert doubling_checked(model_target, x, value)
    del outcome
    assert references_to(scaling) == references
