// Pickling refusal shared by the non-picklable types.
#include "pickling.hpp"

namespace korvo {

PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* refuse_setstate(PyObject* self, PyObject*) { return refuse_reduce(self, nullptr); }

}  // namespace korvo
