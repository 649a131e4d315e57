// Module definition and initialisation of korvo.utils.relaybus.relaybus.
#include <Python.h>

#include "common/errors.hpp"
#include "common/module.hpp"

namespace {

korvo::module_guard g_guard{"relaybus", "korvo.utils.relaybus.relaybus"};

PyObject* relaybus_create(PyObject* spec, PyModuleDef*) { return korvo::create_module(spec, g_guard); }

int relaybus_exec(PyObject* module) {
    return korvo::guard([&] {
        korvo::begin_exec(g_guard);
        (void)module;
        return 0;
    }, -1);
}

PyModuleDef_Slot relaybus_slots[] = {KORVO_MODULE_SLOTS(relaybus_create, relaybus_exec)};

PyModuleDef relaybus_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvo.utils.relaybus.relaybus",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = relaybus_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_relaybus() { return PyModuleDef_Init(&relaybus_module); }
