// velkor_models.classes.builder.ast_generator.helpers.emit_checker_def: builds the syntax tree of
// one field-validator class method of a generated model and registers what its text refers to
// with the class's import collector.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::kw;
using vkrt::Ref;

Ref emit_checker_def(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"ast"},
    {"sys"},
    {"collections.abc", "Callable"},
    {"datetime", "date"},
    {"datetime", "datetime"},
    {"typing", "Any"},
    {"pydantic", "field_validator"},
    {"velkor_models.classes.builder.ast_generator.dependency_generator", "AstDependencyGenerator"},
};

constexpr vkrt::Param kEmitCheckerDefParams[] = {
    {.name = "prop_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "validator_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "ast_dependency_generator", .annotation = "AstDependencyGenerator"},
    {.name = "validator", .annotation = "Callable[[type, Any], Any]"},
    {.name = "options", .annotation = "list[Any] | None", .default_none = true},
};

constexpr const char* emit_checker_def_doc = R"(Builds an AST node for a validator function.

    The node is a class method decorated with ``field_validator`` for the property; it returns the
    validator called with the value and, when options are given, with the keyword ``options``
    bound to a list of those options as literals. Every object the method's text refers to is
    registered with the import collector.

    Args:
        prop_name (str): The name of the property the validator checks.
        validator_name (str): The name of the generated method.
        ast_dependency_generator (AstDependencyGenerator): The import collector of the class.
        validator (Callable[[type, Any], Any]): The callable the generated method calls.
        options (list[Any] | None): The values passed to the validator as ``options``.

    Returns:
        ast.FunctionDef | ast.stmt: The method definition node.
    )";

constexpr vkrt::FuncSpec kEmitCheckerDef{
    .name = "emit_checker_def",
    .qualname = "emit_checker_def",
    .doc = emit_checker_def_doc,
    .params = kEmitCheckerDefParams,
    .returns = "ast.FunctionDef | ast.stmt",
    .body = emit_checker_def,
    .line = 101,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kEmitCheckerDef);
}

/// The node class `ast.<kind>`, looked up through the module's `ast` now.
Ref node_class(vkrt::Call& call, PyObject* kind) {
    return vkrt::getattr(call.global("ast"_n), kind);
}

/// `ast.Name(id=<id>, ctx=ast.Load())`, each with a Load of its own.
Ref name_node(vkrt::Call& call, PyObject* id) {
    Ref cls = node_class(call, "Name"_n);
    Ref ctx = vkrt::call(node_class(call, "Load"_n));
    return vkrt::call(cls, kw("id"_n, id), kw("ctx"_n, ctx));
}

/// `ast.Name(id=<obj.__name__>, ctx=ast.Load())`.
Ref name_of(vkrt::Call& call, PyObject* obj) {
    Ref cls = node_class(call, "Name"_n);
    Ref id = vkrt::getattr(obj, "__name__"_n);
    Ref ctx = vkrt::call(node_class(call, "Load"_n));
    return vkrt::call(cls, kw("id"_n, id), kw("ctx"_n, ctx));
}

/// `ast.arg(arg=<name>, annotation=<Name of annotation.__name__>)`.
Ref make_arg(vkrt::Call& call, PyObject* name, PyObject* annotation) {
    Ref cls = node_class(call, "arg"_n);
    Ref annotation_node = name_of(call, annotation);
    return vkrt::call(cls, kw("arg"_n, name), kw("annotation"_n, annotation_node));
}

/// `sys.version_info >= (3, 12)`, asked at every call so that a replaced `sys` is honoured.
bool has_type_params(vkrt::Call& call) {
    Ref version_info = vkrt::getattr(call.global("sys"_n), "version_info"_n);
    Ref major = vkrt::check(PyLong_FromLong(3));
    Ref minor = vkrt::check(PyLong_FromLong(12));
    Ref since = vkrt::tuple_of(major, minor);
    return vkrt::truthy(vkrt::check(PyObject_RichCompare(version_info.get(), since.get(), Py_GE)));
}

Ref emit_checker_def(vkrt::Call& call) {
    PyObject* prop_name = call[0];
    PyObject* validator_name = call[1];
    PyObject* collector = call[2];
    PyObject* validator = call[3];
    PyObject* options = call[4];

    // 1. The keyword list of the validator call: `options=[<each option as a constant>]`.
    Ref call_kwargs = vkrt::check(PyList_New(0));
    if (vkrt::truthy(options)) {
        Ref keyword_cls = node_class(call, "keyword"_n);
        Ref list_cls = node_class(call, "List"_n);
        Ref elts = vkrt::check(PyList_New(0));
        Ref it = vkrt::iter(options);
        for (Ref option; vkrt::next(it.get(), option);) {
            Ref constant_cls = node_class(call, "Constant"_n);
            Ref constant = vkrt::call(constant_cls, kw("value"_n, option));
            vkrt::append(elts.get(), constant.get());
        }
        Ref ctx = vkrt::call(node_class(call, "Load"_n));
        Ref value = vkrt::call(list_cls, kw("elts"_n, elts), kw("ctx"_n, ctx));
        Ref keyword = vkrt::call(keyword_cls, kw("arg"_n, "options"_n), kw("value"_n, value));
        vkrt::append(call_kwargs.get(), keyword.get());
    }

    // 2. Registrations, on every call: the generated module must import each of these names.
    for (PyObject* name : {"date"_n, "datetime"_n, "Any"_n, "field_validator"_n}) {
        vkrt::call_method(collector, "add_python_type_dependency"_n, call.global(name));
    }
    vkrt::call_method(collector, "add_python_type_dependency"_n, validator);

    const bool type_params = has_type_params(call);

    // 3. The method node, built field by field in declaration order.
    Ref function_cls = node_class(call, "FunctionDef"_n);

    Ref arguments_cls = node_class(call, "arguments"_n);
    Ref posonlyargs = vkrt::check(PyList_New(0));
    Ref cls_arg = make_arg(call, "cls"_n, reinterpret_cast<PyObject*>(&PyType_Type));
    Ref value_arg = make_arg(call, "value"_n, call.global("Any"_n).get());
    Ref args_list = vkrt::list_of(cls_arg, value_arg);
    Ref kwonlyargs = vkrt::check(PyList_New(0));
    Ref kw_defaults = vkrt::check(PyList_New(0));
    Ref defaults = vkrt::check(PyList_New(0));
    Ref arguments = vkrt::call(arguments_cls,
                               kw("posonlyargs"_n, posonlyargs),
                               kw("args"_n, args_list),
                               kw("kwonlyargs"_n, kwonlyargs),
                               kw("kw_defaults"_n, kw_defaults),
                               kw("defaults"_n, defaults));

    Ref return_cls = node_class(call, "Return"_n);
    Ref call_cls = node_class(call, "Call"_n);
    Ref func = name_of(call, validator);
    Ref value_name = name_node(call, "value"_n);
    Ref call_args = vkrt::list_of(value_name);
    Ref validator_call = vkrt::call(
        call_cls, kw("func"_n, func), kw("args"_n, call_args), kw("keywords"_n, call_kwargs));
    Ref return_node = vkrt::call(return_cls, kw("value"_n, validator_call));
    Ref body = vkrt::list_of(return_node);

    Ref decorator_cls = node_class(call, "Call"_n);
    Ref decorator_func = name_of(call, call.global("field_validator"_n).get());
    Ref constant_cls = node_class(call, "Constant"_n);
    Ref prop_constant = vkrt::call(constant_cls, kw("value"_n, prop_name));
    Ref decorator_args = vkrt::list_of(prop_constant);
    Ref decorator_keywords = vkrt::check(PyList_New(0));
    Ref field_validator_call = vkrt::call(decorator_cls,
                                          kw("func"_n, decorator_func),
                                          kw("args"_n, decorator_args),
                                          kw("keywords"_n, decorator_keywords));
    Ref classmethod_name = name_of(call, reinterpret_cast<PyObject*>(&PyClassMethod_Type));
    Ref decorators = vkrt::list_of(field_validator_call, classmethod_name);

    Ref returns = name_of(call, call.global("Any"_n).get());

    if (type_params) {
        Ref type_params_list = vkrt::check(PyList_New(0));
        return vkrt::call(function_cls,
                          kw("name"_n, validator_name),
                          kw("args"_n, arguments),
                          kw("body"_n, body),
                          kw("decorator_list"_n, decorators),
                          kw("returns"_n, returns),
                          kw("type_params"_n, type_params_list));
    }
    return vkrt::call(function_cls,
                      kw("name"_n, validator_name),
                      kw("args"_n, arguments),
                      kw("body"_n, body),
                      kw("decorator_list"_n, decorators),
                      kw("returns"_n, returns));
}

}  // namespace

VK_MODULE(emit_checker_def, exec_module)
