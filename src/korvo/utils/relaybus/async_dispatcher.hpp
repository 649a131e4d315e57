// AsyncDispatcher: delivers queued messages to an awaited callback on an asyncio event loop.
#pragma once

#include "state.hpp"

namespace korvo::relaybus {

// Creates AsyncDispatcher, publishes its table and binds it. Throws python_error.
void add_async_dispatcher_type(relaybus_state& st);

}  // namespace korvo::relaybus
