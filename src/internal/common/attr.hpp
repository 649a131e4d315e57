// Attribute access by a C name, with the name interned: the interpreter's type attribute cache
// indexes names by identity and keeps the names it caches, so a fresh str per lookup misses the
// cache and takes (and holds) another slot of it every time.
#pragma once

#include <Python.h>

#include "errors.hpp"
#include "ref.hpp"

namespace korvo {

// The interned str for `name`. Throws python_error.
inline object interned(const char* name) { return object::steal(check(PyUnicode_InternFromString(name))); }

// obj.<name>. Throws python_error.
inline object get_attr(PyObject* obj, const char* name) {
    object key = interned(name);
    return object::steal(check(PyObject_GetAttr(obj, key.ptr())));
}

// obj.<name>, or an empty object when obj has no such attribute. Throws python_error.
inline object get_optional_attr(PyObject* obj, const char* name) {
    object key = interned(name);
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttr(obj, key.ptr(), &value));
    return object::steal(value);
}

// obj.<name>(args...), each argument a borrowed PyObject*; a tuple argument stays one
// argument. Throws python_error.
template <class... Args>
inline object call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return object::steal(check(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(Args), nullptr)));
}
template <class... Args>
inline object call_method(PyObject* obj, const char* name, Args... args) {
    object key = interned(name);
    return call_method(obj, key.ptr(), args...);
}

}  // namespace korvo
