// example_producer: feeds a korvo SyncDispatcher or AsyncDispatcher from a native thread that
// never holds the interpreter lock. Python side:
//
//   d = SyncDispatcher(print); d.setup()   # or AsyncDispatcher(async_cb), setup() on a loop
//   producer = example_producer.Producer(d, count=1000)   # starts pushing at once
//   # messages are b"message 0", b"message 1", ...; with size=N each is cut or padded with "."
//   # to exactly N bytes
//   stats = producer.join()   # {"stored": ..., "wakeups": ..., "full_retries": ..., ...}
//
// What a producer must do: import korvo's API once (with the lock), hold a strong reference to
// the dispatcher for as long as its thread may push, and handle every push result.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "korvo/relaybus.hpp"
#include "korvo/spsc_queue.hpp"

namespace {

namespace rb = korvo::relaybus;
namespace q = korvo::spsc_queue;

rb::api g_bus;  // filled at module exec; the type references live as long as the process

struct stats {
    unsigned long long stored = 0;        // k_ok or k_wake: the dispatcher has the message
    unsigned long long wakeups = 0;       // k_wake: the dispatcher woke its consumer itself
    unsigned long long full_retries = 0;  // k_full: no room; we back off and try again
    unsigned long long too_large = 0;     // k_too_large: can never fit; we drop it
    bool stopped = false;                 // k_stopped: the dispatcher was closed; we stop
};

// Each dispatcher type has its own layout, so its `_push` is read through its own struct; what
// the thread keeps is the entry and its first argument.
struct push_entry {
    void* dispatcher;
    int (*push)(void* dispatcher, const char* data, std::size_t size);

    int operator()(const char* data, std::size_t size) const { return push(dispatcher, data, size); }
};

template <class Object>
push_entry entry_of(Object* d) {
    return {d, [](void* self, const char* data, std::size_t size) {
                auto* object = static_cast<Object*>(self);
                return object->_push(object, data, size);
            }};
}

struct producer_object {
    PyObject_HEAD
    PyObject* dispatcher;  // strong: keeps the dispatcher alive while our thread pushes
    std::thread* thread;
    std::once_flag* joined;  // join() may come from several threads at once: one of them joins
    stats* result;
    std::atomic<bool>* cancel;
};

constexpr std::size_t k_text_size = 32;  // "message " and up to 20 digits
constexpr char k_prefix[] = "message ";
constexpr std::size_t k_prefix_size = sizeof k_prefix - 1;

// `message` is made once, before the thread starts, filled with "."; the text only grows with i,
// so the padding past it stays as filled. The number goes in with to_chars: formatting it with
// snprintf cost the thread more than the push it feeds, and the demo measured the producer.
void produce(push_entry push, unsigned long long count, std::size_t size, std::vector<char> message,
             std::atomic<bool>* cancel, stats* out) {
    char text[k_text_size];
    std::memcpy(text, k_prefix, k_prefix_size);
    for (unsigned long long i = 0; i < count && !cancel->load(std::memory_order_relaxed); ++i) {
        const auto length =
            static_cast<std::size_t>(std::to_chars(text + k_prefix_size, text + sizeof text, i).ptr - text);
        std::memcpy(message.data(), text, size == 0 ? length : std::min(length, size));
        const std::size_t message_size = size == 0 ? length : size;
        for (;;) {
            // No lock held, no Python object touched: the push copies the bytes before returning.
            const int result = push(message.data(), message_size);
            if (result == q::k_ok || result == q::k_wake) {
                ++out->stored;
                if (result == q::k_wake) ++out->wakeups;
                break;
            }
            if (result == q::k_full) {  // the consumer is behind: give it time, then retry
                ++out->full_retries;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                if (cancel->load(std::memory_order_relaxed)) return;
                continue;
            }
            if (result == q::k_too_large) {  // larger than the dispatcher's slots: drop it
                ++out->too_large;
                break;
            }
            out->stopped = true;  // k_stopped (or any other refusal): the dispatcher is closed
            return;
        }
    }
}

PyObject* producer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* dispatcher = nullptr;
    unsigned long long count = 0;
    Py_ssize_t size = 0;  // 0: each message is its text alone
    static const char* kwlist[] = {"dispatcher", "count", "size", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OK|n", const_cast<char**>(kwlist), &dispatcher, &count, &size))
        return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        return nullptr;
    }
    push_entry push{};
    if (PyObject_TypeCheck(dispatcher, g_bus.sync_dispatcher_type)) {
        auto* d = reinterpret_cast<rb::sync_dispatcher_object*>(dispatcher);
        if (d->_push != nullptr) push = entry_of(d);
    } else if (PyObject_TypeCheck(dispatcher, g_bus.async_dispatcher_type)) {
        auto* d = reinterpret_cast<rb::async_dispatcher_object*>(dispatcher);
        if (d->_push != nullptr) push = entry_of(d);
    } else {
        PyErr_SetString(PyExc_TypeError, "Producer needs a korvo SyncDispatcher or AsyncDispatcher");
        return nullptr;
    }
    if (push.push == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the dispatcher was not initialised");
        return nullptr;
    }
    std::vector<char> message;
    try {
        message.assign(std::max(static_cast<std::size_t>(size), k_text_size), '.');
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto* self = reinterpret_cast<producer_object*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->dispatcher = Py_NewRef(dispatcher);
    self->result = new stats();
    self->cancel = new std::atomic<bool>(false);
    self->joined = new std::once_flag();
    try {
        self->thread = new std::thread(produce, push, count, static_cast<std::size_t>(size), std::move(message),
                                       self->cancel, self->result);
    } catch (...) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, "cannot start the producer thread");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

void join_thread(producer_object* self) {
    if (self->thread == nullptr) return;
    Py_BEGIN_ALLOW_THREADS  // the consumer may need the lock to drain what we wait on
    std::call_once(*self->joined, [self] { self->thread->join(); });
    Py_END_ALLOW_THREADS
}

PyObject* producer_join(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<producer_object*>(obj);
    join_thread(self);
    const stats& s = *self->result;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:O}", "stored", s.stored, "wakeups", s.wakeups, "full_retries",
                         s.full_retries, "too_large", s.too_large, "stopped", s.stopped ? Py_True : Py_False);
}

void producer_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<producer_object*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if (self->cancel != nullptr) self->cancel->store(true);
    join_thread(self);  // never drop the dispatcher while our thread may still push
    delete self->thread;
    delete self->joined;
    delete self->result;
    delete self->cancel;
    Py_XDECREF(self->dispatcher);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef producer_methods[] = {
    {"join", producer_join, METH_NOARGS, "Waits for the producer thread; returns its counts."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot producer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(producer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(producer_dealloc)},
    {Py_tp_methods, producer_methods},
    {0, nullptr},
};
PyType_Spec producer_spec = {"example_producer.Producer", sizeof(producer_object), 0, Py_TPFLAGS_DEFAULT,
                             producer_slots};

int exec_module(PyObject* module) {
    if (rb::import_api(&g_bus) < 0) return -1;  // checks types, tables and capsule signatures
    PyObject* type = PyType_FromModuleAndSpec(module, &producer_spec, nullptr);
    if (type == nullptr) return -1;
    const int added = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},  // g_bus is written once by exec; producers keep to their own object
    {0, nullptr},
};
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "example_producer", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_example_producer() { return PyModuleDef_Init(&module_def); }
