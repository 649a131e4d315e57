// Logger: built from handler descriptions by libquillet's factory; logs through the spdlog
// logger its handle holds.
#pragma once

#include <Python.h>

#include "korvo/quillet.hpp"

namespace korvo::quillet {

// Creates Logger, binds it in the module, keeps it in the module state and publishes its
// native table. Throws python_error.
void add_logger_type(PyObject* module);

// The Logger layout of an object known to be a Logger.
inline logger_object* as_logger(PyObject* self) noexcept { return reinterpret_cast<logger_object*>(self); }

}  // namespace korvo::quillet
