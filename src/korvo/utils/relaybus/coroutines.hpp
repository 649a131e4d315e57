// What the asyncio types share: their native coroutine objects and the module's asyncio helpers.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "common/coroutine.hpp"
#include "common/ref.hpp"
#include "state.hpp"

namespace korvo::relaybus {

// A coroutine object of `kind` running `body`, which uses the objects in `keep`. Throws
// python_error.
object make_coroutine(coroutine_kind kind, coro::body body, std::initializer_list<PyObject*> keep);

// How a block enters and leaves `cond` (see coro::async_with): an asyncio.Condition over an
// asyncio.Lock by the lock's acquire() and release(), done without any call while nobody waits
// for the lock; anything else by the context-manager protocol. Throws python_error.
coro::lock_protocol condition_protocol(PyObject* cond);

// The reader's loop watches its wake-up socket for the reader's whole life: a datagram runs a
// callback that takes it off the socket and wakes the reader if it waits. One registration
// instead of a sock_recv per wait spares the loop two selector changes, a failing receive (with
// its exception) and a callback per wait.
class wakeup_watch {
public:
    wakeup_watch() = default;
    wakeup_watch(const wakeup_watch&) = delete;
    wakeup_watch& operator=(const wakeup_watch&) = delete;
    // Leaves the selector unless the socket is closed (whoever closed it took it out first).
    ~wakeup_watch();

    // Registers with the loop; false when it cannot watch sockets (a proactor loop). Throws
    // python_error.
    bool start(PyObject* loop, PyObject* sock);

    // A future the next datagram completes. Throws python_error.
    object next_wakeup();

private:
    object loop_;
    object sock_;
    // [socket handle, the awaited future or None], shared with the callback. The reader and the
    // callback both run on the loop's thread; its items are read as strong references.
    object state_;
};

// The coroutine type, the coroutines' names and the asyncio helpers, into the module state.
// Throws python_error.
void init_coroutines(relaybus_state& st);

}  // namespace korvo::relaybus
