// What a Logger or DefaultLogger held before a second __init__ or __setstate__ replaced it.
// A log call reads an object's logger and fields without a lock (the filtered call must stay
// one load and a compare), so on the free-threaded build what another thread may be using
// right then is kept until the object itself goes; with the interpreter lock it is dropped at
// once, as no log call can be halfway through.
#pragma once

#include <Python.h>

#include <memory>

#ifdef Py_GIL_DISABLED
#include <algorithm>
#include <atomic>
#include <iterator>
#include <utility>
#include <vector>

#include "common/critical_section.hpp"
#endif

namespace korvo::quillet {

#ifdef Py_GIL_DISABLED

namespace detail {
struct retired_store {
    // mutex guards entries; count mirrors entries.size(), so that a deallocation finds an empty
    // store without the lock (the usual case: nothing was ever replaced).
    PyMutex mutex{};
    std::vector<std::pair<PyObject*, std::shared_ptr<const void>>> entries;
    std::atomic<std::size_t> count{0};
};
// Never destroyed: deallocations may run while the process exits.
inline retired_store& retired() {
    static retired_store* const store = new retired_store;
    return *store;
}
}  // namespace detail

// Keeps `held` until release_retired(owner). Throws std::bad_alloc, and then keeps nothing: call
// it with a copy, before the replacement.
inline void retire(PyObject* owner, std::shared_ptr<const void> held) {
    if (!held) return;
    detail::retired_store& s = detail::retired();
    const ft_mutex_lock lock(s.mutex);
    s.entries.emplace_back(owner, std::move(held));
    s.count.store(s.entries.size(), std::memory_order_relaxed);
}

// Drops what was retired for `owner`; from its deallocation, when no other thread can reach it.
inline void release_retired(PyObject* owner) noexcept {
    detail::retired_store& s = detail::retired();
    if (s.count.load(std::memory_order_relaxed) == 0) return;
    std::vector<std::pair<PyObject*, std::shared_ptr<const void>>> released;  // dropped after the lock
    const ft_mutex_lock lock(s.mutex);
    const auto first =
        std::partition(s.entries.begin(), s.entries.end(), [owner](const auto& entry) { return entry.first != owner; });
    try {
        released.assign(std::make_move_iterator(first), std::make_move_iterator(s.entries.end()));
    } catch (...) {
        // No memory to move them out: they go under the lock (a spdlog logger's teardown runs
        // no Python code and retires nothing).
    }
    s.entries.erase(first, s.entries.end());
    s.count.store(s.entries.size(), std::memory_order_relaxed);
}

#else

inline void retire(PyObject*, const std::shared_ptr<const void>&) noexcept {}
inline void release_retired(PyObject*) noexcept {}

#endif

}  // namespace korvo::quillet
