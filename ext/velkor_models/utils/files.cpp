// velkor_models.utils.files: normalises file data (text, raw bytes or base64) to base64 bytes,
// never encoding data that already is canonical base64 a second time.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref convert_data_to_base64(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"base64"},
    {"typing", "Any"},
};

constexpr vkrt::Param kConvertParams[] = {
    {.name = "file_data", .annotation = "Any"},
};

constexpr const char* convert_data_to_base64_doc =
    R"(Converts the given file data to a base64-encoded bytes object.

    This function converts the data to bytes if it is a string and then encodes it in
    base64 format. If the data is already base64-encoded, it ensures the encoding is valid.

    Args:
        file_data (Any): The file data to be converted. It can be a string or bytes.

    Returns:
        bytes: The base64-encoded bytes object.
    )";

constexpr vkrt::FuncSpec kConvert{
    .name = "convert_data_to_base64",
    .qualname = "convert_data_to_base64",
    .doc = convert_data_to_base64_doc,
    .params = kConvertParams,
    .returns = "bytes",
    .result = vkrt::Result::Bytes,
    .body = convert_data_to_base64,
    .line = 7,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kConvert);
}

Ref convert_data_to_base64(vkrt::Call& call) {
    Ref file_data = Ref::borrow(call[0]);
    if (PyUnicode_Check(file_data.get())) {
        file_data = vkrt::call_method(file_data, "encode"_n);
    }
    auto encode = [&] {
        file_data = vkrt::call_method(call.global("base64"_n), "b64encode"_n, file_data);
    };
    // Only canonical base64 survives a strict decode and re-encodes to the very same bytes.
    vkrt::try_except(
        PyExc_Exception,
        [&] {
            Ref decoded = vkrt::call_method(
                call.global("base64"_n), "b64decode"_n, file_data, vkrt::kw("validate"_n, Py_True));
            Ref again = vkrt::call_method(call.global("base64"_n), "b64encode"_n, decoded);
            if (vkrt::truthy(
                    vkrt::check(PyObject_RichCompare(again.get(), file_data.get(), Py_NE)))) {
                encode();
            }
        },
        encode);
    return file_data;
}

}  // namespace

VK_MODULE(files, exec_module)
