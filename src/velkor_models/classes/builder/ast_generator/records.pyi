from functools import cached_property
from typing import Any, Optional, Union

from pydantic import BaseModel

class PropertyAst(BaseModel):
    name: str
    types: list[Union[NestedPropertyTypeAst, PropertyValueAst]]
    value: Optional[PropertyValueAst] = None
    @property
    def ast(self) -> Any: ...

class PropertyValueAst(BaseModel):
    attr: tuple[str, str] | None = None
    name: str | None = None
    constant: Any | None = None
    @property
    def ast(self) -> Any: ...

class NestedPropertyTypeAst(BaseModel):
    root: PropertyValueAst
    child: list[PropertyValueAst]
    @property
    def ast(self) -> Any: ...

class CustomCodeAst(BaseModel):
    custom_code: str
    @cached_property
    def ast_module(self) -> Any: ...
    @property
    def ast(self) -> list[Any]: ...
    @property
    def ast_imports(self) -> list[Any]: ...

def join_property_values(
    items: list[Union[NestedPropertyTypeAst, PropertyValueAst]] | list[PropertyValueAst],
) -> Any: ...
