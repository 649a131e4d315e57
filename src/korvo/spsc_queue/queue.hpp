// The SPSCQueue extension type: a Python object around the ring, publishing its operations.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace korvo::spsc_queue {

// Creates SPSCQueue in `module`, publishes its native table and binds it; returns the type.
// Throws python_error.
object add_queue_type(PyObject* module);

}  // namespace korvo::spsc_queue
