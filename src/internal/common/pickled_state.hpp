// Pickled state of the picklable native classes: a class reduces to its module's unpickling
// function, its type, a checksum of its member list and a state tuple of its members in that
// list's order. Each class describes its members once, as a pickled_class.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>

#include "errors.hpp"
#include "ref.hpp"
#include "type.hpp"

namespace korvo {

// The checksum a class writes, the two it also accepts, and its field-list text.
struct field_checksums {
    std::int64_t written;
    std::int64_t accepted_a;
    std::int64_t accepted_b;
    const char* fields;
};

// Everything pickling needs to know about one class.
struct pickled_class {
    const char* unpickle_name;  // the module global, "__pyx_unpickle_<Class>"
    field_checksums sums;
    std::size_t count;  // members, in state order (the member-list text's)
    // Member i's value (a new reference); sets `needs_setstate` when that value must be restored
    // by __setstate__ (the three-item form). Throws python_error.
    object (*read)(PyObject* self, std::size_t i, bool& needs_setstate);
    // Converts and stores member i. Throws python_error.
    void (*write)(PyObject* self, std::size_t i, PyObject* value);
    PyObject* (*module)();    // where unpickle_name lives
    PyTypeObject* (*type)();  // the class whose __new__ makes the objects
    // Members added after the member list was fixed: they follow the __dict__ slot of the state
    // (None when there is no dict), and only when one of them is not at its default, so that an
    // object that leaves them alone pickles exactly as before and older readers ignore them.
    std::size_t extra_count = 0;
    // Extra member i's value; sets `differs` when it is not at its default. Throws python_error.
    object (*read_extra)(PyObject* self, std::size_t i, bool& differs) = nullptr;
    void (*write_extra)(PyObject* self, std::size_t i, PyObject* value) = nullptr;
};

// __reduce__: (unpickle, (type(self), checksum, state)) when no member needs __setstate__, there
// is no non-empty instance __dict__ and the extra members are at their defaults; otherwise
// (unpickle, (type(self), checksum, None), state), the dict appended to the state when present
// (None in its place when only extras follow), then the extras. Throws python_error.
object reduce_object(PyObject* self, const pickled_class& cls);
// Assigns state[i] to the i-th member; then, when the tuple goes on and that element is true,
// updates self.__dict__ with it; the elements after it go to the extra members, in order.
// IndexError for a tuple shorter than the member list.
// Throws python_error.
void apply_state(PyObject* self, PyObject* state, const pickled_class& cls);
// __pyx_unpickle_<Class>(__pyx_type, __pyx_checksum, __pyx_state). Throws python_error.
object unpickle_object(const pickled_class& cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The state argument of __setstate__: TypeError for None and for anything but a tuple.
void check_setstate_arg(PyObject* state);

// Method-table and module-function entries of one class.
template <const pickled_class& Cls>
PyObject* reduce_method(PyObject* self, PyObject*) {
    return guard(nullptr, [&] { return reduce_object(self, Cls).release(); });
}

template <const pickled_class& Cls>
PyObject* setstate_method(PyObject* self, PyObject* state) {
    return guard(nullptr, [&]() -> PyObject* {
        check_setstate_arg(state);
        apply_state(self, state, Cls);
        Py_RETURN_NONE;
    });
}

template <const pickled_class& Cls>
PyObject* unpickle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] { return unpickle_object(Cls, args, nargs, kwnames).release(); });
}

template <const pickled_class& Cls>
PyMethodDef unpickle_def(const char* doc) {
    return method_fastcall(Cls.unpickle_name, unpickle_function<Cls>, doc);
}

// __reduce__ and __setstate__ of one class.
template <const pickled_class& Cls>
std::array<PyMethodDef, 2> pickling_method_defs() {
    return {method_noargs("__reduce__", reduce_method<Cls>), method_o("__setstate__", setstate_method<Cls>)};
}

}  // namespace korvo
