// Message kinds: how a Python object is read as a run of bytes. The four published conversion
// functions and the CBufferView type.
#pragma once

#include <Python.h>

#include "state.hpp"

namespace korvo::relaybus {

// The published conversions (see korvo/relaybus.hpp for their contracts).
int obj_to_cbuf(PyObject* obj, PyObject** holder, char const** data, size_t* size);
int buf_to_cbuf(PyObject* obj, Py_buffer* view, char const** data, size_t* size);
int bytes_to_cbuf(PyObject* obj, char const** data, size_t* size);
int str_to_cbuf(PyObject* obj, char const** data, size_t* size);

// Publishes the four conversions in the module's __pyx_capi__. Throws python_error.
void publish_conversions(PyObject* module);

// Creates CBufferView, publishes its table and binds it. Throws python_error.
void add_cbuffer_view_type(relaybus_state& st);

}  // namespace korvo::relaybus
