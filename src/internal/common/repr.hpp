// Reprs that show an object's configuration as a call: "Type(name=value, ...)", under the
// instance's own type name, so a subclass shows as itself.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "ref.hpp"

namespace korvo {

struct repr_arg {
    const char* name;
    object value;  // shown by repr(), an enumeration member as Class.NAME
};

// The call text for self's type and args; "Type(...)" when self's repr is already being
// made further up (a value refers back to it). Throws python_error.
object call_repr(PyObject* self, std::span<const repr_arg> args);

// Appends one argument per name, read as that attribute of `source`. Throws python_error.
void add_attr_args(std::vector<repr_arg>& args, PyObject* source, std::span<const char* const> names);

}  // namespace korvo
