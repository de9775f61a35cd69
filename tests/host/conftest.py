import pytest

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.records.dependencies import DependencyModelNames


@pytest.fixture
def make_collector():
    """Makes import collectors for the models package "app.models", with explicit modules."""

    def make(**modules: str) -> AstDependencyGenerator:
        return AstDependencyGenerator(
            models_module_name="app.models", model_names=DependencyModelNames(modules=modules)
        )

    return make
