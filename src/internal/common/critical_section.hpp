// Per-object critical sections for state that other threads reach while they hold no interpreter
// lock of their own (the free-threaded build), and member access that never hands out a
// reference another thread could drop meanwhile.
#pragma once

#include <Python.h>

#include <utility>

#include "ref.hpp"

namespace korvo {

// Py_BEGIN_CRITICAL_SECTION(owner) for a C++ scope. On the default build the interpreter lock
// already serialises every thread that touches an object, so this is empty there. The
// interpreter suspends the section whenever the thread detaches (a blocking call, a nested
// section that must wait), so what it guards is read and written within one stretch that
// neither blocks nor waits.
class critical_section {
public:
#ifdef Py_GIL_DISABLED
    explicit critical_section(PyObject* owner) noexcept { PyCriticalSection_Begin(&section_, owner); }
    ~critical_section() { PyCriticalSection_End(&section_); }
#else
    explicit critical_section(PyObject*) noexcept {}
#endif
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A PyMutex held for a scope. A thread that must wait detaches meanwhile, so it never holds up a
// collection or another thread's stop of the world. Run no Python code and drop no reference
// inside: a finaliser that takes the same mutex would wait for itself.
class mutex_lock {
public:
    explicit mutex_lock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~mutex_lock() { PyMutex_Unlock(&mutex_); }
    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;

private:
    PyMutex& mutex_;
};

// mutex_lock on the free-threaded build only, for state that the interpreter lock already orders
// on the default build.
class ft_mutex_lock {
public:
#ifdef Py_GIL_DISABLED
    explicit ft_mutex_lock(PyMutex& mutex) noexcept : lock_(mutex) {}
#else
    explicit ft_mutex_lock(PyMutex&) noexcept {}
#endif
    ft_mutex_lock(const ft_mutex_lock&) = delete;
    ft_mutex_lock& operator=(const ft_mutex_lock&) = delete;

#ifdef Py_GIL_DISABLED
private:
    mutex_lock lock_;
#endif
};

// A strong reference to `owner`'s member `slot`, taken in one step against a writer on another
// thread (exchange_member), which drops the old value only after its own section.
inline object load_member(PyObject* owner, PyObject* const& slot) {
    critical_section section(owner);
    return object::borrow(slot);
}

// Stores `value` into `owner`'s member `slot` and hands back the old reference: the caller drops
// it after the section, since dropping may run Python code.
inline object exchange_member(PyObject* owner, PyObject*& slot, object value) {
    critical_section section(owner);
    return object::steal(std::exchange(slot, value.release()));
}

}  // namespace korvo
