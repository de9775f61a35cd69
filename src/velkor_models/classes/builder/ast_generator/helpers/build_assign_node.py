import ast
from datetime import date, datetime
from typing import Any, Dict, List, Optional, Union

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.model import Reference
from velkor_utils.models.records.core import TypeData

# Schema type names written as a built-in class; nothing to import.
_BUILTIN_TYPES = {"string": str, "integer": int, "number": float, "boolean": bool}
# Schema type names written as an imported object.
_IMPORTED_TYPES = {"date": date, "datetime": datetime, "any": Any, "Reference": Reference}


def _name(identifier: str) -> ast.Name:
    return ast.Name(id=identifier, ctx=ast.Load())


def _subscript(generic: Any, slice_: ast.expr, deps: AstDependencyGenerator) -> ast.Subscript:
    deps.add_python_type_dependency(generic)
    return ast.Subscript(value=_name(generic.__name__), slice=slice_, ctx=ast.Load())


def _type_node(
    type_names: str | list[str], items: str | list[str] | None, deps: AstDependencyGenerator
) -> ast.expr:
    """Returns the annotation for one type name, or a ``Union`` for several."""
    names = [type_names] if isinstance(type_names, str) else list(dict.fromkeys(type_names))
    if not names:
        raise ValueError("Unsupported type: an empty list of type names")
    if len(names) > 1:
        # The forge recognises Union[..., Reference] by this exact shape: a plain Name "Union"
        # subscripted by a Tuple of the alternatives.
        alternatives = [_type_node(name, items, deps) for name in names]
        return _subscript(Union, ast.Tuple(elts=alternatives, ctx=ast.Load()), deps)
    name = names[0]
    if name in _BUILTIN_TYPES:
        return _name(_BUILTIN_TYPES[name].__name__)
    if name in _IMPORTED_TYPES:
        obj = _IMPORTED_TYPES[name]
        deps.add_python_type_dependency(obj)
        return _name(obj.__name__)
    if name == "object":
        key_and_value = ast.Tuple(
            elts=[_name(str.__name__), _type_node("any", None, deps)], ctx=ast.Load()
        )
        return _subscript(Dict, key_and_value, deps)
    if name == "array":
        if not items:
            raise ValueError("Unsupported type: an array needs the type of its items")
        if items == "array" or (isinstance(items, list) and "array" in items):
            raise ValueError("Unsupported type: an array of arrays has no type for its inner items")
        return _subscript(List, _type_node(items, None, deps), deps)
    if not name.isidentifier():
        raise ValueError(f"Unsupported type: {name!r}")
    # Any other name is another generated model; the collector knows its module.
    deps.add_model_type_dependency(name)
    return _name(name)


def _literal_node(value: Any) -> ast.expr:
    """Returns the literal display of a JSON value."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return ast.Constant(value=value)
    if isinstance(value, (list, tuple)):
        return ast.List(elts=[_literal_node(element) for element in value], ctx=ast.Load())
    if isinstance(value, dict):
        return ast.Dict(
            keys=[_literal_node(key) for key in value],
            values=[_literal_node(element) for element in value.values()],
        )
    raise ValueError(f"Unsupported default value of type {type(value).__name__}: {value!r}")


def build_assign_node(
    *,
    target_name: str,
    type_data: TypeData,
    is_required: bool,
    value: Any,
    ast_dependency_generator: AstDependencyGenerator,
) -> ast.AnnAssign:
    """Builds the annotated class attribute of one model property.

    A property that is not required is ``Optional`` and defaults to ``value`` (None when absent);
    a required one has no value unless a default is given.

    Args:
        target_name: The property name.
        type_data: The property's type name(s) and, for arrays, item type name(s).
        is_required: Whether the property must be given.
        value: The default value, a JSON value; None for none.
        ast_dependency_generator: Receives every object and model the annotation uses.

    Returns:
        ast.AnnAssign: The statement ``name: T`` or ``name: T = value``.

    Raises:
        ValueError: An array without items, a type name that is no identifier, or a default
            that is not a JSON value.
    """
    if not target_name.isidentifier():
        raise ValueError(f"Property name {target_name!r} is not a valid identifier")
    annotation = _type_node(type_data.type, type_data.items, ast_dependency_generator)
    default = None if value is None else _literal_node(value)
    if not is_required:
        annotation = _subscript(Optional, annotation, ast_dependency_generator)
        if default is None:
            default = ast.Constant(value=None)
    return ast.AnnAssign(
        target=ast.Name(id=target_name, ctx=ast.Store()),
        annotation=annotation,
        value=default,
        simple=1,
    )
