// korvo.spsc_queue.spsc_queue for other extension modules: the SPSCQueue instance layout, its
// native operation table, result codes and threading contract. Header-only.
//
// Threads: one producer thread calls the push entries, one consumer thread calls the pop
// entries, and `stop` may come from any thread. None of the entries needs or takes the
// interpreter lock, allocates or locks; only the waiting entries (pop, pop_var, and a push on
// a block_on_full queue) may sleep, and they do so without the lock: never call them holding it
// while the other side needs it. Keep a reference to the queue object while any thread may call.
//
// Families: the fixed family (push, push_wake, pop, release, try_pop, poll) stores each message in
// one of `capacity` slots of `slot_size` bytes; the variable family (push_var, push_var_wake,
// pop_var, try_pop_var, poll_var) stores messages with their lengths in a byte ring of
// capacity * slot_size bytes. Drive one queue through one family.
#pragma once

#include <Python.h>

#include <cstddef>

#include "korvo/capsule.hpp"
#include "korvo/spsc_queue_results.hpp"

namespace korvo::spsc_queue {

// Results of the table's entries: see korvo/spsc_queue_results.hpp. Push: zero or more means
// the message was stored (the data was copied before returning). Pop: exactly k_taken means a
// message was taken; anything else (k_ok when try_pop* found the queue empty) means none was.

struct queue_object;

// The table published as SPSCQueue.__dict__["__pyx_vtable__"], in this order.
struct queue_vtable {
    // Producer thread. Copies `size` bytes from `data`; result as above.
    int (*push)(queue_object* queue, const char* data, std::size_t size);
    // Producer thread. As push; k_wake when the consumer may be sleeping in its wait for a
    // wake-up after try_pop found the queue empty.
    int (*push_wake)(queue_object* queue, const char* data, std::size_t size);
    int (*push_var)(queue_object* queue, const char* data, std::size_t size);
    int (*push_var_wake)(queue_object* queue, const char* data, std::size_t size);
    // Any thread. Messages queued now (approximate while both sides run), at most INT_MAX.
    int (*size)(queue_object* queue);
    // Consumer thread. Waits while the queue is empty (spins briefly, then sleeps); k_taken with
    // the oldest message in *data / *size, which stays valid and in place until release().
    int (*pop)(queue_object* queue, const char** data, std::size_t* size);
    // Consumer thread. Frees the message given by the last pop; 0, or k_nothing_held.
    int (*release)(queue_object* queue);
    // Consumer thread. Never waits: k_taken, or k_ok when empty. The output stays valid until the
    // consumer's next call on this queue.
    int (*try_pop)(queue_object* queue, const char** data, std::size_t* size);
    // Consumer thread. Waits like pop; output valid until the consumer's next call; no release.
    int (*pop_var)(queue_object* queue, const char** data, std::size_t* size);
    int (*try_pop_var)(queue_object* queue, const char** data, std::size_t* size);
    // Any thread. Refuses further pushes, wakes a waiting consumer and a blocked producer;
    // messages already queued can still be popped, then pops return k_stopped. Returns 0.
    int (*stop)(queue_object* queue);
    // Consumer thread. As try_pop / try_pop_var, but an empty queue does not arm the wake-up:
    // push_wake stays k_ok. For looking again soon without asking the producer for a wake-up;
    // call try_pop* once before sleeping on a wake-up.
    int (*poll)(queue_object* queue, const char** data, std::size_t* size);
    int (*poll_var)(queue_object* queue, const char** data, std::size_t* size);
};

// Instance layout: object header, table pointer, then the fields.
struct queue_object {
    PyObject_HEAD
    const queue_vtable* vtab;
    void* ring;  // the ring itself, owned by the object; opaque here
    std::size_t slot_size;
    std::size_t capacity;
    int overwrite;      // a full queue drops its oldest message for the new one
    int zerocopy;       // pops point into the ring instead of a consumer-side copy
    int block_on_full;  // a full queue makes the push wait for space
};

// What import_api() finds: a strong reference to the type and its table.
struct api {
    PyTypeObject* type = nullptr;
    const queue_vtable* vtab = nullptr;
};

// Imports korvo.spsc_queue.spsc_queue and reads SPSCQueue's table. Needs the interpreter
// lock. Returns 0, or -1 with an exception set. The caller owns out->type.
inline int import_api(api* out) {
    PyTypeObject* type = korvo::capsule::import_type("korvo.spsc_queue.spsc_queue", "SPSCQueue");
    if (type == nullptr) return -1;
    const void* table = korvo::capsule::get_vtable(type);
    if (table == nullptr) {
        Py_DECREF(type);
        return -1;
    }
    out->type = type;
    out->vtab = static_cast<const queue_vtable*>(table);
    return 0;
}

// Is obj an SPSCQueue (or a subclass instance)? Needs the lock.
inline bool is_queue(const api& a, PyObject* obj) { return PyObject_TypeCheck(obj, a.type) != 0; }

}  // namespace korvo::spsc_queue
