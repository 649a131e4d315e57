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

// The coroutine type, the coroutines' names and the asyncio helpers, into the module state.
// Throws python_error.
void init_coroutines(relaybus_state& st);

}  // namespace korvo::relaybus
