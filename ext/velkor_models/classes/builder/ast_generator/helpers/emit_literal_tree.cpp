// velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree: turns plain nested data
// (mappings, lists, texts, numbers, booleans, None) into the syntax tree of the equal literal.
#include "vkrt/vkrt.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
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
//     that kStackReserve bytes of the thread's stack are left, enough for one more level plus
//     the ast constructors, the warning they emit and raising the error itself.

constexpr std::uintptr_t kStackReserve = 256 * 1024;

/// The lowest stack address this thread may recurse down to (0 when unknown).
std::uintptr_t stack_floor(std::uintptr_t& low, std::uintptr_t& high) {
    // Machine facts about the calling thread, not interpreter state: one lookup per thread.
    thread_local bool known = false;
    thread_local std::uintptr_t t_low = 0;
    thread_local std::uintptr_t t_high = 0;
    thread_local std::uintptr_t t_floor = 0;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 0) {
                t_low = reinterpret_cast<std::uintptr_t>(addr);
                t_high = t_low + size;
                // A small stack still keeps most of itself for recursion.
                t_floor = t_low + std::min<std::uintptr_t>(kStackReserve, size / 4);
            }
            pthread_attr_destroy(&attr);
        }
    }
    low = t_low;
    high = t_high;
    return t_floor;
}

bool stack_exhausted() {
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    const std::uintptr_t floor = stack_floor(low, high);
    // Running on a stack the thread does not own (a coroutine library's): no byte bound.
    return floor != 0 && sp >= low && sp < high && sp < floor;
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

/// `node.<field>.append(item)`.
void append_to(const Ref& node, PyObject* field, const Ref& item) {
    Ref items = vkrt::getattr(node, field);
    if (PyList_CheckExact(items.get())) {
        vkrt::append(items.get(), item.get());
    } else {
        vkrt::call_method(items, "append"_n, item);
    }
}

[[noreturn]] void too_few(Py_ssize_t got) {
    vkrt::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                       got == 1 ? "" : "s");
}

[[noreturn]] void too_many() {
    vkrt::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                       Py_ssize_t{2});
}

/// `key, value = entry` for one entry of a mapping's items().
std::pair<Ref, Ref> unpack_pair(PyObject* entry) {
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(entry);
        if (n != 2) {
            n < 2 ? too_few(n) : too_many();
        }
        PyObject** items = PySequence_Fast_ITEMS(entry);
        return {Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref it = vkrt::iter(entry);
    Ref key;
    Ref value;
    Ref extra;
    if (!vkrt::next(it.get(), key)) {
        too_few(0);
    }
    if (!vkrt::next(it.get(), value)) {
        too_few(1);
    }
    if (vkrt::next(it.get(), extra)) {
        too_many();
    }
    return {std::move(key), std::move(value)};
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
        auto [key, value] = unpack_pair(entry.get());
        // Keys are always text constants: 1 becomes '1'.
        Ref key_text = PyUnicode_CheckExact(key.get()) ? std::move(key) : vkrt::str(key.get());
        Ref key_node = make_node(call, "Constant"_n, "s"_n, key_text.get());
        Ref value_node = vkrt::call(call.global("emit_literal_tree"_n), value);
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
        Ref child = vkrt::call(call.global("emit_literal_tree"_n), element);
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
    throw vkrt::PyErrorSet();
}

}  // namespace

VK_MODULE(emit_literal_tree, exec_module)
