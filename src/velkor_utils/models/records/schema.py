import keyword
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator, model_validator

from velkor_utils.models.enums import SchemaTypes

# Same literal as velkor_models.classes.constants.BASE_OBJECT_TYPE. It is repeated rather than
# imported so that this library does not depend on the package it serves; a test keeps them equal.
BASE_OBJECT_TYPE = "BaseObject"

# Class variables every generated model defines; a property of the same name would clash.
RESERVED_PROPERTY_NAMES = frozenset({"schema_type", "class_fingerprint"})


def _check_identifier(value: str, what: str) -> str:
    if not value.isidentifier() or keyword.iskeyword(value):
        raise ValueError(f"{what} {value!r} is not a valid Python identifier")
    return value


class PropertyData(BaseModel):
    """One property of a class schema, as an application author writes it.

    Attributes:
        type: A type name ("string", "integer", "number", "boolean", "date", "datetime", "any",
            "object", "array", "Reference" or the name of another model), or a list of names for
            a union.
        items: The element type name (or names) when the type is "array"; otherwise None.
        default: The default value, a JSON value; None means no default.
        options: The values the property may take; a list value must take them element-wise.
        options_set: The name of an application option set that supplies ``options``; the
            command line resolves it into ``options`` before generation.
        description: Free text for the reader of the schema.
    """

    model_config = ConfigDict(extra="forbid")

    type: str | list[str]
    items: str | list[str] | None = None
    default: Any = None
    options: list[Any] | None = None
    options_set: str | None = None
    description: str | None = None

    @field_validator("type", "items")
    @classmethod
    def _names_not_empty(cls, value: str | list[str] | None) -> str | list[str] | None:
        if isinstance(value, list) and not value:
            raise ValueError("a list of type names must not be empty")
        names = [value] if isinstance(value, str) else value or []
        if any(not name for name in names):
            raise ValueError("a type name must not be empty")
        return value

    @model_validator(mode="after")
    def _array_has_items(self) -> "PropertyData":
        names = [self.type] if isinstance(self.type, str) else self.type
        if "array" in names and self.items is None:
            raise ValueError("a property of type 'array' needs 'items'")
        return self


class ObjectSchema(BaseModel):
    """The schema of one generated model class, read from an application's model.json.

    Attributes:
        name: The class name.
        schema_type: The name of a ``SchemaTypes`` member: "OBJECT" or "TYPE".
        extends: The base: "BaseObject" for the generator's own base class, or another model's
            name.
        module: The module (file stem) of the generated class; None derives it from the name.
        properties: The properties, by name, in the order the class declares them.
        required: The names of the properties that must be given.
        custom_code: Python source placed in the class body; its imports join the import block.
        description: Free text for the reader of the schema.
    """

    model_config = ConfigDict(extra="forbid")

    name: str
    schema_type: str = SchemaTypes.OBJECT.name
    extends: str = BASE_OBJECT_TYPE
    module: str | None = None
    properties: dict[str, PropertyData] = Field(default_factory=dict)
    required: list[str] = Field(default_factory=list)
    custom_code: str = ""
    description: str | None = None

    @field_validator("name", "extends")
    @classmethod
    def _class_name(cls, value: str) -> str:
        return _check_identifier(value, "class name")

    @field_validator("module")
    @classmethod
    def _module_name(cls, value: str | None) -> str | None:
        return value if value is None else _check_identifier(value, "module name")

    @field_validator("schema_type")
    @classmethod
    def _schema_type_member(cls, value: str) -> str:
        name = value.upper()
        if name not in SchemaTypes.__members__:
            known = ", ".join(SchemaTypes.__members__)
            raise ValueError(f"schema_type {value!r} is not one of {known}")
        return name

    @field_validator("properties")
    @classmethod
    def _property_names(cls, value: dict[str, PropertyData]) -> dict[str, PropertyData]:
        for name in value:
            _check_identifier(name, "property name")
            # pydantic keeps underscore names as private attributes, not fields.
            if name.startswith("_"):
                raise ValueError(f"property name {name!r} must not start with an underscore")
            if name in RESERVED_PROPERTY_NAMES:
                raise ValueError(f"property name {name!r} is reserved for generated class data")
        return value

    @model_validator(mode="after")
    def _required_are_properties(self) -> "ObjectSchema":
        unknown = [name for name in self.required if name not in self.properties]
        if unknown:
            raise ValueError(f"required lists names that are not properties: {', '.join(unknown)}")
        return self
