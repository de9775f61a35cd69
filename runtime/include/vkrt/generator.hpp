// vkrt/generator.hpp: the native generator type. A generator body is a C++20 coroutine
// (`Coro body(Frame& g)`) that reads like the Python loop it stands for: `co_yield value;`
// yields, `co_yield from(iterable);` delegates like `yield from`, and an exception thrown into
// the generator surfaces at the paused co_yield as PyErrorSet. The object around it follows
// CPython's genobject.c: a three-way resume step, the running guard, send/throw/close with
// delegation, and finalisation that closes a suspended generator.
//
// Rules of use in bodies:
//   * Anything held across a co_yield that may reach back to the generator (iterators,
//     paths, records) is a Local, so that the garbage collector sees it. Plain Refs are for
//     values that die before the next co_yield.
//   * Arguments are read with g.arg(i) (owned by the generator), module names with
//     g.global(name), at the moment of use.
#pragma once

#include "function.hpp"

#include <coroutine>

namespace vkrt {

struct Frame;

/// A delegation request: `co_yield from(iterable)`.
struct From {
    Ref iterable;
};
inline From from(Ref iterable) noexcept {
    return From{std::move(iterable)};
}

/// The coroutine type of generator bodies.
struct Coro {
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type {
        Frame* frame = nullptr;  // the generator object that owns this coroutine
        Ref value;               // the value of the last co_yield, taken by the generator
        bool throwing = false;   // resume with the error indicator set: raise at the co_yield
        bool raised = false;     // the body ended with the error indicator set

        Coro get_return_object() noexcept { return Coro{Handle::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept {
            raised = true;
            try {
                throw;
            } catch (const PyErrorSet&) {
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
            } catch (const std::exception& e) {
                PyErr_Format(PyExc_SystemError,
                             "%U: unexpected C++ exception: %s",
                             frame_qualname(),
                             e.what());
            } catch (...) {
                PyErr_Format(PyExc_SystemError, "%U: unexpected C++ exception", frame_qualname());
            }
        }

        PyObject* frame_qualname() const noexcept;

        struct YieldAwaiter {
            promise_type* promise;
            bool await_ready() const noexcept { return false; }
            void await_suspend(Handle) const noexcept {}
            void await_resume() const {
                if (std::exchange(promise->throwing, false)) {
                    throw PyErrorSet();
                }
            }
        };
        YieldAwaiter yield_value(Ref v) noexcept {
            value = std::move(v);
            return {this};
        }

        struct FromAwaiter {
            promise_type* promise;
            Ref iterable;
            bool await_ready();  // starts the delegation; true when the iterable was empty
            void await_suspend(Handle) const noexcept {}
            void await_resume() const {
                if (std::exchange(promise->throwing, false)) {
                    throw PyErrorSet();
                }
            }
        };
        FromAwaiter yield_value(From f) noexcept { return {this, std::move(f.iterable)}; }
    };

    Handle handle;
};

class Local;

/// Instance layout of the generator type; bodies see it as their frame.
struct Frame {
    PyObject_HEAD
    PyObject* func;      // the native function that made this generator
    PyObject* args;      // tuple of the bound arguments
    PyObject* delegate;  // iterator of an active `yield from`, or NULL
    PyObject* name;      // __name__
    PyObject* qualname;  // __qualname__
    PyObject* weakreflist;
    Coro::Handle body;  // the coroutine; NULL once finished
    Local* locals;      // GC-visible locals of the suspended body (intrusive list)
    bool started;
    bool running;

    /// Argument i of the call, owned by the generator.
    PyObject* arg(std::size_t i) const noexcept {
        return PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    /// A module-level name, looked up now.
    Ref global(PyObject* name_) const {
        auto* f = reinterpret_cast<FuncObject*>(func);
        return lookup_global(f->globals, f->builtins, name_);
    }
};

inline PyObject* Coro::promise_type::frame_qualname() const noexcept {
    return frame->qualname;
}

/// A local of a generator body that the garbage collector can see while the body is suspended.
class Local {
  public:
    explicit Local(Frame& frame, Ref value = {}) noexcept
        : obj_(value.release()), next_(frame.locals), link_(&frame.locals) {
        if (next_ != nullptr) {
            next_->link_ = &next_;
        }
        frame.locals = this;
    }
    ~Local() {
        *link_ = next_;
        if (next_ != nullptr) {
            next_->link_ = link_;
        }
        Py_XDECREF(obj_);
    }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;

    Local& operator=(Ref value) noexcept {
        Py_XSETREF(obj_, value.release());
        return *this;
    }
    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    int traverse(visitproc visit, void* arg) const {
        for (const Local* l = this; l != nullptr; l = l->next_) {
            Py_VISIT(l->obj_);
        }
        return 0;
    }

  private:
    PyObject* obj_;
    Local* next_;
    Local** link_;  // the pointer that points at this node
};

/// `next(it)` into a Local: false on exhaustion.
inline bool next(PyObject* it, Local& out) {
    Ref item;
    bool more = next(it, item);
    out = std::move(item);
    return more;
}

namespace detail {

enum class Step { Next, Return, Error };

inline Frame* as_gen(PyObject* self) {
    return reinterpret_cast<Frame*>(self);
}

inline void finish(Frame* g) noexcept {
    if (g->body) {
        Coro::Handle h = std::exchange(g->body, {});
        h.destroy();  // runs the destructors of the body's locals
    }
}

/// Runs the body until its next co_yield or its end. With `throwing`, the error indicator is
/// set and is raised at the paused co_yield.
inline Step resume(Frame* g, bool throwing, Ref& out) {
    if (!g->body) {  // finished
        return throwing ? Step::Error : Step::Return;
    }
    if (!g->started && throwing) {
        // Nothing of the body has run: the exception leaves a generator that never starts.
        finish(g);
        return Step::Error;
    }
    auto& promise = g->body.promise();
    promise.throwing = throwing;
    g->started = true;
    g->running = true;
    g->body.resume();
    g->running = false;
    if (!g->body.done()) {
        out = std::move(promise.value);
        return Step::Next;
    }
    const bool raised = promise.raised;
    finish(g);
    if (!raised) {
        return Step::Return;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(exc.get(), cause.dup().release());
        PyException_SetContext(exc.get(), cause.release());
        PyErr_SetRaisedException(exc.release());
    }
    return Step::Error;
}

/// Ends an active delegation; the outer body resumes at its `co_yield from`, with the
/// pending error raised there when the delegate failed.
inline Step finish_delegation(Frame* g, Step inner, Ref& out) {
    Py_CLEAR(g->delegate);
    return resume(g, inner == Step::Error, out);
}

/// One step of the delegate with `value` (None means plain next).
inline Step delegate_step(Frame* g, PyObject* value, Ref& out) {
    Ref delegate = Ref::borrow(g->delegate);
    PyObject* result = nullptr;
    g->running = true;
    PySendResult r = PyIter_Send(delegate.get(), value, &result);
    g->running = false;
    Ref res = Ref::steal(result);
    if (r == PYGEN_NEXT) {
        out = std::move(res);
        return Step::Next;
    }
    return finish_delegation(g, r == PYGEN_ERROR ? Step::Error : Step::Return, out);
}

inline Step send(Frame* g, PyObject* value, Ref& out) {
    if (g->running) {
        raise(PyExc_ValueError, "generator already executing");
    }
    if (g->delegate != nullptr) {
        return delegate_step(g, value, out);
    }
    // A generator closed or thrown into before it started is finished, not "just started".
    if (!g->started && g->body && value != Py_None) {
        raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
    }
    return resume(g, false, out);
}

/// Closes a delegate: its `close` method if it has one (a generator's own close()).
/// Returns false, with the error set, when closing raised.
inline bool close_iter(Frame* g, PyObject* delegate) {
    Ref close = Ref::steal(PyObject_GetAttr(delegate, "close"_n));
    if (!close) {
        // A delegate without close() needs no closing; any other lookup error cannot stop
        // the closing either, so it is reported, not raised.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_WriteUnraisable(delegate);
        }
        clear_if(PyExc_AttributeError);
        return true;
    }
    g->running = true;
    Ref result = Ref::steal(PyObject_CallNoArgs(close.get()));
    g->running = false;
    return static_cast<bool>(result);
}

/// Builds the exception of throw(typ[, val[, tb]]) the way a raise statement would and sets
/// it as the error indicator; throws (to the caller) when the arguments are unusable.
inline void set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb != nullptr && !PyTraceBack_Check(tb)) {
        raise(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (val != nullptr && val != Py_None &&
            PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Ref::borrow(val);
        } else if (val == nullptr || val == Py_None) {
            exc = check(PyObject_CallNoArgs(typ));
        } else if (PyTuple_Check(val)) {
            exc = check(PyObject_Call(typ, val, nullptr));
        } else {
            exc = check(PyObject_CallOneArg(typ, val));
        }
        if (!PyExceptionInstance_Check(exc.get())) {
            raise_format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ,
                         Py_TYPE(exc.get())->tp_name);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr && val != Py_None) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exc = Ref::borrow(typ);
    } else {
        raise(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
    if (tb != nullptr) {
        check_int(PyException_SetTraceback(exc.get(), tb));
    }
    PyErr_SetRaisedException(exc.release());
}

inline Step throw_(Frame* g, PyObject* const* args, Py_ssize_t nargs, Ref& out) {
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (g->running) {
        raise(PyExc_ValueError, "generator already executing");
    }
    if (g->delegate != nullptr) {
        Ref delegate = Ref::borrow(g->delegate);
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            // Closing the delegate first, then GeneratorExit (or what closing raised) in here.
            Py_CLEAR(g->delegate);
            if (!close_iter(g, delegate.get())) {
                return resume(g, true, out);
            }
            set_thrown(typ, val, tb);
            return resume(g, true, out);
        }
        Ref meth = Ref::steal(PyObject_GetAttr(delegate.get(), "throw"_n));
        if (!meth) {
            if (!clear_if(PyExc_AttributeError)) {
                throw PyErrorSet();
            }
            // No throw(): the exception rises in this body at its `co_yield from`.
            Py_CLEAR(g->delegate);
            set_thrown(typ, val, tb);
            return resume(g, true, out);
        }
        Ref result;
        if (nargs > 1 && PyGen_Check(delegate.get())) {
            // A Python generator warns about throw(type, value, tb); hand it the exception that
            // form stands for, built here as a raise statement would, so no warning appears
            // that this generator's own throw() does not give either.
            set_thrown(typ, val, tb);
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            g->running = true;
            result = Ref::steal(PyObject_CallOneArg(meth.get(), exc.get()));
        } else {
            g->running = true;
            result = Ref::steal(
                PyObject_Vectorcall(meth.get(), args, static_cast<size_t>(nargs), nullptr));
        }
        g->running = false;
        if (result) {
            out = std::move(result);
            return Step::Next;
        }
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();  // lint-ok: the delegate finished; its return value is discarded
            return finish_delegation(g, Step::Return, out);
        }
        return finish_delegation(g, Step::Error, out);
    }
    set_thrown(typ, val, tb);
    return resume(g, true, out);
}

/// close(): GeneratorExit at the paused co_yield; an error only when the body did not end by it.
inline void close(Frame* g) {
    if (g->running) {
        raise(PyExc_ValueError, "generator already executing");
    }
    bool closing_failed = false;
    if (g->delegate != nullptr) {
        Ref delegate = Ref::steal(std::exchange(g->delegate, nullptr));
        closing_failed = !close_iter(g, delegate.get());
    }
    if (!g->body) {
        if (closing_failed) {
            throw PyErrorSet();
        }
        return;
    }
    if (!g->started) {
        finish(g);
        return;
    }
    if (!closing_failed) {
        PyErr_SetNone(PyExc_GeneratorExit);
    }
    Ref out;
    Step step = resume(g, true, out);
    if (step == Step::Next) {
        raise(PyExc_RuntimeError, "generator ignored GeneratorExit");
    }
    if (step == Step::Error) {
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
            PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();  // lint-ok: the body ended as close() asked
            return;
        }
        throw PyErrorSet();
    }
}

// ---- slots ----

inline PyObject* gen_iternext(PyObject* self) noexcept {
    // Plain exhaustion is NULL with no error set (no StopIteration object is needed), which a
    // pointer-returning guard would take for a bug; so the guarded part reports through `out`.
    Ref out;
    int rc = guard("generator __next__", [&]() -> int {
        Step step = send(as_gen(self), Py_None, out);
        if (step == Step::Error) {
            throw PyErrorSet();
        }
        return step == Step::Next ? 1 : 0;
    });
    return rc == 1 ? out.release() : nullptr;
}

inline PySendResult gen_am_send(PyObject* self, PyObject* arg, PyObject** result) noexcept {
    *result = nullptr;
    int rc = guard("generator send", [&]() -> int {
        Ref out;
        Step step = send(as_gen(self), arg, out);
        if (step == Step::Error) {
            throw PyErrorSet();
        }
        *result = step == Step::Next ? out.release() : Py_NewRef(Py_None);
        return step == Step::Next ? 1 : 0;
    });
    return rc < 0 ? PYGEN_ERROR : (rc == 1 ? PYGEN_NEXT : PYGEN_RETURN);
}

inline PyObject* gen_send(PyObject* self, PyObject* arg) noexcept {
    return guard("generator send", [&]() -> PyObject* {
        Ref out;
        Step step = send(as_gen(self), arg, out);
        if (step == Step::Next) {
            return out.release();
        }
        if (step == Step::Return) {
            PyErr_SetNone(PyExc_StopIteration);
        }
        throw PyErrorSet();
    });
}

inline PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard("generator throw", [&]() -> PyObject* {
        if (nargs < 1) {
            raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        }
        if (nargs > 3) {
            raise_format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        Ref out;
        Step step = throw_(as_gen(self), args, nargs, out);
        if (step == Step::Next) {
            return out.release();
        }
        if (step == Step::Return) {
            PyErr_SetNone(PyExc_StopIteration);
        }
        throw PyErrorSet();
    });
}

inline PyObject* gen_close(PyObject* self, PyObject*) noexcept {
    return guard("generator close", [&]() -> PyObject* {
        close(as_gen(self));
        Py_RETURN_NONE;
    });
}

inline void gen_finalize(PyObject* self) noexcept {
    Frame* g = as_gen(self);
    if (!g->body || !g->started) {
        return;
    }
    PyObject* saved = PyErr_GetRaisedException();
    if (!Ref::steal(gen_close(self, nullptr))) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

inline int gen_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Frame* g = as_gen(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->func);
    Py_VISIT(g->args);
    Py_VISIT(g->delegate);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    if (g->locals != nullptr) {
        return g->locals->traverse(visit, arg);
    }
    return 0;
}

inline int gen_clear(PyObject* self) noexcept {
    Frame* g = as_gen(self);
    finish(g);  // releases the body's locals
    Py_CLEAR(g->func);
    Py_CLEAR(g->args);
    Py_CLEAR(g->delegate);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    return 0;
}

inline void gen_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_gen(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    PyObject_GC_Track(self);  // the finalizer may run Python code
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    gen_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* gen_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

inline PyObject* gen_get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_gen(self)->running);
}
inline PyObject* gen_get_yieldfrom(PyObject* self, void*) noexcept {
    PyObject* d = as_gen(self)->delegate;
    return Py_NewRef(d != nullptr ? d : Py_None);
}
inline PyObject* gen_get_code(PyObject* self, void*) noexcept {
    return PyObject_GetAttr(as_gen(self)->func, "__code__"_n);
}
inline PyObject* gen_get_frame(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}
inline PyObject* gen_get_module(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<FuncObject*>(as_gen(self)->func)->module);
}

using GenName = StrField<offsetof(Frame, name), "__name__ must be set to a string object">;
using GenQualname =
    StrField<offsetof(Frame, qualname), "__qualname__ must be set to a string object">;

inline PyGetSetDef gen_getset[] = {
    {"__name__", GenName::get, GenName::set, nullptr, nullptr},
    {"__qualname__", GenQualname::get, GenQualname::set, nullptr, nullptr},
    {"__module__", gen_get_module, nullptr, nullptr, nullptr},
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", gen_get_yieldfrom, nullptr, nullptr, nullptr},
    {"gi_code", gen_get_code, nullptr, nullptr, nullptr},
    {"gi_frame", gen_get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef gen_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Frame, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)),
     METH_FASTCALL,
     nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(gen_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_am_send, reinterpret_cast<void*>(gen_am_send)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, gen_members},
    {Py_tp_methods, gen_methods},
    {0, nullptr},
};

inline PyType_Spec gen_type_spec = {
    "native_generator",
    sizeof(Frame),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

/// Creates the module's generator type and registers it as a collections.abc.Generator.
inline PyTypeObject* make_generator_type(PyObject* module) {
    Ref type = check(PyType_FromModuleAndSpec(module, &gen_type_spec, nullptr));
    // _collections_abc is loaded at interpreter start-up, so this imports nothing new.
    Ref abc = check(PyImport_ImportModule("_collections_abc"));
    Ref generator = getattr(abc, "Generator"_n);
    call_method(generator, "register"_n, type);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace detail

inline bool Coro::promise_type::FromAwaiter::await_ready() {
    Ref it = iter(iterable);
    iterable.reset();
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) {
        clear_if(PyExc_StopIteration);  // any other error propagates into the body
        return true;                    // nothing to delegate; the return value is discarded
    }
    promise->value = std::move(first);
    Py_XSETREF(promise->frame->delegate, it.release());
    return false;
}

/// The Body of a generator function: binds nothing itself (the function did), makes the
/// generator object that owns the arguments and the suspended coroutine `B`.
template <Coro (*B)(Frame&)>
Ref generator_body(Call& call) {
    FuncObject* f = call.func();
    auto* state = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(f)));
    if (state == nullptr) {
        throw PyErrorSet();
    }
    const auto n = static_cast<Py_ssize_t>(f->decl->params.size());
    Ref args = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(args.get(), i, Py_NewRef(call[static_cast<std::size_t>(i)]));
    }
    auto* g = PyObject_GC_New(Frame, state->generator_type);
    if (g == nullptr) {
        throw PyErrorSet();
    }
    g->func = Py_NewRef(reinterpret_cast<PyObject*>(f));
    g->args = args.release();
    g->delegate = nullptr;
    g->name = Py_NewRef(f->name);
    g->qualname = Py_NewRef(f->qualname);
    g->weakreflist = nullptr;
    g->body = {};
    g->locals = nullptr;
    g->started = false;
    g->running = false;
    Ref gen = Ref::steal(reinterpret_cast<PyObject*>(g));
    Coro coro = B(*g);  // suspended at its start: nothing of the body runs yet
    coro.handle.promise().frame = g;
    g->body = coro.handle;
    PyObject_GC_Track(g);
    return gen;
}

}  // namespace vkrt
