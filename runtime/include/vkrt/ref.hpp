// vkrt/ref.hpp: Ref, the one type that owns a Python reference.
//
// Rules of use:
//   * Ref is move-only; a second owner is spelled r.dup(). Copies are a compile error.
//   * Ref::steal(p) adopts a new reference, Ref::borrow(p) takes one by incref, and
//     vkrt::check(p) (error.hpp) steals or throws when p is NULL.
//   * get() lends a pointer that is valid while the Ref lives; release() hands the reference
//     to CPython and is used only at a return to CPython or in a stealing call.
//   * A raw PyObject* never owns. Take a Ref::borrow when called Python code could drop the
//     container that lent you the pointer.
//   * Fields of our own object structs stay raw PyObject*, visited in tp_traverse and cleared
//     in tp_clear; they are replaced with Py_XSETREF(field, r.release()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cassert>
#include <utility>

namespace vkrt {

/// Owning, move-only reference to a Python object (possibly empty).
class Ref {
  public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref tmp(std::move(other));
        std::swap(ptr_, tmp.ptr_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (ptr_ != nullptr) {
            assert(PyGILState_Check());
            Py_DECREF(ptr_);
        }
    }

    /// Adopts a new reference (may be NULL).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a reference of its own to p (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    /// A second owner of the same object.
    Ref dup() const noexcept {
        assert(ptr_ == nullptr || PyGILState_Check());
        return borrow(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    /// Gives the reference away; the Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace vkrt
