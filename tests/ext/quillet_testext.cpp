// Test-only extension module for korvo.quillet: builds loggers with real and recording sinks
// through libquillet, makes them the default or attaches them to Logger objects, describes the
// sinks a Logger holds, and calls the published native tables and __pyx_capi__ lookups the way
// another extension module would.
#include <Python.h>

#include <array>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "korvo/quillet.hpp"
#include "levels.hpp"
#include "quillet/details/console_sinks.hpp"
#include "quillet/details/file_sink.hpp"
#include "quillet/details/json_formatter.hpp"
#include "quillet/quillet.hpp"
#include "quillet/record_fields.hpp"

namespace {

using korvo::check;
using korvo::object;
using korvo::python_error;
using level = spdlog::level::level_enum;

korvo::module_guard g_guard{"quillet_testext", "quillet_testext"};

// Everything the recording sinks saw, in order, across all of them.
struct record {
    std::string sink;
    std::string logger;
    int lvl;
    std::string payload;
    std::string file;
    int line;
    std::string func;
    std::size_t thread_id;
    std::string fields;  // the record's fields as a JSON object, empty when it had none
};
std::mutex g_records_mutex;
std::vector<record> g_records;
std::vector<std::string> g_errors;  // texts given to loggers' error handlers, see record_errors

void keep(const std::string& sink, const spdlog::details::log_msg& msg) {
    std::string fields;
    if (const quillet::record_fields current = quillet::current_record_fields(); !current.empty()) {
        spdlog::memory_buf_t text;
        quillet::details::append_json_fields(text, current);
        fields.assign(text.data(), text.size());
    }
    std::lock_guard<std::mutex> lock(g_records_mutex);
    g_records.push_back({sink, std::string(msg.logger_name.data(), msg.logger_name.size()), static_cast<int>(msg.level),
                         std::string(msg.payload.data(), msg.payload.size()),
                         msg.source.filename != nullptr ? msg.source.filename : "", msg.source.line,
                         msg.source.funcname != nullptr ? msg.source.funcname : "", msg.thread_id, std::move(fields)});
}

// A plain sink: neither console nor file.
class recording_sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit recording_sink(std::string label) : label_(std::move(label)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override { keep(label_, msg); }
    void flush_() override {}

private:
    std::string label_;
};

// A console sink type (its colour decision included) that records instead of writing.
template <class Console>
class recording_console_sink : public Console {
public:
    template <class... ConsoleArgs>
    explicit recording_console_sink(std::string label, ConsoleArgs... args)
        : Console(args...), label_(std::move(label)) {}
    void log(const spdlog::details::log_msg& msg) override { keep(label_, msg); }

private:
    std::string label_;
};

// A sink whose every write fails, as a full disk or a closed stream would.
class throwing_sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit throwing_sink(bool std_exception) : std_exception_(std_exception) {}

protected:
    void sink_it_(const spdlog::details::log_msg&) override {
        if (std_exception_) throw std::runtime_error("disk full");
        throw 42;
    }
    void flush_() override {}

private:
    bool std_exception_;
};

std::string text_arg(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(obj)->tp_name);
        throw python_error{};
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) throw python_error{};
    return std::string(text, static_cast<std::size_t>(size));
}

level level_arg(PyObject* obj) { return static_cast<level>(korvo::to_int32(obj)); }

PyObject* item(PyObject* tuple, Py_ssize_t i) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) <= i) {
        PyErr_SetString(PyExc_TypeError, "handler description is too short");
        throw python_error{};
    }
    return PyTuple_GET_ITEM(tuple, i);
}

spdlog::sink_ptr test_sink(const std::string& kind, PyObject* desc) {
    if (kind == "recording") return std::make_shared<recording_sink>(text_arg(item(desc, 1)));
    // A colour console sink on a terminal, which colours; the same sink not on a terminal, and a
    // plain console sink, which do not.
    if (kind == "recording_console")
        return std::make_shared<recording_console_sink<quillet::details::color_stdout_sink>>(
            text_arg(item(desc, 1)), spdlog::color_mode::always);
    if (kind == "recording_color_console")
        return std::make_shared<recording_console_sink<quillet::details::color_stderr_sink>>(
            text_arg(item(desc, 1)), spdlog::color_mode::always);
    if (kind == "recording_uncoloured_console")
        return std::make_shared<recording_console_sink<quillet::details::color_stderr_sink>>(text_arg(item(desc, 1)),
                                                                                             spdlog::color_mode::never);
    if (kind == "recording_plain_console")
        return std::make_shared<recording_console_sink<quillet::details::stdout_sink>>(text_arg(item(desc, 1)));
    if (kind == "recording_console_nullmutex")
        return std::make_shared<recording_console_sink<spdlog::sinks::stdout_sink_st>>(text_arg(item(desc, 1)));
    if (kind == "throwing") return std::make_shared<throwing_sink>(true);
    if (kind == "throwing_unknown") return std::make_shared<throwing_sink>(false);
    return nullptr;
}

// ("wrapped", max_level, inner description): a MaxSinkLevel around a test sink.
spdlog::sink_ptr make_test_sink(PyObject* desc) {
    const std::string kind = text_arg(item(desc, 0));
    if (kind == "wrapped") {
        PyObject* inner_desc = item(desc, 2);
        spdlog::sink_ptr inner = make_test_sink(inner_desc);
        return std::make_shared<quillet::spdlog_internal::MaxSinkLevel>(inner, level_arg(item(desc, 1)));
    }
    spdlog::sink_ptr sink = test_sink(kind, desc);
    if (!sink) {
        PyErr_Format(PyExc_ValueError, "unknown handler kind '%s'", kind.c_str());
        throw python_error{};
    }
    // (kind, label, level): an optional sink level after the label.
    if (kind.rfind("recording", 0) == 0 && PyTuple_GET_SIZE(desc) > 2) sink->set_level(level_arg(item(desc, 2)));
    return sink;
}

// Real kinds go through the factory, exactly as Logger construction will call it.
bool add_real(quillet::LoggerFactory& f, const std::string& kind, PyObject* d) {
    auto b = [&](Py_ssize_t i) { return korvo::to_bool(item(d, i)); };
    auto s = [&](Py_ssize_t i) { return text_arg(item(d, i)); };
    auto l = [&](Py_ssize_t i) { return level_arg(item(d, i)); };
    auto n = [&](Py_ssize_t i) { return static_cast<std::uint64_t>(korvo::to_size(item(d, i))); };
    // A trailing flag the description may leave out.
    auto opt = [&](Py_ssize_t i) { return PySequence_Size(d) > i && b(i); };
    if (kind == "stdout")
        f.add_stdout_handler(b(1), s(2), l(3), l(4), opt(5));
    else if (kind == "stderr")
        f.add_stderr_handler(b(1), s(2), l(3), opt(4));
    else if (kind == "basic_console")
        f.add_basic_console_handler(b(1), s(2), l(3), opt(4));
    else if (kind == "console")
        f.add_console_handler(b(1), s(2), l(3), l(4), opt(5));
    else if (kind == "file")
        f.add_file_handler(s(1), s(2), l(3), b(4), opt(5), opt(6));
    else if (kind == "rotating")
        f.add_rotating_file_handler(s(1), n(2), n(3), s(4), l(5), opt(6), opt(7));
    else
        return false;
    return true;
}

// make_logger(name, level, handlers, colors=None, make_default=True): builds a logger whose
// sinks follow `handlers` in order, registered under `name`.
PyObject* testext_make_logger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 5> names{"name", "level", "handlers", "colors", "make_default"};
        std::array<PyObject*, 5> v{};
        korvo::parse_args("make_logger", args, nargs, kwnames, names, 3, v);
        const std::string name = text_arg(v[0]);
        quillet::LoggerFactory factory;
        factory.set_level(level_arg(v[1]));
        object handlers = object::steal(check(PySequence_Fast(v[2], "handlers must be a sequence")));
        std::vector<std::pair<std::size_t, spdlog::sink_ptr>> extra;  // test sinks and their places
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(handlers.ptr()); ++i) {
            PyObject* desc = PySequence_Fast_GET_ITEM(handlers.ptr(), i);
            const std::string kind = text_arg(item(desc, 0));
            if (!add_real(factory, kind, desc))
                extra.emplace_back(factory.sinks().size() + extra.size(), make_test_sink(desc));
        }
        if (v[3] != nullptr && v[3] != Py_None) {
            std::array<int, 6> c{};
            for (Py_ssize_t i = 0; i < 6; ++i) c[static_cast<std::size_t>(i)] = korvo::to_int32(item(v[3], i));
            factory.set_colors(c[0], c[1], c[2], c[3], c[4], c[5]);
        }
        const bool make_default = v[4] == nullptr || korvo::to_bool(v[4]);
        auto logger = factory.build(name, make_default);
        auto& sinks = logger->sinks();
        for (auto& [at, sink] : extra) sinks.insert(sinks.begin() + static_cast<std::ptrdiff_t>(at), sink);
        return PyLong_FromSize_t(sinks.size());
    });
}

PyObject* testext_records(PyObject*, PyObject*) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        std::vector<record> taken;
        {
            std::lock_guard<std::mutex> lock(g_records_mutex);
            taken.swap(g_records);
        }
        object list = object::steal(check(PyList_New(0)));
        for (const auto& r : taken) {
            object entry = object::steal(check(Py_BuildValue(
                "{s:s#,s:s#,s:i,s:y#,s:s#,s:i,s:s#,s:n}", "sink", r.sink.data(), (Py_ssize_t)r.sink.size(), "logger",
                r.logger.data(), (Py_ssize_t)r.logger.size(), "level", r.lvl, "payload", r.payload.data(),
                (Py_ssize_t)r.payload.size(), "file", r.file.data(), (Py_ssize_t)r.file.size(), "line", r.line, "func",
                r.func.data(), (Py_ssize_t)r.func.size(), "thread_id", (Py_ssize_t)r.thread_id)));
            if (!r.fields.empty()) {
                object json = object::steal(check(PyImport_ImportModule("json")));
                object fields = object::steal(check(
                    PyObject_CallMethod(json.ptr(), "loads", "s#", r.fields.data(), (Py_ssize_t)r.fields.size())));
                check(PyDict_SetItemString(entry.ptr(), "fields", fields.ptr()));
            }
            check(PyList_Append(list.ptr(), entry.ptr()));
        }
        return list.release();
    });
}

// record_errors(name): the named logger's error handler keeps its texts for errors().
PyObject* testext_record_errors(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto logger = quillet::LoggerRegistry::get_logger(text_arg(arg), false);
        if (!logger) {
            PyErr_SetString(PyExc_KeyError, "no such logger");
            return nullptr;
        }
        logger->set_error_handler([](const std::string& what) {
            std::lock_guard<std::mutex> lock(g_records_mutex);
            g_errors.push_back(what);
        });
        return korvo::new_ref(Py_None);
    });
}

PyObject* testext_errors(PyObject*, PyObject*) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        std::vector<std::string> taken;
        {
            std::lock_guard<std::mutex> lock(g_records_mutex);
            taken.swap(g_errors);
        }
        object list = object::steal(check(PyList_New(0)));
        for (const auto& e : taken) {
            object text = object::steal(check(PyUnicode_FromStringAndSize(e.data(), (Py_ssize_t)e.size())));
            check(PyList_Append(list.ptr(), text.ptr()));
        }
        return list.release();
    });
}

quillet::SpdLogger* handle_of(korvo::quillet::api& api, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, api.logger_type)) {
        PyErr_SetString(PyExc_TypeError, "not a Logger");
        throw python_error{};
    }
    return &reinterpret_cast<korvo::quillet::logger_object*>(obj)->logger;
}

korvo::quillet::api& quillet_api() {
    static korvo::quillet::api api;  // its type references are kept for the process's life
    if (api.logger == nullptr && korvo::quillet::import_api(&api) != 0) throw python_error{};
    return api;
}

// attach(logger, name): gives a Logger the registered logger `name` (None empties it), as
// construction would; stands in for construction in tests.
PyObject* testext_attach(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "attach(logger, name)");
            return nullptr;
        }
        auto* obj = reinterpret_cast<korvo::quillet::logger_object*>(args[0]);
        quillet::SpdLogger* handle = handle_of(quillet_api(), args[0]);
        std::shared_ptr<spdlog::logger> logger;
        if (args[1] != Py_None) {
            logger = quillet::LoggerRegistry::get_logger(text_arg(args[1]), false);
            if (!logger) {
                PyErr_SetString(PyExc_KeyError, "no such logger");
                return nullptr;
            }
        }
        obj->logger_ptr = logger;
        *handle = quillet::SpdLogger(logger);
        return korvo::new_ref(Py_None);
    });
}

// handle_name(logger): the name of the logger logger_handle() gives, or None when empty.
PyObject* testext_handle_name(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto& api = quillet_api();
        quillet::SpdLogger handle = api.logger->logger_handle(arg);
        if (PyErr_Occurred()) return nullptr;
        if (!handle.logger) return korvo::new_ref(Py_None);
        return PyUnicode_FromString(handle.logger->name().c_str());
    });
}

korvo::quillet::log_entry entry_for(PyObject* obj, const std::string& method) {
    auto& api = quillet_api();
    static constexpr std::array<const char*, 6> names{"trace", "debug", "info", "warn", "error", "critical"};
    std::size_t index = names.size();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (method == names[i]) index = i;
    if (index == names.size()) {
        PyErr_SetString(PyExc_ValueError, "unknown method");
        throw python_error{};
    }
    // The table comes from the object's kind; the object itself is passed unchecked.
    if (PyObject_TypeCheck(obj, api.default_logger_type)) {
        const auto* t = api.default_logger;
        const std::array<korvo::quillet::log_entry, 6> e{t->trace, t->debug, t->info, t->warn, t->error, t->critical};
        return e[index];
    }
    const auto* t = api.logger;
    const std::array<korvo::quillet::log_entry, 6> e{t->trace, t->debug, t->info, t->warn, t->error, t->critical};
    return e[index];
}

// A record's fields from Python: a sequence of (bytes key, value), a value being None, a bool,
// an int, a float or bytes (a text, its bytes as given); None for none. Views `given`'s objects,
// which `keep` holds.
std::string_view bytes_view(PyObject* b) {
    if (!PyBytes_Check(b)) {
        PyErr_SetString(PyExc_TypeError, "texts are bytes here");
        throw python_error{};
    }
    return std::string_view(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
}

std::vector<quillet::record_field> fields_arg(PyObject* given, object& keep) {
    std::vector<quillet::record_field> fields;
    if (given == nullptr || given == Py_None) return fields;
    keep = object::steal(check(PySequence_Fast(given, "fields must be a sequence")));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(keep.ptr()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(keep.ptr(), i);
        PyObject* value = item(pair, 1);
        quillet::field_value fv;
        using kind = quillet::field_value::kind;
        if (value == Py_None) {
        } else if (PyBool_Check(value)) {
            fv.type = kind::boolean;
            fv.boolean = value == Py_True;
        } else if (PyLong_Check(value)) {
            fv.type = kind::integer;
            fv.integer = PyLong_AsLongLong(value);
            if (PyErr_Occurred()) throw python_error{};
        } else if (PyFloat_Check(value)) {
            fv.type = kind::real;
            fv.real = PyFloat_AS_DOUBLE(value);
        } else {
            fv.type = kind::text;
            fv.text = bytes_view(value);
        }
        fields.push_back({bytes_view(item(pair, 0)), fv});
    }
    return fields;
}

// call(obj, method, msg, *codes, skip_dispatch=False, fields=None): one native table call, inside
// a record_fields_scope of `fields` (fields_arg).
PyObject* testext_call(PyObject*, PyObject* args, PyObject* kwargs) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        if (n < 3 || n > 6) {
            PyErr_SetString(PyExc_TypeError, "call(obj, method, msg, *codes, skip_dispatch=False)");
            return nullptr;
        }
        int skip = 0;
        if (kwargs != nullptr) {
            PyObject* flag = PyDict_GetItemString(kwargs, "skip_dispatch");
            if (flag != nullptr) skip = korvo::to_bool(flag) ? 1 : 0;
        }
        korvo::quillet::log_codes codes;
        codes.count = static_cast<int>(n - 3);
        std::array<std::int32_t*, 3> slots{&codes.fg_color, &codes.bg_color, &codes.effect};
        for (Py_ssize_t i = 3; i < n; ++i)
            *slots[static_cast<std::size_t>(i - 3)] = korvo::to_int32(PyTuple_GET_ITEM(args, i));
        PyObject* obj = PyTuple_GET_ITEM(args, 0);
        auto entry = entry_for(obj, text_arg(PyTuple_GET_ITEM(args, 1)));
        object keep;
        const auto fields = fields_arg(kwargs != nullptr ? PyDict_GetItemString(kwargs, "fields") : nullptr, keep);
        const quillet::record_fields_scope scope(fields);
        if (entry(obj, PyTuple_GET_ITEM(args, 2), skip, codes.count > 0 ? &codes : nullptr) != 0) return nullptr;
        return korvo::new_ref(Py_None);
    });
}

// from_native_thread(obj, method, msg): the same call from a thread with no Python frame.
PyObject* testext_from_native_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "from_native_thread(obj, method, msg)");
            return nullptr;
        }
        auto entry = entry_for(args[0], text_arg(args[1]));
        int rc = 0;
        PyObject* obj = args[0];
        PyObject* msg = args[2];
        Py_BEGIN_ALLOW_THREADS
        std::thread worker([&] {
            PyGILState_STATE gil = PyGILState_Ensure();
            rc = entry(obj, msg, 1, nullptr);
            if (rc != 0) PyErr_Clear();
            PyGILState_Release(gil);
        });
        worker.join();
        Py_END_ALLOW_THREADS
        if (rc != 0) {
            PyErr_SetString(PyExc_RuntimeError, "the native-thread call failed");
            return nullptr;
        }
        return korvo::new_ref(Py_None);
    });
}

PyObject* testext_clear_default(PyObject*, PyObject*) {
    quillet::LoggerRegistry::set_default(nullptr);
    Py_RETURN_NONE;
}

// set_default(name): the registered logger `name` becomes the default; "" gives spdlog's own.
PyObject* testext_set_default(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        const std::string name = text_arg(arg);
        auto logger = name.empty() ? spdlog::default_logger() : quillet::LoggerRegistry::get_logger(name, false);
        if (!logger) {
            PyErr_SetString(PyExc_KeyError, "no such logger");
            return nullptr;
        }
        quillet::LoggerRegistry::set_default(logger);
        return korvo::new_ref(Py_None);
    });
}

// default_name(): the current default logger's name, or None.
PyObject* testext_default_name(PyObject*, PyObject*) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto logger = quillet::LoggerRegistry::get_logger("", true);
        if (!logger) return korvo::new_ref(Py_None);
        return PyUnicode_FromString(logger->name().c_str());
    });
}

// flush(name) flushes the registered logger; drop(name) unregisters it.
PyObject* testext_flush(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto logger = quillet::LoggerRegistry::get_logger(text_arg(arg), false);
        if (logger) logger->flush();
        return korvo::new_ref(Py_None);
    });
}

PyObject* testext_drop(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        spdlog::drop(text_arg(arg));
        return korvo::new_ref(Py_None);
    });
}

// level_object(n) and level_number(obj): the module's conversions, against the loaded module.
PyObject* testext_level_object(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        object module = object::steal(check(PyImport_ImportModule("korvo.quillet.quillet")));
        return korvo::quillet::level_object(module.ptr(), korvo::to_int32(arg)).release();
    });
}

PyObject* testext_level_number(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&] { return check(PyLong_FromLong(korvo::quillet::level_number(arg))); });
}

// --- __pyx_capi__, reached through korvo/quillet.hpp as another module would ------------------

korvo::quillet::capi& quillet_capi() {
    static korvo::quillet::capi capi;
    if (capi.get_logger == nullptr && korvo::quillet::import_capi(capi) != 0) throw python_error{};
    return capi;
}

PyObject* name_or_none(const std::shared_ptr<spdlog::logger>& logger) {
    if (!logger) return korvo::new_ref(Py_None);
    return PyUnicode_FromString(logger->name().c_str());
}

// (name of the logger found or None, the exception the call set or None): a failing lookup
// still hands back what it left in its result.
PyObject* outcome(const std::shared_ptr<spdlog::logger>& logger) {
    PyObject* raised = PyErr_GetRaisedException();
    object error = object::steal(raised != nullptr ? raised : korvo::new_ref(Py_None));
    object name = object::steal(check(name_or_none(logger)));
    return Py_BuildValue("(OO)", name.ptr(), error.ptr());
}

// Options from the call's arguments: (name, flag), as many as given.
korvo::quillet::lookup_options options_of(PyObject* const* args, Py_ssize_t nargs) {
    korvo::quillet::lookup_options options;
    options.count = static_cast<int>(nargs);
    if (nargs >= 1) options.name = args[0];
    if (nargs >= 2) options.flag = korvo::to_bool(args[1]) ? 1 : 0;
    return options;
}

// capi_by_name(name: bytes | None): get_logger_by_name; None passes a null pointer.
PyObject* testext_capi_by_name(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto fn = quillet_capi().get_logger_by_name;
        const char* name = nullptr;
        if (arg != Py_None && (name = PyBytes_AsString(arg)) == nullptr) return nullptr;
        quillet::SpdLogger handle = fn(name);
        return outcome(handle.logger);
    });
}

// capi_ptr(*options) with up to (name, flag); capi_ptr_null() passes no record at all.
PyObject* testext_capi_ptr(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        auto options = options_of(args, nargs);
        std::shared_ptr<spdlog::logger> copy = quillet_capi().get_logger_ptr(&options);
        return outcome(copy);
    });
}

PyObject* testext_capi_ptr_null(PyObject*, PyObject*) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        std::shared_ptr<spdlog::logger> copy = quillet_capi().get_logger_ptr(nullptr);
        return outcome(copy);
    });
}

// capi_get(start, *options): get_logger into a handle that starts on the registered logger
// `start` (None: empty); gives what the handle holds afterwards.
PyObject* testext_capi_get(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        if (nargs < 1) {
            PyErr_SetString(PyExc_TypeError, "capi_get(start, *options)");
            return nullptr;
        }
        quillet::SpdLogger handle;
        if (args[0] != Py_None) handle.logger = spdlog::get(text_arg(args[0]));
        auto options = options_of(args + 1, nargs - 1);
        quillet_capi().get_logger(handle, nargs > 1 ? &options : nullptr);
        return outcome(handle.logger);
    });
}

// sinks(logger): what a Logger's spdlog logger holds, as (name, level, [sink, ...]); each sink
// is (kind, level, detail): a file name for files, (max_level, inner sink) for MaxSinkLevel.
object describe_sink(const spdlog::sink_ptr& sink) {
    namespace qd = quillet::details;
    const int lvl = static_cast<int>(sink->level());
    if (auto* capped = dynamic_cast<quillet::spdlog_internal::MaxSinkLevel*>(sink.get())) {
        object inner = describe_sink(capped->get_sink());
        return object::steal(
            check(Py_BuildValue("(si(iO))", "max_level", lvl, static_cast<int>(capped->max_level()), inner.ptr())));
    }
    if (auto* file = dynamic_cast<qd::file_sink*>(sink.get()))
        return object::steal(
            check(Py_BuildValue("(sis)", file->rotating() ? "rotating" : "file", lvl, file->filename().c_str())));
    const char* kind = dynamic_cast<qd::color_stdout_sink*>(sink.get()) != nullptr   ? "color_stdout"
                       : dynamic_cast<qd::stdout_sink*>(sink.get()) != nullptr       ? "stdout"
                       : dynamic_cast<qd::color_stderr_sink*>(sink.get()) != nullptr ? "color_stderr"
                       : dynamic_cast<qd::stderr_sink*>(sink.get()) != nullptr       ? "stderr"
                                                                                     : "other";
    return object::steal(check(Py_BuildValue("(siO)", kind, lvl, Py_None)));
}

PyObject* testext_sinks(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        quillet::SpdLogger handle = quillet_api().logger->logger_handle(arg);
        if (PyErr_Occurred()) return nullptr;
        if (!handle.logger) return korvo::new_ref(Py_None);
        object sinks = object::steal(check(PyList_New(0)));
        for (const auto& sink : handle.logger->sinks()) check(PyList_Append(sinks.ptr(), describe_sink(sink).ptr()));
        return Py_BuildValue("(siO)", handle.logger->name().c_str(), static_cast<int>(handle.logger->level()),
                             sinks.ptr());
    });
}

// cxx_log(name, level, payload, fields=None): what a C++ writer does with the registered logger
// `name`: spdlog's own log call with the bytes `payload` (no source location), inside a
// record_fields_scope of `fields` (fields_arg).
PyObject* testext_cxx_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 4> names{"name", "level", "payload", "fields"};
        std::array<PyObject*, 4> v{};
        korvo::parse_args("cxx_log", args, nargs, kwnames, names, 3, v);
        auto logger = quillet::LoggerRegistry::get_logger(text_arg(v[0]), false);
        if (!logger) {
            PyErr_SetString(PyExc_KeyError, "no such logger");
            return nullptr;
        }
        object keep;
        const std::vector<quillet::record_field> fields = fields_arg(v[3], keep);
        const std::string_view payload = bytes_view(v[2]);
        const quillet::record_fields_scope scope(fields);
        logger->log(level_arg(v[1]), spdlog::string_view_t(payload.data(), payload.size()));
        return korvo::new_ref(Py_None);
    });
}

PyMethodDef testext_methods[] = {
    korvo::method_fastcall("cxx_log", testext_cxx_log),
    {"level_object", testext_level_object, METH_O, nullptr},
    {"level_number", testext_level_number, METH_O, nullptr},
    korvo::method_fastcall("make_logger", testext_make_logger),
    {"records", testext_records, METH_NOARGS, nullptr},
    {"record_errors", testext_record_errors, METH_O, nullptr},
    {"errors", testext_errors, METH_NOARGS, nullptr},
    korvo::method_positional("attach", testext_attach),
    {"handle_name", testext_handle_name, METH_O, nullptr},
    korvo::method_varargs("call", testext_call),
    korvo::method_positional("from_native_thread", testext_from_native_thread),
    {"clear_default", testext_clear_default, METH_NOARGS, nullptr},
    {"set_default", testext_set_default, METH_O, nullptr},
    {"default_name", testext_default_name, METH_NOARGS, nullptr},
    {"flush", testext_flush, METH_O, nullptr},
    {"drop", testext_drop, METH_O, nullptr},
    {"capi_by_name", testext_capi_by_name, METH_O, nullptr},
    korvo::method_positional("capi_ptr", testext_capi_ptr),
    {"capi_ptr_null", testext_capi_ptr_null, METH_NOARGS, nullptr},
    korvo::method_positional("capi_get", testext_capi_get),
    {"sinks", testext_sinks, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int testext_exec(PyObject* module) {
    return korvo::guard(-1, [&] {
        korvo::begin_exec(g_guard);
        check(PyModule_AddFunctions(module, testext_methods));
        return 0;
    });
}

PyModuleDef_Slot testext_slots[] = {KORVO_MODULE_SLOTS(korvo::create_module, testext_exec)};
PyModuleDef testext_module = {PyModuleDef_HEAD_INIT, "quillet_testext", nullptr, 0,      nullptr,
                              testext_slots,         nullptr,           nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quillet_testext() { return PyModuleDef_Init(&testext_module); }
