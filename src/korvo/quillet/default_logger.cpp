// The DefaultLogger type: per-level methods, native table and pickling (no fields).
#include "default_logger.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "call_fields.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "korvo/quillet.hpp"
#include "log_call.hpp"
#include "common/critical_section.hpp"
#include "pickle_state.hpp"
#include "quillet/quillet.hpp"
#include "retired_handles.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

default_logger_object* as_default_logger(PyObject* self) noexcept {
    return reinterpret_cast<default_logger_object*>(self);
}

// Thread rules of `fields`: set before the object is handed out (bind), or by __setstate__ inside
// the object's critical section, where copies are taken too. A log call reads it without that:
// what __setstate__ replaces is retired (retired_handles.hpp), so such a call's view stays valid.
bound_fields_ptr fields_of(PyObject* self) {
    const critical_section lock(self);
    return as_default_logger(self)->fields;
}

struct default_logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.default_logger(); }
    static bool filtered(PyObject*, level lvl) {
        quillet_state* st = loaded_state();
        if (st == nullptr) return false;  // the full call looks the default up itself
        const spdlog::logger* logger = current_default(*st);
        return logger == nullptr || !logger->should_log(lvl);
    }
    static std::shared_ptr<spdlog::logger> current(PyObject*) { return held_default(); }
    static void log(PyObject* self, level lvl, const log_request& req) {
        object keep;
        const std::string_view text = message_text(req.msg, keep);
        // Held for the call: Python code run on the way (a finaliser) may replace the module's copy.
        const std::shared_ptr<spdlog::logger> logger = held_default();
        if (logger) log_through(*logger, lvl, text, req, as_default_logger(self)->fields.get());
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

// A bound DefaultLogger's fields follow the (empty) state as a dict: an unbound one pickles
// exactly as before, and a reader that knows no fields gets an unbound DefaultLogger.
object read_bound_fields(PyObject* self, std::size_t, bool& differs) {
    const bound_fields_ptr fields = fields_of(self);
    if (fields && !fields->items.empty()) differs = true;
    return bound_fields_dict(fields.get());
}
void write_bound_fields(PyObject* self, std::size_t, PyObject* value) {
    bound_fields_ptr fields = value == Py_None ? bound_fields_ptr() : bind_fields(nullptr, value);
    const critical_section lock(self);
    retire(self, as_default_logger(self)->fields);  // may throw before anything changed
    std::swap(as_default_logger(self)->fields, fields);
}

constexpr pickled_class pickle_default_logger = [] {
    pickled_class cls = pickled_fields<no_fields, default_logger_type>("__pyx_unpickle_DefaultLogger",
                                                                       {238750788, 228825662, 222419149, ""});
    cls.extra_count = 1;
    cls.read_extra = read_bound_fields;
    cls.write_extra = write_bound_fields;
    return cls;
}();

// Arguments are accepted and ignored: every unbound DefaultLogger is alike.
PyObject* default_logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    default_logger_object* obj = as_default_logger(self);
    obj->vtab = &default_logger_table;
    new (&obj->fields) bound_fields_ptr();
    return self;
}

// bind(**fields): a new DefaultLogger whose records carry self's bound fields with these added.
PyObject* default_logger_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] {
        bound_fields_ptr fields = bind_call(fields_of(self), args, nargs, kwnames);
        object bound = object::steal(check(default_logger_new(state().default_logger(), nullptr, nullptr)));
        as_default_logger(bound.ptr())->fields = std::move(fields);
        return bound.release();
    });
}

// DefaultLogger(fields={...}) for a bound one; an unbound one keeps object's repr.
PyObject* default_logger_repr(PyObject* self) {
    return guard(nullptr, [&] {
        const bound_fields_ptr fields = fields_of(self);
        if (!fields) return check(PyBaseObject_Type.tp_repr(self));
        const std::array<repr_arg, 1> args{{{"fields", bound_fields_dict(fields.get())}}};
        return call_repr(self, args).release();
    });
}

struct default_logger_desc {
    static void teardown(default_logger_object& self) noexcept {
        release_retired(reinterpret_cast<PyObject*>(&self));
        std::destroy_at(&self.fields);
    }
};

auto default_logger_methods = log_methods<default_logger_policy>([] {
    const auto pickling = pickling_method_defs<pickle_default_logger>();
    return std::to_array<PyMethodDef>(
        {method_noargs("flush", default_logger_flush,
                       "flush()\n\nHands every record the current default logger's handlers hold to the operating "
                       "system; a failure is reported like a failed log call."),
         method_fastcall("bind", default_logger_bind,
                         "bind(**fields)\n\nA DefaultLogger whose records carry these fields besides this one's "
                         "(and a call's own fields=, which win)."),
         pickling[0], pickling[1]});
}());
auto default_logger_getset = log_getset<default_logger_policy>();

auto default_logger_slots = type_slots<default_logger_object, default_logger_desc>::slots(std::to_array({
    doc_slot("Logger that writes through the current default logger."),
    slot(Py_tp_new, default_logger_new),
    slot(Py_tp_repr, default_logger_repr),
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
