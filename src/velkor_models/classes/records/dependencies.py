import re
from collections.abc import Iterable
from typing import Protocol

from pydantic import BaseModel, ConfigDict, Field

# A boundary inside a CamelCase name: before an upper-case letter that follows a lower-case letter
# or a digit, and before the last capital of an acronym that starts a new word (HTTPServer).
_WORD_BOUNDARY = re.compile(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])")


def to_snake_case(class_name: str) -> str:
    """Returns the snake_case form of a CamelCase class name, e.g. "HTTPServer" -> "http_server"."""
    return _WORD_BOUNDARY.sub("_", class_name).lower()


class _NamedSchema(Protocol):
    name: str
    module: str | None


class DependencyModelNames(BaseModel):
    """Where each generated model class lives inside the generated package.

    Attributes:
        modules: Module (file stem) by model class name, for the classes whose module is not
            simply the snake_case form of their name.
    """

    model_config = ConfigDict(extra="forbid")

    modules: dict[str, str] = Field(default_factory=dict)

    @classmethod
    def from_schemas(cls, schemas: Iterable[_NamedSchema]) -> "DependencyModelNames":
        """Builds the table from class schemas, each with a ``name`` and an optional ``module``."""
        return cls(modules={s.name: s.module or to_snake_case(s.name) for s in schemas})

    def get_module(self, model_name: str) -> str:
        """Returns the module that defines the model of that name."""
        return self.modules.get(model_name) or to_snake_case(model_name)
