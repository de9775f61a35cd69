import json
import subprocess
import sys

import pytest
from pydantic import ValidationError

from velkor_models.classes.constants import BASE_OBJECT_TYPE
from velkor_models.classes.model import Model, TypeModel
from velkor_utils.models.records import schema as schema_records
from velkor_utils.models.records.schema import ObjectSchema, PropertyData


def test_base_models_refuse_unknown_fields_and_type_models_are_values():
    class Item(Model):
        count: int

    class Point(TypeModel):
        x: int

    item = Item(count=1)
    with pytest.raises(ValidationError):
        item.count = "many"
    with pytest.raises(ValidationError):
        Item(count=1, colour="red")
    with pytest.raises(ValidationError):
        Point(x=1).x = 2
    assert Point(x=1) == Point(x=1) and hash(Point(x=1)) == hash(Point(x=1))


def test_base_object_type_is_the_same_in_both_packages():
    assert isinstance(BASE_OBJECT_TYPE, str)
    assert schema_records.BASE_OBJECT_TYPE == BASE_OBJECT_TYPE
    assert ObjectSchema(name="A").extends == BASE_OBJECT_TYPE


def test_importing_the_package_loads_none_of_its_modules():
    code = "import sys, velkor_models; print(sorted(m for m in sys.modules if m.startswith('velkor_models.')))"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert result.stdout.strip() == "[]"


def test_object_schema_dump_is_json_with_sorted_keys():
    schema = ObjectSchema(
        name="Event",
        properties={
            "when": PropertyData(type="datetime", default="2024-01-01T00:00:00"),
            "kind": PropertyData(type="string", options=["a", 1, None]),
            "data": PropertyData(type="object", default={"z": 1, "a": [True]}),
        },
        required=["when"],
        custom_code="def describe(self):\n    return self.kind\n",
    )
    dump = schema.model_dump()
    text = json.dumps(dump, default=str, sort_keys=True)
    assert json.loads(text) == dump
    assert dump["schema_type"] == "OBJECT" and dump["extends"] == BASE_OBJECT_TYPE


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ({"name": "A", "required": ["b"]}, "not properties"),
        ({"name": "not-a-class"}, "identifier"),
        ({"name": "A", "extends": "class"}, "identifier"),
        ({"name": "A", "schema_type": "THING"}, "OBJECT, TYPE"),
        ({"name": "A", "module": "my module"}, "identifier"),
        ({"name": "A", "properties": {"_hidden": {"type": "string"}}}, "underscore"),
        ({"name": "A", "properties": {"schema_type": {"type": "string"}}}, "reserved"),
        ({"name": "A", "properties": {"x": {"type": "array"}}}, "needs 'items'"),
        ({"name": "A", "properties": {"x": {"type": []}}}, "must not be empty"),
        ({"name": "A", "properties": {"x": {"type": "string", "requird": True}}}, "Extra inputs"),
    ],
)
def test_object_schema_refuses_schemas_that_cannot_generate(data, message):
    with pytest.raises(ValidationError, match=message):
        ObjectSchema.model_validate(data)


def test_schema_type_accepts_any_letter_case():
    assert ObjectSchema(name="A", schema_type="type").schema_type == "TYPE"
