// Module state of korvo.quillet.quillet, and how code without a module argument finds it.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include <spdlog/logger.h>

#include "common/module_state.hpp"
#include "common/ref.hpp"
#include "quillet/quillet.hpp"

namespace korvo::quillet {

// One remembered line number: finding a frame's line scans its code's line table from the
// start, which costs more the further into a long function the call sits.
struct line_cache_entry {
    object code;  // held, so that its address cannot be reused by another code object
    int offset = -1;
    int line = 0;
};
inline constexpr std::size_t k_line_cache_size = 256;

// What a call-site walk needs of a code object, worked out once per code object: its texts as
// a record shows them (UTF-8 held by the code's own str objects) and the tests the walk makes.
struct code_facts {
    const char* file = "<unknown>";     // the file name after its last "/"
    const char* function = "<module>";  // the code's name
    bool module_level = false;          // runs a module's top level (or has no readable name)
    bool logging_package = false;       // its file name holds both "logging" and "__init__.py"
    bool frozen = false;                // the interpreter's frozen start-up and import machinery
};
struct code_facts_entry {
    object code;  // held, as in line_cache_entry (and so the texts stay valid)
    code_facts facts;
};
inline constexpr std::size_t k_code_facts_cache_size = 256;

// The library's default logger as last looked up, and the registry generation read before that
// lookup: while the generation reads the same, the default has not been replaced.
struct default_cache {
    std::uint64_t generation = ~std::uint64_t{0};  // nothing looked up yet
    std::shared_ptr<spdlog::logger> logger;
};

// A class whose instances, as last checked, have their attributes of interest read straight from
// their instance dict (stdlib_bridge.cpp): valid while the class's version tag stays `version`.
struct plain_class_memo {
    object type;  // held, so that its address cannot be reused by another class
    unsigned int version = 0;
    bool plain = false;
};

// The configuration classes, in the order they are created.
enum class config_class : std::size_t {
    log_handler,
    stdout_handler,
    stderr_handler,
    basic_console_handler,
    console_handler,
    file_handler,
    rotating_file_handler,
    color_scheme,
    syslog_handler,  // made by add_syslog_handler_type, after the others
    count
};

// Interned names of what PyLogHandler.emit reads from a record and from itself on every call.
enum class emit_name : std::size_t {
    get_message,
    encode,
    levelno,
    exc_info,
    stack_info,
    msg,
    args,
    dict,
    critical,  // the five thresholds, in the order they are compared
    error,
    warn,
    info,
    debug,
    count
};

// Thread rules. Everything but the caches below is set while the module executes, before it is
// published, and only read afterwards. The caches are written by log calls and emit on any
// thread: with the interpreter lock, that lock orders them; on the free-threaded build each
// names its guard (an ft_mutex_lock on the PyMutex beside it), and no reference is dropped
// while a guard is held.
struct quillet_state {
    static constexpr const char* module_name = "korvo.quillet.quillet";
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    std::array<object, static_cast<std::size_t>(config_class::count)> config_types;
    object logger_type;
    object default_logger_type;
    object py_log_handler_type;  // PyLogHandler, a Python class on logging.Handler
    // The attribute names every standard LogRecord has (a frozenset): the others of a
    // forwarded record are its `extra` and become the record's fields.
    object standard_record_attributes;
    // The same names in the order a LogRecord's __init__ sets them (a tuple of the interned
    // names): most records' dicts start with exactly these, found by identity.
    object standard_record_order;
    // Defaults of construction: one shared handler list that construction never modifies, and
    // the default patterns as str.
    object default_handlers;
    object default_handler_pattern;
    object default_logger_pattern;
    std::array<object, static_cast<std::size_t>(emit_name::count)> emit_names;
    // LogRecord.getMessage as the logging package defines it, and the last record and handler
    // classes checked for emit's reads from the instance dict.
    object log_record_get_message;
    // Where msg, args, levelno, exc_info and stack_info stand among standard_record_order.
    std::array<std::size_t, 5> record_positions{};
    bool record_positions_known = false;
    // Guarded by memo_mutex (a lookup and an update each hold it; the verdict is worked out
    // between them, without it, since that runs Python code).
    PyMutex memo_mutex{};
    plain_class_memo record_class;
    plain_class_memo handler_class;
    // Interned "trace" .. "critical", for the override lookup of native calls.
    std::array<object, 6> method_names;
    // Interned "fields": the keyword as compiled calls pass it, compared by identity first.
    object fields_keyword;
    // Line numbers by (code object, instruction offset) of recent call sites, and the facts of
    // their code objects. Guarded by site_cache_mutex for a whole call-site walk.
    PyMutex site_cache_mutex{};
    std::array<line_cache_entry, k_line_cache_size> line_cache;
    std::array<code_facts_entry, k_code_facts_cache_size> code_facts_cache;
    // The registry's count of default replacements (an atomic of the library).
    const std::atomic<std::uint64_t>* default_generation = &::quillet::LoggerRegistry::default_generation();
    // The default as last looked up, used with the interpreter lock only: the free-threaded
    // build keeps one such cache per thread instead (default_cache_of, log_call.hpp), so a
    // filtered call there stays one atomic load, with no lock and no shared write.
    default_cache cached_default;

    template <class F>
    void visit_fields(F&& f) {
        for (auto& type : config_types) f(type);
        f(logger_type);
        f(default_logger_type);
        f(py_log_handler_type);
        f(standard_record_attributes);
        f(standard_record_order);
        f(default_handlers);
        f(default_handler_pattern);
        f(default_logger_pattern);
        for (auto& name : emit_names) f(name);
        f(log_record_get_message);
        f(record_class.type);
        f(handler_class.type);
        for (auto& name : method_names) f(name);
        f(fields_keyword);
        for (auto& entry : line_cache) f(entry.code);
        for (auto& entry : code_facts_cache) f(entry.code);
    }

    PyTypeObject* config(config_class c) const noexcept {
        return reinterpret_cast<PyTypeObject*>(config_types[static_cast<std::size_t>(c)].ptr());
    }
    PyObject* name(emit_name n) const noexcept { return emit_names[static_cast<std::size_t>(n)].ptr(); }
    PyTypeObject* logger() const noexcept { return reinterpret_cast<PyTypeObject*>(logger_type.ptr()); }
    PyTypeObject* default_logger() const noexcept { return reinterpret_cast<PyTypeObject*>(default_logger_type.ptr()); }
};

// The module's state lives in module memory; the module loads into one interpreter, once per
// process, so one pointer serves every native entry.
using quillet_module = module_state<quillet_state>;

// The module's state; RuntimeError (throws python_error) once the module is gone.
inline quillet_state& state() { return quillet_module::state(); }
// The module's state, or null once the module is gone. Never raises.
inline quillet_state* loaded_state() noexcept { return quillet_module::loaded(); }

}  // namespace korvo::quillet
