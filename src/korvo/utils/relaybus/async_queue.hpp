// AsyncQueue: a bounded byte-message queue for the coroutines of one asyncio event loop.
#pragma once

#include "common/pickled_state.hpp"
#include "state.hpp"

namespace korvo::relaybus {

// AsyncQueue's members in its pickled state (async_queue_pickle.cpp).
extern const pickled_class k_async_queue_pickled;

// Creates AsyncQueue, publishes its table and binds it. Throws python_error.
void add_async_queue_type(relaybus_state& st);

}  // namespace korvo::relaybus
