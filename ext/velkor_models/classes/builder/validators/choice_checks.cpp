// velkor_models.classes.builder.validators.choice_checks: checks a value (or each element of a
// list value) against a list of allowed options, in the call form generated validators use.
#include "vkrt/vkrt.hpp"

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref validate_options(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"typing", "Any"},
};

constexpr vkrt::Param kValidateOptionsParams[] = {
    {.name = "value", .annotation = "Any"},
    {.name = "options", .annotation = "list[Any]", .check = vkrt::Check::List},
};

constexpr const char* validate_options_doc =
    R"(Validates that a value is one of the available options.

    A list value is checked element by element: every element must be one of the options.
    None always passes.

    Args:
        value (Any): The value to check; a list checks each of its elements.
        options (list[Any]): The allowed options.

    Returns:
        Any: The value itself when it passes the check.

    Raises:
        ValueError: If the value (or an element of a list value) is not one of the options.
    )";

constexpr vkrt::FuncSpec kValidateOptions{
    .name = "validate_options",
    .qualname = "validate_options",
    .doc = validate_options_doc,
    .params = kValidateOptionsParams,
    .returns = "Any",
    .body = validate_options,
    .line = 4,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kValidateOptions);
}

bool contains(PyObject* options, PyObject* item) {
    return vkrt::check_int(PySequence_Contains(options, item)) != 0;
}

Ref validate_options(vkrt::Call& call) {
    PyObject* value = call[0];
    PyObject* options = call[1];
    if (value == Py_None) {
        return Ref::borrow(value);
    }
    bool passed = true;
    if (PyList_Check(value)) {
        // Walked the way a for-loop walks it: through its iterator, so a list subclass's own
        // __iter__ counts, and a list that changes under __eq__ is followed safely.
        Ref elements = vkrt::iter(value);
        Ref element;
        while (vkrt::next(elements.get(), element)) {
            if (!contains(options, element.get())) {
                passed = false;
                break;
            }
        }
    } else {
        passed = contains(options, value);
    }
    if (passed) {
        return Ref::borrow(value);
    }
    Ref empty = vkrt::check(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref value_text = vkrt::check(PyObject_Format(value, empty.get()));
    Ref options_text = vkrt::check(PyObject_Format(options, empty.get()));
    Ref message = vkrt::check(PyUnicode_FromFormat(
        "Value=%U doesn't match available options: %U.", value_text.get(), options_text.get()));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw vkrt::PyErrorSet();
}

}  // namespace

VK_MODULE(choice_checks, exec_module)
