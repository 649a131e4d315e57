// korvo.quillet.quillet for other extension modules: the instance layouts of Logger and
// DefaultLogger, their native method tables (published as __pyx_vtable__ in each type's
// dictionary), the logger lookups published in the module's __pyx_capi__, and import helpers.
// Needs the headers of libquillet and spdlog.
//
// Rules for every entry below: call with the interpreter lock held; `self` and `msg` are
// borrowed. No entry releases the lock, and none lets a C++ exception escape.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "korvo/capsule.hpp"
#include "quillet/quillet.hpp"

namespace korvo::quillet {

// Display codes of a native log call: `count` of fg_color, bg_color, effect (in that order)
// are given; the rest read as -1 (not given). A null pointer means none is given.
struct log_codes {
    int count = 0;
    std::int32_t fg_color = -1;
    std::int32_t bg_color = -1;
    std::int32_t effect = -1;
};

// One per-level operation. `self` must be an instance of the type (or of a subclass) whose
// table it came from, else TypeError. `msg` must be exactly a str; None raises AttributeError,
// other types TypeError. With skip_dispatch 0 and `self` of a Python subclass that overrides
// the method, the override is called with (msg, fg_color, bg_color, effect) instead and its
// exception, if any, comes back here. Returns 0, or -1 with an exception set; a record that
// reached the sinks never fails (a sink that throws is reported through spdlog's error handler).
using log_entry = int (*)(PyObject* self, PyObject* msg, int skip_dispatch, const log_codes* codes);

struct logger_vtable;
struct default_logger_vtable;
struct bound_fields;  // the key-value fields a bound logger adds to its records (opaque here)

// Instance layout of Logger. Fields belong to the Logger: read them, never assign them. On the
// free-threaded build a second __init__ may replace them while you read: copy them inside the
// Logger's critical section (Py_BEGIN_CRITICAL_SECTION), or take logger_handle.
struct logger_object {
    PyObject_HEAD
    const logger_vtable* vtab;
    ::quillet::LoggerFactory factory;            // the builder, used only while constructing
    ::quillet::SpdLogger logger;                 // the logger the per-level operations use; empty until built
    std::shared_ptr<spdlog::logger> logger_ptr;  // what the factory built; empty until built
    std::shared_ptr<const bound_fields> fields;  // fields added to every record; empty unless bound
};

// Logger's table, in this order.
struct logger_vtable {
    // A copy of self's `logger` handle (empty for a Logger not yet built). Never fails for a
    // Logger; for any other object returns an empty handle with TypeError set.
    ::quillet::SpdLogger (*logger_handle)(PyObject* self);
    log_entry trace;
    log_entry debug;
    log_entry info;
    log_entry warn;
    log_entry error;
    log_entry critical;
};

// Instance layout of DefaultLogger: its table and, for a bound one, its fields. Every call
// logs through the library's default logger of that moment and does nothing when there is none.
struct default_logger_object {
    PyObject_HEAD
    const default_logger_vtable* vtab;
    std::shared_ptr<const bound_fields> fields;  // fields added to every record; empty unless bound
};

// DefaultLogger's table, in this order.
struct default_logger_vtable {
    log_entry trace;
    log_entry debug;
    log_entry info;
    log_entry warn;
    log_entry error;
    log_entry critical;
};

// What import_api hands out. The type references are owned by the caller (keep them for as
// long as the tables are used: each table lives as long as its type).
struct api {
    PyTypeObject* logger_type = nullptr;
    const logger_vtable* logger = nullptr;
    PyTypeObject* default_logger_type = nullptr;
    const default_logger_vtable* default_logger = nullptr;
};

// Imports korvo.quillet.quillet and fills `*out` with new type references and their tables.
// Returns 0, or -1 with an exception set and `*out` unchanged.
inline int import_api(api* out) {
    PyTypeObject* logger_type = korvo::capsule::import_type("korvo.quillet.quillet", "Logger");
    if (logger_type == nullptr) return -1;
    PyTypeObject* default_type = korvo::capsule::import_type("korvo.quillet.quillet", "DefaultLogger");
    if (default_type == nullptr) {
        Py_DECREF(logger_type);
        return -1;
    }
    const void* logger_table = korvo::capsule::get_vtable(logger_type);
    const void* default_table = logger_table != nullptr ? korvo::capsule::get_vtable(default_type) : nullptr;
    if (default_table == nullptr) {
        Py_DECREF(logger_type);
        Py_DECREF(default_type);
        return -1;
    }
    out->logger_type = logger_type;
    out->logger = static_cast<const logger_vtable*>(logger_table);
    out->default_logger_type = default_type;
    out->default_logger = static_cast<const default_logger_vtable*>(default_table);
    return 0;
}

// --- Logger lookups (__pyx_capi__) -----------------------------------------------------------
// Each is published under its name as a capsule named by its signature text; import_capi checks
// the texts. All three need the interpreter lock and never let a C++ exception escape; after a
// call, a pending Python exception (PyErr_Occurred) is the only sign of failure.

// Optional arguments of get_logger_ptr and get_logger: the first `count` of (name, flag) are
// given, the rest ignored. `flag` is accepted and not used: a name that is not registered
// always gives the current default logger.
struct lookup_options {
    int count = 0;
    PyObject* name = nullptr;  // borrowed
    int flag = 0;
};

// The logger spdlog's registry holds under `name` (NUL-terminated UTF-8); an empty handle when
// none is. A null name sets SystemError and gives an empty handle.
using get_logger_by_name_fn = ::quillet::SpdLogger (*)(const char* name);
// LoggerRegistry::get_logger for a name given as bytes or bytearray (absent: b"", the default).
// The result is a reference to a slot of the calling thread, valid until that thread's next
// call: copy it at once. On failure (TypeError for any other name type) the slot is empty.
using get_logger_ptr_fn = std::shared_ptr<spdlog::logger>& (*)(lookup_options*);
// LoggerRegistry::get_logger for a name given as an exact str, UTF-8 encoded (absent: "", the
// default), stored into `handle`. None raises AttributeError, other types TypeError; on
// failure `handle` is left unchanged.
using get_logger_fn = void (*)(::quillet::SpdLogger& handle, lookup_options* options);

inline constexpr const char* get_logger_by_name_signature = "SpdLogger (char const *)";
inline constexpr const char* get_logger_ptr_signature =
    "std::shared_ptr<spdlog::logger>  &(struct __pyx_opt_args_5korvo_7quillet_7quillet_get_logger_ptr "
    "*__pyx_optional_args)";
inline constexpr const char* get_logger_signature =
    "void (SpdLogger &, struct __pyx_opt_args_5korvo_7quillet_7quillet_get_logger *__pyx_optional_args)";

struct capi {
    get_logger_by_name_fn get_logger_by_name = nullptr;
    get_logger_ptr_fn get_logger_ptr = nullptr;
    get_logger_fn get_logger = nullptr;
};

// Imports korvo.quillet.quillet and fills `out` with its three lookups, each checked against
// its signature text. Returns 0, or -1 with an exception set and `out` unchanged. The functions
// stay valid for the life of the process (the module is never unloaded).
inline int import_capi(capi& out) {
    constexpr const char* module = "korvo.quillet.quillet";
    void* by_name = korvo::capsule::import_function(module, "get_logger_by_name", get_logger_by_name_signature);
    if (by_name == nullptr) return -1;
    void* ptr = korvo::capsule::import_function(module, "get_logger_ptr", get_logger_ptr_signature);
    if (ptr == nullptr) return -1;
    void* get = korvo::capsule::import_function(module, "get_logger", get_logger_signature);
    if (get == nullptr) return -1;
    out.get_logger_by_name = reinterpret_cast<get_logger_by_name_fn>(by_name);
    out.get_logger_ptr = reinterpret_cast<get_logger_ptr_fn>(ptr);
    out.get_logger = reinterpret_cast<get_logger_fn>(get);
    return 0;
}

}  // namespace korvo::quillet
