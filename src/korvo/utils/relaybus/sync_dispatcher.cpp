// SyncDispatcher: construction, setup/close, the consumer thread and its four loops.
//
// The consumer thread never touches the dispatcher object: it runs a consumer_job that owns
// references to the queue and the callback and shares the consumer_state (running flag, the
// native duplicates of the wake-up socket) with the dispatcher. So a detached consumer may
// outlive close() and the dispatcher itself without reading freed memory, and a push racing
// with close() can only ever send on a handle that is still open: duplicates are closed when
// the last of dispatcher and thread lets go of the state.
#include "sync_dispatcher.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/publish.hpp"
#include "common/ref.hpp"
#include "korvo/relaybus.hpp"
#include "notify.hpp"
#include "setup_socket.hpp"
#include "state.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {
namespace {

using spsc_queue::k_taken;

struct consumer_state {
    std::atomic<bool> running{true};
    std::atomic<bool> thread_alive{false};
    std::vector<platform_socket> handles;  // every duplicate made by setup (lock held)

    ~consumer_state() {
        for (platform_socket handle : handles) wakeup::close(handle);
    }
};
using state_ptr = std::shared_ptr<consumer_state>;

enum class loop_kind { try_pop, try_pop_var, pop, pop_var };

constexpr const char* k_context[] = {
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__try_pop",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__try_pop_var",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__pop",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__pop_var",
};

// Everything one run of a consumer loop uses; built with the interpreter lock held.
struct consumer_job {
    object queue;
    object callback;
    state_ptr state;
    platform_socket wakeup_handle = k_no_socket;
    loop_kind kind = loop_kind::try_pop;
};

sync_dispatcher_object* as_dispatcher(PyObject* self) noexcept {
    return reinterpret_cast<sync_dispatcher_object*>(self);
}
PyObject* as_py(sync_dispatcher_object* self) noexcept { return reinterpret_cast<PyObject*>(self); }
dispatcher_prefix* prefix_of(sync_dispatcher_object* self) noexcept {
    return reinterpret_cast<dispatcher_prefix*>(self);
}
state_ptr& state_of(sync_dispatcher_object* self) noexcept { return *static_cast<state_ptr*>(self->_consumer); }

// Messages handed to Python per lock acquisition at most: taking the lock costs about as much
// as a trivial callback, so a consumer that finds more work ready keeps it for a short run.
// Python threads still get the lock at the interpreter's switch interval, since the callbacks
// run bytecode.
constexpr int k_batch = 64;

// Calls the callback with one message; the lock is held. False when delivery must end (the
// callback raised, or the bytes object could not be made); that is reported as unraisable.
bool deliver(PyObject* callback, const char* data, std::size_t size, loop_kind kind) {
    object message = object::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    object result = message ? object::steal(PyObject_CallOneArg(callback, message.ptr())) : object{};
    if (result) return true;
    report_unraisable(k_context[static_cast<int>(kind)]);
    return false;
}

int pop_once(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue, loop_kind kind, bool may_wait,
             const char** data, std::size_t* size) {
    const bool var = kind == loop_kind::try_pop_var || kind == loop_kind::pop_var;
    if (may_wait && (kind == loop_kind::pop || kind == loop_kind::pop_var))
        return var ? ops.pop_var(queue, data, size) : ops.pop(queue, data, size);
    return var ? ops.try_pop_var(queue, data, size) : ops.try_pop(queue, data, size);
}

// An empty try_pop arms the queue's wake-up, which costs the producer a barrier and usually
// a datagram. A producer in mid-stream refills the queue within microseconds, so look at the
// size for a few rounds before committing to sleep on the socket.
constexpr int k_idle_rounds = 32;

void wait_briefly_for_work(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue,
                           const consumer_state& state) noexcept {
    for (int i = 0; i < k_idle_rounds && ops.size(queue) == 0; ++i) {
        if (!state.running.load(std::memory_order_relaxed)) return;
        std::this_thread::yield();
    }
}

// Runs one consumer loop on the calling native thread (which holds no Python thread state).
// The thread keeps one thread state for its whole life and takes the lock only to deliver.
void run_consumer(consumer_job job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* tstate = PyEval_SaveThread();
    {
        const auto& ops = queue_ops();
        auto* queue = as_queue(job.queue.ptr());
        PyObject* callback = job.callback.ptr();
        consumer_state& state = *job.state;
        const bool wait_for_datagram = job.kind == loop_kind::try_pop || job.kind == loop_kind::try_pop_var;
        const bool release_after = job.kind == loop_kind::pop;
        const char* data = nullptr;
        std::size_t size = 0;
        bool delivering = true;
        while (delivering && state.running.load(std::memory_order_seq_cst)) {
            if (wait_for_datagram) wait_briefly_for_work(ops, queue, state);
            if (pop_once(ops, queue, job.kind, true, &data, &size) != k_taken) {
                if (wait_for_datagram) wakeup::receive(job.wakeup_handle);
                continue;
            }
            PyEval_RestoreThread(tstate);
            for (int n = 0;;) {
                if (!deliver(callback, data, size, job.kind)) {
                    delivering = false;  // the failed message stays unreleased
                    break;
                }
                if (release_after) ops.release(queue);
                if (++n == k_batch || !state.running.load(std::memory_order_seq_cst)) break;
                // More work ready? Take it without waiting, still holding the lock. Asking the
                // queue's size first keeps an empty queue from arming a wake-up we may not need.
                if (ops.size(queue) == 0) break;
                if (pop_once(ops, queue, job.kind, false, &data, &size) != k_taken) break;
            }
            PyEval_SaveThread();
        }
    }
    PyEval_RestoreThread(tstate);
    job.callback.reset();
    job.queue.reset();
    state_ptr state = std::move(job.state);
    state->thread_alive.store(false, std::memory_order_release);
    PyGILState_Release(gil);
    // `state` goes last, without the lock: it may close the socket duplicates.
}

loop_kind loop_of(const sync_dispatcher_object* self) noexcept {
    if (self->_nonblocking) return self->_variable_size ? loop_kind::try_pop_var : loop_kind::try_pop;
    return self->_variable_size ? loop_kind::pop_var : loop_kind::pop;
}

consumer_job make_job(sync_dispatcher_object* self, loop_kind kind) {
    if (self->_q == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher has no queue: __init__ was not called");
        throw python_error{};
    }
    consumer_job job;
    job.queue = object::borrow(self->_q);
    job.callback = object::borrow(self->_callback);
    job.state = state_of(self);
    job.wakeup_handle = load_wakeup_handle(prefix_of(self));
    job.kind = kind;
    return job;
}

// ---- native table
int sd_push_notify(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return push_notify(prefix_of(self), data, size);
}
int sd_push_var_notify(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return push_var_notify(prefix_of(self), data, size);
}
int sd_queue_push(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return queue_ops().push(as_queue(self->_q), data, size);
}
int sd_queue_push_var(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return queue_ops().push_var(as_queue(self->_q), data, size);
}

// The loops as table entries: run on the calling native thread, without the lock held.
template <loop_kind Kind>
void sd_loop(sync_dispatcher_object* self) {
    PyGILState_STATE gil = PyGILState_Ensure();
    consumer_job job;
    bool ok = guard(false, [&] {
        job = make_job(self, Kind);
        return true;
    });
    if (!ok) report_unraisable(k_context[static_cast<int>(Kind)]);
    PyGILState_Release(gil);
    if (ok) run_consumer(std::move(job));
}

PyObject* sd_setup(sync_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch);
PyObject* sd_close(sync_dispatcher_object* self, int skip_dispatch);

constexpr sync_dispatcher_vtable k_vtable{
    sd_setup,
    sd_push_notify,
    sd_push_var_notify,
    sd_queue_push,
    sd_queue_push_var,
    sd_loop<loop_kind::try_pop>,
    sd_loop<loop_kind::try_pop_var>,
    sd_loop<loop_kind::pop>,
    sd_loop<loop_kind::pop_var>,
    sd_close,
};

// Python methods as they stand in the type's dict, to tell a subclass override from them.
PyObject* g_setup_descr = nullptr;
PyObject* g_close_descr = nullptr;

// A Python subclass's override of `name`, or null when the type's own method applies.
object find_override(PyObject* self, const char* name, PyObject* own_descr) {
    if (Py_IS_TYPE(self, g_state.sync_dispatcher_type)) return {};
    object found = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
    if (found.ptr() == own_descr) return {};
    return get_attr(self, name);
}

// Unpacks getsockname() into exactly (address text, port).
std::pair<object, object> unpack_pair(PyObject* pair) {
    object iter = object::steal(check(PyObject_GetIter(pair)));
    object first = object::steal(PyIter_Next(iter.ptr()));
    object second = first ? object::steal(PyIter_Next(iter.ptr())) : object{};
    if (!second) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
        throw python_error{};
    }
    object third = object::steal(PyIter_Next(iter.ptr()));
    if (third) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw python_error{};
    }
    if (PyErr_Occurred()) throw python_error{};
    return {std::move(first), std::move(second)};
}

// Wake-up mode: makes, binds and records the socket; the native side gets its own duplicate.
void open_wakeup_socket(sync_dispatcher_object* self, PyObject* host, int recvbuf) {
    Py_XSETREF(self->_sock, setup_socket(true, recvbuf));
    PyObject* sock = self->_sock;
    object any_port = object::steal(check(PyLong_FromLong(0)));
    object address_pair = object::steal(check(PyTuple_Pack(2, host, any_port.ptr())));
    call_method(sock, "bind", address_pair.ptr());
    object name = call_method(sock, "getsockname");
    auto [address, port_obj] = unpack_pair(name.ptr());
    const long port = PyLong_AsLong(port_obj.ptr());
    if (port == -1 && PyErr_Occurred()) throw python_error{};
    if (port < 0 || port > 65535) {
        PyErr_SetString(PyExc_OverflowError, "value out of range for an unsigned 16-bit port");
        throw python_error{};
    }
    object encoded = object::steal(check(PyUnicode_AsUTF8String(address.ptr())));
    object fileno = call_method(sock, "fileno");
    const long long handle = PyLong_AsLongLong(fileno.ptr());
    if (handle == -1 && PyErr_Occurred()) throw python_error{};
    if (handle < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to PLATFORM_SOCKET");
        throw python_error{};
    }
    const platform_socket native = wakeup::duplicate(static_cast<platform_socket>(handle));
    if (native == k_no_socket) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw python_error{};
    }
    state_of(self)->handles.push_back(native);
    wakeup::fill_address(self->_addr, PyBytes_AS_STRING(encoded.ptr()), static_cast<unsigned short>(port));
    store_wakeup_handle(prefix_of(self), native);
}

// Undoes a wake-up socket after the consumer could not be started, so no half-started state stays.
void abandon_wakeup_socket(sync_dispatcher_object* self) {
    store_wakeup_handle(prefix_of(self), k_no_socket);
    self->_addr = ipv4_address{};
    if (self->_sock != Py_None) {
        object sock = object::steal(std::exchange(self->_sock, Py_NewRef(Py_None)));
        try {
            call_method(sock.ptr(), "close");
        } catch (const python_error&) {
            PyErr_Clear();  // the thread error is the one to report
        }
    }
}

void start_consumer(sync_dispatcher_object* self) {
    consumer_job job = make_job(self, loop_of(self));
    consumer_state& state = *state_of(self);
    state.thread_alive.store(true, std::memory_order_release);
    try {
        std::thread thread(run_consumer, std::move(job));
        if (self->_detach)
            thread.detach();
        else
            self->_thread = std::move(thread);
    } catch (...) {
        state.thread_alive.store(false, std::memory_order_release);
        throw;  // std::system_error -> RuntimeError at the boundary
    }
}

PyObject* sd_setup(sync_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        if (!skip_dispatch) {
            if (object override = find_override(as_py(self), "setup", g_setup_descr)) {
                object r = object::steal(check(PyLong_FromLong(recvbuf)));
                return check(PyObject_CallFunctionObjArgs(override.ptr(), host, r.ptr(), nullptr));
            }
        }
        consumer_state& state = *state_of(self);
        if (state.thread_alive.load(std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "SyncDispatcher.setup(): a consumer thread of this dispatcher is still running");
            throw python_error{};
        }
        if (self->_thread.joinable()) {  // a finished consumer that was never waited for
            Py_BEGIN_ALLOW_THREADS
            self->_thread.join();
            Py_END_ALLOW_THREADS
        }
        if (self->_q == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher has no queue: __init__ was not called");
            throw python_error{};
        }
        if (self->_nonblocking) open_wakeup_socket(self, host, recvbuf);
        try {
            start_consumer(self);
        } catch (...) {
            set_error_from_current_exception();
            if (self->_nonblocking) {
                object error = object::steal(PyErr_GetRaisedException());  // closing runs Python code
                abandon_wakeup_socket(self);
                PyErr_SetRaisedException(error.release());
            }
            throw python_error{};
        }
        Py_RETURN_NONE;
    });
}

// Steps of close that need no Python: stop the consumer and wake it. Lock released by caller.
void stop_and_wake(sync_dispatcher_object* self) noexcept {
    if (self->_q != Py_None) queue_ops().stop(as_queue(self->_q));
    if (self->_nonblocking) {
        send_wakeup(prefix_of(self));
        // Forget the handle: later pushes send nothing. The duplicate itself stays open until
        // the state goes, so a push that read it just before still sends on a live socket.
        store_wakeup_handle(prefix_of(self), k_no_socket);
    }
}

void mark_stopped(sync_dispatcher_object* self) noexcept {
    self->_running.store(false, std::memory_order_seq_cst);
    state_of(self)->running.store(false, std::memory_order_seq_cst);
}

void join_consumer(sync_dispatcher_object* self) noexcept {
    if (!self->_thread.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    self->_thread.join();
    Py_END_ALLOW_THREADS
}

PyObject* sd_close(sync_dispatcher_object* self, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        if (!skip_dispatch) {
            if (object override = find_override(as_py(self), "close", g_close_descr))
                return check(PyObject_CallNoArgs(override.ptr()));
        }
        mark_stopped(self);
        Py_BEGIN_ALLOW_THREADS
        stop_and_wake(self);
        Py_END_ALLOW_THREADS
        if (self->_sock != Py_None) {
            call_method(self->_sock, "close");
            Py_XSETREF(self->_sock, Py_NewRef(Py_None));
        }
        if (!self->_detach) join_consumer(self);
        Py_RETURN_NONE;
    });
}

// ---- Python type
PyObject* sd_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        object self = object::steal(check(type->tp_alloc(type, 0)));
        auto* d = as_dispatcher(self.ptr());
        d->vtab = &k_vtable;
        d->_q = Py_NewRef(Py_None);
        d->_callback = Py_NewRef(Py_None);
        d->_sock = Py_NewRef(Py_None);
        d->_sock_fd = k_no_socket;
        d->_addr = ipv4_address{};
        new (&d->_running) std::atomic<bool>(true);
        new (&d->_thread) std::thread();
        d->_consumer = new state_ptr(std::make_shared<consumer_state>());
        return self.release();
    });
}

int sd_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 9> names{"callback",      "capacity",  "slot_size",
                                                          "zerocopy",      "overwrite", "block_on_full",
                                                          "variable_size", "detach",    "nonblocking"};
        std::array<PyObject*, 9> v{};
        parse_tuple_args("SyncDispatcher", args, kwargs, names, 1, v);
        const std::size_t capacity = v[1] ? to_size(v[1]) : 16384;
        const std::size_t slot_size = v[2] ? to_size(v[2]) : 2048;
        const bool zerocopy = v[3] ? to_bool(v[3]) : false;
        const bool overwrite = v[4] ? to_bool(v[4]) : false;
        const bool block_on_full = v[5] ? to_bool(v[5]) : false;
        const bool variable_size = v[6] ? to_bool(v[6]) : false;
        const bool detach = v[7] ? to_bool(v[7]) : true;
        const bool nonblocking = v[8] ? to_bool(v[8]) : true;

        auto* d = as_dispatcher(self);
        Py_XSETREF(d->_callback, Py_NewRef(v[0]));
        d->_variable_size = variable_size;
        d->_detach = detach;
        d->_nonblocking = nonblocking;
        Py_XSETREF(d->_q, make_queue(slot_size, capacity, overwrite, zerocopy, block_on_full));
        if (nonblocking)
            d->_push = variable_size ? sd_push_var_notify : sd_push_notify;
        else
            d->_push = variable_size ? sd_queue_push_var : sd_queue_push;
        return 0;
    });
}

PyObject* sd_py_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 2> names{"host", "recvbuf"};
        std::array<PyObject*, 2> v{};
        parse_args("setup", args, nargs, kwnames, names, 0, v);
        object default_host;
        PyObject* host = v[0];
        if (host == nullptr) {
            default_host = object::steal(check(PyUnicode_FromString("127.0.0.1")));
            host = default_host.ptr();
        }
        check_exact_type(host, &PyUnicode_Type, "host", /*allow_none=*/true);
        const int recvbuf = v[1] ? to_int32(v[1]) : 16777216;
        return sd_setup(as_dispatcher(self), host, recvbuf, 1);
    });
}

PyObject* sd_py_close(PyObject* self, PyObject*) { return sd_close(as_dispatcher(self), 1); }

// Destruction closes through an overriding close(); errors go to the unraisable hook.
void sd_finalize(PyObject* self) {
    PyObject* saved = PyErr_GetRaisedException();
    object result = object::steal(sd_close(as_dispatcher(self), 0));
    if (!result) report_unraisable("korvo.utils.relaybus.relaybus.SyncDispatcher.__dealloc__");
    PyErr_SetRaisedException(saved);
}

int sd_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = as_dispatcher(self);
    Py_VISIT(d->_q);
    Py_VISIT(d->_callback);
    Py_VISIT(d->_sock);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int sd_clear(PyObject* self) {
    auto* d = as_dispatcher(self);
    Py_XSETREF(d->_q, Py_NewRef(Py_None));
    Py_XSETREF(d->_callback, Py_NewRef(Py_None));
    Py_XSETREF(d->_sock, Py_NewRef(Py_None));
    return 0;
}

void sd_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by close()
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* d = as_dispatcher(self);
    // An override of close() may not have stopped anything, and a failed close() may not have
    // waited: make sure the consumer will end, then wait for a thread we still own.
    mark_stopped(d);
    Py_BEGIN_ALLOW_THREADS
    stop_and_wake(d);
    Py_END_ALLOW_THREADS
    join_consumer(d);
    Py_CLEAR(d->_q);
    Py_CLEAR(d->_callback);
    Py_CLEAR(d->_sock);
    d->_thread.~thread();
    d->_running.~atomic();
    delete static_cast<state_ptr*>(d->_consumer);
    d->_consumer = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef sd_methods[] = {
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sd_py_setup)), METH_FASTCALL | METH_KEYWORDS,
     "SyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216)"},
    {"close", sd_py_close, METH_NOARGS, "SyncDispatcher.close(self)"},
    KORVO_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sd_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sd_new)},
    {Py_tp_init, reinterpret_cast<void*>(sd_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sd_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(sd_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(sd_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sd_clear)},
    {Py_tp_methods, sd_methods},
    {Py_tp_doc, const_cast<char*>(
                    "SyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, "
                    "bool overwrite=False, bool block_on_full=False, bool variable_size=False, bool detach=True, "
                    "bool nonblocking=True)\n\n"
                    "Delivers messages pushed by a native producer to callback(bytes) on a native consumer thread.")},
    {0, nullptr},
};

PyType_Spec sd_spec = {
    .name = "korvo.utils.relaybus.relaybus.SyncDispatcher",
    .basicsize = sizeof(sync_dispatcher_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = sd_slots,
};

}  // namespace

void add_sync_dispatcher_type(PyObject* module) {
    g_state.sync_dispatcher_type = add_type(module, &sd_spec);
    auto* type = reinterpret_cast<PyObject*>(g_state.sync_dispatcher_type);
    publish_vtable(g_state.sync_dispatcher_type, &k_vtable);
    g_setup_descr = get_attr(type, "setup").release();  // kept for the process's life
    g_close_descr = get_attr(type, "close").release();
}

}  // namespace korvo::relaybus
