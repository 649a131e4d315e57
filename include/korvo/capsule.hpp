// Reading korvo's published native tables from another extension module: the type's
// __pyx_vtable__ capsule and the module's __pyx_capi__ function capsules. Header-only,
// plain CPython C API; every function needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstring>

namespace korvo::capsule {

// Imports `module_name` and returns a new reference to its attribute `type_name`, checked
// to be a type; null with an exception set on failure.
inline PyTypeObject* import_type(const char* module_name, const char* type_name) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    PyObject* attr = PyObject_GetAttrString(module, type_name);
    Py_DECREF(module);
    if (attr == nullptr) return nullptr;
    if (!PyType_Check(attr)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type", module_name, type_name);
        Py_DECREF(attr);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(attr);
}

// The native method table that `type` publishes under __pyx_vtable__ (a nameless capsule);
// null with an exception set when it has none. The table lives as long as the type.
inline const void* get_vtable(PyTypeObject* type) {
    PyObject* dict = PyType_GetDict(type);
    if (dict == nullptr) return nullptr;
    PyObject* cap = nullptr;
    int found = PyDict_GetItemStringRef(dict, "__pyx_vtable__", &cap);
    Py_DECREF(dict);
    if (found <= 0) {
        if (found == 0) PyErr_Format(PyExc_AttributeError, "type %.200s publishes no __pyx_vtable__", type->tp_name);
        return nullptr;
    }
    void* table = PyCapsule_GetPointer(cap, nullptr);
    Py_DECREF(cap);
    return table;
}

// The function that module `module_name` publishes in __pyx_capi__ under `name`, whose
// capsule name must read exactly `signature`; null with an exception set otherwise.
inline void* import_function(const char* module_name, const char* name, const char* signature) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    PyObject* table = PyObject_GetAttrString(module, "__pyx_capi__");
    Py_DECREF(module);
    if (table == nullptr) return nullptr;
    PyObject* cap = nullptr;
    int found = PyDict_Check(table) ? PyDict_GetItemStringRef(table, name, &cap) : -1;
    Py_DECREF(table);
    if (found <= 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s", module_name, name);
        return nullptr;
    }
    const char* actual = PyCapsule_GetName(cap);
    if (actual == nullptr || std::strcmp(actual, signature) != 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                         module_name, name, signature, actual != nullptr ? actual : "(null)");
        Py_DECREF(cap);
        return nullptr;
    }
    void* fn = PyCapsule_GetPointer(cap, actual);
    Py_DECREF(cap);
    return fn;
}

}  // namespace korvo::capsule
