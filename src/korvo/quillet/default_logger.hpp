// DefaultLogger: logs through whatever logger is the library's default at each call.
#pragma once

#include <Python.h>

namespace korvo::quillet {

// Creates DefaultLogger, binds it in the module, keeps it in the module state and publishes
// its native table. Throws python_error.
void add_default_logger_type(PyObject* module);

// Binds __pyx_unpickle_DefaultLogger. Throws python_error.
void add_default_logger_unpickle(PyObject* module);

}  // namespace korvo::quillet
