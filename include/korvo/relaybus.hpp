// korvo.utils.relaybus.relaybus for other extension modules: instance layouts and native
// tables of CBufferView, KoPipe, SyncDispatcher, AsyncDispatcher and AsyncQueue (and the leading
// fields every dispatcher shares), the published conversion functions, and an import helper.
// Header-only.
//
// A producer module typically:
//   korvo::relaybus::api bus;                       // once, with the interpreter lock
//   if (korvo::relaybus::import_api(&bus) < 0) ...  // validates types, tables and capsules
//   ... keeps a strong reference to a SyncDispatcher `d` it was given, then on its own thread,
//   without the interpreter lock:
//   int r = d->_push(d, data, size);                // see korvo/spsc_queue.hpp for results
// An AsyncDispatcher is fed the same way through its own `_push` (async_dispatcher_object), or
// through the dispatcher_prefix fields with push_notify (its table's second entry).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "korvo/capsule.hpp"
#include "korvo/platform_socket.hpp"

namespace korvo::relaybus {

inline constexpr const char* k_module_name = "korvo.utils.relaybus.relaybus";

// ---- Message kinds and conversion functions (module __pyx_capi__; all need the lock and
// return 0, or -1 with an exception set).
enum msg_kind : int { k_kind_bytes = 0, k_kind_text = 1, k_kind_buffer = 2, k_kind_object = 3, k_kind_auto = 4 };

// bytes(obj) into *holder (a new reference the caller drops), its contents in *data / *size.
using obj_to_cbuf_fn = int (*)(PyObject* obj, PyObject** holder, char const** data, size_t* size);
inline constexpr const char* k_obj_to_cbuf_sig = "int (PyObject *, PyObject **, char const **, size_t *)";
// A simple buffer export of obj into *view (the caller releases it), then its address and length.
using buf_to_cbuf_fn = int (*)(PyObject* obj, Py_buffer* view, char const** data, size_t* size);
inline constexpr const char* k_buf_to_cbuf_sig = "int (PyObject *, Py_buffer *, char const **, size_t *)";
// Contents of a bytes object (unchecked: the caller vouches for the type); never fails.
using bytes_to_cbuf_fn = int (*)(PyObject* obj, char const** data, size_t* size);
inline constexpr const char* k_bytes_to_cbuf_sig = "int (PyObject *, char const **, size_t *)";
// UTF-8 form of a str, as cached by the interpreter; lives as long as the string.
using str_to_cbuf_fn = int (*)(PyObject* obj, char const** data, size_t* size);
inline constexpr const char* k_str_to_cbuf_sig = "int (PyObject *, char const **, size_t *)";

// ---- CBufferView: applies one message kind on demand. All entries need the lock (an attached
// thread state on the free-threaded build). A view serves one caller at a time: data / size of
// one load are valid until the next load.
struct cbuffer_view_object;
using cbuffer_loader = int (*)(cbuffer_view_object* self, PyObject* source);
// Each load needs the lock and returns 0 (data / size now describe the source's bytes) or -1
// with an exception set (data / size are then not to be used).
struct cbuffer_view_vtable {
    cbuffer_loader _load_bytes;  // a bytes object, read in place, unchecked
    cbuffer_loader _load_buf;    // a simple buffer export, held until the next buffer load
    cbuffer_loader _load_str;    // a str's UTF-8 form, as cached by the interpreter
    cbuffer_loader _load_obj;    // bytes(source), held until the next object load
    cbuffer_loader _load;        // automatic: bytes, then str, then buffer, then bytes(obj)
};
struct cbuffer_view_object {
    PyObject_HEAD
    const cbuffer_view_vtable* vtab;
    const char* data;       // bytes of the last successful load; null before the first
    std::size_t size;       // their count
    int msg_kind;           // kind chosen at initialisation
    Py_buffer view;         // export held by a buffer load (view.buf null when none)
    PyObject* pb;           // bytes object held by an object load, or null
    cbuffer_loader loader;  // the load for msg_kind: call it, then read data / size
};

// ---- KoPipe: a ring queue for one native producer and one native consumer, no lock needed.
// Its members are set by __init__, which must not run again while a native thread uses the pipe.
struct kopipe_object;
// Entries forward to the pipe's queue and return its results unchanged (korvo/spsc_queue.hpp);
// one producer thread pushes, one consumer thread pops and releases; no lock needed.
struct kopipe_vtable {
    int (*queue_push)(kopipe_object* self, const char* data, std::size_t size);
    int (*queue_push_var)(kopipe_object* self, const char* data, std::size_t size);
    int (*queue_pop)(kopipe_object* self, const char** data, std::size_t* size);
    int (*queue_pop_var)(kopipe_object* self, const char** data, std::size_t* size);
    void (*queue_release)(kopipe_object* self);
    void (*queue_release_var)(kopipe_object* self);  // does nothing: variable pops need no release
};
struct kopipe_object {
    PyObject_HEAD
    const kopipe_vtable* vtab;
    PyObject* _q;  // the SPSCQueue; None until __init__
    // Producer thread: stores a copy of the message. Consumer thread: _pop waits for a message
    // (1 = taken), then _release once it has been read. Null until __init__.
    int (*_push)(kopipe_object* self, const char* data, std::size_t size);
    int (*_pop)(kopipe_object* self, const char** data, std::size_t* size);
    void (*_release)(kopipe_object* self);
};

// ---- Dispatchers. Every dispatcher starts with these fields, so the notifying pushes work on
// either kind through this prefix.
//
// Threads: producers read `_q`, `_sock_fd`, `_addr` and `_push` without the lock; `_sock_fd` is
// read atomically and published after `_addr`. The other members belong to the module: it reads
// and writes them under the object's critical section (free-threaded build) or the interpreter
// lock. Calling __init__ again while a producer still pushes replaces the queue under it: keep
// producers to a dispatcher whose __init__ has returned, as before.
struct dispatcher_prefix {
    PyObject_HEAD
    const void* vtab;
    PyObject* _q;              // the SPSCQueue; None until __init__
    platform_socket _sock_fd;  // native wake-up handle; k_no_socket when none (read atomically)
    ipv4_address _addr;        // where wake-up datagrams go
};

struct sync_dispatcher_object;
struct sync_dispatcher_vtable {
    // Lock held. As SyncDispatcher.setup(host, recvbuf); runs a Python override unless
    // skip_dispatch. New reference to None, or null with an exception set.
    PyObject* (*setup)(sync_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch);
    // Producer thread, no lock: push_wake / push_var_wake, then one wake-up datagram when the
    // result is k_wake and a socket is set. Returns the queue's result.
    int (*push_notify)(sync_dispatcher_object* self, const char* data, std::size_t size);
    int (*push_var_notify)(sync_dispatcher_object* self, const char* data, std::size_t size);
    // Producer thread, no lock: the queue's push / push_var, result unchanged.
    int (*queue_push)(sync_dispatcher_object* self, const char* data, std::size_t size);
    int (*queue_push_var)(sync_dispatcher_object* self, const char* data, std::size_t size);
    // The four consumer loops. Each runs on the calling native thread, which must hold no
    // Python thread state; it returns once the dispatcher is closed or a callback raised.
    void (*try_pop_loop)(sync_dispatcher_object* self);
    void (*try_pop_var_loop)(sync_dispatcher_object* self);
    void (*pop_loop)(sync_dispatcher_object* self);
    void (*pop_var_loop)(sync_dispatcher_object* self);
    // Lock held. As SyncDispatcher.close(); runs a Python override unless skip_dispatch.
    // New reference to None, or null with an exception set.
    PyObject* (*close)(sync_dispatcher_object* self, int skip_dispatch);
};
struct sync_dispatcher_object {
    PyObject_HEAD
    const sync_dispatcher_vtable* vtab;
    PyObject* _q;
    platform_socket _sock_fd;
    ipv4_address _addr;
    int _detach;
    int _variable_size;
    // The producers' entry: one native producer thread, no interpreter lock. Returns the
    // queue's push result (korvo/spsc_queue.hpp); sends the wake-up itself when needed.
    int (*_push)(sync_dispatcher_object* self, const char* data, std::size_t size);
    PyObject* _callback;
    PyObject* _sock;
    int _nonblocking;
    std::atomic<bool> _running;
    std::thread _thread;  // kept for the layout; always empty: the private state owns the thread
    void* _consumer;      // private: state shared with the consumer thread
};

struct async_dispatcher_object;
struct async_dispatcher_vtable {
    // Lock held, on the thread of a running asyncio event loop. As AsyncDispatcher.setup(host,
    // recvbuf); runs a Python override unless skip_dispatch. New reference to None, or null with
    // an exception set.
    PyObject* (*setup)(async_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch);
    // Producer thread, no lock: push_wake / push_var_wake, then one wake-up datagram to the loop
    // when the result is k_wake and a socket is set. Returns the queue's result.
    int (*push_notify)(async_dispatcher_object* self, const char* data, std::size_t size);
    int (*push_var_notify)(async_dispatcher_object* self, const char* data, std::size_t size);
};
struct async_dispatcher_object {
    PyObject_HEAD
    const async_dispatcher_vtable* vtab;
    PyObject* _q;
    platform_socket _sock_fd;
    ipv4_address _addr;
    // The producers' entry, as SyncDispatcher's: one native producer thread, no interpreter lock.
    int (*_push)(async_dispatcher_object* self, const char* data, std::size_t size);
    PyObject* _callback;
    PyObject* _sock;
    PyObject* _task;
    std::atomic<std::int32_t> _running;  // 1 until close(); the reader stops when it reads 0
    int _variable_size;
    void* _handles;  // private: the native wake-up handles, closed when the object goes
};
static_assert(sizeof(std::atomic<std::int32_t>) == 4);

struct async_queue_object;
struct async_queue_vtable {
    // Lock held, on the loop's thread. As AsyncQueue.start_dispatcher(callback); runs a Python
    // override unless skip_dispatch. New reference to None, or null with an exception set.
    PyObject* (*start_dispatcher)(async_queue_object* self, PyObject* callback, int skip_dispatch);
};
struct async_queue_object {
    PyObject_HEAD
    const async_queue_vtable* vtab;
    PyObject* _q;
    PyObject* _loop;
    PyObject* _callback;
    PyObject* _lock;
    PyObject* _notify_cond;
    PyObject* _task;
    int _running;
    // private: with block_on_full a push on a full queue waits on the loop, not in the ring
    int _wait_for_space;
    int _space_waiters;
    PyObject* _space;
    // private: consumers between finding the queue empty and the end of their wait, and whether
    // a wake-up is on its way to one of them (pushes then need not signal)
    int _consumers_waiting;
    int _wake_pending;
};

// What import_api() finds: strong references to the types and the conversion functions.
struct api {
    PyTypeObject* cbuffer_view_type = nullptr;
    PyTypeObject* kopipe_type = nullptr;
    PyTypeObject* sync_dispatcher_type = nullptr;
    PyTypeObject* async_dispatcher_type = nullptr;
    PyTypeObject* async_queue_type = nullptr;
    obj_to_cbuf_fn obj_to_cbuf = nullptr;
    buf_to_cbuf_fn buf_to_cbuf = nullptr;
    bytes_to_cbuf_fn bytes_to_cbuf = nullptr;
    str_to_cbuf_fn str_to_cbuf = nullptr;
};

// Imports the module, checks that each type publishes a table and each function capsule reads
// its exact signature. Needs the lock; returns 0, or -1 with an exception set.
inline int import_api(api* out) {
    api found;
    auto fail = [&found]() {
        Py_XDECREF(found.cbuffer_view_type);
        Py_XDECREF(found.kopipe_type);
        Py_XDECREF(found.sync_dispatcher_type);
        Py_XDECREF(found.async_dispatcher_type);
        Py_XDECREF(found.async_queue_type);
        return -1;
    };
    PyTypeObject** types[] = {&found.cbuffer_view_type, &found.kopipe_type, &found.sync_dispatcher_type,
                              &found.async_dispatcher_type, &found.async_queue_type};
    const char* names[] = {"CBufferView", "KoPipe", "SyncDispatcher", "AsyncDispatcher", "AsyncQueue"};
    for (int i = 0; i < 5; ++i) {
        *types[i] = korvo::capsule::import_type(k_module_name, names[i]);
        if (*types[i] == nullptr || korvo::capsule::get_vtable(*types[i]) == nullptr) return fail();
    }
    found.obj_to_cbuf = reinterpret_cast<obj_to_cbuf_fn>(
        korvo::capsule::import_function(k_module_name, "obj_to_cbuf", k_obj_to_cbuf_sig));
    found.buf_to_cbuf = reinterpret_cast<buf_to_cbuf_fn>(
        korvo::capsule::import_function(k_module_name, "buf_to_cbuf", k_buf_to_cbuf_sig));
    found.bytes_to_cbuf = reinterpret_cast<bytes_to_cbuf_fn>(
        korvo::capsule::import_function(k_module_name, "bytes_to_cbuf", k_bytes_to_cbuf_sig));
    found.str_to_cbuf = reinterpret_cast<str_to_cbuf_fn>(
        korvo::capsule::import_function(k_module_name, "str_to_cbuf", k_str_to_cbuf_sig));
    if (!found.obj_to_cbuf || !found.buf_to_cbuf || !found.bytes_to_cbuf || !found.str_to_cbuf) return fail();
    *out = found;
    return 0;
}

}  // namespace korvo::relaybus
