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
void stop_and_wake(sync_dispatcher_object* self) noexcept;
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
        Py_BEGIN_ALLOW_THREADS
        stop_and_wake(&self);
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
// The consumer state of this process (lock held). A forked child inherits a state whose thread
// exists only in the parent, and whose mutex may have been held at fork time: it is kept, never
// touched again, and the child starts over from a fresh state that is idle and keeps the
// stopped flag.
consumer_ptr& consumer_of(sync_dispatcher_object* self) {
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
bool delivers(const sync_dispatcher_object* self) noexcept {
    return self->_running.load(std::memory_order_seq_cst) &&
           static_cast<const consumer_ptr*>(self->_consumer)->get()->running.load(std::memory_order_seq_cst);
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
    job.consumer = consumer_of(self);
    job.wakeup_handle = load_wakeup_handle(prefix_of(self));
    job.wakeup_address = self->_addr;
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
void open_wakeup_socket(sync_dispatcher_object* self, PyObject* host, int recvbuf) {
    field_ref(self->_sock).steal(setup_socket(true, recvbuf));
    PyObject* sock = self->_sock;
    const platform_socket native = bind_for_wakeups(sock, host, self->_addr);
    consumer_of(self)->handles.push_back(native);
    store_wakeup_handle(prefix_of(self), native);
}

// Undoes a wake-up socket after the consumer could not be started, so no half-started state stays.
void abandon_wakeup_socket(sync_dispatcher_object* self) {
    store_wakeup_handle(prefix_of(self), k_no_socket);
    self->_addr = ipv4_address{};
    if (self->_sock != Py_None) close_socket_quietly(field_ref(self->_sock).take().ptr());
}

// The consumer thread was claimed (phase starting): start it.
void start_consumer(sync_dispatcher_object* self) {
    const consumer_ptr& state = consumer_of(self);
    state->launch(make_job(self, loop_of(self)), self->_detach != 0);
    track_consumer(state);
}

[[noreturn]] void refuse_while_running(const char* method) {
    PyErr_Format(PyExc_RuntimeError, "SyncDispatcher.%s(): a consumer thread of this dispatcher is still running",
                 method);
    throw python_error{};
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
        if (self->_q == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher has no queue: __init__ was not called");
            throw python_error{};
        }
        // Claimed before bind can let go of the lock: a concurrent setup is refused from here on.
        consumer_thread& consumer = *consumer_of(self);
        std::thread previous;
        if (!consumer.claim(previous)) refuse_while_running("setup");
        if (previous.joinable()) {  // a finished consumer that was never waited for
            Py_BEGIN_ALLOW_THREADS
            previous.join();
            Py_END_ALLOW_THREADS
        }
        try {
            if (self->_nonblocking) open_wakeup_socket(self, host, recvbuf);
        } catch (...) {
            consumer.abandon();
            throw;
        }
        try {
            start_consumer(self);
        } catch (...) {
            set_error_from_current_exception();
            consumer.abandon();
            if (self->_nonblocking) abandon_wakeup_socket(self);  // the thread error stays the one to report
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
    // Never touches the inherited state's mutex: its flag only.
    static_cast<consumer_ptr*>(self->_consumer)->get()->running.store(false, std::memory_order_seq_cst);
}

// Waits (lock released) until the consumer has finished; the first waiter joins it. The
// consumer itself (close or the last reference dropped in the callback) returns at once, and a
// forked child has no consumer to wait for.
void wait_for_consumer(sync_dispatcher_object* self) noexcept {
    consumer_thread* consumer = nullptr;
    if (!guard(false, [&] {
            consumer = consumer_of(self).get();
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
        Py_BEGIN_ALLOW_THREADS
        stop_and_wake(self);
        Py_END_ALLOW_THREADS
        if (self->_sock != Py_None) {
            call_method(self->_sock, "close");
            field_ref(self->_sock).reset_to_none();
        }
        if (!self->_detach) wait_for_consumer(self);
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
        // the fields: a refused or failed __init__ changes nothing.
        object queue = options.make_queue();
        auto* d = as_dispatcher(self);
        if (consumer_of(d)->busy()) refuse_while_running("__init__");
        // The old values go after all stores: dropping them may run Python code.
        object old_callback = field_ref(d->_callback).take();
        object old_queue = field_ref(d->_q).take();
        field_ref(d->_callback).set(v[0]);
        d->_variable_size = variable_size;
        d->_detach = detach;
        d->_nonblocking = nonblocking;
        field_ref(d->_q).set(std::move(queue));
        if (nonblocking)
            d->_push = variable_size ? sync_dispatcher_push_var_notify : sync_dispatcher_push_notify;
        else
            d->_push = variable_size ? sync_dispatcher_queue_push_var : sync_dispatcher_queue_push;
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
        const auto* d = as_dispatcher(self);
        std::vector<repr_arg> args;
        args.push_back({"callback", object::borrow(d->_callback)});
        if (d->_q != Py_None) {
            add_queue_repr_args(args, d->_q, k_bridge_options);
            args.push_back({"variable_size", object::borrow(d->_variable_size ? Py_True : Py_False)});
        }
        args.push_back({"detach", object::borrow(d->_detach ? Py_True : Py_False)});
        args.push_back({"nonblocking", object::borrow(d->_nonblocking ? Py_True : Py_False)});
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
