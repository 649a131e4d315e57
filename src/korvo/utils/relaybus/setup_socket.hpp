// setup_socket(blocking, recvbuf): the dispatchers' wake-up socket, made through Python's socket module.
#pragma once

#include <Python.h>

namespace korvo::relaybus {

// The socket object, unbound. New reference; throws python_error.
PyObject* setup_socket(bool blocking, int recvbuf);

// Binds setup_socket as a module function. Throws python_error.
void add_setup_socket(PyObject* module);

}  // namespace korvo::relaybus
