import json

import pytest
from pydantic import ValidationError

from velkor_models.schemas.loaders.base import ConfigReaderMixin
from velkor_models.schemas.loaders.utils import load_object_schema_from_json_file
from velkor_models.schemas.records.options import OptionSchema
from velkor_utils.models.records.schema import ObjectSchema


def test_reader_returns_one_record_per_list_element_or_one_for_an_object(tmp_path):
    listed = tmp_path / "colours.json"
    listed.write_text(
        '[{"name": "colours", "options": ["red"]}, {"name": "sizes", "options": [1, 2]}]'
    )
    single = tmp_path / "model.json"
    single.write_text('{"name": "Ünïcode", "description": "déjà"}', encoding="utf-8")
    options = load_object_schema_from_json_file(listed, model_cls=OptionSchema)
    assert [(o.name, o.options) for o in options] == [("colours", ["red"]), ("sizes", [1, 2])]
    assert load_object_schema_from_json_file(single, model_cls=ObjectSchema) == [
        ObjectSchema(name="Ünïcode", description="déjà")
    ]


@pytest.mark.parametrize(
    ("content", "cause", "where"),
    [
        (b'{"name": "A",', json.JSONDecodeError, "not a UTF-8 JSON file"),
        (b'{"name": "\xff"}', UnicodeDecodeError, "not a UTF-8 JSON file"),
        (b'[{"name": "A"}, {"properties": {}}]', ValidationError, "element 1"),
        (b'{"name": "A", "colour": "red"}', ValidationError, "top-level object"),
    ],
    ids=["malformed", "not-utf8", "bad-element", "bad-object"],
)
def test_reader_errors_name_the_file_and_chain_the_cause(tmp_path, content, cause, where):
    path = tmp_path / "broken.json"
    path.write_bytes(content)
    with pytest.raises(ValueError) as caught:
        load_object_schema_from_json_file(path, model_cls=ObjectSchema)
    assert str(path) in str(caught.value) and where in str(caught.value)
    assert isinstance(caught.value.__cause__, cause)


@pytest.mark.parametrize(
    ("name", "make", "expected"),
    [
        ("model.json", "file", True),
        ("MODEL.Json", "file", True),
        ("model.txt", "file", False),
        (".json", "file", False),
        ("model.json", "dir", False),
        ("model.json", None, False),
    ],
)
def test_is_schema_file(tmp_path, name, make, expected):
    path = tmp_path / name
    if make == "file":
        path.write_text("{}")
    elif make == "dir":
        path.mkdir()
    assert bool(ConfigReaderMixin().is_schema_file(path)) is expected
