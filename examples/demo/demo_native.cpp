// The demo's baseline feed: a native thread of its own hands sized messages to Python through
// loop.call_soon_threadsafe, taking the interpreter lock for every message. (The korvo feeds are
// the example producer module's; this one needs no korvo header at all.)
//
//   feed = demo_native.CallSoonFeed(loop, callback, count, size)   # starts at once
//   feed.join()   # {"stored": ..., "stopped": ...}
//
// Messages are those of example_producer.Producer(..., size=size): b"message 0", ... cut or
// padded with "." to exactly size bytes.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace {

// What the thread did. Written by the thread only, read after join.
struct counts {
    unsigned long long stored = 0;  // messages scheduled on the loop
    bool stopped = false;           // the loop refused one (closed): the feed ended early
};

struct feed_object {
    PyObject_HEAD
    PyObject* call_soon;  // strong: the loop's bound call_soon_threadsafe, borrowed by the thread
    PyObject* callback;   // strong: what the loop calls with each message
    std::thread* thread;
    counts* result;
    std::atomic<bool>* cancel;
};

constexpr std::size_t k_text_size = 32;  // "message " and up to 20 digits

// The thread never owns a reference: the feed object holds both and joins before it drops them.
void call_soon_messages(PyObject* call_soon, PyObject* callback, unsigned long long count, std::size_t size,
                        std::vector<char> message, std::atomic<bool>* cancel, counts* out) {
    char text[k_text_size];
    for (unsigned long long i = 0; i < count && !cancel->load(std::memory_order_relaxed); ++i) {
        const auto length = static_cast<std::size_t>(std::snprintf(text, sizeof text, "message %llu", i));
        std::memcpy(message.data(), text, std::min(length, size));
        const PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* bytes = PyBytes_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(size));
        PyObject* result =
            bytes != nullptr ? PyObject_CallFunctionObjArgs(call_soon, callback, bytes, nullptr) : nullptr;
        const bool scheduled = result != nullptr;
        if (!scheduled) PyErr_Clear();  // a closed loop: the feed ends, join() tells
        Py_XDECREF(result);
        Py_XDECREF(bytes);
        PyGILState_Release(gil);
        if (!scheduled) {
            out->stopped = true;
            return;
        }
        ++out->stored;
    }
}

PyObject* feed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* loop = nullptr;
    PyObject* callback = nullptr;
    unsigned long long count = 0;
    Py_ssize_t size = 0;
    static const char* kwlist[] = {"loop", "callback", "count", "size", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOKn", const_cast<char**>(kwlist), &loop, &callback, &count, &size))
        return nullptr;
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be positive");
        return nullptr;
    }
    std::vector<char> message;
    try {
        message.assign(std::max(static_cast<std::size_t>(size), k_text_size), '.');
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* call_soon = PyObject_GetAttrString(loop, "call_soon_threadsafe");
    if (call_soon == nullptr) return nullptr;
    auto* self = reinterpret_cast<feed_object*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        Py_DECREF(call_soon);
        return nullptr;
    }
    self->call_soon = call_soon;
    self->callback = Py_NewRef(callback);
    self->result = new counts();
    self->cancel = new std::atomic<bool>(false);
    try {
        self->thread = new std::thread(call_soon_messages, self->call_soon, self->callback, count,
                                       static_cast<std::size_t>(size), std::move(message), self->cancel, self->result);
    } catch (...) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, "cannot start the feed thread");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

void join_thread(feed_object* self) {
    if (self->thread == nullptr || !self->thread->joinable()) return;
    Py_BEGIN_ALLOW_THREADS  // the thread needs the lock to finish
    self->thread->join();
    Py_END_ALLOW_THREADS
}

PyObject* feed_join(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<feed_object*>(obj);
    join_thread(self);
    return Py_BuildValue("{s:K,s:O}", "stored", self->result->stored, "stopped",
                         self->result->stopped ? Py_True : Py_False);
}

void feed_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<feed_object*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if (self->cancel != nullptr) self->cancel->store(true);
    join_thread(self);  // the thread borrows both references: stop it before they go
    delete self->thread;
    delete self->result;
    delete self->cancel;
    Py_XDECREF(self->call_soon);
    Py_XDECREF(self->callback);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef feed_methods[] = {
    {"join", feed_join, METH_NOARGS, "Waits for the feed's thread; returns its counts."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot feed_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feed_dealloc)},
    {Py_tp_methods, feed_methods},
    {Py_tp_doc, const_cast<char*>("CallSoonFeed(loop, callback, count, size)\n\n"
                                  "A native thread handing count messages of size bytes to "
                                  "loop.call_soon_threadsafe(callback, message).")},
    {0, nullptr},
};
PyType_Spec feed_spec = {"demo_native.CallSoonFeed", sizeof(feed_object), 0, Py_TPFLAGS_DEFAULT, feed_slots};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &feed_spec, nullptr);
    if (type == nullptr) return -1;
    const int added = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "demo_native", nullptr, 0,      nullptr,
                          module_slots,          nullptr,       nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_demo_native() { return PyModuleDef_Init(&module_def); }
