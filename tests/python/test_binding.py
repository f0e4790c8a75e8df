"""Argument binding: every binding message, keyword matching, the argument-error rewrite."""

import numpy as np
import pytest

import tesk
from contract_texts import TEXT

A = np.zeros(3)

BINDING_ERRORS = [
    (lambda: tesk.max_min(), "max_min() missing 1 required positional argument: 'x'"),
    (lambda: tesk.max_min(A, A), "max_min() takes 1 positional arguments but 2 were given"),
    (lambda: tesk.introduction(1), "introduction() takes 0 positional arguments but 1 was given"),
    (lambda: tesk.introduction(1, 2), "introduction() takes 0 positional arguments but 2 were given"),
    (lambda: tesk.introduction(verbose=True), "introduction() got an unexpected keyword argument 'verbose'"),
    (lambda: tesk.eye(1, 2), "eye() takes 1 positional arguments but 2 were given"),
    (lambda: tesk.eye(1, 2, n=3), "eye() takes 1 positional arguments but 2 were given"),
    (lambda: tesk.eye(n=3), "eye() got an unexpected keyword argument 'n'"),
    (lambda: tesk.eye(3, size=3), "eye() got multiple values for argument 'size'"),
    (lambda: tesk.eye(size=3, n=1, m=2), "eye() got an unexpected keyword argument 'n'"),
    (lambda: tesk.eye(SIZE=3), "eye() got an unexpected keyword argument 'SIZE'"),
    (
        lambda: tesk.double_and_random_perturbation(),
        "double_and_random_perturbation() missing 2 required positional arguments: "
        "'x' and 'perturbation_scaling'",
    ),
    (
        lambda: tesk.double_and_random_perturbation(perturbation_scaling=0.5),
        "double_and_random_perturbation() missing 1 required positional argument: 'x'",
    ),
    (
        lambda: tesk.double_and_random_perturbation(A, 0.1, 2),
        "double_and_random_perturbation() takes 2 positional arguments but 3 were given",
    ),
    (
        lambda: tesk.double_and_random_perturbation(A, x=A),
        "double_and_random_perturbation() got multiple values for argument 'x'",
    ),
    (
        lambda: tesk.max_min([1.0, 2.0], x=A),
        "max_min() got multiple values for argument 'x'",
    ),
    (
        lambda: tesk.max_min(**{"\udcff": A}),
        "max_min() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
    ),
    (
        lambda: tesk.max_min(**{"x\udc80y": A}),
        "max_min() got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_lone_surrogate_keyword_leaves_nothing_pending():
    with pytest.raises(TypeError):
        tesk.eye(**{"\ud800": 1})
    # A following call sees no stale exception.
    assert tesk.eye(1).shape == (1, 1)


def test_non_str_keyword_name(testing):
    with pytest.raises(TypeError) as caught:
        testing.call_with_kwnames(tesk.eye, (), (5,), (1,))
    assert caught.value.args == (f"'int{TEXT.cannot_be_converted}{TEXT.str_target}'",)


@pytest.mark.parametrize(
    "call, same_as",
    [
        (lambda: tesk.eye(size=4), lambda: tesk.eye(4)),
        (lambda: tesk.max_min(x=np.array([1.0, -2.0])), lambda: tesk.max_min(np.array([1.0, -2.0]))),
    ],
)
def test_keywords_bind_like_positions(call, same_as):
    np.testing.assert_array_equal(call(), same_as())


def test_perturbation_keywords_in_any_order():
    x = np.ones(4)
    tesk.double_and_random_perturbation(perturbation_scaling=0.0, x=x)
    np.testing.assert_array_equal(x, np.full(4, 2.0))


class IndexRaising:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


def _chained_type_error():
    root = ValueError("root cause")
    try:
        raise TypeError("inner") from root
    except TypeError as error:
        return error, root


def test_rewrite_prefixes_and_keeps_cause():
    inner, root = _chained_type_error()
    with pytest.raises(TypeError) as caught:
        tesk.eye(IndexRaising(inner))
    error = caught.value
    assert error.args == ("argument 'size': inner",)
    assert error is not inner
    assert error.__cause__ is root
    assert error.__suppress_context__ is True


def test_rewrite_of_interpreter_message():
    with pytest.raises(TypeError) as caught:
        tesk.eye(2.5)
    assert caught.value.args == ("argument 'size': 'float' object cannot be interpreted as an integer",)
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__ is True


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "exception", [TypeErrorSubclass("subclass"), ValueError("value"), OverflowError("big")]
)
def test_non_type_errors_pass_unchanged(exception):
    with pytest.raises(type(exception)) as caught:
        tesk.eye(IndexRaising(exception))
    assert caught.value is exception


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tesk.eye("3"), TypeError, "argument 'size': 'str' object cannot be interpreted as an integer"),
        (lambda: tesk.eye(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: tesk.eye(2**64), OverflowError, "int too big to convert"),
        (
            lambda: tesk.double_and_random_perturbation(A, "s"),
            TypeError,
            "argument 'perturbation_scaling': must be real number, not str",
        ),
        (lambda: tesk.double_and_random_perturbation(A, 10**400), OverflowError, "int too large to convert to float"),
        (
            lambda: tesk.double_and_random_perturbation([1.0], "s"),
            TypeError,
            f"argument 'x': 'list{TEXT.cannot_be_converted}{TEXT.array_target}'",
        ),
    ],
)
def test_conversion_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert caught.value.args == (message,)
