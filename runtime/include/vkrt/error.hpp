// vkrt/error.hpp: the one error model. A C++ PyErrorSet means "the Python error indicator is
// set; unwind to the entry point", where guard() turns it into NULL or -1.
//
// Rules of use:
//   * Throw PyErrorSet only with the indicator set: through check(), check_int(), raise() and
//     raise_format(), or right after a C API call that failed.
//   * Every function whose address CPython holds is noexcept and is one `return guard(...)`.
//   * Clean-up happens by RAII while unwinding, as CPython's `bail:` labels do.
//   * To inspect an error, use try_except(); nothing else clears the indicator.
//   * The indicator is the error; PyErrorSet only carries it to the entry point. Where an error
//     is an everyday outcome (a validator's mismatch), a function body may instead return an
//     empty Ref with the indicator set, sparing the unwinding: guard() reads both the same way.
#pragma once

#include "ref.hpp"

#include <cstdarg>
#include <exception>
#include <new>
#include <type_traits>

namespace vkrt {

/// "A Python error is set." Deliberately not a std::exception, so no generic catch eats it.
struct PyErrorSet final {
    PyErrorSet() noexcept { assert(PyErr_Occurred() != nullptr); }
};

/// Steals p, or throws when p is NULL (a failed C API call).
inline Ref check(PyObject* p) {
    if (p == nullptr) {
        throw PyErrorSet();
    }
    return Ref::steal(p);
}

/// Passes rc through, or throws when it signals failure (negative).
inline int check_int(int rc) {
    if (rc < 0) {
        throw PyErrorSet();
    }
    return rc;
}

/// Sets `type(message)` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet();
}

/// Sets `type` with a PyUnicode_FromFormat message and throws.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    PyErr_FormatV(type, format, ap);
    va_end(ap);
    throw PyErrorSet();
}

/// Runs an entry point's body and maps its outcome onto CPython's convention: a pointer result
/// becomes NULL on error, an int result -1. A body may also return NULL itself with the error
/// set, which spares a hot error path the cost of C++ unwinding. Anything that is not
/// PyErrorSet is a bug or an allocation failure and is reported instead of unwinding through C
/// frames.
template <class F>
auto guard(const char* where, F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>, "guard returns pointer or int");
    auto failed = []() -> R {
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else {
            return -1;
        }
    };
    try {
        R result = body();
#ifndef NDEBUG
        if constexpr (std::is_pointer_v<R>) {
            assert((result != nullptr || PyErr_Occurred()) &&
                   "entry point returned NULL without an error");
            assert((result == nullptr || !PyErr_Occurred()) &&
                   "entry point succeeded with an error set");
        }
#endif
        return result;
    } catch (const PyErrorSet&) {
        return failed();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failed();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception: %s", where, e.what());
        return failed();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception", where);
        return failed();
    }
}

namespace detail {
/// Makes `exc` the exception being handled (sys.exception()) for its lifetime, so errors raised
/// by the handler get it as their __context__, as in a Python `except` block.
class HandlingScope {
  public:
    explicit HandlingScope(PyObject* exc) noexcept
        : saved_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingScope() { PyErr_SetHandledException(saved_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    Ref saved_;
};
}  // namespace detail

/// `try: body() except <type>: handler()`. An error that does not match `type` propagates.
/// The handler runs with the caught exception as the one being handled; returns true when the
/// body succeeded. A body may return bool instead of void: false means "a Python error is set",
/// so a guarded step whose failure is the common case need not throw.
template <class Body, class Handler>
bool try_except(PyObject* type, Body&& body, Handler&& handler) {
    try {
        if constexpr (std::is_same_v<decltype(body()), bool>) {
            if (body()) {
                return true;
            }
            assert(PyErr_Occurred());
        } else {
            body();
            return true;
        }
    } catch (const PyErrorSet&) {
    }
    if (!PyErr_ExceptionMatches(type)) {
        throw PyErrorSet();
    }
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    detail::HandlingScope scope(caught.get());
    handler();
    return false;
}

/// Swallows a pending exception matching `type`: true when one was swallowed, false when none
/// is set. A non-matching error is rethrown.
inline bool clear_if(PyObject* type) {
    if (!PyErr_Occurred()) {
        return false;
    }
    if (!PyErr_ExceptionMatches(type)) {
        throw PyErrorSet();
    }
    PyErr_Clear();
    return true;
}

}  // namespace vkrt
