// SPSCQueue: construction, the native operation table and the Python API over the ring.
#include "queue.hpp"

#include <array>
#include <climits>
#include <new>
#include <vector>

#include "common/args.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/published_type.hpp"
#include "common/ref.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "korvo/spsc_queue.hpp"
#include "spsc_ring.hpp"

namespace korvo::spsc_queue {
namespace {

using spsc::ring_queue;

// What `ring` points at: the ring, then what the Python methods need beside it.
//
// Threads: the ring takes one producer thread and one consumer thread. Native callers keep to
// that themselves and go through the table without any lock. Python callers may be any number
// of threads (also at once on the free-threaded build, and on either build while a push waits
// for space without the interpreter lock): each side's Python methods hold that side's PyMutex
// across the ring call, so Python threads take turns as the one producer and the one consumer.
// A waiting push holds `python_producer` while it waits; other Python pushes wait behind it and
// pops go on. A native producer and a Python push into the same queue at once are still two
// producers: that is for the caller to avoid.
struct queue_storage {
    ring_queue ring;
    PyMutex python_producer{};
    PyMutex python_consumer{};

    queue_storage(std::size_t slot_size, std::size_t capacity, bool overwrite, bool zerocopy, bool block_on_full)
        : ring(slot_size, capacity, overwrite, zerocopy, block_on_full) {}
};

struct queue_desc {
    static void teardown(queue_object& self) noexcept {
        delete static_cast<queue_storage*>(self.ring);
        self.ring = nullptr;
    }
};
using queue_type = type_slots<queue_object, queue_desc>;

queue_storage& storage_of(queue_object* self) noexcept { return *static_cast<queue_storage*>(self->ring); }
ring_queue& ring_of(queue_object* self) noexcept { return storage_of(self).ring; }

queue_object* as_queue(PyObject* self) noexcept { return queue_type::cast(self); }

// ---- native table: thin forwards, so a call through the table costs one indirect call more.
int queue_push(queue_object* q, const char* d, std::size_t n) { return ring_of(q).push(d, n); }
int queue_push_wake(queue_object* q, const char* d, std::size_t n) { return ring_of(q).push_wake(d, n); }
int queue_push_var(queue_object* q, const char* d, std::size_t n) { return ring_of(q).push_var(d, n); }
int queue_push_var_wake(queue_object* q, const char* d, std::size_t n) { return ring_of(q).push_var_wake(d, n); }
int queue_size(queue_object* q) {
    const std::size_t n = ring_of(q).size();
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}
int queue_pop(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).pop(d, n); }
int queue_release(queue_object* q) { return ring_of(q).release(); }
int queue_try_pop(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).try_pop(d, n); }
int queue_pop_var(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).pop_var(d, n); }
int queue_try_pop_var(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).try_pop_var(d, n); }
int queue_stop(queue_object* q) { return ring_of(q).stop(); }
int queue_poll(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).poll(d, n); }
int queue_poll_var(queue_object* q, const char** d, std::size_t* n) { return ring_of(q).poll_var(d, n); }

constexpr queue_vtable k_vtable{
    queue_push,    queue_push_wake, queue_push_var,    queue_push_var_wake, queue_size, queue_pop,      queue_release,
    queue_try_pop, queue_pop_var,   queue_try_pop_var, queue_stop,          queue_poll, queue_poll_var,
};

// ---- construction
// The ring is made here rather than in __init__, so every instance, however it was made,
// has a ring behind its table.
PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 5> names{"slot_size", "capacity", "overwrite", "zerocopy",
                                                          "block_on_full"};
        std::array<PyObject*, 5> values{};
        parse_tuple_args("SPSCQueue", args, kwargs, names, 0, values);

        const std::size_t slot_size = values[0] ? to_size(values[0]) : 1024;
        const std::size_t capacity = values[1] ? to_size(values[1]) : 1024;
        const bool overwrite = values[2] ? to_bool(values[2]) : false;
        const bool zerocopy = values[3] ? to_bool(values[3]) : false;
        const bool block_on_full = values[4] ? to_bool(values[4]) : false;

        object self = object::steal(check(type->tp_alloc(type, 0)));
        auto* q = as_queue(self.ptr());
        q->ring = new queue_storage(slot_size, capacity, overwrite, zerocopy, block_on_full);
        q->vtab = &k_vtable;
        q->slot_size = slot_size;
        q->capacity = capacity;
        q->overwrite = overwrite;
        q->zerocopy = zerocopy;
        q->block_on_full = block_on_full;
        return self.release();
    });
}

// ---- Python API
// Runs a push of `data`'s bytes. A push that may wait for space releases the interpreter lock
// so the consumer can run; the buffer export keeps the bytes alive meanwhile.
template <int (ring_queue::*Push)(const char*, std::size_t) noexcept>
PyObject* queue_py_push(PyObject* self, PyObject* data) {
    return guard(nullptr, [&]() -> PyObject* {
        Py_buffer view;
        check(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE));
        auto* q = as_queue(self);
        const auto* bytes = static_cast<const char*>(view.buf);
        const auto size = static_cast<std::size_t>(view.len);
        int result;
        mutex_lock producer(storage_of(q).python_producer);
        if (q->block_on_full) {
            Py_BEGIN_ALLOW_THREADS
            result = (ring_of(q).*Push)(bytes, size);
            Py_END_ALLOW_THREADS
        } else {
            result = (ring_of(q).*Push)(bytes, size);
        }
        PyBuffer_Release(&view);
        return check(PyLong_FromLong(result));
    });
}

template <int (ring_queue::*Pop)(const char**, std::size_t*) noexcept>
PyObject* queue_py_try_pop(PyObject* self, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        const char* data = nullptr;
        std::size_t size = 0;
        // Held until the message is copied out: the next pop may reuse its memory.
        mutex_lock consumer(storage_of(as_queue(self)).python_consumer);
        if ((ring_of(as_queue(self)).*Pop)(&data, &size) != k_taken) Py_RETURN_NONE;
        return check(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    });
}

PyObject* queue_py_stop(PyObject* self, PyObject*) {
    ring_of(as_queue(self)).stop();
    Py_RETURN_NONE;
}

Py_ssize_t queue_len(PyObject* self) { return static_cast<Py_ssize_t>(ring_of(as_queue(self)).size()); }

PyObject* size_to_py(std::size_t value) { return PyLong_FromSize_t(value); }
PyObject* counter_to_py(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* get_slot_size(PyObject* self, void*) { return size_to_py(as_queue(self)->slot_size); }
PyObject* get_capacity(PyObject* self, void*) { return size_to_py(as_queue(self)->capacity); }
PyObject* get_overwrite(PyObject* self, void*) { return PyBool_FromLong(as_queue(self)->overwrite); }
PyObject* get_zerocopy(PyObject* self, void*) { return PyBool_FromLong(as_queue(self)->zerocopy); }
PyObject* get_block_on_full(PyObject* self, void*) { return PyBool_FromLong(as_queue(self)->block_on_full); }
PyObject* get_stopped(PyObject* self, void*) { return PyBool_FromLong(ring_of(as_queue(self)).stopped()); }
PyObject* get_pushed(PyObject* self, void*) { return counter_to_py(ring_of(as_queue(self)).pushed()); }
PyObject* get_popped(PyObject* self, void*) { return counter_to_py(ring_of(as_queue(self)).popped()); }
PyObject* get_dropped(PyObject* self, void*) { return counter_to_py(ring_of(as_queue(self)).dropped()); }
PyObject* get_wakeups(PyObject* self, void*) { return counter_to_py(ring_of(as_queue(self)).wakeups_requested()); }

PyObject* queue_repr(PyObject* self) {
    return guard(nullptr, [&] {
        static constexpr std::array<const char*, 5> names{"slot_size", "capacity", "overwrite", "zerocopy",
                                                          "block_on_full"};
        std::vector<repr_arg> args;
        add_attr_args(args, self, names);
        return call_repr(self, args).release();
    });
}

PyMethodDef queue_methods[] = {
    method_o("push", queue_py_push<&ring_queue::push>,
             "push(data) -> int\n\nCopies a bytes-like message into a fixed slot; returns the result code "
             "(0 stored, negative not stored)."),
    method_o("push_var", queue_py_push<&ring_queue::push_var>,
             "push_var(data) -> int\n\nCopies a bytes-like message into the variable-size ring; returns the result "
             "code."),
    method_noargs("try_pop", queue_py_try_pop<&ring_queue::try_pop>,
                  "try_pop() -> bytes | None\n\nTakes the oldest fixed-slot message without waiting."),
    method_noargs("try_pop_var", queue_py_try_pop<&ring_queue::try_pop_var>,
                  "try_pop_var() -> bytes | None\n\nTakes the oldest variable-size message without waiting."),
    method_noargs("stop", queue_py_stop,
                  "stop() -> None\n\nRefuses further pushes and wakes a waiting consumer and a blocked producer."),
    KORVO_REFUSE_PICKLING_METHODS,
    k_methods_end,
};

PyGetSetDef queue_getset[] = {
    {"slot_size", get_slot_size, nullptr, "Bytes per fixed slot.", nullptr},
    {"capacity", get_capacity, nullptr, "Number of fixed slots (the variable ring holds capacity * slot_size bytes).",
     nullptr},
    {"overwrite", get_overwrite, nullptr, "A full queue drops its oldest message for the new one.", nullptr},
    {"zerocopy", get_zerocopy, nullptr, "Pops point into the ring instead of a consumer-side copy.", nullptr},
    {"block_on_full", get_block_on_full, nullptr, "A full queue makes the push wait for space.", nullptr},
    {"stopped", get_stopped, nullptr, "Whether stop() was called.", nullptr},
    {"pushed", get_pushed, nullptr, "Messages stored so far.", nullptr},
    {"popped", get_popped, nullptr, "Messages taken so far.", nullptr},
    {"dropped", get_dropped, nullptr, "Messages dropped by overwrite so far.", nullptr},
    {"wakeups", get_wakeups, nullptr, "Wake-ups requested by push_wake / push_var_wake so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

auto queue_slots = queue_type::slots(std::to_array({
    slot(Py_tp_new, queue_new),
    PyType_Slot{Py_tp_methods, queue_methods},
    PyType_Slot{Py_tp_getset, queue_getset},
    slot(Py_sq_length, queue_len),
    slot(Py_tp_repr, queue_repr),
    doc_slot("SPSCQueue(slot_size=1024, capacity=1024, overwrite=False, zerocopy=False, block_on_full=False)\n\n"
             "Lock-free single-producer single-consumer ring queue of byte messages. Native producers and\n"
             "consumers use its operation table (korvo/spsc_queue.hpp); the Python methods are for Python\n"
             "users and tests."),
}));
PyType_Spec queue_spec =
    type_spec("korvo.spsc_queue.spsc_queue.SPSCQueue", sizeof(queue_object), k_type_flags, queue_slots.data());

}  // namespace

object add_queue_type(PyObject* module) { return add_published_type(module, &queue_spec, &k_vtable); }

}  // namespace korvo::spsc_queue
