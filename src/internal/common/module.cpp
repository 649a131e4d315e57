// Module creation guard, re-execution guard and version check.
#include "module.hpp"

#include <atomic>
#include <cstdint>

#include "errors.hpp"
#include "ref.hpp"

namespace korvo {
namespace {
// Each module links its own copy of this layer, so each module guards its own interpreter.
std::atomic<std::int64_t> g_owner_interpreter{-1};
}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) {
    return guard(nullptr, [&]() -> PyObject* {
        const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) throw python_error{};
        std::int64_t expected = -1;
        if (!g_owner_interpreter.compare_exchange_strong(expected, current) && expected != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter "
                            "per process.");
            return nullptr;
        }
        object name = object::steal(check(PyObject_GetAttrString(spec, "name")));
        return check(PyModule_NewObject(name.ptr()));
    });
}

void begin_exec(module_guard& module) {
    if (module.executed) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module.short_name);
        throw python_error{};
    }
    module.executed = true;
    const auto runtime = static_cast<unsigned long>(Py_Version);
    const int major = static_cast<int>((runtime >> 24) & 0xFF);
    const int minor = static_cast<int>((runtime >> 16) & 0xFF);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        check(PyErr_WarnFormat(
            PyExc_RuntimeWarning, 1,
            "compile time Python version %d.%d of module '%.100s' does not match runtime version %d.%d",
            PY_MAJOR_VERSION, PY_MINOR_VERSION, module.full_name, major, minor));
    }
}

}  // namespace korvo
