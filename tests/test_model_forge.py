import ast
import functools
import importlib
import inspect
import sys
import types
import typing
from datetime import date, datetime
from typing import ClassVar

import astor
import pytest
from astor.source_repr import split_lines
from astor.string_repr import pretty_string
from pydantic import Field, ValidationError

import velkor_models.classes.builder.ast_generator.model_forge as module
from velkor_models.classes.builder.ast_generator.model_forge import AstModelForge
from velkor_models.classes.builder.validators.choice_checks import validate_options
from velkor_models.classes.model import Model, Reference, TypeModel
from velkor_models.classes.records.dependencies import DependencyModelNames
from velkor_utils.models.enums import SchemaTypes
from velkor_utils.models.records.schema import PropertyData

RECORDS = "velkor_models.classes.builder.ast_generator.records"


class Collector:
    """Stands in for the import collector: records every call, in order, and can fail one."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.calls = []
        self.fail = {}
        self.ast_module = ast.Module(body=[], type_ignores=[])

    def _record(self, method, arg):
        self.calls.append((method, arg))
        if method in self.fail:
            raise self.fail[method]

    def add_ignore_type_name(self, name):
        self._record("add_ignore_type_name", name)

    def add_python_type_dependency(self, obj):
        self._record("add_python_type_dependency", obj)

    def add_model_type_dependency(self, name):
        self._record("add_model_type_dependency", name)

    def add_ast_import_node(self, node):
        self._record("add_ast_import_node", node)


class Str(str):
    pass


class Boom:
    """Any attribute of it is itself, and calling it raises its error."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        raise self.error


@pytest.fixture
def forge():
    forge = AstModelForge("app.models", Model, DependencyModelNames())
    forge.register_class("Customer", "BaseObject")
    return forge


@pytest.fixture
def recorded(monkeypatch):
    """A forge whose collector is a `Collector`."""
    monkeypatch.setattr(module, "AstDependencyGenerator", Collector)
    return AstModelForge("app.models", Model, DependencyModelNames())


def body_sources(forge):
    def unwrapped(pieces):
        return "".join(split_lines(pieces, maxline=1000))

    return [
        astor.to_source(node, pretty_source=unwrapped).strip()
        for node in forge._class_definition.body
    ]


def dumps(nodes):
    return [ast.dump(node) for node in nodes]


def test_import_order(assert_import_order):
    assert_import_order(
        "velkor_models.classes.builder.ast_generator.model_forge",
        [
            ("ast", None),
            ("sys", None),
            ("datetime", "date"),
            ("datetime", "datetime"),
            ("functools", "partial"),
            ("typing", "ClassVar"),
            ("astor", None),
            ("black", None),
            ("isort", None),
            ("velkor_utils.models.records.core", "TypeData"),
            ("velkor_utils.models.records.schema", "PropertyData"),
            ("velkor_utils.models.enums", "SchemaTypes"),
            ("astor.source_repr", "split_lines"),
            ("astor.string_repr", "pretty_string"),
            ("pydantic", "Field"),
            (RECORDS, "CustomCodeAst"),
            (RECORDS, "NestedPropertyTypeAst"),
            (RECORDS, "PropertyAst"),
            (RECORDS, "PropertyValueAst"),
            (
                "velkor_models.classes.builder.ast_generator.dependency_generator",
                "AstDependencyGenerator",
            ),
            (
                "velkor_models.classes.builder.ast_generator.helpers.build_assign_node",
                "build_assign_node",
            ),
            (
                "velkor_models.classes.builder.ast_generator.helpers.emit_checker_def",
                "emit_checker_def",
            ),
            ("velkor_models.classes.builder.validator_resolver", "ValidatorResolver"),
            ("velkor_models.classes.constants", "BASE_OBJECT_TYPE"),
            ("velkor_models.classes.records.dependencies", "DependencyModelNames"),
            ("velkor_models.classes.model", "Model"),
            ("velkor_models.classes.model", "TypeModel"),
        ],
    )


def test_class_surface():
    assert AstModelForge.__bases__ == (object,)
    assert type(AstModelForge) is type
    assert AstModelForge.__doc__ is None
    assert AstModelForge.__module__ == module.__name__
    members = [
        "register_class",
        "add_class_data",
        "add_class_property",
        "add_properties_validators",
        "add_class_custom_code",
        "model_source",
        "dependencies_source",
        "_set_union_mode",
    ]
    own = {"__module__", "__dict__", "__weakref__", "__doc__"}
    assert [name for name in vars(AstModelForge) if name not in own] == ["__init__", *members]
    signatures = {
        name: str(inspect.signature(getattr(AstModelForge, name)))
        for name in ["__init__", *members]
        if name not in ("model_source", "dependencies_source")
    }
    assert signatures == {
        "__init__": "(self, models_module_name: 'str', base_class: 'type[Model | TypeModel]', "
        "model_names: 'DependencyModelNames') -> 'None'",
        "register_class": "(self, class_name: 'str', extend_type: 'str') -> 'None'",
        "add_class_data": "(self, schema_type: 'SchemaTypes', class_fingerprint: 'str') -> 'None'",
        "add_class_property": "(self, property_name: 'str', property_config: 'PropertyData', *, "
        "is_required: 'bool') -> 'None'",
        "add_properties_validators": "(self, property_name: 'str', "
        "property_config: 'PropertyData') -> 'None'",
        "add_class_custom_code": "(self, custom_code: 'str') -> 'None'",
        "_set_union_mode": "(self, node: 'ast.AnnAssign | ast.stmt') -> 'None'",
    }
    for name in ("model_source", "dependencies_source"):
        prop = vars(AstModelForge)[name]
        assert type(prop) is property and prop.fset is None
        assert prop.fget.__annotations__ == {"return": "str"}
    first_lines = {
        name: (getattr(AstModelForge, name).__doc__ or "").split("\n")[0]
        for name in ["__init__", *members]
    }
    assert first_lines == {
        "__init__": "",
        "register_class": "Registers a class with the given name and extend type.",
        "add_class_data": "Adds class data to the AST class definition.",
        "add_class_property": "Adds a property to the AST class definition.",
        "add_properties_validators": (
            "Adds validators for the given property to the AST class definition."
        ),
        "add_class_custom_code": "Adds custom code to the AST class definition.",
        "model_source": "Generates the source code for the model.",
        "dependencies_source": "Generates the source code for the dependencies.",
        "_set_union_mode": "",
    }


# ---- construction ----


def test_construction(monkeypatch):
    monkeypatch.setattr(module, "AstDependencyGenerator", Collector)
    names = DependencyModelNames()
    forge = AstModelForge(models_module_name="app.models", base_class=TypeModel, model_names=names)
    assert list(vars(forge)) == ["_base_class", "_class_definition", "_ast_dependency_generator"]
    assert forge._base_class is TypeModel
    node = forge._class_definition
    assert ast.dump(node) == (
        "ClassDef(name='', bases=[], keywords=[], body=[], decorator_list=[], type_params=[])"
    )
    lists = [node.bases, node.keywords, node.body, node.decorator_list, node.type_params]
    assert len({id(x) for x in lists}) == 5
    assert not hasattr(node, "lineno")
    collector = forge._ast_dependency_generator
    assert collector.kwargs == {"models_module_name": "app.models", "model_names": names}
    assert list(collector.kwargs)[0] == "models_module_name"
    assert collector.calls == []


@pytest.mark.parametrize(("version", "has_type_params"), [((3, 11, 4), False), ((3, 12), True)])
def test_class_node_type_params_follow_the_running_version(monkeypatch, version, has_type_params):
    monkeypatch.setattr(module, "sys", types.SimpleNamespace(version_info=version))
    forge = AstModelForge("app.models", Model, DependencyModelNames())
    assert hasattr(forge._class_definition, "type_params") is has_type_params


def test_construction_errors():
    with pytest.raises(TypeError) as info:
        AstModelForge(Str("app"), Model, DependencyModelNames())
    assert str(info.value) == (
        "Argument 'models_module_name' has incorrect type (expected str, got Str)"
    )
    with pytest.raises(TypeError) as info:
        AstModelForge("app", Model)
    assert str(info.value) == "__init__() takes exactly 4 positional arguments (3 given)"
    # The collector refuses a module name that is not dotted; its error passes unchanged.
    with pytest.raises(ValueError, match="is not a dotted module name"):
        AstModelForge("not a module", Model, DependencyModelNames())


# ---- register_class ----


@pytest.mark.parametrize(
    ("extend_type", "base", "registration"),
    [
        ("BaseObject", "Model", ("add_python_type_dependency", Model)),
        ("Person", "Person", ("add_model_type_dependency", "Person")),
        ("", "", ("add_model_type_dependency", "")),
    ],
)
def test_register_class(recorded, extend_type, base, registration):
    recorded.register_class("Customer", extend_type)
    assert recorded._class_definition.name == "Customer"
    assert dumps(recorded._class_definition.bases) == [f"Name(id='{base}', ctx=Load())"]
    assert recorded._ast_dependency_generator.calls == [
        ("add_ignore_type_name", "Customer"),
        registration,
    ]


def test_register_class_twice_keeps_both_bases(recorded):
    recorded.register_class("First", "BaseObject")
    recorded.register_class(class_name="Second", extend_type="Person")
    assert recorded._class_definition.name == "Second"
    assert [b.id for b in recorded._class_definition.bases] == ["Model", "Person"]
    assert recorded._ast_dependency_generator.calls == [
        ("add_ignore_type_name", "First"),
        ("add_python_type_dependency", Model),
        ("add_ignore_type_name", "Second"),
        ("add_model_type_dependency", "Person"),
    ]


def test_register_class_reads_the_base_object_type_when_called(recorded, monkeypatch):
    monkeypatch.setattr(module, "BASE_OBJECT_TYPE", "Root")
    recorded.register_class("A", "BaseObject")
    recorded.register_class("B", "Root")
    assert [b.id for b in recorded._class_definition.bases] == ["BaseObject", "Model"]


@pytest.mark.parametrize("failing", ["add_python_type_dependency", "add_model_type_dependency"])
def test_register_class_failure_keeps_what_was_done(recorded, failing):
    error = RuntimeError("refused")
    recorded._ast_dependency_generator.fail[failing] = error
    extend_type = "BaseObject" if failing == "add_python_type_dependency" else "Person"
    with pytest.raises(RuntimeError) as info:
        recorded.register_class("Customer", extend_type)
    assert info.value is error
    assert recorded._ast_dependency_generator.calls[0] == ("add_ignore_type_name", "Customer")
    assert recorded._class_definition.name == ""
    assert recorded._class_definition.bases == []


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((None, None), {}, "Argument 'class_name' has incorrect type (expected str, got NoneType)"),
        (
            (),
            {"extend_type": 1, "class_name": 2},
            "Argument 'class_name' has incorrect type " "(expected str, got int)",
        ),
        (("A", Str("x")), {}, "Argument 'extend_type' has incorrect type (expected str, got Str)"),
        (("A", b"x"), {}, "Argument 'extend_type' has incorrect type (expected str, got bytes)"),
    ],
)
def test_register_class_entry_types(recorded, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        recorded.register_class(*args, **kwargs)
    assert str(info.value) == message
    assert recorded._ast_dependency_generator.calls == []


# ---- add_class_data ----


def test_add_class_data(recorded):
    recorded.add_class_data(SchemaTypes.TYPE, "fp-1")
    expected = ast.parse(
        "schema_type: ClassVar[SchemaTypes] = SchemaTypes.TYPE\n"
        "class_fingerprint: ClassVar[str] = 'fp-1'\n"
    ).body
    assert dumps(recorded._class_definition.body) == dumps(expected)
    assert recorded._ast_dependency_generator.calls == [
        ("add_python_type_dependency", SchemaTypes),
        ("add_python_type_dependency", ClassVar),
        ("add_python_type_dependency", date),
        ("add_python_type_dependency", datetime),
    ]
    recorded.add_class_data(types.SimpleNamespace(name="X"), "fp-2")
    assert body_sources(recorded)[2:] == [
        "schema_type: ClassVar[SchemaTypes] = SchemaTypes.X",
        "class_fingerprint: ClassVar[str] = 'fp-2'",
    ]
    assert len(recorded._ast_dependency_generator.calls) == 8


def test_add_class_data_reads_module_names_when_called(recorded, monkeypatch):
    monkeypatch.setattr(module, "ClassVar", typing.Final)
    recorded.add_class_data(SchemaTypes.OBJECT, "fp")
    assert body_sources(recorded) == [
        "schema_type: Final[SchemaTypes] = SchemaTypes.OBJECT",
        "class_fingerprint: Final[str] = 'fp'",
    ]
    assert ("add_python_type_dependency", typing.Final) in recorded._ast_dependency_generator.calls


def test_add_class_data_failures_are_not_rolled_back(recorded, monkeypatch):
    with pytest.raises(TypeError) as info:
        recorded.add_class_data(SchemaTypes.OBJECT, None)
    assert str(info.value) == (
        "Argument 'class_fingerprint' has incorrect type (expected str, got NoneType)"
    )
    assert recorded._ast_dependency_generator.calls == []

    with pytest.raises(AttributeError, match="name"):
        recorded.add_class_data(object(), "fp")
    assert len(recorded._ast_dependency_generator.calls) == 4
    assert recorded._class_definition.body == []

    real = module.PropertyValueAst

    def value_record(**kwargs):
        if "constant" in kwargs:
            raise LookupError("no constant")
        return real(**kwargs)

    monkeypatch.setattr(module, "PropertyValueAst", value_record)
    with pytest.raises(LookupError):
        recorded.add_class_data(SchemaTypes.OBJECT, "fp")
    assert body_sources(recorded) == ["schema_type: ClassVar[SchemaTypes] = SchemaTypes.OBJECT"]


# ---- add_class_property and _set_union_mode ----


def test_add_class_property_hands_the_config_to_build_assign_node(recorded, monkeypatch):
    received = []
    marker = ast.Pass()

    def build_assign_node(**kwargs):
        received.append(kwargs)
        # The node is appended only after _set_union_mode has seen it.
        assert recorded._class_definition.body == []
        return marker

    monkeypatch.setattr(module, "build_assign_node", build_assign_node)
    config = PropertyData(type="array", items=["string", "integer"], default=[1])
    recorded.add_class_property("sizes", config, is_required="not tested")
    (kwargs,) = received
    assert list(kwargs) == [
        "target_name",
        "type_data",
        "is_required",
        "value",
        "ast_dependency_generator",
    ]
    assert kwargs["target_name"] == "sizes"
    assert kwargs["type_data"].model_dump() == {"type": "array", "items": ["string", "integer"]}
    assert kwargs["is_required"] == "not tested"
    assert kwargs["value"] is config.default
    assert kwargs["ast_dependency_generator"] is recorded._ast_dependency_generator
    assert recorded._class_definition.body == [marker]


def test_add_class_property_calls_set_union_mode_through_the_instance(monkeypatch):
    seen = []

    class Forge(AstModelForge):
        def _set_union_mode(self, node):
            seen.append((node, list(self._class_definition.body)))

    forge = Forge("app.models", Model, DependencyModelNames())
    forge.add_class_property("name", PropertyData(type="string"), is_required=True)
    ((node, body_then),) = seen
    assert body_then == [] and forge._class_definition.body == [node]


def test_add_class_property_builds_the_real_assignment(forge):
    forge.add_class_property("home", PropertyData(type=["Address", "Reference"]), is_required=False)
    forge.add_class_property("name", PropertyData(type="string", default="x"), is_required=True)
    assert body_sources(forge) == [
        "home: Optional[Union[Address, Reference]] = Field(None, union_mode='left_to_right')",
        "name: str = 'x'",
    ]
    collected = astor.to_source(forge._ast_dependency_generator.ast_module)
    assert "from pydantic import Field" in collected
    assert "from app.models.address import Address" in collected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda f: f.add_class_property("p", PropertyData(type="string")),
            "add_class_property() needs keyword-only argument is_required",
        ),
        (
            lambda f: f.add_class_property(None, PropertyData(type="string")),
            "add_class_property() needs keyword-only argument is_required",
        ),
        (
            lambda f: f.add_class_property("p", PropertyData(type="string"), True),
            "add_class_property() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda f: f.add_class_property(None, PropertyData(type="string"), is_required=True),
            "Argument 'property_name' has incorrect type (expected str, got NoneType)",
        ),
    ],
)
def test_add_class_property_call_errors(forge, call, message):
    with pytest.raises(TypeError) as info:
        call(forge)
    assert str(info.value) == message
    assert forge._class_definition.body == []


def test_add_class_property_failure_leaves_the_body_unchanged(forge):
    with pytest.raises(ValueError, match="not a valid identifier"):
        forge.add_class_property("not valid", PropertyData(type="string"), is_required=True)
    assert forge._class_definition.body == []


REWRITE = "Field({}union_mode='left_to_right')"


@pytest.mark.parametrize(
    ("annotation", "value", "expected"),
    [
        ("Optional[Union[A, Reference]]", None, REWRITE.format("")),
        ("Optional[Union[A, Reference]]", "None", REWRITE.format("None, ")),
        ("Union[Reference, A]", "'x'", REWRITE.format("'x', ")),
        ("Union[A, Reference, B]", "make(1)", REWRITE.format("make(1), ")),
        ("Union[A, Reference]", "0", REWRITE.format("0, ")),
        ("Union[A, B]", "1", None),
        ("Optional[Reference]", None, None),
        ("List[Union[A, Reference]]", None, None),
        ("Union[Reference]", None, None),
        ("Union[A, module.Reference]", None, None),
        ("Union[A, Reference[int]]", None, None),
        ("typing.Union[A, Reference]", None, None),
        ("Optional[Optional[Union[A, Reference]]]", None, None),
        ("union[A, Reference]", None, None),
        ("Union[A, reference]", None, None),
        ("A | Reference", None, None),
        ("Reference", None, None),
    ],
)
def test_set_union_mode(recorded, annotation, value, expected):
    source = f"x: {annotation}" + ("" if value is None else f" = {value}")
    node = ast.parse(source).body[0]
    old_value = node.value
    annotation_before = ast.dump(node.annotation)
    assert recorded._set_union_mode(node) is None
    assert ast.dump(node.annotation) == annotation_before
    calls = recorded._ast_dependency_generator.calls
    if expected is None:
        assert node.value is old_value
        assert calls == []
    else:
        assert ast.dump(node.value) == ast.dump(ast.parse(expected, mode="eval").body)
        assert node.value.args == ([] if old_value is None else [old_value])
        assert calls == [("add_python_type_dependency", Field)]


@pytest.mark.parametrize(
    "node",
    [
        ast.Pass(),
        ast.Assign(targets=[ast.Name(id="x", ctx=ast.Store())], value=ast.Constant(value=1)),
        ast.AnnAssign(target=ast.Name(id="x", ctx=ast.Store()), annotation=None, simple=1),
        ast.AnnAssign(
            target=ast.Name(id="x", ctx=ast.Store()),
            annotation=ast.Name(id="Union", ctx=ast.Load()),
            simple=1,
        ),
    ],
    ids=["pass", "assign", "no-annotation", "bare-name"],
)
def test_set_union_mode_leaves_other_nodes_alone(recorded, node):
    before = ast.dump(node)
    recorded._set_union_mode(node)
    assert ast.dump(node) == before
    assert recorded._ast_dependency_generator.calls == []


def test_set_union_mode_registers_field_before_changing_the_node(recorded):
    error = RuntimeError("refused")
    recorded._ast_dependency_generator.fail["add_python_type_dependency"] = error
    node = ast.parse("x: Union[A, Reference] = 1").body[0]
    value = node.value
    with pytest.raises(RuntimeError) as info:
        recorded._set_union_mode(node)
    assert info.value is error
    assert node.value is value


def test_set_union_mode_builds_fresh_nodes(recorded):
    node = ast.parse("x: Union[A, Reference]").body[0]
    recorded._set_union_mode(node)
    call = node.value
    assert not hasattr(call, "lineno")
    assert call.args == [] and call.func.ctx is not node.annotation.value.ctx


# ---- add_properties_validators ----


@pytest.fixture
def resolver(monkeypatch):
    """Sets a resolver on the module that returns `resolver.entries` and records its calls."""

    class Resolver:
        entries = []
        calls = []

        @classmethod
        def process_property(cls, *args, **kwargs):
            cls.calls.append((args, kwargs))
            return cls.entries

    monkeypatch.setattr(module, "ValidatorResolver", Resolver)
    return Resolver


@pytest.fixture
def emitted(monkeypatch):
    """Sets an emit_checker_def on the module that records its keyword arguments."""
    calls = []

    def emit_checker_def(**kwargs):
        calls.append(kwargs)
        return ast.Expr(value=ast.Constant(value=kwargs["validator_name"]))

    monkeypatch.setattr(module, "emit_checker_def", emit_checker_def)
    return calls


def validator_names(forge):
    return [node.value.value for node in forge._class_definition.body]


def test_add_properties_validators_emits_sorted_entries(recorded, resolver, emitted):
    config = PropertyData(type="string")
    resolver.entries = iter([("c", len, None), ("a", abs, [1]), ("b", min, ("x",))])
    recorded.add_properties_validators("color", config)
    assert resolver.calls == [(("color", config), {})]
    assert validator_names(recorded) == ["a", "b", "c"]
    assert emitted[0] == {
        "prop_name": "color",
        "validator_name": "a",
        "validator": abs,
        "options": [1],
        "ast_dependency_generator": recorded._ast_dependency_generator,
    }
    assert list(emitted[0]) == [
        "prop_name",
        "validator_name",
        "validator",
        "options",
        "ast_dependency_generator",
    ]
    assert [(e["validator"], e["options"]) for e in emitted[1:]] == [(min, ("x",)), (len, None)]


def test_entries_with_equal_names_are_ordered_by_validator(recorded, resolver, emitted):
    resolver.entries = [("v", "second", None), ("v", "first", None)]
    recorded.add_properties_validators("p", None)
    assert [e["validator"] for e in emitted] == ["first", "second"]

    resolver.entries = [("v", len, None), ("v", abs, None)]
    with pytest.raises(TypeError, match="'<' not supported"):
        recorded.add_properties_validators("p", None)
    assert len(emitted) == 2


def test_no_entries_add_nothing(recorded, resolver, emitted):
    resolver.entries = ()
    recorded.add_properties_validators("p", PropertyData(type="string"))
    assert recorded._class_definition.body == [] and emitted == []


class Pair(tuple):
    pass


@pytest.mark.parametrize(
    ("entry", "error", "message"),
    [
        ((1, 2), ValueError, "need more than 2 values to unpack"),
        ([1, 2], ValueError, "need more than 2 values to unpack"),
        ((1,), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
        ([1, 2, 3, 4], ValueError, "too many values to unpack (expected 3)"),
        ("abcd", ValueError, "too many values to unpack (expected 3)"),
        ("ab", ValueError, "need more than 2 values to unpack"),
        ({1: 1, 2: 2}, ValueError, "need more than 2 values to unpack"),
        (Pair((1, 2)), ValueError, "need more than 2 values to unpack"),
        (5, TypeError, "'int' object is not iterable"),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_entry_unpacking_errors(recorded, resolver, emitted, entry, error, message):
    resolver.entries = [entry]
    with pytest.raises(error) as info:
        recorded.add_properties_validators("p", None)
    assert type(info.value) is error and str(info.value) == message
    assert emitted == []


def test_entry_unpacking_consumes_iterators(recorded, resolver, emitted):
    too_long = iter(["v", len, None, "extra", "left"])
    resolver.entries = [too_long]
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        recorded.add_properties_validators("p", None)
    assert list(too_long) == ["left"]

    resolver.entries = [Pair(("v", len, None))]
    recorded.add_properties_validators("p", None)
    resolver.entries = [iter(("w", abs, [2]))]
    recorded.add_properties_validators("p", None)
    assert [(e["validator_name"], e["validator"]) for e in emitted] == [("v", len), ("w", abs)]


def test_validators_appended_before_a_failure_stay(recorded, resolver, emitted):
    resolver.entries = [("a", len, None), ("b", len, None, "extra")]
    with pytest.raises(ValueError, match="too many values"):
        recorded.add_properties_validators("p", None)
    assert validator_names(recorded) == ["a"]


def test_add_properties_validators_with_the_real_resolver(forge):
    forge.add_properties_validators("color", PropertyData(type="string", options=["r", "g"]))
    forge.add_properties_validators("name", PropertyData(type="string"))
    assert body_sources(forge) == [
        "@field_validator('color')\n@classmethod\n"
        "def validate_color_options(cls: type, value: Any) ->Any:\n"
        "    return validate_options(value, options=['r', 'g'])"
    ]
    with pytest.raises(TypeError) as info:
        forge.add_properties_validators(Str("p"), None)
    assert str(info.value) == "Argument 'property_name' has incorrect type (expected str, got Str)"


# ---- add_class_custom_code ----


def test_add_class_custom_code(recorded):
    recorded.add_class_custom_code(
        "import os\n"
        "x = 1\n"
        "def zeta(self):\n    import json\n    return json\n"
        "from json import dumps as d\n"
        "print(x)\n"
        "def alpha(self):\n    return 1\n"
        "class Beta:\n    pass\n"
        "def alpha(self):\n    return 2\n"
    )
    assert body_sources(recorded) == [
        "x = 1",
        "print(x)",
        "class Beta:\n    pass",
        "def alpha(self):\n    return 1",
        "def alpha(self):\n    return 2",
        "def zeta(self):\n    import json\n    return json",
    ]
    calls = recorded._ast_dependency_generator.calls
    assert [(method, astor.to_source(node).strip()) for method, node in calls] == [
        ("add_ast_import_node", "import os"),
        ("add_ast_import_node", "from json import dumps as d"),
    ]


def test_custom_code_pieces_are_sorted_each_on_its_own(recorded):
    recorded.add_class_custom_code("import os\nfrom a import b\n")
    assert recorded._class_definition.body == []
    assert len(recorded._ast_dependency_generator.calls) == 2
    recorded.add_class_custom_code("def b(self): pass\ny = 2\n")
    recorded.add_class_custom_code("def a(self): pass\n")
    assert [getattr(n, "name", "") for n in recorded._class_definition.body] == ["", "b", "a"]


def test_custom_code_failures(recorded, monkeypatch):
    with pytest.raises(SyntaxError):
        recorded.add_class_custom_code("def broken(:\n")
    with pytest.raises(TypeError) as info:
        recorded.add_class_custom_code(None)
    assert str(info.value) == (
        "Argument 'custom_code' has incorrect type (expected str, got NoneType)"
    )

    class Code:
        def __init__(self, custom_code):
            self.ast_imports = [ast.Import(names=[ast.alias(name="os")])]
            named = types.SimpleNamespace(name=1)
            self.ast = [named, types.SimpleNamespace(name="a")]

    monkeypatch.setattr(module, "CustomCodeAst", Code)
    with pytest.raises(TypeError, match="'<' not supported"):
        recorded.add_class_custom_code("anything")
    # The imports stay registered; the body changes only once the sort succeeded.
    assert [method for method, _ in recorded._ast_dependency_generator.calls] == [
        "add_ast_import_node"
    ]
    assert recorded._class_definition.body == []


def test_custom_code_sort_survives_inconsistent_keys(recorded, monkeypatch):
    """Keys whose `<` always answers True order nothing sensibly, but must not break the sort."""

    class Always:
        def __lt__(self, other):
            return True

    class Code:
        def __init__(self, custom_code):
            self.ast_imports = []
            self.ast = [types.SimpleNamespace(name=Always()) for _ in range(64)]

    monkeypatch.setattr(module, "CustomCodeAst", Code)
    recorded.add_class_custom_code("anything")
    assert len(recorded._class_definition.body) == 64


# ---- renderings ----


def build_example(forge):
    forge.add_class_data(SchemaTypes.OBJECT, "abc123")
    forge.add_class_property("name", PropertyData(type="string"), is_required=True)
    forge.add_class_property("home", PropertyData(type=["Address", "Reference"]), is_required=False)
    color = PropertyData(type="string", options=["red", "blue"])
    forge.add_class_property("color", color, is_required=False)
    forge.add_properties_validators("color", color)
    forge.add_class_custom_code(
        "import os\nfrom json import dumps\nx = 1\n"
        "def zeta(self):\n    return 2\ndef alpha(self):\n    return os.sep\n"
    )


EXAMPLE_MODEL = """\
class Customer(Model):
    schema_type: ClassVar[SchemaTypes] = SchemaTypes.OBJECT
    class_fingerprint: ClassVar[str] = 'abc123'
    name: str
    home: Optional[Union[Address, Reference]] = Field(None, union_mode='left_to_right')
    color: Optional[str] = None

    @field_validator('color')
    @classmethod
    def validate_color_options(cls: type, value: Any) -> Any:
        return validate_options(value, options=['red', 'blue'])

    x = 1

    def alpha(self):
        return os.sep

    def zeta(self):
        return 2
"""

EXAMPLE_IMPORTS = """\
import os
from datetime import date
from datetime import datetime
from json import dumps
from typing import Any
from typing import ClassVar
from typing import Optional
from typing import Union

from app.models.address import Address
from pydantic import Field
from pydantic import field_validator
from velkor_models.classes.builder.validators.choice_checks import validate_options
from velkor_models.classes.model import Model
from velkor_models.classes.model import Reference
from velkor_utils.models.enums import SchemaTypes
"""


def test_rendered_texts(forge):
    build_example(forge)
    before = ast.dump(forge._class_definition)
    assert forge.model_source == EXAMPLE_MODEL
    assert forge.model_source == EXAMPLE_MODEL
    assert ast.dump(forge._class_definition) == before
    assert forge.dependencies_source == EXAMPLE_IMPORTS
    # Nothing is cached: a later statement shows in the next reading.
    forge.add_class_custom_code("import abc\ny = 2\n")
    assert forge.model_source.endswith("    y = 2\n")
    assert "import abc\n" in forge.dependencies_source


def test_imports_with_nothing_collected(recorded):
    assert recorded.dependencies_source == ""


def test_printer_settings(recorded, monkeypatch):
    received = []

    def to_source(tree, **kwargs):
        received.append((tree, kwargs))
        return "class Customer(Model):\n    x = 1\n"

    monkeypatch.setattr(module, "astor", types.SimpleNamespace(to_source=to_source))
    recorded.model_source
    recorded.dependencies_source
    assert received[0][0] is recorded._class_definition
    assert received[1][0] is recorded._ast_dependency_generator.ast_module
    for _, kwargs in received:
        assert list(kwargs) == ["pretty_string", "pretty_source"]
        routine = kwargs["pretty_string"]
        assert type(routine) is functools.partial
        assert routine.func is pretty_string and routine.args == ()
        assert routine.keywords == {"max_line": 120}
        pieces = ["x = ", "'" + "a" * 150 + "'", "\n"]
        assert kwargs["pretty_source"](pieces) == "".join(split_lines(pieces, maxline=120))

    seen = []
    monkeypatch.setattr(module, "split_lines", lambda p, **kw: seen.append((p, kw)) or ["a", "b"])
    assert received[0][1]["pretty_source"](["x"]) == "ab"
    assert seen == [(["x"], {"maxline": 120})]


def test_black_settings(forge, monkeypatch):
    calls = []
    mode = object()

    def file_mode(**kwargs):
        calls.append(("FileMode", list(kwargs.items())))
        return mode

    def format_str(*args, **kwargs):
        calls.append(("format_str", args, kwargs))
        return "formatted"

    target = types.SimpleNamespace(PY310="py310", PY311="py311")
    fake = types.SimpleNamespace(FileMode=file_mode, format_str=format_str, TargetVersion=target)
    monkeypatch.setattr(module, "black", fake)
    forge.add_class_data(SchemaTypes.OBJECT, "fp")
    assert forge.model_source == "formatted"
    text = astor.to_source(forge._class_definition)
    assert calls == [
        (
            "FileMode",
            [("string_normalization", False), ("target_versions", {"py310"}), ("line_length", 120)],
        ),
        ("format_str", (text,), {"mode": mode}),
    ]


def test_isort_settings(forge, monkeypatch):
    calls = []

    def code(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return "sorted"

    monkeypatch.setattr(module, "isort", types.SimpleNamespace(code=code))
    assert forge.dependencies_source == "sorted"
    text = astor.to_source(forge._ast_dependency_generator.ast_module)
    assert calls == [
        (
            (text,),
            [
                ("force_single_line", True),
                ("profile", "black"),
                ("line_length", 120),
                ("order_by_type", True),
                ("known_third_party", ["velkor_utils", "velkor_data", "velkor_models", "velkor"]),
                ("known_first_party", ["models"]),
            ],
        )
    ]


@pytest.mark.parametrize(
    ("result", "message"),
    [(5, "Expected unicode, got int"), (Str("x"), "Expected unicode, got Str"), (None, None)],
)
@pytest.mark.parametrize("prop", ["model_source", "dependencies_source"])
def test_renderings_must_return_str(forge, monkeypatch, prop, result, message):
    fake = types.SimpleNamespace(
        format_str=lambda *a, **k: result,
        code=lambda *a, **k: result,
        FileMode=lambda **k: None,
        TargetVersion=types.SimpleNamespace(PY310=None),
    )
    monkeypatch.setattr(module, "black", fake)
    monkeypatch.setattr(module, "isort", fake)
    if message is None:
        assert getattr(forge, prop) is None
    else:
        with pytest.raises(TypeError) as info:
            getattr(forge, prop)
        assert str(info.value) == message


def test_empty_class_body_reaches_the_formatter_as_built(forge):
    # No placeholder statement is added; black refuses a class without a body.
    with pytest.raises(Exception) as info:
        forge.model_source
    assert type(info.value).__module__.startswith("black")


@pytest.mark.parametrize(
    ("name", "operation"),
    [
        ("AstDependencyGenerator", lambda f: AstModelForge("app", Model, DependencyModelNames())),
        (
            "TypeData",
            lambda f: f.add_class_property("p", PropertyData(type="string"), is_required=1),
        ),
        (
            "build_assign_node",
            lambda f: f.add_class_property("p", PropertyData(type="string"), is_required=1),
        ),
        ("PropertyAst", lambda f: f.add_class_data(SchemaTypes.OBJECT, "fp")),
        ("NestedPropertyTypeAst", lambda f: f.add_class_data(SchemaTypes.OBJECT, "fp")),
        ("ValidatorResolver", lambda f: f.add_properties_validators("p", None)),
        (
            "emit_checker_def",
            lambda f: f.add_properties_validators("p", PropertyData(type="string", options=[1])),
        ),
        ("CustomCodeAst", lambda f: f.add_class_custom_code("x = 1")),
        ("astor", lambda f: f.model_source),
        ("black", lambda f: f.model_source),
        ("partial", lambda f: f.model_source),
        ("split_lines", lambda f: f.dependencies_source),
        ("isort", lambda f: f.dependencies_source),
    ],
)
def test_collaborator_errors_reach_the_caller_unchanged(forge, monkeypatch, name, operation):
    forge.add_class_data(SchemaTypes.OBJECT, "fp")
    error = LookupError(name)
    monkeypatch.setattr(module, name, Boom(error))
    with pytest.raises(LookupError) as info:
        operation(forge)
    assert info.value is error


# ---- a whole generation ----


CUSTOMER_CODE = """
import math
from datetime import timedelta

LIMIT: ClassVar[int] = 3

def radius(self) -> float:
    return math.sqrt(self.score)

def age_next_year(self):
    return (self.age or 0) + 1

def waiting(self):
    return timedelta(days=self.LIMIT)
"""


def generate(
    package,
    names,
    name,
    extend,
    base,
    schema_type,
    fingerprint,
    properties,
    required,
    custom_code="",
):
    forge = AstModelForge(package, base, names)
    forge.register_class(name, extend)
    forge.add_class_data(schema_type, fingerprint)
    for prop, config in properties.items():
        forge.add_class_property(prop, config, is_required=prop in required)
    for prop, config in properties.items():
        forge.add_properties_validators(prop, config)
    if custom_code:
        forge.add_class_custom_code(custom_code)
    return forge.dependencies_source + "\n\n" + forge.model_source


@pytest.fixture
def package(tmp_path, monkeypatch):
    name = "forge_generated_models"
    (tmp_path / name).mkdir()
    (tmp_path / name / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield tmp_path / name
    for key in [key for key in sys.modules if key.partition(".")[0] == name]:
        del sys.modules[key]


def test_generated_models_import_and_work(package):
    names = DependencyModelNames(modules={"PostalAddress": "address"})
    address = generate(
        package.name,
        names,
        "PostalAddress",
        "BaseObject",
        TypeModel,
        SchemaTypes.TYPE,
        "fp-a",
        {"city": PropertyData(type="string"), "zip": PropertyData(type="string")},
        ["city"],
    )
    customer = generate(
        package.name,
        names,
        "Customer",
        "BaseObject",
        Model,
        SchemaTypes.OBJECT,
        "fp-c",
        {
            "name": PropertyData(type="string"),
            "age": PropertyData(type="integer"),
            "score": PropertyData(type="number", default=2.25),
            "active": PropertyData(type="boolean", default=True),
            "tags": PropertyData(type="array", items="string", default=["new"]),
            "birthday": PropertyData(type="date"),
            "created": PropertyData(type="datetime"),
            "color": PropertyData(type="string", options=["red", "green"], default="red"),
            "sizes": PropertyData(type="array", items="string", options=["S", "M", "L"]),
            "address": PropertyData(type="PostalAddress"),
            "owner": PropertyData(type=["PostalAddress", "Reference"]),
            "extra": PropertyData(type="object"),
        },
        ["name"],
        CUSTOMER_CODE,
    )
    (package / "address.py").write_text(address)
    (package / "customer.py").write_text(customer)

    customer_cls = importlib.import_module(f"{package.name}.customer").Customer
    address_cls = importlib.import_module(f"{package.name}.address").PostalAddress
    assert customer_cls.__bases__ == (Model,) and address_cls.__bases__ == (TypeModel,)
    assert (
        customer_cls.schema_type is SchemaTypes.OBJECT and customer_cls.class_fingerprint == "fp-c"
    )
    assert address_cls.schema_type is SchemaTypes.TYPE and address_cls.class_fingerprint == "fp-a"

    ada = customer_cls(
        name="Ada",
        age=36,
        birthday="1815-12-10",
        created="2024-01-02T03:04:05",
        sizes=["S", "L"],
        address={"city": "London"},
        owner={"id": "c-1"},
        extra={"k": 1},
    )
    assert (ada.color, ada.tags, ada.active, ada.score) == ("red", ["new"], True, 2.25)
    assert ada.birthday == date(1815, 12, 10) and ada.created == datetime(2024, 1, 2, 3, 4, 5)
    assert ada.address == address_cls(city="London")
    # Left to right: data that is no address becomes the reference it describes.
    assert ada.owner == Reference(id="c-1")
    assert customer_cls(name="Bo", owner={"city": "Oslo"}).owner == address_cls(city="Oslo")
    assert (ada.radius(), ada.age_next_year(), ada.waiting().days) == (1.5, 37, 3)

    for bad, text in [
        ({"color": "blue"}, "Value=blue doesn't match available options: ['red', 'green']."),
        ({"sizes": ["S", "XL"]}, "Value=['S', 'XL'] doesn't match available options"),
    ]:
        with pytest.raises(ValidationError) as info:
            customer_cls(name="Ada", **bad)
        assert text in str(info.value)
    with pytest.raises(ValidationError):
        customer_cls(age=3)


@pytest.mark.leakcheck
def test_no_leak(no_leak, monkeypatch):
    # The host collector and the formatting libraries fill caches of their own over thousands
    # of calls (a pure-Python forge grows the same way), so they are replaced by stand-ins that
    # still receive and use everything the forge hands them.
    monkeypatch.setattr(module, "AstDependencyGenerator", Collector)
    names = DependencyModelNames(modules={"PostalAddress": "address"})
    config = {
        "name": PropertyData(type="string"),
        "color": PropertyData(type="string", options=["red", "green"]),
        "owner": PropertyData(type=["PostalAddress", "Reference"]),
    }

    def build():
        forge = AstModelForge("app.models", Model, names)
        forge.register_class("Customer", "BaseObject")
        forge.add_class_data(SchemaTypes.OBJECT, "fp")
        for prop, prop_config in config.items():
            forge.add_class_property(prop, prop_config, is_required=False)
            forge.add_properties_validators(prop, prop_config)
        forge.add_class_custom_code("import os\nx = 1\ndef b(self): pass\ndef a(self): pass\n")
        return forge

    def refused():
        forge = AstModelForge("app.models", Model, names)
        try:
            forge.add_class_custom_code("import os\ndef broken(:")
        except SyntaxError:
            pass
        try:
            forge.register_class("Customer", None)
        except TypeError:
            pass

    no_leak(build, calls=300)
    no_leak(refused, calls=300)

    def to_source(tree, pretty_string, pretty_source):
        return pretty_source(["x = ", pretty_string("abc", True, 0), "\n"])

    monkeypatch.setattr(module, "astor", types.SimpleNamespace(to_source=to_source))
    monkeypatch.setattr(module, "pretty_string", lambda s, *a, max_line: repr(s))
    monkeypatch.setattr(
        module,
        "black",
        types.SimpleNamespace(
            format_str=lambda text, mode: text,
            FileMode=lambda **kwargs: kwargs,
            TargetVersion=types.SimpleNamespace(PY310=object()),
        ),
    )
    monkeypatch.setattr(module, "isort", types.SimpleNamespace(code=lambda text, **kwargs: text))
    forge = build()

    def render():
        assert forge.model_source == forge.dependencies_source == "x = 'abc'\n"

    no_leak(render, calls=1000)
