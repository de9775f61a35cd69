// vkrt/function.hpp: the native function type. One static FuncSpec per `def` declares its
// signature once (names, kinds, annotation texts, exact-type tests); the binder below reads it
// at every call and produces the interpreter-style call errors, so module code never parses
// arguments itself.
#pragma once

#include "ops.hpp"

#include <span>
#include <structmember.h>

namespace vkrt {

/// Exact-type test made on a parameter after binding.
enum class Check : unsigned char { None, Str, List };
/// Exact-type test made on a result at the `return`.
enum class Result : unsigned char { None, Str, Bytes };

/// One parameter of a native function, in declaration order.
struct Param {
    const char* name;
    const char* annotation = nullptr;  ///< annotation text, or nullptr when not annotated
    Check check = Check::None;
    bool kwonly = false;
    bool default_none = false;  ///< has the default None (the only default the system uses)
};

struct FuncObject;
class Call;
/// A function body: the result, or an error by throwing PyErrorSet or by returning an empty
/// Ref with the error set (cheaper where the error is a common outcome).
using Body = Ref (*)(Call&);

/// The static description of one `def`.
struct FuncSpec {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;  ///< docstring, or nullptr for None
    std::span<const Param> params = {};
    const char* returns = nullptr;  ///< return annotation text, or nullptr
    Result result = Result::None;
    Body body = nullptr;
    bool generator = false;  ///< sets CO_GENERATOR on the code object
    int line = 1;            ///< co_firstlineno
};

/// Instance layout of the function type. Every PyObject* field is owned and GC-visited.
struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* decl;
    PyObject* globals;      // the defining module's dict (__globals__)
    PyObject* builtins;     // dict of the real builtins module, the fallback for global names
    PyObject* module;       // __module__
    PyObject* name;         // __name__
    PyObject* qualname;     // __qualname__
    PyObject* doc;          // __doc__
    PyObject* varnames;     // tuple of interned parameter names, also co_varnames
    PyObject* annotations;  // __annotations__: {param: text, 'return': text}
    PyObject* dict;         // __dict__, made on first use
    PyObject* code;         // __code__, made on first use
    PyObject* weakreflist;
};

/// Per-module state: only the runtime's heap types, fixed after exec.
struct ModuleState {
    PyTypeObject* function_type;   // type of every native function of the module
    PyTypeObject* generator_type;  // made with the first generator function, else NULL
};

/// Looks a module-level name up the way a function body does: globals, then builtins, else
/// NameError. Called at every use, so rebinding a module attribute takes effect at once.
inline Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v == nullptr && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(builtins, name);
    }
    if (v == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        throw PyErrorSet();
    }
    return Ref::borrow(v);
}

/// The bound arguments of one call, in parameter order (borrowed for the call's duration).
class Call {
  public:
    Call(FuncObject* func, PyObject* const* values) noexcept : func_(func), values_(values) {}
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    FuncObject* func() const noexcept { return func_; }
    /// A module-level name, looked up now.
    Ref global(PyObject* name) const {
        return lookup_global(func_->globals, func_->builtins, name);
    }
    /// A new native function of the called function's module: a nested `def` or a lambda.
    Ref function(const FuncSpec& decl) const;

  private:
    FuncObject* func_;
    PyObject* const* values_;
};

namespace detail {

inline constexpr std::size_t kMaxParams = 16;

inline const char* func_name(FuncObject* f) {
    const char* s = PyUnicode_AsUTF8(f->name);
    if (s == nullptr) {
        throw PyErrorSet();
    }
    return s;
}

/// Index of the keyword whose name is `name` (identity first, then equality), or -1.
inline Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, i), name) == 0) {
            return i;
        }
    }
    return -1;
}

/// Index of the parameter named `key`, or -1.
inline Py_ssize_t find_param(PyObject* varnames, PyObject* key) {
    return find_keyword(varnames, key);
}

[[noreturn]] inline void
arity_error(FuncObject* f, Py_ssize_t npos, Py_ssize_t min, Py_ssize_t given) {
    // "exactly" whenever every positional is required, keyword-only parameters or not.
    const bool below = min == npos || given < min;
    const char* word = min == npos ? "exactly" : (given < min ? "at least" : "at most");
    const Py_ssize_t n = below ? min : npos;
    raise_format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func_name(f),
                 word,
                 n,
                 n == 1 ? "" : "s",
                 given);
}

[[noreturn]] inline void missing_kwonly(FuncObject* f, Py_ssize_t i) {
    raise_format(PyExc_TypeError,
                 "%s() needs keyword-only argument %U",
                 func_name(f),
                 PyTuple_GET_ITEM(f->varnames, i));
}

/// Binds args/kwnames into values[] (parameter order) and runs the entry type tests.
/// The order of checks is the interpreter's native one: too many positionals, a missing
/// required positional, a missing keyword-only, leftover keywords in call order, then types.
inline void
bind(FuncObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    const std::span<const Param> P = f->decl->params;
    const auto n = static_cast<Py_ssize_t>(P.size());
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;

    if (n == 0) {
        if (nkw > 0) {
            raise_format(PyExc_TypeError, "%.200s() takes no keyword arguments", func_name(f));
        }
        if (nargs > 0) {
            raise_format(
                PyExc_TypeError, "%.200s() takes no arguments (%zd given)", func_name(f), nargs);
        }
        return;
    }

    Py_ssize_t npos = 0;
    Py_ssize_t min = 0;
    Py_ssize_t last_required = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = P[static_cast<std::size_t>(i)];
        values[i] = p.default_none ? Py_None : nullptr;
        if (!p.kwonly) {
            ++npos;
            if (!p.default_none) {
                ++min;
            }
        }
        if (!p.default_none) {
            last_required = i;
        }
    }

    // (1) too many positionals
    if (nargs > npos) {
        arity_error(f, npos, min, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = args[i];
    }

    if (nkw == 0) {
        // (2a), (3a)
        if (nargs < min) {
            arity_error(f, npos, min, nargs);
        }
        for (Py_ssize_t i = npos; i < n; ++i) {
            if (!P[static_cast<std::size_t>(i)].default_none) {
                missing_kwonly(f, i);
            }
        }
    } else {
        Py_ssize_t remaining = nkw;
        // (2b), (3b): required parameters in declaration order
        for (Py_ssize_t i = nargs; i <= last_required; ++i) {
            const Param& p = P[static_cast<std::size_t>(i)];
            if (p.kwonly && p.default_none) {
                continue;
            }
            Py_ssize_t k = find_keyword(kwnames, PyTuple_GET_ITEM(f->varnames, i));
            if (k >= 0) {
                values[i] = kwvalues[k];
                --remaining;
            } else if (!p.kwonly && !p.default_none) {
                arity_error(f, npos, min, i);
            } else if (p.kwonly && !p.default_none) {
                missing_kwonly(f, i);
            }
        }
        // (4) optional keyword-only parameters
        for (Py_ssize_t i = npos; i < n; ++i) {
            if (P[static_cast<std::size_t>(i)].default_none) {
                Py_ssize_t k = find_keyword(kwnames, PyTuple_GET_ITEM(f->varnames, i));
                if (k >= 0) {
                    values[i] = kwvalues[k];
                    --remaining;
                }
            }
        }
        // (5) leftover keywords, in call order: the first bad one decides
        if (remaining > 0) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                Py_ssize_t j = find_param(f->varnames, key);
                if (j >= nargs) {
                    values[j] = kwvalues[k];
                } else if (j >= 0) {
                    raise_format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'",
                                 func_name(f),
                                 key);
                } else {
                    raise_format(PyExc_TypeError,
                                 "%s() got an unexpected keyword argument '%U'",
                                 func_name(f),
                                 key);
                }
            }
        }
    }

    // (6) entry type tests, in declaration order
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = P[static_cast<std::size_t>(i)];
        if (p.check == Check::None) {
            continue;
        }
        PyObject* v = values[i];
        if (p.default_none && v == Py_None) {
            continue;
        }
        PyTypeObject* expected = p.check == Check::Str ? &PyUnicode_Type : &PyList_Type;
        if (!Py_IS_TYPE(v, expected)) {
            raise_format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         p.name,
                         expected->tp_name,
                         Py_TYPE(v)->tp_name);
        }
    }
}

/// The result test of a `-> str` / `-> bytes` function or property getter.
inline void check_result(Result kind, PyObject* v) {
    if (kind == Result::None || v == Py_None) {
        return;
    }
    if (kind == Result::Str && !PyUnicode_CheckExact(v)) {
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(v)->tp_name);
    }
    if (kind == Result::Bytes && !PyBytes_CheckExact(v)) {
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(v)->tp_name);
    }
}

inline PyObject* func_vectorcall(PyObject* callable,
                                 PyObject* const* args,
                                 size_t nargsf,
                                 PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<FuncObject*>(callable);
    // A stray C++ exception's SystemError names the function it escaped from.
    return guard(f->decl->qualname, [&]() -> PyObject* {
        PyObject* values[kMaxParams];
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values);
        Call call(f, values);
        Ref result = f->decl->body(call);
        if (!result) {
            return nullptr;
        }
        check_result(f->decl->result, result.get());
        return result.release();
    });
}

inline Ref make_code(FuncObject* f) {
    const FuncSpec& s = *f->decl;
    int argc = 0;
    int kwonly = 0;
    for (const Param& p : s.params) {
        (p.kwonly ? kwonly : argc) += 1;
    }
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (s.generator ? CO_GENERATOR : 0);
    Ref empty_bytes = check(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = check(PyTuple_New(0));
    PyObject* file = PyDict_GetItemWithError(f->globals, "__file__"_n);
    if (file == nullptr && PyErr_Occurred()) {
        throw PyErrorSet();
    }
    Ref filename = file != nullptr && PyUnicode_Check(file) ? Ref::borrow(file) : text("<native>");
    Ref name = check(PyUnicode_FromString(s.name));
    return check(
        reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(argc,
                                                                       0,
                                                                       kwonly,
                                                                       argc + kwonly,
                                                                       0,
                                                                       flags,
                                                                       empty_bytes.get(),
                                                                       empty_tuple.get(),
                                                                       empty_tuple.get(),
                                                                       f->varnames,
                                                                       empty_tuple.get(),
                                                                       empty_tuple.get(),
                                                                       filename.get(),
                                                                       name.get(),
                                                                       name.get(),
                                                                       s.line,
                                                                       empty_bytes.get(),
                                                                       empty_bytes.get())));
}

// ---- slots ----

inline int func_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->varnames);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    return 0;
}

inline int func_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    return 0;
}

inline void func_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<FuncObject*>(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

inline PyObject* func_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat(
        "<function %U at %p>", reinterpret_cast<FuncObject*>(self)->qualname, self);
}

inline PyObject* func_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(reinterpret_cast<FuncObject*>(self)->qualname);
}

/// A getter/setter pair over a str field that refuses anything but str.
template <std::size_t Offset, detail::Literal Message>
struct StrField {
    static PyObject*& field(PyObject* self) {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    }
    static PyObject* get(PyObject* self, void*) noexcept { return Py_NewRef(field(self)); }
    static int set(PyObject* self, PyObject* value, void*) noexcept {
        if (value == nullptr || !PyUnicode_Check(value)) {
            PyErr_SetString(PyExc_TypeError, Message.text);
            return -1;
        }
        Py_XSETREF(field(self), Py_NewRef(value));
        return 0;
    }
};

inline FuncObject* as_func(PyObject* self) {
    return reinterpret_cast<FuncObject*>(self);
}

inline PyObject* func_get_doc(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->doc);
}
inline int func_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_func(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

inline PyObject* func_get_dict(PyObject* self, void*) noexcept {
    FuncObject* f = as_func(self);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->dict);
}
inline int func_set_dict(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_func(self)->dict, Py_NewRef(value));
    return 0;
}

inline PyObject* func_get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->globals);
}
inline PyObject* func_get_closure(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

inline PyObject* func_get_code(PyObject* self, void*) noexcept {
    return guard("__code__", [&]() -> PyObject* {
        FuncObject* f = as_func(self);
        if (f->code == nullptr) {
            f->code = make_code(f).release();
        }
        return Py_NewRef(f->code);
    });
}

inline PyObject* func_get_defaults(PyObject* self, void*) noexcept {
    return guard("__defaults__", [&]() -> PyObject* {
        Py_ssize_t count = 0;
        for (const Param& p : as_func(self)->decl->params) {
            count += (!p.kwonly && p.default_none) ? 1 : 0;
        }
        if (count == 0) {
            Py_RETURN_NONE;
        }
        Ref defaults = check(PyTuple_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyTuple_SET_ITEM(defaults.get(), i, Py_None);
        }
        return defaults.release();
    });
}

inline PyObject* func_get_kwdefaults(PyObject* self, void*) noexcept {
    return guard("__kwdefaults__", [&]() -> PyObject* {
        Ref kwdefaults;
        for (const Param& p : as_func(self)->decl->params) {
            if (p.kwonly && p.default_none) {
                if (!kwdefaults) {
                    kwdefaults = check(PyDict_New());
                }
                check_int(PyDict_SetItemString(kwdefaults.get(), p.name, Py_None));
            }
        }
        return kwdefaults ? kwdefaults.release() : Py_NewRef(Py_None);
    });
}

inline PyObject* func_get_annotations(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->annotations);
}
inline int func_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_NewRef(value));
    return 0;
}

using NameField = StrField<offsetof(FuncObject, name), "__name__ must be set to a string object">;
using QualnameField =
    StrField<offsetof(FuncObject, qualname), "__qualname__ must be set to a string object">;

inline PyGetSetDef func_getset[] = {
    {"__name__", NameField::get, NameField::set, nullptr, nullptr},
    {"__qualname__", QualnameField::get, QualnameField::set, nullptr, nullptr},
    {"__doc__", func_get_doc, func_set_doc, nullptr, nullptr},
    {"__dict__", func_get_dict, func_set_dict, nullptr, nullptr},
    {"__globals__", func_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", func_get_closure, nullptr, nullptr, nullptr},
    {"__code__", func_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", func_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", func_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", func_get_annotations, func_set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(FuncObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FuncObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FuncObject, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FuncObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot func_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(func_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(func_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(func_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(func_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(func_repr)},
    {Py_tp_getset, func_getset},
    {Py_tp_members, func_members},
    {Py_tp_methods, func_methods},
    {0, nullptr},
};

inline PyType_Spec func_type_spec = {
    "native_function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    func_slots,
};

}  // namespace detail

/// Creates a native function of `type` for `decl`, with `globals` as its module namespace.
inline Ref make_function(PyTypeObject* type,
                         PyObject* globals,
                         PyObject* builtins,
                         PyObject* module_name,
                         const FuncSpec& decl) {
    assert(decl.params.size() <= detail::kMaxParams);
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(decl.params.size())));
    Ref annotations = check(PyDict_New());
    for (std::size_t i = 0; i < decl.params.size(); ++i) {
        const Param& p = decl.params[i];
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (name == nullptr) {
            throw PyErrorSet();
        }
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), name);
        if (p.annotation != nullptr) {
            Ref ann = text(p.annotation);
            check_int(PyDict_SetItem(annotations.get(), name, ann.get()));
        }
    }
    if (decl.returns != nullptr) {
        Ref ann = text(decl.returns);
        check_int(PyDict_SetItem(annotations.get(), "return"_n, ann.get()));
    }
    Ref name = check(PyUnicode_InternFromString(decl.name));
    Ref qualname = text(decl.qualname);
    Ref doc = decl.doc != nullptr ? text(decl.doc) : Ref::borrow(Py_None);

    auto* f = PyObject_GC_New(FuncObject, type);
    if (f == nullptr) {
        throw PyErrorSet();
    }
    f->vectorcall = detail::func_vectorcall;
    f->decl = &decl;
    f->globals = Py_NewRef(globals);
    f->builtins = Py_NewRef(builtins);
    f->module = Py_NewRef(module_name);
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->varnames = varnames.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->code = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

inline Ref Call::function(const FuncSpec& decl) const {
    return make_function(Py_TYPE(func_), func_->globals, func_->builtins, func_->module, decl);
}

}  // namespace vkrt
