// Queue options and the queue every bridge object is built on.
#include "state.hpp"

#include <array>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "queue_options.hpp"

namespace korvo::relaybus {

queue_options queue_options::from(std::span<PyObject* const, names.size()> given) {
    queue_options o;
    if (given[0]) o.capacity = to_size(given[0]);
    if (given[1]) o.slot_size = to_size(given[1]);
    if (given[2]) o.zerocopy = to_bool(given[2]);
    if (given[3]) o.overwrite = to_bool(given[3]);
    if (given[4]) o.block_on_full = to_bool(given[4]);
    if (given[5]) o.variable_size = to_bool(given[5]);
    return o;
}

object queue_options::make_queue() const {
    relaybus_state& st = relaybus_module::state();
    object kwargs = object::steal(check(PyDict_New()));
    object slot = object::steal(check(PyLong_FromSize_t(slot_size)));
    object cap = object::steal(check(PyLong_FromSize_t(capacity)));
    check(PyDict_SetItemString(kwargs.ptr(), "slot_size", slot.ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "capacity", cap.ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "overwrite", overwrite ? Py_True : Py_False));
    check(PyDict_SetItemString(kwargs.ptr(), "zerocopy", zerocopy ? Py_True : Py_False));
    check(PyDict_SetItemString(kwargs.ptr(), "block_on_full", block_on_full ? Py_True : Py_False));
    object no_args = object::steal(check(PyTuple_New(0)));
    object queue = object::steal(check(PyObject_Call(st.queue_type.ptr(), no_args.ptr(), kwargs.ptr())));
    if (!PyObject_TypeCheck(queue.ptr(), reinterpret_cast<PyTypeObject*>(st.queue_type.ptr()))) {
        PyErr_SetString(PyExc_TypeError, "SPSCQueue() did not return an SPSCQueue");
        throw python_error{};
    }
    return queue;
}

void queue_options::add_repr_args(std::vector<repr_arg>& args, PyObject* queue, bool variable_size) {
    if (queue == Py_None) return;
    static constexpr std::array<const char*, 5> queue_names{"capacity", "slot_size", "zerocopy", "overwrite",
                                                            "block_on_full"};
    add_attr_args(args, queue, queue_names);
    args.push_back({"variable_size", object::borrow(variable_size ? Py_True : Py_False)});
}

}  // namespace korvo::relaybus
