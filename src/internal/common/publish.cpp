// Native table publication and type creation shared by every korvo module.
#include "publish.hpp"

#include "errors.hpp"
#include "ref.hpp"

namespace korvo {

void publish_vtable(PyTypeObject* type, const void* table) {
    object cap = object::steal(check(PyCapsule_New(const_cast<void*>(table), nullptr, nullptr)));
    object dict = object::steal(check(PyType_GetDict(type)));
    check(PyDict_SetItemString(dict.ptr(), "__pyx_vtable__", cap.ptr()));
    PyType_Modified(type);
}

void publish_function(PyObject* module, const char* name, void* fn, const char* signature) {
    object table;
    {
        PyObject* existing = nullptr;
        if (check(PyObject_GetOptionalAttrString(module, "__pyx_capi__", &existing)) == 1) {
            table = object::steal(existing);
        } else {
            table = object::steal(check(PyDict_New()));
            check(PyObject_SetAttrString(module, "__pyx_capi__", table.ptr()));
        }
    }
    object cap = object::steal(check(PyCapsule_New(fn, signature, nullptr)));
    check(PyDict_SetItemString(table.ptr(), name, cap.ptr()));
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
    object type = object::steal(check(PyType_FromModuleAndSpec(module, spec, base)));
    check(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.ptr())));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace korvo
