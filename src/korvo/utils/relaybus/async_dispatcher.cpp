// AsyncDispatcher: messages from native producer threads to an awaited callback on an asyncio
// loop. The reader is a native coroutine run as a task on the loop that was running at setup;
// producers wake it with one-byte datagrams to a loopback socket the loop watches.
#include "async_dispatcher.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/repr.hpp"
#include "common/published_type.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "coroutines.hpp"
#include "korvo/relaybus.hpp"
#include "notify.hpp"
#include "queue_options.hpp"
#include "setup_socket.hpp"
#include "state.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {
namespace {

// The options AsyncDispatcher takes after its callback, in its signature order.
constexpr std::array k_options{k_capacity, k_slot_size, k_overwrite, k_zerocopy, k_variable_size};

// Threads. Producers read `_q`, `_sock_fd` and `_addr` without any lock (notify.hpp); the reader
// runs on its loop's thread; setup(), close(), __init__() and `running` may be called from any
// thread, also at once. The object members they share (`_q`, `_callback`, `_sock`, `_task`) are
// read and written under the object's critical section and taken out as strong references.

// The dispatcher's native state behind `_handles`.
struct async_dispatcher_native {
    // The native duplicates of every wake-up socket setup made. A producer that read `_sock_fd`
    // just before close() forgot it still sends on a live socket: the duplicates close only when
    // the dispatcher goes, and producers hold a reference to it while they push. Written only by
    // the holder of `configuring`, read when the object goes.
    std::vector<platform_socket> handles;
    // A setup() or __init__() is under way, claimed by compare-exchange. setup() lets go of the
    // object (socket calls, Python code), so another thread's setup() or __init__() could
    // otherwise slip in before the reader task exists.
    std::atomic<bool> configuring{false};
};

void async_dispatcher_finalize(PyObject* self);

struct async_dispatcher_desc {
    template <class F>
    static void fields(async_dispatcher_object& self, F&& f) {
        f(self._q);
        f(self._callback);
        f(self._sock);
        f(self._task);
    }
    static void teardown(async_dispatcher_object& self) noexcept {
        auto* native = static_cast<async_dispatcher_native*>(self._handles);
        for (platform_socket handle : native->handles) wakeup::close(handle);
        delete native;
        self._handles = nullptr;
        self._running.~atomic();
    }
    // Destruction closes through an overriding close().
    static void finalize(PyObject* self) { async_dispatcher_finalize(self); }
};
using async_dispatcher_layout = type_slots<async_dispatcher_object, async_dispatcher_desc>;

async_dispatcher_object* as_dispatcher(PyObject* self) noexcept { return async_dispatcher_layout::cast(self); }
dispatcher_prefix* prefix_of(async_dispatcher_object* self) noexcept {
    return reinterpret_cast<dispatcher_prefix*>(self);
}
async_dispatcher_native& native_of(const async_dispatcher_object* self) noexcept {
    return *static_cast<async_dispatcher_native*>(self->_handles);
}

// ---- native table
int async_dispatcher_push_notify(async_dispatcher_object* self, const char* data, std::size_t size) {
    return push_notify(prefix_of(self), data, size);
}
int async_dispatcher_push_var_notify(async_dispatcher_object* self, const char* data, std::size_t size) {
    return push_var_notify(prefix_of(self), data, size);
}

PyObject* async_dispatcher_setup(async_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch);

constexpr async_dispatcher_vtable k_vtable{async_dispatcher_setup, async_dispatcher_push_notify,
                                           async_dispatcher_push_var_notify};

PyObject* async_dispatcher_py_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* async_dispatcher_py_close(PyObject* self, PyObject*);

PyTypeObject* exact_type() noexcept { return loaded_type(&relaybus_state::async_dispatcher_type); }

// ---- the reader
bool is_running(const async_dispatcher_object* self) noexcept {
    return self->_running.load(std::memory_order_acquire) != 0;
}

// Whether `task` (not None) has finished. Throws python_error.
bool task_done(PyObject* task) { return check(PyObject_IsTrue(call_method(task, "done").ptr())) != 0; }

// Whether a reader task was started and has finished. Throws python_error.
bool reader_gone(async_dispatcher_object* self) {
    object task = load_member(as_py(self), self->_task);
    return task.ptr() != Py_None && task_done(task.ptr());
}

// Whether a reader task exists and has not finished. Throws python_error.
bool reader_live(async_dispatcher_object* self) {
    object task = load_member(as_py(self), self->_task);
    return task.ptr() != Py_None && !task_done(task.ptr());
}

[[noreturn]] void refuse_while_reading(const char* method) {
    PyErr_Format(PyExc_RuntimeError, "AsyncDispatcher.%s(): a reader task of this dispatcher is still running", method);
    throw python_error{};
}

// The claim of setup() or __init__(): refused while another holds it or a reader task is live.
// Held until the scope ends. Throws python_error.
class configuring_claim {
public:
    configuring_claim(async_dispatcher_object* self, const char* method) : flag_(native_of(self).configuring) {
        bool idle = false;
        if (!flag_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) refuse_while_reading(method);
        try {
            if (reader_live(self)) refuse_while_reading(method);
        } catch (...) {
            flag_.store(false, std::memory_order_release);
            throw;
        }
    }
    ~configuring_claim() { flag_.store(false, std::memory_order_release); }
    configuring_claim(const configuring_claim&) = delete;
    configuring_claim& operator=(const configuring_claim&) = delete;

private:
    std::atomic<bool>& flag_;
};

// Not closed and the reader, once started, has not ended (its callback raised, or it was
// cancelled). Throws python_error.
bool delivers(async_dispatcher_object* self) { return is_running(self) && !reader_gone(self); }

// ---- the reader
// A busy producer refills the queue within a microsecond or so: on an empty pop the reader looks
// again for this long, without arming the wake-up, before it arms it (try_pop) and waits. Such a
// producer is never asked for datagrams. The loop's thread is held meanwhile: keep it short.
constexpr auto k_short_poll = std::chrono::microseconds(3);

using pop_fn = int (*)(spsc_queue::queue_object*, const char**, std::size_t*);

// The result of the last of a few polls over k_short_poll that found the queue empty.
int poll_briefly(pop_fn poll, spsc_queue::queue_object* ring, const char** buf, std::size_t* size) {
    const auto until = std::chrono::steady_clock::now() + k_short_poll;
    int taken;
    do {
        taken = poll(ring, buf, size);
    } while (taken == spsc_queue::k_ok && std::chrono::steady_clock::now() < until);
    return taken;
}

// Drains the queue into the callback, awaiting each result; waits for a datagram only after an
// empty try_pop, which arms the wake-up. `queue` is held by the coroutine, so a later __init__
// cannot free it under the reader.
template <bool Variable>
coro::body read_messages(async_dispatcher_object* self, PyObject* queue, PyObject* loop, PyObject* sock) {
    const spsc_queue::queue_vtable& ops = queue_ops();
    const pop_fn poll = Variable ? ops.poll_var : ops.poll;
    const pop_fn try_pop = Variable ? ops.try_pop_var : ops.try_pop;
    spsc_queue::queue_object* ring = as_queue(queue);
    // Watched from the first wait on: a reader that starts after close() (which may have closed
    // the socket already) returns before it.
    wakeup_watch watch;
    enum class waiting { unknown, watched, receiving } how = waiting::unknown;
    object one = object::steal(check(PyLong_FromLong(1)));
    int counter = 0;
    while (is_running(self)) {
        const char* buf = nullptr;
        std::size_t size = 0;
        int taken = poll(ring, &buf, &size);
        if (taken == spsc_queue::k_ok) taken = poll_briefly(poll, ring, &buf, &size);
        if (taken == spsc_queue::k_ok) taken = try_pop(ring, &buf, &size);
        if (taken == spsc_queue::k_taken) {
            object message = object::steal(check(PyBytes_FromStringAndSize(buf, static_cast<Py_ssize_t>(size))));
            object callback = object::borrow(self->_callback);  // a second __init__ may replace it
            object awaitable = object::steal(check(PyObject_CallOneArg(callback.ptr(), message.ptr())));
            co_await coro::await(awaitable.ptr());
            // Every 128th message lets the loop run others, as asyncio.sleep(0) would.
            counter = (counter + 1) & 127;
            if (counter == 0) co_await coro::yield_now();
        } else {
            if (how == waiting::unknown) how = watch.start(loop, sock) ? waiting::watched : waiting::receiving;
            if (how == waiting::watched) {
                co_await coro::await(watch.next_wakeup());
                continue;
            }
            object receive = call_method(loop, relaybus_module::state().sock_recv_name.ptr(), sock, one.ptr());
            co_await coro::await(receive.ptr());
        }
    }
    co_return object::borrow(Py_None);
}

template <bool Variable>
PyObject* async_dispatcher_py_reader(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guard(nullptr, [&]() -> PyObject* {
        const char* name = Variable ? "_AsyncDispatcher__reader_var" : "_AsyncDispatcher__reader";
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 positional arguments (%zd given)", name, nargs);
            throw python_error{};
        }
        auto* d = as_dispatcher(self);
        object queue = load_member(self, d->_q);
        if (queue.ptr() == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "AsyncDispatcher has no queue: __init__ was not called");
            throw python_error{};
        }
        return make_coroutine(Variable ? coroutine_kind::reader_var : coroutine_kind::reader,
                              read_messages<Variable>(d, queue.ptr(), args[0], args[1]),
                              {self, queue.ptr(), args[0], args[1]})
            .release();
    });
}

// ---- setup and close
PyObject* async_dispatcher_setup(async_dispatcher_object* self, PyObject* host, int recvbuf, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        relaybus_state& st = relaybus_module::state();
        if (!skip_dispatch) {
            if (object override =
                    find_override(as_py(self), exact_type(), st.setup_name.ptr(), async_dispatcher_py_setup)) {
                object r = object::steal(check(PyLong_FromLong(recvbuf)));
                return check(PyObject_CallFunctionObjArgs(override.ptr(), host, r.ptr(), nullptr));
            }
        }
        if (load_member(as_py(self), self->_q).ptr() == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "AsyncDispatcher has no queue: __init__ was not called");
            throw python_error{};
        }
        // One reader at a time, also against a setup() on another thread's loop: a second reader
        // would wait on a socket no one wakes any more, and close() would cancel only one of them.
        configuring_claim claimed(self, "setup");
        async_dispatcher_native& state = native_of(self);
        // The socket of an earlier setup whose reader has ended (or never started) is no longer
        // watched by any loop: close it rather than drop it.
        object earlier = exchange_member(as_py(self), self->_sock, object::borrow(Py_None));
        if (earlier.ptr() != Py_None) call_method(earlier.ptr(), "close");
        object sock = object::steal(setup_socket(false, recvbuf));
        static_cast<void>(exchange_member(as_py(self), self->_sock, sock));
        ipv4_address address{};
        const platform_socket native = bind_for_wakeups(sock.ptr(), host, address);
        state.handles.push_back(native);
        // The address first: a producer that sees the handle reads the address next.
        {
            critical_section section(as_py(self));
            self->_addr = address;
        }
        store_wakeup_handle(prefix_of(self), native);

        object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
        object loop = call_method(asyncio.ptr(), "get_running_loop");
        object reader =
            get_attr(as_py(self), self->_variable_size ? "_AsyncDispatcher__reader_var" : "_AsyncDispatcher__reader");
        object coroutine =
            object::steal(check(PyObject_CallFunctionObjArgs(reader.ptr(), loop.ptr(), sock.ptr(), nullptr)));
        object task = call_method(loop.ptr(), "create_task", coroutine.ptr());
        static_cast<void>(exchange_member(as_py(self), self->_task, std::move(task)));
        Py_RETURN_NONE;
    });
}

// Takes the reader's socket out of its loop's selector and closes it, when that is safe from
// here: on the loop's own thread, or while the loop is not running (a script between two
// run_until_complete calls, which may close the loop before _finalize ever runs). Otherwise, and
// for a loop without readers (a proactor, which leaves nothing behind), _finalize closes it.
// Throws python_error.
void close_now_if_the_loop_allows(PyObject* loop, PyObject* sock) {
    object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
    object running = call_method(asyncio.ptr(), "_get_running_loop");
    if (running.ptr() != loop && check(PyObject_IsTrue(call_method(loop, "is_running").ptr()))) return;
    // The loop may have run _finalize and stopped since close() handed it over: the socket is
    // closed then, and nothing of it is left in the selector.
    object fileno = call_method(sock, "fileno");
    if (PyLong_AsLong(fileno.ptr()) == -1) {
        if (PyErr_Occurred()) throw python_error{};
        return;
    }
    try {
        call_method(loop, "remove_reader", sock);
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) throw;
        PyErr_Clear();
        return;
    }
    call_method(sock, "close");
}

PyObject* async_dispatcher_close(async_dispatcher_object* self) {
    return guard(nullptr, [&]() -> PyObject* {
        self->_running.store(0, std::memory_order_release);
        // Several threads may close at once: each takes what it closes out of the object first.
        object queue;
        object task;
        object sock;
        {
            critical_section section(as_py(self));
            queue = object::borrow(self->_q);
            if (self->_task != Py_None) task = field_ref(self->_task).take();
            if (self->_sock != Py_None) sock = field_ref(self->_sock).take();
        }
        if (queue.ptr() != Py_None) {
            spsc_queue::queue_object* ring = as_queue(queue.ptr());
            Py_BEGIN_ALLOW_THREADS
            queue_ops().stop(ring);
            Py_END_ALLOW_THREADS
        }
        // Wake the reader, then forget the handle: later pushes send nothing.
        send_wakeup(prefix_of(self));
        store_wakeup_handle(prefix_of(self), k_no_socket);
        // A reader still pending may wait in the loop's selector on the socket's descriptor. The
        // socket must leave the selector before it closes: closed earlier, the descriptor would
        // leave a registration behind on a socket the native duplicate keeps open (readable for
        // ever, so the loop spins), and a new socket given the same number would never be
        // watched. _finalize closes it on the loop once the reader has finished; where the loop
        // can be told at once, it closes now. A finished reader has nothing left in the selector
        // (and its loop may be closed by now).
        if (task && !task_done(task.ptr())) {
            object loop;
            try {
                loop = call_method(task.ptr(), "get_loop");
                object finalize = object::steal(
                    check(PyObject_CallFunctionObjArgs(relaybus_module::state().finalize_factory.ptr(), task.ptr(),
                                                       sock ? sock.ptr() : Py_None, nullptr)));
                call_method(loop.ptr(), "call_soon_threadsafe", finalize.ptr());
            } catch (const python_error&) {
                // The loop will not run the reader again (closed, most likely): nothing to wait for.
                if (sock) close_socket_quietly(sock.ptr());
                throw;
            }
            if (sock) close_now_if_the_loop_allows(loop.ptr(), sock.ptr());
        } else if (sock) {
            call_method(sock.ptr(), "close");
        }
        Py_RETURN_NONE;
    });
}

// Errors of close() on destruction go to the unraisable hook.
void async_dispatcher_finalize(PyObject* self) {
    saved_error pending;
    object result = object::steal(guard(nullptr, [&] {
        object name = override_name(relaybus_module::loaded(), &relaybus_state::close_name, "close");
        object close = object::steal(check(PyObject_GetAttr(self, name.ptr())));
        return check(PyObject_CallNoArgs(close.ptr()));
    }));
    if (!result) report_unraisable("korvo.utils.relaybus.relaybus.AsyncDispatcher.__dealloc__");
}

// ---- Python type
PyObject* async_dispatcher_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        auto native = std::make_unique<async_dispatcher_native>();
        object self = async_dispatcher_layout::allocate(type, &k_vtable);
        auto* d = as_dispatcher(self.ptr());
        d->_sock_fd = k_no_socket;
        d->_addr = ipv4_address{};
        d->_push = nullptr;
        new (&d->_running) std::atomic<std::int32_t>(1);
        d->_handles = native.release();
        return self.release();
    });
}

// Everything that can fail comes first, and nothing is stored while a reader uses the fields: a
// refused or failed __init__ changes nothing.
int async_dispatcher_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr auto names = parameter_names(std::to_array({"callback"}), k_options, k_no_parameters);
        std::array<PyObject*, names.size()> v{};
        parse_tuple_args("AsyncDispatcher", args, kwargs, names, 1, v);
        const queue_options options = parse_queue_options(k_options, std::span(v).subspan(1));
        const bool variable_size = options.variable_size;
        object queue = options.make_queue();
        auto* d = as_dispatcher(self);
        configuring_claim claimed(d, "__init__");
        // The old values go after all stores: dropping them may run Python code.
        object old_callback;
        object old_queue;
        {
            critical_section section(self);
            old_queue = object::steal(std::exchange(d->_q, queue.release()));
            old_callback = object::steal(std::exchange(d->_callback, new_ref(v[0])));
            d->_variable_size = variable_size;
            d->_push = variable_size ? async_dispatcher_push_var_notify : async_dispatcher_push_notify;
        }
        return 0;
    });
}

PyObject* async_dispatcher_py_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        const setup_arguments given = parse_setup_arguments(args, nargs, kwnames);
        return async_dispatcher_setup(as_dispatcher(self), given.host.ptr(), given.recvbuf, 1);
    });
}

PyObject* async_dispatcher_py_close(PyObject* self, PyObject*) { return async_dispatcher_close(as_dispatcher(self)); }

// The constructor's arguments as stored, then whether the dispatcher still delivers.
PyObject* async_dispatcher_repr(PyObject* self) {
    return guard(nullptr, [&] {
        auto* d = as_dispatcher(self);
        object callback;
        object queue;
        bool variable_size = false;
        {
            critical_section section(self);
            callback = object::borrow(d->_callback);
            queue = object::borrow(d->_q);
            variable_size = d->_variable_size != 0;
        }
        std::vector<repr_arg> args;
        args.push_back({"callback", std::move(callback)});
        if (queue.ptr() != Py_None) add_queue_repr_args(args, queue.ptr(), k_options);
        args.push_back({"variable_size", object::borrow(variable_size ? Py_True : Py_False)});
        args.push_back({"running", object::borrow(delivers(d) ? Py_True : Py_False)});
        return call_repr(self, args).release();
    });
}

PyObject* async_dispatcher_get_running(PyObject* self, void*) {
    return guard(nullptr, [&] { return object::borrow(delivers(as_dispatcher(self)) ? Py_True : Py_False).release(); });
}

PyGetSetDef async_dispatcher_getset[] = {
    {"running", async_dispatcher_get_running, nullptr,
     "False once the dispatcher is closed or its reader task has ended (its callback raised, or it was cancelled).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef async_dispatcher_methods[] = {
    method_fastcall("setup", async_dispatcher_py_setup,
                    "AsyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216) -> void"),
    method_noargs("close", async_dispatcher_py_close, "AsyncDispatcher.close(self) -> None"),
    method_positional("_AsyncDispatcher__reader", async_dispatcher_py_reader<false>,
                      "The reader coroutine: delivers each queued message to the callback and awaits it."),
    method_positional("_AsyncDispatcher__reader_var", async_dispatcher_py_reader<true>,
                      "The reader coroutine of the variable-size family."),
    KORVO_REFUSE_PICKLING_METHODS,
    k_methods_end,
};

auto async_dispatcher_slots = async_dispatcher_layout::slots(
    constructed_slots(async_dispatcher_new, async_dispatcher_init, async_dispatcher_methods,
                      "AsyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool overwrite=False, "
                      "bool zerocopy=False, bool variable_size=False)\n\n"
                      "Delivers messages pushed by a native producer to an awaited callback(bytes) on an asyncio loop.",
                      async_dispatcher_repr, async_dispatcher_getset));
PyType_Spec async_dispatcher_spec =
    type_spec("korvo.utils.relaybus.relaybus.AsyncDispatcher", sizeof(async_dispatcher_object), k_gc_type_flags,
              async_dispatcher_slots.data());

}  // namespace

void add_async_dispatcher_type(relaybus_state& st) {
    st.async_dispatcher_type = add_published_type(st.module, &async_dispatcher_spec, &k_vtable);
}

}  // namespace korvo::relaybus
