from pydantic import BaseModel, ConfigDict


class TypeData(BaseModel):
    """The type of one property, as the assignment builder receives it.

    Attributes:
        type: A type name, or a list of names for a union.
        items: For an array, the element type name (or names, for a union of element types).
    """

    model_config = ConfigDict(extra="forbid")

    type: str | list[str]
    items: str | list[str] | None = None
