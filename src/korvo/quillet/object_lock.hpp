// The locks of the free-threaded build, as scopes: nothing at all on the default build, where
// the interpreter lock already orders every touch of the state they guard.
#pragma once

#include <Python.h>

namespace korvo::quillet {

// The per-object critical section of `obj` for the scope. Python code run inside may suspend it
// (as the interpreter suspends any critical section whose thread waits), so read a field into a
// local before calling out, and store after.
class object_lock {
public:
#ifdef Py_GIL_DISABLED
    explicit object_lock(PyObject* obj) noexcept { PyCriticalSection_Begin(&section_, obj); }
    ~object_lock() { PyCriticalSection_End(&section_); }
#else
    explicit object_lock(PyObject*) noexcept {}
#endif
    object_lock(const object_lock&) = delete;
    object_lock& operator=(const object_lock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A module-wide PyMutex held for the scope on the free-threaded build. Run no Python code and
// drop no reference inside: a finaliser that logs would wait for itself.
class cache_lock {
public:
#ifdef Py_GIL_DISABLED
    explicit cache_lock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~cache_lock() { PyMutex_Unlock(&mutex_); }
#else
    explicit cache_lock(PyMutex&) noexcept {}
#endif
    cache_lock(const cache_lock&) = delete;
    cache_lock& operator=(const cache_lock&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyMutex& mutex_;
#endif
};

}  // namespace korvo::quillet
