// The DefaultLogger type: per-level methods, native table and pickling (no fields).
#include "default_logger.hpp"

#include <array>
#include <string>

#include "common/errors.hpp"
#include "common/type.hpp"
#include "korvo/quillet.hpp"
#include "log_call.hpp"
#include "pickle_state.hpp"
#include "quillet/quillet.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

struct default_logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.default_logger(); }
    static bool filtered(PyObject*, level lvl) {
        quillet_state* st = loaded_state();
        if (st == nullptr) return false;  // the full call looks the default up itself
        const spdlog::logger* logger = current_default(*st);
        return logger == nullptr || !logger->should_log(lvl);
    }
    static std::shared_ptr<spdlog::logger> current(PyObject*) { return held_default(); }
    static void log(PyObject*, level lvl, const log_request& req) {
        const std::string_view text = message_text(req.msg);
        // Held for the call: Python code run on the way (a finaliser) may replace the module's copy.
        const std::shared_ptr<spdlog::logger> logger = held_default();
        if (logger) log_through(*logger, lvl, text, req);
    }
};

constexpr auto default_logger_table = log_table<default_logger_vtable, default_logger_policy>();

PyObject* default_logger_flush(PyObject*, PyObject*) {
    return guard(nullptr, [] {
        if (const std::shared_ptr<spdlog::logger> logger = held_default()) flush_sinks(*logger);
        return new_ref(Py_None);
    });
}

constexpr std::array<const field*, 0> no_fields{};
PyTypeObject* default_logger_type() { return state().default_logger(); }
constexpr pickled_class pickle_default_logger = pickled_fields<no_fields, default_logger_type>(
    "__pyx_unpickle_DefaultLogger", {238750788, 228825662, 222419149, ""});

// Arguments are accepted and ignored: every DefaultLogger is alike.
PyObject* default_logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<default_logger_object*>(self)->vtab = &default_logger_table;
    return self;
}

struct default_logger_desc {};  // no fields

auto default_logger_methods = log_methods<default_logger_policy>([] {
    const auto pickling = pickling_method_defs<pickle_default_logger>();
    return std::to_array<PyMethodDef>(
        {method_noargs("flush", default_logger_flush,
                       "flush()\n\nHands every record the current default logger's handlers hold to the operating "
                       "system; a failure is reported like a failed log call."),
         pickling[0], pickling[1]});
}());
auto default_logger_getset = log_getset<default_logger_policy>();

auto default_logger_slots = type_slots<default_logger_object, default_logger_desc>::slots(std::to_array({
    doc_slot("Logger that writes through the current default logger."),
    slot(Py_tp_new, default_logger_new),
    PyType_Slot{Py_tp_methods, default_logger_methods.data()},
    PyType_Slot{Py_tp_getset, default_logger_getset.data()},
}));

PyType_Spec default_logger_spec = type_spec("korvo.quillet.quillet.DefaultLogger", sizeof(default_logger_object),
                                            k_immutable_type_flags, default_logger_slots.data());

PyMethodDef unpickle_functions[] = {
    unpickle_def<pickle_default_logger>(
        "__pyx_unpickle_DefaultLogger(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    k_methods_end,
};

}  // namespace

void add_default_logger_type(PyObject* module) {
    add_log_type(module, default_logger_spec, quillet_module::of_module(module).default_logger_type,
                 &default_logger_table);
}

void add_default_logger_unpickle(PyObject* module) { check(PyModule_AddFunctions(module, unpickle_functions)); }

}  // namespace korvo::quillet
