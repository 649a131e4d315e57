// SyslogHandler: the description of an RFC 5424 syslog sink (UDP, TCP or a Unix datagram
// socket). Unlike the other handler descriptions it owns what it describes once a Logger is
// built from it: one native sink, shared by every Logger built from it, whose losses it counts.
#pragma once

#include <Python.h>

#include "quillet/quillet.hpp"

namespace korvo::quillet {

// Creates SyslogHandler (a LogHandler subclass), binds it and its unpickling function in the
// module and keeps it in the module state. Throws python_error.
void add_syslog_handler_type(PyObject* module);

// Adds the sink of `handler` (a SyslogHandler) to `factory`: the one it made before when its
// attributes still say the same, else a new one it keeps from now on. Attributes are read by
// ordinary attribute access. Throws python_error (a library error already translated).
void add_syslog_handler(::quillet::LoggerFactory& factory, PyObject* handler);

}  // namespace korvo::quillet
