// Argument conversion with korvo's published error messages, and fastcall positional-or-keyword
// parsing.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ref.hpp"

namespace korvo {

// Each converter returns the value or throws python_error with the exception set.

// Unsigned 64-bit size from an integer-like object (__index__): OverflowError
// "can't convert negative value to size_t" for negatives.
std::size_t to_size(PyObject* obj);
// An int from an int or any object with __int__ (a float is truncated); TypeError "an integer
// is required" otherwise.
object to_int_object(PyObject* obj);
// Signed 32-bit integer from an int or any object with __int__ (a float is truncated);
// TypeError "an integer is required" otherwise, OverflowError outside 32 bits.
std::int32_t to_int32(PyObject* obj);
// The truth value of any object.
bool to_bool(PyObject* obj);
// Exact type check (a subclass is refused): TypeError
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)". None passes when allow_none.
void check_exact_type(PyObject* obj, PyTypeObject* type, const char* arg_name, bool allow_none = false);
// The same check admitting instances of subclasses too.
void check_instance(PyObject* obj, PyTypeObject* type, const char* arg_name, bool allow_none = false);

// The UTF-8 text of a str (the interpreter keeps the buffer for the str's lifetime). Callers
// check the type first; a failed encoding throws python_error.
std::string_view utf8_of(PyObject* str);
// TypeError "Expected %s, got %.200s" with `expected` and obj's type name. Always throws.
[[noreturn]] void raise_expected(const char* expected, PyObject* obj);

// Parses a METH_FASTCALL | METH_KEYWORDS call against positional-or-keyword parameters.
// `names` lists every parameter; the first `required` must be given. Fills `out` (borrowed
// references, null for parameters not given) and raises the interpreter's usual TypeErrors
// for too many arguments, unknown or repeated keywords and missing arguments.
void parse_args(const char* func_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t required, std::span<PyObject*> out);
// The same for tp_new / tp_init, which receive an argument tuple and a keyword dict (or null).
void parse_tuple_args(const char* func_name, PyObject* args, PyObject* kwargs, std::span<const char* const> names,
                      std::size_t required, std::span<PyObject*> out);

}  // namespace korvo
