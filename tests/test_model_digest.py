import datetime
import hashlib
import inspect
import types

import pytest

import velkor_models.schemas.utils.model_digest as mod
from velkor_models.schemas.utils.model_digest import calculate_model_digest
from velkor_utils.models.records.schema import ObjectSchema, PropertyData

MODULE = "velkor_models.schemas.utils.model_digest"


class Dumps:
    """A stand-in record whose model_dump() returns the given data."""

    def __init__(self, data):
        self.data = data

    def model_dump(self):
        return self.data


def digest(data) -> str:
    return calculate_model_digest(Dumps(data))


def test_import_order(assert_import_order):
    assert_import_order(
        MODULE,
        [("hashlib", None), ("json", None), ("velkor_utils.models.records.schema", "ObjectSchema")],
    )


def test_signature_annotations_and_docstring():
    assert calculate_model_digest.__annotations__ == {"schema": "ObjectSchema", "return": "str"}
    assert str(inspect.signature(calculate_model_digest)) == "(schema: 'ObjectSchema') -> 'str'"
    doc = inspect.cleandoc(calculate_model_digest.__doc__)
    assert doc.splitlines()[0] == "Calculates the fingerprint of a given schema."
    args = "Args:\n    schema (ObjectSchema): The schema for which to calculate the fingerprint."
    assert args in doc
    assert "Returns:\n    str: The SHA-256 fingerprint of the schema." in doc


def test_digest_is_sha256_of_sorted_key_json():
    # The JSON text is written out by hand: sorted keys at every level, default separators.
    text = '{"a": [1, {"x": null, "y": true}], "b": "\\u00e9"}'
    expected = hashlib.sha256(text.encode("utf-8")).hexdigest()
    assert digest({"b": "é", "a": [1, {"y": True, "x": None}]}) == expected
    assert calculate_model_digest(schema=Dumps({})) == hashlib.sha256(b"{}").hexdigest()


@pytest.mark.parametrize(
    "one, other",
    [
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}),
        ({"n": {"x": [1, {"q": 1, "p": 2}], "y": 0}}, {"n": {"y": 0, "x": [1, {"p": 2, "q": 1}]}}),
        ({"d": datetime.date(2024, 5, 1)}, {"d": "2024-05-01"}),
        ({"t": datetime.datetime(2024, 5, 1, 8, 30)}, {"t": "2024-05-01 08:30:00"}),
    ],
)
def test_equal_dumps_give_equal_digests(one, other):
    assert digest(one) == digest(other)


@pytest.mark.parametrize(
    "other",
    [
        {"a": 1, "b": 3},
        {"a": 1},
        {"a": 1, "b": 2, "c": None},
        {"a": 1, "b": "2"},
        {"a": [1], "b": 2},
    ],
)
def test_any_change_changes_the_digest(other):
    assert digest(other) != digest({"a": 1, "b": 2})


@pytest.mark.parametrize("data", [{}, {"k": "v"}, {"d": datetime.date.today()}, [1, "x"]])
def test_result_is_64_lower_case_hex_characters(data):
    result = digest(data)
    assert type(result) is str and len(result) == 64
    assert set(result) <= set("0123456789abcdef")


def test_schema_records_with_reordered_properties_match():
    props = {"a": PropertyData(type="string"), "b": PropertyData(type="integer", default=3)}
    one = ObjectSchema(name="Item", properties=props, required=["a", "b"])
    other = ObjectSchema(name="Item", properties=dict(reversed(props.items())), required=["a", "b"])
    assert calculate_model_digest(one) == calculate_model_digest(other)
    changed = ObjectSchema(name="Item", properties=props, required=["a"])
    assert calculate_model_digest(changed) != calculate_model_digest(one)


class Boom(Exception):
    pass


def failing_dump():
    raise Boom("dump failed")


@pytest.mark.parametrize(
    "schema, error, message",
    [
        (object(), AttributeError, "'object' object has no attribute 'model_dump'"),
        (
            Dumps({1: "a", "b": 2}),
            TypeError,
            "'<' not supported between instances of 'str' and 'int'",
        ),
        (Dumps({(1, 2): "a"}), TypeError, "keys must be str, int, float, bool or None, not tuple"),
        (types.SimpleNamespace(model_dump=failing_dump), Boom, "dump failed"),
    ],
)
def test_errors_pass_through(schema, error, message):
    with pytest.raises(error) as info:
        calculate_model_digest(schema)
    assert type(info.value) is error and str(info.value) == message


NAME = "calculate_model_digest()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{NAME} takes exactly 1 positional argument (0 given)"),
        ((Dumps({}), 2), {}, f"{NAME} takes exactly 1 positional argument (2 given)"),
        ((), {"model": 1}, f"{NAME} takes exactly 1 positional argument (0 given)"),
        (
            (Dumps({}),),
            {"schema": 1},
            f"{NAME} got multiple values for keyword argument 'schema'",
        ),
    ],
)
def test_call_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        calculate_model_digest(*args, **kwargs)
    assert str(info.value) == message


def test_json_global_is_looked_up_at_each_call_with_the_fixed_settings(monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return "é"

    data = {"b": 1}
    monkeypatch.setattr(mod, "json", types.SimpleNamespace(dumps=dumps))
    assert digest(data) == hashlib.sha256("é".encode("utf-8")).hexdigest()
    [(args, kwargs)] = calls
    assert args == (data,) and args[0] is data
    assert list(kwargs) == ["default", "sort_keys"]
    assert kwargs["default"] is str and kwargs["sort_keys"] is True


class Text(str):
    pass


def test_result_type_is_enforced_and_hashlib_looked_up_at_each_call(monkeypatch):
    def hexdigest_gives(value):
        fake_hash = types.SimpleNamespace(hexdigest=lambda: value)
        monkeypatch.setattr(mod, "hashlib", types.SimpleNamespace(sha256=lambda data: fake_hash))

    hexdigest_gives(None)
    assert digest({}) is None
    for value, name in [(b"ab", "bytes"), (Text("ab"), "Text"), (7, "int")]:
        hexdigest_gives(value)
        with pytest.raises(TypeError) as info:
            digest({})
        assert str(info.value) == f"Expected unicode, got {name}"


@pytest.mark.leakcheck
def test_no_leak(no_leak):
    schema = Dumps({"name": "Item", "props": {"b": [1, 2], "a": datetime.date(2024, 1, 1)}})

    def refuse():
        with pytest.raises(TypeError):
            calculate_model_digest(Dumps({1: "a", "b": 2}))

    no_leak(lambda: calculate_model_digest(schema))
    no_leak(refuse)
