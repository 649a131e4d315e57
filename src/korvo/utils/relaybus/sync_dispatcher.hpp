// SyncDispatcher: delivers queued messages to a Python callback on a native consumer thread.
#pragma once

#include <Python.h>

namespace korvo::relaybus {

// Creates SyncDispatcher, publishes its table and binds it. Throws python_error.
void add_sync_dispatcher_type(PyObject* module);

}  // namespace korvo::relaybus
