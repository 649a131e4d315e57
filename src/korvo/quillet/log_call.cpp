// Log call steps: arguments, message text, colouring, call site and the sink loop.
#include "log_call.hpp"

#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/publish.hpp"
#include "interpreter_view.hpp"
#include "levels.hpp"
#include "common/critical_section.hpp"
#include "quillet/details/console_sinks.hpp"
#include "quillet/quillet.hpp"

namespace korvo::quillet {

namespace {

// spdlog keeps a logger's error handler to itself; a derived class may name it.
struct logger_error_report : spdlog::logger {
    static void report(spdlog::logger& logger, const std::string& what) noexcept {
        try {
            (logger.*(&logger_error_report::err_handler_))(what);
        } catch (...) {
            // A custom handler that throws has nowhere left to report to.
        }
    }
};

void report_sink_error(spdlog::logger& logger, const char* what, const spdlog::source_loc& loc) noexcept {
    try {
        // The text spdlog's own logging gives a failing sink.
        if (loc.filename != nullptr)
            logger_error_report::report(logger, fmt::format("{} [{}({})]", what, loc.filename, loc.line));
        else
            logger_error_report::report(logger, what);
    } catch (...) {
        // No memory for the text: nothing more can be said.
    }
}

// Codes are appended to a small fixed buffer: at most "1;38;5;255;48;5;255".
struct code_list {
    fmt::basic_memory_buffer<char, 32> text;
    void add(std::string_view prefix, std::int32_t code) {
        if (text.size() != 0) text.push_back(';');
        text.append(prefix);
        fmt::format_to(fmt::appender(text), "{}", code);
    }
};

// Only "/" separates: a name that uses backslashes is reported whole.
const char* after_last_slash(const char* path, Py_ssize_t size) noexcept {
    const auto slash = std::string_view(path, static_cast<std::size_t>(size)).rfind('/');
    return slash != std::string_view::npos ? path + slash + 1 : path;
}

// UTF-8 of a code object's text field, or `fallback` when it is not a str or cannot be encoded.
const char* code_text(PyObject* text, const char* fallback, Py_ssize_t* size) noexcept {
    if (text == nullptr || !PyUnicode_Check(text)) return fallback;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // an unencodable name must not turn into an error of the log call
        return fallback;
    }
    return utf8;
}

code_facts facts_of(PyCodeObject* code) noexcept {
    code_facts facts;
    Py_ssize_t size = 0;
    if (const char* file = code_text(code->co_filename, nullptr, &size)) {
        const std::string_view name(file, static_cast<std::size_t>(size));
        facts.file = after_last_slash(file, size);
        facts.logging_package =
            name.find("logging") != std::string_view::npos && name.find("__init__.py") != std::string_view::npos;
        facts.frozen = name.starts_with("<frozen ");
    }
    PyObject* name = code->co_name;
    facts.module_level =
        name == nullptr || !PyUnicode_Check(name) || PyUnicode_EqualToUTF8AndSize(name, "<module>", 8) == 1;
    facts.function = code_text(name, "<module>", &size);
    return facts;
}

// References a call-site walk replaced in the caches, dropped once the walk has let go of the
// caches' guard (a code object's finaliser may run Python code that logs).
class replaced_refs {
public:
    void keep(object ref) {
        if (count_ < inline_.size())
            inline_[count_++] = std::move(ref);
        else
            more_.push_back(std::move(ref));
    }

private:
    std::array<object, 4> inline_;
    std::size_t count_ = 0;
    std::vector<object> more_;  // a walk past many uncached frames
};

// The facts of `code`, remembered per code object; the texts live as long as the code does.
// Called with the site caches' guard held.
code_facts facts_of_cached(quillet_state* st, PyCodeObject* code, replaced_refs& replaced) {
    if (st == nullptr) return facts_of(code);
    code_facts_entry& entry =
        st->code_facts_cache[(reinterpret_cast<std::uintptr_t>(code) >> 4) % k_code_facts_cache_size];
    if (entry.code.ptr() != reinterpret_cast<PyObject*>(code)) {
        entry.facts = facts_of(code);
        replaced.keep(std::exchange(entry.code, object::borrow(reinterpret_cast<PyObject*>(code))));
    }
    return entry.facts;
}

// The frame's current line, remembered per (code object, instruction offset): finding it scans
// the code's line table from the start. Called with the site caches' guard held.
int frame_line(quillet_state* st, interp_frame* frame, PyCodeObject* code, replaced_refs& replaced) {
    const int offset = frame_offset(frame);
    if (st == nullptr || offset < 0) return frame_line_number(frame);
    const auto key =
        (reinterpret_cast<std::uintptr_t>(code) >> 4) ^ (static_cast<std::uintptr_t>(offset) * 0x9E3779B1u);
    line_cache_entry& entry = st->line_cache[key % k_line_cache_size];
    if (entry.code.ptr() != reinterpret_cast<PyObject*>(code) || entry.offset != offset) {
        entry.line = frame_line_number(frame);
        entry.offset = offset;
        replaced.keep(std::exchange(entry.code, object::borrow(reinterpret_cast<PyObject*>(code))));
    }
    return entry.line;
}

}  // namespace

namespace {

constexpr std::array<const char*, 3> k_code_names{"fg_color", "bg_color", "effect"};
constexpr std::array<const char*, 5> k_ordinals{"first", "second", "third", "fourth", "fifth"};

// The request of values (msg, fg_color, bg_color, effect), msg being positional argument
// `msg_index` of a call given `nargs` by position. A code given by position that is no integer
// is most likely meant for %-style formatting, which the log calls do not do: the TypeError says so.
log_request log_request_of(const char* name, const std::array<PyObject*, 4>& values, Py_ssize_t nargs,
                           std::size_t msg_index) {
    log_request req;
    req.msg = values[0];
    std::array<std::int32_t*, 3> codes{&req.fg_color, &req.bg_color, &req.effect};
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* value = values[i + 1];
        if (value == nullptr) continue;
        try {
            *codes[i] = to_int32(value);
        } catch (const python_error&) {
            const std::size_t position = msg_index + 1 + i;
            if (static_cast<Py_ssize_t>(position) >= nargs || !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "%s(): the %s positional argument is the colour code %s, an integer, not %.200s; "
                         "messages are not %%-formatted, so format the text first (with an f-string, for example)",
                         name, k_ordinals[position], k_code_names[i], Py_TYPE(value)->tp_name);
            throw python_error{};
        }
    }
    return req;
}

}  // namespace

namespace {

// `fields` may be given only by keyword: the positions after msg are the colour codes.
void check_positional_count(const char* name, Py_ssize_t nargs, Py_ssize_t most) {
    if (nargs <= most) return;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", name, most, nargs);
    throw python_error{};
}

}  // namespace

log_request parse_log_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 5> names{"msg", "fg_color", "bg_color", "effect", "fields"};
    check_positional_count(name, nargs, 4);
    std::array<PyObject*, 5> values{};
    parse_args(name, args, nargs, kwnames, names, 1, values);
    log_request req = log_request_of(name, {values[0], values[1], values[2], values[3]}, nargs, 0);
    check_fields_arg(values[4]);
    req.fields = values[4];
    return req;
}

std::pair<level, log_request> parse_level_log_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 6> names{"level", "msg", "fg_color", "bg_color", "effect", "fields"};
    check_positional_count("log", nargs, 5);
    std::array<PyObject*, 6> values{};
    parse_args("log", args, nargs, kwnames, names, 2, values);
    check_fields_arg(values[5]);
    const std::int32_t n = level_number(values[0]);
    if (!is_level(n)) level_object(n);  // raises the ValueError of a Level conversion
    if (n == static_cast<std::int32_t>(level::off)) {
        PyErr_SetString(PyExc_ValueError, "log() takes a level from Level.TRACE to Level.CRITICAL, not Level.OFF");
        throw python_error{};
    }
    const std::array<PyObject*, 4> rest{values[1], values[2], values[3], values[4]};
    log_request req = log_request_of("log", rest, nargs, 1);
    req.fields = values[5];
    return {static_cast<level>(n), req};
}

void append_exception(fmt::memory_buffer& text, PyObject* exc_info) {
    object format = get_attr(get_attr(state().module, "traceback").ptr(), "format_exception");
    object args = PyTuple_Check(exc_info) ? object::borrow(exc_info) : object::steal(check(PySequence_Tuple(exc_info)));
    object lines = object::steal(check(PyObject_Call(format.ptr(), args.ptr(), nullptr)));
    object empty = object::steal(check(PyUnicode_FromStringAndSize("", 0)));
    object joined = object::steal(check(PyUnicode_Join(empty.ptr(), lines.ptr())));
    object keep;
    const std::string_view more = loggable_utf8(joined.ptr(), keep);
    text.push_back('\n');
    text.append(more);
}

object with_handled_exception(PyObject* msg) {
    object keep;
    const std::string_view message = message_text(msg, keep);
    object exc = object::steal(PyErr_GetHandledException());
    if (!exc || exc.ptr() == Py_None)
        return object::steal(
            check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
    object traceback = object::steal(PyException_GetTraceback(exc.ptr()));
    object exc_info = object::steal(check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr(),
                                                       traceback ? traceback.ptr() : Py_None)));
    fmt::memory_buffer text;
    text.append(message);
    append_exception(text, exc_info.ptr());
    return object::steal(
        check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape")));
}

object logger_name_object(const spdlog::logger* logger) {
    if (logger == nullptr) return object::borrow(Py_None);
    const std::string& name = logger->name();
    return object::steal(check(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace")));
}

object logger_level_object(const spdlog::logger* logger) {
    if (logger == nullptr) return object::borrow(Py_None);
    return level_object(static_cast<std::int32_t>(logger->level()));
}

void set_logger_level(spdlog::logger* logger, PyObject* value) {
    const std::int32_t n = level_number(value);
    if (!is_level(n)) level_object(n);  // raises the ValueError of a Level conversion
    if (logger == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "there is no logger to set the level of");
        throw python_error{};
    }
    logger->set_level(static_cast<level>(n));
}

log_request native_log_args(PyObject* msg, const log_codes* codes) noexcept {
    log_request req;
    req.msg = msg;
    if (codes != nullptr) {
        if (codes->count >= 1) req.fg_color = codes->fg_color;
        if (codes->count >= 2) req.bg_color = codes->bg_color;
        if (codes->count >= 3) req.effect = codes->effect;
    }
    return req;
}

namespace {

// TypeError unless obj is exactly a str, AttributeError for None (the error of calling encode
// on it). Throws python_error.
void check_str_argument(PyObject* obj, const char* arg_name) {
    check_exact_type(obj, &PyUnicode_Type, arg_name, true);
    if (obj == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        throw python_error{};
    }
}

}  // namespace

std::string_view str_argument_text(PyObject* obj, const char* arg_name) {
    check_str_argument(obj, arg_name);
    return utf8_of(obj);
}

std::string_view message_text(PyObject* msg, object& keep) {
    check_str_argument(msg, "msg");
    const std::string_view text = loggable_utf8(msg, keep);
    return text.substr(0, text.find('\0'));
}

void log_through(spdlog::logger& logger, level lvl, std::string_view text, const log_request& req,
                 const bound_fields* bound) {
    if (!logger.should_log(lvl)) return;
    record_fields_builder fields(bound);
    if (req.fields != nullptr && req.fields != Py_None) fields.add_dict(req.fields);
    fields.make_current();
    fmt::memory_buffer colored_buffer;
    std::string_view colored = text;
    const bool any_code = req.fg_color >= 0 || req.bg_color >= 0 || req.effect >= 0;  // most calls give none
    if (any_code && compose_colored_message(req.fg_color, req.bg_color, req.effect, text, colored_buffer))
        colored = std::string_view(colored_buffer.data(), colored_buffer.size());
    const call_site site = caller_source_loc();
    log_to_sinks(logger, lvl, text, colored, site.loc);
}

bool compose_colored_message(std::int32_t fg_color, std::int32_t bg_color, std::int32_t effect, std::string_view text,
                             fmt::memory_buffer& out) {
    code_list codes;
    if ((effect >= 1 && effect <= 7) || effect == 9) codes.add("", effect);
    if (fg_color >= 0 && fg_color <= 255) {
        const bool basic = (fg_color >= 30 && fg_color <= 37) || (fg_color >= 90 && fg_color <= 97);
        codes.add(basic ? "" : "38;5;", fg_color);
    }
    if (bg_color >= 0 && bg_color <= 255) {
        const bool basic = (bg_color >= 40 && bg_color <= 47) || (bg_color >= 100 && bg_color <= 107);
        codes.add(basic ? "" : "48;5;", bg_color);
    }
    if (codes.text.size() == 0) return false;
    fmt::format_to(fmt::appender(out), "\033[{}m{}\033[0m", std::string_view(codes.text.data(), codes.text.size()),
                   text);
    return true;
}

namespace {

// The site of a log call is the frame that made it, unless that frame runs module-level code:
// then it is the nearest frame above it that runs a function, or the frame itself when there is
// none (a script's top level) or when that function belongs to the import machinery (a module's
// top level run by import or by `python -m`). A forwarded record's walk starts above the frame that called
// emit and first passes over the frames of the logging package; the first frame beyond them is
// the one that logged. The frames are the logging thread's own, and no Python code runs during
// the walk, so they stay as they are. Called with the site caches' guard held.
call_site walk_to_call_site(quillet_state* st, interp_frame* const caller, bool forwarded, replaced_refs& replaced) {
    call_site site;
    interp_frame* frame = caller;
    if (forwarded) {
        if (interp_frame* parent = calling_frame(caller)) frame = parent;
    }
    interp_frame* origin = nullptr;  // the frame that logged; null while logging-package frames are passed over
    code_facts facts;
    for (;;) {
        facts = facts_of_cached(st, frame_code(frame), replaced);
        if (origin == nullptr && !(forwarded && facts.logging_package)) origin = frame;
        if (origin != nullptr && !facts.module_level) break;
        interp_frame* parent = calling_frame(frame);
        // The interpreter's frozen start-up and import machinery (importlib, runpy) runs the
        // top level of every imported module and of `python -m`: never the site a user meant.
        if (parent == nullptr || (origin != nullptr && facts_of_cached(st, frame_code(parent), replaced).frozen)) {
            frame = origin != nullptr ? origin : caller;
            facts = facts_of_cached(st, frame_code(frame), replaced);
            break;
        }
        frame = parent;
    }
    PyCodeObject* code = frame_code(frame);
    site.loc = spdlog::source_loc(facts.file, frame_line(st, frame, code, replaced), facts.function);
    site.code = object::borrow(reinterpret_cast<PyObject*>(code));
    return site;
}

// A call site found under the site caches' guard.
call_site source_loc_of_call(bool forwarded) noexcept {
    call_site site;
    site.loc = spdlog::source_loc("<unknown>", 0, "<module>");
    interp_frame* const caller = innermost_frame();
    if (caller == nullptr) return site;
    replaced_refs replaced;  // declared before the guard: dropped after it is let go
    try {
        quillet_state* const st = loaded_state();
        PyMutex unused{};
        const ft_mutex_lock lock(st != nullptr ? st->site_cache_mutex : unused);
        site = walk_to_call_site(st, caller, forwarded, replaced);
    } catch (const std::bad_alloc&) {
        // No memory to keep a replaced reference: the record goes out with an unknown site.
    }
    return site;
}

}  // namespace
call_site caller_source_loc() noexcept { return source_loc_of_call(false); }

call_site stdlib_caller_source_loc() noexcept { return source_loc_of_call(true); }

bool colours_messages(const spdlog::sinks::sink* sink) noexcept {
    while (sink != nullptr) {
        if (::quillet::details::colours_output(sink)) return true;
        auto* wrapper = dynamic_cast<const ::quillet::spdlog_internal::MaxSinkLevel*>(sink);
        if (wrapper == nullptr) return false;
        sink = wrapper->get_sink().get();
    }
    return false;
}

void log_to_sinks(spdlog::logger& logger, level lvl, std::string_view plain, std::string_view colored,
                  const spdlog::source_loc& loc) noexcept {
    // When nothing was coloured every sink gets the same text and the colour test is moot.
    const bool differs = colored.data() != plain.data();
    const spdlog::string_view_t name(logger.name());
    // One record, one time: every sink stamps it alike, and the clock is read once per call.
    const spdlog::log_clock::time_point now = spdlog::log_clock::now();
    for (const auto& sink : logger.sinks()) {
        if (!sink || !sink->should_log(lvl)) continue;
        const std::string_view payload = differs && colours_messages(sink.get()) ? colored : plain;
        const spdlog::details::log_msg record(now, loc, name, lvl,
                                              spdlog::string_view_t(payload.data(), payload.size()));
        try {
            sink->log(record);
        } catch (const std::exception& e) {
            report_sink_error(logger, e.what(), loc);
        } catch (...) {
            report_sink_error(logger, "Unknown exception in logger", loc);
        }
    }
    if (lvl >= logger.flush_level() && lvl != spdlog::level::off) {
        try {
            logger.flush();  // reports a failing sink through the error handler itself
        } catch (...) {
            // Only an error handler that throws gets here; it has had its say.
        }
    }
}

void add_log_type(PyObject* module, PyType_Spec& spec, object& kept, const void* table) {
    PyTypeObject* type = add_type(module, &spec);
    kept = object::steal(reinterpret_cast<PyObject*>(type));
    publish_vtable(type, table);
}

void call_log_override(PyObject* override, const log_request& req) {
    object fg = object::steal(check(PyLong_FromLong(req.fg_color)));
    object bg = object::steal(check(PyLong_FromLong(req.bg_color)));
    object effect = object::steal(check(PyLong_FromLong(req.effect)));
    PyObject* argv[] = {req.msg, fg.ptr(), bg.ptr(), effect.ptr()};
    object result = object::steal(check(PyObject_Vectorcall(override, argv, 4, nullptr)));
}

}  // namespace korvo::quillet
