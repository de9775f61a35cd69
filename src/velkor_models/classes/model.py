from typing import ClassVar

from pydantic import BaseModel, ConfigDict

from velkor_utils.models.enums import SchemaTypes


class Model(BaseModel):
    """Base of the generated models that have an identity of their own.

    Unknown fields are refused, so that a typo in the data fails instead of vanishing, and
    assignments are validated like construction.

    Attributes:
        schema_type: The kind of schema the class was generated from; set by each generated class.
        class_fingerprint: The fingerprint of that schema; set by each generated class.
    """

    model_config = ConfigDict(extra="forbid", validate_assignment=True)

    schema_type: ClassVar[SchemaTypes | None] = None
    class_fingerprint: ClassVar[str | None] = None


class TypeModel(BaseModel):
    """Base of the generated value types that are embedded in other models.

    A value has no identity, so instances are frozen: they compare, and hash when their fields
    do, by value.

    Attributes:
        schema_type: The kind of schema the class was generated from; set by each generated class.
        class_fingerprint: The fingerprint of that schema; set by each generated class.
    """

    model_config = ConfigDict(extra="forbid", frozen=True)

    schema_type: ClassVar[SchemaTypes | None] = None
    class_fingerprint: ClassVar[str | None] = None


class Reference(TypeModel):
    """A reference to another object by its identifier.

    Attributes:
        id: The identifier of the referenced object.
        model: The name of the referenced object's model, when the reference does not imply it.
    """

    id: str
    model: str | None = None
