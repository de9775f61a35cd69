// velkor_models.schemas.loaders.asset_dir_reader: lists the regular files directly inside an
// application's "static" directory, lazily. Methods of AssetDirReader use the prefix assets_.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref assets_init(vkrt::Call& call);
vkrt::Coro assets_iter_static(vkrt::Frame& g);
Ref assets_str(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"collections.abc", "Iterator"},
    {"pathlib", "Path"},
    {"velkor_models.schemas.loaders.base", "StaticsLoaderBase"},
};

constexpr vkrt::Param kSelf[] = {
    {.name = "self"},
};

constexpr vkrt::Param kInitParams[] = {
    {.name = "self"},
    {.name = "app_root", .annotation = "Path"},
};

constexpr vkrt::FuncSpec kInit{
    .name = "__init__",
    .qualname = "AssetDirReader.__init__",
    .params = kInitParams,
    .returns = "None",
    .body = assets_init,
    .line = 15,
};

constexpr const char* assets_iter_static_doc =
    R"(Iterates over static files and yields their paths.

        This method checks whether the static directory exists and is a directory. For each item
        in it, it checks whether the item is a file; if so, it yields the path to the static file.

        Yields:
            Iterator[Path]: An iterator over the paths to the static files in the static directory.
        )";

constexpr vkrt::FuncSpec kIterStatic{
    .name = "iter_static",
    .qualname = "AssetDirReader.iter_static",
    .doc = assets_iter_static_doc,
    .params = kSelf,
    .returns = "Iterator[Path]",
    .body = vkrt::generator_body<&assets_iter_static>,
    .generator = true,
    .line = 18,
};

constexpr vkrt::FuncSpec kStr{
    .name = "__str__",
    .qualname = "AssetDirReader.__str__",
    .params = kSelf,
    .returns = "str",
    .body = assets_str,
    .line = 33,
};

constexpr const char* assets_doc =
    R"(Loader for static files in CLI.

    This class loads static files from a given application root directory. It extends
    `StaticsLoaderBase` to iterate over static files.
    )";

constexpr vkrt::Member kAssetsMembers[] = {
    {"__init__", vkrt::MemberKind::Method, &kInit},
    {"iter_static", vkrt::MemberKind::Method, &kIterStatic},
    {"__str__", vkrt::MemberKind::Method, &kStr},
};

constexpr vkrt::ClassSpec kAssets{
    .name = "AssetDirReader",
    .qualname = "AssetDirReader",
    .doc = assets_doc,
    .members = kAssetsMembers,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    vkrt::define_class(m, kAssets, vkrt::tuple_of(m.global("StaticsLoaderBase"_n)));
}

// ---- AssetDirReader ----

Ref assets_init(vkrt::Call& call) {
    vkrt::setattr(call[0], "_app_root"_n, call[1]);
    return Ref::borrow(Py_None);
}

/// `self._app_root / "static"`.
Ref static_path_of(PyObject* self) {
    Ref app_root = vkrt::getattr(self, "_app_root"_n);
    return vkrt::check(PyNumber_TrueDivide(app_root.get(), "static"_n));
}

/// exists() is asked first, so is_dir() is never called for a missing path.
bool is_listable(PyObject* dir) {
    return vkrt::truthy(vkrt::call_method(dir, "exists"_n)) &&
           vkrt::truthy(vkrt::call_method(dir, "is_dir"_n));
}

vkrt::Coro assets_iter_static(vkrt::Frame& g) {
    vkrt::Local static_path(g, static_path_of(g.arg(0)));
    if (!is_listable(static_path.get())) {
        co_return;
    }
    vkrt::Local internal_paths(g, vkrt::iter(vkrt::call_method(static_path.get(), "iterdir"_n)));
    vkrt::Local internal_path(g);
    while (vkrt::next(internal_paths.get(), internal_path)) {
        // Names play no part: every regular file is yielded, hidden ones included.
        if (vkrt::truthy(vkrt::call_method(internal_path.get(), "is_file"_n))) {
            co_yield Ref::borrow(internal_path.get());
        }
    }
}

Ref assets_str(vkrt::Call& call) {
    // Just the class name: unlike the other loaders, no root in parentheses.
    Ref cls = vkrt::getattr(call[0], "__class__"_n);
    return vkrt::str(vkrt::getattr(cls, "__name__"_n).get());
}

}  // namespace

VK_MODULE(asset_dir_reader, exec_module)
