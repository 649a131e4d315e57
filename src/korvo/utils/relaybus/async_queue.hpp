// AsyncQueue: a bounded byte-message queue for the coroutines of one asyncio event loop.
#pragma once

#include "state.hpp"

namespace korvo::relaybus {

// Creates AsyncQueue, publishes its table and binds it. Throws python_error.
void add_async_queue_type(relaybus_state& st);

}  // namespace korvo::relaybus
