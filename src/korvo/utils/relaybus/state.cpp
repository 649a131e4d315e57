// Queue options and the queue every bridge object is built on.
#include "state.hpp"

#include <array>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "queue_options.hpp"

namespace korvo::relaybus {

void queue_option::apply(queue_options& options, PyObject* given) const {
    if (size != nullptr) options.*size = given != nullptr ? to_size(given) : default_size;
    if (flag != nullptr) options.*flag = given != nullptr && to_bool(given);
}

queue_options parse_queue_options(std::span<const queue_option> list, std::span<PyObject* const> given) {
    queue_options options;
    for (std::size_t i = 0; i < list.size(); ++i) list[i].apply(options, given[i]);
    return options;
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

void add_queue_repr_args(std::vector<repr_arg>& args, PyObject* queue, std::span<const queue_option> list) {
    for (const queue_option& option : list) {
        if (!option.on_queue) continue;
        const char* name[] = {option.name};
        add_attr_args(args, queue, name);
    }
}

}  // namespace korvo::relaybus
