# The host pieces assembled the way the generator uses them: schema files in, model modules out,
# imported and validating data. The class statement is put together here as the generator would.
import ast
import importlib
import json
import sys
from datetime import date

import astor
import pytest
from pydantic import ValidationError

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.builder.ast_generator.helpers.build_assign_node import build_assign_node
from velkor_models.classes.model import Model, Reference, TypeModel
from velkor_models.classes.records.dependencies import DependencyModelNames
from velkor_models.schemas.loaders.base import ConfigReaderMixin
from velkor_utils.models.enums import SchemaTypes
from velkor_utils.models.records.core import TypeData
from velkor_utils.models.records.schema import ObjectSchema


def _generate_module(schema: ObjectSchema, package: str, names: DependencyModelNames) -> str:
    """Writes one model module the way the generator assembles it, with the host pieces only."""
    collector = AstDependencyGenerator(models_module_name=package, model_names=names)
    collector.add_ignore_type_name(schema.name)
    base = TypeModel if schema.schema_type == SchemaTypes.TYPE.name else Model
    collector.add_python_type_dependency(base)
    body = [
        build_assign_node(
            target_name=name,
            type_data=TypeData(type=config.type, items=config.items),
            is_required=name in schema.required,
            value=config.default,
            ast_dependency_generator=collector,
        )
        for name, config in schema.properties.items()
    ]
    class_node = ast.ClassDef(
        name=schema.name,
        bases=[ast.Name(id=base.__name__, ctx=ast.Load())],
        keywords=[],
        body=body,
        decorator_list=[],
        type_params=[],
    )
    return astor.to_source(collector.ast_module) + "\n\n" + astor.to_source(class_node)


@pytest.fixture
def generated_package(tmp_path, monkeypatch):
    package = "host_generated_models"
    (tmp_path / package).mkdir()
    (tmp_path / package / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield tmp_path / package
    for name in [name for name in sys.modules if name.split(".")[0] == package]:
        del sys.modules[name]


def test_generated_modules_import_and_validate(tmp_path, generated_package):
    (tmp_path / "address").mkdir()
    (tmp_path / "address" / "model.json").write_text(
        json.dumps(
            {
                "name": "PostalAddress",
                "schema_type": "TYPE",
                "module": "address",
                "properties": {"city": {"type": "string"}, "zip": {"type": "string"}},
                "required": ["city"],
            }
        )
    )
    (tmp_path / "customer").mkdir()
    (tmp_path / "customer" / "model.json").write_text(
        json.dumps(
            {
                "name": "Customer",
                "properties": {
                    "name": {"type": "string"},
                    "tags": {"type": "array", "items": "string", "default": ["new"]},
                    "home": {"type": ["PostalAddress", "Reference"]},
                    "since": {"type": "date"},
                },
                "required": ["name"],
            }
        )
    )
    reader = ConfigReaderMixin()
    schemas = [
        schema
        for folder in ("address", "customer")
        for schema in reader.read_configs_from_file(tmp_path / folder / "model.json")
    ]
    names = DependencyModelNames.from_schemas(schemas)
    for schema in schemas:
        source = _generate_module(schema, generated_package.name, names)
        (generated_package / f"{names.get_module(schema.name)}.py").write_text(source)

    customer_cls = importlib.import_module(f"{generated_package.name}.customer").Customer
    customer = customer_cls(name="Ada", home={"city": "Oslo"}, since="2024-02-29")
    assert customer.tags == ["new"]
    assert customer.home.city == "Oslo" and customer.home.zip is None
    assert customer.since == date(2024, 2, 29)
    assert customer_cls(name="Bo", home={"id": "c-1"}).home == Reference(id="c-1")
    with pytest.raises(ValidationError):
        customer_cls(home={"city": "Oslo"})
    with pytest.raises(ValidationError):
        customer_cls(name="Ada", nickname="A")
