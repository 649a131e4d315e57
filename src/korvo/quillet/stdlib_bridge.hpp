// The bridge from the standard logging package: PyLogHandler forwards standard records to the
// library's default logger through the same sink loop as the log calls, without colour.
#pragma once

#include <Python.h>

namespace korvo::quillet {

// Creates PyLogHandler on the base py_logging.Handler (py_logging must be bound), binds it in
// the module and keeps it in the module state. Throws python_error.
void add_py_log_handler(PyObject* module);

// Empties the standard root logger's handler list, sets its level to DEBUG and installs one
// PyLogHandler at DEBUG. Throws python_error.
void redirect_pylog();

}  // namespace korvo::quillet
