// Handler descriptions and ColorScheme: layouts, constructors, attributes and pickled state.
#include "handlers.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/publish.hpp"
#include "common/repr.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "fields.hpp"
#include "handler_init.hpp"
#include "levels.hpp"
#include "pickle_state.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

// Each layout starts with its base's (log_handler_object, handlers.hpp), so a base field's
// offset holds in every subclass. `json` sits where padding was: every layout keeps its size
// and offsets.
static_assert(offsetof(log_handler_object, json) == offsetof(log_handler_object, level) + sizeof(std::int32_t) &&
              sizeof(log_handler_object) == offsetof(log_handler_object, level) + alignof(void*));
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
    bool buffered;
};
// `buffered` sits where padding was: the layouts keep their sizes and offsets.
static_assert(offsetof(file_handler_object, buffered) == offsetof(file_handler_object, overwrite) + 1 &&
              sizeof(file_handler_object) == offsetof(file_handler_object, overwrite) + alignof(void*));
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

constexpr std::int32_t k_trace = 0;
constexpr std::int32_t k_info = 2;
constexpr std::int32_t k_warn = 3;

// --- Fields -------------------------------------------------------------------------------

// A field named as its layout's member, documented "<name>: <type>".
#define KORVO_QUILLET_FIELD(layout, member, kind, type) \
    constexpr field f_##member { #member, #member ": " type, field_kind::kind, offsetof(layout, member) }

// clang-format off
KORVO_QUILLET_FIELD(log_handler_object, color, boolean, "'bool'");
KORVO_QUILLET_FIELD(log_handler_object, pattern, text, "str");
KORVO_QUILLET_FIELD(log_handler_object, level, level, "'Level'");
KORVO_QUILLET_FIELD(stdout_handler_object, max_level, level, "'Level'");
KORVO_QUILLET_FIELD(console_handler_object, max_stdout_level, level, "'Level'");
KORVO_QUILLET_FIELD(console_handler_object, min_level, level, "'Level'");
constexpr field f_filename{"filename", "filename: str", field_kind::text, offsetof(file_handler_object, filename), true};
KORVO_QUILLET_FIELD(file_handler_object, overwrite, boolean, "'bool'");
KORVO_QUILLET_FIELD(file_handler_object, buffered, boolean, "'bool'");
KORVO_QUILLET_FIELD(log_handler_object, json, boolean, "'bool'");
KORVO_QUILLET_FIELD(rotating_file_handler_object, max_size, size, "'size_t'");
KORVO_QUILLET_FIELD(rotating_file_handler_object, max_files, size, "'size_t'");
KORVO_QUILLET_FIELD(color_scheme_object, trace_color, colour, "'int'");
KORVO_QUILLET_FIELD(color_scheme_object, debug_color, colour, "'int'");
KORVO_QUILLET_FIELD(color_scheme_object, info_color, colour, "'int'");
KORVO_QUILLET_FIELD(color_scheme_object, warn_color, colour, "'int'");
KORVO_QUILLET_FIELD(color_scheme_object, error_color, colour, "'int'");
KORVO_QUILLET_FIELD(color_scheme_object, critical_color, colour, "'int'");
// clang-format on

#undef KORVO_QUILLET_FIELD

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
        requires(!Refs.empty())
    static void objects(PyObject& self, F&& f) {
        for (const field* r : Refs) f(text_slot(&self, *r));
    }
};

// --- Constructors -------------------------------------------------------------------------

PyObject* as_bool(bool value) noexcept { return value ? Py_True : Py_False; }

// The base's __init__ called with a class's converted arguments.
using base_init = void (*)(PyObject* self, const init_values& a);

// (color, pattern, level) to LogHandler, the level as a Level member.
template <config_class Own, std::size_t Color, std::size_t Pattern, std::size_t Level>
void to_log_handler(PyObject* self, const init_values& a) {
    object level = level_object(a.level(Level));
    init_base(Own, self, {as_bool(a.flag(Color)), a.text[Pattern], level.ptr()});
}

// ConsoleHandler's base always gets Level.TRACE.
void console_to_log_handler(PyObject* self, const init_values& a) {
    object trace = level_object(k_trace);
    init_base(config_class::console_handler, self, {as_bool(a.flag(0)), a.text[1], trace.ptr()});
}

// FileHandler(filename, False, pattern, level as an int, False).
void rotating_to_file_handler(PyObject* self, const init_values& a) {
    object level = object::steal(check(PyLong_FromLong(a.level(2))));
    init_base(config_class::rotating_file_handler, self, {a.text[0], Py_False, a.text[1], level.ptr(), Py_False});
}

// The __init__ of a class: parse and convert, the base's part, then the fields stored here.
template <const auto& Params, base_init Base = nullptr>
int handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        const init_values a = parse_init(Params, args, kwargs);
        if constexpr (Base != nullptr) Base(self, a);
        for (std::size_t i = 0; i < Params.size(); ++i)
            if (Params[i].stored) store(self, *Params[i].f, a, i);
        return 0;
    });
}

constexpr std::array<init_param, 3> log_handler_params{
    {{&f_color, true, true}, {&f_pattern, k_default_pattern, true}, {&f_level, k_trace, true}}};
// `json` comes last in every class that has it, so that positional calls keep their meaning.
constexpr std::array<init_param, 5> stdout_handler_params{{{&f_color, false},
                                                           {&f_pattern, k_default_pattern},
                                                           {&f_level, k_trace},
                                                           {&f_max_level, k_info, true},
                                                           {&f_json, false, true}}};
constexpr std::array<init_param, 4> stderr_handler_params{
    {{&f_color, false}, {&f_pattern, k_default_pattern}, {&f_level, k_warn}, {&f_json, false, true}}};
constexpr std::array<init_param, 4> basic_console_handler_params{
    {{&f_color, false}, {&f_pattern, k_default_pattern}, {&f_level, k_trace}, {&f_json, false, true}}};
constexpr std::array<init_param, 5> console_handler_params{{{&f_color, true},
                                                            {&f_pattern, k_default_pattern},
                                                            {&f_max_stdout_level, k_info, true},
                                                            {&f_min_level, k_trace, true},
                                                            {&f_json, false, true}}};
constexpr std::array<init_param, 7> file_handler_params{{{&f_filename, k_no_default, true},
                                                         {&f_color, false},
                                                         {&f_pattern, k_default_pattern},
                                                         {&f_level, k_trace},
                                                         {&f_overwrite, false, true},
                                                         {&f_buffered, false, true},
                                                         {&f_json, false, true}}};
constexpr std::array<init_param, 7> rotating_file_handler_params{{{&f_filename, k_no_default},
                                                                  {&f_pattern, k_default_pattern},
                                                                  {&f_level, k_trace},
                                                                  {&f_max_size, 1048576, true},
                                                                  {&f_max_files, 3, true},
                                                                  {&f_buffered, false, true},
                                                                  {&f_json, false, true}}};
constexpr std::array<init_param, 6> color_scheme_params{{{&f_trace_color, -1, true},
                                                         {&f_debug_color, -1, true},
                                                         {&f_info_color, -1, true},
                                                         {&f_warn_color, -1, true},
                                                         {&f_error_color, -1, true},
                                                         {&f_critical_color, -1, true}}};

constexpr auto log_handler_init = handler_init<log_handler_params>;
constexpr auto stdout_handler_init =
    handler_init<stdout_handler_params, to_log_handler<config_class::stdout_handler, 0, 1, 2>>;
constexpr auto stderr_handler_init =
    handler_init<stderr_handler_params, to_log_handler<config_class::stderr_handler, 0, 1, 2>>;
constexpr auto basic_console_handler_init =
    handler_init<basic_console_handler_params, to_log_handler<config_class::basic_console_handler, 0, 1, 2>>;
constexpr auto console_handler_init = handler_init<console_handler_params, console_to_log_handler>;
constexpr auto file_handler_init =
    handler_init<file_handler_params, to_log_handler<config_class::file_handler, 1, 2, 3>>;
constexpr auto rotating_file_handler_init = handler_init<rotating_file_handler_params, rotating_to_file_handler>;
constexpr auto color_scheme_init = handler_init<color_scheme_params>;

// --- Repr ---------------------------------------------------------------------------------

// The constructor's parameters with the values now stored: the call that configures the same.
template <const auto& Params>
PyObject* config_repr(PyObject* self) {
    return guard(nullptr, [&] {
        std::vector<repr_arg> args;
        for (const init_param& p : Params) args.push_back({p.f->name, repr_value(self, *p.f)});
        return call_repr(self, args).release();
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

template <config_class C>
PyTypeObject* config_type() {
    return state().config(C);
}

// A class's pickling: its unpickling function, its checksums and its state fields.
template <config_class C, const auto& State>
constexpr pickled_class pickled(const char* unpickle_name, field_checksums sums) noexcept {
    return pickled_fields<State, config_type<C>>(unpickle_name, sums);
}

// `buffered` and `json` came after the field lists were fixed: they follow them, so that a
// handler leaving them false pickles as before and older pickles still load.
constexpr std::array<const field*, 1> console_handler_extras{&f_json};
constexpr std::array<const field*, 2> file_handler_extras{&f_buffered, &f_json};

template <config_class C, const auto& State>
constexpr pickled_class pickled_console(const char* unpickle_name, field_checksums sums) noexcept {
    return pickled_fields_and_extras<State, console_handler_extras, config_type<C>>(unpickle_name, sums);
}

template <config_class C, const auto& State>
constexpr pickled_class pickled_file(const char* unpickle_name, field_checksums sums) noexcept {
    return pickled_fields_and_extras<State, file_handler_extras, config_type<C>>(unpickle_name, sums);
}

constexpr field_checksums log_handler_sums{248553524, 144241045, 229147304, "color, level, pattern"};
constexpr field_checksums stdout_handler_sums{11261678, 150681764, 102288808, "color, level, max_level, pattern"};
constexpr field_checksums console_handler_sums{106424894, 138641504, 25251890,
                                               "color, level, max_stdout_level, min_level, pattern"};
constexpr field_checksums file_handler_sums{114860579, 7346076, 58186703, "color, filename, level, overwrite, pattern"};
constexpr field_checksums rotating_file_handler_sums{44524042, 201398803, 50701797,
                                                     "color, filename, level, max_files, max_size, overwrite, pattern"};
constexpr field_checksums color_scheme_sums{
    32762675, 124373663, 9333230, "critical_color, debug_color, error_color, info_color, trace_color, warn_color"};

// clang-format off
constexpr auto pickle_log_handler = pickled<config_class::log_handler, log_handler_state>(
    "__pyx_unpickle_LogHandler", log_handler_sums);
constexpr auto pickle_stdout_handler = pickled_console<config_class::stdout_handler, stdout_handler_state>(
    "__pyx_unpickle_StdoutHandler", stdout_handler_sums);
constexpr auto pickle_stderr_handler = pickled_console<config_class::stderr_handler, log_handler_state>(
    "__pyx_unpickle_StderrHandler", log_handler_sums);
constexpr auto pickle_basic_console_handler = pickled_console<config_class::basic_console_handler, log_handler_state>(
    "__pyx_unpickle_BasicConsoleHandler", log_handler_sums);
constexpr auto pickle_console_handler = pickled_console<config_class::console_handler, console_handler_state>(
    "__pyx_unpickle_ConsoleHandler", console_handler_sums);
constexpr auto pickle_file_handler = pickled_file<config_class::file_handler, file_handler_state>(
    "__pyx_unpickle_FileHandler", file_handler_sums);
constexpr auto pickle_rotating_file_handler = pickled_file<config_class::rotating_file_handler, rotating_file_handler_state>(
    "__pyx_unpickle_RotatingFileHandler", rotating_file_handler_sums);
constexpr auto pickle_color_scheme = pickled<config_class::color_scheme, color_scheme_state>(
    "__pyx_unpickle_ColorScheme", color_scheme_sums);
// clang-format on

// --- Types --------------------------------------------------------------------------------

template <const pickled_class& Cls>
auto pickling_methods = method_table(pickling_method_defs<Cls>());

PyGetSetDef log_handler_getset[] = {field_getset(f_color), field_getset(f_pattern), field_getset(f_level), {}};
PyGetSetDef stdout_handler_getset[] = {field_getset(f_max_level), field_getset(f_json), {}};
PyGetSetDef console_handler_getset[] = {
    field_getset(f_max_stdout_level), field_getset(f_min_level), field_getset(f_json), {}};
PyGetSetDef file_handler_getset[] = {
    field_getset(f_filename), field_getset(f_overwrite), field_getset(f_buffered), field_getset(f_json), {}};
PyGetSetDef json_getset[] = {field_getset(f_json), {}};
PyGetSetDef rotating_file_handler_getset[] = {field_getset(f_max_size), field_getset(f_max_files), {}};
PyGetSetDef color_scheme_getset[] = {field_getset(f_trace_color),
                                     field_getset(f_debug_color),
                                     field_getset(f_info_color),
                                     field_getset(f_warn_color),
                                     field_getset(f_error_color),
                                     field_getset(f_critical_color),
                                     {}};

// Slots of one class. GC support goes with the layouts that own references.
template <const auto& Refs, const pickled_class& Cls, const auto& Params>
auto make_slots(const char* doc, initproc init, PyGetSetDef* getset) {
    return type_slots<PyObject, config_desc<Refs>>::slots(std::to_array({
        doc_slot(doc),
        slot(Py_tp_init, init),
        slot(Py_tp_repr, config_repr<Params>),
        PyType_Slot{Py_tp_getset, getset},
        PyType_Slot{Py_tp_methods, pickling_methods<Cls>.data()},
        slot(Py_tp_new, config_new<Refs>),
    }));
}

// The pattern parameter as each handler's signature shows it.
#define KORVO_PATTERN_PARAM "str pattern='" KORVO_QUILLET_HANDLER_PATTERN "'"

auto log_handler_slots = make_slots<log_handler_refs, pickle_log_handler, log_handler_params>(
    "LogHandler(bool color=True, " KORVO_PATTERN_PARAM ", Level level=Level.TRACE)", log_handler_init,
    log_handler_getset);
auto stdout_handler_slots = make_slots<log_handler_refs, pickle_stdout_handler, stdout_handler_params>(
    "StdoutHandler(bool color=False, " KORVO_PATTERN_PARAM
    ", Level level=Level.TRACE, Level max_level=Level.INFO, bool json=False)",
    stdout_handler_init, stdout_handler_getset);
auto stderr_handler_slots = make_slots<log_handler_refs, pickle_stderr_handler, stderr_handler_params>(
    "StderrHandler(bool color=False, " KORVO_PATTERN_PARAM ", Level level=Level.WARN, bool json=False)",
    stderr_handler_init, json_getset);
auto basic_console_handler_slots =
    make_slots<log_handler_refs, pickle_basic_console_handler, basic_console_handler_params>(
        "BasicConsoleHandler(bool color=False, " KORVO_PATTERN_PARAM ", Level level=Level.TRACE, bool json=False)",
        basic_console_handler_init, json_getset);
auto console_handler_slots = make_slots<log_handler_refs, pickle_console_handler, console_handler_params>(
    "ConsoleHandler(bool color=True, " KORVO_PATTERN_PARAM
    ", Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE, bool json=False)",
    console_handler_init, console_handler_getset);
auto file_handler_slots = make_slots<file_handler_refs, pickle_file_handler, file_handler_params>(
    "FileHandler(str filename, bool color=False, " KORVO_PATTERN_PARAM
    ", Level level=Level.TRACE, bool overwrite=False, bool buffered=False, bool json=False)",
    file_handler_init, file_handler_getset);
auto rotating_file_handler_slots =
    make_slots<file_handler_refs, pickle_rotating_file_handler, rotating_file_handler_params>(
        "RotatingFileHandler(str filename, " KORVO_PATTERN_PARAM
        ", Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3, bool buffered=False, "
        "bool json=False)",
        rotating_file_handler_init, rotating_file_handler_getset);
auto color_scheme_slots = make_slots<no_refs, pickle_color_scheme, color_scheme_params>(
    "ColorScheme(int trace_color=-1, int debug_color=-1, int info_color=-1, int warn_color=-1, "
    "int error_color=-1, int critical_color=-1)",
    color_scheme_init, color_scheme_getset);

#undef KORVO_PATTERN_PARAM

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
