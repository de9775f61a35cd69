from typing import Any

from pydantic import BaseModel, ConfigDict


class OptionSchema(BaseModel):
    """A named set of allowed values that properties refer to by ``options_set``.

    Attributes:
        name: The name properties use to refer to the set.
        options: The allowed values, JSON values.
        description: Free text for the reader of the set.
    """

    model_config = ConfigDict(extra="forbid")

    name: str
    options: list[Any]
    description: str | None = None
