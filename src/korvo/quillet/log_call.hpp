// The per-level log call shared by Logger and DefaultLogger: argument rules, message
// colouring, the Python call site, and delivery of one record to each admitting sink.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <spdlog/common.h>
#include <spdlog/logger.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "call_fields.hpp"
#include "korvo/quillet.hpp"
#include "state.hpp"

namespace korvo::quillet {

using level = spdlog::level::level_enum;

// The levels that have a log method, in method-table and native-table order; a level's number
// indexes k_method_names.
inline constexpr std::array<level, 6> k_method_levels{level::trace, level::debug, level::info,
                                                      level::warn,  level::err,   level::critical};
inline constexpr std::array<const char*, 6> k_method_names{"trace", "debug", "info", "warn", "error", "critical"};
static_assert([] {
    for (std::size_t i = 0; i < k_method_levels.size(); ++i)
        if (static_cast<std::size_t>(k_method_levels[i]) != i) return false;
    return true;
}());

// One call's arguments; msg and fields are borrowed from the caller.
struct log_request {
    PyObject* msg = nullptr;
    std::int32_t fg_color = -1;
    std::int32_t bg_color = -1;
    std::int32_t effect = -1;
    PyObject* fields = nullptr;  // a dict, None or null (none given); converted only when logged
};

// Python-level arguments (msg, fg_color=-1, bg_color=-1, effect=-1, *, fields=None) of method
// `name`; the codes are converted and fields' type checked here, msg is checked by message_text. A code given by position that is no
// integer raises a TypeError that says the arguments after msg are colour codes (it is most
// likely a %-style argument). Throws python_error.
log_request parse_log_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The arguments of log(level, msg, fg_color=-1, bg_color=-1, effect=-1, *, fields=None): the level must be one
// to log at, TRACE to CRITICAL (ValueError otherwise). Throws python_error.
std::pair<level, log_request> parse_level_log_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same from a native caller's codes (null: none given).
log_request native_log_args(PyObject* msg, const log_codes* codes) noexcept;

// msg as UTF-8 up to its first NUL: a view of the str's own UTF-8 buffer, valid while msg
// lives, or, for a str with lone surrogates, of their escaped form held by `keep`
// (loggable_utf8). TypeError unless msg is exactly a str, AttributeError for None. Throws
// python_error.
std::string_view message_text(PyObject* msg, object& keep);
// The UTF-8 of an argument `arg_name` that must be exactly a str: TypeError otherwise,
// AttributeError for None (the error of calling encode on it). Throws python_error.
std::string_view str_argument_text(PyObject* obj, const char* arg_name);

// LoggerRegistry::get_logger("", true): the library's default logger of this moment, looked up
// anew on every call so that a new default takes effect at once. The caller holds it until it
// returns. May be empty.
inline const std::string k_default_logger_name;  // "", constant-initialised
inline std::shared_ptr<spdlog::logger> registry_default() {
    return ::quillet::LoggerRegistry::get_logger(k_default_logger_name, true);
}

// Where the default as last looked up is kept: in the module state while the interpreter lock
// orders every call, per thread on the free-threaded build (only its own thread touches it).
inline default_cache& default_cache_of(quillet_state& st) noexcept {
#ifdef Py_GIL_DISABLED
    static_cast<void>(st);
    thread_local default_cache cache;
    return cache;
#else
    return st.cached_default;
#endif
}

// The default logger of this moment, borrowed from the cached copy: valid until Python code runs
// on this thread (which may replace that copy). Looked up again only when the registry's
// generation has moved, so an unchanged default costs one load. May be null.
inline spdlog::logger* current_default(quillet_state& st) {
    default_cache& cache = default_cache_of(st);
    const std::uint64_t now = st.default_generation->load(std::memory_order_acquire);
    if (now != cache.generation) {
        cache.logger = registry_default();
        cache.generation = now;
    }
    return cache.logger.get();
}
// The same, held by the caller; looked up without the cache once the module is gone.
inline std::shared_ptr<spdlog::logger> held_default() {
    quillet_state* st = loaded_state();
    if (st == nullptr) return registry_default();
    current_default(*st);
    return default_cache_of(*st).logger;
}

// Everything after the logger is chosen: the level test first, then the record's fields (the
// bound ones, then the call's), colour, call site and sinks. Raises nothing once the sinks are
// reached.
void log_through(spdlog::logger& logger, level lvl, std::string_view text, const log_request& req,
                 const bound_fields* bound);

// A new str: the text of msg (up to a NUL), a line feed and the traceback of the exception being
// handled, as a forwarded record carries it; the text of msg alone when none is being handled.
// Throws python_error.
object with_handled_exception(PyObject* msg);
// Appends a line feed and the joined traceback.format_exception(*exc_info) to `text`. Throws
// python_error.
void append_exception(fmt::memory_buffer& text, PyObject* exc_info);

// The name and level of `logger` as Python objects (a str and a Level member), None for no
// logger; and a level set from Python (any level number 0..6). Throw python_error.
object logger_name_object(const spdlog::logger* logger);
object logger_level_object(const spdlog::logger* logger);
void set_logger_level(spdlog::logger* logger, PyObject* value);

// Builds "ESC[<codes>m<text>ESC[0m" into `out` and returns true; false when no code applies,
// and then `out` is untouched and the text stands as it is.
bool compose_colored_message(std::int32_t fg_color, std::int32_t bg_color, std::int32_t effect, std::string_view text,
                             fmt::memory_buffer& out);

// The call site of a log call made from Python: the frame that made the call, or, when that
// frame runs module-level code, the nearest function frame above it (itself when there is none);
// see source_loc_of_call in log_call.cpp.
struct call_site {
    object code;  // keeps the file and function texts of `loc` alive
    spdlog::source_loc loc;
};
call_site caller_source_loc() noexcept;
// The same for a record forwarded from the standard logging package: the frame that logged is
// the first one above emit's caller whose file name does not hold both "logging" and
// "__init__.py".
call_site stdlib_caller_source_loc() noexcept;

// True for a sink that colours its level names (a colour console sink on a terminal,
// details/console_sinks.hpp), seeing through MaxSinkLevel wrappers. Only such a sink gets a
// message's own escape codes: plain console sinks, pipes and files get the plain text.
bool colours_messages(const spdlog::sinks::sink* sink) noexcept;

// True when the call's only keyword is `fields` (kwnames of a vectorcall, not null). A call
// compiled with the keyword passes the interned name: one comparison of pointers.
inline bool only_fields_keyword(PyObject* kwnames) noexcept {
    if (PyTuple_GET_SIZE(kwnames) != 1) return false;
    PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
    const quillet_state* st = loaded_state();
    return (st != nullptr && name == st->fields_keyword.ptr()) || PyUnicode_EqualToUTF8AndSize(name, "fields", 6);
}

// Hands one record to every sink of `logger` whose level admits lvl: sinks that colour get
// `colored`, the others `plain`. A sink that throws is reported through the logger's error
// handler, as spdlog's own logging does, and the remaining sinks still get the record. A record
// at the logger's flush level or above is flushed to every sink before returning, as spdlog's
// own logging does.
void log_to_sinks(spdlog::logger& logger, level lvl, std::string_view plain, std::string_view colored,
                  const spdlog::source_loc& loc) noexcept;

// Hands what the logger's sinks hold to the operating system; a sink that fails is reported
// through the logger's error handler, as in a log call, and nothing is raised.
inline void flush_sinks(spdlog::logger& logger) noexcept {
    try {
        logger.flush();
    } catch (...) {
        // Only an error handler that throws gets here; it has had its say.
    }
}

// Runs a Python subclass's override of a log method with msg and the three codes. Throws
// python_error when the override raises.
void call_log_override(PyObject* override, const log_request& req);

// The Python-level method and the native table entry of one level, for a type described by
// Policy: Policy::type(state) is the type, Policy::log(self, lvl, req) chooses the logger and logs.
// Policy::filtered(self, lvl) is true when a call at lvl would certainly log nothing; it runs
// before anything but the message's own checks, so it must not call into Python.
// Policy::current(self) is the logger a call would log through now (may be empty). Name is the
// method's name when it is not the level's own (an alias).
template <class Policy, level Lvl, const char* Name = nullptr>
PyObject* py_log_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        if (nargs == 1 && PyUnicode_CheckExact(args[0]) && (kwnames == nullptr || only_fields_keyword(kwnames))) {
            // The usual call, one exact str and perhaps fields: a filtered call ends at the
            // level test, before the fields are looked at beyond their type.
            PyObject* fields = kwnames == nullptr ? nullptr : args[1];
            check_fields_arg(fields);
            if (Policy::filtered(self, Lvl)) Py_RETURN_NONE;
            Policy::log(self, Lvl, log_request{.msg = args[0], .fields = fields});
        } else {
            const log_request req = parse_log_args(Name != nullptr ? Name : k_method_names[Lvl], args, nargs, kwnames);
            Policy::log(self, Lvl, req);
        }
        Py_RETURN_NONE;
    });
}

// log(level, msg, fg_color=-1, bg_color=-1, effect=-1): a call at a level chosen at run time.
template <class Policy>
PyObject* py_level_log_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        const auto [lvl, req] = parse_level_log_args(args, nargs, kwnames);
        Policy::log(self, lvl, req);
        return new_ref(Py_None);
    });
}

// exception(msg, fg_color=-1, bg_color=-1, effect=-1): an error record with the traceback of the
// exception being handled; a filtered call formats no traceback.
template <class Policy>
PyObject* py_exception_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        log_request req = parse_log_args("exception", args, nargs, kwnames);
        object keep;
        message_text(req.msg, keep);
        if (Policy::filtered(self, level::err)) return new_ref(Py_None);
        const object text = with_handled_exception(req.msg);
        req.msg = text.ptr();
        Policy::log(self, level::err, req);
        return new_ref(Py_None);
    });
}

template <class Policy>
PyObject* logger_name_get(PyObject* self, void*) {
    return guard(nullptr, [&] { return logger_name_object(Policy::current(self).get()).release(); });
}

template <class Policy>
PyObject* logger_level_get(PyObject* self, void*) {
    return guard(nullptr, [&] { return logger_level_object(Policy::current(self).get()).release(); });
}

template <class Policy>
int logger_level_set(PyObject* self, PyObject* value, void*) {
    return guard(-1, [&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_NotImplementedError, "__del__");
            throw python_error{};
        }
        set_logger_level(Policy::current(self).get(), value);
        return 0;
    });
}

// The attributes of a logger type: `name` (read-only) and `level`, both of the logger a call
// would log through now.
template <class Policy>
std::array<PyGetSetDef, 3> log_getset() {
    return {{
        {"name", logger_name_get<Policy>, nullptr, "Name of the logger written through, or None.", nullptr},
        {"level", logger_level_get<Policy>, logger_level_set<Policy>,
         "Level of the logger written through (a Level, or None when there is none); settable.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    }};
}

template <class Policy, level Lvl>
int native_log_method(PyObject* self, PyObject* msg, int skip_dispatch, const log_codes* codes) {
    return guard(-1, [&] {
        quillet_state& st = state();
        PyTypeObject* own_type = Policy::type(st);
        if (self == nullptr || msg == nullptr) {
            PyErr_BadInternalCall();
            throw python_error{};
        }
        if (!PyObject_TypeCheck(self, own_type)) {
            PyErr_Format(PyExc_TypeError, "%s.%s() needs a %s instance, got %.200s", own_type->tp_name,
                         k_method_names[Lvl], own_type->tp_name, Py_TYPE(self)->tp_name);
            throw python_error{};
        }
        const log_request req = native_log_args(msg, codes);
        if (skip_dispatch == 0) {
            const object override =
                find_override(self, own_type, st.method_names[Lvl].ptr(), py_log_method<Policy, Lvl>);
            if (override) {
                call_log_override(override.ptr(), req);
                return 0;
            }
        }
        Policy::log(self, Lvl, req);
        return 0;
    });
}

// Creates a logger type from `spec`, binds it in the module, keeps it in `kept` (a field of the
// module state) and publishes its native table. Throws python_error.
void add_log_type(PyObject* module, PyType_Spec& spec, object& kept, const void* table);

// The method-table entry of one level's Python-level method.
template <class Policy, level Lvl>
PyMethodDef log_method_def() {
    return method_fastcall(k_method_names[Lvl], py_log_method<Policy, Lvl>);
}

inline constexpr char k_warning_name[] = "warning";

// Methods with the standard logging package's names, Python-level only (not in the native table).
template <class Policy>
std::array<PyMethodDef, 3> habit_method_defs() {
    return {
        method_fastcall(k_warning_name, py_log_method<Policy, level::warn, k_warning_name>, "The same as warn."),
        method_fastcall("exception", py_exception_method<Policy>,
                        "Logs msg at ERROR with the traceback of the exception being handled after it."),
        method_fastcall("log", py_level_log_method<Policy>, "Logs msg at the level given first (TRACE to CRITICAL)."),
    };
}

namespace detail {
template <class Policy, std::size_t Extra, std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 3 + Extra + 1> log_methods(std::index_sequence<I...>,
                                                                  const std::array<PyMethodDef, Extra>& extra) {
    std::array<PyMethodDef, sizeof...(I) + 3 + Extra + 1> table{log_method_def<Policy, k_method_levels[I]>()...};
    const std::array<PyMethodDef, 3> habits = habit_method_defs<Policy>();
    for (std::size_t i = 0; i < habits.size(); ++i) table[sizeof...(I) + i] = habits[i];
    for (std::size_t i = 0; i < Extra; ++i) table[sizeof...(I) + habits.size() + i] = extra[i];
    table.back() = k_methods_end;
    return table;
}

template <class Table, class Policy, std::size_t... I, class... Leading>
constexpr Table log_table(std::index_sequence<I...>, Leading... leading) {
    return Table{leading..., native_log_method<Policy, k_method_levels[I]>...};
}
}  // namespace detail

// A type's method table: the per-level methods, warning, exception and log, then `extra`, then
// the sentinel.
template <class Policy, std::size_t Extra>
std::array<PyMethodDef, k_method_levels.size() + 3 + Extra + 1> log_methods(
    const std::array<PyMethodDef, Extra>& extra) {
    return detail::log_methods<Policy>(std::make_index_sequence<k_method_levels.size()>{}, extra);
}

// A type's native table: the `leading` entries, then the per-level entries.
template <class Table, class Policy, class... Leading>
constexpr Table log_table(Leading... leading) {
    return detail::log_table<Table, Policy>(std::make_index_sequence<k_method_levels.size()>{}, leading...);
}

}  // namespace korvo::quillet
