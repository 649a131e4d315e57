// Module state of korvo.quillet.quillet, and how code without a module argument finds it.
#pragma once

#include <Python.h>

#include <array>

#include "common/ref.hpp"

namespace korvo::quillet {

// One remembered line number: finding a frame's line scans its code's line table from the
// start, which costs more the further into a long function the call sits.
struct line_cache_entry {
    object code;  // held, so that its address cannot be reused by another code object
    int offset = -1;
    int line = 0;
};
inline constexpr std::size_t line_cache_size = 256;

struct quillet_state {
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    object logger_type;
    object default_logger_type;
    // Interned "trace" .. "critical", for the override lookup of native calls.
    std::array<object, 6> method_names;
    // Line numbers by (code object, instruction offset) of recent call sites.
    std::array<line_cache_entry, line_cache_size> line_cache;

    PyTypeObject* logger() const noexcept { return reinterpret_cast<PyTypeObject*>(logger_type.ptr()); }
    PyTypeObject* default_logger() const noexcept {
        return reinterpret_cast<PyTypeObject*>(default_logger_type.ptr());
    }
};

// Constructs the state in the module's state memory and makes it the one state() finds: the
// module loads into one interpreter, once per process, so one pointer serves every native entry.
quillet_state& init_state(PyObject* module);
// The state inside `module` (during exec, before it is published).
quillet_state& state_of_module(PyObject* module);
// Makes `st` the state that state() finds, once the module is complete.
void publish_state(quillet_state& st) noexcept;
// The module's state; RuntimeError (throws python_error) once the module is gone.
quillet_state& state();
// The module's state, or null once the module is gone. Never raises.
quillet_state* loaded_state() noexcept;

// Module slots m_traverse, m_clear and m_free.
int state_traverse(PyObject* module, visitproc visit, void* arg);
int state_clear(PyObject* module);
void state_free(void* module);

}  // namespace korvo::quillet
