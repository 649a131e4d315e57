// The Logger type: fields, lifetime, per-level methods and native table.
#include "logger.hpp"

#include <memory>
#include <new>

#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/publish.hpp"
#include "log_call.hpp"
#include "pickle_state.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

struct logger_policy {
    static PyTypeObject* type(const quillet_state& st) noexcept { return st.logger(); }
    static void log(PyObject* self, level lvl, const log_request& req) {
        const std::string_view text = message_text(req.msg);
        // Until construction has built it the handle is empty: nothing to log through.
        spdlog::logger* logger = as_logger(self)->logger.logger.get();
        if (logger != nullptr) log_through(*logger, lvl, text, req);
    }
};

::quillet::SpdLogger logger_handle(PyObject* self) {
    return guard([&] {
        PyTypeObject* type = state().logger();
        if (self == nullptr || !PyObject_TypeCheck(self, type)) {
            PyErr_Format(PyExc_TypeError, "logger_handle() needs a %s instance", type->tp_name);
            throw python_error{};
        }
        return as_logger(self)->logger;
    }, ::quillet::SpdLogger{});
}

const logger_vtable logger_table{
    logger_handle,
    native_log_method<logger_policy, level::trace>,
    native_log_method<logger_policy, level::debug>,
    native_log_method<logger_policy, level::info>,
    native_log_method<logger_policy, level::warn>,
    native_log_method<logger_policy, level::err>,
    native_log_method<logger_policy, level::critical>,
};

// Fields are made here, whatever the arguments: they are for construction proper.
PyObject* logger_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        PyObject* self = check(type->tp_alloc(type, 0));
        logger_object* obj = as_logger(self);
        obj->vtab = &logger_table;
        new (&obj->factory)::quillet::LoggerFactory();
        new (&obj->logger)::quillet::SpdLogger();
        new (&obj->logger_ptr) std::shared_ptr<spdlog::logger>();
        return self;
    }, nullptr);
}

void logger_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    logger_object* obj = as_logger(self);
    // Releases both references to the logger; the registry keeps what it registered.
    std::destroy_at(&obj->logger_ptr);
    std::destroy_at(&obj->logger);
    std::destroy_at(&obj->factory);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef logger_methods[] = {
    log_method_def<logger_policy, level::trace>(),
    log_method_def<logger_policy, level::debug>(),
    log_method_def<logger_policy, level::info>(),
    log_method_def<logger_policy, level::warn>(),
    log_method_def<logger_policy, level::err>(),
    log_method_def<logger_policy, level::critical>(),
    KORVO_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot logger_slots[] = {
    {Py_tp_doc, const_cast<char*>("Logger writing through one spdlog logger built from handler descriptions.")},
    {Py_tp_new, reinterpret_cast<void*>(logger_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(logger_dealloc)},
    {Py_tp_methods, logger_methods},
    {0, nullptr},
};

PyType_Spec logger_spec = {
    .name = "korvo.quillet.quillet.Logger",
    .basicsize = sizeof(logger_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = logger_slots,
};

}  // namespace

void add_logger_type(PyObject* module) {
    PyTypeObject* type = add_type(module, &logger_spec);
    quillet_state& st = state_of_module(module);
    st.logger_type = object::steal(reinterpret_cast<PyObject*>(type));
    publish_vtable(type, &logger_table);
}

}  // namespace korvo::quillet
