// Pickled state of the picklable classes: a class reduces to its unpickling function, its type,
// a checksum of its field list and a state tuple of its fields in that list's order.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>

#include "common/errors.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "fields.hpp"
#include "state.hpp"

namespace korvo::quillet {

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
    std::span<const field* const> fields;  // in state order (the field-list text's)
    PyTypeObject* (*type)(const quillet_state&);
};

// __reduce__: (unpickle, (type(self), checksum, state)) when no text field is set and there is
// no non-empty instance __dict__; otherwise (unpickle, (type(self), checksum, None), state),
// the dict appended to the state when present. Throws python_error.
object reduce_object(PyObject* self, const pickled_class& cls);
// Assigns state[i] to the i-th field; then, when the tuple goes on and that element is true,
// updates self.__dict__ with it. IndexError for a tuple shorter than the field list.
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
        return new_ref(Py_None);
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

}  // namespace korvo::quillet
