// velkor_models._vkrt_probe: a test-only module whose functions exercise the runtime layer's
// call conventions, result tests, class building and generators.
#include "vkrt/vkrt.hpp"

#include <stdexcept>

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

// Returns its bound arguments as a tuple, so tests can see how binding placed them.
Ref echo(vkrt::Call& call) {
    const auto n = call.func()->spec->params.size();
    Ref out = vkrt::check(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(call[i]));
    }
    return out;
}

Ref identity(vkrt::Call& call) { return Ref::borrow(call[0]); }

Ref stray_cpp_exception(vkrt::Call&) { throw std::runtime_error("boom"); }

constexpr vkrt::Param kG[] = {
    {.name = "a"}, {.name = "b"}, {.name = "c"}, {.name = "d"},
    {.name = "e", .default_none = true},
};
constexpr vkrt::FuncSpec kGSpec{.name = "g", .qualname = "g", .params = kG, .body = echo};

constexpr vkrt::Param kOne[] = {{.name = "a"}};
constexpr vkrt::FuncSpec kOneSpec{.name = "onearg", .qualname = "onearg", .params = kOne, .body = echo};
constexpr vkrt::FuncSpec kNoArgs{.name = "noargs", .qualname = "noargs", .body = echo};

constexpr vkrt::Param kTyped[] = {
    {.name = "s", .annotation = "str", .check = vkrt::Check::Str},
    {.name = "l", .annotation = "list[Any]", .check = vkrt::Check::List},
    {.name = "o", .annotation = "str", .check = vkrt::Check::Str, .default_none = true},
};
constexpr vkrt::FuncSpec kTypedSpec{
    .name = "typed", .qualname = "typed", .doc = "Tests argument types.", .params = kTyped,
    .returns = "Any", .body = echo};

constexpr vkrt::Param kRet[] = {{.name = "value"}};
constexpr vkrt::FuncSpec kRetStr{.name = "ret_str", .qualname = "ret_str", .params = kRet,
                                 .returns = "str", .result = vkrt::Result::Str, .body = identity};
constexpr vkrt::FuncSpec kRetBytes{.name = "ret_bytes", .qualname = "ret_bytes", .params = kRet,
                                   .returns = "bytes", .result = vkrt::Result::Bytes,
                                   .body = identity};
constexpr vkrt::FuncSpec kStray{.name = "stray_cpp_exception", .qualname = "stray_cpp_exception",
                                .body = stray_cpp_exception};

void exec_module(vkrt::Module& m) {
    m.def(kGSpec);
    m.def(kOneSpec);
    m.def(kNoArgs);
    m.def(kTypedSpec);
    m.def(kRetStr);
    m.def(kRetBytes);
    m.def(kStray);
}

}  // namespace

VK_MODULE(_vkrt_probe, exec_module)
