// Pickling support shared by the module's types: checksums of field lists, the unpickling
// steps, and the refusal of types that cannot be pickled.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/ref.hpp"

namespace korvo::quillet {

// The checksum a class writes, the two it also accepts, and its field-list text.
struct field_checksums {
    std::int64_t written;
    std::int64_t accepted_a;
    std::int64_t accepted_b;
    const char* fields;
};

// The __pyx_checksum argument as a C long: TypeError "an integer is required" for a non-integer.
std::int64_t checksum_number(PyObject* obj);
// pickle.PickleError "Incompatible checksums (...)" unless `checksum` is one of `sums`.
void check_checksum(std::int64_t checksum, const field_checksums& sums);
// cls.__new__(pyx_type): a new object of pyx_type with its fields as after allocation.
object new_for_unpickle(PyTypeObject* cls, PyObject* pyx_type);
// The state argument of __setstate__: TypeError for None and for anything but a tuple.
void check_setstate_arg(PyObject* state);
// After the `nfields` fields: when the state holds a true element there, update obj.__dict__ with it.
void apply_state_dict(PyObject* obj, PyObject* state, Py_ssize_t nfields);


}  // namespace korvo::quillet
