// The configuration classes: handler descriptions (LogHandler and its subclasses) and
// ColorScheme. Plain records that Logger construction reads; they open and write nothing.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/ref.hpp"

namespace korvo::quillet {

// LogHandler's layout, the start of every handler's.
struct log_handler_object {
    PyObject_HEAD
    bool color;
    object pattern;
    std::int32_t level;
    bool json;  // the console and file classes' only: LogHandler itself takes no such argument
};

// Creates LogHandler, StdoutHandler, StderrHandler, BasicConsoleHandler, ConsoleHandler,
// FileHandler, RotatingFileHandler and ColorScheme in that order, binds them in the module and
// keeps them in the module state. Throws python_error.
void add_config_types(PyObject* module);

// Binds the eight __pyx_unpickle_<Class> functions of the configuration classes, in the order
// of the classes. Throws python_error.
void add_config_unpickle(PyObject* module);

}  // namespace korvo::quillet
