"""Times one model generation through the native forge against a pure-Python forge.

Both forges get the same inputs in the same run and share the host collaborators and the
records; the Python side also has its own validator-method builder, so that both sides build
the same tree with code of their own kind. Two ratios are printed (native time / Python time):
the whole generation, which the formatters dominate, and the tree building alone.

Run: python bench/bench_forge.py
The dev install is an unoptimised Debug build; for figures that mean something, install a
Release build first:
    pip install --no-build-isolation -e . -Cbuild-dir=build/release -Ccmake.build-type=Release
"""

from __future__ import annotations

import ast
import sys
import time
import timeit
from datetime import date, datetime
from functools import partial
from typing import Any, ClassVar

import astor
import black
import isort
from astor.source_repr import split_lines
from astor.string_repr import pretty_string
from pydantic import Field, field_validator

from velkor_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from velkor_models.classes.builder.ast_generator.helpers.build_assign_node import build_assign_node
from velkor_models.classes.builder.ast_generator.model_forge import AstModelForge
from velkor_models.classes.builder.ast_generator.records import (
    CustomCodeAst,
    NestedPropertyTypeAst,
    PropertyAst,
    PropertyValueAst,
)
from velkor_models.classes.builder.validator_resolver import ValidatorResolver
from velkor_models.classes.constants import BASE_OBJECT_TYPE
from velkor_models.classes.model import Model
from velkor_models.classes.records.dependencies import DependencyModelNames
from velkor_utils.models.enums import SchemaTypes
from velkor_utils.models.records.core import TypeData
from velkor_utils.models.records.schema import PropertyData


def py_emit_checker_def(
    prop_name, validator_name, ast_dependency_generator, validator, options=None
):
    call_kwargs = []
    if options:
        call_kwargs.append(
            ast.keyword(
                arg="options",
                value=ast.List(elts=[ast.Constant(value=o) for o in options], ctx=ast.Load()),
            )
        )
    for obj in (date, datetime, Any, field_validator, validator):
        ast_dependency_generator.add_python_type_dependency(obj)
    extra = {"type_params": []} if sys.version_info >= (3, 12) else {}
    return ast.FunctionDef(
        name=validator_name,
        args=ast.arguments(
            posonlyargs=[],
            args=[
                ast.arg(arg="cls", annotation=ast.Name(id=type.__name__, ctx=ast.Load())),
                ast.arg(arg="value", annotation=ast.Name(id=Any.__name__, ctx=ast.Load())),
            ],
            kwonlyargs=[],
            kw_defaults=[],
            defaults=[],
        ),
        body=[
            ast.Return(
                value=ast.Call(
                    func=ast.Name(id=validator.__name__, ctx=ast.Load()),
                    args=[ast.Name(id="value", ctx=ast.Load())],
                    keywords=call_kwargs,
                )
            )
        ],
        decorator_list=[
            ast.Call(
                func=ast.Name(id=field_validator.__name__, ctx=ast.Load()),
                args=[ast.Constant(value=prop_name)],
                keywords=[],
            ),
            ast.Name(id=classmethod.__name__, ctx=ast.Load()),
        ],
        returns=ast.Name(id=Any.__name__, ctx=ast.Load()),
        **extra,
    )


def _print(tree):
    return astor.to_source(
        tree,
        pretty_string=partial(pretty_string, max_line=120),
        pretty_source=lambda pieces: "".join(split_lines(pieces, maxline=120)),
    )


class PyAstModelForge:
    def __init__(self, models_module_name, base_class, model_names):
        self._base_class = base_class
        extra = {"type_params": []} if sys.version_info >= (3, 12) else {}
        self._class_definition = ast.ClassDef(
            name="", bases=[], keywords=[], body=[], decorator_list=[], **extra
        )
        self._ast_dependency_generator = AstDependencyGenerator(
            models_module_name=models_module_name, model_names=model_names
        )

    def register_class(self, class_name, extend_type):
        self._ast_dependency_generator.add_ignore_type_name(class_name)
        if extend_type == BASE_OBJECT_TYPE:
            base_name = self._base_class.__name__
            self._ast_dependency_generator.add_python_type_dependency(self._base_class)
        else:
            base_name = extend_type
            self._ast_dependency_generator.add_model_type_dependency(extend_type)
        self._class_definition.name = class_name
        self._class_definition.bases.append(ast.Name(id=base_name, ctx=ast.Load()))

    def add_class_data(self, schema_type, class_fingerprint):
        for obj in (SchemaTypes, ClassVar, date, datetime):
            self._ast_dependency_generator.add_python_type_dependency(obj)
        for name, inner, value in (
            (
                "schema_type",
                SchemaTypes,
                PropertyValueAst(attr=(SchemaTypes.__name__, schema_type.name)),
            ),
            ("class_fingerprint", str, PropertyValueAst(constant=class_fingerprint)),
        ):
            self._class_definition.body.append(
                PropertyAst(
                    name=name,
                    types=[
                        NestedPropertyTypeAst(
                            root=PropertyValueAst(name=ClassVar.__name__),
                            child=[PropertyValueAst(name=inner.__name__)],
                        )
                    ],
                    value=value,
                ).ast
            )

    def add_class_property(self, property_name, property_config, *, is_required):
        node = build_assign_node(
            target_name=property_name,
            type_data=TypeData(type=property_config.type, items=property_config.items),
            is_required=is_required,
            value=property_config.default,
            ast_dependency_generator=self._ast_dependency_generator,
        )
        self._set_union_mode(node)
        self._class_definition.body.append(node)

    def add_properties_validators(self, property_name, property_config):
        entries = sorted(ValidatorResolver.process_property(property_name, property_config))
        for validator_name, validator, options in entries:
            self._class_definition.body.append(
                py_emit_checker_def(
                    prop_name=property_name,
                    validator_name=validator_name,
                    validator=validator,
                    options=options,
                    ast_dependency_generator=self._ast_dependency_generator,
                )
            )

    def add_class_custom_code(self, custom_code):
        code = CustomCodeAst(custom_code=custom_code)
        for node in code.ast_imports:
            self._ast_dependency_generator.add_ast_import_node(node)
        for node in sorted(code.ast, key=lambda n: getattr(n, "name", "")):
            self._class_definition.body.append(node)

    @property
    def model_source(self):
        mode = black.FileMode(
            string_normalization=False,
            target_versions={black.TargetVersion.PY310},
            line_length=120,
        )
        return black.format_str(_print(self._class_definition), mode=mode)

    @property
    def dependencies_source(self):
        return isort.code(
            _print(self._ast_dependency_generator.ast_module),
            force_single_line=True,
            profile="black",
            line_length=120,
            order_by_type=True,
            known_third_party=["velkor_utils", "velkor_data", "velkor_models", "velkor"],
            known_first_party=["models"],
        )

    def _set_union_mode(self, node):
        if not isinstance(node, ast.AnnAssign) or not node.annotation:
            return
        if not isinstance(node.annotation, ast.Subscript):
            return
        outer = node.annotation
        if isinstance(outer.value, ast.Name) and outer.value.id == "Optional":
            outer = outer.slice
        if not isinstance(outer, ast.Subscript):
            return
        if not (isinstance(outer.value, ast.Name) and outer.value.id == "Union"):
            return
        if not isinstance(outer.slice, ast.Tuple):
            return
        if not any(getattr(e, "id", "") == "Reference" for e in outer.slice.elts):
            return
        self._ast_dependency_generator.add_python_type_dependency(Field)
        node.value = ast.Call(
            func=ast.Name(id="Field", ctx=ast.Load()),
            args=[node.value] if node.value else [],
            keywords=[ast.keyword(arg="union_mode", value=ast.Constant(value="left_to_right"))],
        )


NAMES = DependencyModelNames(modules={"PostalAddress": "address"})
PROPERTIES = {
    "name": PropertyData(type="string"),
    "age": PropertyData(type="integer"),
    "score": PropertyData(type="number", default=2.25),
    "active": PropertyData(type="boolean", default=True),
    "tags": PropertyData(type="array", items="string", default=["new"]),
    "birthday": PropertyData(type="date"),
    "created": PropertyData(type="datetime"),
    "color": PropertyData(type="string", options=["red", "green"], default="red"),
    "sizes": PropertyData(type="array", items="string", options=["S", "M", "L"]),
    "address": PropertyData(type="PostalAddress"),
    "owner": PropertyData(type=["PostalAddress", "Reference"]),
    "extra": PropertyData(type="object"),
}
REQUIRED = {"name"}
CUSTOM_CODE = """
import math
from datetime import timedelta

LIMIT: ClassVar[int] = 3

def radius(self) -> float:
    return math.sqrt(self.score)

def age_next_year(self):
    return (self.age or 0) + 1
"""


def build(forge_cls):
    forge = forge_cls("app.models", Model, NAMES)
    forge.register_class("Customer", BASE_OBJECT_TYPE)
    forge.add_class_data(SchemaTypes.OBJECT, "fingerprint")
    for name, config in PROPERTIES.items():
        forge.add_class_property(name, config, is_required=name in REQUIRED)
    for name, config in PROPERTIES.items():
        forge.add_properties_validators(name, config)
    forge.add_class_custom_code(CUSTOM_CODE)
    return forge


def generate(forge_cls):
    forge = build(forge_cls)
    return forge.dependencies_source, forge.model_source


class NullCollector:
    """A collector that does nothing: the host's registration cost taken out."""

    def __init__(self, **kwargs):
        self.ast_module = ast.Module(body=[], type_ignores=[])

    def add_ignore_type_name(self, name):
        pass

    add_python_type_dependency = add_model_type_dependency = add_ast_import_node = (
        add_ignore_type_name
    )


def quick_assign_node(*, target_name, type_data, is_required, value, ast_dependency_generator):
    """A stand-in for the host's assignment builder, the same fixed shape for every property."""
    return ast.AnnAssign(
        target=ast.Name(id=target_name, ctx=ast.Store()),
        annotation=ast.Subscript(
            value=ast.Name(id="Optional", ctx=ast.Load()),
            slice=ast.Subscript(
                value=ast.Name(id="Union", ctx=ast.Load()),
                slice=ast.Tuple(
                    elts=[
                        ast.Name(id="A", ctx=ast.Load()),
                        ast.Name(id="Reference", ctx=ast.Load()),
                    ],
                    ctx=ast.Load(),
                ),
                ctx=ast.Load(),
            ),
            ctx=ast.Load(),
        ),
        value=ast.Constant(value=None),
        simple=1,
    )


def with_host_stand_ins(op):
    """Runs `op` with the host collector and assignment builder replaced on both sides."""
    import velkor_models.classes.builder.ast_generator.model_forge as native_module

    this = sys.modules[__name__]
    saved = [
        (m, name, getattr(m, name))
        for m in (native_module, this)
        for name in ("AstDependencyGenerator", "build_assign_node")
    ]
    for m, name, _ in saved:
        setattr(m, name, NullCollector if name == "AstDependencyGenerator" else quick_assign_node)
    try:
        return op()
    finally:
        for m, name, value in saved:
            setattr(m, name, value)


def ratio(op_native, op_python, number, rounds=15):
    """Native time / Python time, the best of `rounds` alternating timings of `number` calls.

    CPU time of this process, not wall time: the machine is shared, and alternating the two
    sides spreads what noise remains evenly over both.
    """
    best_native = best_python = float("inf")
    for _ in range(rounds):
        native = timeit.Timer(op_native, timer=time.process_time)
        python = timeit.Timer(op_python, timer=time.process_time)
        best_native = min(best_native, native.timeit(number=number))
        best_python = min(best_python, python.timeit(number=number))
    return best_native / best_python, best_native / number, best_python / number


def main():
    native, python = generate(AstModelForge), generate(PyAstModelForge)
    assert native == python, "the two forges disagree"
    assert ast.dump(build(AstModelForge)._class_definition) == ast.dump(
        build(PyAstModelForge)._class_definition
    )
    rows = [
        (
            "whole generation",
            lambda: ratio(lambda: generate(AstModelForge), lambda: generate(PyAstModelForge), 20),
        ),
        (
            "tree building only",
            lambda: ratio(lambda: build(AstModelForge), lambda: build(PyAstModelForge), 300),
        ),
        (
            "tree building, host stand-ins",
            lambda: with_host_stand_ins(
                lambda: ratio(lambda: build(AstModelForge), lambda: build(PyAstModelForge), 300)
            ),
        ),
    ]
    print(f"one model class of {len(PROPERTIES)} properties; ratio = native time / Python time")
    for label, measure in rows:
        r, t_native, t_python = measure()
        print(
            f"{label:>30}: ratio {r:.2f}"
            f"  (native {t_native * 1e6:.0f} us, Python {t_python * 1e6:.0f} us per class)"
        )


if __name__ == "__main__":
    main()
