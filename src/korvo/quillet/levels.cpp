// The Level enumeration and its conversions.
#include "levels.hpp"

#include <array>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"

namespace korvo::quillet {

namespace {
constexpr std::array<const char*, 7> level_names{"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL", "OFF"};
}

void add_level_enum(PyObject* module) {
    object enum_module = object::steal(check(PyImport_ImportModule("enum")));
    object int_enum = object::steal(check(PyObject_GetAttrString(enum_module.ptr(), "IntEnum")));
    object members = object::steal(check(PyList_New(0)));
    for (std::size_t n = 0; n < level_names.size(); ++n) {
        object pair = object::steal(check(Py_BuildValue("(sn)", level_names[n], static_cast<Py_ssize_t>(n))));
        check(PyList_Append(members.ptr(), pair.ptr()));
    }
    object args = object::steal(check(Py_BuildValue("(sO)", "Level", members.ptr())));
    object kwargs = object::steal(check(Py_BuildValue("{ss}", "module", "korvo.quillet.quillet")));
    object level = object::steal(check(PyObject_Call(int_enum.ptr(), args.ptr(), kwargs.ptr())));
    check(PyModule_AddObjectRef(module, "Level", level.ptr()));
}

void add_default_patterns(PyObject* module) {
    check(PyModule_AddStringConstant(module, "default_handler_pattern", k_default_handler_pattern));
    check(PyModule_AddStringConstant(module, "default_logger_pattern", k_default_logger_pattern));
}

object level_object(PyObject* module, std::int32_t n) {
    if (n < 0 || n >= static_cast<std::int32_t>(level_names.size())) {
        PyErr_Format(PyExc_ValueError, "%d is not a valid Level", static_cast<int>(n));
        throw python_error{};
    }
    // Looked up every time: whatever is bound to Level now is what callers get.
    object level = get_attr(module, "Level");
    return get_attr(level.ptr(), level_names[static_cast<std::size_t>(n)]);
}

std::int32_t level_number(PyObject* obj) { return to_int32(obj); }

}  // namespace korvo::quillet
