// vkrt/module.hpp: multi-phase module initialisation. VK_MODULE(leaf, exec) defines
// PyInit_<leaf>; exec receives a Module, runs the module's import table in order and binds its
// constants, functions and classes in definition order.
#pragma once

#include "generator.hpp"

namespace vkrt {

/// One row of a module's import table: `import module` (name == nullptr, binding the top-level
/// package) or `from module import name`.
struct ImportStep {
    const char* module;
    const char* name = nullptr;
};

/// The module being initialised.
class Module {
  public:
    explicit Module(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {
        name_ = check(PyModule_GetNameObject(module));
        Ref builtins_module = check(PyImport_ImportModule("builtins"));
        builtins_ = Ref::borrow(PyModule_GetDict(builtins_module.get()));
        check_int(PyDict_SetItem(dict_, "__builtins__"_n, builtins_module.get()));
        state_ = static_cast<ModuleState*>(PyModule_GetState(module));
        if (state_->function_type == nullptr) {
            state_->function_type = reinterpret_cast<PyTypeObject*>(
                check(PyType_FromModuleAndSpec(module, &detail::func_type_spec, nullptr))
                    .release());
        }
    }

    PyObject* get() const noexcept { return module_; }
    PyObject* name() const noexcept { return name_.get(); }

    /// Runs the import table in order, binding each result; the first failure propagates as is.
    void import(std::span<const ImportStep> steps) {
        for (const ImportStep& step : steps) {
            Ref module_name = text(step.module);
            if (step.name == nullptr) {
                // `import a.b` binds `a`, which is what the import call returns here.
                Ref top = check(PyImport_ImportModuleLevelObject(
                    module_name.get(), dict_, nullptr, nullptr, 0));
                Ref first = check(PyUnicode_FromStringAndSize(
                    step.module, static_cast<Py_ssize_t>(std::strcspn(step.module, "."))));
                set(first.get(), top.get());
            } else {
                Ref name = check(PyUnicode_InternFromString(step.name));
                Ref fromlist = tuple_of(name);
                Ref module = check(PyImport_ImportModuleLevelObject(
                    module_name.get(), dict_, nullptr, fromlist.get(), 0));
                set(name.get(), from_import(module.get(), module_name.get(), name.get()).get());
            }
        }
    }

    /// A native function of this module, not bound to any name.
    Ref function(const FuncSpec& decl) {
        if (decl.generator && state_->generator_type == nullptr) {
            state_->generator_type = detail::make_generator_type(module_);
        }
        return make_function(state_->function_type, dict_, builtins_.get(), name_.get(), decl);
    }

    /// `def name(...)`: a native function bound under its name.
    void def(const FuncSpec& decl) {
        Ref f = function(decl);
        check_int(PyDict_SetItemString(dict_, decl.name, f.get()));
    }

    /// Binds a module attribute.
    void set(PyObject* name, PyObject* value) { check_int(PyDict_SetItem(dict_, name, value)); }
    void set(const char* name, PyObject* value) {
        check_int(PyDict_SetItemString(dict_, name, value));
    }

    /// A module-level name, looked up now.
    Ref global(PyObject* name) const { return lookup_global(dict_, builtins_.get(), name); }

  private:
    /// `from m import n`: the attribute, else the submodule sys.modules["m.n"].
    static Ref from_import(PyObject* module, PyObject* module_name, PyObject* name) {
        Ref value = Ref::steal(PyObject_GetAttr(module, name));
        if (value) {
            return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PyErrorSet();
        }
        // The failed getattr's error goes first: the calls below must not run with it set.
        clear_if(PyExc_AttributeError);
        Ref full = check(PyUnicode_FromFormat("%U.%U", module_name, name));
        PyObject* submodule = PyImport_GetModule(full.get());
        if (submodule != nullptr) {
            return Ref::steal(submodule);
        }
        if (PyErr_Occurred()) {
            throw PyErrorSet();
        }
        raise_format(PyExc_ImportError, "cannot import name %S", name);
    }

    PyObject* module_;
    PyObject* dict_;
    Ref name_;
    Ref builtins_;
    ModuleState* state_ = nullptr;
};

namespace detail {
inline ModuleState* module_state(PyObject* m) {
    return static_cast<ModuleState*>(PyModule_GetState(m));
}

inline int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* s = module_state(m);
    if (s != nullptr) {
        Py_VISIT(s->function_type);
        Py_VISIT(s->generator_type);
    }
    return 0;
}
inline int module_clear(PyObject* m) {
    ModuleState* s = module_state(m);
    if (s != nullptr) {
        Py_CLEAR(s->function_type);
        Py_CLEAR(s->generator_type);
    }
    return 0;
}
inline void module_free(void* m) {
    module_clear(static_cast<PyObject*>(m));
}
}  // namespace detail

}  // namespace vkrt

/// Defines PyInit_<leaf> for a module whose initialisation is `void exec(vkrt::Module&)`.
/// The module keeps process-wide caches of interned names, so it declines sub-interpreters.
#define VK_MODULE(leaf, exec)                                                                      \
    static int vk_exec_##leaf(PyObject* m) noexcept {                                              \
        return ::vkrt::guard("initialising " #leaf, [&]() -> int {                                 \
            ::vkrt::Module module(m);                                                              \
            exec(module);                                                                          \
            return 0;                                                                              \
        });                                                                                        \
    }                                                                                              \
    static PyModuleDef_Slot vk_slots_##leaf[] = {                                                  \
        {Py_mod_exec, reinterpret_cast<void*>(vk_exec_##leaf)},                                    \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                \
        {0, nullptr},                                                                              \
    };                                                                                             \
    static PyModuleDef vk_def_##leaf = {                                                           \
        PyModuleDef_HEAD_INIT,                                                                     \
        VK_MODULE_NAME,                                                                            \
        nullptr,                                                                                   \
        sizeof(::vkrt::ModuleState),                                                               \
        nullptr,                                                                                   \
        vk_slots_##leaf,                                                                           \
        ::vkrt::detail::module_traverse,                                                           \
        ::vkrt::detail::module_clear,                                                              \
        ::vkrt::detail::module_free,                                                               \
    };                                                                                             \
    PyMODINIT_FUNC PyInit_##leaf() {                                                               \
        return PyModuleDef_Init(&vk_def_##leaf);                                                   \
    }
