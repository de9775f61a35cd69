"""Native leaf functions against pure-Python versions of the same functions, in one run.

Run as `python bench/bench_leaf.py`. Each line prints native time / Python time for one
function on one representative input (below 1 means the native function is faster); bare
times are not printed, since they say more about the machine than about the code.
"""

from __future__ import annotations

import ast
import base64
import datetime
import hashlib
import json
import timeit
import warnings
from collections.abc import Callable
from typing import Any

from velkor_models.classes.builder.ast_generator.helpers import emit_literal_tree as native_tree
from velkor_models.classes.builder.validators.choice_checks import validate_options as native_opts
from velkor_models.schemas.utils.model_digest import calculate_model_digest as native_digest
from velkor_models.utils.files import convert_data_to_base64 as native_b64
from velkor_utils.models.records.schema import ObjectSchema, PropertyData

# ---- the same functions in Python ----


def emit_literal_tree(
    dictionary: dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None,
) -> ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant:
    if isinstance(dictionary, dict):
        node = ast.Dict(keys=[], values=[])
        for key, value in dictionary.items():
            key_node = ast.Constant(s=key if type(key) is str else str(key))
            value_node = emit_literal_tree(value)
            node.keys.append(key_node)
            node.values.append(value_node)
        return node
    if isinstance(dictionary, list):
        node = ast.List(elts=[])
        for value in dictionary:
            node.elts.append(emit_literal_tree(value))
        return node
    if isinstance(dictionary, str):
        return ast.Str(s=dictionary)
    if isinstance(dictionary, (int, float)):
        return ast.Num(n=dictionary)
    if dictionary is None:
        return ast.NameConstant(value=None)
    message = "Unsupported type: " + str(type(dictionary))
    raise ValueError(message)


def validate_options(value: Any, options: list[Any]) -> Any:
    if type(options) is not list:
        raise TypeError(
            "Argument 'options' has incorrect type "
            f"(expected list, got {type(options).__name__})"
        )
    if value is None:
        return value
    if isinstance(value, list):
        passed = all(item in options for item in value)
    else:
        passed = value in options
    if not passed:
        raise ValueError(f"Value={value} doesn't match available options: {options}.")
    return value


def calculate_model_digest(schema: ObjectSchema) -> str:
    dump = schema.model_dump()
    text = json.dumps(dump, default=str, sort_keys=True)
    result = hashlib.sha256(text.encode("utf-8")).hexdigest()
    if result is not None and type(result) is not str:
        raise TypeError(f"Expected unicode, got {type(result).__name__}")
    return result


def convert_data_to_base64(file_data: Any) -> bytes:
    if isinstance(file_data, str):
        file_data = file_data.encode()
    try:
        decoded = base64.b64decode(file_data, validate=True)
        if base64.b64encode(decoded) != file_data:
            file_data = base64.b64encode(file_data)
    except Exception:
        file_data = base64.b64encode(file_data)
    if file_data is not None and type(file_data) is not bytes:
        raise TypeError(f"Expected bytes, got {type(file_data).__name__}")
    return file_data


# ---- inputs ----

RECORD = {
    "name": "Sensor",
    "tags": ["indoor", "calibrated"],
    "limits": {"min": -20, "max": 55.5, "unit": "C"},
    "enabled": True,
    "note": None,
}
RECORDS = [dict(RECORD, id=i) for i in range(40)]

OPTIONS = ["red", "green", "blue", "cyan", "magenta", "yellow", "black", "white"]

SCHEMA = ObjectSchema(
    name="Sensor",
    properties={
        "name": PropertyData(type="string", description="Display name"),
        "reading": PropertyData(type="number", default=0.0),
        "tags": PropertyData(type="array", items="string", options=["a", "b"]),
        "seen": PropertyData(type="date", default=datetime.date(2024, 1, 1)),
    },
    required=["name"],
    custom_code="def label(self):\n    return self.name\n",
)

TEXT = "The quick brown fox jumps over the lazy dog. " * 4
ENCODED = base64.b64encode(TEXT.encode())
RAW = bytes(range(256))


def refused(function: Callable[..., Any], *args: Any) -> Callable[[], None]:
    def run() -> None:
        try:
            function(*args)
        except ValueError:
            pass

    return run


CASES: list[tuple[str, Callable[[], object], Callable[[], object]]] = [
    (
        "emit_literal_tree: one record",
        lambda: native_tree.emit_literal_tree(RECORD),
        lambda: emit_literal_tree(RECORD),
    ),
    (
        "emit_literal_tree: 40 records",
        lambda: native_tree.emit_literal_tree(RECORDS),
        lambda: emit_literal_tree(RECORDS),
    ),
    (
        "emit_literal_tree: unsupported value",
        refused(native_tree.emit_literal_tree, [1, (2,)]),
        refused(emit_literal_tree, [1, (2,)]),
    ),
    (
        "validate_options: single value",
        lambda: native_opts("black", options=OPTIONS),
        lambda: validate_options("black", options=OPTIONS),
    ),
    (
        "validate_options: list value",
        lambda: native_opts(["red", "white", "cyan"], options=OPTIONS),
        lambda: validate_options(["red", "white", "cyan"], options=OPTIONS),
    ),
    (
        "validate_options: mismatch",
        refused(native_opts, "pink", OPTIONS),
        refused(validate_options, "pink", OPTIONS),
    ),
    (
        "calculate_model_digest: schema",
        lambda: native_digest(SCHEMA),
        lambda: calculate_model_digest(SCHEMA),
    ),
    (
        "convert_data_to_base64: text",
        lambda: native_b64(TEXT),
        lambda: convert_data_to_base64(TEXT),
    ),
    (
        "convert_data_to_base64: canonical base64",
        lambda: native_b64(ENCODED),
        lambda: convert_data_to_base64(ENCODED),
    ),
    (
        "convert_data_to_base64: raw bytes",
        lambda: native_b64(RAW),
        lambda: convert_data_to_base64(RAW),
    ),
]


ROUNDS = 15


def timed(operation: Callable[[], object], number: int) -> float:
    return timeit.Timer(operation).timeit(number)


def same(a: object, b: object) -> bool:
    if isinstance(a, ast.AST):
        return ast.dump(a) == ast.dump(b)  # type: ignore[arg-type]
    return a == b


def main() -> None:
    # The ast constructors warn on 3.12 for both versions alike; printing them adds noise only.
    warnings.simplefilter("ignore", DeprecationWarning)
    width = max(len(name) for name, _, _ in CASES)
    print(f"{'case':<{width}}  native/python")
    for name, native, python in CASES:
        # Same results first, so the timing compares like with like.
        assert same(native(), python()), name
        # Short alternating bursts, keeping the fastest of each: on a shared machine the
        # fastest burst is the one least disturbed by other load, and drift hits both alike.
        number = max(1, timeit.Timer(python).autorange()[0] // 10)
        native_time = python_time = float("inf")
        for _ in range(ROUNDS):
            native_time = min(native_time, timed(native, number))
            python_time = min(python_time, timed(python, number))
        print(f"{name:<{width}}  {native_time / python_time:.2f}")


if __name__ == "__main__":
    main()
