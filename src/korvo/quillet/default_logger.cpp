// The DefaultLogger type: per-level methods, native table and pickling (no fields).
#include "default_logger.hpp"

#include <array>
#include <string>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/publish.hpp"
#include "korvo/quillet.hpp"
#include "log_call.hpp"
#include "pickle_state.hpp"
#include "quillet/quillet.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

const std::string k_default_name;  // "" asks the registry for its default logger

struct default_logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.default_logger(); }
    static void log(PyObject*, level lvl, const log_request& req) {
        const std::string_view text = message_text(req.msg);
        // Looked up on every call, so a new default takes effect at once; held until return.
        const std::shared_ptr<spdlog::logger> logger = ::quillet::LoggerRegistry::get_logger(k_default_name, true);
        if (logger) log_through(*logger, lvl, text, req);
    }
};

const default_logger_vtable default_logger_table{
    native_log_method<default_logger_policy, level::trace>,
    native_log_method<default_logger_policy, level::debug>,
    native_log_method<default_logger_policy, level::info>,
    native_log_method<default_logger_policy, level::warn>,
    native_log_method<default_logger_policy, level::err>,
    native_log_method<default_logger_policy, level::critical>,
};

constexpr field_checksums k_checksums{238750788, 228825662, 222419149, ""};
constexpr Py_ssize_t k_field_count = 0;

// Arguments are accepted and ignored: every DefaultLogger is alike.
PyObject* default_logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<default_logger_object*>(self)->vtab = &default_logger_table;
    return self;
}

void default_logger_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// No fields: the state is empty, plus the instance __dict__ of a Python subclass when it holds anything.
PyObject* default_logger_reduce(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        object unpickle =
            object::steal(check(PyObject_GetAttrString(state().module, "__pyx_unpickle_DefaultLogger")));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        PyObject* dict_ptr = nullptr;
        check(PyObject_GetOptionalAttrString(self, "__dict__", &dict_ptr));
        object dict = object::steal(dict_ptr);
        if (dict && check(PyObject_IsTrue(dict.ptr())) == 1) {
            object state = object::steal(check(PyTuple_Pack(1, dict.ptr())));
            return check(Py_BuildValue("(O(OlO)O)", unpickle.ptr(), type, static_cast<long>(k_checksums.written),
                                       Py_None, state.ptr()));
        }
        return check(Py_BuildValue("(O(Ol()))", unpickle.ptr(), type, static_cast<long>(k_checksums.written)));
    }, nullptr);
}

void set_state(PyObject* self, PyObject* state) { apply_state_dict(self, state, k_field_count); }

PyObject* default_logger_setstate(PyObject* self, PyObject* state) {
    return guard([&]() -> PyObject* {
        check_setstate_arg(state);
        set_state(self, state);
        return new_ref(Py_None);
    }, nullptr);
}

PyObject* unpickle_default_logger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr std::array<const char*, 3> names{"__pyx_type", "__pyx_checksum", "__pyx_state"};
        std::array<PyObject*, 3> values{};
        parse_args("__pyx_unpickle_DefaultLogger", args, nargs, kwnames, names, 3, values);
        const std::int64_t checksum = checksum_number(values[1]);
        check_exact_type(values[2], &PyTuple_Type, "__pyx_state", true);
        check_checksum(checksum, k_checksums);
        object result = new_for_unpickle(state().default_logger(), values[0]);
        if (values[2] != Py_None) set_state(result.ptr(), values[2]);
        return result.release();
    }, nullptr);
}

PyMethodDef default_logger_methods[] = {
    log_method_def<default_logger_policy, level::trace>(),
    log_method_def<default_logger_policy, level::debug>(),
    log_method_def<default_logger_policy, level::info>(),
    log_method_def<default_logger_policy, level::warn>(),
    log_method_def<default_logger_policy, level::err>(),
    log_method_def<default_logger_policy, level::critical>(),
    {"__reduce__", default_logger_reduce, METH_NOARGS, nullptr},
    {"__setstate__", default_logger_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot default_logger_slots[] = {
    {Py_tp_doc, const_cast<char*>("Logger that writes through the current default logger.")},
    {Py_tp_new, reinterpret_cast<void*>(default_logger_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(default_logger_dealloc)},
    {Py_tp_methods, default_logger_methods},
    {0, nullptr},
};

PyType_Spec default_logger_spec = {
    .name = "korvo.quillet.quillet.DefaultLogger",
    .basicsize = sizeof(default_logger_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = default_logger_slots,
};

PyMethodDef unpickle_functions[] = {
    {"__pyx_unpickle_DefaultLogger",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_default_logger)),
     METH_FASTCALL | METH_KEYWORDS, "__pyx_unpickle_DefaultLogger(__pyx_type, long __pyx_checksum, tuple __pyx_state)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_default_logger_type(PyObject* module) {
    PyTypeObject* type = add_type(module, &default_logger_spec);
    quillet_state& st = state_of_module(module);
    st.default_logger_type = object::steal(reinterpret_cast<PyObject*>(type));
    publish_vtable(type, &default_logger_table);
}

void add_default_logger_unpickle(PyObject* module) { check(PyModule_AddFunctions(module, unpickle_functions)); }

}  // namespace korvo::quillet
