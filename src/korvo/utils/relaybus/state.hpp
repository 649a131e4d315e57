// State of the bridge module, in the module's own memory, and the queue table every bridge
// object forwards to.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "common/coroutine.hpp"
#include "common/module_state.hpp"
#include "common/ref.hpp"
#include "korvo/spsc_queue.hpp"

namespace korvo::relaybus {

// The coroutines of the asyncio types, each named as its method and qualified with its class.
enum class coroutine_kind { reader, reader_var, push_buf, push_obj, push_str, pop, dispatch, shutdown, count };
struct coroutine_names {
    object name;
    object qualname;
};

// Every member is set once by the module's exec, before the module is published, and only read
// afterwards (from any thread) until the module is cleared at interpreter exit.
struct relaybus_state {
    static constexpr const char* module_name = "korvo.utils.relaybus.relaybus";
    // Kept coroutine memory is freed through the coroutine type, so it goes before the type.
    void on_clear() noexcept {
        if (coroutine_type) coro::retire_type(reinterpret_cast<PyTypeObject*>(coroutine_type.ptr()));
    }
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    object queue_type;           // SPSCQueue
    object cbuffer_view_type;
    object kopipe_type;
    object sync_dispatcher_type;
    object async_dispatcher_type;
    object async_queue_type;
    object coroutine_type;  // the native coroutines of the asyncio types
    // Interned once (k_interned_names): the methods looked up for overrides, and those called
    // once per message or per wait.
    object setup_name;
    object close_name;
    object start_dispatcher_name;
    object set_name;
    object clear_name;
    object wait_name;
    object notify_name;
    object acquire_name;
    object release_name;
    object locked_name;  // asyncio.Lock's state, read and set directly while nobody waits
    object waiters_name;
    object lock_name;  // asyncio.Condition's lock
    object sock_recv_name;
    object condition_type;  // asyncio.Condition and asyncio.Lock: see condition_protocol
    object lock_type;
    object finalize_factory;  // close(task, sock) -> _finalize: cancels the reader, then closes sock
    std::array<coroutine_names, static_cast<std::size_t>(coroutine_kind::count)> coroutines;

    const coroutine_names& names_of(coroutine_kind kind) const noexcept {
        return coroutines[static_cast<std::size_t>(kind)];
    }

    template <class F>
    void visit_fields(F&& f) {
        f(queue_type);
        f(cbuffer_view_type);
        f(kopipe_type);
        f(sync_dispatcher_type);
        f(async_dispatcher_type);
        f(async_queue_type);
        f(coroutine_type);
        f(setup_name);
        f(close_name);
        f(start_dispatcher_name);
        f(set_name);
        f(clear_name);
        f(wait_name);
        f(notify_name);
        f(acquire_name);
        f(release_name);
        f(locked_name);
        f(waiters_name);
        f(lock_name);
        f(sock_recv_name);
        f(condition_type);
        f(lock_type);
        f(finalize_factory);
        for (coroutine_names& c : coroutines) {
            f(c.name);
            f(c.qualname);
        }
    }
};
using relaybus_module = module_state<relaybus_state>;

// The module's interned names, each with the member exec stores it in.
struct interned_name {
    object relaybus_state::* member;
    const char* text;
};
inline constexpr interned_name k_interned_names[] = {
    {&relaybus_state::setup_name, "setup"},
    {&relaybus_state::close_name, "close"},
    {&relaybus_state::start_dispatcher_name, "start_dispatcher"},
    {&relaybus_state::set_name, "set"},
    {&relaybus_state::clear_name, "clear"},
    {&relaybus_state::wait_name, "wait"},
    {&relaybus_state::notify_name, "notify"},
    {&relaybus_state::acquire_name, "acquire"},
    {&relaybus_state::release_name, "release"},
    {&relaybus_state::locked_name, "_locked"},
    {&relaybus_state::waiters_name, "_waiters"},
    {&relaybus_state::lock_name, "_lock"},
    {&relaybus_state::sock_recv_name, "sock_recv"},
};

// One of the module's types while the module is loaded, else null (an object destroyed during
// teardown).
inline PyTypeObject* loaded_type(object relaybus_state::* type) noexcept {
    relaybus_state* st = relaybus_module::loaded();
    return st != nullptr ? reinterpret_cast<PyTypeObject*>((st->*type).ptr()) : nullptr;
}

// SPSCQueue's operation table: static data of the queue module, which stays mapped for the
// process's life. It is kept outside the module state because producer and consumer threads
// call through it without the lock, also while this module is being torn down. Written once by
// exec, before any object a producer could reach exists.
inline const spsc_queue::queue_vtable* g_queue_ops = nullptr;

// The queue object behind a bridge field, and the table to call it through. Producers and
// consumers call these without the interpreter lock.
inline spsc_queue::queue_object* as_queue(PyObject* queue) noexcept {
    return reinterpret_cast<spsc_queue::queue_object*>(queue);
}
inline const spsc_queue::queue_vtable& queue_ops() noexcept { return *g_queue_ops; }

}  // namespace korvo::relaybus
