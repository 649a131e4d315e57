// The SPSCQueue extension type: a Python object around the ring, publishing its operations.
#pragma once

#include <Python.h>

namespace korvo::spsc_queue {

// Creates SPSCQueue in `module`, publishes its native table and binds it. Throws python_error.
void add_queue_type(PyObject* module);

}  // namespace korvo::spsc_queue
