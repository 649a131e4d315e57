// Module definition and initialisation of korvo.utils.relaybus.relaybus.
#include <Python.h>

#include "async_dispatcher.hpp"
#include "async_queue.hpp"
#include "buffers.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/ref.hpp"
#include "consumer.hpp"
#include "coroutines.hpp"
#include "pipe.hpp"
#include "setup_socket.hpp"
#include "state.hpp"
#include "sync_dispatcher.hpp"

namespace korvo::relaybus {
namespace {

module_guard g_guard{"relaybus", "korvo.utils.relaybus.relaybus"};

// Binds module.<name> = the module imported under `module_name`.
void bind_import(PyObject* module, const char* name, const char* module_name) {
    object imported = object::steal(check(PyImport_ImportModule(module_name)));
    check(PyModule_AddObjectRef(module, name, imported.ptr()));
}

// Interpreter exit stops the consumers of every dispatcher still alive and waits for them while
// the interpreter is whole: atexit hooks run before finalisation starts.
PyObject* stop_consumers_at_exit(PyObject*, PyObject*) {
    stop_all_consumers();
    Py_RETURN_NONE;
}

PyMethodDef g_exit_hook{"_stop_consumers_at_exit", stop_consumers_at_exit, METH_NOARGS,
                        "Stops every consumer thread of this process before the interpreter finalises."};

// Only the main interpreter's exit: consumers take the lock through the thread-state API, which
// is that interpreter's.
void register_exit_hook() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    object hook = object::steal(check(PyCFunction_New(&g_exit_hook, nullptr)));
    object atexit = object::steal(check(PyImport_ImportModule("atexit")));
    call_method(atexit.ptr(), "register", hook.ptr());
}

// SPSCQueue's type and operation table: the ring every bridge object is built on.
void import_queue_api(relaybus_state& st) {
    spsc_queue::api queue;
    check(spsc_queue::import_api(&queue));
    st.queue_type = object::steal(reinterpret_cast<PyObject*>(queue.type));
    g_queue_ops = queue.vtab;
}

// The bridge's own diagnostics go through a DefaultLogger of the logging package.
void add_logger(PyObject* module) {
    object quillet = object::steal(check(PyImport_ImportModule("korvo.quillet")));
    object default_logger = get_attr(quillet.ptr(), "DefaultLogger");
    check(PyModule_AddObjectRef(module, "DefaultLogger", default_logger.ptr()));
    bind_import(module, "asyncio", "asyncio");
    bind_import(module, "sys", "sys");
    object logger = object::steal(check(PyObject_CallNoArgs(default_logger.ptr())));
    check(PyModule_AddObjectRef(module, "logger", logger.ptr()));
}

// Every field of the state is made here, in this one sequence; the state is published last.
int relaybus_exec(PyObject* module) {
    return guard(-1, [&] {
        begin_exec(g_guard);
        relaybus_state& st = relaybus_module::init(module);
        for (const interned_name& name : k_interned_names) st.*name.member = interned(name.text);
        publish_conversions(module);
        add_cbuffer_view_type(st);
        add_kopipe_type(st);
        add_sync_dispatcher_type(st);
        add_async_dispatcher_type(st);
        add_async_queue_type(st);
        init_coroutines(st);
        import_queue_api(st);
        add_logger(module);
        add_setup_socket(module);
        register_exit_hook();
        relaybus_module::publish(st);
        return 0;
    });
}

PyModuleDef_Slot relaybus_slots[] = {KORVO_MODULE_SLOTS(create_module, relaybus_exec)};

PyModuleDef relaybus_def =
    relaybus_module::definition("korvo.utils.relaybus.relaybus", relaybus_slots, nullptr,
                                "Message bridge from native producer threads to Python consumers.");

}  // namespace
}  // namespace korvo::relaybus

PyMODINIT_FUNC PyInit_relaybus() { return PyModuleDef_Init(&korvo::relaybus::relaybus_def); }
