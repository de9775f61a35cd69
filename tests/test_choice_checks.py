import inspect

import pytest

from velkor_models.classes.builder.validators.choice_checks import validate_options

MODULE = "velkor_models.classes.builder.validators.choice_checks"


def test_import_order(assert_import_order):
    assert_import_order(MODULE, [("typing", "Any")])


def test_signature_annotations_and_docstring():
    assert validate_options.__annotations__ == {
        "value": "Any",
        "options": "list[Any]",
        "return": "Any",
    }
    assert str(inspect.signature(validate_options)) == (
        "(value: 'Any', options: 'list[Any]') -> 'Any'"
    )
    doc = validate_options.__doc__
    assert doc.splitlines()[0].endswith(".")
    assert all(section in doc for section in ["Args:", "Returns:", "ValueError"])


class Items(list):
    pass


@pytest.mark.parametrize(
    "value, options",
    [
        (None, []),
        ("a", ["a", "b"]),
        (["a", "b"], ["b", "a", "c"]),
        ([], []),
        (1, [1.0]),
        ("a", ["a", "a"]),
        (Items(["b"]), ["a", "b"]),
        ({"k": 1}, [{"k": 1}]),
        (("a",), [("a",)]),
        ([["a"]], [["a"]]),
    ],
)
def test_passing_values_are_returned_as_they_are(value, options):
    before = list(options)
    assert validate_options(value, options=options) is value
    assert options == before


@pytest.mark.parametrize(
    "value, options, message",
    [
        ("a", [], "Value=a doesn't match available options: []."),
        ("x", ["a", "b"], "Value=x doesn't match available options: ['a', 'b']."),
        (["a", "z"], ["a", "b"], "Value=['a', 'z'] doesn't match available options: ['a', 'b']."),
        (("a",), ["a"], "Value=('a',) doesn't match available options: ['a']."),
        (["a"], [["a"]], "Value=['a'] doesn't match available options: [['a']]."),
        ("ab", ["abc"], "Value=ab doesn't match available options: ['abc']."),
        ("A", ["a"], "Value=A doesn't match available options: ['a']."),
        ({"a"}, ["a"], "Value={'a'} doesn't match available options: ['a']."),
        ("k", [{"k": 1}], "Value=k doesn't match available options: [{'k': 1}]."),
        (Items(["q"]), ["a"], "Value=['q'] doesn't match available options: ['a']."),
    ],
)
def test_mismatches_raise_value_error_with_the_whole_value(value, options, message):
    with pytest.raises(ValueError) as info:
        validate_options(value, options)
    assert info.value.args == (message,)


def test_message_formats_like_an_f_string():
    class Shown:
        def __format__(self, format_spec):
            return f"<formatted {format_spec!r}>"

        def __str__(self):
            raise AssertionError("str() is not the f-string form")

    with pytest.raises(ValueError) as info:
        validate_options(Shown(), ["a"])
    assert str(info.value) == "Value=<formatted ''> doesn't match available options: ['a']."


class Trap:
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = object.__hash__


def test_multi_mode_stops_at_the_first_missing_element():
    with pytest.raises(ValueError, match="^Value="):
        validate_options(["z", Trap()], ["a"])
    with pytest.raises(LookupError, match="compared"):
        validate_options(["a", Trap()], ["a"])


def test_comparison_and_formatting_errors_pass_through():
    with pytest.raises(LookupError, match="compared"):
        validate_options(Trap(), ["a"])

    class Unformattable:
        def __format__(self, format_spec):
            raise KeyError("format")

    with pytest.raises(KeyError, match="format"):
        validate_options(Unformattable(), [])


def test_identity_matches_before_equality():
    trap = Trap()
    assert validate_options(trap, [trap]) is trap
    assert validate_options([trap, trap], [trap]) == [trap, trap]


def test_list_values_are_walked_through_their_iterator():
    class Lying(list):
        def __iter__(self):
            return iter(["a"])

    value = Lying(["not an option"])
    assert validate_options(value, ["a"]) is value


BAD_OPTIONS = "Argument 'options' has incorrect type (expected list, got {})"
NAME = "validate_options()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", None), {}, BAD_OPTIONS.format("NoneType")),
        ((None, None), {}, BAD_OPTIONS.format("NoneType")),
        (("a", ("a",)), {}, BAD_OPTIONS.format("tuple")),
        (("a", Items(["a"])), {}, BAD_OPTIONS.format("Items")),
        (("a",), {}, f"{NAME} takes exactly 2 positional arguments (1 given)"),
        (("a", [], 3), {}, f"{NAME} takes exactly 2 positional arguments (3 given)"),
        (("a", []), {"options": []}, f"{NAME} got multiple values for keyword argument 'options'"),
        (("a", []), {"strict": True}, f"{NAME} got an unexpected keyword argument 'strict'"),
    ],
)
def test_entry_and_call_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        validate_options(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_call_form():
    assert validate_options(value="a", options=["a"]) == "a"


@pytest.mark.leakcheck
def test_no_leak(no_leak):
    options = ["a", "b", 3]

    def refuse():
        with pytest.raises(ValueError):
            validate_options(["a", "z"], options=options)

    no_leak(lambda: validate_options(["a", 3], options=options))
    no_leak(refuse)
