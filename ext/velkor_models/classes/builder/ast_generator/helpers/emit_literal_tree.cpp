// velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree: turns plain nested data
// (mappings, lists, texts, numbers, booleans, None) into the syntax tree of the equal literal.
#include "vkrt/vkrt.hpp"

#include <algorithm>
#include <cstdint>
#include <pthread.h>
#include <utility>

namespace {
using namespace vkrt::literals;
using vkrt::Ref;

Ref emit_literal_tree(vkrt::Call& call);

constexpr vkrt::ImportStep kImports[] = {
    {"ast"},
    {"typing", "Any"},
};

constexpr vkrt::Param kEmitLiteralTreeParams[] = {
    {.name = "dictionary",
     .annotation = "dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None"},
};

constexpr vkrt::FuncSpec kEmitLiteralTree{
    .name = "emit_literal_tree",
    .qualname = "emit_literal_tree",
    .params = kEmitLiteralTreeParams,
    .returns = "ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant",
    .body = emit_literal_tree,
    .line = 5,
};

void exec_module(vkrt::Module& m) {
    m.import(kImports);
    m.def(kEmitLiteralTree);
}

// ---- depth bound ----
//
// Every level of nesting is a real call through the module-level name, so deep input recurses
// on the C stack, and overflowing it would kill the interpreter. Two bounds turn that into a
// RecursionError raised at the level that crosses them; the levels above unwind normally:
//  1. Py_EnterRecursiveCall counts levels against the interpreter's C recursion limit, the
//     counter its own C recursion (repr, comparison, pickling) uses.
//  2. A level count does not bound bytes: frames are several times larger under a sanitizer,
//     and a thread may run on a small stack (threading.stack_size). So each level also checks
//     that kStackReserve bytes of the thread's stack (half of a small one) are left, enough
//     for one more level plus the ast constructors, the warnings they emit and the error.

constexpr std::uintptr_t kStackReserve = std::uintptr_t{256} * 1024;

/// The calling thread's stack: [low, high), and the floor below which a level refuses to go.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    std::uintptr_t floor = 0;  // 0 when the stack could not be found
};

StackBounds find_stack() {
    StackBounds bounds;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return bounds;
    }
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(addr);
        bounds.high = bounds.low + size;
        // What one level calls needs a fixed amount of stack, whatever the stack's size: a
        // small stack (32 KiB is the interpreter's least) keeps half of itself back.
        bounds.floor = bounds.low + std::min<std::uintptr_t>(kStackReserve, size / 2);
    }
    pthread_attr_destroy(&attr);
    return bounds;
}

bool stack_exhausted() {
    // A fact about the calling thread, not interpreter state: found once per thread.
    thread_local const StackBounds stack = find_stack();
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Running on a stack the thread does not own (a coroutine library's): no byte bound.
    return stack.floor != 0 && sp >= stack.low && sp < stack.high && sp < stack.floor;
}

/// Holds one level of recursion for its lifetime.
class Level {
  public:
    Level() {
        if (stack_exhausted()) {
            vkrt::raise(PyExc_RecursionError, "maximum recursion depth exceeded");
        }
        if (Py_EnterRecursiveCall("") != 0) {
            throw vkrt::PyErrorSet();
        }
    }
    ~Level() { Py_LeaveRecursiveCall(); }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
};

// ---- helpers ----
//
// An error raised deep in the input passes up every level by value (an empty Ref with the
// error set), so refusing a value costs no C++ unwinding per level.

/// `node.<field>.append(item)`.
void append_to(const Ref& node, PyObject* field, const Ref& item) {
    Ref items = vkrt::getattr(node, field);
    if (PyList_CheckExact(items.get())) {
        vkrt::append(items.get(), item.get());
    } else {
        vkrt::call_method(items, "append"_n, item);
    }
}

/// A new node `ast.<kind>(<field>=value)`, with `ast` looked up now.
Ref make_node(vkrt::Call& call, PyObject* kind, PyObject* field, PyObject* value) {
    return vkrt::call(vkrt::getattr(call.global("ast"_n), kind), vkrt::kw(field, value));
}

Ref emit_mapping(vkrt::Call& call, PyObject* mapping) {
    Ref keys = vkrt::check(PyList_New(0));
    Ref values = vkrt::check(PyList_New(0));
    Ref node = vkrt::call(vkrt::getattr(call.global("ast"_n), "Dict"_n),
                          vkrt::kw("keys"_n, keys),
                          vkrt::kw("values"_n, values));
    Ref entries = vkrt::iter(vkrt::call_method(mapping, "items"_n));
    Ref entry;
    while (vkrt::next(entries.get(), entry)) {
        Ref pair[2];
        vkrt::unpack(entry.get(), pair);
        auto& [key, value] = pair;
        // Keys are always text constants: 1 becomes '1'.
        Ref key_text = PyUnicode_CheckExact(key.get()) ? std::move(key) : vkrt::str(key.get());
        Ref key_node = make_node(call, "Constant"_n, "s"_n, key_text.get());
        Ref value_node = vkrt::call_or_null(call.global("emit_literal_tree"_n), value);
        if (!value_node) {
            return value_node;
        }
        append_to(node, "keys"_n, key_node);
        append_to(node, "values"_n, value_node);
    }
    return node;
}

Ref emit_list(vkrt::Call& call, PyObject* list) {
    Ref elts = vkrt::check(PyList_New(0));
    Ref node = make_node(call, "List"_n, "elts"_n, elts.get());
    Ref elements = vkrt::iter(list);
    Ref element;
    while (vkrt::next(elements.get(), element)) {
        Ref child = vkrt::call_or_null(call.global("emit_literal_tree"_n), element);
        if (!child) {
            return child;
        }
        append_to(node, "elts"_n, child);
    }
    return node;
}

Ref emit_literal_tree(vkrt::Call& call) {
    PyObject* dictionary = call[0];
    if (PyDict_Check(dictionary)) {
        Level level;
        return emit_mapping(call, dictionary);
    }
    if (PyList_Check(dictionary)) {
        Level level;
        return emit_list(call, dictionary);
    }
    if (PyUnicode_Check(dictionary)) {
        return make_node(call, "Str"_n, "s"_n, dictionary);
    }
    // bool is an int here, so True stays True in a number constant.
    if (PyLong_Check(dictionary) || PyFloat_Check(dictionary)) {
        return make_node(call, "Num"_n, "n"_n, dictionary);
    }
    if (dictionary == Py_None) {
        return make_node(call, "NameConstant"_n, "value"_n, Py_None);
    }
    Ref message = vkrt::check(PyUnicode_FromFormat(
        "Unsupported type: %S", reinterpret_cast<PyObject*>(Py_TYPE(dictionary))));
    PyErr_SetObject(PyExc_ValueError, message.get());
    return Ref();
}

}  // namespace

VK_MODULE(emit_literal_tree, exec_module)
