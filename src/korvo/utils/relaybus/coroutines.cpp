// The native coroutines of AsyncDispatcher and AsyncQueue.
#include "coroutines.hpp"

#include <utility>

#include "common/attr.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/type.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {
namespace {

struct coroutine_text {
    coroutine_kind kind;
    const char* name;
    const char* qualname;
};
constexpr coroutine_text k_coroutine_texts[] = {
    {coroutine_kind::reader, "__reader", "AsyncDispatcher.__reader"},
    {coroutine_kind::reader_var, "__reader_var", "AsyncDispatcher.__reader_var"},
    {coroutine_kind::push_buf, "push_buf", "AsyncQueue.push_buf"},
    {coroutine_kind::push_obj, "push_obj", "AsyncQueue.push_obj"},
    {coroutine_kind::push_str, "push_str", "AsyncQueue.push_str"},
    {coroutine_kind::pop, "pop", "AsyncQueue.pop"},
    {coroutine_kind::dispatch, "__dispatch", "AsyncQueue.__dispatch"},
    {coroutine_kind::shutdown, "shutdown", "AsyncQueue.shutdown"},
};
static_assert(std::size(k_coroutine_texts) == static_cast<std::size_t>(coroutine_kind::count));

// AsyncDispatcher.close hands the reader task's cancellation to the task's own loop as this
// nested function, so the loop's handle shows where it came from. The wake-up socket closes once
// the reader has finished: by then the loop has taken the socket out of its selector.
constexpr const char* k_finalize_source =
    "def close(task, sock):\n"
    "    def _close_socket(task):\n"
    "        if sock is not None:\n"
    "            sock.close()\n"
    "    def _finalize():\n"
    "        if task.done():\n"
    "            _close_socket(task)\n"
    "        else:\n"
    "            task.add_done_callback(_close_socket)\n"
    "            task.cancel()\n"
    "    return _finalize\n";

object compile_finalize_factory(PyObject* module) {
    object globals = object::steal(check(PyDict_New()));
    check(PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins()));
    object name = get_attr(module, "__name__");
    check(PyDict_SetItemString(globals.ptr(), "__name__", name.ptr()));
    object code = object::steal(check(Py_CompileString(k_finalize_source, "<korvo.utils.relaybus>", Py_file_input)));
    object done = object::steal(check(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr())));
    PyObject* factory = PyDict_GetItemString(globals.ptr(), "close");  // borrowed
    if (factory == nullptr) {
        PyErr_SetString(PyExc_SystemError, "close factory missing");
        throw python_error{};
    }
    return object::borrow(factory);
}

// A strong reference to dict[key], or an empty object when it is missing. Throws python_error.
object dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &value);
    if (found < 0) throw python_error{};
    return object::steal(value);
}

// asyncio.Lock.acquire() on a free lock that nobody queues for only sets `_locked`, and release()
// with nobody queued only clears it. Done here directly on the lock's attribute dict, that spares
// a coroutine object and two frames per pass; queued waiters or a state not found as expected
// leave it to the methods. `held` is what `_locked` must be for the change to `!held`. Throws
// python_error.
// Threads: an asyncio lock belongs to one event loop, and only the coroutines that loop runs (on
// its one thread) take and release it, so no other thread changes `_locked` or `_waiters` while
// this looks; asyncio's own methods rely on that just as much. The dict's critical section makes
// the look and the change one step anyway (dict writes of any other thread wait for it), and the
// values are held as strong references, so a misused lock yields asyncio's own confusion, never
// freed memory.
bool flip_unqueued_lock(PyObject* attributes, bool held) {
    const relaybus_state& st = relaybus_module::state();
    critical_section section(attributes);
    object locked = dict_item(attributes, st.locked_name.ptr());
    if (locked.ptr() != (held ? Py_True : Py_False)) return false;
    object waiters = dict_item(attributes, st.waiters_name.ptr());
    if (!waiters) return false;
    if (waiters.ptr() != Py_None && check(PyObject_Length(waiters.ptr())) != 0) return false;
    check(PyDict_SetItem(attributes, st.locked_name.ptr(), held ? Py_False : Py_True));
    return true;
}
bool take_unqueued_lock(PyObject* attributes) { return flip_unqueued_lock(attributes, false); }
bool give_unqueued_lock(PyObject* attributes) { return flip_unqueued_lock(attributes, true); }

// ---- waiting for a wake-up datagram
// Completes the future the reader task awaits. The task's wake-up, which the future would leave
// to the loop's next turn, runs here at once: the message is delivered in the turn its datagram
// arrived in. Only while the task is the future's one waiter (the reader made it for itself);
// otherwise the future runs its callbacks as usual. Throws python_error.
// Threads: the future belongs to the reader's loop and this runs on that loop's thread, as every
// callback the loop calls does; the future's callbacks change only there (asyncio's futures are
// not for other threads: those go through call_soon_threadsafe). `_callbacks` hands out a list
// whose items are taken here as strong references all the same.
void wake_reader(PyObject* waiter) {
    if (check(PyObject_IsTrue(call_method(waiter, "done").ptr()))) return;
    object callbacks = get_optional_attr(waiter, "_callbacks");
    object only;  // (callback, context)
    if (callbacks && PyList_CheckExact(callbacks.ptr()) && PyList_GET_SIZE(callbacks.ptr()) == 1) {
        only = object::steal(PyList_GetItemRef(callbacks.ptr(), 0));
        if (!only) PyErr_Clear();  // emptied meanwhile: the usual path below
    }
    if (!only || !PyTuple_CheckExact(only.ptr()) || PyTuple_GET_SIZE(only.ptr()) != 2) {
        call_method(waiter, "set_result", Py_None);
        return;
    }
    object wakeup = object::borrow(PyTuple_GET_ITEM(only.ptr(), 0));
    object context = object::borrow(PyTuple_GET_ITEM(only.ptr(), 1));
    if (PyLong_AsLong(call_method(waiter, "remove_done_callback", wakeup.ptr()).ptr()) != 1) {
        if (PyErr_Occurred()) throw python_error{};
        call_method(waiter, "set_result", Py_None);
        return;
    }
    call_method(waiter, "set_result", Py_None);
    call_method(context.ptr(), "run", wakeup.ptr(), waiter);
}

// `state` is the list [socket handle, future or None], shared with the registered callback.
PyObject* on_wakeup(PyObject* state, PyObject*) {
    return guard(nullptr, [&]() -> PyObject* {
        object fileno = object::steal(check(PyList_GetItemRef(state, 0)));
        const long long handle = PyLong_AsLongLong(fileno.ptr());
        if (handle == -1 && PyErr_Occurred()) throw python_error{};
        wakeup::receive(static_cast<platform_socket>(handle));  // the socket is non-blocking
        object waiter = object::steal(check(PyList_GetItemRef(state, 1)));
        if (waiter.ptr() == Py_None) Py_RETURN_NONE;  // the reader is busy: it looks before it waits
        check(PyList_SetItem(state, 1, new_ref(Py_None)));
        wake_reader(waiter.ptr());
        Py_RETURN_NONE;
    });
}
PyMethodDef k_on_wakeup = method_noargs("_on_wakeup", on_wakeup);

}  // namespace

wakeup_watch::~wakeup_watch() {
    if (!state_) return;
    saved_error pending;
    PyList_SetItem(state_.ptr(), 1, new_ref(Py_None));
    object done = object::steal(guard(nullptr, [&] {
        object fileno = call_method(sock_.ptr(), "fileno");
        if (PyLong_AsLong(fileno.ptr()) != -1) call_method(loop_.ptr(), "remove_reader", sock_.ptr());
        return new_ref(Py_None);
    }));
    if (!done) report_unraisable("korvo.utils.relaybus.relaybus.AsyncDispatcher.__reader");
}

bool wakeup_watch::start(PyObject* loop, PyObject* sock) {
    object fileno = call_method(sock, "fileno");
    object state = object::steal(check(PyList_New(2)));
    PyList_SET_ITEM(state.ptr(), 0, fileno.release());
    PyList_SET_ITEM(state.ptr(), 1, new_ref(Py_None));
    object callback = object::steal(check(PyCFunction_New(&k_on_wakeup, state.ptr())));
    try {
        call_method(loop, "add_reader", sock, callback.ptr());
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) throw;
        PyErr_Clear();
        return false;
    }
    loop_ = object::borrow(loop);
    sock_ = object::borrow(sock);
    state_ = std::move(state);
    return true;
}

object wakeup_watch::next_wakeup() {
    object waiter = call_method(loop_.ptr(), "create_future");
    check(PyList_SetItem(state_.ptr(), 1, new_ref(waiter.ptr())));
    return waiter;
}

coro::lock_protocol condition_protocol(PyObject* cond) {
    const relaybus_state& st = relaybus_module::state();
    if (Py_TYPE(cond) != reinterpret_cast<PyTypeObject*>(st.condition_type.ptr())) return {};
    coro::lock_protocol protocol;
    protocol.acquire = st.acquire_name.ptr();
    protocol.release = st.release_name.ptr();
    object cond_attributes = object::steal(check(PyObject_GenericGetDict(cond, nullptr)));
    object lock = dict_item(cond_attributes.ptr(), st.lock_name.ptr());
    if (lock && Py_TYPE(lock.ptr()) == reinterpret_cast<PyTypeObject*>(st.lock_type.ptr())) {
        protocol.lock = object::steal(check(PyObject_GenericGetDict(lock.ptr(), nullptr)));
        protocol.take = take_unqueued_lock;
        protocol.give = give_unqueued_lock;
    }
    return protocol;
}

object make_coroutine(coroutine_kind kind, coro::body body, std::initializer_list<PyObject*> keep) {
    relaybus_state& st = relaybus_module::state();
    const coroutine_names& names = st.names_of(kind);
    return coro::make(reinterpret_cast<PyTypeObject*>(st.coroutine_type.ptr()), names.name.ptr(), names.qualname.ptr(),
                      std::move(body), keep);
}

void init_coroutines(relaybus_state& st) {
    st.coroutine_type = coro::make_type(st.module, "korvo.utils.relaybus.relaybus.coroutine");
    for (const coroutine_text& text : k_coroutine_texts) {
        coroutine_names& names = st.coroutines[static_cast<std::size_t>(text.kind)];
        names.name = interned(text.name);
        names.qualname = interned(text.qualname);
    }
    object asyncio = object::steal(check(PyImport_ImportModule("asyncio")));
    st.condition_type = get_attr(asyncio.ptr(), "Condition");
    st.lock_type = get_attr(asyncio.ptr(), "Lock");
    st.finalize_factory = compile_finalize_factory(st.module);
}

}  // namespace korvo::relaybus
