from collections.abc import Callable
from typing import Any

from velkor_models.classes.builder.validators.choice_checks import validate_options
from velkor_utils.models.records.schema import PropertyData

# (method name, validator called by the method, options passed to it or None)
ValidatorEntry = tuple[str, Callable[..., Any], list[Any] | None]


class ValidatorResolver:
    """Derives the validator methods a generated class needs for a property."""

    @staticmethod
    def process_property(property_name: str, property_config: PropertyData) -> list[ValidatorEntry]:
        """Returns one entry per validation rule that the property's configuration asks for.

        Args:
            property_name: The property the validators check.
            property_config: The property's schema.

        Returns:
            list[ValidatorEntry]: The method name, the validator and its options, per rule.
        """
        entries: list[ValidatorEntry] = []
        if property_config.options:
            entries.append(
                (
                    f"validate_{property_name}_options",
                    validate_options,
                    list(property_config.options),
                )
            )
        return entries
