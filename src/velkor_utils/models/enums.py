from enum import Enum


class SchemaTypes(Enum):
    """The kinds of class schema an application can declare.

    Generated code refers to a member as ``SchemaTypes.<NAME>``, so only the member names are part
    of the generated text; the values are for humans reading a dump.
    """

    # A model with an identity of its own, generated on ``Model``.
    OBJECT = "object"
    # A value type embedded in other models, generated on ``TypeModel``.
    TYPE = "type"
