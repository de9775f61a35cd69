// vkrt/ops.hpp: interned names and the handful of object operations that module code uses,
// each throwing PyErrorSet on failure so that call sites read like the Python they stand for.
#pragma once

#include "error.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

namespace vkrt {

namespace detail {
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) {  // NOLINT(google-explicit-constructor)
        std::copy_n(s, N, text);
    }
};
}  // namespace detail

/// The interned string for a literal, made once per literal and kept for the process: names
/// are constants, never looked-up globals, so a process-wide cache is exact.
template <detail::Literal L>
PyObject* interned() {
    static PyObject* const name = [] {
        PyObject* s = PyUnicode_InternFromString(L.text);
        if (s == nullptr) {
            throw PyErrorSet();
        }
        return s;
    }();
    return name;
}

inline namespace literals {
/// `"exists"_n` is the interned str "exists" (borrowed, lives for the process).
template <detail::Literal L>
PyObject* operator""_n() {
    return interned<L>();
}
}  // namespace literals

/// A keyword argument for call() and call_method(): `kw("model_cls"_n, cls)`.
struct Kw {
    PyObject* name;
    PyObject* value;
};
inline Kw kw(PyObject* name, PyObject* value) noexcept {
    return {name, value};
}
inline Kw kw(PyObject* name, const Ref& value) noexcept {
    return {name, value.get()};
}

namespace detail {
inline PyObject* raw(PyObject* p) noexcept {
    return p;
}
inline PyObject* raw(const Ref& r) noexcept {
    return r.get();
}

template <class T>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, Kw>;

/// Lays out positional arguments, then keyword values, behind one free slot (so callees may
/// use PY_VECTORCALL_ARGUMENTS_OFFSET), and builds the kwnames tuple when there are keywords.
template <class... A>
struct ArgPack {
    static constexpr std::size_t kCount = sizeof...(A);
    static constexpr std::size_t kKw = (0 + ... + (is_kw<A> ? 1 : 0));
    std::array<PyObject*, kCount + 1> slots{};
    Ref kwnames;

    explicit ArgPack(const A&... args) {
        std::size_t pos = 1;
        std::size_t kwpos = 1 + kCount - kKw;
        std::size_t kwi = 0;
        if constexpr (kKw > 0) {
            kwnames = check(PyTuple_New(static_cast<Py_ssize_t>(kKw)));
        }
        // Unused (and so a -Werror failure) for a call without arguments: `call(f)`.
        [[maybe_unused]] auto put = [&](const auto& a) {
            if constexpr (is_kw<decltype(a)>) {
                slots[kwpos++] = a.value;
                PyTuple_SET_ITEM(kwnames.get(), kwi++, Py_NewRef(a.name));
            } else {
                slots[pos++] = raw(a);
            }
        };
        (put(args), ...);
    }
    PyObject* const* argv() const noexcept { return slots.data() + 1; }
    std::size_t nargsf() const noexcept { return (kCount - kKw) | PY_VECTORCALL_ARGUMENTS_OFFSET; }
};
}  // namespace detail

/// `f(args...)`, or an empty Ref with the error set: for a call whose failure the caller
/// passes on or handles without unwinding.
template <class... A>
Ref call_or_null(PyObject* f, const A&... args) {
    detail::ArgPack<A...> pack(args...);
    return Ref::steal(PyObject_Vectorcall(f, pack.argv(), pack.nargsf(), pack.kwnames.get()));
}
template <class... A>
Ref call_or_null(const Ref& f, const A&... args) {
    return call_or_null(f.get(), args...);
}

/// `f(args...)`; keywords given as kw(name, value) come after the positionals.
template <class... A>
Ref call(PyObject* f, const A&... args) {
    Ref result = call_or_null(f, args...);
    if (!result) {
        throw PyErrorSet();
    }
    return result;
}
template <class... A>
Ref call(const Ref& f, const A&... args) {
    return call(f.get(), args...);
}

/// `obj.name(args...)`, or an empty Ref with the error set: for a call whose failure is an
/// expected outcome that the caller handles without unwinding.
template <class... A>
Ref call_method_or_null(PyObject* obj, PyObject* name, const A&... args) {
    detail::ArgPack<PyObject*, A...> pack(obj, args...);
    return Ref::steal(
        PyObject_VectorcallMethod(name,
                                  pack.argv(),
                                  (1 + sizeof...(A) - pack.kKw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  pack.kwnames.get()));
}
template <class... A>
Ref call_method_or_null(const Ref& obj, PyObject* name, const A&... args) {
    return call_method_or_null(obj.get(), name, args...);
}

/// `obj.name(args...)`, without creating a bound method.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    Ref result = call_method_or_null(obj, name, args...);
    if (!result) {
        throw PyErrorSet();
    }
    return result;
}
template <class... A>
Ref call_method(const Ref& obj, PyObject* name, const A&... args) {
    return call_method(obj.get(), name, args...);
}

inline Ref getattr(PyObject* obj, PyObject* name) {
    return check(PyObject_GetAttr(obj, name));
}
inline Ref getattr(const Ref& obj, PyObject* name) {
    return getattr(obj.get(), name);
}
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check_int(PyObject_SetAttr(obj, name, value));
}

/// `bool(obj)`.
inline bool truthy(PyObject* obj) {
    return check_int(PyObject_IsTrue(obj)) != 0;
}
inline bool truthy(const Ref& obj) {
    return truthy(obj.get());
}

/// `iter(obj)`.
inline Ref iter(PyObject* obj) {
    return check(PyObject_GetIter(obj));
}
inline Ref iter(const Ref& obj) {
    return iter(obj.get());
}

/// `next(it)` for a for-loop: false on exhaustion, the next item in `out` otherwise.
inline bool next(PyObject* it, Ref& out) {
    out = Ref::steal(PyIter_Next(it));
    if (!out && PyErr_Occurred()) {
        throw PyErrorSet();
    }
    return static_cast<bool>(out);
}

/// `a, b, ... = item` into out (out.size() names), with the native unpacking errors. An exact
/// tuple or list is judged by its length and nothing is consumed; anything else is iterated,
/// one extra item included when there are too many.
inline void unpack(PyObject* item, std::span<Ref> out) {
    const auto expected = static_cast<Py_ssize_t>(out.size());
    auto too_many = [expected] {
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    };
    auto too_few = [](Py_ssize_t got) {
        raise_format(
            PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    };
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = Py_SIZE(item);
        if (size > expected) {
            too_many();
        }
        if (size < expected) {
            too_few(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(item);
        for (Py_ssize_t i = 0; i < expected; ++i) {
            out[static_cast<std::size_t>(i)] = Ref::borrow(items[i]);
        }
        return;
    }
    Ref it = iter(item);
    for (Py_ssize_t k = 0; k < expected; ++k) {
        if (!next(it.get(), out[static_cast<std::size_t>(k)])) {
            too_few(k);
        }
    }
    Ref extra;
    if (next(it.get(), extra)) {
        too_many();
    }
}

/// `str(obj)`.
inline Ref str(PyObject* obj) {
    return check(PyObject_Str(obj));
}

/// A new list from borrowed or owned items.
template <class... A>
Ref list_of(const A&... items) {
    Ref list = check(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(list.get(), i++, Py_NewRef(detail::raw(items)))), ...);
    return list;
}

/// A new tuple from borrowed or owned items.
template <class... A>
Ref tuple_of(const A&... items) {
    Ref tuple = check(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(detail::raw(items)))), ...);
    return tuple;
}

/// `lst.append(item)`.
inline void append(PyObject* lst, PyObject* item) {
    check_int(PyList_Append(lst, item));
}

/// A new str from UTF-8 text.
inline Ref text(const char* s) {
    return check(PyUnicode_FromString(s));
}

}  // namespace vkrt
