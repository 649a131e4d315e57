// SyncDispatcher: construction, setup/close and the native table; the consumer thread it
// starts is in consumer.cpp.
#include "sync_dispatcher.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/published_type.hpp"
#include "common/ref.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "consumer.hpp"
#include "korvo/relaybus.hpp"
#include "notify.hpp"
#include "queue_options.hpp"
#include "setup_socket.hpp"
#include "state.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {
namespace {

void mark_stopped(sync_dispatcher_object* self) noexcept;
void stop_and_wake(sync_dispatcher_object* self, spsc_queue::queue_object* queue, bool nonblocking) noexcept;
void wait_for_consumer(sync_dispatcher_object* self) noexcept;
void sync_dispatcher_finalize(PyObject* self);

struct sync_dispatcher_desc {
    template <class F>
    static void fields(sync_dispatcher_object& self, F&& f) {
        f(self._q);
        f(self._callback);
        f(self._sock);
    }
    // An override of close() may not have stopped anything, and a failed close() may not have
    // waited: make sure the consumer will end, then wait for it unless it is detached.
    static void teardown(sync_dispatcher_object& self) noexcept {
        mark_stopped(&self);
        spsc_queue::queue_object* queue = self._q != Py_None ? as_queue(self._q) : nullptr;
        Py_BEGIN_ALLOW_THREADS
        stop_and_wake(&self, queue, self._nonblocking != 0);
        Py_END_ALLOW_THREADS
        if (!self._detach) wait_for_consumer(&self);
        self._thread.~thread();
        self._running.~atomic();
        delete static_cast<consumer_ptr*>(self._consumer);
        self._consumer = nullptr;
    }
    // Destruction closes through an overriding close().
    static void finalize(PyObject* self) { sync_dispatcher_finalize(self); }
};
using sync_dispatcher_layout = type_slots<sync_dispatcher_object, sync_dispatcher_desc>;

sync_dispatcher_object* as_dispatcher(PyObject* self) noexcept { return sync_dispatcher_layout::cast(self); }
dispatcher_prefix* prefix_of(sync_dispatcher_object* self) noexcept {
    return reinterpret_cast<dispatcher_prefix*>(self);
}
// Threads. Producers read `_q`, `_sock_fd` and `_addr` without any lock (see notify.hpp), the
// consumer thread reads nothing of the object (consumer.hpp), and setup(), close() and __init__
// may run on several threads at once: the object members they share (`_q`, `_callback`, `_sock`,
// the mode flags, the `_consumer` pointer) are read and written under the object's critical
// section, Python references taken out of it as strong references. Starting a consumer and
// changing the fields it uses are one claim of the consumer state (consumer_thread::claim):
// setup() and __init__() hold it throughout, so neither sees the other half done.

// The consumer state of this process (lock held). A forked child inherits a state whose thread
// exists only in the parent, and whose mutex may have been held at fork time: it is kept, never
// touched again, and the child starts over from a fresh state that is idle and keeps the
// stopped flag.
consumer_ptr consumer_of(sync_dispatcher_object* self) {
    critical_section section(as_py(self));
    consumer_ptr& state = *static_cast<consumer_ptr*>(self->_consumer);
    if (state->inherited()) {
        auto fresh = std::make_shared<consumer_thread>();
        fresh->running.store(state->running.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
        static_cast<void>(new consumer_ptr(std::move(state)));  // kept for good
        state = std::move(fresh);
    }
    return state;
}

// Not closed, and the consumer has not ended on a callback's exception. Reads the flags only, so
// also a forked child's inherited state.
bool delivers(sync_dispatcher_object* self) noexcept {
    if (!self->_running.load(std::memory_order_seq_cst)) return false;
    critical_section section(as_py(self));  // a forked child may be replacing the state
    return static_cast<const consumer_ptr*>(self->_consumer)->get()->running.load(std::memory_order_seq_cst);
}

loop_kind loop_of(const sync_dispatcher_object* self) noexcept {
    if (self->_nonblocking) return self->_variable_size ? loop_kind::try_pop_var : loop_kind::try_pop;
    return self->_variable_size ? loop_kind::pop_var : loop_kind::pop;
}

consumer_job make_job(sync_dispatcher_object* self, loop_kind kind) {
    consumer_job job;
    {
        critical_section section(as_py(self));
        job.queue = object::borrow(self->_q);
        job.callback = object::borrow(self->_callback);
        job.wakeup_address = self->_addr;
    }
    if (job.queue.ptr() == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher has no queue: __init__ was not called");
        throw python_error{};
    }
    job.consumer = consumer_of(self);
    job.wakeup_handle = load_wakeup_handle(prefix_of(self));
    job.kind = kind;
    return job;
}

// ---- native table
int sync_dispatcher_push_notify(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return push_notify(prefix_of(self), data, size);
}
int sync_dispatcher_push_var_notify(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return push_var_notify(prefix_of(self), data, size);
}
int sync_dispatcher_queue_push(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return queue_ops().push(as_queue(self->_q), data, size);
}
int sync_dispatcher_queue_push_var(sync_dispatcher_object* self, const char* data, std::size_t size) {
    return queue_ops().push_var(as_queue(self->_q), data, size);
}

// The loops as table entries: run on the calling native thread, without the lock held.
template <loop_kind Kind>
void sync_dispatcher_loop(sync_dispatcher_object* self) {
    PyGILState_STATE gil = PyGILState_Ensure();
    consumer_job job;
    bool ok = guard(false, [&] {
        job = make_job(self, Kind);
        return true;
    });
    if (!ok) report_unraisable(loop_context(Kind));
    PyGILState_Release(gil);
    if (ok) run_consumer(std::move(job));
}

PyObject* sync_dispatcher_setup(sync_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch);
PyObject* sync_dispatcher_close(sync_dispatcher_object* self, int skip_dispatch);

constexpr sync_dispatcher_vtable k_vtable{
    sync_dispatcher_setup,
    sync_dispatcher_push_notify,
    sync_dispatcher_push_var_notify,
    sync_dispatcher_queue_push,
    sync_dispatcher_queue_push_var,
    sync_dispatcher_loop<loop_kind::try_pop>,
    sync_dispatcher_loop<loop_kind::try_pop_var>,
    sync_dispatcher_loop<loop_kind::pop>,
    sync_dispatcher_loop<loop_kind::pop_var>,
    sync_dispatcher_close,
};

PyObject* sync_dispatcher_py_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sync_dispatcher_py_close(PyObject* self, PyObject*);

PyTypeObject* exact_type() noexcept { return loaded_type(&relaybus_state::sync_dispatcher_type); }

// Wake-up mode: makes, binds and records the socket; the native side gets its own duplicate.
// The caller holds the consumer claim. The address is written before the handle that publishes it.
void open_wakeup_socket(sync_dispatcher_object* self, PyObject* host, int recvbuf) {
    object sock = object::steal(setup_socket(true, recvbuf));
    // The socket of an earlier consumer that ended without close(): closed here, not left to the
    // collector (its consumer is gone, and producers send to the duplicate, which stays open).
    object earlier = exchange_member(as_py(self), self->_sock, sock);
    if (earlier && earlier.ptr() != Py_None) close_socket_quietly(earlier.ptr());
    ipv4_address address{};
    const platform_socket native = bind_for_wakeups(sock.ptr(), host, address);
    consumer_of(self)->handles.push_back(native);
    {
        critical_section section(as_py(self));
        self->_addr = address;
    }
    store_wakeup_handle(prefix_of(self), native);
}

// Undoes a wake-up socket after the consumer could not be started, so no half-started state stays.
void abandon_wakeup_socket(sync_dispatcher_object* self) {
    store_wakeup_handle(prefix_of(self), k_no_socket);
    {
        critical_section section(as_py(self));
        self->_addr = ipv4_address{};
    }
    object sock = exchange_member(as_py(self), self->_sock, object::borrow(Py_None));
    if (sock.ptr() != Py_None) close_socket_quietly(sock.ptr());
}

// The consumer thread was claimed (phase starting): start it.
void start_consumer(sync_dispatcher_object* self, loop_kind kind, bool detach) {
    const consumer_ptr state = consumer_of(self);
    state->launch(make_job(self, kind), detach);
    track_consumer(state);
}

// The mode flags __init__ stored, read together.
struct dispatcher_mode {
    bool nonblocking;
    bool detach;
    loop_kind loop;
};
dispatcher_mode mode_of(sync_dispatcher_object* self) {
    critical_section section(as_py(self));
    return {self->_nonblocking != 0, self->_detach != 0, loop_of(self)};
}

[[noreturn]] void refuse_while_running(const char* method) {
    PyErr_Format(PyExc_RuntimeError, "SyncDispatcher.%s(): a consumer thread of this dispatcher is still running",
                 method);
    throw python_error{};
}

// Claims the consumer state for `method` (refused while a consumer starts or runs) and joins a
// finished consumer nobody waited for. The caller abandons the claim or launches a consumer.
void claim_consumer(consumer_thread& consumer, const char* method) {
    std::thread previous;
    if (!consumer.claim(previous)) refuse_while_running(method);
    if (previous.joinable()) {
        Py_BEGIN_ALLOW_THREADS
        previous.join();
        Py_END_ALLOW_THREADS
    }
}

PyObject* sync_dispatcher_setup(sync_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        if (!skip_dispatch) {
            object name = override_name(relaybus_module::loaded(), &relaybus_state::setup_name, "setup");
            if (object override = find_override(as_py(self), exact_type(), name.ptr(), sync_dispatcher_py_setup)) {
                object r = object::steal(check(PyLong_FromLong(recvbuf)));
                return check(PyObject_CallFunctionObjArgs(override.ptr(), host, r.ptr(), nullptr));
            }
        }
        if (load_member(as_py(self), self->_q).ptr() == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher has no queue: __init__ was not called");
            throw python_error{};
        }
        // Claimed before bind can let go of the lock: a concurrent setup or __init__ is refused
        // from here on.
        const consumer_ptr consumer = consumer_of(self);
        claim_consumer(*consumer, "setup");
        const dispatcher_mode mode = mode_of(self);
        try {
            if (mode.nonblocking) open_wakeup_socket(self, host, recvbuf);
        } catch (...) {
            consumer->abandon();
            throw;
        }
        try {
            start_consumer(self, mode.loop, mode.detach);
        } catch (...) {
            set_error_from_current_exception();
            consumer->abandon();
            if (mode.nonblocking) abandon_wakeup_socket(self);  // the thread error stays the one to report
            throw python_error{};
        }
        Py_RETURN_NONE;
    });
}

// Steps of close that need no Python: stop the consumer and wake it. Lock released by caller,
// who holds `queue` (null when there is none).
void stop_and_wake(sync_dispatcher_object* self, spsc_queue::queue_object* queue, bool nonblocking) noexcept {
    if (queue != nullptr) queue_ops().stop(queue);
    if (nonblocking) {
        send_wakeup(prefix_of(self));
        // Forget the handle: later pushes send nothing. The duplicate itself stays open until
        // the state goes, so a push that read it just before still sends on a live socket.
        store_wakeup_handle(prefix_of(self), k_no_socket);
    }
}

void mark_stopped(sync_dispatcher_object* self) noexcept {
    self->_running.store(false, std::memory_order_seq_cst);
    // Never touches the inherited state's mutex: its flag only.
    critical_section section(as_py(self));
    static_cast<consumer_ptr*>(self->_consumer)->get()->running.store(false, std::memory_order_seq_cst);
}

// Waits (lock released) until the consumer has finished; the first waiter joins it. The
// consumer itself (close or the last reference dropped in the callback) returns at once, and a
// forked child has no consumer to wait for.
void wait_for_consumer(sync_dispatcher_object* self) noexcept {
    consumer_ptr consumer;
    if (!guard(false, [&] {
            consumer = consumer_of(self);
            return true;
        })) {
        PyErr_Clear();  // no memory for a fresh state in a forked child: nothing to wait for there
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    std::thread finished = consumer->wait_finished();
    if (finished.joinable()) finished.join();
    Py_END_ALLOW_THREADS
}

PyObject* sync_dispatcher_close(sync_dispatcher_object* self, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        if (!skip_dispatch) {
            object name = override_name(relaybus_module::loaded(), &relaybus_state::close_name, "close");
            if (object override = find_override(as_py(self), exact_type(), name.ptr(), sync_dispatcher_py_close))
                return check(PyObject_CallNoArgs(override.ptr()));
        }
        mark_stopped(self);
        // Several threads may close at once: each takes what it closes out of the object first.
        object queue;
        object sock;
        bool nonblocking = false;
        bool detach = false;
        {
            critical_section section(as_py(self));
            queue = object::borrow(self->_q);
            if (self->_sock != Py_None) sock = field_ref(self->_sock).take();
            nonblocking = self->_nonblocking != 0;
            detach = self->_detach != 0;
        }
        spsc_queue::queue_object* ring = queue.ptr() != Py_None ? as_queue(queue.ptr()) : nullptr;
        Py_BEGIN_ALLOW_THREADS
        stop_and_wake(self, ring, nonblocking);
        Py_END_ALLOW_THREADS
        if (sock) call_method(sock.ptr(), "close");
        if (!detach) wait_for_consumer(self);
        Py_RETURN_NONE;
    });
}

// ---- Python type
PyObject* sync_dispatcher_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        // The consumer state first: once the object exists, its destruction reads the state.
        auto consumer = std::make_unique<consumer_ptr>(std::make_shared<consumer_thread>());
        object self = sync_dispatcher_layout::allocate(type, &k_vtable);
        auto* d = as_dispatcher(self.ptr());
        d->_sock_fd = k_no_socket;
        d->_addr = ipv4_address{};
        new (&d->_running) std::atomic<bool>(true);
        new (&d->_thread) std::thread();
        d->_consumer = consumer.release();
        return self.release();
    });
}

int sync_dispatcher_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr auto names =
            parameter_names(std::to_array({"callback"}), k_bridge_options, std::to_array({"detach", "nonblocking"}));
        std::array<PyObject*, names.size()> v{};
        parse_tuple_args("SyncDispatcher", args, kwargs, names, 1, v);
        const queue_options options = parse_queue_options(k_bridge_options, std::span(v).subspan(1));
        const bool variable_size = options.variable_size;
        const bool detach = v[7] ? to_bool(v[7]) : true;
        const bool nonblocking = v[8] ? to_bool(v[8]) : true;

        // Everything that can fail comes first, and nothing is stored while a consumer uses
        // the fields: a refused or failed __init__ changes nothing. The claim keeps a setup()
        // on another thread out until every field is stored.
        object queue = options.make_queue();
        auto* d = as_dispatcher(self);
        const consumer_ptr consumer = consumer_of(d);
        claim_consumer(*consumer, "__init__");
        // The old values go after all stores: dropping them may run Python code.
        object old_callback;
        object old_queue;
        {
            critical_section section(self);
            old_callback = object::steal(std::exchange(d->_callback, new_ref(v[0])));
            old_queue = object::steal(std::exchange(d->_q, queue.release()));
            d->_variable_size = variable_size;
            d->_detach = detach;
            d->_nonblocking = nonblocking;
            if (nonblocking)
                d->_push = variable_size ? sync_dispatcher_push_var_notify : sync_dispatcher_push_notify;
            else
                d->_push = variable_size ? sync_dispatcher_queue_push_var : sync_dispatcher_queue_push;
        }
        consumer->abandon();
        return 0;
    });
}

PyObject* sync_dispatcher_py_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        const setup_arguments given = parse_setup_arguments(args, nargs, kwnames);
        return sync_dispatcher_setup(as_dispatcher(self), given.host.ptr(), given.recvbuf, 1);
    });
}

PyObject* sync_dispatcher_py_close(PyObject* self, PyObject*) { return sync_dispatcher_close(as_dispatcher(self), 1); }

// The constructor's arguments as stored, then whether the dispatcher still delivers.
PyObject* sync_dispatcher_repr(PyObject* self) {
    return guard(nullptr, [&] {
        auto* d = as_dispatcher(self);
        object callback;
        object queue;
        bool variable_size = false;
        bool detach = false;
        bool nonblocking = false;
        {
            critical_section section(self);
            callback = object::borrow(d->_callback);
            queue = object::borrow(d->_q);
            variable_size = d->_variable_size != 0;
            detach = d->_detach != 0;
            nonblocking = d->_nonblocking != 0;
        }
        std::vector<repr_arg> args;
        args.push_back({"callback", std::move(callback)});
        if (queue.ptr() != Py_None) {
            add_queue_repr_args(args, queue.ptr(), k_bridge_options);
            args.push_back({"variable_size", object::borrow(variable_size ? Py_True : Py_False)});
        }
        args.push_back({"detach", object::borrow(detach ? Py_True : Py_False)});
        args.push_back({"nonblocking", object::borrow(nonblocking ? Py_True : Py_False)});
        args.push_back({"running", object::borrow(delivers(d) ? Py_True : Py_False)});
        return call_repr(self, args).release();
    });
}

// Errors of close() on destruction go to the unraisable hook.
void sync_dispatcher_finalize(PyObject* self) {
    saved_error pending;
    object result = object::steal(sync_dispatcher_close(as_dispatcher(self), 0));
    if (!result) report_unraisable("korvo.utils.relaybus.relaybus.SyncDispatcher.__dealloc__");
}

PyObject* sync_dispatcher_get_running(PyObject* self, void*) {
    return object::borrow(delivers(as_dispatcher(self)) ? Py_True : Py_False).release();
}

PyGetSetDef sync_dispatcher_getset[] = {
    {"running", sync_dispatcher_get_running, nullptr,
     "False once the dispatcher is closed or its consumer has ended on a callback's exception.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef sync_dispatcher_methods[] = {
    method_fastcall("setup", sync_dispatcher_py_setup,
                    "SyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216)"),
    method_noargs("close", sync_dispatcher_py_close, "SyncDispatcher.close(self)"),
    KORVO_REFUSE_PICKLING_METHODS,
    k_methods_end,
};

auto sync_dispatcher_slots = sync_dispatcher_layout::slots(
    constructed_slots(sync_dispatcher_new, sync_dispatcher_init, sync_dispatcher_methods,
                      "SyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, "
                      "bool overwrite=False, bool block_on_full=False, bool variable_size=False, bool detach=True, "
                      "bool nonblocking=True)\n\n"
                      "Delivers messages pushed by a native producer to callback(bytes) on a native consumer thread.",
                      sync_dispatcher_repr, sync_dispatcher_getset));
PyType_Spec sync_dispatcher_spec =
    type_spec("korvo.utils.relaybus.relaybus.SyncDispatcher", sizeof(sync_dispatcher_object), k_gc_type_flags,
              sync_dispatcher_slots.data());

}  // namespace

void add_sync_dispatcher_type(relaybus_state& st) {
    st.sync_dispatcher_type = add_published_type(st.module, &sync_dispatcher_spec, &k_vtable);
}

}  // namespace korvo::relaybus
