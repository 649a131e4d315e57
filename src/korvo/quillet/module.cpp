// Module definition and initialisation of korvo.quillet.quillet.
#include <Python.h>

#include "capi.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "default_logger.hpp"
#include "handlers.hpp"
#include "interpreter_view.hpp"
#include "levels.hpp"
#include "log_call.hpp"
#include "logger.hpp"
#include "quillet/quillet.hpp"
#include <spdlog/spdlog.h>
#include "state.hpp"
#include "stdlib_bridge.hpp"
#include "syslog_handler.hpp"

namespace {

using namespace korvo::quillet;
using korvo::check;
using korvo::object;

korvo::module_guard g_guard{"quillet", "korvo.quillet.quillet"};

// The last records of file sinks that live on in the library's registry are written when the
// interpreter finalises, not only when the process exits.
void flush_files_at_exit() { ::quillet::flush_file_sinks(); }

// flush_all(): every logger spdlog's registry knows flushes its sinks (a failure is reported
// through that logger's error handler), then every buffered file sink made so far, whoever
// holds it (a failure there waits for the sink's next log or flush).
PyObject* flush_all(PyObject*, PyObject*) {
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { flush_sinks(*logger); });
    ::quillet::flush_file_sinks();
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    korvo::method_noargs("flush_all", flush_all,
                         "flush_all()\n\nHands every record that any file handler of the process holds to the "
                         "operating system."),
    korvo::k_methods_end,
};

// Fills the namespace in a fixed order; a failing step aborts the import.
int quillet_exec(PyObject* module) {
    return korvo::guard(-1, [&] {
        quillet_state& st = quillet_module::init(module);
        korvo::begin_exec(g_guard);  // refuses a second execution, warns on a version mismatch
        if (!interpreter_layout_matches()) {
            PyErr_SetString(PyExc_ImportError,
                            "korvo.quillet was built for a CPython whose frame and object layout differs from "
                            "this interpreter's: install korvo built for this Python");
            throw korvo::python_error{};
        }

        add_capi(module);
        add_config_types(module);  // each class comes with its pickling methods
        add_syslog_handler_type(module);
        add_logger_type(module);
        add_default_logger_type(module);
        for (std::size_t n = 0; n < k_method_names.size(); ++n)
            st.method_names[n] = object::steal(check(PyUnicode_InternFromString(k_method_names[n])));
        st.fields_keyword = object::steal(check(PyUnicode_InternFromString("fields")));

        add_level_enum(module);
        add_default_patterns(module);

        object logging = object::steal(check(PyImport_ImportModule("logging")));
        check(PyModule_AddObjectRef(module, "py_logging", logging.ptr()));
        object traceback = object::steal(check(PyImport_ImportModule("traceback")));
        check(PyModule_AddObjectRef(module, "traceback", traceback.ptr()));

        add_py_log_handler(module);
        check(PyModule_AddFunctions(module, module_functions));

        // Defaults of construction: Logger's one shared handler list and the patterns as str.
        st.default_handlers = object::steal(check(PyList_New(0)));
        st.default_handler_pattern = object::steal(check(PyUnicode_FromString(k_default_handler_pattern)));
        st.default_logger_pattern = object::steal(check(PyUnicode_FromString(k_default_logger_pattern)));

        add_config_unpickle(module);
        add_default_logger_unpickle(module);
        check(PyModule_AddStringConstant(module, "__quillet_version__", quillet::version()));
        // With the interpreter's table full the library's teardown at process exit still flushes.
        (void)Py_AtExit(flush_files_at_exit);
        quillet_module::publish(st);
        return 0;
    });
}

PyModuleDef_Slot quillet_slots[] = {KORVO_MODULE_SLOTS(korvo::create_module, quillet_exec)};

PyModuleDef quillet_definition = quillet_module::definition(quillet_state::module_name, quillet_slots);

}  // namespace

PyMODINIT_FUNC PyInit_quillet() { return PyModuleDef_Init(&quillet_definition); }
