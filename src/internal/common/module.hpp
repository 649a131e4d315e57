// The frame every korvo extension module shares: one interpreter per process, one execution
// per module, a warning when the running interpreter is not the one built for.
#pragma once

#include <Python.h>

namespace korvo {

// Per-module guard; one static instance per extension module.
struct module_guard {
    const char* short_name;  // "quillet", as in the re-execution message
    const char* full_name;   // "korvo.quillet.quillet", as in the version warning
    bool executed = false;
};

// The Py_mod_create slot: refuses any interpreter but the first that loaded this module, then
// makes a plain module object named by its ModuleSpec. New reference or null with ImportError set.
PyObject* create_module(PyObject* spec, PyModuleDef* def);

// First step of Py_mod_exec: RuntimeError when this module was executed before; then the
// version-mismatch warning. Throws python_error.
void begin_exec(module_guard& module);

// The slots every korvo module declares. The create slot must refuse a second interpreter
// with our own message, so the module declares per-interpreter support: an undeclared module
// would be refused by an isolated interpreter before our code could run.
// clang-format off
#define KORVO_MODULE_SLOTS(create_fn, exec_fn)                                          \
    {Py_mod_create, reinterpret_cast<void*>(create_fn)},                                 \
        {Py_mod_exec, reinterpret_cast<void*>(exec_fn)},                                 \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},            \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}
// clang-format on

}  // namespace korvo
