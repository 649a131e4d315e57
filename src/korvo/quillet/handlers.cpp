// Handler descriptions and ColorScheme: layouts, constructors, attributes and pickled state.
#include "handlers.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/publish.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "fields.hpp"
#include "levels.hpp"
#include "pickle_state.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

// Each layout starts with its base's, so a base field's offset holds in every subclass.
struct log_handler_object {
    PyObject_HEAD
    bool color;
    object pattern;
    std::int32_t level;
};
struct stdout_handler_object {
    log_handler_object base;
    std::int32_t max_level;
};
struct console_handler_object {
    log_handler_object base;
    std::int32_t max_stdout_level;
    std::int32_t min_level;
};
struct file_handler_object {
    log_handler_object base;
    object filename;
    bool overwrite;
};
struct rotating_file_handler_object {
    file_handler_object base;
    std::uint64_t max_size;
    std::uint64_t max_files;
};
struct color_scheme_object {
    PyObject_HEAD
    std::int32_t trace_color;
    std::int32_t debug_color;
    std::int32_t info_color;
    std::int32_t warn_color;
    std::int32_t error_color;
    std::int32_t critical_color;
};

template <class T>
T* as(PyObject* self) noexcept {
    return reinterpret_cast<T*>(self);
}

constexpr std::int32_t k_trace = 0;
constexpr std::int32_t k_info = 2;
constexpr std::int32_t k_warn = 3;

// --- Fields -------------------------------------------------------------------------------

constexpr field f_color{"color", "color: 'bool'", field_kind::boolean, offsetof(log_handler_object, color)};
constexpr field f_pattern{"pattern", "pattern: str", field_kind::text, offsetof(log_handler_object, pattern)};
constexpr field f_level{"level", "level: 'Level'", field_kind::level, offsetof(log_handler_object, level)};
constexpr field f_max_level{"max_level", "max_level: 'Level'", field_kind::level,
                            offsetof(stdout_handler_object, max_level)};
constexpr field f_max_stdout_level{"max_stdout_level", "max_stdout_level: 'Level'", field_kind::level,
                                   offsetof(console_handler_object, max_stdout_level)};
constexpr field f_min_level{"min_level", "min_level: 'Level'", field_kind::level,
                            offsetof(console_handler_object, min_level)};
constexpr field f_filename{"filename", "filename: str", field_kind::text, offsetof(file_handler_object, filename)};
constexpr field f_overwrite{"overwrite", "overwrite: 'bool'", field_kind::boolean,
                            offsetof(file_handler_object, overwrite)};
constexpr field f_max_size{"max_size", "max_size: 'size_t'", field_kind::size,
                           offsetof(rotating_file_handler_object, max_size)};
constexpr field f_max_files{"max_files", "max_files: 'size_t'", field_kind::size,
                            offsetof(rotating_file_handler_object, max_files)};
constexpr field f_trace_color{"trace_color", "trace_color: 'int'", field_kind::colour,
                              offsetof(color_scheme_object, trace_color)};
constexpr field f_debug_color{"debug_color", "debug_color: 'int'", field_kind::colour,
                              offsetof(color_scheme_object, debug_color)};
constexpr field f_info_color{"info_color", "info_color: 'int'", field_kind::colour,
                             offsetof(color_scheme_object, info_color)};
constexpr field f_warn_color{"warn_color", "warn_color: 'int'", field_kind::colour,
                             offsetof(color_scheme_object, warn_color)};
constexpr field f_error_color{"error_color", "error_color: 'int'", field_kind::colour,
                              offsetof(color_scheme_object, error_color)};
constexpr field f_critical_color{"critical_color", "critical_color: 'int'", field_kind::colour,
                                 offsetof(color_scheme_object, critical_color)};

// The references each layout owns.
constexpr std::array<const field*, 1> log_handler_refs{&f_pattern};
constexpr std::array<const field*, 2> file_handler_refs{&f_pattern, &f_filename};
constexpr std::array<const field*, 0> no_refs{};

// --- Lifetime -----------------------------------------------------------------------------

// Fields as after allocation: texts None, bools false, numbers 0. Arguments are for __init__.
template <const auto& Refs>
PyObject* config_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    for (const field* f : Refs) new (&text_slot(self, *f)) object();
    return self;
}

// The texts a layout owns, empty for None.
template <const auto& Refs>
struct config_desc {
    template <class F>
    requires(!Refs.empty()) static void objects(PyObject& self, F&& f) {
        for (const field* r : Refs) f(text_slot(&self, *r));
    }
};

// --- Constructors -------------------------------------------------------------------------

// A text argument: the given value or `fallback`, an exact str or None. Borrowed.
PyObject* text_arg(PyObject* value, PyObject* fallback, const char* name) {
    PyObject* text = value != nullptr ? value : fallback;
    check_exact_type(text, &PyUnicode_Type, name, true);
    return text;
}

object stored_text(PyObject* text) { return text == Py_None ? object() : object::borrow(text); }

std::int32_t level_arg(PyObject* value, std::int32_t fallback) {
    return value != nullptr ? level_number(value) : fallback;
}

bool bool_arg(PyObject* value, bool fallback) { return value != nullptr ? to_bool(value) : fallback; }

PyObject* default_pattern() { return state().default_handler_pattern.ptr(); }

// super(own, self).__init__(*args): the next __init__ after `own` in the instance's MRO.
void init_base(config_class own, PyObject* self, std::initializer_list<PyObject*> args) {
    PyObject* own_type = reinterpret_cast<PyObject*>(state().config(own));
    object super = object::steal(
        check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), own_type, self, nullptr)));
    object init = get_attr(super.ptr(), "__init__");
    object result = object::steal(check(PyObject_Vectorcall(init.ptr(), std::data(args), args.size(), nullptr)));
}

PyObject* as_bool(bool value) noexcept { return value ? Py_True : Py_False; }

int log_handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 3> names{"color", "pattern", "level"};
        std::array<PyObject*, 3> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        const bool color = bool_arg(v[0], true);
        const std::int32_t level = level_arg(v[2], k_trace);
        PyObject* pattern = text_arg(v[1], default_pattern(), "pattern");
        auto* h = as<log_handler_object>(self);
        h->color = color;
        h->pattern = stored_text(pattern);
        h->level = level;
        return 0;
    });
}

// StderrHandler and BasicConsoleHandler: (color=False, pattern, level) to the base, as a Level.
template <config_class Own, std::int32_t DefaultLevel>
int plain_console_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 3> names{"color", "pattern", "level"};
        std::array<PyObject*, 3> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        const bool color = bool_arg(v[0], false);
        const std::int32_t level = level_arg(v[2], DefaultLevel);
        PyObject* pattern = text_arg(v[1], default_pattern(), "pattern");
        object level_member = level_object(level);
        init_base(Own, self, {as_bool(color), pattern, level_member.ptr()});
        return 0;
    });
}

int stdout_handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 4> names{"color", "pattern", "level", "max_level"};
        std::array<PyObject*, 4> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        const bool color = bool_arg(v[0], false);
        const std::int32_t level = level_arg(v[2], k_trace);
        const std::int32_t max_level = level_arg(v[3], k_info);
        PyObject* pattern = text_arg(v[1], default_pattern(), "pattern");
        object level_member = level_object(level);
        init_base(config_class::stdout_handler, self, {as_bool(color), pattern, level_member.ptr()});
        as<stdout_handler_object>(self)->max_level = max_level;
        return 0;
    });
}

int console_handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 4> names{"color", "pattern", "max_stdout_level", "min_level"};
        std::array<PyObject*, 4> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        const bool color = bool_arg(v[0], true);
        const std::int32_t max_stdout_level = level_arg(v[2], k_info);
        const std::int32_t min_level = level_arg(v[3], k_trace);
        PyObject* pattern = text_arg(v[1], default_pattern(), "pattern");
        object trace = level_object(k_trace);
        init_base(config_class::console_handler, self, {as_bool(color), pattern, trace.ptr()});
        auto* h = as<console_handler_object>(self);
        h->max_stdout_level = max_stdout_level;
        h->min_level = min_level;
        return 0;
    });
}

int file_handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 5> names{"filename", "color", "pattern", "level", "overwrite"};
        std::array<PyObject*, 5> v{};
        parse_tuple_args("__init__", args, kwargs, names, 1, v);
        const bool color = bool_arg(v[1], false);
        const std::int32_t level = level_arg(v[3], k_trace);
        const bool overwrite = bool_arg(v[4], false);
        PyObject* filename = text_arg(v[0], nullptr, "filename");
        PyObject* pattern = text_arg(v[2], default_pattern(), "pattern");
        object level_member = level_object(level);
        init_base(config_class::file_handler, self, {as_bool(color), pattern, level_member.ptr()});
        auto* h = as<file_handler_object>(self);
        h->filename = stored_text(filename);
        h->overwrite = overwrite;
        return 0;
    });
}

int rotating_file_handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 5> names{"filename", "pattern", "level", "max_size", "max_files"};
        std::array<PyObject*, 5> v{};
        parse_tuple_args("__init__", args, kwargs, names, 1, v);
        const std::int32_t level = level_arg(v[2], k_trace);
        const std::uint64_t max_size = v[3] != nullptr ? to_size(v[3]) : 1048576;
        const std::uint64_t max_files = v[4] != nullptr ? to_size(v[4]) : 3;
        PyObject* filename = text_arg(v[0], nullptr, "filename");
        PyObject* pattern = text_arg(v[1], default_pattern(), "pattern");
        object level_int = object::steal(check(PyLong_FromLong(level)));
        init_base(config_class::rotating_file_handler, self, {filename, Py_False, pattern, level_int.ptr(), Py_False});
        auto* h = as<rotating_file_handler_object>(self);
        h->max_size = max_size;
        h->max_files = max_files;
        return 0;
    });
}

int color_scheme_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 6> names{"trace_color", "debug_color", "info_color",
                                                          "warn_color",  "error_color", "critical_color"};
        std::array<PyObject*, 6> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        std::array<std::int32_t, 6> colors{};
        for (std::size_t i = 0; i < colors.size(); ++i) colors[i] = v[i] != nullptr ? to_int32(v[i]) : -1;
        auto* c = as<color_scheme_object>(self);
        c->trace_color = colors[0];
        c->debug_color = colors[1];
        c->info_color = colors[2];
        c->warn_color = colors[3];
        c->error_color = colors[4];
        c->critical_color = colors[5];
        return 0;
    });
}

// --- Pickled state ------------------------------------------------------------------------

constexpr std::array<const field*, 3> log_handler_state{&f_color, &f_level, &f_pattern};
constexpr std::array<const field*, 4> stdout_handler_state{&f_color, &f_level, &f_max_level, &f_pattern};
constexpr std::array<const field*, 5> console_handler_state{&f_color, &f_level, &f_max_stdout_level, &f_min_level,
                                                            &f_pattern};
constexpr std::array<const field*, 5> file_handler_state{&f_color, &f_filename, &f_level, &f_overwrite, &f_pattern};
constexpr std::array<const field*, 7> rotating_file_handler_state{&f_color,    &f_filename,  &f_level,  &f_max_files,
                                                                  &f_max_size, &f_overwrite, &f_pattern};
constexpr std::array<const field*, 6> color_scheme_state{&f_critical_color, &f_debug_color, &f_error_color,
                                                         &f_info_color,     &f_trace_color, &f_warn_color};

constexpr field_checksums log_handler_sums{248553524, 144241045, 229147304, "color, level, pattern"};

template <config_class C>
PyTypeObject* config_type(const quillet_state& st) {
    return st.config(C);
}

constexpr pickled_class pickle_log_handler{"__pyx_unpickle_LogHandler", log_handler_sums, log_handler_state,
                                           config_type<config_class::log_handler>};
constexpr pickled_class pickle_stdout_handler{"__pyx_unpickle_StdoutHandler",
                                              {11261678, 150681764, 102288808, "color, level, max_level, pattern"},
                                              stdout_handler_state,
                                              config_type<config_class::stdout_handler>};
constexpr pickled_class pickle_stderr_handler{"__pyx_unpickle_StderrHandler", log_handler_sums, log_handler_state,
                                              config_type<config_class::stderr_handler>};
constexpr pickled_class pickle_basic_console_handler{"__pyx_unpickle_BasicConsoleHandler", log_handler_sums,
                                                     log_handler_state,
                                                     config_type<config_class::basic_console_handler>};
constexpr pickled_class pickle_console_handler{
    "__pyx_unpickle_ConsoleHandler",
    {106424894, 138641504, 25251890, "color, level, max_stdout_level, min_level, pattern"},
    console_handler_state,
    config_type<config_class::console_handler>};
constexpr pickled_class pickle_file_handler{
    "__pyx_unpickle_FileHandler",
    {114860579, 7346076, 58186703, "color, filename, level, overwrite, pattern"},
    file_handler_state,
    config_type<config_class::file_handler>};
constexpr pickled_class pickle_rotating_file_handler{
    "__pyx_unpickle_RotatingFileHandler",
    {44524042, 201398803, 50701797, "color, filename, level, max_files, max_size, overwrite, pattern"},
    rotating_file_handler_state,
    config_type<config_class::rotating_file_handler>};
constexpr pickled_class pickle_color_scheme{
    "__pyx_unpickle_ColorScheme",
    {32762675, 124373663, 9333230, "critical_color, debug_color, error_color, info_color, trace_color, warn_color"},
    color_scheme_state,
    config_type<config_class::color_scheme>};

// --- Types --------------------------------------------------------------------------------

template <const pickled_class& Cls>
auto pickling_methods = method_table(pickling_method_defs<Cls>());

PyGetSetDef log_handler_getset[] = {field_getset(f_color), field_getset(f_pattern), field_getset(f_level), {}};
PyGetSetDef stdout_handler_getset[] = {field_getset(f_max_level), {}};
PyGetSetDef console_handler_getset[] = {field_getset(f_max_stdout_level), field_getset(f_min_level), {}};
PyGetSetDef file_handler_getset[] = {field_getset(f_filename), field_getset(f_overwrite), {}};
PyGetSetDef rotating_file_handler_getset[] = {field_getset(f_max_size), field_getset(f_max_files), {}};
PyGetSetDef color_scheme_getset[] = {field_getset(f_trace_color),
                                     field_getset(f_debug_color),
                                     field_getset(f_info_color),
                                     field_getset(f_warn_color),
                                     field_getset(f_error_color),
                                     field_getset(f_critical_color),
                                     {}};

PyGetSetDef no_getset[] = {{}};

// Slots of one class. GC support goes with the layouts that own references.
template <const auto& Refs, const pickled_class& Cls>
auto make_slots(const char* doc, initproc init, PyGetSetDef* getset) {
    return type_slots<PyObject, config_desc<Refs>>::slots(std::to_array({
        doc_slot(doc),
        slot(Py_tp_init, init),
        PyType_Slot{Py_tp_getset, getset},
        PyType_Slot{Py_tp_methods, pickling_methods<Cls>.data()},
        slot(Py_tp_new, config_new<Refs>),
    }));
}

auto log_handler_slots = make_slots<log_handler_refs, pickle_log_handler>(
    "LogHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE)",
    log_handler_init, log_handler_getset);
auto stdout_handler_slots = make_slots<log_handler_refs, pickle_stdout_handler>(
    "StdoutHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
    "Level level=Level.TRACE, Level max_level=Level.INFO)",
    stdout_handler_init, stdout_handler_getset);
auto stderr_handler_slots = make_slots<log_handler_refs, pickle_stderr_handler>(
    "StderrHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.WARN)",
    plain_console_init<config_class::stderr_handler, k_warn>, no_getset);
auto basic_console_handler_slots = make_slots<log_handler_refs, pickle_basic_console_handler>(
    "BasicConsoleHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
    "Level level=Level.TRACE)",
    plain_console_init<config_class::basic_console_handler, k_trace>, no_getset);
auto console_handler_slots = make_slots<log_handler_refs, pickle_console_handler>(
    "ConsoleHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
    "Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE)",
    console_handler_init, console_handler_getset);
auto file_handler_slots = make_slots<file_handler_refs, pickle_file_handler>(
    "FileHandler(str filename, bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
    "Level level=Level.TRACE, bool overwrite=False)",
    file_handler_init, file_handler_getset);
auto rotating_file_handler_slots = make_slots<file_handler_refs, pickle_rotating_file_handler>(
    "RotatingFileHandler(str filename, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
    "Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3)",
    rotating_file_handler_init, rotating_file_handler_getset);
auto color_scheme_slots = make_slots<no_refs, pickle_color_scheme>(
    "ColorScheme(int trace_color=-1, int debug_color=-1, int info_color=-1, int warn_color=-1, "
    "int error_color=-1, int critical_color=-1)",
    color_scheme_init, color_scheme_getset);

PyMethodDef unpickle_functions[] = {
    unpickle_def<pickle_log_handler>("__pyx_unpickle_LogHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_stdout_handler>(
        "__pyx_unpickle_StdoutHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_stderr_handler>(
        "__pyx_unpickle_StderrHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_basic_console_handler>(
        "__pyx_unpickle_BasicConsoleHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_console_handler>(
        "__pyx_unpickle_ConsoleHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_file_handler>("__pyx_unpickle_FileHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_rotating_file_handler>(
        "__pyx_unpickle_RotatingFileHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    unpickle_def<pickle_color_scheme>("__pyx_unpickle_ColorScheme(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    k_methods_end,
};

}  // namespace

void add_config_types(PyObject* module) {
    quillet_state& st = quillet_module::of_module(module);
    static PyType_Spec specs[] = {
        type_spec("korvo.quillet.quillet.LogHandler", sizeof(log_handler_object), k_immutable_gc_type_flags,
                  log_handler_slots.data()),
        type_spec("korvo.quillet.quillet.StdoutHandler", sizeof(stdout_handler_object), k_immutable_gc_type_flags,
                  stdout_handler_slots.data()),
        type_spec("korvo.quillet.quillet.StderrHandler", sizeof(log_handler_object), k_immutable_gc_type_flags,
                  stderr_handler_slots.data()),
        type_spec("korvo.quillet.quillet.BasicConsoleHandler", sizeof(log_handler_object), k_immutable_gc_type_flags,
                  basic_console_handler_slots.data()),
        type_spec("korvo.quillet.quillet.ConsoleHandler", sizeof(console_handler_object), k_immutable_gc_type_flags,
                  console_handler_slots.data()),
        type_spec("korvo.quillet.quillet.FileHandler", sizeof(file_handler_object), k_immutable_gc_type_flags,
                  file_handler_slots.data()),
        type_spec("korvo.quillet.quillet.RotatingFileHandler", sizeof(rotating_file_handler_object),
                  k_immutable_gc_type_flags, rotating_file_handler_slots.data()),
        type_spec("korvo.quillet.quillet.ColorScheme", sizeof(color_scheme_object), k_immutable_type_flags,
                  color_scheme_slots.data()),
    };
    // The base of each class, by index into specs (-1: object).
    static constexpr std::array<int, 8> bases{-1, 0, 0, 0, 0, 0, 5, -1};
    for (std::size_t i = 0; i < bases.size(); ++i) {
        PyObject* base = bases[i] >= 0 ? st.config_types[static_cast<std::size_t>(bases[i])].ptr() : nullptr;
        PyTypeObject* type = add_type(module, &specs[i], base);
        st.config_types[i] = object::steal(reinterpret_cast<PyObject*>(type));
    }
}

void add_config_unpickle(PyObject* module) { check(PyModule_AddFunctions(module, unpickle_functions)); }

}  // namespace korvo::quillet
