"""Property-based tests: the argument binder against an independent model of its rules
and messages, for random positional counts and keyword names.

Names include near misses, str subclasses (compared by their text, printed by their
__str__), names UTF-8 cannot encode, and non-str names that only the C API can pass.
Each argument carries a label, so a successful binding shows which value went where.
"""

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import tesk
from contract_texts import TEXT
from property_support import PANIC, examples

INTRODUCTION = TEXT.introduction
PARAMETERS = {
    "introduction": [],
    "max_min": ["x"],
    "double_and_random_perturbation": ["x", "perturbation_scaling"],
    "eye": ["size"],
}
UNPRINTABLE_NAME = f"{TEXT.formatting_failed}: {TEXT.formatting_failure_rendering}"
UNNAMEABLE_TYPE = f"{TEXT.display_failed}: {TEXT.formatting_failure_rendering}"


class StrSub(str):
    """Same text as a plain str: it must bind like one."""


class Renamed(str):
    def __str__(self):
        return "renamed"


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


class Outer:
    class Inner:
        pass


class NamelessType(type):
    def __getattribute__(cls, attribute):
        if attribute == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(attribute)


Nameless = NamelessType("Nameless", (), {})

str_names = st.one_of(
    st.sampled_from(["x", "perturbation_scaling", "size", "n", "SIZE", "X", "", "x ", "é", "图"]),
    st.sampled_from(["x\udc80", "\ud800", "size\udfff"]),  # not encodable as UTF-8
    st.text(max_size=3),
)
exotic_names = st.one_of(
    str_names.map(StrSub),
    st.sampled_from(["x", "size", "q"]).map(Renamed),
    st.sampled_from(["x", "size", "q"]).map(Unprintable),
    st.sampled_from([5, b"x", None, 2.5, (), Outer.Inner(), Nameless()]),
)


def parameter_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind_model(function, positional_count, names):
    """('bound', {parameter: ('position', i) or ('keyword', k)}), ('TypeError', text) or
    ('panic', text)."""
    parameters = PARAMETERS[function]
    display = f"{function}()"
    if positional_count > len(parameters):
        verb = "was" if positional_count == 1 else "were"
        return "TypeError", (
            f"{display} takes {len(parameters)} positional arguments but {positional_count} {verb} given"
        )
    slots = {parameters[i]: ("position", i) for i in range(positional_count)}
    for k, name in enumerate(names):
        if not isinstance(name, str):
            try:
                type_name = type(name).__qualname__
            except Exception:
                return "panic", UNNAMEABLE_TYPE
            return "TypeError", f"'{type_name}{TEXT.cannot_be_converted}{TEXT.str_target}'"
        try:
            text = str.encode(name, "utf-8")
        except UnicodeEncodeError:
            text = None
        if text is not None and text in [p.encode() for p in parameters]:
            parameter = text.decode()
            if parameter in slots:
                return "TypeError", f"{display} got multiple values for argument '{parameter}'"
            slots[parameter] = ("keyword", k)
            continue
        try:
            shown = str(name)
        except Exception:
            return "panic", UNPRINTABLE_NAME
        shown = shown.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        return "TypeError", f"{display} got an unexpected keyword argument '{shown}'"
    missing = [p for p in parameters if p not in slots]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return "TypeError", (
            f"{display} missing {len(missing)} required positional {noun}: {parameter_list(missing)}"
        )
    return "bound", slots


def labelled_values(function, count, first_label):
    """Arguments that say, after the call, which parameter each one was bound to."""
    labels = range(first_label, first_label + count)
    if function == "eye":
        return [label + 1 for label in labels]
    return [np.array(float(2**label)) for label in labels]


def check_bound(function, slots, positional, keyword_values, result):
    def value_of(parameter):
        where, index = slots[parameter]
        return positional[index] if where == "position" else keyword_values[index]

    if function == "introduction":
        assert result == INTRODUCTION
    elif function == "eye":
        size = value_of("size")
        assert result.shape == (size, size)
    elif function == "max_min":
        label = float(value_of("x"))
        assert result.tolist() == [label, label]
    else:
        assert result is None
        x, scaling = value_of("x"), float(value_of("perturbation_scaling"))
        for label, value in enumerate(positional + keyword_values):
            if value is x:
                assert abs(float(x) - 2 * 2.0**label) <= scaling / 2
            else:
                assert float(value) == 2.0**label  # untouched


def run_and_check(function, positional_count, names, call):
    positional = labelled_values(function, positional_count, 0)
    keyword_values = labelled_values(function, len(names), positional_count)
    expected = bind_model(function, positional_count, names)
    event(f"{expected[0]}")
    if expected[0] == "bound":
        result = call(positional, keyword_values)
        check_bound(function, expected[1], positional, keyword_values, result)
    else:
        with pytest.raises(BaseException) as caught:
            call(positional, keyword_values)
        assert type(caught.value) is (PANIC if expected[0] == "panic" else TypeError)
        assert caught.value.args == (expected[1],)


@st.composite
def calls(draw, extra_names):
    """A function, a positional count and keyword names, mostly close to a valid call:
    the parameters not given by position, shuffled, plus a few other names."""
    function = draw(st.sampled_from(sorted(PARAMETERS)))
    parameters = PARAMETERS[function]
    positional_count = draw(st.one_of(st.integers(0, len(parameters)), st.integers(0, 3)))
    names = draw(st.permutations(parameters[positional_count:]))
    names = names[: draw(st.integers(0, len(names)))] if draw(st.booleans()) else names
    extras = draw(st.lists(extra_names, min_size=1, max_size=3)) if draw(st.integers(0, 2)) == 0 else []
    for name in extras:
        names.insert(draw(st.integers(0, len(names))), name)
    return function, positional_count, names


@examples(500)
@given(call=calls(st.one_of(str_names, exotic_names)))
def test_binder_through_the_c_api_matches_the_model(call, testing):
    """Any keyword-name tuple, duplicates and non-str names included."""
    function, positional_count, names = call

    def invoke(positional, keyword_values):
        return testing.call_with_kwnames(
            getattr(tesk, function), tuple(positional), tuple(names), tuple(keyword_values)
        )

    run_and_check(function, positional_count, names, invoke)


@examples(300)
@given(call=calls(str_names))
def test_binder_through_python_calls_matches_the_model(call):
    function, positional_count, names = call
    names = list(dict.fromkeys(names))  # a dict holds each name once

    def invoke(positional, keyword_values):
        return getattr(tesk, function)(*positional, **dict(zip(names, keyword_values)))

    run_and_check(function, positional_count, names, invoke)
