import ast

import astor
import pytest

from velkor_models.classes.builder.ast_generator.helpers.build_assign_node import build_assign_node
from velkor_utils.models.records.core import TypeData


@pytest.mark.parametrize(
    ("type_", "items", "is_required", "value", "source", "imports"),
    [
        ("string", None, True, None, "name: str", ""),
        ("integer", None, False, 3, "name: Optional[int] = 3", "from typing import Optional\n"),
        ("number", None, True, -1.5, "name: float = -1.5", ""),
        (
            "boolean",
            None,
            False,
            None,
            "name: Optional[bool] = None",
            "from typing import Optional\n",
        ),
        ("date", None, True, None, "name: date", "from datetime import date\n"),
        ("datetime", None, True, None, "name: datetime", "from datetime import datetime\n"),
        ("any", None, True, None, "name: Any", "from typing import Any\n"),
        (
            "array",
            "string",
            False,
            ["a", "b"],
            "name: Optional[List[str]] = ['a', 'b']",
            "from typing import List, Optional\n",
        ),
        (
            "array",
            ["string", "integer"],
            True,
            None,
            "name: List[Union[str, int]]",
            "from typing import List, Union\n",
        ),
        (
            "object",
            None,
            False,
            {"k": [1, None, True]},
            "name: Optional[Dict[str, Any]] = {'k': [1, None, True]}",
            "from typing import Any, Dict, Optional\n",
        ),
        ("Address", None, True, None, "name: Address", "from app.models.address import Address\n"),
        (
            "Reference",
            None,
            True,
            None,
            "name: Reference",
            "from velkor_models.classes.model import Reference\n",
        ),
        (
            ["Address", "Reference"],
            None,
            False,
            None,
            "name: Optional[Union[Address, Reference]] = None",
            "from app.models.address import Address\n"
            "from typing import Optional, Union\n"
            "from velkor_models.classes.model import Reference\n",
        ),
    ],
)
def test_build_assign_node_maps_types_requiredness_and_defaults(
    make_collector, type_, items, is_required, value, source, imports
):
    collector = make_collector()
    node = build_assign_node(
        target_name="name",
        type_data=TypeData(type=type_, items=items),
        is_required=is_required,
        value=value,
        ast_dependency_generator=collector,
    )
    assert astor.to_source(ast.Module(body=[node], type_ignores=[])) == source + "\n"
    assert astor.to_source(collector.ast_module) == imports


def test_union_keeps_the_shape_the_forge_recognises(make_collector):
    node = build_assign_node(
        target_name="home",
        type_data=TypeData(type=["Address", "Reference"], items=None),
        is_required=False,
        value={"id": "x"},
        ast_dependency_generator=make_collector(),
    )
    assert isinstance(node, ast.AnnAssign) and node.simple == 1
    assert isinstance(node.target, ast.Name) and isinstance(node.target.ctx, ast.Store)
    optional = node.annotation
    assert isinstance(optional, ast.Subscript) and optional.value.id == "Optional"
    union = optional.slice
    assert isinstance(union, ast.Subscript) and isinstance(union.value, ast.Name)
    assert union.value.id == "Union"
    assert isinstance(union.slice, ast.Tuple)
    assert [element.id for element in union.slice.elts] == ["Address", "Reference"]
    assert ast.unparse(node) == "home: Optional[Union[Address, Reference]] = {'id': 'x'}"


@pytest.mark.parametrize(
    ("type_", "items", "value", "message"),
    [
        ("array", None, None, "items"),
        ("array", "array", None, "array of arrays"),
        ("not a type", None, None, "Unsupported type"),
        ([], None, None, "empty list"),
        ("string", None, object(), "Unsupported default"),
    ],
)
def test_build_assign_node_refuses_what_it_cannot_write(
    make_collector, type_, items, value, message
):
    with pytest.raises(ValueError, match=message):
        build_assign_node(
            target_name="name",
            type_data=TypeData(type=type_, items=items),
            is_required=True,
            value=value,
            ast_dependency_generator=make_collector(),
        )
