// AsyncQueue's pickled state.
#include <array>

#include "async_queue.hpp"
#include "common/args.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "korvo/relaybus.hpp"
#include "state.hpp"

namespace korvo::relaybus {
namespace {

async_queue_object* as_queue_object(PyObject* self) noexcept { return reinterpret_cast<async_queue_object*>(self); }

// ---- pickled state: the fields in alphabetical order of their names, as the checksums say
enum class pickled_kind { object, queue, flag };
struct pickled_member {
    pickled_kind kind;
    PyObject* async_queue_object::* object = nullptr;  // object and queue members
    int async_queue_object::* flag = nullptr;          // flag members, pickled as bool
};
constexpr std::array<pickled_member, 7> k_pickled_members{{
    {pickled_kind::object, &async_queue_object::_callback},
    {pickled_kind::object, &async_queue_object::_lock},
    {pickled_kind::object, &async_queue_object::_loop},
    {pickled_kind::object, &async_queue_object::_notify_cond},
    {pickled_kind::queue, &async_queue_object::_q},
    {pickled_kind::flag, nullptr, &async_queue_object::_running},
    {pickled_kind::object, &async_queue_object::_task},
}};

object read_member(PyObject* self, std::size_t i, bool& needs_setstate) {
    auto* q = as_queue_object(self);
    const pickled_member& member = k_pickled_members[i];
    critical_section section(self);
    if (member.kind == pickled_kind::flag) return object::borrow(q->*member.flag ? Py_True : Py_False);
    PyObject* value = q->*member.object;
    if (value != Py_None) needs_setstate = true;
    return object::borrow(value);
}

void write_member(PyObject* self, std::size_t i, PyObject* value) {
    auto* q = as_queue_object(self);
    const pickled_member& member = k_pickled_members[i];
    if (member.kind == pickled_kind::flag) {
        const bool flag = to_bool(value);
        critical_section section(self);
        q->*member.flag = flag;
        return;
    }
    if (member.kind == pickled_kind::queue && value != Py_None) {
        auto* queue_type = reinterpret_cast<PyTypeObject*>(relaybus_module::state().queue_type.ptr());
        if (!PyObject_TypeCheck(value, queue_type)) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
                         queue_type->tp_name);
            throw python_error{};
        }
        // The constructor never builds such a ring (block_on_full waits on the loop instead): a
        // push would sleep in it on the loop's thread, holding the interpreter lock, and the
        // consumer that could make room runs on that same thread.
        const spsc_queue::queue_object* ring = as_queue(value);
        if (ring->block_on_full && !ring->overwrite) {
            PyErr_SetString(PyExc_ValueError,
                            "AsyncQueue cannot use an SPSCQueue made with block_on_full=True: a push into it when "
                            "full would block the event loop's thread (make the AsyncQueue with block_on_full=True "
                            "to wait on the loop instead)");
            throw python_error{};
        }
    }
    static_cast<void>(exchange_member(self, q->*member.object, object::borrow(value)));
}

PyObject* relaybus_module_object() { return relaybus_module::state().module; }
PyTypeObject* async_queue_type() {
    return reinterpret_cast<PyTypeObject*>(relaybus_module::state().async_queue_type.ptr());
}

}  // namespace

const pickled_class k_async_queue_pickled{
    "__pyx_unpickle_AsyncQueue",
    {0xb5fb52f, 0x4bd5b12, 0x5d4ebbc, "_callback, _lock, _loop, _notify_cond, _q, _running, _task"},
    k_pickled_members.size(),
    read_member,
    write_member,
    relaybus_module_object,
    async_queue_type};

}  // namespace korvo::relaybus
