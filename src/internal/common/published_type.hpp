// A heap type whose native table other extension modules read: the slots such a type
// usually declares, and its creation.
#pragma once

#include <Python.h>

#include <array>

#include "publish.hpp"
#include "ref.hpp"
#include "type.hpp"

namespace korvo {

// tp_new (which installs the table), tp_init, the methods and the docstring: the own slots of
// a type made by calling it; type_slots<T, Desc>::slots adds the lifetime slots.
template <class New, class Init>
std::array<PyType_Slot, 4> constructed_slots(New* new_fn, Init* init_fn, PyMethodDef* methods,
                                             const char* doc) noexcept {
    return {slot(Py_tp_new, new_fn), slot(Py_tp_init, init_fn), PyType_Slot{Py_tp_methods, methods}, doc_slot(doc)};
}

// The same with the type's repr.
template <class New, class Init>
std::array<PyType_Slot, 5> constructed_slots(New* new_fn, Init* init_fn, PyMethodDef* methods, const char* doc,
                                             reprfunc repr_fn) noexcept {
    return {slot(Py_tp_new, new_fn), slot(Py_tp_init, init_fn), PyType_Slot{Py_tp_methods, methods}, doc_slot(doc),
            slot(Py_tp_repr, repr_fn)};
}

// The same with the type's repr and its attributes.
template <class New, class Init>
std::array<PyType_Slot, 6> constructed_slots(New* new_fn, Init* init_fn, PyMethodDef* methods, const char* doc,
                                             reprfunc repr_fn, PyGetSetDef* getset) noexcept {
    return {slot(Py_tp_new, new_fn), slot(Py_tp_init, init_fn), PyType_Slot{Py_tp_methods, methods},
            doc_slot(doc),           slot(Py_tp_repr, repr_fn), PyType_Slot{Py_tp_getset, getset}};
}

// Creates the type from `spec`, binds it in the module under its short name and publishes
// `table` (static) as its __pyx_vtable__. Throws python_error.
inline object add_published_type(PyObject* module, PyType_Spec* spec, const void* table) {
    object type = object::steal(reinterpret_cast<PyObject*>(add_type(module, spec)));
    publish_vtable(reinterpret_cast<PyTypeObject*>(type.ptr()), table);
    return type;
}

}  // namespace korvo
