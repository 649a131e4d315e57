// The DefaultLogger type: per-level methods, native table and pickling (no fields).
#include "default_logger.hpp"

#include <array>
#include <string>

#include "common/errors.hpp"
#include "common/publish.hpp"
#include "korvo/quillet.hpp"
#include "log_call.hpp"
#include "pickle_state.hpp"
#include "quillet/quillet.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

struct default_logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.default_logger(); }
    static void log(PyObject*, level lvl, const log_request& req) {
        const std::string_view text = message_text(req.msg);
        const std::shared_ptr<spdlog::logger> logger = registry_default();
        if (logger) log_through(*logger, lvl, text, req);
    }
};

constexpr auto default_logger_table = log_table<default_logger_vtable, default_logger_policy>();

constexpr std::array<const field*, 0> no_fields{};
constexpr pickled_class pickle_default_logger{
    "__pyx_unpickle_DefaultLogger", {238750788, 228825662, 222419149, ""}, no_fields, [](const quillet_state& st) {
        return st.default_logger();
    }};

// Arguments are accepted and ignored: every DefaultLogger is alike.
PyObject* default_logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<default_logger_object*>(self)->vtab = &default_logger_table;
    return self;
}

void default_logger_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

auto default_logger_methods = log_methods<default_logger_policy>(
    std::to_array<PyMethodDef>({KORVO_QUILLET_PICKLING_METHODS(pickle_default_logger)}));

PyType_Slot default_logger_slots[] = {
    {Py_tp_doc, const_cast<char*>("Logger that writes through the current default logger.")},
    {Py_tp_new, reinterpret_cast<void*>(default_logger_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(default_logger_dealloc)},
    {Py_tp_methods, default_logger_methods.data()},
    {0, nullptr},
};

PyType_Spec default_logger_spec = {
    .name = "korvo.quillet.quillet.DefaultLogger",
    .basicsize = sizeof(default_logger_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = default_logger_slots,
};

PyMethodDef unpickle_functions[] = {
    unpickle_def<pickle_default_logger>(
        "__pyx_unpickle_DefaultLogger(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_default_logger_type(PyObject* module) {
    PyTypeObject* type = add_type(module, &default_logger_spec);
    quillet_state& st = state_of_module(module);
    st.default_logger_type = object::steal(reinterpret_cast<PyObject*>(type));
    publish_vtable(type, &default_logger_table);
}

void add_default_logger_unpickle(PyObject* module) { check(PyModule_AddFunctions(module, unpickle_functions)); }

}  // namespace korvo::quillet
