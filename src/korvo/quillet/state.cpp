// Finding the module state, and its share in garbage collection.
#include "state.hpp"

#include <memory>
#include <new>

#include "common/errors.hpp"

namespace korvo::quillet {

namespace {
quillet_state* g_state = nullptr;

quillet_state* state_of(PyObject* module) noexcept { return static_cast<quillet_state*>(PyModule_GetState(module)); }
}  // namespace

quillet_state& init_state(PyObject* module) {
    void* memory = PyModule_GetState(module);
    if (memory == nullptr) throw python_error{};
    auto* st = new (memory) quillet_state{};
    st->module = module;
    return *st;
}

quillet_state& state_of_module(PyObject* module) {
    quillet_state* st = state_of(module);
    if (st == nullptr) throw python_error{};
    return *st;
}

quillet_state& state() {
    if (g_state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "korvo.quillet.quillet is not loaded");
        throw python_error{};
    }
    return *g_state;
}

quillet_state* loaded_state() noexcept { return g_state; }

void publish_state(quillet_state& st) noexcept { g_state = &st; }

int state_traverse(PyObject* module, visitproc visit, void* arg) {
    quillet_state* st = state_of(module);
    if (st == nullptr) return 0;
    for (const auto& type : st->config_types) Py_VISIT(type.ptr());
    Py_VISIT(st->logger_type.ptr());
    Py_VISIT(st->default_logger_type.ptr());
    Py_VISIT(st->py_log_handler_type.ptr());
    Py_VISIT(st->default_handlers.ptr());
    for (const auto& entry : st->line_cache) Py_VISIT(entry.code.ptr());
    for (const auto& entry : st->code_kind_cache) Py_VISIT(entry.code.ptr());
    return 0;
}

int state_clear(PyObject* module) {
    quillet_state* st = state_of(module);
    if (st == nullptr) return 0;
    if (g_state == st) g_state = nullptr;
    for (auto& type : st->config_types) type.reset();
    st->logger_type.reset();
    st->default_logger_type.reset();
    st->py_log_handler_type.reset();
    st->default_handlers.reset();
    st->default_handler_pattern.reset();
    st->default_logger_pattern.reset();
    for (auto& name : st->emit_names) name.reset();
    for (auto& name : st->method_names) name.reset();
    for (auto& entry : st->line_cache) entry.code.reset();
    for (auto& entry : st->code_kind_cache) entry.code.reset();
    return 0;
}

void state_free(void* module) {
    quillet_state* st = state_of(static_cast<PyObject*>(module));
    if (st == nullptr) return;
    state_clear(static_cast<PyObject*>(module));
    std::destroy_at(st);
}

}  // namespace korvo::quillet
