// velkor_models._vkrt_probe: a test-only module whose functions, classes and generators exercise
// the runtime layer's call conventions, result tests, class building and generator protocol.
// Method prefixes: c_ for C, forge_ for Forge.
#include "vkrt/vkrt.hpp"

#include <stdexcept>

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref echo(vkrt::Call& call);
Ref identity(vkrt::Call& call);
Ref stray_cpp_exception(vkrt::Call& call);
Ref build_class(vkrt::Call& call);
Ref c_text(vkrt::Call& call);
Ref c_cached(vkrt::Call& call);
Ref forge_init(vkrt::Call& call);
vkrt::Coro simple(vkrt::Frame& g);
vkrt::Coro each(vkrt::Frame& g);
vkrt::Coro delegating(vkrt::Frame& g);
vkrt::Coro catching(vkrt::Frame& g);
vkrt::Coro raises_stop(vkrt::Frame& g);
vkrt::Coro introspect(vkrt::Frame& g);
vkrt::Coro gen_stray(vkrt::Frame& g);
vkrt::Coro c_gen(vkrt::Frame& g);

// cached_property is looked up as a module global when a class is built, so it is imported.
constexpr vkrt::ImportStep kImports[] = {
    {"functools", "cached_property"},
};

// ---- functions ----

constexpr vkrt::Param kG[] = {
    {.name = "a"},
    {.name = "b"},
    {.name = "c"},
    {.name = "d"},
    {.name = "e", .default_none = true},
};
constexpr vkrt::FuncSpec kGSpec{.name = "g", .qualname = "g", .params = kG, .body = echo};

constexpr vkrt::Param kOne[] = {{.name = "a"}};
constexpr vkrt::FuncSpec kOneSpec{
    .name = "onearg", .qualname = "onearg", .params = kOne, .body = echo};
constexpr vkrt::FuncSpec kNoArgs{.name = "noargs", .qualname = "noargs", .body = echo};

constexpr vkrt::Param kOpts[] = {
    {.name = "a"},
    {.name = "b", .default_none = true},
    {.name = "k", .kwonly = true},
    {.name = "z", .kwonly = true, .default_none = true},
};
constexpr vkrt::FuncSpec kOptsSpec{
    .name = "opts", .qualname = "opts", .params = kOpts, .body = echo, .line = 12};

constexpr vkrt::Param kTyped[] = {
    {.name = "s", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "l", .annotation = "list[Any]", .check = vkrt::Check::List},
    {.name = "o", .annotation = "str", .check = vkrt::Check::Str, .default_none = true},
};
constexpr const char* typed_doc = R"(Tests argument types.

    Indented lines stay as written.
    )";
constexpr vkrt::FuncSpec kTypedSpec{.name = "typed",
                                    .qualname = "typed",
                                    .doc = typed_doc,
                                    .params = kTyped,
                                    .returns = "Any",
                                    .body = echo};

constexpr vkrt::Param kRet[] = {{.name = "value"}};
constexpr vkrt::FuncSpec kRetStr{.name = "ret_str",
                                 .qualname = "ret_str",
                                 .params = kRet,
                                 .returns = "str",
                                 .result = vkrt::Result::Str,
                                 .body = identity};
constexpr vkrt::FuncSpec kRetBytes{.name = "ret_bytes",
                                   .qualname = "ret_bytes",
                                   .params = kRet,
                                   .returns = "bytes",
                                   .result = vkrt::Result::Bytes,
                                   .body = identity};
constexpr vkrt::FuncSpec kStray{
    .name = "stray_cpp_exception", .qualname = "stray_cpp_exception", .body = stray_cpp_exception};

constexpr vkrt::Param kBases[] = {{.name = "bases"}};
constexpr vkrt::FuncSpec kBuildClass{
    .name = "build_class", .qualname = "build_class", .params = kBases, .body = build_class};

// ---- generators ----

constexpr vkrt::Param kCount[] = {{.name = "count"}};
constexpr vkrt::FuncSpec kSimple{.name = "simple",
                                 .qualname = "simple",
                                 .params = kCount,
                                 .body = vkrt::generator_body<&simple>,
                                 .generator = true,
                                 .line = 30};

constexpr vkrt::Param kItems[] = {
    {.name = "items", .annotation = "list", .check = vkrt::Check::List}};
constexpr vkrt::FuncSpec kEach{.name = "each",
                               .qualname = "each",
                               .params = kItems,
                               .returns = "Iterator[Any]",
                               .body = vkrt::generator_body<&each>,
                               .generator = true};

constexpr vkrt::Param kInner[] = {{.name = "inner"}};
constexpr vkrt::FuncSpec kDelegating{.name = "delegating",
                                     .qualname = "delegating",
                                     .params = kInner,
                                     .body = vkrt::generator_body<&delegating>,
                                     .generator = true};

constexpr vkrt::Param kExcType[] = {{.name = "exc_type"}};
constexpr vkrt::FuncSpec kCatching{.name = "catching",
                                   .qualname = "catching",
                                   .params = kExcType,
                                   .body = vkrt::generator_body<&catching>,
                                   .generator = true};

constexpr vkrt::FuncSpec kRaisesStop{.name = "raises_stop",
                                     .qualname = "raises_stop",
                                     .body = vkrt::generator_body<&raises_stop>,
                                     .generator = true};
constexpr vkrt::FuncSpec kIntrospect{.name = "introspect",
                                     .qualname = "introspect",
                                     .body = vkrt::generator_body<&introspect>,
                                     .generator = true};
constexpr vkrt::FuncSpec kGenStray{.name = "gen_stray",
                                   .qualname = "gen_stray",
                                   .body = vkrt::generator_body<&gen_stray>,
                                   .generator = true};

// ---- C ----

constexpr const char* c_doc = "A probe class.";
constexpr vkrt::Param kSelf[] = {{.name = "self"}};
constexpr vkrt::Param kCF[] = {{.name = "self"}, {.name = "a"}, {.name = "b"}};
constexpr vkrt::Param kCH[] = {
    {.name = "self"}, {.name = "a"}, {.name = "b"}, {.name = "k", .kwonly = true}};
constexpr vkrt::Param kCMethod[] = {
    {.name = "self"},
    {.name = "x", .annotation = "int"},
    {.name = "y", .default_none = true},
};
constexpr vkrt::Param kCSmeth[] = {{.name = "a"}, {.name = "b", .default_none = true}};
constexpr const char* c_text_doc = "The value, which must be text.";
constexpr const char* c_cached_doc = "A fresh list, made once per instance.";

constexpr vkrt::FuncSpec kCFSpec{.name = "f", .qualname = "C.f", .params = kCF, .body = echo};
constexpr vkrt::FuncSpec kCHSpec{.name = "h", .qualname = "C.h", .params = kCH, .body = echo};
constexpr vkrt::FuncSpec kCMethodSpec{
    .name = "method", .qualname = "C.method", .params = kCMethod, .returns = "'Any'", .body = echo};
constexpr vkrt::FuncSpec kCOnlySelf{
    .name = "only_self", .qualname = "C.only_self", .params = kSelf, .body = echo};
constexpr vkrt::FuncSpec kCSmethSpec{
    .name = "smeth", .qualname = "C.smeth", .params = kCSmeth, .body = echo};
constexpr vkrt::FuncSpec kCText{.name = "text",
                                .qualname = "C.text",
                                .doc = c_text_doc,
                                .params = kSelf,
                                .returns = "str",
                                .result = vkrt::Result::Str,
                                .body = c_text};
constexpr vkrt::FuncSpec kCCached{.name = "cached",
                                  .qualname = "C.cached",
                                  .doc = c_cached_doc,
                                  .params = kSelf,
                                  .returns = "list",
                                  .body = c_cached};
constexpr vkrt::FuncSpec kCGen{.name = "gen",
                               .qualname = "C.gen",
                               .params = kSelf,
                               .body = vkrt::generator_body<&c_gen>,
                               .generator = true};

constexpr vkrt::Annotation kCAnnotations[] = {{"label", "str | None"}};
constexpr vkrt::Member kCMembers[] = {
    {"label", vkrt::MemberKind::None},
    {"f", vkrt::MemberKind::Method, &kCFSpec},
    {"h", vkrt::MemberKind::Method, &kCHSpec},
    {"method", vkrt::MemberKind::Method, &kCMethodSpec},
    {"only_self", vkrt::MemberKind::Method, &kCOnlySelf},
    {"smeth", vkrt::MemberKind::StaticMethod, &kCSmethSpec},
    {"text", vkrt::MemberKind::Property, &kCText},
    {"cached", vkrt::MemberKind::CachedProperty, &kCCached},
    {"gen", vkrt::MemberKind::Method, &kCGen},
};
constexpr vkrt::ClassSpec kC{
    .name = "C", .qualname = "C", .doc = c_doc, .annotations = kCAnnotations, .members = kCMembers};

// ---- Forge ----

constexpr vkrt::Param kForgeInit[] = {
    {.name = "self"},
    {.name = "name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "flag", .kwonly = true},
};
constexpr vkrt::Param kForgeAdd[] = {
    {.name = "self"},
    {.name = "property_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "property_config", .annotation = "PropertyData"},
    {.name = "is_required", .annotation = "bool", .kwonly = true},
};
constexpr vkrt::Param kForgeRegister[] = {
    {.name = "self"},
    {.name = "class_name", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "extend_type", .annotation = "str", .check = vkrt::Check::Str},
};
constexpr vkrt::FuncSpec kForgeInitSpec{.name = "__init__",
                                        .qualname = "Forge.__init__",
                                        .params = kForgeInit,
                                        .returns = "None",
                                        .body = forge_init};
constexpr vkrt::FuncSpec kForgeAddSpec{.name = "add_class_property",
                                       .qualname = "Forge.add_class_property",
                                       .params = kForgeAdd,
                                       .returns = "None",
                                       .body = echo};
constexpr vkrt::FuncSpec kForgeRegisterSpec{.name = "register_class",
                                            .qualname = "Forge.register_class",
                                            .params = kForgeRegister,
                                            .returns = "None",
                                            .body = echo};
constexpr vkrt::Member kForgeMembers[] = {
    {"__init__", vkrt::MemberKind::Method, &kForgeInitSpec},
    {"add_class_property", vkrt::MemberKind::Method, &kForgeAddSpec},
    {"register_class", vkrt::MemberKind::Method, &kForgeRegisterSpec},
};
constexpr vkrt::ClassSpec kForge{.name = "Forge", .qualname = "Forge", .members = kForgeMembers};

// ---- Dyn, the class build_class() makes on the bases it is given ----

constexpr vkrt::Annotation kDynAnnotations[] = {{"field", "int | None"}, {"other", "'X'"}};
constexpr vkrt::Member kDynMembers[] = {
    {"field", vkrt::MemberKind::None},
    {"method", vkrt::MemberKind::Method, &kCOnlySelf},
    {"cached", vkrt::MemberKind::CachedProperty, &kCCached},
};
constexpr vkrt::ClassSpec kDyn{.name = "Dyn",
                               .qualname = "Dyn",
                               .doc = "Built at call time.",
                               .annotations = kDynAnnotations,
                               .members = kDynMembers};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kGSpec);
    m.def(kOneSpec);
    m.def(kNoArgs);
    m.def(kOptsSpec);
    m.def(kTypedSpec);
    m.def(kRetStr);
    m.def(kRetBytes);
    m.def(kStray);
    m.def(kBuildClass);
    m.def(kSimple);
    m.def(kEach);
    m.def(kDelegating);
    m.def(kCatching);
    m.def(kRaisesStop);
    m.def(kIntrospect);
    m.def(kGenStray);
    vkrt::define_class(m, kC, vkrt::tuple_of());
    vkrt::define_class(m, kForge, vkrt::tuple_of());
}

// Returns its bound arguments as a tuple, so tests can see how binding placed them.
Ref echo(vkrt::Call& call) {
    const auto n = call.func()->decl->params.size();
    Ref out = vkrt::check(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(call[i]));
    }
    return out;
}

Ref identity(vkrt::Call& call) {
    return Ref::borrow(call[0]);
}

Ref stray_cpp_exception(vkrt::Call&) {
    throw std::runtime_error("boom");
}

// Runs the class statement of Dyn now, on caller-chosen bases, in this module's namespace.
Ref build_class(vkrt::Call& call) {
    Ref module = vkrt::check(PyImport_Import(call.func()->module));
    vkrt::Module m(module.get());
    return vkrt::define_class(m, kDyn, vkrt::check(PySequence_Tuple(call[0])));
}

Ref c_text(vkrt::Call& call) {
    return vkrt::getattr(call[0], "value"_n);
}

Ref c_cached(vkrt::Call&) {
    return vkrt::check(PyList_New(0));
}

Ref forge_init(vkrt::Call& call) {
    vkrt::setattr(call[0], "name"_n, call[1]);
    vkrt::setattr(call[0], "flag"_n, call[2]);
    return Ref::borrow(Py_None);
}

// for i in range(count): yield i
vkrt::Coro simple(vkrt::Frame& g) {
    const Py_ssize_t count = PyLong_AsSsize_t(g.arg(0));
    if (count == -1 && PyErr_Occurred()) {
        throw vkrt::PyErrorSet();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        co_yield vkrt::check(PyLong_FromSsize_t(i));
    }
}

// for item in items: yield item
vkrt::Coro each(vkrt::Frame& g) {
    vkrt::Local it(g, vkrt::iter(g.arg(0)));
    vkrt::Local item(g);
    while (vkrt::next(it.get(), item)) {
        co_yield Ref::borrow(item.get());
    }
}

// try: yield from inner
// except KeyError: yield "caught"
// else: yield "after"
vkrt::Coro delegating(vkrt::Frame& g) {
    bool caught = false;
    try {
        co_yield vkrt::from(Ref::borrow(g.arg(0)));
    } catch (const vkrt::PyErrorSet&) {
        caught = vkrt::clear_if(PyExc_KeyError);
    }
    co_yield vkrt::text(caught ? "caught" : "after");
}

// while True:
//     try: yield 1
//     except exc_type: pass
vkrt::Coro catching(vkrt::Frame& g) {
    for (;;) {
        try {
            co_yield vkrt::check(PyLong_FromLong(1));
        } catch (const vkrt::PyErrorSet&) {
            vkrt::clear_if(g.arg(0));
        }
    }
}

// raise StopIteration("x")
vkrt::Coro raises_stop(vkrt::Frame&) {
    vkrt::raise(PyExc_StopIteration, "x");
    co_return;
}

// yield this generator's gi_running; then next() on itself, which must refuse.
vkrt::Coro introspect(vkrt::Frame& g) {
    auto* self = reinterpret_cast<PyObject*>(&g);
    co_yield vkrt::getattr(self, "gi_running"_n);
    Ref item;
    vkrt::next(self, item);
    co_yield std::move(item);
}

vkrt::Coro gen_stray(vkrt::Frame&) {
    throw std::runtime_error("boom");
    co_return;
}

// yield self
vkrt::Coro c_gen(vkrt::Frame& g) {
    co_yield Ref::borrow(g.arg(0));
}

}  // namespace

VK_MODULE(_vkrt_probe, exec_module)
