import ast
import inspect
import types
from datetime import date, datetime
from typing import Any

import astor
import pytest
from pydantic import field_validator

import velkor_models.classes.builder.ast_generator.helpers.emit_checker_def as module
from velkor_models.classes.builder.ast_generator.helpers.emit_checker_def import emit_checker_def
from velkor_models.classes.builder.validators.choice_checks import validate_options


class Collector:
    """Records every registration, in order."""

    def __init__(self, fail_at: int | None = None, error: Exception | None = None):
        self.registered: list[Any] = []
        self._fail_at = fail_at
        self._error = error

    def add_python_type_dependency(self, obj):
        self.registered.append(obj)
        if len(self.registered) == self._fail_at:
            raise self._error


class Str(str):
    pass


def expected_node(source: str) -> ast.stmt:
    return ast.parse(source).body[0]


def method_source(call: str) -> str:
    return (
        "@field_validator('color')\n"
        "@classmethod\n"
        "def check_color(cls: type, value: Any) -> Any:\n"
        f"    return {call}\n"
    )


def test_import_order(assert_import_order):
    assert_import_order(
        "velkor_models.classes.builder.ast_generator.helpers.emit_checker_def",
        [
            ("ast", None),
            ("sys", None),
            ("collections.abc", "Callable"),
            ("datetime", "date"),
            ("datetime", "datetime"),
            ("typing", "Any"),
            ("pydantic", "field_validator"),
            (
                "velkor_models.classes.builder.ast_generator.dependency_generator",
                "AstDependencyGenerator",
            ),
        ],
    )


def test_signature_annotations_and_doc():
    assert str(inspect.signature(emit_checker_def)) == (
        "(prop_name: 'str', validator_name: 'str', "
        "ast_dependency_generator: 'AstDependencyGenerator', "
        "validator: 'Callable[[type, Any], Any]', options: 'list[Any] | None' = None)"
        " -> 'ast.FunctionDef | ast.stmt'"
    )
    first_line = emit_checker_def.__doc__.splitlines()[0]
    assert first_line == "Builds an AST node for a validator function."
    assert emit_checker_def.__module__ == module.__name__


@pytest.mark.parametrize(
    ("options", "call"),
    [
        (None, "validate_options(value)"),
        ([], "validate_options(value)"),
        (["a", 1, None, True], "validate_options(value, options=['a', 1, None, True])"),
        (("x", 2.5), "validate_options(value, options=['x', 2.5])"),
        ((o for o in ()), "validate_options(value, options=[])"),
    ],
    ids=["none", "empty", "mixed", "tuple", "empty-generator"],
)
def test_builds_the_validator_method(options, call):
    node = emit_checker_def(
        prop_name="color",
        validator_name="check_color",
        ast_dependency_generator=Collector(),
        validator=validate_options,
        options=options,
    )
    assert ast.dump(node) == ast.dump(expected_node(method_source(call)))
    # Built from keyword fields only: no positions anywhere, so the printer decides the layout.
    assert not any(hasattr(n, "lineno") for n in ast.walk(node))


def test_printed_text():
    node = emit_checker_def("color", "check_color", Collector(), validate_options, ["red", 3])
    assert astor.to_source(node) == (
        "@field_validator('color')\n"
        "@classmethod\n"
        "def check_color(cls: type, value: Any) ->Any:\n"
        "    return validate_options(value, options=['red', 3])\n"
    )


def test_options_become_constants_unconverted():
    marker = object()
    day = date(2024, 2, 29)
    node = emit_checker_def("p", "v", Collector(), validate_options, [day, marker, "t"])
    (keyword,) = node.body[0].value.keywords
    assert keyword.arg == "options"
    assert [type(e) for e in keyword.value.elts] == [ast.Constant] * 3
    values = [e.value for e in keyword.value.elts]
    assert values[0] is day and values[1] is marker and values[2] == "t"


def test_every_node_is_fresh():
    collector = Collector()
    first = emit_checker_def("p", "v", collector, validate_options, ["a"])
    second = emit_checker_def("p", "v", collector, validate_options, ["a"])
    assert ast.dump(first) == ast.dump(second)
    first_nodes = {id(n) for n in ast.walk(first)}
    second_nodes = {id(n) for n in ast.walk(second)}
    assert not first_nodes & second_nodes
    # Each Name carries a Load of its own, and each list field is its own list.
    loads = [n.ctx for n in ast.walk(first) if isinstance(n, (ast.Name, ast.List))]
    assert len({id(ctx) for ctx in loads}) == len(loads) == 8
    lists = [
        first.args.posonlyargs,
        first.args.kwonlyargs,
        first.args.kw_defaults,
        first.args.defaults,
        first.type_params,
        first.decorator_list[0].keywords,
    ]
    assert len({id(x) for x in lists}) == len(lists)


@pytest.mark.parametrize("options", [None, ["a", "b"]])
def test_registers_five_objects_on_every_call(options):
    collector = Collector()
    emit_checker_def("p", "v", collector, validate_options, options)
    emit_checker_def("q", "w", collector, len, options)
    expected = [date, datetime, Any, field_validator]
    assert collector.registered == [*expected, validate_options, *expected, len]


@pytest.mark.parametrize(
    ("version", "has_type_params"),
    [((3, 11, 9), False), ((3, 12), True), ((3, 13, 0, "final", 0), True)],
)
def test_type_params_follow_the_running_version(monkeypatch, version, has_type_params):
    monkeypatch.setattr(module, "sys", types.SimpleNamespace(version_info=version))
    node = emit_checker_def("p", "v", Collector(), validate_options)
    assert hasattr(node, "type_params") is has_type_params
    if has_type_params:
        assert node.type_params == []


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    def other_decorator(field):  # stands in for field_validator
        return field

    class Anything:
        pass

    monkeypatch.setattr(module, "field_validator", other_decorator)
    monkeypatch.setattr(module, "Any", Anything)
    monkeypatch.setattr(module, "date", "the date")
    collector = Collector()
    node = emit_checker_def("p", "v", collector, validate_options)
    assert node.decorator_list[0].func.id == "other_decorator"
    assert node.returns.id == node.args.args[1].annotation.id == "Anything"
    assert collector.registered[:4] == ["the date", datetime, Anything, other_decorator]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((Str("p"), "v"), "Argument 'prop_name' has incorrect type (expected str, got Str)"),
        (("p", None), "Argument 'validator_name' has incorrect type (expected str, got NoneType)"),
        ((None, 1), "Argument 'prop_name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_names_must_be_exactly_str(args, message):
    collector = Collector()
    with pytest.raises(TypeError) as info:
        emit_checker_def(*args, collector, validate_options, ["a"])
    assert str(info.value) == message
    assert collector.registered == []


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: emit_checker_def("p"),
            "emit_checker_def() takes at least 4 positional arguments (1 given)",
        ),
        (
            lambda: emit_checker_def("p", "v", None, len, None, 6),
            "emit_checker_def() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda: emit_checker_def("p", "v", None, len, opts=[]),
            "emit_checker_def() got an unexpected keyword argument 'opts'",
        ),
    ],
)
def test_call_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_options_that_cannot_be_iterated_fail_before_any_registration():
    collector = Collector()
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        emit_checker_def("p", "v", collector, validate_options, 5)
    assert collector.registered == []


def test_validator_without_name_fails_after_the_registrations():
    collector = Collector()
    nameless = types.SimpleNamespace()
    with pytest.raises(AttributeError, match="__name__"):
        emit_checker_def("p", "v", collector, nameless)
    assert collector.registered == [date, datetime, Any, field_validator, nameless]


def test_collector_errors_reach_the_caller_unchanged():
    error = LookupError("refused")
    collector = Collector(fail_at=3, error=error)
    with pytest.raises(LookupError) as info:
        emit_checker_def("p", "v", collector, validate_options)
    assert info.value is error
    assert collector.registered == [date, datetime, Any]


@pytest.mark.leakcheck
def test_no_leak(no_leak):
    collector = Collector()

    def build():
        collector.registered.clear()
        emit_checker_def("color", "check_color", collector, validate_options, ["a", 1, None])

    def refused():
        try:
            emit_checker_def("color", "check_color", collector, types.SimpleNamespace(), ["a"])
        except AttributeError:
            pass
        collector.registered.clear()

    no_leak(build, calls=500)
    no_leak(refused, calls=500)
