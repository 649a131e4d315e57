// PyLogHandler (a Python class on logging.Handler with native methods) and redirect_pylog.
#include "stdlib_bridge.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/type.hpp"
#include "interpreter_view.hpp"
#include "log_call.hpp"
#include "common/critical_section.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

object module_global(const char* name) { return get_attr(state().module, name); }

// The buckets in the order their thresholds are compared; below all of them is trace.
constexpr std::array<std::pair<emit_name, level>, 5> k_buckets{{{emit_name::critical, level::critical},
                                                                {emit_name::error, level::err},
                                                                {emit_name::warn, level::warn},
                                                                {emit_name::info, level::info},
                                                                {emit_name::debug, level::debug}}};

// The Python comparison lvl >= threshold, done in C when the threshold is an exact int.
bool at_least(std::int32_t lvl, PyObject* threshold) {
    if (PyLong_CheckExact(threshold)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(threshold, &overflow);
        if (overflow != 0) return overflow < 0;
        return lvl >= value;
    }
    object number = object::steal(check(PyLong_FromLong(lvl)));
    return check(PyObject_RichCompareBool(number.ptr(), threshold, Py_GE)) == 1;
}

PyObject* py_log_handler_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"level"};
        std::array<PyObject*, 1> v{};
        parse_args("__init__", args, nargs, kwnames, names, 1, v);
        object handler_level = object::steal(check(PyLong_FromLong(to_int32(v[0]))));
        quillet_state& st = state();
        object super = object::steal(check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                                        st.py_log_handler_type.ptr(), self, nullptr)));
        object result = call_method(super.ptr(), "__init__", handler_level.ptr());
        object logging = module_global("py_logging");
        static constexpr std::array<std::pair<const char*, emit_name>, 5> thresholds{
            {{"DEBUG", emit_name::debug},
             {"INFO", emit_name::info},
             {"WARN", emit_name::warn},
             {"ERROR", emit_name::error},
             {"CRITICAL", emit_name::critical}}};
        for (const auto& [constant, attr] : thresholds) {
            object value = get_attr(logging.ptr(), constant);
            check(PyObject_SetAttr(self, st.name(attr), value.ptr()));
        }
        Py_RETURN_NONE;
    });
}

void append_stack(fmt::memory_buffer& text, PyObject* stack_info) {
    object str =
        PyUnicode_Check(stack_info) ? object::borrow(stack_info) : object::steal(check(PyObject_Str(stack_info)));
    object keep;
    const std::string_view more = loggable_utf8(str.ptr(), keep);
    text.push_back('\n');
    text.append(more);
}

// The attributes of a standard record (its instance dict) that the logging package did not set:
// what the caller passed as `extra` (or set on the record). A value whose str() fails is shown as
// "<unprintable TYPE>" rather than losing the record.
void add_extra_fields(record_fields_builder& fields, PyObject* dict, const quillet_state& st) {
    PyObject* standard = st.standard_record_attributes.ptr();
    // Most records have no extra: find that out without copying anything, the keys in the
    // order LogRecord sets them by identity, any other through the set.
    PyObject* order = st.standard_record_order.ptr();
    Py_ssize_t pos = 0;
    Py_ssize_t next = 0;  // the position in `order` the next key is expected at
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int any = 0;  // -1: the set test failed
    {
        // Walked in the dict's critical section (another thread may change the record); the
        // keys are only compared, and nothing here throws.
        const critical_section lock(dict);
        while (any == 0 && PyDict_Next(dict, &pos, &key, &value)) {
            if (next < PyTuple_GET_SIZE(order) && key == PyTuple_GET_ITEM(order, next)) {
                ++next;
                continue;
            }
            if (PyUnicode_Check(key)) {
                const int standard_key = PySet_Contains(standard, key);
                any = standard_key < 0 ? -1 : standard_key == 0 ? 1 : 0;
            }
        }
    }
    if (check(any) == 0) return;
    // A copy of the items: a value's __str__ may change the record.
    object items = object::steal(check(PyDict_Items(dict)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key) || check(PySet_Contains(standard, key)) == 1) continue;
        try {
            fields.add(key, PyTuple_GET_ITEM(item, 1));
        } catch (const python_error&) {
            PyErr_Clear();
            object text = object::steal(
                check(PyUnicode_FromFormat("<unprintable %s>", Py_TYPE(PyTuple_GET_ITEM(item, 1))->tp_name)));
            fields.add(key, text.ptr());
        }
    }
}

// Reading a record's attributes through the generic attribute lookup looks each name up along
// the class's MRO before it finds it in the instance dict. When no class of the MRO has an
// attribute of those names (no class attribute, property or slot) and the class reads
// attributes the generic way, the instance dict is what that lookup would give: it is read
// directly. The verdict is kept with the class's version tag, which the interpreter changes
// whenever the class or one of its bases is modified.
// A class's version tag; the free-threaded interpreter assigns it while other threads read it.
unsigned int version_tag(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
#else
    return type->tp_version_tag;
#endif
}

template <class Extra>
bool reads_from_instance_dict(PyTypeObject* type, std::span<const emit_name> names, plain_class_memo& memo,
                              Extra&& extra_test) {
    if (version_tag(type) == 0 && PyUnstable_Type_AssignVersionTag(type) == 0) return false;
    quillet_state& st = state();
    const unsigned int version = version_tag(type);
    {
        const ft_mutex_lock lock(st.memo_mutex);
        if (memo.type.ptr() == reinterpret_cast<PyObject*>(type) && memo.version == version) return memo.plain;
    }
    bool plain = type->tp_getattro == PyObject_GenericGetAttr && PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
    // Held: another thread may give the class new bases, and so a new MRO, meanwhile.
    object mro = object::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__")));
    for (Py_ssize_t i = 0; plain && PyTuple_Check(mro.ptr()) && i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
        object dict = object::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.ptr(), i))));
        if (!dict) continue;
        for (const emit_name name : names) {
            if (check(PyDict_Contains(dict.ptr(), st.name(name))) == 1) plain = false;
        }
    }
    plain = plain && extra_test(type);
    // A class changed while it was looked at gets another tag: the verdict is kept for the tag read
    // before, which the next lookup no longer matches.
    object replaced;  // dropped after the lock
    {
        const ft_mutex_lock lock(st.memo_mutex);
        replaced = std::exchange(memo.type, object::borrow(reinterpret_cast<PyObject*>(type)));
        memo.version = version;
        memo.plain = plain;
    }
    return plain;
}

// obj.<name>, read from `dict` when there is one and it holds the name.
object attribute(PyObject* obj, PyObject* dict, PyObject* name) {
    if (dict != nullptr) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(dict, name, &value)) == 1) return object::steal(value);
    }
    return object::steal(check(PyObject_GetAttr(obj, name)));
}

constexpr std::array<emit_name, 5> k_threshold_names{emit_name::critical, emit_name::error, emit_name::warn,
                                                     emit_name::info, emit_name::debug};

// How emit reads a record: a record of a plain class (see reads_from_instance_dict) with just
// the attributes LogRecord's __init__ sets, held compactly, from those (and then it has no
// extra attributes); another of a plain class from its dict; any other through getattr.
class record_reader {
public:
    record_reader(PyObject* record, quillet_state& st) : record_(record), st_(st) {
        const bool plain = reads_from_instance_dict(Py_TYPE(record), k_record_names, st.record_class,
                                                    [&](PyTypeObject* type) { return reads_own_message(type); });
        if (!plain) return;
        {
            // In the record's critical section: another thread may change its attributes.
            const critical_section lock(record);
            std::array<PyObject*, k_most_standard> standard{};
            standard_only_ = holds_standard_only(standard);
            // Held: Python code run later (getMessage, a threshold's comparison) may change them.
            if (standard_only_)
                for (std::size_t i = 0; i < values_.size(); ++i)
                    values_[i] = object::borrow(standard[st.record_positions[i]]);
        }
        if (!standard_only_) {
            dict_ = object::steal(check(PyObject_GenericGetDict(record, nullptr)));
        }
    }

    object get(std::size_t which) const {
        if (standard_only_) return values_[which];
        return attribute(record_, dict_.ptr(), st_.name(k_record_names[which]));
    }

    // getMessage(), or, when it is the logging package's own, on a record without arguments and
    // with a str message (the usual record), that message itself, which is what it would return.
    object message() const {
        if (standard_only_ || (dict_ && check(PyDict_Contains(dict_.ptr(), st_.name(emit_name::get_message))) == 0)) {
            object msg = get(k_msg);
            object args = get(k_args);
            PyObject* a = args.ptr();
            const bool no_args = a == Py_None || (PyTuple_CheckExact(a) && PyTuple_GET_SIZE(a) == 0) ||
                                 (PyDict_CheckExact(a) && PyDict_GET_SIZE(a) == 0);
            if (no_args && PyUnicode_CheckExact(msg.ptr())) return msg;
        }
        return object::steal(check(PyObject_CallMethodNoArgs(record_, st_.name(emit_name::get_message))));
    }

    // True when the record has, now, just the attributes LogRecord's __init__ sets: no extra.
    // Asked again after Python code may have run, since that code may have added some.
    bool standard_only_now() const noexcept {
        if (!standard_only_) return false;
        const critical_section lock(record_);
        std::array<PyObject*, k_most_standard> standard{};
        return holds_standard_only(standard);
    }

    // The attributes the logging package did not set become the record's fields.
    void add_extra_fields(record_fields_builder& fields) const {
        object dict = dict_;
        if (!dict) {
            dict = object::steal(PyObject_GetAttr(record_, st_.name(emit_name::dict)));
            if (!dict) PyErr_Clear();  // any object with the record's attributes will do; it may have no __dict__
        }
        if (dict && PyDict_Check(dict.ptr())) korvo::quillet::add_extra_fields(fields, dict.ptr(), st_);
    }

    static constexpr std::size_t k_msg = 0, k_args = 1, k_levelno = 2, k_exc_info = 3, k_stack_info = 4;
    static constexpr std::array<emit_name, 5> k_record_names{emit_name::msg, emit_name::args, emit_name::levelno,
                                                             emit_name::exc_info, emit_name::stack_info};

private:
    static constexpr std::size_t k_most_standard = 32;

    bool holds_standard_only(std::array<PyObject*, k_most_standard>& standard) const noexcept {
        const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(st_.standard_record_order.ptr()));
        return count <= standard.size() &&
               inline_attributes_exactly(record_, st_.standard_record_order.ptr(), {standard.data(), count});
    }

    // getMessage must be the logging package's own for the message to be read directly.
    bool reads_own_message(PyTypeObject* type) const {
        object found =
            object::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), st_.name(emit_name::get_message)));
        if (!found) PyErr_Clear();
        return found && found.ptr() == st_.log_record_get_message.ptr() && st_.record_positions_known;
    }

    PyObject* record_;
    const quillet_state& st_;
    object dict_;
    bool standard_only_ = false;
    std::array<object, k_record_names.size()> values_;  // when standard_only_, by k_record_names
};

PyObject* py_log_handler_emit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 1> v{};
        if (nargs == 1 && kwnames == nullptr) {
            v[0] = args[0];
        } else {
            static constexpr std::array<const char*, 1> names{"record"};
            parse_args("emit", args, nargs, kwnames, names, 1, v);
        }
        PyObject* record = v[0];
        quillet_state& st = state();
        const record_reader reader(record, st);
        object message = reader.message();
        object encoded;  // holds the bytes `text` views, when encode() was called
        std::string_view text;
        bool text_is_none = false;
        if (PyUnicode_CheckExact(message.ptr())) {
            // The str's own UTF-8, as str.encode() gives it, without making an object; lone
            // surrogates, which strict UTF-8 refuses, are escaped rather than losing the record.
            text = loggable_utf8(message.ptr(), encoded);
        } else {
            encoded = object::steal(check(PyObject_CallMethodNoArgs(message.ptr(), st.name(emit_name::encode))));
            if (encoded.ptr() == Py_None) {
                text_is_none = true;
            } else if (!PyBytes_CheckExact(encoded.ptr())) {
                raise_expected("bytes", encoded.ptr());
            } else {
                text = std::string_view(PyBytes_AS_STRING(encoded.ptr()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
            }
        }
        object levelno = reader.get(record_reader::k_levelno);
        const std::int32_t lvl = to_int32(levelno.ptr());
        object exc_info = reader.get(record_reader::k_exc_info);
        object stack_info = reader.get(record_reader::k_stack_info);

        fmt::memory_buffer full;  // the message with exception and stack text, when either is given
        if (exc_info.ptr() != Py_None || stack_info.ptr() != Py_None) {
            if (text_is_none) {
                PyErr_SetString(PyExc_TypeError, "unsupported operand type(s) for +=: 'NoneType' and 'bytes'");
                throw python_error{};
            }
            full.append(text);
            if (exc_info.ptr() != Py_None) append_exception(full, exc_info.ptr());
            if (stack_info.ptr() != Py_None) append_stack(full, stack_info.ptr());
            text = std::string_view(full.data(), full.size());
        }

        const bool plain_handler = reads_from_instance_dict(Py_TYPE(self), k_threshold_names, st.handler_class,
                                                            [](PyTypeObject*) { return true; });
        level bucket = level::trace;
        for (const auto& [threshold_name, bucket_level] : k_buckets) {
            object threshold;
            if (plain_handler) {
                const critical_section lock(self);  // the handler may be shared by every logging thread
                PyObject* found = nullptr;
                if (inline_attribute(self, st.name(threshold_name), found)) threshold = object::borrow(found);
            }
            if (!threshold) threshold = object::steal(check(PyObject_GetAttr(self, st.name(threshold_name))));
            if (at_least(lvl, threshold.ptr())) {
                bucket = bucket_level;
                break;
            }
        }

        if (text_is_none) {
            PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
            throw python_error{};
        }
        // A record without extra attributes runs no Python code from here on, so the module's
        // copy of the default cannot be replaced under it: borrowed. Another one's str() of a
        // value might replace it: held.
        const bool standard_only = reader.standard_only_now();
        std::shared_ptr<spdlog::logger> held;
        spdlog::logger* logger = nullptr;
        if (standard_only) {
            logger = current_default(st);
        } else {
            held = held_default();
            logger = held.get();
        }
        if (logger == nullptr) Py_RETURN_NONE;  // no default logger: the record goes nowhere, as in DefaultLogger
        if (const void* nul = std::memchr(text.data(), '\0', text.size()))
            text = text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
        if (!logger->should_log(bucket)) Py_RETURN_NONE;
        std::optional<record_fields_builder> fields;
        if (!standard_only) {
            fields.emplace(nullptr);
            reader.add_extra_fields(*fields);
            fields->make_current();
        }
        const call_site site = stdlib_caller_source_loc();
        log_to_sinks(*logger, bucket, text, text, site.loc);  // one text: no colour, no console test
        Py_RETURN_NONE;
    });
}

PyMethodDef py_log_handler_methods[] = {
    method_fastcall("__init__", py_log_handler_init),
    method_fastcall("emit", py_log_handler_emit),
};

constexpr std::array<const char*, static_cast<std::size_t>(emit_name::count)> k_emit_names{
    "getMessage", "encode",    "levelno", "exc_info", "stack_info", "msg",   "args",
    "__dict__",   "_critical", "_error",  "_warn",    "_info",      "_debug"};

}  // namespace

void add_py_log_handler(PyObject* module) {
    quillet_state& st = quillet_module::of_module(module);
    for (std::size_t i = 0; i < k_emit_names.size(); ++i)
        st.emit_names[i] = object::steal(check(PyUnicode_InternFromString(k_emit_names[i])));
    {
        // A record made with nothing extra has exactly the standard attributes; a formatter
        // adds "message" and "asctime".
        object logging = get_attr(module, "py_logging");
        object record = object::steal(
            check(PyObject_CallMethod(logging.ptr(), "LogRecord", "sisisOO", "", 0, "", 0, "", Py_None, Py_None)));
        object dict = get_attr(record.ptr(), "__dict__");
        object keys = object::steal(check(PyDict_Keys(dict.ptr())));
        st.standard_record_order = object::steal(check(PyList_AsTuple(keys.ptr())));
        object names = object::steal(check(PyFrozenSet_New(dict.ptr())));
        for (const char* extra : {"message", "asctime"}) {
            object name = object::steal(check(PyUnicode_FromString(extra)));
            check(PySet_Add(names.ptr(), name.ptr()));
        }
        st.standard_record_attributes = std::move(names);
        object record_type = get_attr(logging.ptr(), "LogRecord");
        st.log_record_get_message = get_attr(record_type.ptr(), "getMessage");
        st.record_positions_known = true;
        for (std::size_t i = 0; i < record_reader::k_record_names.size(); ++i) {
            const Py_ssize_t at =
                PySequence_Index(st.standard_record_order.ptr(), st.name(record_reader::k_record_names[i]));
            if (at < 0) {
                PyErr_Clear();
                st.record_positions_known = false;
            }
            st.record_positions[i] = static_cast<std::size_t>(at);
        }
    }

    object logging = get_attr(module, "py_logging");
    object base = get_attr(logging.ptr(), "Handler");
    object bases = object::steal(check(PyTuple_Pack(1, base.ptr())));
    object dict = object::steal(check(
        Py_BuildValue("{s:s,s:s,s:s}", "__module__", "korvo.quillet.quillet", "__qualname__", "PyLogHandler", "__doc__",
                      "Handler of the standard logging package that writes records through the default logger.")));
    // type() picks the most derived metaclass of the bases, as a class statement would.
    object cls = object::steal(check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                           "PyLogHandler", bases.ptr(), dict.ptr())));
    for (PyMethodDef& def : py_log_handler_methods) {
        object method = object::steal(check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def)));
        check(PyObject_SetAttrString(cls.ptr(), def.ml_name, method.ptr()));
    }
    check(PyModule_AddObjectRef(module, "PyLogHandler", cls.ptr()));
    st.py_log_handler_type = std::move(cls);
}

void redirect_pylog() {
    object logging = module_global("py_logging");
    object root = call_method(logging.ptr(), "getLogger");
    object handlers = get_attr(root.ptr(), "handlers");
    call_method(handlers.ptr(), "clear");
    object debug = get_attr(logging.ptr(), "DEBUG");
    call_method(root.ptr(), "setLevel", debug.ptr());
    object handler_type = module_global("PyLogHandler");
    debug = get_attr(logging.ptr(), "DEBUG");
    object handler = object::steal(check(PyObject_CallOneArg(handler_type.ptr(), debug.ptr())));
    call_method(root.ptr(), "addHandler", handler.ptr());
}

}  // namespace korvo::quillet
