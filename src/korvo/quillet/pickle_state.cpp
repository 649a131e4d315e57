// Checksums, state application and pickling refusal.
#include "pickle_state.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"

namespace korvo::quillet {

std::int64_t checksum_number(PyObject* obj) {
    object number = to_int_object(obj);
    const long long value = PyLong_AsLongLong(number.ptr());
    if (value == -1 && PyErr_Occurred() != nullptr) throw python_error{};
    return value;
}

void check_checksum(std::int64_t checksum, const field_checksums& sums) {
    if (checksum == sums.written || checksum == sums.accepted_a || checksum == sums.accepted_b) return;
    object pickle = object::steal(check(PyImport_ImportModule("pickle")));
    object error = object::steal(check(PyObject_GetAttrString(pickle.ptr(), "PickleError")));
    // Formatted with Python's own %, so every number reads as the Python side writes it.
    object format = object::steal(check(PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))")));
    object values = object::steal(check(Py_BuildValue("(LLLLs)", static_cast<long long>(checksum),
                                                       static_cast<long long>(sums.written),
                                                       static_cast<long long>(sums.accepted_a),
                                                       static_cast<long long>(sums.accepted_b), sums.fields)));
    object message = object::steal(check(PyUnicode_Format(format.ptr(), values.ptr())));
    PyErr_SetObject(error.ptr(), message.ptr());
    throw python_error{};
}

object new_for_unpickle(PyTypeObject* cls, PyObject* pyx_type) {
    object new_fn = object::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__new__")));
    return object::steal(check(PyObject_CallOneArg(new_fn.ptr(), pyx_type)));
}

void check_setstate_arg(PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        throw python_error{};
    }
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        throw python_error{};
    }
}

void apply_state_dict(PyObject* obj, PyObject* state, Py_ssize_t nfields) {
    if (PyTuple_GET_SIZE(state) <= nfields) return;
    PyObject* extra = PyTuple_GET_ITEM(state, nfields);
    if (check(PyObject_IsTrue(extra)) == 0) return;
    object dict = object::steal(check(PyObject_GetAttrString(obj, "__dict__")));
    object result = object::steal(check(PyObject_CallMethod(dict.ptr(), "update", "O", extra)));
}

}  // namespace korvo::quillet
