// Reduction, state application and the unpickling steps shared by the picklable classes.
#include "pickled_state.hpp"

#include <array>

#include "args.hpp"
#include "attr.hpp"

namespace korvo {

namespace {

std::int64_t checksum_number(PyObject* obj) {
    object number = to_int_object(obj);
    const long long value = PyLong_AsLongLong(number.ptr());
    if (value == -1 && PyErr_Occurred() != nullptr) throw python_error{};
    return value;
}

void check_checksum(std::int64_t checksum, const field_checksums& sums) {
    if (checksum == sums.written || checksum == sums.accepted_a || checksum == sums.accepted_b) return;
    object pickle = object::steal(check(PyImport_ImportModule("pickle")));
    object error = get_attr(pickle.ptr(), "PickleError");
    // Formatted with Python's own %, so every number reads as the Python side writes it.
    object format =
        object::steal(check(PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))")));
    object values = object::steal(check(
        Py_BuildValue("(LLLLs)", static_cast<long long>(checksum), static_cast<long long>(sums.written),
                      static_cast<long long>(sums.accepted_a), static_cast<long long>(sums.accepted_b), sums.fields)));
    object message = object::steal(check(PyUnicode_Format(format.ptr(), values.ptr())));
    PyErr_SetObject(error.ptr(), message.ptr());
    throw python_error{};
}

// A tuple of `count` members read by `read`, which sets `flag` as pickled_class says.
object read_members(PyObject* self, std::size_t count, object (*read)(PyObject*, std::size_t, bool&), bool& flag) {
    object values = object::steal(check(PyTuple_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i) {
        object value = read(self, i, flag);
        PyTuple_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i), value.release());
    }
    return values;
}

}  // namespace

object reduce_object(PyObject* self, const pickled_class& cls) {
    bool use_setstate = false;
    object values = read_members(self, cls.count, cls.read, use_setstate);
    object unpickle = get_attr(cls.module(), cls.unpickle_name);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    const long checksum = static_cast<long>(cls.sums.written);

    object dict = get_optional_attr(self, "__dict__");
    const bool has_dict = dict && check(PyObject_IsTrue(dict.ptr())) == 1;
    bool extras_differ = false;
    object extras = read_members(self, cls.extra_count, cls.read_extra, extras_differ);
    if (has_dict || extras_differ) {
        object tail = object::steal(check(PyTuple_Pack(1, has_dict ? dict.ptr() : Py_None)));
        if (extras_differ) tail = object::steal(check(PySequence_Concat(tail.ptr(), extras.ptr())));
        values = object::steal(check(PySequence_Concat(values.ptr(), tail.ptr())));
        use_setstate = true;
    }
    if (use_setstate)
        return object::steal(check(Py_BuildValue("(O(OlO)O)", unpickle.ptr(), type, checksum, Py_None, values.ptr())));
    return object::steal(check(Py_BuildValue("(O(OlO))", unpickle.ptr(), type, checksum, values.ptr())));
}

void apply_state(PyObject* self, PyObject* state, const pickled_class& cls) {
    const auto nfields = static_cast<Py_ssize_t>(cls.count);
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    for (Py_ssize_t i = 0; i < nfields; ++i) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            throw python_error{};
        }
        cls.write(self, static_cast<std::size_t>(i), PyTuple_GET_ITEM(state, i));
    }
    if (size <= nfields) return;
    PyObject* dict_state = PyTuple_GET_ITEM(state, nfields);
    if (check(PyObject_IsTrue(dict_state)) == 1) {
        object dict = get_attr(self, "__dict__");
        call_method(dict.ptr(), "update", dict_state);
    }
    const auto nextra = static_cast<Py_ssize_t>(cls.extra_count);
    for (Py_ssize_t i = 0; i < nextra && nfields + 1 + i < size; ++i)
        cls.write_extra(self, static_cast<std::size_t>(i), PyTuple_GET_ITEM(state, nfields + 1 + i));
}

object unpickle_object(const pickled_class& cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 3> names{"__pyx_type", "__pyx_checksum", "__pyx_state"};
    std::array<PyObject*, 3> values{};
    parse_args(cls.unpickle_name, args, nargs, kwnames, names, 3, values);
    const std::int64_t checksum = checksum_number(values[1]);
    check_exact_type(values[2], &PyTuple_Type, "__pyx_state", true);
    check_checksum(checksum, cls.sums);
    // X.__new__(__pyx_type): a new object of __pyx_type with its fields as after allocation.
    object new_fn = get_attr(reinterpret_cast<PyObject*>(cls.type()), "__new__");
    object result = object::steal(check(PyObject_CallOneArg(new_fn.ptr(), values[0])));
    if (values[2] != Py_None) apply_state(result.ptr(), values[2], cls);
    return result;
}

void check_setstate_arg(PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        throw python_error{};
    }
    if (!PyTuple_CheckExact(state)) raise_expected("tuple", state);
}

}  // namespace korvo
