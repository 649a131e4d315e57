// AsyncQueue: a bounded byte-message queue for the coroutines of one asyncio loop. Every method
// but start_dispatcher returns a native coroutine; everything runs on the loop's thread.
#include "async_queue.hpp"

#include <array>
#include <vector>

#include "buffers.hpp"
#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickled_state.hpp"
#include "common/published_type.hpp"
#include "common/repr.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "coroutines.hpp"
#include "korvo/relaybus.hpp"
#include "queue_options.hpp"
#include "state.hpp"

namespace korvo::relaybus {
namespace {

// The options AsyncQueue takes after its loop, in its signature order; its messages are smaller.
constexpr std::array k_options{k_slot_size.with_default(1024), k_capacity, k_overwrite, k_zerocopy, k_block_on_full};

struct async_queue_desc {
    template <class F>
    static void fields(async_queue_object& self, F&& f) {
        f(self._q);
        f(self._loop);
        f(self._callback);
        f(self._lock);
        f(self._notify_cond);
        f(self._task);
        f(self._space);
    }
};
using async_queue_layout = type_slots<async_queue_object, async_queue_desc>;

// Threads. An AsyncQueue belongs to its loop: its coroutines run on the loop's thread, and the
// counters and flags they share (`_consumers_waiting`, `_wake_pending`, `_space_waiters`,
// `_space`) are touched only by them, as the asyncio lock and condition they use are. Other
// threads reach the object through its methods (making a coroutine, start_dispatcher, pickling,
// repr): the object members those read or replace (`_q`, `_notify_cond`, `_callback`, `_task`,
// `_loop`, `_lock`) are read and written under the object's critical section.

async_queue_object* as_queue_object(PyObject* self) noexcept { return async_queue_layout::cast(self); }

// The ring queue a coroutine works on, checked when its body starts. Throws python_error.
spsc_queue::queue_object* ring_of(PyObject* queue) {
    if (queue != Py_None) return as_queue(queue);
    PyErr_SetString(PyExc_RuntimeError, "AsyncQueue has no queue: __init__ was not called");
    throw python_error{};
}

// ---- waiting for space (block_on_full): the ring never blocks the loop's thread; a push that
// finds it full waits on the loop until a consumer has taken or let go of a message.
// The event a waiting push awaits, made on first need; cleared for this wait. `_space_waiters`
// counts the pushes that started waiting since the last signal: one signal wakes them all.
object space_event(async_queue_object* self) {
    if (self->_space == Py_None) {
        object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
        field_ref(self->_space).set(call_method(asyncio.ptr(), "Event"));
    }
    object event = object::borrow(self->_space);
    const relaybus_state& st = relaybus_module::state();
    call_method(event.ptr(), st.clear_name.ptr());
    object wait = call_method(event.ptr(), st.wait_name.ptr());
    ++self->_space_waiters;
    return wait;
}

// After every consumer call on the ring (which may have freed space): wake the waiting pushes,
// once. Each woken push that still finds the ring full waits (and counts) again; one that was
// cancelled meanwhile costs one needless signal. Throws python_error.
void signal_space(async_queue_object* self) {
    if (self->_space_waiters == 0 || self->_space == Py_None) return;
    self->_space_waiters = 0;
    call_method(self->_space, relaybus_module::state().set_name.ptr());
}

// ---- the push coroutines: one source of bytes per kind, released when the body ends. Each
// load throws python_error.
struct buffer_source {
    Py_buffer view{};
    bool held = false;
    ~buffer_source() {
        if (held) PyBuffer_Release(&view);
    }
    void load(PyObject* msg, const char*& data, std::size_t& size) {
        held = buf_to_cbuf(msg, &view, &data, &size) == 0;
        if (!held) throw python_error{};
    }
};
struct object_source {
    object temporary;
    void load(PyObject* msg, const char*& data, std::size_t& size) {
        PyObject* holder = nullptr;
        const int r = obj_to_cbuf(msg, &holder, &data, &size);
        temporary = object::steal(holder);
        if (r != 0) throw python_error{};
    }
};
struct str_source {
    void load(PyObject* msg, const char*& data, std::size_t& size) {
        if (str_to_cbuf(msg, &data, &size) != 0) throw python_error{};
    }
};

// Whether the pending exception is asyncio.CancelledError. A failed lookup answers no and never
// replaces that exception.
bool cancellation_pending() noexcept {
    object cancelled;
    {
        saved_error pending;
        cancelled = object::steal(guard(nullptr, [] {
            object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
            return get_attr(asyncio.ptr(), "CancelledError").release();
        }));
    }
    return cancelled && PyErr_ExceptionMatches(cancelled.ptr());
}

// A push the ring neither stored nor let replace an older message: the caller learns it.
[[noreturn]] void raise_refused(const spsc_queue::queue_object* ring, int result, std::size_t size) {
    if (result == spsc_queue::k_full) {
        object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
        object queue_full = get_attr(asyncio.ptr(), "QueueFull");
        PyErr_SetString(queue_full.ptr(), "AsyncQueue is full");
    } else if (result == spsc_queue::k_too_large) {
        PyErr_Format(PyExc_ValueError, "a message of %zu bytes does not fit in the AsyncQueue's slots of %zu bytes",
                     size, ring->slot_size);
    } else {
        PyErr_Format(PyExc_RuntimeError, "the AsyncQueue's ring queue refused the message (result %d)", result);
    }
    throw python_error{};
}

// Wakes one consumer waiting on the condition, whose lock the caller holds. Throws python_error.
void wake_one(async_queue_object* self, PyObject* cond) {
    call_method(cond, relaybus_module::state().notify_name.ptr());
    self->_wake_pending = 1;
}

template <class Source>
coro::body push_message(async_queue_object* self, PyObject* queue, PyObject* cond, PyObject* msg) {
    Source source;
    const char* data = nullptr;
    std::size_t size = 0;
    source.load(msg, data, size);
    spsc_queue::queue_object* ring = ring_of(queue);
    int result;
    while ((result = queue_ops().push_wake(ring, data, size)) == spsc_queue::k_full && self->_wait_for_space) {
        object wait = space_event(self);
        co_await coro::await(wait.ptr());
    }
    if (result < 0) raise_refused(ring, result, size);
    // Consumers poll, so the ring never asks for a wake-up here: they are counted instead. A
    // stored message wakes one waiting consumer unless a wake-up is on its way already (its
    // consumer passes it on, see consume_messages). The message is stored, so a cancellation
    // while the lock is awaited is held back until the signal is given (as asyncio.Condition.wait
    // holds one back until it has its lock again).
    if (self->_consumers_waiting > 0 && !self->_wake_pending) {
        coro::async_with block(cond, condition_protocol(cond));
        object deferred;
        for (;;) {
            try {
                co_await block.enter();
                break;
            } catch (const python_error&) {
                if (!cancellation_pending()) throw;
                deferred = object::steal(PyErr_GetRaisedException());
            }
        }
        block.run([&] {
            if (!self->_wake_pending) wake_one(self, cond);
        });
        co_await block.leave();
        if (deferred) {
            PyErr_SetRaisedException(deferred.release());
            throw python_error{};
        }
    }
    co_return object::borrow(Py_None);
}

// ---- the consumers: try the queue, then wait on the condition
// One non-waiting pop: the message, or an empty object when the queue had none. Producers and
// consumers share the loop's thread and waiting consumers are counted here, so the ring's own
// cross-thread wake-up request (and the barrier that arming it costs) is never needed: poll.
// Throws python_error.
object take_one(async_queue_object* self, spsc_queue::queue_object* ring) {
    const char* data = nullptr;
    std::size_t size = 0;
    object message;
    if (queue_ops().poll(ring, &data, &size) == spsc_queue::k_taken)
        message = object::steal(check(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size))));
    signal_space(self);
    return message;
}

// Counts a consumer as waiting from its empty try_pop until its wait has ended, however it ends
// (a cancelled or closed coroutine drops its frame, and with it this).
class waiting_consumer {
public:
    explicit waiting_consumer(async_queue_object* queue) noexcept : queue_(queue) { ++queue_->_consumers_waiting; }
    ~waiting_consumer() { --queue_->_consumers_waiting; }
    waiting_consumer(const waiting_consumer&) = delete;
    waiting_consumer& operator=(const waiting_consumer&) = delete;

private:
    async_queue_object* queue_;
};

// pop() (one message) or the dispatcher task (every message, each to the callback). A consumer
// that finds the queue empty first lets the loop run the other ready tasks once and looks again:
// a message one of them pushes meanwhile (the answer to a request, the next of a stream) costs
// no lock, condition or future on either side. Still finding it empty, it counts as waiting,
// takes the lock and tries once more before it waits: a message stored before that second try is taken by it, one stored after it signals the
// condition, and the wait cannot miss that signal because it starts before the lock is let go.
// Pushes signal once while a wake-up is on its way; the consumer it reaches passes it on to the
// next waiting one when it finds a message (more may have come meanwhile). A consumer going to
// sleep on an empty queue forgets a wake-up on its way: nothing is left for it to bring.
coro::body consume_messages(async_queue_object* self, PyObject* queue, PyObject* cond, bool dispatch) {
    spsc_queue::queue_object* ring = ring_of(queue);
    for (;;) {
        object message = take_one(self, ring);
        if (!message) {
            co_await coro::yield_now();
            message = take_one(self, ring);
        }
        if (!message) {
            waiting_consumer counted(self);
            coro::async_with block(cond, condition_protocol(cond));
            co_await block.enter();
            block.run([&] {
                message = take_one(self, ring);
                if (!message) self->_wake_pending = 0;
            });
            if (!message) {
                co_await block.step([&] { return call_method(cond, relaybus_module::state().wait_name.ptr()); });
                block.run([&] {
                    self->_wake_pending = 0;
                    message = take_one(self, ring);
                    if (message && self->_consumers_waiting > 1) wake_one(self, cond);
                });
            }
            co_await block.leave();
            if (!message) continue;
        }
        if (!dispatch) co_return message;
        object callback = load_member(as_py(self), self->_callback);  // start_dispatcher may replace it
        object awaitable = object::steal(check(PyObject_CallOneArg(callback.ptr(), message.ptr())));
        co_await coro::await(awaitable.ptr());
    }
}

coro::body shut_down(async_queue_object* self, PyObject* cond) {
    {
        coro::async_with block(cond, condition_protocol(cond));
        co_await block.enter();
        block.run([&] { call_method(cond, "notify_all"); });
        co_await block.leave();
    }
    object task = load_member(as_py(self), self->_task);
    if (task.ptr() == Py_None) co_return object::borrow(Py_None);
    call_method(task.ptr(), "cancel");
    try {
        co_await coro::await(task.ptr());
    } catch (const python_error&) {
        if (!cancellation_pending()) throw;
        PyErr_Clear();
    }
    co_return object::borrow(Py_None);
}

// ---- methods
// The coroutine of `kind` over the queue's current queue and condition, which it keeps.
// The queue and condition a new coroutine works on, as strong references it keeps.
struct coroutine_members {
    object queue;
    object cond;
};
coroutine_members members_of(async_queue_object* q) {
    critical_section section(as_py(q));
    return {object::borrow(q->_q), object::borrow(q->_notify_cond)};
}

template <class Make>
PyObject* coroutine_method(PyObject* self, coroutine_kind kind, Make&& make) {
    return guard(nullptr, [&] {
        auto* q = as_queue_object(self);
        const coroutine_members m = members_of(q);
        return make_coroutine(kind, make(q, m), {self, m.queue.ptr(), m.cond.ptr()}).release();
    });
}

template <class Source, coroutine_kind Kind>
PyObject* async_queue_push(PyObject* self, PyObject* msg) {
    return guard(nullptr, [&] {
        auto* q = as_queue_object(self);
        const coroutine_members m = members_of(q);
        return make_coroutine(Kind, push_message<Source>(q, m.queue.ptr(), m.cond.ptr(), msg),
                              {self, m.queue.ptr(), m.cond.ptr(), msg})
            .release();
    });
}

PyObject* async_queue_pop(PyObject* self, PyObject*) {
    return coroutine_method(self, coroutine_kind::pop, [](async_queue_object* q, const coroutine_members& m) {
        return consume_messages(q, m.queue.ptr(), m.cond.ptr(), false);
    });
}

PyObject* async_queue_dispatch(PyObject* self, PyObject*) {
    return coroutine_method(self, coroutine_kind::dispatch, [](async_queue_object* q, const coroutine_members& m) {
        return consume_messages(q, m.queue.ptr(), m.cond.ptr(), true);
    });
}

PyObject* async_queue_shutdown(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "shutdown() takes no keyword arguments");
        return nullptr;
    }
    static_cast<void>(args);  // excinfo: accepted and ignored, as __aexit__ passes it
    return coroutine_method(self, coroutine_kind::shutdown, [](async_queue_object* q, const coroutine_members& m) {
        return shut_down(q, m.cond.ptr());
    });
}

PyObject* async_queue_py_start_dispatcher(PyObject* self, PyObject* callback);

PyTypeObject* exact_type() noexcept { return loaded_type(&relaybus_state::async_queue_type); }

PyObject* async_queue_start_dispatcher(async_queue_object* self, PyObject* callback, int skip_dispatch) {
    return guard(nullptr, [&]() -> PyObject* {
        if (!skip_dispatch) {
            object name = relaybus_module::state().start_dispatcher_name;
            if (object override = find_override(as_py(self), exact_type(), name.ptr(), async_queue_py_start_dispatcher))
                return check(PyObject_CallOneArg(override.ptr(), callback));
        }
        static_cast<void>(exchange_member(as_py(self), self->_callback, object::borrow(callback)));
        object dispatch = get_attr(as_py(self), "_AsyncQueue__dispatch");
        object coroutine = object::steal(check(PyObject_CallNoArgs(dispatch.ptr())));
        object loop = load_member(as_py(self), self->_loop);
        static_cast<void>(
            exchange_member(as_py(self), self->_task, call_method(loop.ptr(), "create_task", coroutine.ptr())));
        Py_RETURN_NONE;
    });
}

PyObject* async_queue_py_start_dispatcher(PyObject* self, PyObject* callback) {
    return async_queue_start_dispatcher(as_queue_object(self), callback, 1);
}

constexpr async_queue_vtable k_vtable{async_queue_start_dispatcher};

// ---- construction
PyObject* async_queue_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* { return async_queue_layout::allocate(type, &k_vtable).release(); });
}

int async_queue_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr auto names = parameter_names(std::to_array({"loop"}), k_options, k_no_parameters);
        std::array<PyObject*, names.size()> v{};
        parse_tuple_args("AsyncQueue", args, kwargs, names, 0, v);
        queue_options options = parse_queue_options(k_options, std::span(v).subspan(1));
        const bool block_on_full = options.block_on_full;
        // The loop's thread is the only consumer: a ring that blocks a push while full would
        // block the consumer too. Such a push waits on the loop instead.
        const bool wait_for_space = block_on_full && !options.overwrite;
        options.block_on_full = block_on_full && !wait_for_space;
        auto* q = as_queue_object(self);
        static_cast<void>(exchange_member(self, q->_q, options.make_queue()));
        {
            critical_section section(self);
            q->_wait_for_space = wait_for_space;
        }
        object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
        object lock = call_method(asyncio.ptr(), "Lock");
        object condition = get_attr(asyncio.ptr(), "Condition");
        object cond = object::steal(check(PyObject_CallOneArg(condition.ptr(), lock.ptr())));
        static_cast<void>(exchange_member(self, q->_lock, std::move(lock)));
        static_cast<void>(exchange_member(self, q->_notify_cond, std::move(cond)));
        if (v[0] != nullptr && v[0] != Py_None) {
            static_cast<void>(exchange_member(self, q->_loop, object::borrow(v[0])));
            return 0;
        }
        object get_running_loop = get_attr(asyncio.ptr(), "get_running_loop");
        object loop = object::steal(PyObject_CallNoArgs(get_running_loop.ptr()));
        if (!loop) {
            if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw python_error{};
            // Raised while the first error is handled: it becomes the new one's context.
            object first = object::steal(PyErr_GetRaisedException());
            PyErr_SetString(PyExc_RuntimeError, "AsyncQueue must be created inside a running event loop.");
            object second = object::steal(PyErr_GetRaisedException());
            PyException_SetContext(second.ptr(), first.release());
            PyErr_SetRaisedException(second.release());
            throw python_error{};
        }
        static_cast<void>(exchange_member(self, q->_loop, std::move(loop)));
        return 0;
    });
}

// The constructor's arguments as stored (block_on_full as asked: such a queue waits on the loop).
PyObject* async_queue_repr(PyObject* self) {
    return guard(nullptr, [&] {
        auto* q = as_queue_object(self);
        object loop;
        object queue;
        bool wait_for_space = false;
        {
            critical_section section(self);
            loop = object::borrow(q->_loop);
            queue = object::borrow(q->_q);
            wait_for_space = q->_wait_for_space != 0;
        }
        std::vector<repr_arg> args;
        args.push_back({"loop", std::move(loop)});
        if (queue.ptr() != Py_None) {
            add_queue_repr_args(args, queue.ptr(), std::span(k_options).first(k_options.size() - 1));
            const bool blocks = wait_for_space || as_queue(queue.ptr())->block_on_full;
            args.push_back({"block_on_full", object::borrow(blocks ? Py_True : Py_False)});
        }
        return call_repr(self, args).release();
    });
}

PyMethodDef async_queue_methods[] = {
    method_o("start_dispatcher", async_queue_py_start_dispatcher, "AsyncQueue.start_dispatcher(self, callback)"),
    method_o("push_buf", async_queue_push<buffer_source, coroutine_kind::push_buf>, "AsyncQueue.push_buf(self, msg)"),
    method_o("push_obj", async_queue_push<object_source, coroutine_kind::push_obj>, "AsyncQueue.push_obj(self, msg)"),
    method_o("push_str", async_queue_push<str_source, coroutine_kind::push_str>, "AsyncQueue.push_str(self, msg)"),
    method_noargs("pop", async_queue_pop, "AsyncQueue.pop(self)"),
    method_noargs("_AsyncQueue__dispatch", async_queue_dispatch, "AsyncQueue.__dispatch(self)"),
    method_varargs("shutdown", async_queue_shutdown, "AsyncQueue.shutdown(self, *excinfo)"),
    method_noargs("__reduce__", reduce_method<k_async_queue_pickled>),
    method_o("__setstate__", setstate_method<k_async_queue_pickled>),
    k_methods_end,
};

PyMethodDef async_queue_functions[] = {
    unpickle_def<k_async_queue_pickled>("__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, __pyx_state)"),
    k_methods_end,
};

auto async_queue_slots = async_queue_layout::slots(
    constructed_slots(async_queue_new, async_queue_init, async_queue_methods,
                      "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, "
                      "bool zerocopy=False, bool block_on_full=False)\n\n"
                      "A bounded byte-message queue for the coroutines of one asyncio event loop.",
                      async_queue_repr));
PyType_Spec async_queue_spec = type_spec("korvo.utils.relaybus.relaybus.AsyncQueue", sizeof(async_queue_object),
                                         k_gc_type_flags, async_queue_slots.data());

}  // namespace

void add_async_queue_type(relaybus_state& st) {
    st.async_queue_type = add_published_type(st.module, &async_queue_spec, &k_vtable);
    check(PyModule_AddFunctions(st.module, async_queue_functions));
}

}  // namespace korvo::relaybus
