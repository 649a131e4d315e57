// A heap type whose native table other extension modules read.
#pragma once

#include <Python.h>

#include "publish.hpp"
#include "ref.hpp"

namespace korvo {

// Creates the type from `spec`, binds it in the module under its short name and publishes
// `table` (static) as its __pyx_vtable__. Throws python_error.
inline object add_published_type(PyObject* module, PyType_Spec* spec, const void* table) {
    object type = object::steal(reinterpret_cast<PyObject*>(add_type(module, spec)));
    publish_vtable(reinterpret_cast<PyTypeObject*>(type.ptr()), table);
    return type;
}

}  // namespace korvo
