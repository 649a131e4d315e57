// Argument conversion and parsing; messages match what the interpreter and the system say.
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

std::int32_t to_int32(PyObject* obj) {
    object number;
    if (PyLong_Check(obj)) {
        number = object::borrow(obj);
    } else {
        // Only the type's own __int__ counts: int("5")-style parsing of text is not wanted.
        auto nb_int = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(obj), Py_nb_int));
        if (nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            throw python_error{};
        }
        number = object::steal(check(nb_int(obj)));
        if (!PyLong_Check(number.ptr())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(number.ptr())->tp_name);
            throw python_error{};
        }
    }
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

void check_exact_type(PyObject* obj, PyTypeObject* type, const char* arg_name, bool allow_none) {
    if (Py_IS_TYPE(obj, type) || (allow_none && obj == Py_None)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg_name, type->tp_name, Py_TYPE(obj)->tp_name);
    throw python_error{};
}

void parse_args(const char* func_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t required, std::span<PyObject*> out) {
    const auto total = static_cast<Py_ssize_t>(names.size());
    for (auto& slot : out) slot = nullptr;
    if (nargs > total) {
        const bool exact = required == names.size();
        PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd positional argument%s (%zd given)", func_name,
                     exact ? "exactly" : "at most", total, total == 1 ? "" : "s", nargs);
        throw python_error{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
            throw python_error{};
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < total; ++i) {
            if (PyUnicode_EqualToUTF8(key, names[static_cast<std::size_t>(i)]) == 1) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", func_name, key);
            throw python_error{};
        }
        if (found < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%U') and position (%zd)",
                         func_name, key, found + 1);
            throw python_error{};
        }
        out[static_cast<std::size_t>(found)] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zu)", func_name, names[i],
                         i + 1);
            throw python_error{};
        }
    }
}

}  // namespace korvo
