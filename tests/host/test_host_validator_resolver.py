# Needs the native choice_checks module: the resolver hands its validate_options to generated code.
import pytest

from velkor_models.classes.builder.validator_resolver import ValidatorResolver
from velkor_models.classes.builder.validators.choice_checks import validate_options
from velkor_utils.models.records.schema import PropertyData


def test_options_give_one_validator_entry():
    config = PropertyData(type="string", options=["red", "green"])
    entries = ValidatorResolver.process_property("colour", config)
    assert entries == [("validate_colour_options", validate_options, ["red", "green"])]
    ((_, validator, options),) = entries
    assert options is not config.options
    assert validator("red", options=options) == "red"
    with pytest.raises(ValueError, match="doesn't match available options"):
        validator("blue", options=options)


@pytest.mark.parametrize("options", [None, []])
def test_no_options_no_validator(options):
    config = PropertyData(type="string", options=options)
    assert list(ValidatorResolver.process_property("colour", config)) == []
