// Pickling refusal for extension types whose state cannot be rebuilt from Python.
#pragma once

#include <Python.h>

namespace korvo {

// TypeError "no default __reduce__ due to non-trivial __cinit__"; always null.
PyObject* refuse_reduce(PyObject* self, PyObject* unused);
PyObject* refuse_setstate(PyObject* self, PyObject* state);

}  // namespace korvo

// The two method-table entries every non-picklable korvo type lists.
// clang-format off
#define KORVO_REFUSE_PICKLING_METHODS                                       \
    {"__reduce__", korvo::refuse_reduce, METH_NOARGS, nullptr},             \
        {"__setstate__", korvo::refuse_setstate, METH_O, nullptr}
// clang-format on
