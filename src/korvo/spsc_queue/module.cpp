// Module definition and initialisation of korvo.spsc_queue.spsc_queue.
#include <Python.h>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "queue.hpp"

namespace {

korvo::module_guard g_guard{"spsc_queue", "korvo.spsc_queue.spsc_queue"};

PyObject* spsc_queue_create(PyObject* spec, PyModuleDef*) { return korvo::create_module(spec, g_guard); }

int spsc_queue_exec(PyObject* module) {
    return korvo::guard(-1, [&] {
        korvo::begin_exec(g_guard);
        korvo::spsc_queue::add_queue_type(module);
        return 0;
    });
}

PyModuleDef_Slot spsc_queue_slots[] = {KORVO_MODULE_SLOTS(spsc_queue_create, spsc_queue_exec)};

PyModuleDef spsc_queue_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvo.spsc_queue.spsc_queue",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = spsc_queue_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_spsc_queue() { return PyModuleDef_Init(&spsc_queue_module); }
