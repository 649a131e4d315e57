// Module definition and initialisation of korvo.quillet.quillet.
#include <Python.h>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "default_logger.hpp"
#include "levels.hpp"
#include "log_call.hpp"
#include "logger.hpp"
#include "quillet/quillet.hpp"
#include "state.hpp"

namespace {

using namespace korvo::quillet;

korvo::module_guard g_guard{"quillet", "korvo.quillet.quillet"};

PyObject* quillet_create(PyObject* spec, PyModuleDef*) { return korvo::create_module(spec, g_guard); }

// Fills the namespace in a fixed order; a failing step aborts the import.
int quillet_exec(PyObject* module) {
    return korvo::guard([&] {
        quillet_state& st = init_state(module);
        korvo::begin_exec(g_guard);  // refuses a second execution, warns on a version mismatch

        // The logger types (configuration classes join them here, before Logger).
        add_logger_type(module);
        add_default_logger_type(module);
        for (std::size_t n = 0; n < method_names.size(); ++n)
            st.method_names[n] = korvo::object::steal(korvo::check(PyUnicode_InternFromString(method_names[n])));

        add_level_enum(module);
        add_default_patterns(module);

        korvo::object logging = korvo::object::steal(korvo::check(PyImport_ImportModule("logging")));
        korvo::check(PyModule_AddObjectRef(module, "py_logging", logging.ptr()));
        korvo::object traceback = korvo::object::steal(korvo::check(PyImport_ImportModule("traceback")));
        korvo::check(PyModule_AddObjectRef(module, "traceback", traceback.ptr()));

        add_default_logger_unpickle(module);
        korvo::check(PyModule_AddStringConstant(module, "__quillet_version__", quillet::version()));
        publish_state(st);
        return 0;
    }, -1);
}

PyModuleDef_Slot quillet_slots[] = {KORVO_MODULE_SLOTS(quillet_create, quillet_exec)};

PyModuleDef quillet_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvo.quillet.quillet",
    .m_doc = nullptr,
    .m_size = sizeof(quillet_state),
    .m_methods = nullptr,
    .m_slots = quillet_slots,
    .m_traverse = state_traverse,
    .m_clear = state_clear,
    .m_free = state_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillet() { return PyModuleDef_Init(&quillet_module); }
