// velkor_models.classes.builder.ast_generator.records: pydantic records that turn property
// types, values and custom code into fresh `ast` nodes. Method prefixes: prop_ (PropertyAst),
// value_ (PropertyValueAst), nested_ (NestedPropertyTypeAst), code_ (CustomCodeAst).
#include "vkrt/vkrt.hpp"

#include <vector>

namespace {
using namespace vkrt::literals;
using vkrt::kw;
using vkrt::Ref;

Ref prop_ast(vkrt::Call& call);
Ref value_ast(vkrt::Call& call);
Ref nested_ast(vkrt::Call& call);
Ref code_ast_module(vkrt::Call& call);
Ref code_ast(vkrt::Call& call);
Ref code_ast_imports(vkrt::Call& call);
Ref join_property_values(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"ast"},
    {"functools", "cached_property"},
    {"typing", "Any"},
    {"typing", "Optional"},
    {"typing", "Union"},
    {"pydantic", "BaseModel"},
};

constexpr vkrt::Param kSelf[] = {{.name = "self"}};

// ---- PropertyAst ----

constexpr const char* PropertyAst_doc = R"(Represents a property in the AST.

    One annotated class attribute of a generated model: its name, the alternatives of its
    type and an optional value, printed as name: T1 | T2 = value.

    Attributes:
        name (str): The name of the property.
        types (list[Union[NestedPropertyTypeAst, PropertyValueAst]]): The types of the property.
        value (Optional[PropertyValueAst]): The value of the property.
    )";

constexpr const char* prop_ast_doc = R"(Generates the AST node for the property.

        The annotation is the union of the type alternatives in order; the value is left out
        when the record has none.

        Returns:
            Any: A new annotated assignment statement.
        )";

constexpr vkrt::FuncSpec kPropAst{
    .name = "ast",
    .qualname = "PropertyAst.ast",
    .doc = prop_ast_doc,
    .params = kSelf,
    .returns = "Any",
    .body = prop_ast,
    .line = 24,
};

constexpr vkrt::Annotation kPropAnnotations[] = {
    {"name", "str"},
    {"types", "list[Union['NestedPropertyTypeAst', 'PropertyValueAst']]"},
    {"value", "Optional['PropertyValueAst']"},
};

constexpr vkrt::Member kPropMembers[] = {
    {"value", vkrt::MemberKind::None},
    {"ast", vkrt::MemberKind::Property, &kPropAst},
};

constexpr vkrt::ClassSpec kPropertyAst{
    .name = "PropertyAst",
    .qualname = "PropertyAst",
    .doc = PropertyAst_doc,
    .annotations = kPropAnnotations,
    .members = kPropMembers,
};

// ---- PropertyValueAst ----

constexpr const char* PropertyValueAst_doc = R"(Represents a property value in the AST.

    One simple term of a type or a value: a dotted name (object and attribute), a bare name
    or a literal constant. Exactly one field is meant to be set; when several are, attr wins
    over name and name over constant.

    Attributes:
        attr (tuple[str, str] | None): The attribute of the property value.
        name (str | None): The name of the property value.
        constant (Any | None): The constant value of the property value.
    )";

constexpr const char* value_ast_doc = R"(Generates the AST node for the property.

        An attribute access for attr, a name for name, else a constant. A record with none
        of the three set raises ValueError.

        Returns:
            Any: A new expression node.
        )";

constexpr vkrt::FuncSpec kValueAst{
    .name = "ast",
    .qualname = "PropertyValueAst.ast",
    .doc = value_ast_doc,
    .params = kSelf,
    .returns = "Any",
    .body = value_ast,
    .line = 57,
};

constexpr vkrt::Annotation kValueAnnotations[] = {
    {"attr", "tuple[str, str] | None"},
    {"name", "str | None"},
    {"constant", "Any | None"},
};

constexpr vkrt::Member kValueMembers[] = {
    {"attr", vkrt::MemberKind::None},
    {"name", vkrt::MemberKind::None},
    {"constant", vkrt::MemberKind::None},
    {"ast", vkrt::MemberKind::Property, &kValueAst},
};

constexpr vkrt::ClassSpec kPropertyValueAst{
    .name = "PropertyValueAst",
    .qualname = "PropertyValueAst",
    .doc = PropertyValueAst_doc,
    .annotations = kValueAnnotations,
    .members = kValueMembers,
};

// ---- NestedPropertyTypeAst ----

constexpr const char* NestedPropertyTypeAst_doc =
    R"(Represents a nested property type in the AST.

    One subscripted generic, printed as root[children], whose subscript is the union of
    the children.

    Attributes:
        root (PropertyValueAst): The root property value.
        child (list[PropertyValueAst]): The child property values.
    )";

constexpr const char* nested_ast_doc = R"(Generates the AST node for the property.

        Returns:
            Any: A new subscript node: the root subscripted with the union of the children.
        )";

constexpr vkrt::FuncSpec kNestedAst{
    .name = "ast",
    .qualname = "NestedPropertyTypeAst.ast",
    .doc = nested_ast_doc,
    .params = kSelf,
    .returns = "Any",
    .body = nested_ast,
    .line = 90,
};

constexpr vkrt::Annotation kNestedAnnotations[] = {
    {"root", "'PropertyValueAst'"},
    {"child", "list['PropertyValueAst']"},
};

constexpr vkrt::Member kNestedMembers[] = {
    {"ast", vkrt::MemberKind::Property, &kNestedAst},
};

constexpr vkrt::ClassSpec kNestedPropertyTypeAst{
    .name = "NestedPropertyTypeAst",
    .qualname = "NestedPropertyTypeAst",
    .doc = NestedPropertyTypeAst_doc,
    .annotations = kNestedAnnotations,
    .members = kNestedMembers,
};

// ---- CustomCodeAst ----

constexpr const char* CustomCodeAst_doc = R"(Represents custom code in the AST.

    The code is parsed once, on first use, and its top-level statements are split into
    import statements and everything else.

    Attributes:
        custom_code (str): The custom code to be parsed into AST.
    )";

constexpr const char* code_ast_module_doc = R"(Parses the custom code into an AST module.

        Leading and trailing whitespace of the whole text is removed first. The module is
        kept after the first successful parse.

        Returns:
            Any: The parsed module.
        )";

constexpr const char* code_ast_doc =
    R"(Extracts the AST nodes from the custom code, excluding imports.

        Returns:
            list[Any]: The top-level statements that are not imports, in source order.
        )";

constexpr const char* code_ast_imports_doc =
    R"(Extracts the import AST nodes from the custom code.

        Returns:
            list[Any]: The top-level import statements, in source order.
        )";

constexpr vkrt::FuncSpec kCodeAstModule{
    .name = "ast_module",
    .qualname = "CustomCodeAst.ast_module",
    .doc = code_ast_module_doc,
    .params = kSelf,
    .returns = "Any",
    .body = code_ast_module,
    .line = 113,
};

constexpr vkrt::FuncSpec kCodeAst{
    .name = "ast",
    .qualname = "CustomCodeAst.ast",
    .doc = code_ast_doc,
    .params = kSelf,
    .returns = "list[Any]",
    .body = code_ast,
    .line = 124,
};

constexpr vkrt::FuncSpec kCodeAstImports{
    .name = "ast_imports",
    .qualname = "CustomCodeAst.ast_imports",
    .doc = code_ast_imports_doc,
    .params = kSelf,
    .returns = "list[Any]",
    .body = code_ast_imports,
    .line = 133,
};

constexpr vkrt::Annotation kCodeAnnotations[] = {
    {"custom_code", "str"},
};

constexpr vkrt::Member kCodeMembers[] = {
    {"ast_module", vkrt::MemberKind::CachedProperty, &kCodeAstModule},
    {"ast", vkrt::MemberKind::Property, &kCodeAst},
    {"ast_imports", vkrt::MemberKind::Property, &kCodeAstImports},
};

constexpr vkrt::ClassSpec kCustomCodeAst{
    .name = "CustomCodeAst",
    .qualname = "CustomCodeAst",
    .doc = CustomCodeAst_doc,
    .annotations = kCodeAnnotations,
    .members = kCodeMembers,
};

// ---- join_property_values ----

constexpr vkrt::Param kJoinParams[] = {
    {.name = "items",
     .annotation =
         "list[Union['NestedPropertyTypeAst', 'PropertyValueAst']] | list['PropertyValueAst']"},
};

constexpr const char* join_property_values_doc =
    R"(Joins property values into a single AST node.

    One item gives its own node; several give a left-nested chain of | operations, so that
    the items' nodes are built in list order.

    Args:
        items (list[Union[NestedPropertyTypeAst, PropertyValueAst]] | list[PropertyValueAst]):
            The records to join; at least one.

    Returns:
        Any: The node of the single item, or the union of all of them.
    )";

constexpr vkrt::FuncSpec kJoinPropertyValues{
    .name = "join_property_values",
    .qualname = "join_property_values",
    .doc = join_property_values_doc,
    .params = kJoinParams,
    .returns = "Any",
    .body = join_property_values,
    .line = 143,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    // Each class binds as soon as it exists; the base is whatever the module's BaseModel is now.
    vkrt::define_class(m, kPropertyAst, vkrt::tuple_of(m.global("BaseModel"_n)));
    vkrt::define_class(m, kPropertyValueAst, vkrt::tuple_of(m.global("BaseModel"_n)));
    vkrt::define_class(m, kNestedPropertyTypeAst, vkrt::tuple_of(m.global("BaseModel"_n)));
    vkrt::define_class(m, kCustomCodeAst, vkrt::tuple_of(m.global("BaseModel"_n)));
    m.def(kJoinPropertyValues);
    // PropertyAst names the value records, defined after it, by text.
    vkrt::call_method(m.global("PropertyAst"_n), "model_rebuild"_n);
    vkrt::call_method(m.global("NestedPropertyTypeAst"_n), "model_rebuild"_n);
}

// ---- helpers ----

/// `ast.<kind>`, looked up now through the module's `ast` global.
Ref ast_class(const vkrt::Call& call, PyObject* kind) {
    return vkrt::getattr(call.global("ast"_n), kind);
}

/// `ast.<kind>()`: a new context or operator instance.
Ref ast_new(const vkrt::Call& call, PyObject* kind) {
    return vkrt::call(ast_class(call, kind));
}

/// `obj[i]`, through the mapping protocol as a subscript does.
Ref subscript(PyObject* obj, Py_ssize_t i) {
    Ref index = vkrt::check(PyLong_FromSsize_t(i));
    return vkrt::check(PyObject_GetItem(obj, index.get()));
}

/// `len(obj)`.
Py_ssize_t length(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) {
        throw vkrt::PyErrorSet();
    }
    return n;
}

/// `obj.ast` of an item of a sequence.
Ref item_ast(PyObject* seq, Py_ssize_t i) {
    return vkrt::getattr(subscript(seq, i), "ast"_n);
}

// ---- PropertyAst ----

Ref prop_ast(vkrt::Call& call) {
    PyObject* self = call[0];
    Ref ann_assign = ast_class(call, "AnnAssign"_n);
    Ref name_class = ast_class(call, "Name"_n);
    Ref name = vkrt::getattr(self, "name"_n);
    Ref store = ast_new(call, "Store"_n);
    Ref target = vkrt::call(name_class, kw("id"_n, name), kw("ctx"_n, store));
    Ref join = call.global("join_property_values"_n);
    Ref types = vkrt::getattr(self, "types"_n);
    Ref annotation = vkrt::call(join, types);
    Ref value = vkrt::getattr(self, "value"_n);
    Ref value_node = vkrt::truthy(value) ? vkrt::getattr(value, "ast"_n) : Ref::borrow(Py_None);
    Ref simple = vkrt::check(PyLong_FromLong(1));
    return vkrt::call(ann_assign,
                      kw("target"_n, target),
                      kw("annotation"_n, annotation),
                      kw("value"_n, value_node),
                      kw("simple"_n, simple));
}

// ---- PropertyValueAst ----

Ref value_ast(vkrt::Call& call) {
    PyObject* self = call[0];
    if (vkrt::truthy(vkrt::getattr(self, "attr"_n))) {
        // The field is read afresh for each index, and each context is its own instance.
        Ref attribute = ast_class(call, "Attribute"_n);
        Ref name_class = ast_class(call, "Name"_n);
        Ref object_name = subscript(vkrt::getattr(self, "attr"_n).get(), 0);
        Ref object_ctx = ast_new(call, "Load"_n);
        Ref object = vkrt::call(name_class, kw("id"_n, object_name), kw("ctx"_n, object_ctx));
        Ref attr_name = subscript(vkrt::getattr(self, "attr"_n).get(), 1);
        Ref ctx = ast_new(call, "Load"_n);
        return vkrt::call(
            attribute, kw("value"_n, object), kw("attr"_n, attr_name), kw("ctx"_n, ctx));
    }
    Ref name = vkrt::getattr(self, "name"_n);
    if (name.get() != Py_None) {
        Ref name_class = ast_class(call, "Name"_n);
        Ref ctx = ast_new(call, "Load"_n);
        return vkrt::call(name_class, kw("id"_n, name), kw("ctx"_n, ctx));
    }
    Ref constant = vkrt::getattr(self, "constant"_n);
    if (constant.get() != Py_None) {
        Ref constant_class = ast_class(call, "Constant"_n);
        return vkrt::call(constant_class, kw("value"_n, constant), kw("kind"_n, Py_None));
    }
    vkrt::raise(PyExc_ValueError, "Invalid property value");
}

// ---- NestedPropertyTypeAst ----

Ref nested_ast(vkrt::Call& call) {
    PyObject* self = call[0];
    Ref subscript_class = ast_class(call, "Subscript"_n);
    Ref root = vkrt::getattr(vkrt::getattr(self, "root"_n), "ast"_n);
    Ref join = call.global("join_property_values"_n);
    Ref children = vkrt::call(join, vkrt::getattr(self, "child"_n));
    Ref ctx = ast_new(call, "Load"_n);
    return vkrt::call(
        subscript_class, kw("value"_n, root), kw("slice"_n, children), kw("ctx"_n, ctx));
}

// ---- CustomCodeAst ----

Ref code_ast_module(vkrt::Call& call) {
    Ref source = vkrt::call_method(vkrt::getattr(call[0], "custom_code"_n), "strip"_n);
    Ref parse = vkrt::getattr(call.global("ast"_n), "parse"_n);
    return vkrt::call(parse, source);
}

/// The top-level statements of the parsed module that are (or are not) imports, in order.
Ref code_statements(const vkrt::Call& call, bool imports) {
    Ref body = vkrt::getattr(vkrt::getattr(call[0], "ast_module"_n), "body"_n);
    Ref kept = vkrt::check(PyList_New(0));
    Ref it = vkrt::iter(body);
    Ref node;
    while (vkrt::next(it.get(), node)) {
        Ref kinds = vkrt::tuple_of(ast_class(call, "Import"_n), ast_class(call, "ImportFrom"_n));
        const bool is_import = vkrt::check_int(PyObject_IsInstance(node.get(), kinds.get())) != 0;
        if (is_import == imports) {
            vkrt::append(kept.get(), node.get());
        }
    }
    return kept;
}

Ref code_ast(vkrt::Call& call) {
    return code_statements(call, false);
}

Ref code_ast_imports(vkrt::Call& call) {
    return code_statements(call, true);
}

// ---- join_property_values ----

/// One pending `ast.BinOp(left=<fold below>, op=ast.BitOr(), right=seq[index].ast)`.
struct Pending {
    Ref binop;  // ast.BinOp, looked up before the level below is folded
    Ref seq;    // the sequence whose element is the right operand
    Py_ssize_t index;
};

[[noreturn]] void empty_join() {
    vkrt::raise(PyExc_ValueError, "Cannot join an empty list of property values");
}

// The union is defined recursively: one item is its own node, otherwise
//     BinOp(left=join(items[:-1]), op=BitOr(), right=items[-1].ast)
// which takes one stack level per item. This folds it with an explicit list of pending
// levels instead, keeping the order of every read: the lengths, slices and BinOp look-ups on
// the way down, then the items' nodes first to last on the way up.
Ref join_property_values(vkrt::Call& call) {
    std::vector<Pending> pending;
    Ref current = Ref::borrow(call[0]);
    Py_ssize_t n = length(current.get());
    Ref last = vkrt::check(PyLong_FromSsize_t(-1));
    Ref without_last = vkrt::check(PySlice_New(nullptr, last.get(), nullptr));
    while (n != 1) {
        if (n == 0) {
            empty_join();
        }
        Ref binop = ast_class(call, "BinOp"_n);
        Ref head = vkrt::check(PyObject_GetItem(current.get(), without_last.get()));
        pending.push_back({std::move(binop), std::move(current), -1});
        current = std::move(head);
        if (PyList_CheckExact(current.get()) || PyTuple_CheckExact(current.get())) {
            // A fresh list or tuple slice is private to this call, so each of its own
            // prefixes holds exactly its first elements: index it instead of slicing again.
            n = PySequence_Size(current.get());
            if (n == 0) {
                empty_join();
            }
            for (Py_ssize_t i = n - 1; i >= 1; --i) {
                pending.push_back({ast_class(call, "BinOp"_n), current.dup(), i});
            }
            break;
        }
        n = length(current.get());
    }
    Ref node = item_ast(current.get(), 0);
    for (auto level = pending.rbegin(); level != pending.rend(); ++level) {
        Ref op = ast_new(call, "BitOr"_n);
        Ref right = item_ast(level->seq.get(), level->index);
        node = vkrt::call(level->binop, kw("left"_n, node), kw("op"_n, op), kw("right"_n, right));
    }
    return node;
}

}  // namespace

VK_MODULE(records, exec_module)
