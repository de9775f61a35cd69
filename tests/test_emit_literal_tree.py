import ast
import datetime
import inspect
import subprocess
import sys
import textwrap
import types
from collections import OrderedDict

import pytest

import velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree as mod
from velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree import emit_literal_tree

MODULE = "velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree"


def emit(value):
    """emit_literal_tree(value), expecting the 3.12 warnings of the older constant classes."""
    with pytest.warns(DeprecationWarning):
        return emit_literal_tree(value)


def test_import_order(assert_import_order):
    assert_import_order(MODULE, [("ast", None), ("typing", "Any")])


def test_signature_annotations_and_no_docstring():
    param = "dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None"
    result = "ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant"
    assert emit_literal_tree.__annotations__ == {"dictionary": param, "return": result}
    assert str(inspect.signature(emit_literal_tree)) == f"(dictionary: {param!r}) -> {result!r}"
    assert emit_literal_tree.__doc__ is None
    assert emit_literal_tree(dictionary=[]).elts == []


class Text(str):
    pass


class Count(int):
    pass


@pytest.mark.parametrize(
    "value", ["x", "", Text("sub"), 0, -7, 2.5, True, False, Count(3), 10**30, None]
)
def test_scalars_become_constants_holding_the_same_object(value):
    node = emit(value)
    assert type(node) is ast.Constant
    assert node.value is value


def test_empty_containers():
    mapping = emit_literal_tree({})
    assert type(mapping) is ast.Dict and mapping.keys == [] and mapping.values == []
    assert mapping.keys is not mapping.values
    listing = emit_literal_tree([])
    assert type(listing) is ast.List and listing.elts == []
    assert not hasattr(listing, "ctx")
    assert (ast.unparse(mapping), ast.unparse(listing)) == ("{}", "[]")


def test_nested_structure_keeps_nesting_and_insertion_order():
    data = {"z": [{"b": 1, "a": [None, True]}, "t"], "m": {}, "a": 2.5}
    tree = emit(data)
    assert [type(v) for v in tree.values] == [ast.List, ast.Dict, ast.Constant]
    assert type(tree.values[0].elts[0]) is ast.Dict
    assert ast.unparse(tree) == "{'z': [{'b': 1, 'a': [None, True]}, 't'], 'm': {}, 'a': 2.5}"
    assert ast.literal_eval(tree) == data


class Key(str):
    def __str__(self):
        return "from __str__"


@pytest.mark.parametrize(
    "key, text",
    [
        (1, "1"),
        (2.5, "2.5"),
        (True, "True"),
        (None, "None"),
        ((1, "a"), "(1, 'a')"),
        (Key("raw"), "from __str__"),
        ("plain", "plain"),
    ],
)
def test_keys_become_text_constants(key, text):
    tree = emit({key: "v"})
    assert type(tree.keys[0]) is ast.Constant
    assert type(tree.keys[0].value) is str and tree.keys[0].value == text


def test_key_conversion_error_propagates():
    class Unprintable:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        emit_literal_tree({Unprintable(): 1})


@pytest.mark.parametrize(
    "value, bad, warns",
    [
        ((1, 2), tuple, False),
        ({1}, set, False),
        (b"x", bytes, False),
        (frozenset(), frozenset, False),
        (datetime.date(2020, 1, 2), datetime.date, False),
        (1j, complex, False),
        ([[], [2, (3,)]], tuple, True),
        ({"a": {"b": [b"x"]}}, bytes, True),
    ],
)
def test_unsupported_types_raise_at_any_depth(value, bad, warns):
    with pytest.raises(ValueError) as info:
        if warns:
            emit(value)
        else:
            emit_literal_tree(value)
    assert info.value.args == (f"Unsupported type: {bad}",)


def test_unsupported_type_message_is_the_text_of_the_type():
    class Meta(type):
        def __str__(cls):
            return "<custom text>"

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(ValueError, match="^Unsupported type: <class 'tuple'>$"):
        emit_literal_tree(())
    with pytest.raises(ValueError, match="^Unsupported type: <custom text>$"):
        emit_literal_tree(Odd())


def test_subclasses_of_dict_and_list_are_walked_as_python_walks_them():
    class Reversed(dict):
        def items(self):
            return reversed(list(super().items()))

    class Doubled(list):
        def __iter__(self):
            for item in super().__iter__():
                yield item
                yield item

    assert ast.unparse(emit(OrderedDict(a=1, b=2))) == "{'a': 1, 'b': 2}"
    assert ast.unparse(emit(Reversed(a=1, b=2))) == "{'b': 2, 'a': 1}"
    assert ast.unparse(emit(Doubled([1, "x"]))) == "[1, 1, 'x', 'x']"


class Entries(dict):
    def __init__(self, entries):
        super().__init__()
        self.entries = entries

    def items(self):
        return self.entries


@pytest.mark.parametrize(
    "entries, error, message",
    [
        ([("a", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([("a",)], ValueError, "need more than 1 value to unpack"),
        ([iter(())], ValueError, "need more than 0 values to unpack"),
        ([iter("abc")], ValueError, "too many values to unpack (expected 2)"),
        ([7], TypeError, "'int' object is not iterable"),
    ],
)
def test_mapping_entries_unpack_into_key_and_value(entries, error, message):
    with pytest.raises(error) as info:
        emit_literal_tree(Entries(entries))
    assert str(info.value) == message


def test_nodes_are_made_through_the_module_ast_global_with_the_given_keywords(monkeypatch):
    made = []

    def kind(name):
        def make(*args, **kwargs):
            assert args == ()
            # a snapshot: the lists handed over are filled later
            snapshot = {k: v.copy() if isinstance(v, list) else v for k, v in kwargs.items()}
            made.append((name, snapshot))
            return types.SimpleNamespace(**kwargs)

        return make

    names = ["Dict", "List", "Constant", "Str", "Num", "NameConstant"]
    fake = types.SimpleNamespace(**{name: kind(name) for name in names})
    monkeypatch.setattr(mod, "ast", fake)
    tree = emit_literal_tree({"a": [1, "x", None], 2: {}})
    assert made == [
        ("Dict", {"keys": [], "values": []}),
        ("Constant", {"s": "a"}),
        ("List", {"elts": []}),
        ("Num", {"n": 1}),
        ("Str", {"s": "x"}),
        ("NameConstant", {"value": None}),
        ("Constant", {"s": "2"}),
        ("Dict", {"keys": [], "values": []}),
    ]
    assert [k.s for k in tree.keys] == ["a", "2"]
    assert [e.__dict__ for e in tree.values[0].elts] == [{"n": 1}, {"s": "x"}, {"value": None}]


def test_recursion_goes_through_the_module_level_name(monkeypatch):
    seen = []

    def stand_in(value):
        seen.append(value)
        return ast.Name(id=f"v{len(seen)}")

    monkeypatch.setattr(mod, "emit_literal_tree", stand_in)
    tree = emit({"a": [1, 2], "b": "t"})
    assert seen == [[1, 2], "t"]
    assert ast.unparse(tree) == "{'a': v1, 'b': v2}"
    assert ast.unparse(emit_literal_tree([{"k": 1}, None])) == "[v3, v4]"


def test_moderate_depth_converts():
    value = "leaf"
    for i in range(200):
        value = [value] if i % 2 else {"k": value}
    tree = emit(value)
    assert ast.literal_eval(tree) == value


DEEP_SCRIPT = textwrap.dedent(
    """
    import sys, threading, warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    from velkor_models.classes.builder.ast_generator.helpers import emit_literal_tree as mod
    emit_literal_tree = mod.emit_literal_tree

    def nested(kind, depth):
        value = None
        for _ in range(depth):
            value = [value] if kind == "list" else {"k": value}
        return value

    def run():
        for kind in ("list", "dict"):
            try:
                emit_literal_tree(nested(kind, 100_000))
            except RecursionError:
                print(kind, "RecursionError")
            # the interpreter is intact and shallow input still converts
            assert emit_literal_tree(nested(kind, 3)) is not None

    stack = int(sys.argv[1])
    if stack:
        threading.stack_size(stack)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    else:
        run()
    print("done")
    """
)


# 0 runs on the main thread; 256 KiB is a thread stack too small for the interpreter's own
# recursion limit, where only the stack check stands between deep input and a crash.
@pytest.mark.parametrize("stack", [0, 256 * 1024])
def test_very_deep_input_ends_in_recursion_error(stack):
    result = subprocess.run(
        [sys.executable, "-c", DEEP_SCRIPT, str(stack)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["list RecursionError", "dict RecursionError", "done", ""]


@pytest.mark.leakcheck
def test_no_leak(no_leak):
    data = {"a": [1, 2.5, None, {"b": "c"}], 3: True}

    def convert():
        with pytest.warns(DeprecationWarning):
            emit_literal_tree(data)

    def refuse():
        with pytest.raises(ValueError):
            emit_literal_tree([[], (1,)])

    no_leak(convert, calls=500)
    no_leak(refuse)
