// The three logger lookups published in __pyx_capi__.
#include "capi.hpp"

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/publish.hpp"
#include "korvo/quillet.hpp"
#include "log_call.hpp"
#include "quillet/quillet.hpp"

namespace korvo::quillet {

namespace {

// The flag of the options is not passed on: like DefaultLogger, a lookup falls back to the
// current default.
constexpr bool k_fallback_to_default = true;

PyObject* given_name(const lookup_options* options) {
    if (options == nullptr || options->count < 1) return nullptr;
    if (options->name == nullptr) {
        PyErr_BadInternalCall();
        throw python_error{};
    }
    return options->name;
}

::quillet::SpdLogger get_logger_by_name(const char* name) {
    return guard(::quillet::SpdLogger{}, [&] {
        if (name == nullptr) {
            PyErr_BadInternalCall();
            throw python_error{};
        }
        return ::quillet::SpdLogger(spdlog::get(name));
    });
}

// What get_logger_ptr returns refers to here; see get_logger_ptr_fn.
thread_local std::shared_ptr<spdlog::logger> t_logger_ptr;

std::shared_ptr<spdlog::logger>& get_logger_ptr(lookup_options* options) {
    t_logger_ptr.reset();
    guard(-1, [&] {
        std::string name;
        if (PyObject* given = given_name(options)) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_Check(given)) {
                check(PyBytes_AsStringAndSize(given, &data, &size));
            } else if (PyByteArray_Check(given)) {
                data = PyByteArray_AS_STRING(given);
                size = PyByteArray_GET_SIZE(given);
            } else {
                PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(given)->tp_name);
                throw python_error{};
            }
            name.assign(data, static_cast<std::size_t>(size));
        }
        t_logger_ptr = ::quillet::LoggerRegistry::get_logger(name, k_fallback_to_default);
        return 0;
    });
    return t_logger_ptr;
}

void get_logger(::quillet::SpdLogger& handle, lookup_options* options) {
    guard(-1, [&] {
        std::string name;
        if (PyObject* given = given_name(options)) {
            name = str_argument_text(given, "name");
        }
        handle = ::quillet::SpdLogger(::quillet::LoggerRegistry::get_logger(name, k_fallback_to_default));
        return 0;
    });
}

// The published types must be exactly those of korvo/quillet.hpp.
constexpr get_logger_by_name_fn k_by_name = get_logger_by_name;
constexpr get_logger_ptr_fn k_ptr = get_logger_ptr;
constexpr get_logger_fn k_get = get_logger;

}  // namespace

void add_capi(PyObject* module) {
    publish_function(module, "get_logger_by_name", reinterpret_cast<void*>(k_by_name), get_logger_by_name_signature);
    publish_function(module, "get_logger_ptr", reinterpret_cast<void*>(k_ptr), get_logger_ptr_signature);
    publish_function(module, "get_logger", reinterpret_cast<void*>(k_get), get_logger_signature);
}

}  // namespace korvo::quillet
