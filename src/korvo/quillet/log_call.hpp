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
#include "korvo/quillet.hpp"
#include "state.hpp"

namespace korvo::quillet {

using level = spdlog::level::level_enum;

// The levels that have a log method, in method-table and native-table order; a level's number
// indexes method_names.
inline constexpr std::array<level, 6> method_levels{level::trace, level::debug, level::info,
                                                    level::warn,  level::err,   level::critical};
inline constexpr std::array<const char*, 6> method_names{"trace", "debug", "info", "warn", "error", "critical"};
static_assert([] {
    for (std::size_t i = 0; i < method_levels.size(); ++i)
        if (static_cast<std::size_t>(method_levels[i]) != i) return false;
    return true;
}());

// One call's arguments; msg is borrowed from the caller.
struct log_request {
    PyObject* msg = nullptr;
    std::int32_t fg_color = -1;
    std::int32_t bg_color = -1;
    std::int32_t effect = -1;
};

// Python-level arguments (msg, fg_color=-1, bg_color=-1, effect=-1) of method `name`; the
// codes are converted here, msg is checked by message_text. Throws python_error.
log_request parse_log_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same from a native caller's codes (null: none given).
log_request native_log_args(PyObject* msg, const log_codes* codes) noexcept;

// msg as UTF-8 up to its first NUL: a view of the str's own UTF-8 buffer, valid while msg
// lives. TypeError unless msg is exactly a str, AttributeError for None, the codec's error for
// text that cannot be encoded. Throws python_error.
std::string_view message_text(PyObject* msg);
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

// The default logger of this moment, borrowed from the module's copy: valid until Python code
// runs (which may replace that copy). Looked up again only when the registry's generation has
// moved, so an unchanged default costs one load. May be null.
inline spdlog::logger* current_default(quillet_state& st) {
    const std::uint64_t now = st.default_generation->load(std::memory_order_acquire);
    if (now != st.cached_default_generation) {
        st.cached_default = registry_default();
        st.cached_default_generation = now;
    }
    return st.cached_default.get();
}
// The same, held by the caller; looked up without the module's copy once the module is gone.
inline std::shared_ptr<spdlog::logger> held_default() {
    quillet_state* st = loaded_state();
    if (st == nullptr) return registry_default();
    current_default(*st);
    return st->cached_default;
}

// Everything after the logger is chosen: the level test first, then colour, call site and
// sinks. Raises nothing once the sinks are reached.
void log_through(spdlog::logger& logger, level lvl, std::string_view text, const log_request& req);

// Builds "ESC[<codes>m<text>ESC[0m" into `out` and returns true; false when no code applies,
// and then `out` is untouched and the text stands as it is.
bool compose_colored_message(std::int32_t fg_color, std::int32_t bg_color, std::int32_t effect, std::string_view text,
                             fmt::memory_buffer& out);

// The call site of a log call made from Python: see caller_source_loc in log_call.cpp.
struct call_site {
    object code;  // keeps the file and function texts of `loc` alive
    spdlog::source_loc loc;
};
call_site caller_source_loc() noexcept;
// The same for a record forwarded from the standard logging package: the frames whose file name
// holds both "logging" and "__init__.py" are skipped first.
call_site stdlib_caller_source_loc() noexcept;

// True for the console sinks (details/console_sinks.hpp), seeing through MaxSinkLevel wrappers.
bool is_console_sink(const spdlog::sinks::sink* sink) noexcept;

// Hands one record to every sink of `logger` whose level admits lvl: console sinks get
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
template <class Policy, level Lvl>
PyObject* py_log_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        if (nargs == 1 && kwnames == nullptr && PyUnicode_CheckExact(args[0])) {
            // The usual call, one exact str: after its encoding (whose error a filtered call
            // still raises), a filtered call ends at the level test.
            utf8_of(args[0]);
            if (Policy::filtered(self, Lvl)) return new_ref(Py_None);
            Policy::log(self, Lvl, log_request{.msg = args[0]});
        } else {
            const log_request req = parse_log_args(method_names[Lvl], args, nargs, kwnames);
            Policy::log(self, Lvl, req);
        }
        return new_ref(Py_None);
    });
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
                         method_names[Lvl], own_type->tp_name, Py_TYPE(self)->tp_name);
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
    return method_fastcall(method_names[Lvl], py_log_method<Policy, Lvl>);
}

namespace detail {
template <class Policy, std::size_t Extra, std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + Extra + 1> log_methods(std::index_sequence<I...>,
                                                              const std::array<PyMethodDef, Extra>& extra) {
    std::array<PyMethodDef, sizeof...(I) + Extra + 1> table{log_method_def<Policy, method_levels[I]>()...};
    for (std::size_t i = 0; i < Extra; ++i) table[sizeof...(I) + i] = extra[i];
    table.back() = k_methods_end;
    return table;
}

template <class Table, class Policy, std::size_t... I, class... Leading>
constexpr Table log_table(std::index_sequence<I...>, Leading... leading) {
    return Table{leading..., native_log_method<Policy, method_levels[I]>...};
}
}  // namespace detail

// A type's method table: the per-level methods, then `extra`, then the sentinel.
template <class Policy, std::size_t Extra>
std::array<PyMethodDef, method_levels.size() + Extra + 1> log_methods(const std::array<PyMethodDef, Extra>& extra) {
    return detail::log_methods<Policy>(std::make_index_sequence<method_levels.size()>{}, extra);
}

// A type's native table: the `leading` entries, then the per-level entries.
template <class Table, class Policy, class... Leading>
constexpr Table log_table(Leading... leading) {
    return detail::log_table<Table, Policy>(std::make_index_sequence<method_levels.size()>{}, leading...);
}

}  // namespace korvo::quillet
