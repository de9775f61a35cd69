// velkor_models.schemas.loaders.choice_set_reader: lists the JSON files of an application's
// "options" directory, lazily, and yields the option sets the host reader finds in each.
// Methods of ChoiceSetReader use the prefix reader_.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref reader_init(vkrt::Call& call);
Ref reader_str(vkrt::Call& call);
vkrt::Coro reader_iter_options(vkrt::Frame& g);
vkrt::Coro reader_iter_json_files(vkrt::Frame& g);
vkrt::Coro reader_read_options_from_file(vkrt::Frame& g);

constexpr vkrt::ImportStep kImports[] = {
    {"logging"},
    {"collections.abc", "Iterator"},
    {"pathlib", "Path"},
    {"velkor_models.schemas.records.options", "OptionSchema"},
    {"velkor_models.schemas.loaders.base", "OptionsLoaderBase"},
    {"velkor_models.schemas.loaders.utils", "load_object_schema_from_json_file"},
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
    .qualname = "ChoiceSetReader.__init__",
    .params = kInitParams,
    .returns = "None",
    .body = reader_init,
    .line = 22,
};

constexpr vkrt::FuncSpec kStr{
    .name = "__str__",
    .qualname = "ChoiceSetReader.__str__",
    .params = kSelf,
    .returns = "str",
    .body = reader_str,
    .line = 25,
};

constexpr const char* reader_iter_options_doc =
    R"(Iterates over options configuration files and yields their schemas.

        This method iterates over the JSON files in the options directory, reads the options
        from each of them and yields their schemas.

        Yields:
            Iterator[OptionSchema]: An iterator over the schemas of the options configuration files.
        )";

constexpr vkrt::FuncSpec kIterOptions{
    .name = "iter_options",
    .qualname = "ChoiceSetReader.iter_options",
    .doc = reader_iter_options_doc,
    .params = kSelf,
    .returns = "Iterator[OptionSchema]",
    .body = vkrt::generator_body<&reader_iter_options>,
    .generator = true,
    .line = 28,
};

constexpr const char* reader_iter_json_files_doc =
    R"(Iterates over JSON files in the options directory and yields their paths.

        This method checks whether the options directory exists and is a directory, and yields
        each item in it that is a file with a `.json` extension.

        Yields:
            Iterator[Path]: An iterator over the paths to the JSON files in the options directory.
        )";

constexpr vkrt::FuncSpec kIterJsonFiles{
    .name = "iter_json_files",
    .qualname = "ChoiceSetReader.iter_json_files",
    .doc = reader_iter_json_files_doc,
    .params = kSelf,
    .returns = "Iterator[Path]",
    .body = vkrt::generator_body<&reader_iter_json_files>,
    .generator = true,
    .line = 39,
};

constexpr vkrt::Param kReadOptionsParams[] = {
    {.name = "json_file", .annotation = "Path"},
};

constexpr const char* reader_read_options_from_file_doc =
    R"(Reads options from a JSON file and yields their schemas.

        This method reads the options from the given JSON file and yields their schemas.

        Args:
            json_file (Path): The path to the JSON file containing the options.

        Yields:
            Iterator[OptionSchema]: An iterator over the schemas of the options in the JSON file.
        )";

constexpr vkrt::FuncSpec kReadOptionsFromFile{
    .name = "read_options_from_file",
    .qualname = "ChoiceSetReader.read_options_from_file",
    .doc = reader_read_options_from_file_doc,
    .params = kReadOptionsParams,
    .returns = "Iterator[OptionSchema]",
    .body = vkrt::generator_body<&reader_read_options_from_file>,
    .generator = true,
    .line = 57,
};

constexpr const char* reader_doc =
    R"(Loader for options configuration files in CLI.

    This class loads options configuration files from a given configuration directory. It
    extends `OptionsLoaderBase` to iterate over options files and directories.
    )";

constexpr vkrt::Member kReaderMembers[] = {
    {"__init__", vkrt::MemberKind::Method, &kInit},
    {"__str__", vkrt::MemberKind::Method, &kStr},
    {"iter_options", vkrt::MemberKind::Method, &kIterOptions},
    {"iter_json_files", vkrt::MemberKind::Method, &kIterJsonFiles},
    {"read_options_from_file", vkrt::MemberKind::StaticMethod, &kReadOptionsFromFile},
};

constexpr vkrt::ClassSpec kReader{
    .name = "ChoiceSetReader",
    .qualname = "ChoiceSetReader",
    .doc = reader_doc,
    .members = kReaderMembers,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.set("logger",
          vkrt::call_method(m.global("logging"_n), "getLogger"_n, m.global("__name__"_n)).get());
    vkrt::define_class(m, kReader, vkrt::tuple_of(m.global("OptionsLoaderBase"_n)));
}

// ---- ChoiceSetReader ----

Ref reader_init(vkrt::Call& call) {
    // The parameter keeps its public name config_dir; the state is the application root.
    vkrt::setattr(call[0], "_app_root"_n, call[1]);
    return Ref::borrow(Py_None);
}

Ref reader_str(vkrt::Call& call) {
    Ref cls = vkrt::getattr(call[0], "__class__"_n);
    Ref name = vkrt::getattr(cls, "__name__"_n);
    Ref app_root = vkrt::getattr(call[0], "_app_root"_n);
    return vkrt::check(PyUnicode_FromFormat("%S(%S)", name.get(), app_root.get()));
}

vkrt::Coro reader_iter_options(vkrt::Frame& g) {
    PyObject* self = g.arg(0);
    vkrt::Local json_files(g, vkrt::iter(vkrt::call_method(self, "iter_json_files"_n)));
    vkrt::Local json_file(g);
    while (vkrt::next(json_files.get(), json_file)) {
        co_yield vkrt::from(vkrt::call_method(self, "read_options_from_file"_n, json_file.get()));
    }
}

/// `self._app_root / "options"`: the option files sit there, not in the root itself.
Ref options_dir_of(PyObject* self) {
    Ref app_root = vkrt::getattr(self, "_app_root"_n);
    return vkrt::check(PyNumber_TrueDivide(app_root.get(), "options"_n));
}

/// exists() is asked first, so is_dir() is never called for a missing path.
bool is_listable(PyObject* dir) {
    return vkrt::truthy(vkrt::call_method(dir, "exists"_n)) &&
           vkrt::truthy(vkrt::call_method(dir, "is_dir"_n));
}

/// `item.is_file() and item.suffix.lower() == ".json"`.
bool is_json_file(PyObject* item) {
    if (!vkrt::truthy(vkrt::call_method(item, "is_file"_n))) {
        return false;
    }
    Ref suffix = vkrt::getattr(item, "suffix"_n);
    Ref lowered = vkrt::call_method(suffix, "lower"_n);
    return vkrt::truthy(vkrt::check(PyObject_RichCompare(lowered.get(), ".json"_n, Py_EQ)));
}

vkrt::Coro reader_iter_json_files(vkrt::Frame& g) {
    vkrt::Local options_dir(g, options_dir_of(g.arg(0)));
    if (!is_listable(options_dir.get())) {
        co_return;
    }
    vkrt::Local items(g, vkrt::iter(vkrt::call_method(options_dir.get(), "iterdir"_n)));
    vkrt::Local item(g);
    while (vkrt::next(items.get(), item)) {
        if (is_json_file(item.get())) {
            co_yield Ref::borrow(item.get());
        }
    }
}

/// The host reader's records of one file; both names are read from the module now.
Ref load_options(vkrt::Frame& g, PyObject* json_file) {
    Ref load = g.global("load_object_schema_from_json_file"_n);
    Ref model_cls = g.global("OptionSchema"_n);
    return vkrt::call(load, json_file, vkrt::kw("model_cls"_n, model_cls));
}

vkrt::Coro reader_read_options_from_file(vkrt::Frame& g) {
    co_yield vkrt::from(load_options(g, g.arg(0)));
}

}  // namespace

VK_MODULE(choice_set_reader, exec_module)
