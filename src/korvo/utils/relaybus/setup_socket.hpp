// setup_socket(blocking, recvbuf): the dispatchers' wake-up socket, made through Python's socket module.
#pragma once

#include <Python.h>

#include "common/ref.hpp"
#include "korvo/relaybus.hpp"

namespace korvo::relaybus {

// The socket object, unbound. New reference; throws python_error.
PyObject* setup_socket(bool blocking, int recvbuf);

// Closes `sock` on a failure path: the pending error stays the one to report, and an error of the
// close itself is dropped.
void close_socket_quietly(PyObject* sock) noexcept;

// Binds `sock` to (host, 0) and reads back where it is bound: `address` becomes the target of
// the wake-up datagrams. Returns a native duplicate of its handle, owned by the caller, which
// keeps the socket open after the Python object is closed. Throws python_error.
platform_socket bind_for_wakeups(PyObject* sock, PyObject* host, ipv4_address& address);

// The arguments of a dispatcher's setup(host='127.0.0.1', recvbuf=16777216): host must be exactly
// a str (None passes, and fails at bind). Throws python_error.
struct setup_arguments {
    object host;
    int recvbuf;
};
setup_arguments parse_setup_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Binds setup_socket as a module function. Throws python_error.
void add_setup_socket(PyObject* module);

}  // namespace korvo::relaybus
