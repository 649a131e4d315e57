// KoPipe: a ring queue packaged for one native producer and one native consumer.
#pragma once

#include <Python.h>

namespace korvo::relaybus {

// Creates KoPipe, publishes its table and binds it. Throws python_error.
void add_kopipe_type(PyObject* module);

}  // namespace korvo::relaybus
