// velkor_models.schemas.utils.model_digest: the fingerprint of a class schema, the SHA-256 of
// its dumped data as JSON with sorted keys.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref calculate_model_digest(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"hashlib"},
    {"json"},
    {"velkor_utils.models.records.schema", "ObjectSchema"},
};

constexpr vkrt::Param kDigestParams[] = {
    {.name = "schema", .annotation = "ObjectSchema"},
};

constexpr const char* calculate_model_digest_doc =
    R"(Calculates the fingerprint of a given schema.

    This function takes an ObjectSchema, serialises it to a JSON string with sorted keys
    and returns the SHA-256 hash of that string.

    Args:
        schema (ObjectSchema): The schema for which to calculate the fingerprint.

    Returns:
        str: The SHA-256 fingerprint of the schema.
    )";

constexpr vkrt::FuncSpec kDigest{
    .name = "calculate_model_digest",
    .qualname = "calculate_model_digest",
    .doc = calculate_model_digest_doc,
    .params = kDigestParams,
    .returns = "str",
    .result = vkrt::Result::Str,
    .body = calculate_model_digest,
    .line = 7,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kDigest);
}

Ref calculate_model_digest(vkrt::Call& call) {
    Ref dump = vkrt::call_method(call[0], "model_dump"_n);
    // default=str is the builtin type itself: whatever JSON cannot hold is written as its text.
    Ref json_text = vkrt::call_method(call.global("json"_n),
                                      "dumps"_n,
                                      dump,
                                      vkrt::kw("default"_n, reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                                      vkrt::kw("sort_keys"_n, Py_True));
    Ref data = vkrt::call_method(json_text, "encode"_n, "utf-8"_n);
    Ref hash = vkrt::call_method(call.global("hashlib"_n), "sha256"_n, data);
    return vkrt::call_method(hash, "hexdigest"_n);
}

}  // namespace

VK_MODULE(model_digest, exec_module)
