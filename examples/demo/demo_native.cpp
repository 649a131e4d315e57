// The demo's native feeds: threads of their own that hand sized messages to Python, either
// through a korvo dispatcher's push entry (no interpreter lock) or, as the baseline, through
// loop.call_soon_threadsafe (the lock taken per message).
//
//   feed = demo_native.push_feed(dispatcher, count, size)        # starts at once
//   feed = demo_native.call_soon_feed(loop, callback, count, size)
//   feed.join()   # {"stored": ..., "full_retries": ..., "stopped": ...}
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/publish.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "korvo/relaybus.hpp"
#include "korvo/spsc_queue_results.hpp"

namespace {

using namespace korvo;
namespace rb = korvo::relaybus;
namespace q = korvo::spsc_queue;

module_guard g_guard{"demo_native", "demo_native"};
rb::api g_bus;  // filled at exec; the type references live as long as the process

// What a feed's thread did. Written by that thread only, read after join.
struct feed_counts {
    unsigned long long stored = 0;        // messages handed over
    unsigned long long full_retries = 0;  // pushes refused by a full queue, then retried
    bool stopped = false;                 // the receiver refused for good (closed)
};

// The thread and its results; lives apart from the object so that the thread never touches it.
struct feed_run {
    std::thread thread;
    std::atomic<bool> cancel{false};
    feed_counts counts;
};

struct feed_object {
    PyObject_HEAD
    feed_run* run;
    PyObject* target;    // the dispatcher, or the loop's bound call_soon_threadsafe
    PyObject* callback;  // call_soon feeds: what the loop calls with each message
};

// Waits for the thread with the interpreter lock released: a call_soon feed needs the lock to
// finish, and a dispatcher's consumer needs it to drain what the producer waits on.
void join_run(feed_run* run) {
    if (run == nullptr || !run->thread.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    run->thread.join();
    Py_END_ALLOW_THREADS
}

struct feed_desc {
    template <class F>
    static void fields(feed_object& self, F&& f) {
        f(self.target);
        f(self.callback);
    }
    // The borrowed target must outlive the thread: stop and join before the fields go.
    static void teardown(feed_object& self) noexcept {
        if (self.run == nullptr) return;
        self.run->cancel.store(true);
        join_run(self.run);
        delete self.run;
        self.run = nullptr;
    }
};
using feed_type = type_slots<feed_object, feed_desc>;

PyTypeObject* g_feed_type = nullptr;

// One message buffer of `size` bytes; the sequence number goes in its first bytes.
struct message {
    explicit message(std::size_t size) : bytes(size, 'x') {}
    void number(unsigned long long seq) noexcept {
        std::memcpy(bytes.data(), &seq, std::min(bytes.size(), sizeof seq));
    }
    std::vector<char> bytes;
};

// A feed object around a thread not yet started. Throws python_error.
object new_feed(PyObject* target, PyObject* callback) {
    object self = object::steal(check(g_feed_type->tp_alloc(g_feed_type, 0)));
    auto* feed = feed_type::cast(self.ptr());
    feed_type::init_fields(self.ptr());
    field_ref(feed->target).set(target);
    if (callback != nullptr) field_ref(feed->callback).set(callback);
    feed->run = new feed_run();
    return self;
}

// A dispatcher's producer entry (each dispatcher type has its own layout) as a callable the
// thread can use without the lock.
struct push_entry {
    void* dispatcher;
    int (*push)(void* dispatcher, const char* data, std::size_t size);
    int operator()(const char* data, std::size_t size) const { return push(dispatcher, data, size); }
};

template <class Dispatcher>
push_entry entry_of(Dispatcher* d) {
    if (d->_push == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the dispatcher was not initialised");
        throw python_error{};
    }
    return {d, [](void* self, const char* data, std::size_t size) {
                auto* dispatcher = static_cast<Dispatcher*>(self);
                return dispatcher->_push(dispatcher, data, size);
            }};
}

push_entry push_entry_of(PyObject* dispatcher) {
    if (PyObject_TypeCheck(dispatcher, g_bus.sync_dispatcher_type))
        return entry_of(reinterpret_cast<rb::sync_dispatcher_object*>(dispatcher));
    if (PyObject_TypeCheck(dispatcher, g_bus.async_dispatcher_type))
        return entry_of(reinterpret_cast<rb::async_dispatcher_object*>(dispatcher));
    PyErr_SetString(PyExc_TypeError, "push_feed needs a korvo SyncDispatcher or AsyncDispatcher");
    throw python_error{};
}

void push_messages(push_entry push, unsigned long long count, std::size_t size, feed_run* run) {
    message m(size);
    for (unsigned long long seq = 0; seq < count && !run->cancel.load(std::memory_order_relaxed); ++seq) {
        m.number(seq);
        int result;
        while ((result = push(m.bytes.data(), m.bytes.size())) == q::k_full) {
            ++run->counts.full_retries;
            if (run->cancel.load(std::memory_order_relaxed)) return;
            std::this_thread::yield();
        }
        if (result < 0) {  // stopped, or a message that can never fit: nothing more will go
            run->counts.stopped = true;
            return;
        }
        ++run->counts.stored;
    }
}

// The baseline: every message takes the lock, becomes a bytes object and is scheduled on the
// loop. The feed object holds `call_soon` and `callback`; the thread only borrows them.
void call_soon_messages(PyObject* call_soon, PyObject* callback, unsigned long long count, std::size_t size,
                        feed_run* run) {
    message m(size);
    for (unsigned long long seq = 0; seq < count && !run->cancel.load(std::memory_order_relaxed); ++seq) {
        m.number(seq);
        const PyGILState_STATE gil = PyGILState_Ensure();
        bool scheduled = false;
        {
            object bytes = object::steal(PyBytes_FromStringAndSize(m.bytes.data(), static_cast<Py_ssize_t>(size)));
            object result = bytes
                                ? object::steal(PyObject_CallFunctionObjArgs(call_soon, callback, bytes.ptr(), nullptr))
                                : object();
            scheduled = static_cast<bool>(result);
            if (!scheduled) PyErr_Clear();  // a closed loop: the feed ends, join() tells
        }
        PyGILState_Release(gil);
        if (!scheduled) {
            run->counts.stopped = true;
            return;
        }
        ++run->counts.stored;
    }
}

PyObject* push_feed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] {
        static constexpr std::array<const char*, 3> names{"dispatcher", "count", "size"};
        std::array<PyObject*, 3> v{};
        parse_args("push_feed", args, nargs, kwnames, names, 3, v);
        const push_entry push = push_entry_of(v[0]);
        const unsigned long long count = to_size(v[1]);
        const std::size_t size = to_size(v[2]);
        object self = new_feed(v[0], nullptr);
        feed_run* run = feed_type::cast(self.ptr())->run;
        run->thread = std::thread(push_messages, push, count, size, run);
        return self.release();
    });
}

PyObject* call_soon_feed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] {
        static constexpr std::array<const char*, 4> names{"loop", "callback", "count", "size"};
        std::array<PyObject*, 4> v{};
        parse_args("call_soon_feed", args, nargs, kwnames, names, 4, v);
        object call_soon = object::steal(check(PyObject_GetAttrString(v[0], "call_soon_threadsafe")));
        const unsigned long long count = to_size(v[2]);
        const std::size_t size = to_size(v[3]);
        object self = new_feed(call_soon.ptr(), v[1]);
        auto* feed = feed_type::cast(self.ptr());
        feed->run->thread = std::thread(call_soon_messages, feed->target, feed->callback, count, size, feed->run);
        return self.release();
    });
}

PyObject* feed_join(PyObject* self, PyObject*) {
    return guard(nullptr, [&] {
        feed_run* run = feed_type::cast(self)->run;
        join_run(run);
        const feed_counts& c = run->counts;
        return check(Py_BuildValue("{s:K,s:K,s:O}", "stored", c.stored, "full_retries", c.full_retries, "stopped",
                                   c.stopped ? Py_True : Py_False));
    });
}

PyMethodDef feed_methods[] = {
    method_noargs("join", feed_join, "join() -> dict\n\nWaits for the feed's thread; returns its counts."),
    k_methods_end,
};
auto feed_slots = feed_type::slots(std::to_array({
    PyType_Slot{Py_tp_methods, feed_methods},
    doc_slot("A native thread feeding messages to Python; made by push_feed or call_soon_feed."),
}));
PyType_Spec feed_spec = type_spec("demo_native.Feed", sizeof(feed_object), k_gc_type_flags, feed_slots.data());

PyMethodDef module_methods[] = {
    method_fastcall("push_feed", push_feed,
                    "push_feed(dispatcher, count, size) -> Feed\n\n"
                    "Pushes count messages of size bytes into a SyncDispatcher from a native thread."),
    method_fastcall("call_soon_feed", call_soon_feed,
                    "call_soon_feed(loop, callback, count, size) -> Feed\n\n"
                    "Hands count messages of size bytes to loop.call_soon_threadsafe(callback, message) from a "
                    "native thread."),
    k_methods_end,
};

int exec(PyObject* module) {
    return guard(-1, [&] {
        begin_exec(g_guard);
        check(rb::import_api(&g_bus));
        check(PyModule_AddFunctions(module, module_methods));
        g_feed_type = add_type(module, &feed_spec);
        return 0;
    });
}

PyModuleDef_Slot slots[] = {KORVO_MODULE_SLOTS(create_module, exec)};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "demo_native", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_demo_native() { return PyModuleDef_Init(&module_def); }
