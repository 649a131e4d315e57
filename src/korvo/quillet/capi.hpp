// __pyx_capi__: logger lookups for other extension modules (declared in korvo/quillet.hpp).
#pragma once

#include <Python.h>

namespace korvo::quillet {

// Publishes get_logger_by_name, get_logger_ptr and get_logger, in that order, each as a
// capsule named by its signature text. Throws python_error.
void add_capi(PyObject* module);

}  // namespace korvo::quillet
