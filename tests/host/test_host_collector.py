import ast
import sys
from datetime import date, datetime
from typing import Any

import astor
import pytest
from pydantic import Field, field_validator

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.model import Model
from velkor_models.classes.records.dependencies import DependencyModelNames, to_snake_case
from velkor_utils.models.records.schema import ObjectSchema


def test_import_block_is_sorted_deduplicated_and_skips_ignored_names(make_collector):
    custom = ast.parse(
        "import json\nfrom typing import Any\nfrom other import Customer\nfrom .helpers import slug"
    )
    registrations = [
        lambda g: g.add_python_type_dependency(field_validator),
        lambda g: g.add_python_type_dependency(field_validator),
        lambda g: g.add_python_type_dependency(datetime),
        lambda g: g.add_python_type_dependency(date),
        lambda g: g.add_python_type_dependency(Any),
        lambda g: g.add_python_type_dependency(str),
        lambda g: g.add_python_type_dependency(Model),
        lambda g: g.add_model_type_dependency("Address"),
        lambda g: g.add_model_type_dependency("Customer"),
        lambda g: g.add_model_type_dependency("Customer"),
        *[lambda g, node=node: g.add_ast_import_node(node) for node in custom.body],
    ]
    expected = (
        "import json\n"
        "from app.models.addresses import Address\n"
        "from datetime import date, datetime\n"
        "from pydantic import field_validator\n"
        "from typing import Any\n"
        "from velkor_models.classes.model import Model\n"
        "from .helpers import slug\n"
    )
    forward, backward = make_collector(Address="addresses"), make_collector(Address="addresses")
    # One collector learns the ignored name first, the other last.
    forward.add_ignore_type_name("Customer")
    for register in registrations:
        register(forward)
    for register in reversed(registrations):
        register(backward)
    backward.add_ignore_type_name("Customer")
    assert astor.to_source(forward.ast_module) == expected
    assert astor.to_source(backward.ast_module) == expected


def test_ast_module_is_built_afresh_on_each_read(make_collector):
    collector = make_collector()
    collector.add_python_type_dependency(Field)
    first = collector.ast_module
    first.body.clear()
    assert astor.to_source(collector.ast_module) == "from pydantic import Field\n"
    assert collector.ast_module is not collector.ast_module


def test_model_module_falls_back_to_snake_case_of_the_name():
    collector = AstDependencyGenerator(
        models_module_name="shop.generated", model_names=DependencyModelNames()
    )
    collector.add_model_type_dependency("OrderItem")
    assert (
        astor.to_source(collector.ast_module) == "from shop.generated.order_item import OrderItem\n"
    )


def test_object_of_a_module_not_loaded_is_imported_without_loading_it(make_collector):
    # A module that is not loaded cannot be checked and must not be imported to check it.
    fake = type("Fake", (), {})
    fake.__module__ = "not_a_loaded_module.sub"
    collector = make_collector()
    collector.add_python_type_dependency(fake)
    assert "not_a_loaded_module" not in sys.modules
    assert astor.to_source(collector.ast_module) == "from not_a_loaded_module.sub import Fake\n"


def _local_function():
    def inner():
        return None

    return inner


@pytest.mark.parametrize(
    ("register", "error"),
    [
        (lambda g: g.add_python_type_dependency(lambda value: value), ValueError),
        (lambda g: g.add_python_type_dependency(_local_function()), ValueError),
        (lambda g: g.add_python_type_dependency(3), TypeError),
        (lambda g: g.add_model_type_dependency(""), ValueError),
        (lambda g: g.add_model_type_dependency("not a name"), ValueError),
        (lambda g: g.add_ast_import_node(ast.Pass()), TypeError),
    ],
    ids=["lambda", "local-function", "no-name", "empty-model", "bad-model", "not-an-import"],
)
def test_registrations_that_no_import_can_satisfy_are_refused(make_collector, register, error):
    collector = make_collector()
    with pytest.raises(error):
        register(collector)
    assert astor.to_source(collector.ast_module) == ""


def test_models_module_name_must_be_a_dotted_name():
    with pytest.raises(ValueError, match="dotted module name"):
        AstDependencyGenerator(models_module_name="app models", model_names=DependencyModelNames())


@pytest.mark.parametrize(
    ("class_name", "module"),
    [
        ("User", "user"),
        ("OrderItem", "order_item"),
        ("HTTPServer", "http_server"),
        ("UserV2Data", "user_v2_data"),
        ("already_snake", "already_snake"),
    ],
)
def test_snake_case_module_names(class_name, module):
    assert to_snake_case(class_name) == module


def test_dependency_model_names_from_schemas_prefers_the_declared_module():
    names = DependencyModelNames.from_schemas(
        [ObjectSchema(name="OrderItem"), ObjectSchema(name="Customer", module="people")]
    )
    assert names.modules == {"OrderItem": "order_item", "Customer": "people"}
    assert names.get_module("Customer") == "people"
    assert names.get_module("Unlisted") == "unlisted"
