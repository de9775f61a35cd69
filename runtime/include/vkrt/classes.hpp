// vkrt/classes.hpp: building a class the way a class statement does: the most derived
// metaclass of the bases, its __prepare__, a namespace holding __module__, __qualname__,
// __doc__ and __annotations__ (texts), then the body in order, then meta(name, bases, ns).
#pragma once

#include "module.hpp"

namespace vkrt {

/// How one body statement binds its name.
enum class MemberKind : unsigned char {
    Method,          ///< a plain `def`
    Property,        ///< `@property`
    CachedProperty,  ///< `@cached_property`, the module's global looked up at class creation
    StaticMethod,    ///< `@staticmethod`
    None,            ///< `name: T = None`, a field default
};

/// One statement of a class body, in body order.
struct Member {
    const char* name;
    MemberKind kind;
    const FuncSpec* func = nullptr;
};

/// One class-level annotation: the field name and its annotation text.
struct Annotation {
    const char* name;
    const char* text;
};

struct ClassSpec {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;
    std::span<const Annotation> annotations = {};
    std::span<const Member> members = {};
};

namespace detail {
/// The most derived metaclass among the bases' types (type for no bases).
inline PyObject* calculate_meta(PyObject* bases) {
    auto* winner = Py_ssize_t{PyTuple_GET_SIZE(bases)} > 0 ? Py_TYPE(PyTuple_GET_ITEM(bases, 0))
                                                           : &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) {
            continue;
        }
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return reinterpret_cast<PyObject*>(winner);
}
}  // namespace detail

/// Runs `class Name(*bases): ...` for `decl` and binds the class in the module.
inline Ref define_class(Module& module, const ClassSpec& decl, Ref bases) {
    Ref name = check(PyUnicode_InternFromString(decl.name));
    PyObject* meta = detail::calculate_meta(bases.get());
    Ref ns;
    Ref prepare = Ref::steal(PyObject_GetAttr(meta, "__prepare__"_n));
    if (prepare) {
        ns = call(prepare, name, bases);
    } else {
        clear_if(PyExc_AttributeError);
        ns = check(PyDict_New());
    }
    auto put = [&](PyObject* key, PyObject* value) {
        check_int(PyObject_SetItem(ns.get(), key, value));
    };
    put("__module__"_n, module.name());
    put("__qualname__"_n, text(decl.qualname).get());
    if (decl.doc != nullptr) {
        put("__doc__"_n, text(decl.doc).get());
    }
    if (!decl.annotations.empty()) {
        Ref annotations = check(PyDict_New());
        for (const Annotation& a : decl.annotations) {
            check_int(PyDict_SetItemString(annotations.get(), a.name, text(a.text).get()));
        }
        put("__annotations__"_n, annotations.get());
    }
    for (const Member& m : decl.members) {
        Ref key = check(PyUnicode_InternFromString(m.name));
        Ref value;
        switch (m.kind) {
        case MemberKind::None:
            value = Ref::borrow(Py_None);
            break;
        case MemberKind::Method:
            value = module.function(*m.func);
            break;
        case MemberKind::Property:
            value = check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                              module.function(*m.func).get()));
            break;
        case MemberKind::StaticMethod:
            // Called like the builtin, not PyStaticMethod_New: only its __init__ copies
            // __name__, __qualname__, __doc__, __module__ and __annotations__ onto the wrapper.
            value = check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyStaticMethod_Type),
                                              module.function(*m.func).get()));
            break;
        case MemberKind::CachedProperty:
            value = call(module.global("cached_property"_n), module.function(*m.func));
            break;
        }
        put(key.get(), value.get());
    }
    Ref cls = call(meta, name, bases, ns);
    module.set(name.get(), cls.get());
    return cls;
}

}  // namespace vkrt
