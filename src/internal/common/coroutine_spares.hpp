// The spare memory of native coroutines: frames and objects of recently dropped coroutines,
// kept for the next ones.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>

#include "critical_section.hpp"

namespace korvo::coro {

// A coroutine per awaited call is made and dropped at message rate, so both its C++ frame and its
// Python object are taken from recently dropped ones instead of the allocators. Process-wide:
// every member is touched only through a `spares_access`, which holds the interpreter lock's
// place on the free-threaded build (a PyMutex; nothing on the default build, where the
// interpreter lock is held). Frames are plain C++ memory and stay for the process; objects
// belong to the interpreter's allocator and go back to it in release(). A kept object still
// names its type, which freeing it reads: objects are kept only for the admitted types, and a
// type's module retires it (freeing its spares) while it still holds it.
// The free-threaded build keeps no objects: its allocator already has per-thread pages, and an
// object's collector bits and shared reference count are not ours to reset for a reuse.
class spare_memory {
public:
    void* take_frame(std::size_t size) noexcept {
        const std::size_t cls = size_class(size);
        if (cls >= k_frame_classes) return ::operator new(size, std::nothrow);
        if (void* frame = frames_[cls].pop()) return frame;
        return ::operator new((cls + 1) * k_frame_granule, std::nothrow);
    }
    void drop_frame(void* frame, std::size_t size) noexcept {
        const std::size_t cls = size_class(size);
        if (cls < k_frame_classes && frames_[cls].push(frame)) return;
        ::operator delete(frame);
    }
    // The memory only: untracked, without a type reference.
    void* take_object() noexcept { return objects_.pop(); }
    bool keep_object(PyObject* self) noexcept {
#ifdef Py_GIL_DISABLED
        static_cast<void>(self);
        return false;
#else
        return admitted(Py_TYPE(self)) && objects_.push(self);
#endif
    }
    // A type that is never admitted (the list is full) simply has its objects freed at once.
    void admit(PyTypeObject* type) noexcept {
        if (!admitted(type)) types_.push(type);
    }
    void retire(PyTypeObject* type) noexcept {
        types_.remove(type);
        release(type);
    }
    // Frees the kept objects of `type`, or all of them when it is null.
    void release(PyTypeObject* type = nullptr) noexcept {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < objects_.count; ++i) {
            void* spare = objects_.items[i];
            if (type == nullptr || Py_TYPE(static_cast<PyObject*>(spare)) == type)
                PyObject_GC_Del(spare);
            else
                objects_.items[kept++] = spare;
        }
        objects_.count = kept;
    }

private:
    template <std::size_t Capacity>
    struct freelist {
        std::array<void*, Capacity> items{};
        std::size_t count = 0;
        void* pop() noexcept { return count != 0 ? items[--count] : nullptr; }
        bool push(void* p) noexcept {
            if (count == Capacity) return false;
            items[count++] = p;
            return true;
        }
        void remove(void* p) noexcept {
            for (std::size_t i = 0; i < count; ++i) {
                if (items[i] != p) continue;
                items[i] = items[--count];
                return;
            }
        }
    };
    // Frames by size class of 64 bytes, up to 1 KiB; larger ones always go to the allocator.
    static constexpr std::size_t k_frame_granule = 64;
    static constexpr std::size_t k_frame_classes = 16;
    static std::size_t size_class(std::size_t size) noexcept {
        return (size + k_frame_granule - 1) / k_frame_granule - 1;
    }

    bool admitted(PyTypeObject* type) const noexcept {
        return std::find(types_.items.begin(), types_.items.begin() + types_.count, type) !=
               types_.items.begin() + types_.count;
    }

    std::array<freelist<8>, k_frame_classes> frames_;
    freelist<16> objects_;
    freelist<4> types_;
};
inline spare_memory g_spares;
inline PyMutex g_spares_mutex{};  // guards g_spares on the free-threaded build

// The pool, for one operation.
class spares_access {
public:
    spares_access() noexcept = default;
    spares_access(const spares_access&) = delete;
    spares_access& operator=(const spares_access&) = delete;
    spare_memory* operator->() const noexcept { return &g_spares; }

private:
    ft_mutex_lock lock_{g_spares_mutex};
};

}  // namespace korvo::coro
