// velkor_models.schemas.loaders.schema_dir_reader: lists the "model.json" of each model
// subdirectory of an application's configuration directory, lazily, and yields the class
// schemas the host mixin reads from them. Methods of CliConfigLoader use the prefix loader_.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref loader_init(vkrt::Call& call);
Ref loader_str(vkrt::Call& call);
vkrt::Coro loader_iter_configs(vkrt::Frame& g);
vkrt::Coro loader_iter_json_files(vkrt::Frame& g);

constexpr vkrt::ImportStep kImports[] = {
    {"collections.abc", "Iterator"},
    {"pathlib", "Path"},
    {"velkor_utils.models.records.schema", "ObjectSchema"},
    {"velkor_models.schemas.loaders.base", "ConfigLoaderBase"},
    {"velkor_models.schemas.loaders.base", "ConfigReaderMixin"},
};

constexpr vkrt::Param kSelf[] = {
    {.name = "self"},
};

constexpr vkrt::Param kInitParams[] = {
    {.name = "self"},
    {.name = "config_dir", .annotation = "Path"},
};

constexpr vkrt::FuncSpec kInit{
    .name = "__init__",
    .qualname = "CliConfigLoader.__init__",
    .params = kInitParams,
    .returns = "None",
    .body = loader_init,
    .line = 18,
};

constexpr vkrt::FuncSpec kStr{
    .name = "__str__",
    .qualname = "CliConfigLoader.__str__",
    .params = kSelf,
    .returns = "str",
    .body = loader_str,
    .line = 21,
};

constexpr const char* loader_iter_configs_doc =
    R"(Iterates over configuration files and yields their schemas.

        For each JSON file found in the configuration directory, this method checks whether the
        file is a schema file and, if it is, reads the configurations from it and yields their
        schemas.

        Yields:
            Iterator[ObjectSchema]: An iterator over the schemas of the configuration files.
        )";

constexpr vkrt::FuncSpec kIterConfigs{
    .name = "iter_configs",
    .qualname = "CliConfigLoader.iter_configs",
    .doc = loader_iter_configs_doc,
    .params = kSelf,
    .returns = "Iterator[ObjectSchema]",
    .body = vkrt::generator_body<&loader_iter_configs>,
    .generator = true,
    .line = 24,
};

constexpr const char* loader_iter_json_files_doc =
    R"(Iterates over JSON files in the configuration directory and yields their paths.

        This method checks whether the configuration directory exists. For each item in it, it
        checks whether the item is a directory that contains a model JSON file; if both hold, it
        yields the path to that file.

        Yields:
            Iterator[Path]: An iterator over the paths to the JSON files in the configuration directory.
        )";

constexpr vkrt::FuncSpec kIterJsonFiles{
    .name = "iter_json_files",
    .qualname = "CliConfigLoader.iter_json_files",
    .doc = loader_iter_json_files_doc,
    .params = kSelf,
    .returns = "Iterator[Path]",
    .body = vkrt::generator_body<&loader_iter_json_files>,
    .generator = true,
    .line = 38,
};

constexpr const char* loader_doc =
    R"(Loader for configuration files in CLI.

    This class loads configuration files from a given configuration directory. It extends
    `ConfigReaderMixin` and `ConfigLoaderBase` to iterate over configuration files and
    directories.
    )";

constexpr vkrt::Member kLoaderMembers[] = {
    {"__init__", vkrt::MemberKind::Method, &kInit},
    {"__str__", vkrt::MemberKind::Method, &kStr},
    {"iter_configs", vkrt::MemberKind::Method, &kIterConfigs},
    {"iter_json_files", vkrt::MemberKind::Method, &kIterJsonFiles},
};

constexpr vkrt::ClassSpec kLoader{
    .name = "CliConfigLoader",
    .qualname = "CliConfigLoader",
    .doc = loader_doc,
    .members = kLoaderMembers,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.set("MODEL_JSON_FILE", vkrt::text("model.json").get());
    // The bases are the names the imports just bound, read from the module as a class
    // statement would.
    Ref bases = vkrt::tuple_of(m.global("ConfigReaderMixin"_n), m.global("ConfigLoaderBase"_n));
    vkrt::define_class(m, kLoader, std::move(bases));
}

// ---- CliConfigLoader ----

Ref loader_init(vkrt::Call& call) {
    vkrt::setattr(call[0], "_config_dir"_n, call[1]);
    return Ref::borrow(Py_None);
}

Ref loader_str(vkrt::Call& call) {
    Ref cls = vkrt::getattr(call[0], "__class__"_n);
    Ref name = vkrt::getattr(cls, "__name__"_n);
    Ref config_dir = vkrt::getattr(call[0], "_config_dir"_n);
    return vkrt::check(PyUnicode_FromFormat("%S(%S)", name.get(), config_dir.get()));
}

vkrt::Coro loader_iter_configs(vkrt::Frame& g) {
    PyObject* self = g.arg(0);
    vkrt::Local json_files(g, vkrt::iter(vkrt::call_method(self, "iter_json_files"_n)));
    vkrt::Local json_file(g);
    while (vkrt::next(json_files.get(), json_file)) {
        if (!vkrt::truthy(vkrt::call_method(self, "is_schema_file"_n, json_file.get()))) {
            continue;
        }
        co_yield vkrt::from(vkrt::call_method(self, "read_configs_from_file"_n, json_file.get()));
    }
}

/// `item / MODEL_JSON_FILE`, with the name read from the module now: a caller may rebind it.
Ref model_json_file(vkrt::Frame& g, PyObject* item) {
    Ref name = g.global("MODEL_JSON_FILE"_n);
    return vkrt::check(PyNumber_TrueDivide(item, name.get()));
}

bool holds_model_json_file(vkrt::Frame& g, PyObject* item) {
    if (!vkrt::truthy(vkrt::call_method(item, "is_dir"_n))) {
        return false;
    }
    // Existence only: an entry of any kind named model.json passes.
    return vkrt::truthy(vkrt::call_method(model_json_file(g, item), "exists"_n));
}

vkrt::Coro loader_iter_json_files(vkrt::Frame& g) {
    PyObject* self = g.arg(0);
    // Existence only: a path naming a regular file fails at the listing, as the platform says.
    if (!vkrt::truthy(vkrt::call_method(vkrt::getattr(self, "_config_dir"_n), "exists"_n))) {
        co_return;
    }
    vkrt::Local items(
        g, vkrt::iter(vkrt::call_method(vkrt::getattr(self, "_config_dir"_n), "iterdir"_n)));
    vkrt::Local item(g);
    while (vkrt::next(items.get(), item)) {
        if (holds_model_json_file(g, item.get())) {
            // A fresh join for the yield, not the one whose existence was asked.
            co_yield model_json_file(g, item.get());
        }
    }
}

}  // namespace

VK_MODULE(schema_dir_reader, exec_module)
