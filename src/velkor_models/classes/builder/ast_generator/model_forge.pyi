import ast

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.constants import BASE_OBJECT_TYPE as BASE_OBJECT_TYPE
from velkor_models.classes.model import Model, TypeModel
from velkor_models.classes.records.dependencies import DependencyModelNames
from velkor_utils.models.enums import SchemaTypes
from velkor_utils.models.records.schema import PropertyData

class AstModelForge:
    _base_class: type[Model | TypeModel]
    _class_definition: ast.ClassDef
    _ast_dependency_generator: AstDependencyGenerator
    def __init__(
        self,
        models_module_name: str,
        base_class: type[Model | TypeModel],
        model_names: DependencyModelNames,
    ) -> None: ...
    def register_class(self, class_name: str, extend_type: str) -> None: ...
    def add_class_data(self, schema_type: SchemaTypes, class_fingerprint: str) -> None: ...
    def add_class_property(
        self, property_name: str, property_config: PropertyData, *, is_required: bool
    ) -> None: ...
    def add_properties_validators(self, property_name: str, property_config: PropertyData) -> None: ...
    def add_class_custom_code(self, custom_code: str) -> None: ...
    @property
    def model_source(self) -> str: ...
    @property
    def dependencies_source(self) -> str: ...
    def _set_union_mode(self, node: ast.AnnAssign | ast.stmt) -> None: ...
