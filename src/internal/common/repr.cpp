// Configuration reprs.
#include "repr.hpp"

#include "errors.hpp"

namespace korvo {

namespace {

// An enumeration member as its class and name (Level.INFO, not <Level.INFO: 2>).
object value_text(PyObject* value) {
    object enum_module = object::steal(check(PyImport_ImportModule("enum")));
    object enum_type = object::steal(check(PyObject_GetAttrString(enum_module.ptr(), "Enum")));
    if (check(PyObject_IsInstance(value, enum_type.ptr())) == 1) {
        object cls = object::steal(check(PyType_GetName(Py_TYPE(value))));
        object name = object::steal(check(PyObject_GetAttrString(value, "name")));
        return object::steal(check(PyUnicode_FromFormat("%U.%U", cls.ptr(), name.ptr())));
    }
    return object::steal(check(PyObject_Repr(value)));
}

}  // namespace

object call_repr(PyObject* self, std::span<const repr_arg> args) {
    object type_name = object::steal(check(PyType_GetQualName(Py_TYPE(self))));
    const int busy = check(Py_ReprEnter(self));
    if (busy > 0) return object::steal(check(PyUnicode_FromFormat("%U(...)", type_name.ptr())));
    struct leave {
        PyObject* self;
        ~leave() { Py_ReprLeave(self); }
    } leave_on_exit{self};
    object parts = object::steal(check(PyList_New(0)));
    for (const repr_arg& arg : args) {
        object text = value_text(arg.value.ptr());
        object part = object::steal(check(PyUnicode_FromFormat("%s=%U", arg.name, text.ptr())));
        check(PyList_Append(parts.ptr(), part.ptr()));
    }
    object separator = object::steal(check(PyUnicode_FromString(", ")));
    object joined = object::steal(check(PyUnicode_Join(separator.ptr(), parts.ptr())));
    return object::steal(check(PyUnicode_FromFormat("%U(%U)", type_name.ptr(), joined.ptr())));
}

void add_attr_args(std::vector<repr_arg>& args, PyObject* source, std::span<const char* const> names) {
    for (const char* name : names) args.push_back({name, object::steal(check(PyObject_GetAttrString(source, name)))});
}

}  // namespace korvo
