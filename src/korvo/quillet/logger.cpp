// The Logger type: fields, lifetime, construction from handler descriptions, per-level
// methods and native table.
#include "logger.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/repr.hpp"
#include "call_fields.hpp"
#include "common/type.hpp"
#include "levels.hpp"
#include "log_call.hpp"
#include "common/critical_section.hpp"
#include "retired_handles.hpp"
#include "state.hpp"
#include "stdlib_bridge.hpp"
#include "syslog_handler.hpp"

namespace korvo::quillet {

namespace {

// Thread rules of a Logger's fields: `logger`, `logger_ptr` and `factory` are written only by
// __init__, and `fields` only before the object is handed out (bind), each inside the object's
// critical section; copies of them are taken there too. A log call reads `logger` and `fields`
// without it: what a second __init__ replaces is retired (retired_handles.hpp) rather than
// dropped, so what such a call is using stays alive.

// A copy of self's handle, taken in its critical section.
::quillet::SpdLogger handle_of(PyObject* self) {
    const critical_section lock(self);
    return as_logger(self)->logger;
}

struct logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.logger(); }
    static bool filtered(PyObject* self, level lvl) noexcept {
        const spdlog::logger* logger = as_logger(self)->logger.logger.get();
        return logger == nullptr || !logger->should_log(lvl);
    }
    static std::shared_ptr<spdlog::logger> current(PyObject* self) noexcept { return handle_of(self).logger; }
    static void log(PyObject* self, level lvl, const log_request& req) {
        object keep;
        const std::string_view text = message_text(req.msg, keep);
        // Until construction has built it the handle is empty: nothing to log through.
        logger_object* obj = as_logger(self);
        spdlog::logger* logger = obj->logger.logger.get();
        if (logger != nullptr) log_through(*logger, lvl, text, req, obj->fields.get());
    }
};

::quillet::SpdLogger logger_handle(PyObject* self) {
    return guard(::quillet::SpdLogger{}, [&] {
        PyTypeObject* type = state().logger();
        if (self == nullptr || !PyObject_TypeCheck(self, type)) {
            PyErr_Format(PyExc_TypeError, "logger_handle() needs a %s instance", type->tp_name);
            throw python_error{};
        }
        return handle_of(self);
    });
}

constexpr auto logger_table = log_table<logger_vtable, logger_policy>(logger_handle);

PyObject* logger_flush(PyObject* self, PyObject*) {
    if (spdlog::logger* logger = as_logger(self)->logger.logger.get()) flush_sinks(*logger);
    return new_ref(Py_None);
}

// Fields are made here, whatever the arguments: they are for construction proper (__init__).
PyObject* logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        PyObject* self = check(type->tp_alloc(type, 0));
        logger_object* obj = as_logger(self);
        obj->vtab = &logger_table;
        new (&obj->factory)::quillet::LoggerFactory();
        new (&obj->logger)::quillet::SpdLogger();
        new (&obj->logger_ptr) std::shared_ptr<spdlog::logger>();
        new (&obj->fields) bound_fields_ptr();
        return self;
    });
}

// bind(**fields): a new Logger on the same spdlog logger (so the same sinks and level) whose
// records carry self's bound fields with these added.
PyObject* logger_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] {
        ::quillet::SpdLogger handle;
        std::shared_ptr<spdlog::logger> logger_ptr;
        bound_fields_ptr source_fields;
        {
            const critical_section lock(self);
            const logger_object* source = as_logger(self);
            handle = source->logger;
            logger_ptr = source->logger_ptr;
            source_fields = source->fields;
        }
        bound_fields_ptr fields = bind_call(source_fields, args, nargs, kwnames);
        PyTypeObject* type = state().logger();
        object bound = object::steal(check(logger_new(type, nullptr, nullptr)));
        logger_object* obj = as_logger(bound.ptr());  // not shared yet: no lock
        obj->logger = std::move(handle);
        obj->logger_ptr = std::move(logger_ptr);
        obj->fields = std::move(fields);
        return bound.release();
    });
}

// --- Construction ---------------------------------------------------------------------------

level as_level(std::int32_t n) noexcept { return static_cast<level>(n); }

// UTF-8 of a text argument or attribute: an exact str directly, None as the AttributeError of
// calling encode on it, anything else through its own encode("utf-8"), which must give bytes.
std::string encode_utf8(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return std::string(utf8_of(text));
    if (text == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        throw python_error{};
    }
    object utf8 = object::steal(check(PyUnicode_FromString("utf-8")));
    object encoded = call_method(text, "encode", utf8.ptr());
    if (!PyBytes_Check(encoded.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.ptr())->tp_name);
        throw python_error{};
    }
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

// A handler's attributes, read by ordinary attribute access (a subclass may compute them).
struct handler_reader {
    PyObject* handler;

    object get(const char* name) const { return get_attr(handler, name); }
    bool flag(const char* name) const { return to_bool(get(name).ptr()); }
    std::string text(const char* name) const { return encode_utf8(get(name).ptr()); }
    // A file name; a subclass or a pickled state may still carry a NUL the attribute refuses.
    std::string path(const char* name) const {
        std::string text = this->text(name);
        if (text.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            throw python_error{};
        }
        return text;
    }
    // A Level member (or whatever the attribute gives), passed on as its number.
    level lvl(const char* name) const { return as_level(to_int32(get(name).ptr())); }
    std::uint64_t size(const char* name) const { return to_size(get(name).ptr()); }
};

// One sink per handler description, by its class; attributes are read in the order of the
// factory call's arguments. The console classes are tested first, in this order, then
// RotatingFileHandler before its base FileHandler.
void add_handler(::quillet::LoggerFactory& factory, PyObject* handler, const quillet_state& st) {
    auto is = [&](config_class c) { return PyObject_TypeCheck(handler, st.config(c)) != 0; };
    const handler_reader h{handler};
    if (is(config_class::stdout_handler) || is(config_class::stderr_handler) || is(config_class::console_handler) ||
        is(config_class::basic_console_handler)) {
        const bool color = h.flag("color");
        const std::string pattern = h.text("pattern");
        if (is(config_class::stdout_handler)) {
            const level lvl = h.lvl("level");
            const level max_level = h.lvl("max_level");
            factory.add_stdout_handler(color, pattern, lvl, max_level, h.flag("json"));
        } else if (is(config_class::stderr_handler)) {
            const level lvl = h.lvl("level");
            factory.add_stderr_handler(color, pattern, lvl, h.flag("json"));
        } else if (is(config_class::console_handler)) {
            const level max_stdout_level = h.lvl("max_stdout_level");
            const level min_level = h.lvl("min_level");
            factory.add_console_handler(color, pattern, max_stdout_level, min_level, h.flag("json"));
        } else {
            const level lvl = h.lvl("level");
            factory.add_basic_console_handler(color, pattern, lvl, h.flag("json"));
        }
    } else if (is(config_class::rotating_file_handler)) {
        const std::string filename = h.path("filename");
        const std::uint64_t max_size = h.size("max_size");
        const std::uint64_t max_files = h.size("max_files");
        const std::string pattern = h.text("pattern");
        const level lvl = h.lvl("level");
        const bool buffered = h.flag("buffered");
        factory.add_rotating_file_handler(filename, max_size, max_files, pattern, lvl, buffered, h.flag("json"));
    } else if (is(config_class::file_handler)) {
        const std::string filename = h.path("filename");
        const std::string pattern = h.text("pattern");
        const level lvl = h.lvl("level");
        const bool overwrite = h.flag("overwrite");
        const bool buffered = h.flag("buffered");
        factory.add_file_handler(filename, pattern, lvl, overwrite, buffered, h.flag("json"));
    } else if (is(config_class::syslog_handler)) {
        add_syslog_handler(factory, handler);
    } else {
        PyErr_SetString(PyExc_TypeError, "Unknown handler type");
        throw python_error{};
    }
}

// Makes what __init__ built self's logger. What it replaces is dropped after the lock; on the
// free-threaded build it is retired first, since a log call on another thread may be using it.
void install(PyObject* self, ::quillet::LoggerFactory factory, std::shared_ptr<spdlog::logger> built) {
    logger_object* obj = as_logger(self);
    ::quillet::SpdLogger handle(built);
    {
        const critical_section lock(self);
        retire(self, obj->logger.logger);  // may throw before anything changed
        std::swap(obj->factory, factory);
        std::swap(obj->logger_ptr, built);
        std::swap(obj->logger, handle);
    }
}

// Logger(name, level=Level.TRACE, pattern=default_logger_pattern, handlers=[], color_scheme=None,
//        set_default=False, intercept_stdlib_logging=True)
int logger_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 7> names{
            "name", "level", "pattern", "handlers", "color_scheme", "set_default", "intercept_stdlib_logging"};
        std::array<PyObject*, 7> v{};
        parse_tuple_args("__init__", args, kwargs, names, 1, v);
        const quillet_state& st = state();
        // Numbers and flags are converted first, then the typed arguments are checked.
        const std::int32_t lvl = v[1] != nullptr ? level_number(v[1]) : 0;
        const bool set_default = v[5] != nullptr && to_bool(v[5]);
        const bool intercept = v[6] == nullptr || to_bool(v[6]);
        PyObject* name = v[0];
        PyObject* pattern = v[2] != nullptr ? v[2] : st.default_logger_pattern.ptr();
        PyObject* handlers = v[3] != nullptr ? v[3] : st.default_handlers.ptr();
        PyObject* color_scheme = v[4] != nullptr ? v[4] : Py_None;
        check_exact_type(name, &PyUnicode_Type, "name", true);
        check_exact_type(pattern, &PyUnicode_Type, "pattern", true);
        check_exact_type(handlers, &PyList_Type, "handlers", true);
        check_instance(color_scheme, st.config(config_class::color_scheme), "color_scheme", true);

        // A second __init__ builds from an empty builder, not on top of the first one's sinks.
        ::quillet::LoggerFactory factory;
        // The level goes to the library as given: libquillet refuses a number outside
        // trace..off (ValueError "<n> is not a valid Level", the text of a Level conversion), as
        // it refuses a colour outside -1..255, instead of building a logger that cannot name it.
        factory.set_level(as_level(lvl));
        if (handlers != Py_None && PyList_GET_SIZE(handlers) > 0) {
            // The size is read again each round: an attribute read (or another thread) may change
            // the list, and each item is held while it is read.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers); ++i) {
                object handler = object::steal(PyList_GetItemRef(handlers, i));
                if (!handler) {
                    PyErr_Clear();  // the list shrank under us: what is left was read
                    break;
                }
                add_handler(factory, handler.ptr(), st);
            }
        } else {
            factory.add_basic_console_handler(true, encode_utf8(pattern), as_level(lvl));
        }
        if (color_scheme != Py_None) {
            static constexpr std::array<const char*, 6> colors{"trace_color", "debug_color", "info_color",
                                                               "warn_color",  "error_color", "critical_color"};
            std::array<int, 6> codes{};
            for (std::size_t i = 0; i < colors.size(); ++i)
                codes[i] = to_int32(get_attr(color_scheme, colors[i]).ptr());
            factory.set_colors(codes[0], codes[1], codes[2], codes[3], codes[4], codes[5]);
        }
        std::shared_ptr<spdlog::logger> built = factory.build(encode_utf8(name), false);
        if (set_default) ::quillet::LoggerRegistry::set_default(built);
        install(self, std::move(factory), std::move(built));
        if (set_default && intercept) redirect_pylog();
        return 0;
    });
}

// The built logger's name, level and number of sinks; nothing before construction built it.
PyObject* logger_repr(PyObject* self) {
    return guard(nullptr, [&] {
        std::shared_ptr<spdlog::logger> built;
        bound_fields_ptr fields;
        {
            const critical_section lock(self);
            built = as_logger(self)->logger_ptr;
            fields = as_logger(self)->fields;
        }
        std::vector<repr_arg> args;
        if (const spdlog::logger* logger = built.get()) {
            const std::string& name = logger->name();
            args.push_back({"name", object::steal(check(PyUnicode_DecodeUTF8(
                                        name.data(), static_cast<Py_ssize_t>(name.size()), "replace")))});
            args.push_back({"level", level_object(static_cast<std::int32_t>(logger->level()))});
            args.push_back({"sinks", object::steal(check(PyLong_FromSize_t(logger->sinks().size())))});
        }
        if (fields) args.push_back({"fields", bound_fields_dict(fields.get())});
        return call_repr(self, args).release();
    });
}

struct logger_desc {
    // Releases both references to the logger; the registry keeps what it registered, so what
    // the sinks buffer is written out here rather than when the logger goes.
    static void teardown(logger_object& self) noexcept {
        if (self.logger_ptr) {
            try {
                self.logger_ptr->flush();
            } catch (...) {
                // A throwing error handler has already reported the failing sink.
            }
        }
        release_retired(reinterpret_cast<PyObject*>(&self));
        std::destroy_at(&self.fields);
        std::destroy_at(&self.logger_ptr);
        std::destroy_at(&self.logger);
        std::destroy_at(&self.factory);
    }
};

auto logger_methods = log_methods<logger_policy>(std::to_array<PyMethodDef>(
    {method_noargs("flush", logger_flush,
                   "flush()\n\nHands every record the logger's handlers hold to the operating "
                   "system; a failure is reported like a failed log call."),
     method_fastcall("bind", logger_bind,
                     "bind(**fields)\n\nA Logger writing through the same logger and sinks whose records carry "
                     "these fields besides this one's (and a call's own fields=, which win)."),
     KORVO_REFUSE_PICKLING_METHODS}));
auto logger_getset = log_getset<logger_policy>();

auto logger_slots = type_slots<logger_object, logger_desc>::slots(std::to_array({
    doc_slot("Logger(str name, Level level=Level.TRACE, str pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', "
             "list handlers=[], ColorScheme color_scheme=None, bool set_default=False, "
             "bool intercept_stdlib_logging=True)"),
    slot(Py_tp_new, logger_new),
    slot(Py_tp_init, logger_init),
    slot(Py_tp_repr, logger_repr),
    PyType_Slot{Py_tp_methods, logger_methods.data()},
    PyType_Slot{Py_tp_getset, logger_getset.data()},
}));

PyType_Spec logger_spec =
    type_spec("korvo.quillet.quillet.Logger", sizeof(logger_object), k_immutable_type_flags, logger_slots.data());

}  // namespace

void add_logger_type(PyObject* module) {
    add_log_type(module, logger_spec, quillet_module::of_module(module).logger_type, &logger_table);
}

}  // namespace korvo::quillet
