import ast
import functools
import importlib
import sys
import types

import pydantic
import pytest

import velkor_models.classes.builder.ast_generator.records as records
from velkor_models.classes.builder.ast_generator.records import (
    CustomCodeAst,
    NestedPropertyTypeAst,
    PropertyAst,
    PropertyValueAst,
    join_property_values,
)

MODULE = "velkor_models.classes.builder.ast_generator.records"
EMPTY_JOIN = "Cannot join an empty list of property values"

V = PropertyValueAst


def nested(root, *children):
    return NestedPropertyTypeAst(root=V(name=root), child=[V(name=c) for c in children])


class Probe:
    """Stands in for a record: its `ast` logs the read, then builds a name (or fails)."""

    def __init__(self, label, log, fail=False):
        self.label, self.log, self.fail = label, log, fail

    @property
    def ast(self):
        self.log.append(("ast", self.label))
        if self.fail:
            raise ValueError("Invalid property value")
        return ast.Name(id=self.label, ctx=ast.Load())


class LoggedSeq:
    """A sequence that logs its length, index and slice reads; its slices log too."""

    def __init__(self, items, log, tag="s"):
        self.items, self.log, self.tag = items, log, tag

    def __len__(self):
        self.log.append(("len", self.tag))
        return len(self.items)

    def __getitem__(self, key):
        if isinstance(key, slice):
            self.log.append(("slice", self.tag, key.start, key.stop, key.step))
            return LoggedSeq(self.items[key], self.log, self.tag + "'")
        self.log.append(("item", self.tag, key))
        return self.items[key]


def reference_join(items):
    """The union fold as defined recursively; the native one must read exactly the same."""
    if len(items) == 1:
        return items[0].ast
    return ast.BinOp(left=reference_join(items[:-1]), op=ast.BitOr(), right=items[-1].ast)


class RecordingAst:
    """A stand-in `ast` module logging every class look-up and every node construction."""

    def __init__(self):
        self.log = []

    def __getattr__(self, kind):
        real = getattr(ast, kind)
        self.log.append(("get", kind))

        def make(*args, **kwargs):
            assert not args, "nodes are built from keywords only"
            self.log.append(("call", kind, tuple(kwargs)))
            return real(**kwargs)

        return make


# ---- module initialisation ----


def test_import_order(assert_import_order):
    assert_import_order(
        MODULE,
        [
            ("ast", None),
            ("functools", "cached_property"),
            ("typing", "Any"),
            ("typing", "Optional"),
            ("typing", "Union"),
            ("pydantic", "BaseModel"),
        ],
    )


def test_module_binds_exactly_its_names_in_order():
    names = list(vars(records))
    assert names[names.index("__builtins__") + 1 :] == [
        "ast",
        "cached_property",
        "Any",
        "Optional",
        "Union",
        "BaseModel",
        "PropertyAst",
        "PropertyValueAst",
        "NestedPropertyTypeAst",
        "CustomCodeAst",
        "join_property_values",
    ]
    assert records.__doc__ is None


def test_classes_are_defined_in_order_from_the_module_globals_then_rebuilt(monkeypatch):
    """Each class binds as soon as it exists, on the BaseModel and cached_property imported."""
    events = []
    RECORDS = ("PropertyAst", "PropertyValueAst", "NestedPropertyTypeAst", "CustomCodeAst")

    def bound():
        namespace = vars(sys.modules[MODULE])
        return [n for n in (*RECORDS, "join_property_values") if n in namespace]

    class RecordingBase(pydantic.BaseModel):
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            events.append(("define", cls.__name__, bound()))

        @classmethod
        def model_rebuild(cls, *args, **kwargs):
            events.append(("rebuild", cls.__name__, args, kwargs, bound()))
            return super().model_rebuild(*args, **kwargs)

    class RecordingCachedProperty(functools.cached_property):
        pass

    # pydantic lets only functools' own descriptors stand unannotated in a model body.
    RecordingCachedProperty.__module__ = "functools"

    monkeypatch.setitem(sys.modules, "pydantic", types.ModuleType("pydantic"))
    sys.modules["pydantic"].BaseModel = RecordingBase
    fake_functools = types.ModuleType("functools")
    fake_functools.cached_property = RecordingCachedProperty
    monkeypatch.setitem(sys.modules, "functools", fake_functools)
    monkeypatch.delitem(sys.modules, MODULE)
    fresh = importlib.import_module(MODULE)
    everything = [*RECORDS, "join_property_values"]

    assert events == [
        ("define", "PropertyAst", []),
        ("define", "PropertyValueAst", ["PropertyAst"]),
        ("define", "NestedPropertyTypeAst", ["PropertyAst", "PropertyValueAst"]),
        ("define", "CustomCodeAst", list(RECORDS[:3])),
        ("rebuild", "PropertyAst", (), {}, everything),
        ("rebuild", "NestedPropertyTypeAst", (), {}, everything),
    ]
    for name in RECORDS:
        assert getattr(fresh, name).__bases__ == (RecordingBase,)
    cached = vars(fresh.CustomCodeAst)["ast_module"]
    assert type(cached) is RecordingCachedProperty and cached.attrname == "ast_module"
    code = fresh.CustomCodeAst(custom_code="x = 1")
    assert code.ast_module is code.ast_module


# ---- class surface ----


@pytest.mark.parametrize(
    ("cls", "annotations"),
    [
        (
            PropertyAst,
            {
                "name": "str",
                "types": "list[Union['NestedPropertyTypeAst', 'PropertyValueAst']]",
                "value": "Optional['PropertyValueAst']",
            },
        ),
        (
            PropertyValueAst,
            {"attr": "tuple[str, str] | None", "name": "str | None", "constant": "Any | None"},
        ),
        (
            NestedPropertyTypeAst,
            {"root": "'PropertyValueAst'", "child": "list['PropertyValueAst']"},
        ),
        (CustomCodeAst, {"custom_code": "str"}),
    ],
)
def test_annotations_are_the_texts_in_declaration_order(cls, annotations):
    assert list(cls.__annotations__.items()) == list(annotations.items())
    assert list(cls.model_fields) == list(annotations)
    assert cls.__bases__ == (pydantic.BaseModel,)
    assert cls.__module__ == MODULE


@pytest.mark.parametrize(
    ("cls", "first_line", "fields"),
    [
        (PropertyAst, "Represents a property in the AST.", ["name", "types", "value"]),
        (PropertyValueAst, "Represents a property value in the AST.", ["attr", "name", "constant"]),
        (NestedPropertyTypeAst, "Represents a nested property type in the AST.", ["root", "child"]),
        (CustomCodeAst, "Represents custom code in the AST.", ["custom_code"]),
    ],
)
def test_class_docstrings_describe_every_field(cls, first_line, fields):
    doc = cls.__doc__
    assert doc.splitlines()[0] == first_line
    attributes = doc.split("Attributes:")[1]
    for field in fields:
        assert f"        {field} (" in attributes


@pytest.mark.parametrize(
    ("owner", "name", "kind", "first_line", "returns"),
    [
        (PropertyAst, "ast", property, "Generates the AST node for the property.", "Any"),
        (PropertyValueAst, "ast", property, "Generates the AST node for the property.", "Any"),
        (NestedPropertyTypeAst, "ast", property, "Generates the AST node for the property.", "Any"),
        (
            CustomCodeAst,
            "ast_module",
            functools.cached_property,
            "Parses the custom code into an AST module.",
            "Any",
        ),
        (
            CustomCodeAst,
            "ast",
            property,
            "Extracts the AST nodes from the custom code, excluding imports.",
            "list[Any]",
        ),
        (
            CustomCodeAst,
            "ast_imports",
            property,
            "Extracts the import AST nodes from the custom code.",
            "list[Any]",
        ),
    ],
)
def test_derived_members(owner, name, kind, first_line, returns):
    member = vars(owner)[name]
    assert type(member) is kind
    getter = member.fget if kind is property else member.func
    assert getter.__qualname__ == f"{owner.__name__}.{name}"
    assert getter.__annotations__ == {"return": returns}
    assert member.__doc__ == getter.__doc__
    assert member.__doc__.splitlines()[0] == first_line


def test_join_property_values_signature():
    assert join_property_values.__annotations__ == {
        "items": "list[Union['NestedPropertyTypeAst', 'PropertyValueAst']]"
        " | list['PropertyValueAst']",
        "return": "Any",
    }
    doc = join_property_values.__doc__
    assert doc.splitlines()[0] == "Joins property values into a single AST node."
    arity = r"^join_property_values\(\) takes exactly 1 positional argument \(0 given\)$"
    with pytest.raises(TypeError, match=arity):
        join_property_values()
    # keyword binding, and no entry test on the annotation: a tuple serves
    assert ast.unparse(join_property_values(items=(V(name="a"), V(name="b")))) == "a | b"


# ---- pydantic behaviour ----


@pytest.mark.parametrize(
    ("cls", "kwargs"),
    [
        (PropertyValueAst, {"attr": ("a",)}),
        (PropertyValueAst, {"attr": ("a", "b", "c")}),
        (PropertyValueAst, {"name": 1}),
        (NestedPropertyTypeAst, {"root": V(name="list")}),
        (NestedPropertyTypeAst, {"child": [V(name="str")]}),
        # a child cannot itself be a nested record
        (NestedPropertyTypeAst, {"root": V(name="list"), "child": [nested("dict", "str")]}),
        (PropertyAst, {"name": "x"}),
        (PropertyAst, {"types": [V(name="str")]}),
        (PropertyAst, {"name": "x", "types": [V(name="str")], "value": "1"}),
        (CustomCodeAst, {}),
        (CustomCodeAst, {"custom_code": 1}),
    ],
)
def test_creation_is_validated(cls, kwargs):
    with pytest.raises(pydantic.ValidationError):
        cls(**kwargs)


def test_records_are_plain_pydantic_models():
    value = V(attr=["SchemaTypes", "object"])
    assert value.attr == ("SchemaTypes", "object")
    assert repr(V(name="str")) == "PropertyValueAst(attr=None, name='str', constant=None)"
    prop = PropertyAst(name="x", types=[nested("list", "str")], value=V(constant=0))
    assert prop.model_dump() == {
        "name": "x",
        "types": [
            {"root": {"attr": None, "name": "list", "constant": None},
             "child": [{"attr": None, "name": "str", "constant": None}]}
        ],
        "value": {"attr": None, "name": None, "constant": 0},
    }
    with pytest.raises(TypeError):
        V("str")  # keywords only
    # fields stay assignable, and the next read builds from the new values
    prop.name = "y"
    prop.types[0].child.append(V(name="int"))
    prop.value = None
    assert ast.unparse(prop.ast) == "y: list[str | int]"


# ---- PropertyValueAst ----


@pytest.mark.parametrize(
    ("kwargs", "dump"),
    [
        ({"attr": ("SchemaTypes", "object")},
         "Attribute(value=Name(id='SchemaTypes', ctx=Load()), attr='object', ctx=Load())"),
        ({"name": "str"}, "Name(id='str', ctx=Load())"),
        ({"name": ""}, "Name(id='', ctx=Load())"),
        ({"constant": "the text"}, "Constant(value='the text')"),
        ({"constant": 0}, "Constant(value=0)"),
        ({"constant": False}, "Constant(value=False)"),
        ({"constant": ""}, "Constant(value='')"),
        # precedence: attr over name, name over constant
        ({"attr": ("a", "b"), "name": "n", "constant": 1},
         "Attribute(value=Name(id='a', ctx=Load()), attr='b', ctx=Load())"),
        ({"name": "n", "constant": 1}, "Name(id='n', ctx=Load())"),
    ],
)
def test_value_node(kwargs, dump):
    record = V(**kwargs)
    node = record.ast
    assert ast.dump(node) == dump
    again = record.ast
    assert again is not node and ast.dump(again) == dump


@pytest.mark.parametrize("kwargs", [{}, {"constant": None}, {"attr": None, "name": None}])
def test_value_with_nothing_set_is_invalid(kwargs):
    with pytest.raises(ValueError, match="^Invalid property value$"):
        V(**kwargs).ast


def test_value_nodes_get_contexts_of_their_own_and_an_explicit_kind(monkeypatch):
    node = V(attr=("a", "b")).ast
    assert node.ctx is not node.value.ctx
    fake = RecordingAst()
    monkeypatch.setattr(records, "ast", fake)
    V(constant=5).ast
    assert fake.log == [("get", "Constant"), ("call", "Constant", ("value", "kind"))]
    assert V(constant=5).ast.kind is None


# ---- NestedPropertyTypeAst and join_property_values ----


@pytest.mark.parametrize(
    ("children", "printed"),
    [
        (["str"], "list[str]"),
        (["str", "int"], "list[str | int]"),
        (["a", "b", "c"], "list[a | b | c]"),
    ],
)
def test_nested_prints_as_subscript_of_the_union(children, printed):
    node = nested("list", *children).ast
    assert isinstance(node, ast.Subscript) and isinstance(node.ctx, ast.Load)
    assert ast.unparse(node) == printed


def test_nested_with_one_child_subscripts_that_child_itself():
    assert ast.dump(nested("list", "str").ast) == (
        "Subscript(value=Name(id='list', ctx=Load()), slice=Name(id='str', ctx=Load()), ctx=Load())"
    )


def test_join_one_item_returns_its_very_node():
    marker = object()
    item = types.SimpleNamespace(ast=marker)
    assert join_property_values([item]) is marker


def test_join_builds_a_left_nested_chain():
    a, b, c = (V(name=n).ast for n in "abc")
    node = join_property_values([V(name="a"), V(name="b"), V(name="c")])
    expected = ast.BinOp(
        left=ast.BinOp(left=a, op=ast.BitOr(), right=b), op=ast.BitOr(), right=c
    )
    assert ast.dump(node) == ast.dump(expected)
    assert node.op is not node.left.op
    assert ast.unparse(node) == "a | b | c"


def test_join_reads_items_in_list_order_and_stops_at_the_first_failure():
    log = []
    join_property_values([Probe(n, log) for n in "abcde"])
    assert log == [("ast", n) for n in "abcde"]
    log.clear()
    with pytest.raises(ValueError, match="^Invalid property value$"):
        join_property_values([Probe("a", log), V(), Probe("c", log)])
    assert log == [("ast", "a")]


@pytest.mark.parametrize("count", [1, 2, 3, 5])
def test_join_reads_a_sequence_exactly_as_the_recursive_fold_does(count):
    native_log, reference_log = [], []
    native = join_property_values(
        LoggedSeq([Probe(str(i), native_log) for i in range(count)], native_log)
    )
    reference = reference_join(
        LoggedSeq([Probe(str(i), reference_log) for i in range(count)], reference_log)
    )
    assert native_log == reference_log
    assert ast.dump(native) == ast.dump(reference)


def test_join_of_a_very_long_list_does_not_recurse():
    count = 200_000
    node = join_property_values([types.SimpleNamespace(ast=i) for i in range(count)])
    rights = []
    while isinstance(node, ast.BinOp):
        rights.append(node.right)
        node = node.left
    assert node == 0
    assert rights == list(range(count - 1, 0, -1))


@pytest.mark.parametrize(
    "read",
    [
        lambda: join_property_values([]),
        lambda: join_property_values(()),
        lambda: NestedPropertyTypeAst(root=V(name="list"), child=[]).ast,
        lambda: PropertyAst(name="x", types=[]).ast,
    ],
    ids=["list", "tuple", "nested-without-children", "property-without-types"],
)
def test_empty_union_is_refused(read):
    with pytest.raises(ValueError, match=f"^{EMPTY_JOIN}$"):
        read()


def test_join_item_without_ast_fails_with_attribute_error():
    with pytest.raises(AttributeError):
        join_property_values([V(name="a"), object()])


# ---- PropertyAst ----


@pytest.mark.parametrize(
    ("prop", "printed"),
    [
        (PropertyAst(name="x", types=[V(name="str")]), "x: str"),
        (PropertyAst(name="x", types=[V(name="str"), V(name="int")], value=V(constant=1)),
         "x: str | int = 1"),
        (PropertyAst(name="schema_type", types=[nested("ClassVar", "SchemaTypes")],
                     value=V(attr=("SchemaTypes", "object"))),
         "schema_type: ClassVar[SchemaTypes] = SchemaTypes.object"),
        (PropertyAst(name="class_fingerprint", types=[nested("ClassVar", "str")],
                     value=V(constant="the text")),
         "class_fingerprint: ClassVar[str] = 'the text'"),
    ],
)
def test_property_prints_as_annotated_assignment(prop, printed):
    assert ast.unparse(prop.ast) == printed


def test_property_without_value():
    node = PropertyAst(name="x", types=[V(name="str")]).ast
    assert ast.dump(node) == (
        "AnnAssign(target=Name(id='x', ctx=Store()), annotation=Name(id='str', ctx=Load()),"
        " simple=1)"
    )
    assert node.value is None
    assert type(node.simple) is int and node.simple == 1


def test_property_builds_in_order_through_the_current_ast_global(monkeypatch):
    fake = RecordingAst()
    monkeypatch.setattr(records, "ast", fake)
    prop = PropertyAst(name="x", types=[V(name="str"), V(attr=("a", "b"))], value=V(constant=1))
    assert ast.unparse(prop.ast) == "x: str | a.b = 1"
    load = [("get", "Load"), ("call", "Load", ())]
    assert fake.log == [
        ("get", "AnnAssign"),
        ("get", "Name"), ("get", "Store"), ("call", "Store", ()), ("call", "Name", ("id", "ctx")),
        ("get", "BinOp"),
        ("get", "Name"), *load, ("call", "Name", ("id", "ctx")),
        ("get", "BitOr"), ("call", "BitOr", ()),
        ("get", "Attribute"), ("get", "Name"), *load, ("call", "Name", ("id", "ctx")),
        *load, ("call", "Attribute", ("value", "attr", "ctx")),
        ("call", "BinOp", ("left", "op", "right")),
        ("get", "Constant"), ("call", "Constant", ("value", "kind")),
        ("call", "AnnAssign", ("target", "annotation", "value", "simple")),
    ]
    monkeypatch.undo()
    assert isinstance(prop.ast, ast.AnnAssign)


def test_property_reads_types_in_order_then_the_value():
    log = []
    prop = PropertyAst.model_construct(
        name="x", types=[Probe("t1", log), Probe("t2", log)], value=Probe("v", log)
    )
    assert ast.unparse(prop.ast) == "x: t1 | t2 = v"
    assert log == [("ast", "t1"), ("ast", "t2"), ("ast", "v")]
    log.clear()
    prop.types = [Probe("t1", log, fail=True), Probe("t2", log)]
    with pytest.raises(ValueError, match="^Invalid property value$"):
        prop.ast
    assert log == [("ast", "t1")]


def test_property_passes_on_an_invalid_value():
    with pytest.raises(ValueError, match="^Invalid property value$"):
        PropertyAst(name="x", types=[V(name="str")], value=V()).ast


# ---- CustomCodeAst ----

CODE = """
import os
x = 1
from typing import Any as A, List

def f():
    import json
    return json
"""


def test_custom_code_partitions_the_top_level_statements():
    code = CustomCodeAst(custom_code=CODE)
    imports, others = code.ast_imports, code.ast
    assert [ast.unparse(n) for n in imports] == ["import os", "from typing import Any as A, List"]
    assert [type(n).__name__ for n in others] == ["Assign", "FunctionDef"]
    assert isinstance(others[1].body[0], ast.Import)  # nested imports stay where they are
    body = code.ast_module.body
    assert [id(n) for n in imports] == [id(body[0]), id(body[2])]
    assert [id(n) for n in others] == [id(body[1]), id(body[3])]
    assert code.ast is not others  # a new list each read, of the same nodes
    assert all(a is b for a, b in zip(code.ast, others))


@pytest.mark.parametrize("text", ["", "   \n\t \n"])
def test_blank_custom_code_has_no_statements(text):
    code = CustomCodeAst(custom_code=text)
    assert code.ast == [] and code.ast_imports == []
    assert isinstance(code.ast_module, ast.Module)


@pytest.mark.parametrize(
    ("text", "printed"),
    [
        ("\n\n\nx = 1   \ny = 2   \n\n", "x = 1\ny = 2"),
        ("        x = 1", "x = 1"),  # only the first line loses its indentation
    ],
)
def test_custom_code_is_stripped_as_a_whole(text, printed):
    assert ast.unparse(CustomCodeAst(custom_code=text).ast_module) == printed


def test_custom_code_parse_error_caches_nothing():
    code = CustomCodeAst(custom_code="    x = 1\n    y = 2")
    for _ in range(2):
        with pytest.raises(IndentationError):
            code.ast
        assert "ast_module" not in vars(code)
    code.custom_code = "x = ("
    with pytest.raises(SyntaxError):
        code.ast_imports
    code.custom_code = "x = 1"
    assert ast.unparse(code.ast[0]) == "x = 1"
    assert "ast_module" in vars(code)


def test_custom_code_parses_once_and_keeps_its_nodes(monkeypatch):
    parsed = []

    def counting_parse(*args, **kwargs):
        parsed.append((args, kwargs))
        return ast.parse(*args, **kwargs)

    fake = types.ModuleType("ast")
    fake.__dict__.update(vars(ast))
    fake.parse = counting_parse
    monkeypatch.setattr(records, "ast", fake)

    code = CustomCodeAst(custom_code="  import os\nx = 1  ")
    assert "ast_module" not in vars(code)
    imports, others = code.ast_imports, code.ast
    module = code.ast_module
    assert parsed == [(("import os\nx = 1",), {})]
    assert vars(code)["ast_module"] is module and code.ast_module is module
    # later changes: a new text is ignored; a caller's change to a node is seen
    code.custom_code = "y = 2"
    others[0].targets[0].id = "renamed"
    assert ast.unparse(code.ast[0]) == "renamed = 1"
    assert code.ast_imports[0] is imports[0]
    assert len(parsed) == 1


def test_custom_code_asks_the_current_ast_module_for_import_classes(monkeypatch):
    class NotAnImport:
        pass

    code = CustomCodeAst(custom_code="import os\nx = 1")
    code.ast_module  # parsed with the real module
    fake = types.ModuleType("ast")
    fake.Import, fake.ImportFrom = NotAnImport, ast.Assign
    monkeypatch.setattr(records, "ast", fake)
    assert [type(n).__name__ for n in code.ast_imports] == ["Assign"]
    assert [type(n).__name__ for n in code.ast] == ["Import"]


def test_records_model_dump_leaves_the_parsed_module_out():
    code = CustomCodeAst(custom_code="x = 1")
    code.ast
    assert code.model_dump() == {"custom_code": "x = 1"}
    assert repr(code) == "CustomCodeAst(custom_code='x = 1')"


# ---- leaks ----


def test_reads_keep_no_references_to_what_they_read():
    code = CustomCodeAst(custom_code=CODE)
    items = [V(name="a"), nested("list", "b")]
    prop = PropertyAst(name="x", types=items, value=V(constant=1))
    watched = [*code.ast_module.body, code, *items, items, prop.value]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        code.ast, code.ast_imports, code.ast_module
        join_property_values(items)
        prop.ast
    assert [sys.getrefcount(o) for o in watched] == before


def _raises(exc, op):
    def run():
        try:
            op()
        except exc:
            pass
        else:
            raise AssertionError("expected an error")

    return run


_PROP = PropertyAst(name="x", types=[nested("list", "str", "int")], value=V(attr=("a", "b")))


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "op",
    [
        lambda: _PROP.ast,
        lambda: V(constant=1).ast,
        lambda: nested("list", "str", "int").ast,
        lambda: join_property_values([V(name="a"), V(name="b"), V(name="c")]),
        lambda: CustomCodeAst(custom_code=CODE).ast_module,
        # fresh records, so that a reference kept to a node keeps a whole tree alive
        lambda: CustomCodeAst(custom_code=CODE).ast,
        lambda: CustomCodeAst(custom_code=CODE).ast_imports,
        _raises(ValueError, lambda: PropertyAst(name="x", types=[V(name="a"), V()]).ast),
        _raises(ValueError, lambda: join_property_values([])),
        _raises(SyntaxError, lambda: CustomCodeAst(custom_code="x = (").ast),
        _raises(pydantic.ValidationError, lambda: NestedPropertyTypeAst(root=V(name="a"))),
    ],
    ids=[
        "property",
        "value",
        "nested",
        "join",
        "ast_module",
        "code-ast",
        "code-imports",
        "invalid-value",
        "empty-join",
        "parse-error",
        "validation-error",
    ],
)
def test_no_leak(no_leak, op):
    no_leak(op, calls=500)
