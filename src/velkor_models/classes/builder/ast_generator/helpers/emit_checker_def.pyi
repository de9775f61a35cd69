import ast
from collections.abc import Callable
from typing import Any

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator

def emit_checker_def(
    prop_name: str,
    validator_name: str,
    ast_dependency_generator: AstDependencyGenerator,
    validator: Callable[[type, Any], Any],
    options: list[Any] | None = None,
) -> ast.FunctionDef | ast.stmt: ...
