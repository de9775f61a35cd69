import ast
import sys
from typing import Any, NamedTuple

from velkor_models.classes.records.dependencies import DependencyModelNames


class _ImportEntry(NamedTuple):
    """One imported name: ``import name`` when ``module`` is None and ``level`` 0, else a
    from-import (``from . import name`` has no module but a level)."""

    level: int
    module: str | None
    name: str
    asname: str | None

    @property
    def is_plain(self) -> bool:
        return self.module is None and self.level == 0

    @property
    def bound_name(self) -> str:
        """The name the import statement binds in the importing module."""
        if self.asname:
            return self.asname
        # ``import a.b`` binds ``a``.
        return self.name.partition(".")[0] if self.is_plain else self.name

    @property
    def sort_key(self) -> tuple[bool, int, str, str, str]:
        return (not self.is_plain, self.level, self.module or "", self.name, self.asname or "")


def _is_identifier(name: str) -> bool:
    return isinstance(name, str) and name.isidentifier()


def _is_dotted_name(name: str) -> bool:
    return isinstance(name, str) and all(part.isidentifier() for part in name.split("."))


class AstDependencyGenerator:
    """Collects the imports that one generated model class needs.

    The generator registers outside objects, other generated models and the import statements of
    the class's custom code while it builds the class; ``ast_module`` then gives the import block.
    Registrations are sets: repeating one changes nothing, and the output order depends only on
    what was registered, never on the order of registration.

    Attributes:
        ast_module: A new ``ast.Module`` holding the collected import statements.
    """

    def __init__(self, *, models_module_name: str, model_names: DependencyModelNames) -> None:
        if not _is_dotted_name(models_module_name):
            raise ValueError(
                f"models_module_name {models_module_name!r} is not a dotted module name"
            )
        self._models_module_name = models_module_name
        self._model_names = model_names
        self._ignored_names: set[str] = set()
        self._entries: set[_ImportEntry] = set()

    def add_ignore_type_name(self, name: str) -> None:
        """Never imports ``name``, whatever registers it before or after."""
        self._ignored_names.add(name)

    def add_python_type_dependency(self, obj: Any) -> None:
        """Imports ``obj`` by its module and name; built-ins need no import.

        Raises:
            TypeError: The object has no ``__module__`` or ``__name__``.
            ValueError: Its module, already loaded, does not offer it under its name (a local
                function or a lambda), so no import statement could reach it.
        """
        module_name = getattr(obj, "__module__", None)
        name = getattr(obj, "__name__", None)
        if not isinstance(module_name, str) or not isinstance(name, str):
            raise TypeError(f"cannot import {obj!r}: it has no __module__ and __name__")
        if module_name == "builtins":
            return
        module = sys.modules.get(module_name)
        if module is not None and getattr(module, name, None) is not obj:
            raise ValueError(
                f"cannot import {obj!r}: module {module_name} has no {name} at top level"
            )
        self._entries.add(_ImportEntry(0, self._public_module(module_name, name, obj), name, None))

    def add_model_type_dependency(self, type_name: str) -> None:
        """Imports the generated model ``type_name`` from its module in the models package."""
        if not _is_identifier(type_name):
            raise ValueError(f"model type name {type_name!r} is not a valid identifier")
        module = f"{self._models_module_name}.{self._model_names.get_module(type_name)}"
        self._entries.add(_ImportEntry(0, module, type_name, None))

    def add_ast_import_node(self, node: ast.Import | ast.ImportFrom) -> None:
        """Keeps the names that an import statement of the class's custom code imports."""
        if isinstance(node, ast.ImportFrom):
            for alias in node.names:
                self._entries.add(
                    _ImportEntry(node.level or 0, node.module, alias.name, alias.asname)
                )
        elif isinstance(node, ast.Import):
            for alias in node.names:
                self._entries.add(_ImportEntry(0, None, alias.name, alias.asname))
        else:
            raise TypeError(
                f"expected an ast.Import or ast.ImportFrom node, got {type(node).__name__}"
            )

    @property
    def ast_module(self) -> ast.Module:
        """Builds the import block: plain imports first, then one from-import per module.

        Both kinds are sorted; names that were asked to be ignored are left out.
        """
        entries = sorted(
            (e for e in self._entries if e.bound_name not in self._ignored_names),
            key=lambda entry: entry.sort_key,
        )
        body: list[ast.stmt] = []
        for entry in entries:
            alias = ast.alias(name=entry.name, asname=entry.asname)
            previous = body[-1] if body else None
            if entry.is_plain:
                body.append(ast.Import(names=[alias]))
            elif (
                isinstance(previous, ast.ImportFrom)
                and previous.module == entry.module
                and previous.level == entry.level
            ):
                previous.names.append(alias)
            else:
                body.append(ast.ImportFrom(module=entry.module, names=[alias], level=entry.level))
        return ast.Module(body=body, type_ignores=[])

    @staticmethod
    def _public_module(module_name: str, name: str, obj: Any) -> str:
        """Returns the shortest loaded parent package that exports ``obj`` as ``name``.

        ``field_validator`` lives in ``pydantic.functional_validators`` but is meant to be
        imported from ``pydantic``. Only packages already in ``sys.modules`` are asked, so finding
        the public name never imports anything new.
        """
        parts = module_name.split(".")
        for end in range(1, len(parts)):
            package_name = ".".join(parts[:end])
            package = sys.modules.get(package_name)
            if package is not None and getattr(package, name, None) is obj:
                return package_name
        return module_name
