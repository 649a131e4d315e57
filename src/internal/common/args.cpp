// Argument conversion and parsing; messages match the interpreter's and korvo's published ones.
#include "args.hpp"

#include <cstring>
#include <limits>

#include "errors.hpp"
#include "ref.hpp"

namespace korvo {

std::size_t to_size(PyObject* obj) {
    object index = object::steal(check(PyNumber_Index(obj)));
    if (PyLong_IsNegative(index.ptr()) == 1) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
        throw python_error{};
    }
    std::size_t value = PyLong_AsSize_t(index.ptr());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) throw python_error{};
    return value;
}

object to_int_object(PyObject* obj) {
    if (PyLong_Check(obj)) return object::borrow(obj);
    // Only the type's own __int__ counts: int("5")-style parsing of text is not wanted.
    auto nb_int = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(obj), Py_nb_int));
    if (nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        throw python_error{};
    }
    object number = object::steal(check(nb_int(obj)));
    if (!PyLong_Check(number.ptr())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.ptr())->tp_name);
        throw python_error{};
    }
    return number;
}

std::int32_t to_int32(PyObject* obj) {
    object number = to_int_object(obj);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) throw python_error{};
    if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw python_error{};
    }
    return static_cast<std::int32_t>(value);
}

bool to_bool(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) throw python_error{};
    return {utf8, static_cast<std::size_t>(size)};
}

void raise_expected(const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
    throw python_error{};
}

namespace {
[[noreturn]] void raise_incorrect_type(PyObject* obj, PyTypeObject* type, const char* arg_name) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    throw python_error{};
}
}  // namespace

void check_exact_type(PyObject* obj, PyTypeObject* type, const char* arg_name, bool allow_none) {
    if (Py_IS_TYPE(obj, type) || (allow_none && obj == Py_None)) return;
    raise_incorrect_type(obj, type, arg_name);
}

void check_instance(PyObject* obj, PyTypeObject* type, const char* arg_name, bool allow_none) {
    if (PyObject_TypeCheck(obj, type) || (allow_none && obj == Py_None)) return;
    raise_incorrect_type(obj, type, arg_name);
}

namespace {

void bind_positional(const char* func_name, PyObject* const* args, Py_ssize_t nargs, std::span<const char* const> names,
                     std::size_t required, std::span<PyObject*> out) {
    const auto total = static_cast<Py_ssize_t>(names.size());
    for (auto& slot : out) slot = nullptr;
    if (nargs > total) {
        const bool exact = required == names.size();
        PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd positional argument%s (%zd given)", func_name,
                     exact ? "exactly" : "at most", total, total == 1 ? "" : "s", nargs);
        throw python_error{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
}

void bind_keyword(const char* func_name, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  std::span<const char* const> names, std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
        throw python_error{};
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_EqualToUTF8(key, names[i]) != 1) continue;
        if (static_cast<Py_ssize_t>(i) < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%U') and position (%zu)", func_name,
                         key, i + 1);
            throw python_error{};
        }
        out[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", func_name, key);
    throw python_error{};
}

void check_required(const char* func_name, std::span<const char* const> names, std::size_t required,
                    std::span<PyObject*> out) {
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zu)", func_name, names[i],
                         i + 1);
            throw python_error{};
        }
    }
}

}  // namespace

void parse_args(const char* func_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t required, std::span<PyObject*> out) {
    bind_positional(func_name, args, nargs, names, required, out);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        bind_keyword(func_name, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, names, out);
    check_required(func_name, names, required, out);
}

void parse_tuple_args(const char* func_name, PyObject* args, PyObject* kwargs, std::span<const char* const> names,
                      std::size_t required, std::span<PyObject*> out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bind_positional(func_name, nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, names, required, out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(func_name, key, value, nargs, names, out);
    }
    check_required(func_name, names, required, out);
}

}  // namespace korvo
