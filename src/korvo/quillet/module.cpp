// Module definition and initialisation of korvo.quillet.quillet.
#include <Python.h>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/publish.hpp"
#include "common/ref.hpp"
#include "quillet/quillet.hpp"

namespace {

korvo::module_guard g_guard{"quillet", "korvo.quillet.quillet"};

// Writes through whatever logger is currently the default (its calls come with the log calls).
PyType_Slot default_logger_slots[] = {
    {Py_tp_doc, const_cast<char*>("Logger that writes through the current default logger.")},
    {0, nullptr},
};
PyType_Spec default_logger_spec = {
    .name = "korvo.quillet.quillet.DefaultLogger",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = default_logger_slots,
};

PyObject* quillet_create(PyObject* spec, PyModuleDef*) { return korvo::create_module(spec, g_guard); }

int quillet_exec(PyObject* module) {
    return korvo::guard([&] {
        korvo::begin_exec(g_guard);
        korvo::object::steal(reinterpret_cast<PyObject*>(korvo::add_type(module, &default_logger_spec)));
        korvo::check(PyModule_AddStringConstant(module, "__quillet_version__", quillet::version()));
        return 0;
    }, -1);
}

PyModuleDef_Slot quillet_slots[] = {KORVO_MODULE_SLOTS(quillet_create, quillet_exec)};

PyModuleDef quillet_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvo.quillet.quillet",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = quillet_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillet() { return PyModuleDef_Init(&quillet_module); }
