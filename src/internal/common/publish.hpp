// Publishing native tables to other extension modules, and heap-type creation.
#pragma once

#include <Python.h>

namespace korvo {

// Stores `table` as a nameless capsule under __pyx_vtable__ in the type's dictionary.
// The table must outlive the type (tables are static). Throws python_error.
void publish_vtable(PyTypeObject* type, const void* table);

// Adds `fn` to the module's __pyx_capi__ dictionary (made on first use) as a capsule named
// by its signature text. `signature` must be a string literal: the capsule keeps the pointer.
void publish_function(PyObject* module, const char* name, void* fn, const char* signature);

// Creates a heap type from spec with an optional base and binds it in the module under its
// short name. Returns a new reference. Throws python_error.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* base = nullptr);

}  // namespace korvo
