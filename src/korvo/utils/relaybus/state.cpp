// Module state and the helpers every bridge type uses to reach the queue module and globals.
#include "state.hpp"

#include "common/errors.hpp"
#include "common/ref.hpp"

namespace korvo::relaybus {

relaybus_state g_state;

PyObject* make_queue(std::size_t slot_size, std::size_t capacity, bool overwrite, bool zerocopy, bool block_on_full) {
    object kwargs = object::steal(check(PyDict_New()));
    object slot = object::steal(check(PyLong_FromSize_t(slot_size)));
    object cap = object::steal(check(PyLong_FromSize_t(capacity)));
    check(PyDict_SetItemString(kwargs.ptr(), "slot_size", slot.ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "capacity", cap.ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "overwrite", overwrite ? Py_True : Py_False));
    check(PyDict_SetItemString(kwargs.ptr(), "zerocopy", zerocopy ? Py_True : Py_False));
    check(PyDict_SetItemString(kwargs.ptr(), "block_on_full", block_on_full ? Py_True : Py_False));
    object no_args = object::steal(check(PyTuple_New(0)));
    object queue = object::steal(
        check(PyObject_Call(reinterpret_cast<PyObject*>(g_state.queue.type), no_args.ptr(), kwargs.ptr())));
    if (!spsc_queue::is_queue(g_state.queue, queue.ptr())) {
        PyErr_SetString(PyExc_TypeError, "SPSCQueue() did not return an SPSCQueue");
        throw python_error{};
    }
    return queue.release();
}

}  // namespace korvo::relaybus
