// Test-only extension module that uses the bridge the way another extension module would:
// through korvo/relaybus.hpp and the published capsules, with producer and consumer threads
// that never hold the interpreter lock.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "korvo/relaybus.hpp"
#include "korvo/spsc_queue.hpp"

namespace {

namespace rb = korvo::relaybus;

// Imported on first use by whichever thread comes first; the others wait on the mutex (detached).
rb::api g_api;
std::atomic<bool> g_have_api{false};
PyMutex g_api_mutex{};

bool ensure_api() {
    if (g_have_api.load(std::memory_order_acquire)) return true;
    PyMutex_Lock(&g_api_mutex);
    bool ok = true;
    if (!g_have_api.load(std::memory_order_relaxed)) {
        ok = rb::import_api(&g_api) == 0;
        if (ok) g_have_api.store(true, std::memory_order_release);
    }
    PyMutex_Unlock(&g_api_mutex);
    return ok;
}

// Message layout: u64 sequence, u32 checksum of the payload, then the payload (bytes derived from
// the sequence number). Python consumers check it through verify() below (the Collector in
// tests/python/relaybus/test_relaybus_sync.py).
std::uint32_t checksum(const unsigned char* data, std::size_t size) {
    std::uint32_t sum = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) sum = (sum ^ data[i]) * 16777619u;
    return sum;
}

void fill_message(std::vector<unsigned char>& buffer, std::uint64_t seq, std::size_t size) {
    buffer.resize(size < 12 ? 12 : size);
    for (std::size_t i = 12; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(seq * 31 + i);
    const std::uint32_t sum = checksum(buffer.data() + 12, buffer.size() - 12);
    std::memcpy(buffer.data(), &seq, 8);
    std::memcpy(buffer.data() + 8, &sum, 4);
}

bool check_message(const char* data, std::size_t size, std::uint64_t expected_seq) {
    if (size < 12) return false;
    std::uint64_t seq;
    std::uint32_t sum;
    std::memcpy(&seq, data, 8);
    std::memcpy(&sum, data + 8, 4);
    return seq == expected_seq && sum == checksum(reinterpret_cast<const unsigned char*>(data) + 12, size - 12);
}

// Sizes vary with the sequence number when `vary` is set, between 12 and `size` bytes.
std::size_t size_for(std::uint64_t seq, std::size_t size, bool vary) {
    if (!vary || size <= 12) return size;
    return 12 + static_cast<std::size_t>((seq * 7919) % (size - 11));
}

struct produce_options {
    unsigned long long count;
    std::size_t size;
    bool vary, retry_full, plain;
};

// Pushes numbered messages (or, with `plain`, one constant payload) through `push` on a native
// thread that never takes the interpreter lock; a full queue is retried (yielding) when
// retry_full is set, otherwise counted. The caller holds no lock. Returns {result code: count}.
template <class Push>
std::map<int, unsigned long long> run_producer(const produce_options& o, Push push) {
    std::map<int, unsigned long long> results;
    std::thread producer([&] {
        std::vector<unsigned char> buffer;
        if (o.plain) buffer.assign(o.size, 'x');  // benchmarks: no per-message work
        for (std::uint64_t seq = 0; seq < o.count; ++seq) {
            if (!o.plain) fill_message(buffer, seq, size_for(seq, o.size, o.vary));
            int r;
            while ((r = push(reinterpret_cast<const char*>(buffer.data()), buffer.size())) ==
                       korvo::spsc_queue::k_full &&
                   o.retry_full)
                std::this_thread::yield();
            ++results[r];
            if (r == korvo::spsc_queue::k_stopped) break;
        }
    });
    producer.join();
    return results;
}

// A dispatcher's producers' entry (`_push`, chosen by its mode) or, with `via_table`, the
// table's push_notify / push_var_notify: each type has its own layout and table.
template <class Object, class Table>
std::map<int, unsigned long long> produce_into(Object* d, PyTypeObject* type, const produce_options& o, int via_table,
                                               bool& ok) {
    std::map<int, unsigned long long> results;
    if (d->_push == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "dispatcher not initialised");
        return results;
    }
    auto* table = static_cast<const Table*>(korvo::capsule::get_vtable(type));
    ok = true;
    Py_BEGIN_ALLOW_THREADS
    if (via_table == 0)
        results = run_producer(o, [d](const char* data, std::size_t n) { return d->_push(d, data, n); });
    else if (via_table == 1)
        results =
            run_producer(o, [d, table](const char* data, std::size_t n) { return table->push_notify(d, data, n); });
    else
        results =
            run_producer(o, [d, table](const char* data, std::size_t n) { return table->push_var_notify(d, data, n); });
    Py_END_ALLOW_THREADS
    return results;
}

// produce(dispatcher, count, size, vary=False, retry_full=True, plain=False, via_table=0):
// via_table 1 pushes through the table's push_notify, 2 through push_var_notify.
PyObject* produce(PyObject*, PyObject* args) {
    PyObject* dispatcher;
    unsigned long long count;
    Py_ssize_t size;
    int vary = 0, retry_full = 1, plain = 0, via_table = 0;
    if (!PyArg_ParseTuple(args, "OKn|pppi", &dispatcher, &count, &size, &vary, &retry_full, &plain, &via_table))
        return nullptr;
    if (!ensure_api()) return nullptr;
    const produce_options o{count, static_cast<std::size_t>(size), vary != 0, retry_full != 0, plain != 0};
    bool ok = false;
    std::map<int, unsigned long long> results;
    if (PyObject_TypeCheck(dispatcher, g_api.sync_dispatcher_type))
        results = produce_into<rb::sync_dispatcher_object, rb::sync_dispatcher_vtable>(
            reinterpret_cast<rb::sync_dispatcher_object*>(dispatcher), g_api.sync_dispatcher_type, o, via_table, ok);
    else if (PyObject_TypeCheck(dispatcher, g_api.async_dispatcher_type))
        results = produce_into<rb::async_dispatcher_object, rb::async_dispatcher_vtable>(
            reinterpret_cast<rb::async_dispatcher_object*>(dispatcher), g_api.async_dispatcher_type, o, via_table, ok);
    else
        PyErr_SetString(PyExc_TypeError, "expected a dispatcher");
    if (!ok) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr) return nullptr;
    for (auto [code, n] : results) {
        PyObject* key = PyLong_FromLong(code);
        PyObject* value = PyLong_FromUnsignedLongLong(n);
        int failed = key == nullptr || value == nullptr || PyDict_SetItem(out, key, value) < 0;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (failed) {
            Py_DECREF(out);
            return nullptr;
        }
    }
    return out;
}

// Runs a native producer and a native consumer over a KoPipe through _push / _pop / _release,
// neither holding the lock. Returns the number of messages verified in order; raises on the
// first lost, reordered or corrupted one.
PyObject* pipe_round_trip(PyObject*, PyObject* args) {
    PyObject* pipe_obj;
    unsigned long long count;
    Py_ssize_t size;
    int vary = 0;
    if (!PyArg_ParseTuple(args, "OKn|p", &pipe_obj, &count, &size, &vary)) return nullptr;
    if (!ensure_api()) return nullptr;
    if (!PyObject_TypeCheck(pipe_obj, g_api.kopipe_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a KoPipe");
        return nullptr;
    }
    auto* pipe = reinterpret_cast<rb::kopipe_object*>(pipe_obj);
    std::atomic<unsigned long long> verified{0};
    std::atomic<bool> corrupt{false};
    Py_BEGIN_ALLOW_THREADS
    std::thread consumer([&] {
        for (std::uint64_t seq = 0; seq < count; ++seq) {
            const char* data = nullptr;
            std::size_t got = 0;
            if (pipe->_pop(pipe, &data, &got) != korvo::spsc_queue::k_taken ||
                got != std::max<std::size_t>(12, size_for(seq, static_cast<std::size_t>(size), vary)) ||
                !check_message(data, got, seq)) {
                corrupt = true;
                return;
            }
            pipe->_release(pipe);
            verified.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread producer([&] {
        std::vector<unsigned char> buffer;
        for (std::uint64_t seq = 0; seq < count && !corrupt; ++seq) {
            fill_message(buffer, seq, size_for(seq, static_cast<std::size_t>(size), vary));
            while (pipe->_push(pipe, reinterpret_cast<const char*>(buffer.data()), buffer.size()) ==
                       korvo::spsc_queue::k_full &&
                   !corrupt)
                std::this_thread::yield();
        }
    });
    producer.join();
    consumer.join();
    Py_END_ALLOW_THREADS
    if (corrupt) {
        PyErr_Format(PyExc_AssertionError, "message %llu lost, reordered or corrupted", verified.load());
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(verified.load());
}

// convert(name, obj): calls the published conversion `name` on obj and returns a copy of the
// bytes it describes (the holder / view are dropped as their contracts say).
PyObject* convert(PyObject*, PyObject* args) {
    const char* name;
    PyObject* obj;
    if (!PyArg_ParseTuple(args, "sO", &name, &obj)) return nullptr;
    if (!ensure_api()) return nullptr;
    const char* data = nullptr;
    size_t size = 0;
    std::string which = name;
    PyObject* result = nullptr;
    if (which == "obj_to_cbuf") {
        PyObject* holder = nullptr;
        if (g_api.obj_to_cbuf(obj, &holder, &data, &size) < 0) return nullptr;
        result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
        Py_DECREF(holder);
    } else if (which == "buf_to_cbuf") {
        Py_buffer view;
        if (g_api.buf_to_cbuf(obj, &view, &data, &size) < 0) return nullptr;
        result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
        PyBuffer_Release(&view);
    } else if (which == "bytes_to_cbuf") {
        g_api.bytes_to_cbuf(obj, &data, &size);
        result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    } else if (which == "str_to_cbuf") {
        if (g_api.str_to_cbuf(obj, &data, &size) < 0) return nullptr;
        result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown conversion");
    }
    return result;
}

// view_load(view, obj, entry=None): loads through view->loader (or the table entry named) and
// returns (bytes copy or None when data is null, size, data address, address of obj's own storage
// for bytes objects or 0).
PyObject* view_load(PyObject*, PyObject* args) {
    PyObject* view_obj;
    PyObject* source;
    const char* entry = nullptr;
    if (!PyArg_ParseTuple(args, "OO|z", &view_obj, &source, &entry)) return nullptr;
    if (!ensure_api()) return nullptr;
    if (!PyObject_TypeCheck(view_obj, g_api.cbuffer_view_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a CBufferView");
        return nullptr;
    }
    auto* view = reinterpret_cast<rb::cbuffer_view_object*>(view_obj);
    auto* table = static_cast<const rb::cbuffer_view_vtable*>(korvo::capsule::get_vtable(g_api.cbuffer_view_type));
    if (table == nullptr) return nullptr;
    rb::cbuffer_loader load = view->loader;
    if (entry != nullptr) {
        std::string e = entry;
        load = e == "_load_bytes" ? table->_load_bytes
               : e == "_load_buf" ? table->_load_buf
               : e == "_load_str" ? table->_load_str
               : e == "_load_obj" ? table->_load_obj
                                  : table->_load;
    }
    if (load(view, source) < 0) return nullptr;
    PyObject* copy = view->data != nullptr ? PyBytes_FromStringAndSize(view->data, static_cast<Py_ssize_t>(view->size))
                                           : Py_NewRef(Py_None);
    if (copy == nullptr) return nullptr;
    const auto own = PyBytes_Check(source) ? reinterpret_cast<std::uintptr_t>(PyBytes_AS_STRING(source)) : 0;
    return Py_BuildValue("(NnKKi)", copy, static_cast<Py_ssize_t>(view->size),
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(view->data)),
                         static_cast<unsigned long long>(own), view->view.buf != nullptr);
}

// The loader a fresh view picked for its kind, by table entry name.
PyObject* view_loader_name(PyObject*, PyObject* view_obj) {
    if (!ensure_api()) return nullptr;
    if (!PyObject_TypeCheck(view_obj, g_api.cbuffer_view_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a CBufferView");
        return nullptr;
    }
    auto* view = reinterpret_cast<rb::cbuffer_view_object*>(view_obj);
    auto* t = static_cast<const rb::cbuffer_view_vtable*>(korvo::capsule::get_vtable(g_api.cbuffer_view_type));
    if (t == nullptr) return nullptr;
    const char* name = view->loader == t->_load_bytes ? "_load_bytes"
                       : view->loader == t->_load_buf ? "_load_buf"
                       : view->loader == t->_load_str ? "_load_str"
                       : view->loader == t->_load_obj ? "_load_obj"
                       : view->loader == t->_load     ? "_load"
                                                      : "?";
    return PyUnicode_FromString(name);
}

// Calls SyncDispatcher's native setup/close entries (which dispatch to Python overrides).
PyObject* native_close(PyObject*, PyObject* obj) {
    if (!ensure_api()) return nullptr;
    auto* d = reinterpret_cast<rb::sync_dispatcher_object*>(obj);
    if (!PyObject_TypeCheck(obj, g_api.sync_dispatcher_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a SyncDispatcher");
        return nullptr;
    }
    return d->vtab->close(d, 0);
}

PyObject* native_setup(PyObject*, PyObject* args) {
    PyObject* obj;
    PyObject* host;
    int recvbuf;
    if (!PyArg_ParseTuple(args, "OOi", &obj, &host, &recvbuf)) return nullptr;
    if (!ensure_api()) return nullptr;
    if (PyObject_TypeCheck(obj, g_api.async_dispatcher_type)) {
        auto* d = reinterpret_cast<rb::async_dispatcher_object*>(obj);
        return d->vtab->setup(d, host, recvbuf, 0);
    }
    if (!PyObject_TypeCheck(obj, g_api.sync_dispatcher_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a SyncDispatcher");
        return nullptr;
    }
    auto* d = reinterpret_cast<rb::sync_dispatcher_object*>(obj);
    return d->vtab->setup(d, host, recvbuf, 0);
}

// AsyncQueue's one table entry, start_dispatcher (dispatching to a Python override).
PyObject* native_start_dispatcher(PyObject*, PyObject* args) {
    PyObject* obj;
    PyObject* callback;
    if (!PyArg_ParseTuple(args, "OO", &obj, &callback)) return nullptr;
    if (!ensure_api()) return nullptr;
    if (!PyObject_TypeCheck(obj, g_api.async_queue_type)) {
        PyErr_SetString(PyExc_TypeError, "expected an AsyncQueue");
        return nullptr;
    }
    auto* q = reinterpret_cast<rb::async_queue_object*>(obj);
    return q->vtab->start_dispatcher(q, callback, 0);
}

// AsyncDispatcher's fields as a producer module sees them.
PyObject* async_dispatcher_fields(PyObject* obj) {
    auto* d = reinterpret_cast<rb::async_dispatcher_object*>(obj);
    auto* t = static_cast<const rb::async_dispatcher_vtable*>(korvo::capsule::get_vtable(g_api.async_dispatcher_type));
    if (t == nullptr) return nullptr;
    const char* push = d->_push == nullptr              ? "null"
                       : d->_push == t->push_notify     ? "push_notify"
                       : d->_push == t->push_var_notify ? "push_var_notify"
                                                        : "?";
    return Py_BuildValue("{s:O,s:i,s:i,s:s,s:i,s:i,s:O,s:O}", "q", d->_q, "sock_fd", static_cast<int>(d->_sock_fd),
                         "port", static_cast<int>((d->_addr.port >> 8) | ((d->_addr.port & 0xff) << 8)), "push", push,
                         "variable_size", d->_variable_size, "running", static_cast<int>(d->_running.load()), "task",
                         d->_task, "sock", d->_sock);
}

// Field values of a dispatcher as a producer module sees them.
PyObject* dispatcher_fields(PyObject*, PyObject* obj) {
    if (!ensure_api()) return nullptr;
    if (PyObject_TypeCheck(obj, g_api.async_dispatcher_type)) return async_dispatcher_fields(obj);
    if (!PyObject_TypeCheck(obj, g_api.sync_dispatcher_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a SyncDispatcher");
        return nullptr;
    }
    auto* d = reinterpret_cast<rb::sync_dispatcher_object*>(obj);
    auto* t = static_cast<const rb::sync_dispatcher_vtable*>(korvo::capsule::get_vtable(g_api.sync_dispatcher_type));
    if (t == nullptr) return nullptr;
    const char* push = d->_push == nullptr              ? "null"
                       : d->_push == t->push_notify     ? "push_notify"
                       : d->_push == t->push_var_notify ? "push_var_notify"
                       : d->_push == t->queue_push      ? "queue_push"
                       : d->_push == t->queue_push_var  ? "queue_push_var"
                                                        : "?";
    return Py_BuildValue("{s:O,s:i,s:i,s:s,s:i,s:i,s:i}", "q", d->_q, "sock_fd", static_cast<int>(d->_sock_fd), "port",
                         static_cast<int>((d->_addr.port >> 8) | ((d->_addr.port & 0xff) << 8)), "push", push, "detach",
                         d->_detach, "variable_size", d->_variable_size, "nonblocking", d->_nonblocking);
}

// verify(message, seq): does the message carry sequence number seq and an intact payload?
PyObject* verify(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "verify(bytes, seq)");
        return nullptr;
    }
    const unsigned long long seq = PyLong_AsUnsignedLongLong(args[1]);
    if (seq == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return PyBool_FromLong(
        check_message(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])), seq));
}

// Baseline for benchmarks: a native thread that takes the lock once and calls callback(bytes)
// `count` times, the limit of any bridge that hands messages to Python one by one.
// With `drive`, each result is a coroutine that is driven to completion with PyIter_Send: the
// ceiling of a dispatcher that awaits an async callback per message.
PyObject* call_with_lock(PyObject*, PyObject* args) {
    PyObject* callback;
    unsigned long long count;
    Py_ssize_t size;
    int drive = 0;
    if (!PyArg_ParseTuple(args, "OKn|p", &callback, &count, &size, &drive)) return nullptr;
    std::vector<char> payload(static_cast<std::size_t>(size), 'x');
    std::atomic<bool> failed{false};
    Py_BEGIN_ALLOW_THREADS
    std::thread worker([&] {
        PyGILState_STATE gil = PyGILState_Ensure();
        for (unsigned long long i = 0; i < count; ++i) {
            PyObject* message = PyBytes_FromStringAndSize(payload.data(), size);
            PyObject* result = message ? PyObject_CallOneArg(callback, message) : nullptr;
            Py_XDECREF(message);
            if (result != nullptr && drive) {
                PyObject* value = nullptr;
                PySendResult step;
                while ((step = PyIter_Send(result, Py_None, &value)) == PYGEN_NEXT) Py_DECREF(value);
                Py_DECREF(result);
                result = step == PYGEN_RETURN ? value : nullptr;
            }
            if (result == nullptr) {
                PyErr_Clear();
                failed = true;
                break;
            }
            Py_DECREF(result);
        }
        PyGILState_Release(gil);
    });
    worker.join();
    Py_END_ALLOW_THREADS
    if (failed) {
        PyErr_SetString(PyExc_RuntimeError, "callback raised");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Baseline for benchmarks: a native thread handing each message to an asyncio loop with
// loop.call_soon_threadsafe(callback, bytes), taking the lock per message.
PyObject* call_soon_threadsafe(PyObject*, PyObject* args) {
    PyObject* loop;
    PyObject* callback;
    unsigned long long count;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "OOKn", &loop, &callback, &count, &size)) return nullptr;
    PyObject* method = PyObject_GetAttrString(loop, "call_soon_threadsafe");
    if (method == nullptr) return nullptr;
    std::vector<char> payload(static_cast<std::size_t>(size), 'x');
    std::thread worker([=, payload = std::move(payload)] {
        for (unsigned long long i = 0; i < count; ++i) {
            PyGILState_STATE gil = PyGILState_Ensure();
            PyObject* message = PyBytes_FromStringAndSize(payload.data(), size);
            PyObject* result = message ? PyObject_CallFunctionObjArgs(method, callback, message, nullptr) : nullptr;
            Py_XDECREF(message);
            if (result == nullptr) PyErr_Clear();
            Py_XDECREF(result);
            PyGILState_Release(gil);
        }
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(method);
        PyGILState_Release(gil);
    });
    worker.detach();  // the caller runs the loop until everything arrived
    Py_RETURN_NONE;
}

// Pushes one message carrying CLOCK_MONOTONIC nanoseconds (the clock of time.monotonic_ns)
// through the dispatcher's _push, from a native thread; the caller holds no lock.
template <class Object>
int push_stamp(Object* d) {
    int result = 0;
    std::thread producer([&] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long stamp = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
        result = d->_push(d, reinterpret_cast<const char*>(&stamp), sizeof stamp);
    });
    producer.join();
    return result;
}

// produce_stamped(dispatcher): one stamped message into either dispatcher; returns the push result.
PyObject* produce_stamped(PyObject*, PyObject* dispatcher) {
    if (!ensure_api()) return nullptr;
    const bool sync = PyObject_TypeCheck(dispatcher, g_api.sync_dispatcher_type);
    if (!sync && !PyObject_TypeCheck(dispatcher, g_api.async_dispatcher_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a dispatcher");
        return nullptr;
    }
    auto* as_sync = reinterpret_cast<rb::sync_dispatcher_object*>(dispatcher);
    auto* as_async = reinterpret_cast<rb::async_dispatcher_object*>(dispatcher);
    if (sync ? as_sync->_push == nullptr : as_async->_push == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "dispatcher not initialised");
        return nullptr;
    }
    int result = 0;
    Py_BEGIN_ALLOW_THREADS
    result = sync ? push_stamp(as_sync) : push_stamp(as_async);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(result);
}

PyMethodDef methods[] = {
    {"call_with_lock", call_with_lock, METH_VARARGS, nullptr},
    {"call_soon_threadsafe", call_soon_threadsafe, METH_VARARGS, nullptr},
    {"produce_stamped", produce_stamped, METH_O, nullptr},
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify)), METH_FASTCALL, nullptr},
    {"produce", produce, METH_VARARGS, nullptr},
    {"pipe_round_trip", pipe_round_trip, METH_VARARGS, nullptr},
    {"convert", convert, METH_VARARGS, nullptr},
    {"view_load", view_load, METH_VARARGS, nullptr},
    {"view_loader_name", view_loader_name, METH_O, nullptr},
    {"native_close", native_close, METH_O, nullptr},
    {"native_setup", native_setup, METH_VARARGS, nullptr},
    {"native_start_dispatcher", native_start_dispatcher, METH_VARARGS, nullptr},
    {"dispatcher_fields", dispatcher_fields, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "relaybus_testext", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_relaybus_testext() { return PyModuleDef_Init(&module_def); }
