// Process-wide state of the bridge module. The module loads once, into one interpreter, so
// one static instance is the whole truth; everything here lives until the process ends.
#pragma once

#include <Python.h>

#include "korvo/spsc_queue.hpp"

namespace korvo::relaybus {

struct relaybus_state {
    PyObject* module = nullptr;  // the module object (strong)
    spsc_queue::api queue;       // SPSCQueue and its operation table
    PyTypeObject* cbuffer_view_type = nullptr;
    PyTypeObject* kopipe_type = nullptr;
    PyTypeObject* sync_dispatcher_type = nullptr;
};

extern relaybus_state g_state;

// The queue object behind a bridge field, and the table to call it through. Producers and
// consumers call these without the interpreter lock.
inline spsc_queue::queue_object* as_queue(PyObject* queue) noexcept {
    return reinterpret_cast<spsc_queue::queue_object*>(queue);
}
inline const spsc_queue::queue_vtable& queue_ops() noexcept { return *g_state.queue.vtab; }

// Builds SPSCQueue(slot_size=..., capacity=..., overwrite=..., zerocopy=..., block_on_full=...)
// by keyword, sizes as ints and flags as bools. New reference; throws python_error.
PyObject* make_queue(std::size_t slot_size, std::size_t capacity, bool overwrite, bool zerocopy, bool block_on_full);

}  // namespace korvo::relaybus
