// velkor_models.classes.builder.ast_generator.model_forge: AstModelForge (method prefix
// `forge_`), which holds one generated model class as a syntax tree with its import collector,
// fills the class body, and renders the class text (astor + black) and its import block
// (astor + isort).
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::kw;
using vkrt::Ref;

Ref forge_init(vkrt::Call& call);
Ref forge_register_class(vkrt::Call& call);
Ref forge_add_class_data(vkrt::Call& call);
Ref forge_add_class_property(vkrt::Call& call);
Ref forge_add_properties_validators(vkrt::Call& call);
Ref forge_add_class_custom_code(vkrt::Call& call);
Ref forge_model_source(vkrt::Call& call);
Ref forge_dependencies_source(vkrt::Call& call);
Ref forge_set_union_mode(vkrt::Call& call);
Ref pretty_source(vkrt::Call& call);
Ref node_name_key(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"ast"},
    {"sys"},
    {"datetime", "date"},
    {"datetime", "datetime"},
    {"functools", "partial"},
    {"typing", "ClassVar"},
    {"astor"},
    {"black"},
    {"isort"},
    {"velkor_utils.models.records.core", "TypeData"},
    {"velkor_utils.models.records.schema", "PropertyData"},
    {"velkor_utils.models.enums", "SchemaTypes"},
    {"astor.source_repr", "split_lines"},
    {"astor.string_repr", "pretty_string"},
    {"pydantic", "Field"},
    {"velkor_models.classes.builder.ast_generator.records", "CustomCodeAst"},
    {"velkor_models.classes.builder.ast_generator.records", "NestedPropertyTypeAst"},
    {"velkor_models.classes.builder.ast_generator.records", "PropertyAst"},
    {"velkor_models.classes.builder.ast_generator.records", "PropertyValueAst"},
    {"velkor_models.classes.builder.ast_generator.dependency_generator", "AstDependencyGenerator"},
    {"velkor_models.classes.builder.ast_generator.helpers.build_assign_node", "build_assign_node"},
    {"velkor_models.classes.builder.ast_generator.helpers.emit_checker_def", "emit_checker_def"},
    {"velkor_models.classes.builder.validator_resolver", "ValidatorResolver"},
    {"velkor_models.classes.constants", "BASE_OBJECT_TYPE"},
    {"velkor_models.classes.records.dependencies", "DependencyModelNames"},
    {"velkor_models.classes.model", "Model"},
    {"velkor_models.classes.model", "TypeModel"},
};

// The one formatting width of both renderings.
constexpr long kLineLength = 120;

// ---- AstModelForge ----

constexpr vkrt::Param kInitParams[] = {
    {.name = "self"},
    {.name = "models_module_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "base_class", .annotation = "type[Model | TypeModel]"},
    {.name = "model_names", .annotation = "DependencyModelNames"},
};

constexpr vkrt::FuncSpec kInit{
    .name = "__init__",
    .qualname = "AstModelForge.__init__",
    .params = kInitParams,
    .returns = "None",
    .body = forge_init,
    .line = 436,
};

constexpr vkrt::Param kRegisterClassParams[] = {
    {.name = "self"},
    {.name = "class_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "extend_type", .annotation = "str", .check = vkrt::Check::Str},
};

constexpr const char* forge_register_class_doc =
    R"(Registers a class with the given name and extend type.

        The class's own name is never imported. Its base is the forge's base class when the
        extend type is the base object type, and otherwise the generated model of that name,
        which is registered for import.

        Args:
            class_name (str): The name of the class.
            extend_type (str): The base object type, or the name of the model to extend.
        )";

constexpr vkrt::FuncSpec kRegisterClass{
    .name = "register_class",
    .qualname = "AstModelForge.register_class",
    .doc = forge_register_class_doc,
    .params = kRegisterClassParams,
    .returns = "None",
    .body = forge_register_class,
    .line = 472,
};

constexpr vkrt::Param kAddClassDataParams[] = {
    {.name = "self"},
    {.name = "schema_type", .annotation = "SchemaTypes"},
    {.name = "class_fingerprint", .annotation = "str", .check = vkrt::Check::Str},
};

constexpr const char* forge_add_class_data_doc =
    R"(Adds class data to the AST class definition.

        Appends the class variables ``schema_type`` and ``class_fingerprint``.

        Args:
            schema_type (SchemaTypes): The kind of schema the class is generated from.
            class_fingerprint (str): The fingerprint of that schema.
        )";

constexpr vkrt::FuncSpec kAddClassData{
    .name = "add_class_data",
    .qualname = "AstModelForge.add_class_data",
    .doc = forge_add_class_data_doc,
    .params = kAddClassDataParams,
    .returns = "None",
    .body = forge_add_class_data,
    .line = 522,
};

constexpr vkrt::Param kAddClassPropertyParams[] = {
    {.name = "self"},
    {.name = "property_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "property_config", .annotation = "PropertyData"},
    {.name = "is_required", .annotation = "bool", .kwonly = true},
};

constexpr const char* forge_add_class_property_doc =
    R"(Adds a property to the AST class definition.

        The annotated assignment comes from the assignment builder; a union that includes a
        reference gets the left-to-right union mode.

        Args:
            property_name (str): The name of the property.
            property_config (PropertyData): The property's schema.
            is_required (bool): Whether the property must be given.
        )";

constexpr vkrt::FuncSpec kAddClassProperty{
    .name = "add_class_property",
    .qualname = "AstModelForge.add_class_property",
    .doc = forge_add_class_property_doc,
    .params = kAddClassPropertyParams,
    .returns = "None",
    .body = forge_add_class_property,
    .line = 553,
};

constexpr vkrt::Param kAddPropertiesValidatorsParams[] = {
    {.name = "self"},
    {.name = "property_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "property_config", .annotation = "PropertyData"},
};

constexpr const char* forge_add_properties_validators_doc =
    R"(Adds validators for the given property to the AST class definition.

        One validator method is appended per rule the validator resolver derives, in ascending
        order of the rules.

        Args:
            property_name (str): The name of the property.
            property_config (PropertyData): The property's schema.
        )";

constexpr vkrt::FuncSpec kAddPropertiesValidators{
    .name = "add_properties_validators",
    .qualname = "AstModelForge.add_properties_validators",
    .doc = forge_add_properties_validators_doc,
    .params = kAddPropertiesValidatorsParams,
    .returns = "None",
    .body = forge_add_properties_validators,
    .line = 635,
};

constexpr vkrt::Param kAddClassCustomCodeParams[] = {
    {.name = "self"},
    {.name = "custom_code", .annotation = "str", .check = vkrt::Check::Str},
};

constexpr const char* forge_add_class_custom_code_doc =
    R"(Adds custom code to the AST class definition.

        The code's import statements go to the import collector; its other statements are
        appended to the class body, those without a name first, then the named ones by name.

        Args:
            custom_code (str): The source text to add.
        )";

constexpr vkrt::FuncSpec kAddClassCustomCode{
    .name = "add_class_custom_code",
    .qualname = "AstModelForge.add_class_custom_code",
    .doc = forge_add_class_custom_code_doc,
    .params = kAddClassCustomCodeParams,
    .returns = "None",
    .body = forge_add_class_custom_code,
    .line = 664,
};

constexpr vkrt::Param kSelfOnly[] = {
    {.name = "self"},
};

constexpr const char* forge_model_source_doc = R"(Generates the source code for the model.

        Returns:
            str: The class statement, printed and formatted.
        )";

constexpr vkrt::FuncSpec kModelSource{
    .name = "model_source",
    .qualname = "AstModelForge.model_source",
    .doc = forge_model_source_doc,
    .params = kSelfOnly,
    .returns = "str",
    .result = vkrt::Result::Str,
    .body = forge_model_source,
    .line = 701,
};

constexpr const char* forge_dependencies_source_doc =
    R"(Generates the source code for the dependencies.

        Returns:
            str: The import statements the class needs, printed and sorted.
        )";

constexpr vkrt::FuncSpec kDependenciesSource{
    .name = "dependencies_source",
    .qualname = "AstModelForge.dependencies_source",
    .doc = forge_dependencies_source_doc,
    .params = kSelfOnly,
    .returns = "str",
    .result = vkrt::Result::Str,
    .body = forge_dependencies_source,
    .line = 719,
};

constexpr vkrt::Param kSetUnionModeParams[] = {
    {.name = "self"},
    {.name = "node", .annotation = "ast.AnnAssign | ast.stmt"},
};

constexpr vkrt::FuncSpec kSetUnionMode{
    .name = "_set_union_mode",
    .qualname = "AstModelForge._set_union_mode",
    .params = kSetUnionModeParams,
    .returns = "None",
    .body = forge_set_union_mode,
    .line = 578,
};

// The printer's `pretty_source`, one per rendering as a lambda would be.
constexpr vkrt::Param kPrettySourceParams[] = {
    {.name = "pieces"},
};

constexpr vkrt::FuncSpec kModelPrettySource{
    .name = "lambda",
    .qualname = "AstModelForge.model_source.<locals>.<lambda>",
    .params = kPrettySourceParams,
    .body = pretty_source,
    .line = 391,
};

constexpr vkrt::FuncSpec kDependenciesPrettySource{
    .name = "lambda",
    .qualname = "AstModelForge.dependencies_source.<locals>.<lambda>",
    .params = kPrettySourceParams,
    .body = pretty_source,
    .line = 391,
};

// The sort key of the custom code's statements, one per call as a lambda would be.
constexpr vkrt::Param kNodeNameKeyParams[] = {
    {.name = "node"},
};

constexpr vkrt::FuncSpec kNodeNameKey{
    .name = "lambda",
    .qualname = "AstModelForge.add_class_custom_code.<locals>.<lambda>",
    .params = kNodeNameKeyParams,
    .body = node_name_key,
    .line = 400,
};

constexpr vkrt::Member kForgeMembers[] = {
    {"__init__", vkrt::MemberKind::Method, &kInit},
    {"register_class", vkrt::MemberKind::Method, &kRegisterClass},
    {"add_class_data", vkrt::MemberKind::Method, &kAddClassData},
    {"add_class_property", vkrt::MemberKind::Method, &kAddClassProperty},
    {"add_properties_validators", vkrt::MemberKind::Method, &kAddPropertiesValidators},
    {"add_class_custom_code", vkrt::MemberKind::Method, &kAddClassCustomCode},
    {"model_source", vkrt::MemberKind::Property, &kModelSource},
    {"dependencies_source", vkrt::MemberKind::Property, &kDependenciesSource},
    {"_set_union_mode", vkrt::MemberKind::Method, &kSetUnionMode},
};

constexpr vkrt::ClassSpec kForge{
    .name = "AstModelForge",
    .qualname = "AstModelForge",
    .members = kForgeMembers,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    vkrt::define_class(m, kForge, vkrt::tuple_of());
}

// ---- helpers ----

/// The node class `ast.<kind>`, looked up through the module's `ast` now.
Ref node_class(vkrt::Call& call, PyObject* kind) {
    return vkrt::getattr(call.global("ast"_n), kind);
}

bool is_node(vkrt::Call& call, PyObject* obj, PyObject* kind) {
    return vkrt::check_int(PyObject_IsInstance(obj, node_class(call, kind).get())) != 0;
}

bool equals(PyObject* a, PyObject* b) {
    return vkrt::check_int(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

Ref new_list() {
    return vkrt::check(PyList_New(0));
}
Ref new_int(long value) {
    return vkrt::check(PyLong_FromLong(value));
}

/// `ast.Name(id=<id>, ctx=ast.Load())`.
Ref name_node(vkrt::Call& call, PyObject* id) {
    Ref cls = node_class(call, "Name"_n);
    Ref ctx = vkrt::call(node_class(call, "Load"_n));
    return vkrt::call(cls, kw("id"_n, id), kw("ctx"_n, ctx));
}

/// `sys.version_info >= (3, 12)`, asked at every call so that a replaced `sys` is honoured.
bool has_type_params(vkrt::Call& call) {
    Ref version_info = vkrt::getattr(call.global("sys"_n), "version_info"_n);
    Ref since = vkrt::tuple_of(new_int(3), new_int(12));
    return vkrt::truthy(vkrt::check(PyObject_RichCompare(version_info.get(), since.get(), Py_GE)));
}

Ref collector_of(PyObject* self) {
    return vkrt::getattr(self, "_ast_dependency_generator"_n);
}

/// `getattr(obj, name, fallback)`: only an AttributeError gives the fallback.
Ref getattr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) {
        vkrt::clear_if(PyExc_AttributeError);
        value = Ref::borrow(fallback);
    }
    return value;
}

/// `self._ast_dependency_generator.add_python_type_dependency(obj)`.
void register_object(PyObject* self, PyObject* obj) {
    Ref collector = collector_of(self);
    vkrt::call_method(collector, "add_python_type_dependency"_n, obj);
}

/// `self._class_definition.body.append(node)`.
void append_to_body(PyObject* self, PyObject* node) {
    Ref class_definition = vkrt::getattr(self, "_class_definition"_n);
    Ref body = vkrt::getattr(class_definition, "body"_n);
    vkrt::call_method(body, "append"_n, node);
}

/// `astor.to_source(tree, pretty_string=partial(pretty_string, max_line=120),
/// pretty_source=lambda pieces: "".join(split_lines(pieces, maxline=120)))`, with `to_source`
/// already looked up by the caller.
Ref print_tree(vkrt::Call& call,
               const Ref& to_source,
               const Ref& tree,
               const vkrt::FuncSpec& pretty_source_spec) {
    Ref partial = call.global("partial"_n);
    Ref pretty_string_routine = call.global("pretty_string"_n);
    Ref pretty_string =
        vkrt::call(partial, pretty_string_routine, kw("max_line"_n, new_int(kLineLength)));
    Ref pretty = call.function(pretty_source_spec);
    return vkrt::call(
        to_source, tree, kw("pretty_string"_n, pretty_string), kw("pretty_source"_n, pretty));
}

Ref node_name_key(vkrt::Call& call) {
    return getattr_or(call[0], "name"_n, ""_n);
}

Ref pretty_source(vkrt::Call& call) {
    Ref split_lines = call.global("split_lines"_n);
    Ref pieces = vkrt::call(split_lines, call[0], kw("maxline"_n, new_int(kLineLength)));
    return vkrt::check(PyUnicode_Join(""_n, pieces.get()));
}

// ---- AstModelForge ----

Ref forge_init(vkrt::Call& call) {
    PyObject* self = call[0];
    vkrt::setattr(self, "_base_class"_n, call[2]);

    Ref class_def_cls = node_class(call, "ClassDef"_n);
    Ref bases = new_list();
    Ref keywords = new_list();
    Ref body = new_list();
    Ref decorator_list = new_list();
    Ref class_definition;
    if (has_type_params(call)) {
        Ref type_params = new_list();
        class_definition = vkrt::call(class_def_cls,
                                      kw("name"_n, ""_n),
                                      kw("bases"_n, bases),
                                      kw("keywords"_n, keywords),
                                      kw("body"_n, body),
                                      kw("decorator_list"_n, decorator_list),
                                      kw("type_params"_n, type_params));
    } else {
        class_definition = vkrt::call(class_def_cls,
                                      kw("name"_n, ""_n),
                                      kw("bases"_n, bases),
                                      kw("keywords"_n, keywords),
                                      kw("body"_n, body),
                                      kw("decorator_list"_n, decorator_list));
    }
    vkrt::setattr(self, "_class_definition"_n, class_definition.get());

    Ref collector = vkrt::call(call.global("AstDependencyGenerator"_n),
                               kw("models_module_name"_n, call[1]),
                               kw("model_names"_n, call[3]));
    vkrt::setattr(self, "_ast_dependency_generator"_n, collector.get());
    return Ref::borrow(Py_None);
}

Ref forge_register_class(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* class_name = call[1];
    PyObject* extend_type = call[2];

    // 1. The class's own name must never be imported into its module.
    vkrt::call_method(collector_of(self), "add_ignore_type_name"_n, class_name);

    // 2. The base: the forge's own base class, or another generated model.
    Ref base_name;
    if (equals(extend_type, call.global("BASE_OBJECT_TYPE"_n).get())) {
        base_name = vkrt::getattr(vkrt::getattr(self, "_base_class"_n), "__name__"_n);
        Ref collector = collector_of(self);
        Ref base_class = vkrt::getattr(self, "_base_class"_n);
        vkrt::call_method(collector, "add_python_type_dependency"_n, base_class);
    } else {
        base_name = Ref::borrow(extend_type);
        vkrt::call_method(collector_of(self), "add_model_type_dependency"_n, extend_type);
    }

    // 3-4. Name the class and append the base.
    vkrt::setattr(vkrt::getattr(self, "_class_definition"_n).get(), "name"_n, class_name);
    Ref bases = vkrt::getattr(vkrt::getattr(self, "_class_definition"_n), "bases"_n);
    Ref base = name_node(call, base_name.get());
    vkrt::call_method(bases, "append"_n, base);
    return Ref::borrow(Py_None);
}

/// `PropertyAst(name=<name>, types=[NestedPropertyTypeAst(root=PropertyValueAst(name=
/// ClassVar.__name__), child=[PropertyValueAst(name=<inner.__name__>)])], value=<value>).ast`,
/// the value record being built by `make_value` after the types.
template <class MakeValue>
Ref class_variable(vkrt::Call& call, PyObject* name, PyObject* inner, MakeValue&& make_value) {
    Ref property_ast = call.global("PropertyAst"_n);
    Ref nested_cls = call.global("NestedPropertyTypeAst"_n);
    Ref root_cls = call.global("PropertyValueAst"_n);
    Ref root_name = vkrt::getattr(call.global("ClassVar"_n), "__name__"_n);
    Ref root = vkrt::call(root_cls, kw("name"_n, root_name));
    Ref child_cls = call.global("PropertyValueAst"_n);
    Ref child_name = vkrt::getattr(inner, "__name__"_n);
    Ref child_value = vkrt::call(child_cls, kw("name"_n, child_name));
    Ref child = vkrt::list_of(child_value);
    Ref nested = vkrt::call(nested_cls, kw("root"_n, root), kw("child"_n, child));
    Ref types = vkrt::list_of(nested);
    Ref value = make_value();
    Ref record =
        vkrt::call(property_ast, kw("name"_n, name), kw("types"_n, types), kw("value"_n, value));
    return vkrt::getattr(record, "ast"_n);
}

Ref forge_add_class_data(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* schema_type = call[1];
    PyObject* class_fingerprint = call[2];

    // 1. date and datetime too: the generated module offers them to custom code.
    for (PyObject* name : {"SchemaTypes"_n, "ClassVar"_n, "date"_n, "datetime"_n}) {
        register_object(self, call.global(name).get());
    }

    // 2. schema_type: ClassVar[SchemaTypes] = SchemaTypes.<member name>
    Ref schema_types = call.global("SchemaTypes"_n);
    Ref kind = class_variable(call, "schema_type"_n, schema_types.get(), [&] {
        Ref value_cls = call.global("PropertyValueAst"_n);
        Ref enum_name = vkrt::getattr(call.global("SchemaTypes"_n), "__name__"_n);
        Ref member_name = vkrt::getattr(schema_type, "name"_n);
        Ref attr = vkrt::tuple_of(enum_name, member_name);
        return vkrt::call(value_cls, kw("attr"_n, attr));
    });
    append_to_body(self, kind.get());

    // 3. class_fingerprint: ClassVar[str] = '<fingerprint>'
    auto* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Ref fingerprint = class_variable(call, "class_fingerprint"_n, str_type, [&] {
        Ref value_cls = call.global("PropertyValueAst"_n);
        return vkrt::call(value_cls, kw("constant"_n, class_fingerprint));
    });
    append_to_body(self, fingerprint.get());
    return Ref::borrow(Py_None);
}

Ref forge_add_class_property(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* property_name = call[1];
    PyObject* property_config = call[2];
    PyObject* is_required = call[3];

    Ref type_data_cls = call.global("TypeData"_n);
    Ref type = vkrt::getattr(property_config, "type"_n);
    Ref items = vkrt::getattr(property_config, "items"_n);
    Ref type_data = vkrt::call(type_data_cls, kw("type"_n, type), kw("items"_n, items));
    Ref build = call.global("build_assign_node"_n);
    Ref value = vkrt::getattr(property_config, "default"_n);
    Ref collector = collector_of(self);
    Ref node = vkrt::call(build,
                          kw("target_name"_n, property_name),
                          kw("type_data"_n, type_data),
                          kw("is_required"_n, is_required),
                          kw("value"_n, value),
                          kw("ast_dependency_generator"_n, collector));
    vkrt::call_method(self, "_set_union_mode"_n, node);
    // Appended last, so a failure above leaves the body as it was.
    append_to_body(self, node.get());
    return Ref::borrow(Py_None);
}

Ref forge_set_union_mode(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* node = call[1];
    Ref none = Ref::borrow(Py_None);

    // Only Optional[Union[..., Reference, ...]] or Union[..., Reference, ...] qualifies, with
    // plain names: pydantic's smart union mode would otherwise pick the first member that
    // happens to validate a reference's data.
    if (!is_node(call, node, "AnnAssign"_n)) {
        return none;
    }
    Ref annotation = vkrt::getattr(node, "annotation"_n);
    if (!vkrt::truthy(annotation) || !is_node(call, annotation.get(), "Subscript"_n)) {
        return none;
    }
    Ref outer = std::move(annotation);
    Ref outer_value = vkrt::getattr(outer, "value"_n);
    if (is_node(call, outer_value.get(), "Name"_n) &&
        equals(vkrt::getattr(outer_value, "id"_n).get(), "Optional"_n)) {
        outer = vkrt::getattr(outer, "slice"_n);
    }
    if (!is_node(call, outer.get(), "Subscript"_n)) {
        return none;
    }
    outer_value = vkrt::getattr(outer, "value"_n);
    if (!is_node(call, outer_value.get(), "Name"_n) ||
        !equals(vkrt::getattr(outer_value, "id"_n).get(), "Union"_n)) {
        return none;
    }
    Ref members = vkrt::getattr(outer, "slice"_n);
    if (!is_node(call, members.get(), "Tuple"_n)) {
        return none;
    }
    bool has_reference = false;
    Ref it = vkrt::iter(vkrt::getattr(members, "elts"_n));
    for (Ref member; !has_reference && vkrt::next(it.get(), member);) {
        has_reference = equals(getattr_or(member.get(), "id"_n, ""_n).get(), "Reference"_n);
    }
    if (!has_reference) {
        return none;
    }

    register_object(self, call.global("Field"_n).get());
    Ref value = vkrt::getattr(node, "value"_n);
    Ref args = vkrt::truthy(value) ? vkrt::list_of(value) : new_list();
    Ref call_cls = node_class(call, "Call"_n);
    Ref func = name_node(call, "Field"_n);
    Ref keyword_cls = node_class(call, "keyword"_n);
    Ref mode = vkrt::call(node_class(call, "Constant"_n), kw("value"_n, "left_to_right"_n));
    Ref keyword = vkrt::call(keyword_cls, kw("arg"_n, "union_mode"_n), kw("value"_n, mode));
    Ref keywords = vkrt::list_of(keyword);
    Ref field_call =
        vkrt::call(call_cls, kw("func"_n, func), kw("args"_n, args), kw("keywords"_n, keywords));
    vkrt::setattr(node, "value"_n, field_call.get());
    return none;
}

Ref forge_add_properties_validators(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* property_name = call[1];
    PyObject* property_config = call[2];

    Ref entries = vkrt::call_method(
        call.global("ValidatorResolver"_n), "process_property"_n, property_name, property_config);
    Ref sorted = vkrt::check(PySequence_List(entries.get()));
    vkrt::check_int(PyList_Sort(sorted.get()));

    // The list is ours alone, but an entry's own code may run while we hold it: keep each
    // entry alive on its own.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(sorted.get(), i));
        Ref parts[3];
        vkrt::unpack(entry.get(), parts);
        Ref emit = call.global("emit_checker_def"_n);
        Ref collector = collector_of(self);
        Ref node = vkrt::call(emit,
                              kw("prop_name"_n, property_name),
                              kw("validator_name"_n, parts[0]),
                              kw("validator"_n, parts[1]),
                              kw("options"_n, parts[2]),
                              kw("ast_dependency_generator"_n, collector));
        append_to_body(self, node.get());
    }
    return Ref::borrow(Py_None);
}

Ref forge_add_class_custom_code(vkrt::Call& call) {
    PyObject* self = call[0];
    PyObject* custom_code = call[1];

    Ref code_cls = call.global("CustomCodeAst"_n);
    Ref code = vkrt::call(code_cls, kw("custom_code"_n, custom_code));

    // 1. Imports reach the generated text only through the import block.
    Ref imports = vkrt::iter(vkrt::getattr(code, "ast_imports"_n));
    for (Ref node; vkrt::next(imports.get(), node);) {
        Ref collector = collector_of(self);
        vkrt::call_method(collector, "add_ast_import_node"_n, node);
    }

    // 2. Stable sort by `getattr(node, "name", "")`, with the list's own sort: unnamed statements
    // keep their source order ahead of the named ones, and keys are compared with `<` only.
    Ref nodes = vkrt::check(PySequence_List(vkrt::getattr(code, "ast"_n).get()));
    vkrt::call_method(nodes, "sort"_n, kw("key"_n, call.function(kNodeNameKey)));

    // 3. Only now does the body change.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        Ref node = Ref::borrow(PyList_GET_ITEM(nodes.get(), i));
        append_to_body(self, node.get());
    }
    return Ref::borrow(Py_None);
}

Ref forge_model_source(vkrt::Call& call) {
    PyObject* self = call[0];
    Ref to_source = vkrt::getattr(call.global("astor"_n), "to_source"_n);
    Ref tree = vkrt::getattr(self, "_class_definition"_n);
    Ref source = print_tree(call, to_source, tree, kModelPrettySource);

    Ref format_str = vkrt::getattr(call.global("black"_n), "format_str"_n);
    Ref file_mode = vkrt::getattr(call.global("black"_n), "FileMode"_n);
    Ref target_versions = vkrt::check(PySet_New(nullptr));
    Ref py310 = vkrt::getattr(vkrt::getattr(call.global("black"_n), "TargetVersion"_n), "PY310"_n);
    vkrt::check_int(PySet_Add(target_versions.get(), py310.get()));
    Ref mode = vkrt::call(file_mode,
                          kw("string_normalization"_n, Py_False),
                          kw("target_versions"_n, target_versions),
                          kw("line_length"_n, new_int(kLineLength)));
    return vkrt::call(format_str, source, kw("mode"_n, mode));
}

Ref forge_dependencies_source(vkrt::Call& call) {
    PyObject* self = call[0];
    Ref to_source = vkrt::getattr(call.global("astor"_n), "to_source"_n);
    Ref tree = vkrt::getattr(collector_of(self), "ast_module"_n);
    Ref source = print_tree(call, to_source, tree, kDependenciesPrettySource);

    Ref code = vkrt::getattr(call.global("isort"_n), "code"_n);
    Ref third_party =
        vkrt::list_of("velkor_utils"_n, "velkor_data"_n, "velkor_models"_n, "velkor"_n);
    Ref first_party = vkrt::list_of("models"_n);
    return vkrt::call(code,
                      source,
                      kw("force_single_line"_n, Py_True),
                      kw("profile"_n, "black"_n),
                      kw("line_length"_n, new_int(kLineLength)),
                      kw("order_by_type"_n, Py_True),
                      kw("known_third_party"_n, third_party),
                      kw("known_first_party"_n, first_party));
}

}  // namespace

VK_MODULE(model_forge, exec_module)
