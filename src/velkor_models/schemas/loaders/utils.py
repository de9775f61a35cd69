import json
from pathlib import Path
from typing import TypeVar

from pydantic import BaseModel, ValidationError

from velkor_utils.models.records.schema import ObjectSchema

RecordT = TypeVar("RecordT", bound=BaseModel)


def load_object_schema_from_json_file(
    json_file: Path | str, model_cls: type[RecordT] = ObjectSchema
) -> list[RecordT]:
    """Reads the records of one JSON file.

    A top-level list holds one record per element; a top-level object is one record.

    Args:
        json_file: The UTF-8 JSON file to read.
        model_cls: The record class each element is validated as.

    Returns:
        list: The records, in file order.

    Raises:
        ValueError: The file is not UTF-8 JSON, or an element does not fit ``model_cls``; the
            message names the file, and the original error is chained.
        OSError: The file cannot be read.
    """
    path = Path(json_file)
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path}: not a UTF-8 JSON file: {exc}") from exc
    elements = data if isinstance(data, list) else [data]
    records = []
    for index, element in enumerate(elements):
        try:
            records.append(model_cls.model_validate(element))
        except ValidationError as exc:
            where = f"element {index}" if isinstance(data, list) else "the top-level object"
            raise ValueError(f"{path}: {where} is not a valid {model_cls.__name__}: {exc}") from exc
    return records
