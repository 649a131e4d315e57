// Owned and borrowed references to Python objects: the only way korvo code holds a PyObject*.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

namespace korvo {

namespace detail {
// Reference counts may only change under the interpreter lock; debug builds check it.
inline void assert_lock_held([[maybe_unused]] PyObject* ptr) noexcept {
#if !defined(NDEBUG) || defined(Py_DEBUG)
    assert(ptr == nullptr || PyGILState_Check());
#endif
}
inline void incref(PyObject* ptr) noexcept {
    assert_lock_held(ptr);
    Py_XINCREF(ptr);
}
inline void decref(PyObject* ptr) noexcept {
    assert_lock_held(ptr);
    Py_XDECREF(ptr);
}
}  // namespace detail

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
        detail::incref(ptr);
        return object(ptr);
    }

    object(const object& other) noexcept : handle(other.ptr_) { detail::incref(ptr_); }
    object(object&& other) noexcept : handle(std::exchange(other.ptr_, nullptr)) {}
    object& operator=(object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~object() { detail::decref(ptr_); }

    // Hands the reference to the caller; this object becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // Drops the reference now (Py_CLEAR semantics: the field is empty before the decref runs).
    void reset() noexcept { detail::decref(std::exchange(ptr_, nullptr)); }
    // Replaces the reference; the old one is dropped after the new one is stored.
    void reset_steal(PyObject* ptr) noexcept { detail::decref(std::exchange(ptr_, ptr)); }

private:
    explicit object(PyObject* ptr) noexcept : handle(ptr) {}
};

// An owning view over a PyObject* member of a published instance layout, which must stay a
// raw pointer: the view does the reference counting the layout cannot. Every write drops
// the old reference only after the new one is stored, so code run by that decref never sees
// a dangling member.
class field_ref {
public:
    explicit field_ref(PyObject*& slot) noexcept : slot_(slot) {}

    PyObject* get() const noexcept { return slot_; }
    bool is_none() const noexcept { return slot_ == Py_None; }

    // Stores a new reference to the borrowed `value`.
    void set(PyObject* value) noexcept {
        detail::incref(value);
        steal(value);
    }
    // Stores `value`, taking over its reference.
    void steal(PyObject* value) noexcept { detail::decref(std::exchange(slot_, value)); }
    void set(object value) noexcept { steal(value.release()); }
    // The state after construction and tp_clear: None, so native readers never meet null.
    void reset_to_none() noexcept { set(Py_None); }
    // Empties the member (Py_CLEAR semantics), for deallocation.
    void clear() noexcept { detail::decref(std::exchange(slot_, nullptr)); }
    // Moves the reference out and leaves None behind.
    object take() noexcept {
        detail::incref(Py_None);
        return object::steal(std::exchange(slot_, Py_None));
    }

private:
    PyObject*& slot_;
};

// A new reference to obj, for returning from a C API entry.
inline PyObject* new_ref(PyObject* obj) noexcept { return Py_NewRef(obj); }

}  // namespace korvo
