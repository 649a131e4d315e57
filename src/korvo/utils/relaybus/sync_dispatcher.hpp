// SyncDispatcher: delivers queued messages to a Python callback on a native consumer thread.
#pragma once

#include "state.hpp"

namespace korvo::relaybus {

// Creates SyncDispatcher, publishes its table and binds it. Throws python_error.
void add_sync_dispatcher_type(relaybus_state& st);

}  // namespace korvo::relaybus
