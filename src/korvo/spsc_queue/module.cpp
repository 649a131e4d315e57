// Module definition and initialisation of korvo.spsc_queue.spsc_queue.
#include <Python.h>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/module_state.hpp"
#include "common/ref.hpp"
#include "queue.hpp"

namespace korvo::spsc_queue {
namespace {

// The queue holds everything per instance; the module keeps only its type.
struct spsc_queue_state {
    static constexpr const char* module_name = "korvo.spsc_queue.spsc_queue";
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    object queue_type;           // SPSCQueue

    template <class F>
    void visit_fields(F&& f) {
        f(queue_type);
    }
};
using spsc_queue_module = module_state<spsc_queue_state>;

module_guard g_guard{"spsc_queue", "korvo.spsc_queue.spsc_queue"};

int spsc_queue_exec(PyObject* module) {
    return guard(-1, [&] {
        begin_exec(g_guard);
        spsc_queue_state& st = spsc_queue_module::init(module);
        st.queue_type = add_queue_type(module);
        spsc_queue_module::publish(st);
        return 0;
    });
}

PyModuleDef_Slot spsc_queue_slots[] = {KORVO_MODULE_SLOTS(create_module, spsc_queue_exec)};

PyModuleDef spsc_queue_def = spsc_queue_module::definition("korvo.spsc_queue.spsc_queue", spsc_queue_slots);

}  // namespace
}  // namespace korvo::spsc_queue

PyMODINIT_FUNC PyInit_spsc_queue() { return PyModuleDef_Init(&korvo::spsc_queue::spsc_queue_def); }
