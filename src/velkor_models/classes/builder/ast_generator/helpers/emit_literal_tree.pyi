import ast
from typing import Any

def emit_literal_tree(
    dictionary: dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None,
) -> ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant: ...
