// Owned and borrowed references to Python objects: the only way korvo code holds a PyObject*.
#pragma once

#include <Python.h>

#include <utility>

namespace korvo {

// A borrowed, non-owning reference. A raw PyObject* parameter means the same thing.
class handle {
public:
    handle() noexcept = default;
    handle(PyObject* ptr) noexcept : ptr_(ptr) {}  // NOLINT: borrowing is implicit by design

    PyObject* ptr() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

protected:
    PyObject* ptr_ = nullptr;
};

// An owning reference. Ownership is spelled at construction (steal / borrow); release()
// is the only way a new reference leaves a function.
class object : public handle {
public:
    object() noexcept = default;
    static object steal(PyObject* ptr) noexcept { return object(ptr); }
    static object borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return object(ptr);
    }

    object(const object& other) noexcept : handle(other.ptr_) { Py_XINCREF(ptr_); }
    object(object&& other) noexcept : handle(std::exchange(other.ptr_, nullptr)) {}
    object& operator=(object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~object() { Py_XDECREF(ptr_); }

    // Hands the reference to the caller; this object becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // Drops the reference now (Py_CLEAR semantics: the field is empty before the decref runs).
    void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }
    // Replaces the reference; the old one is dropped after the new one is stored.
    void reset_steal(PyObject* ptr) noexcept { Py_XDECREF(std::exchange(ptr_, ptr)); }

private:
    explicit object(PyObject* ptr) noexcept : handle(ptr) {}
};

// A new reference to obj, for returning from a C API entry.
inline PyObject* new_ref(PyObject* obj) noexcept { return Py_NewRef(obj); }

}  // namespace korvo
