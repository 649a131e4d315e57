// Native coroutine objects: the Python type that drives C++ coroutine bodies.
#include "coroutine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>

#include "attr.hpp"
#include "coroutine_spares.hpp"
#include "type.hpp"

namespace korvo::coro {

// The Python object's state. While the body is suspended, `awaited` is the iterator it awaits (the
// target of later sends and throws) and `resume_slot` the place its result goes.
struct coroutine_state {
    frame_handle frame;  // empty once the body has ended or was dropped
    object name;
    object qualname;
    std::array<object, 4> keep;
    object awaited;
    object yielded;  // handed out by the current step
    object* resume_slot = nullptr;
    bool started = false;
    // Claimed by the thread that drives a step (see claim_step): on the free-threaded build two
    // threads may call send() at once, and the loser must be refused before it touches the frame.
    bool running = false;
};
struct coroutine_object {
    PyObject_HEAD
    coroutine_state st;
};

namespace {

coroutine_object* as_coro(PyObject* self) noexcept { return reinterpret_cast<coroutine_object*>(self); }

// Drops the frame: the destructors of the body's locals run now.
void drop_frame(coroutine_object* c) noexcept {
    if (!c->st.frame) return;
    frame_handle frame = std::exchange(c->st.frame, {});
    c->st.awaited.reset();
    c->st.resume_slot = nullptr;
    saved_error pending;  // a destructor may run Python code
    frame.destroy();
}

// Runs the body to its next suspension or its end.
PySendResult resume(coroutine_object* c, PyObject** out) noexcept {
    c->st.frame.resume();
    if (!c->st.frame.done()) {
        *out = c->st.yielded.release();
        return PYGEN_NEXT;
    }
    object result = std::move(c->st.frame.promise().result);
    {
        saved_error pending;
        frame_handle frame = std::exchange(c->st.frame, {});
        frame.destroy();
    }
    if (result) {
        *out = result.release();
        return PYGEN_RETURN;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native coroutine ended without a result");
    *out = nullptr;
    return PYGEN_ERROR;
}

// What the awaited iterator did: pass a yield on, or resume the body with the result (or the
// error, which is set).
PySendResult deliver(coroutine_object* c, PySendResult step, PyObject* value, PyObject** out) noexcept {
    if (step == PYGEN_NEXT) {
        *out = value;
        return PYGEN_NEXT;
    }
    c->st.awaited.reset();
    if (step == PYGEN_RETURN) c->st.resume_slot->reset_steal(value);
    c->st.resume_slot = nullptr;
    return resume(c, out);
}

// Claims the coroutine for one step on this thread; ValueError (false) when a step runs already,
// here or on another thread. Only the claimant touches the frame until end_step().
bool claim_step(coroutine_object* c) noexcept {
#ifdef Py_GIL_DISABLED
    bool idle = false;
    const bool claimed =
        std::atomic_ref<bool>(c->st.running).compare_exchange_strong(idle, true, std::memory_order_acquire);
#else
    const bool claimed = !c->st.running;
    c->st.running = true;
#endif
    if (!claimed) PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return claimed;
}
void end_step(coroutine_object* c) noexcept {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<bool>(c->st.running).store(false, std::memory_order_release);
#else
    c->st.running = false;
#endif
}
bool is_running(const coroutine_object* c) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<bool>(const_cast<bool&>(c->st.running)).load(std::memory_order_acquire);
#else
    return c->st.running;
#endif
}

PySendResult send(coroutine_object* c, PyObject* arg, PyObject** out) noexcept {
    *out = nullptr;
    if (!claim_step(c)) return PYGEN_ERROR;
    if (!c->st.frame) {
        end_step(c);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    PySendResult result;
    if (!c->st.started) {
        if (arg != Py_None) {
            end_step(c);
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        c->st.started = true;
        result = resume(c, out);
    } else {
        PyObject* value = nullptr;  // without an iterator (after yield_now) the body resumes with None
        const PySendResult step =
            c->st.awaited ? PyIter_Send(c->st.awaited.ptr(), arg, &value) : (value = new_ref(Py_None), PYGEN_RETURN);
        result = deliver(c, step, value, out);
    }
    end_step(c);
    return result;
}

// How the awaited iterator takes `exc`: PYGEN_NEXT with what it yields, PYGEN_RETURN with its
// result, or PYGEN_ERROR with the error the body resumes with: the iterator's own, or `exc` itself
// when the iterator has no throw() (close() for GeneratorExit) or has closed, or there is none
// (after yield_now). Throws python_error (the error the body resumes with).
PySendResult pass_to_awaited(PyObject* awaited, object& exc, PyObject** value) {
    const bool closing = PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit) != 0;
    object method = awaited != nullptr ? get_optional_attr(awaited, closing ? "close" : "throw") : object{};
    object result;
    if (method) {
        result =
            object::steal(closing ? PyObject_CallNoArgs(method.ptr()) : PyObject_CallOneArg(method.ptr(), exc.ptr()));
        if (result && !closing) {
            *value = result.release();
            return PYGEN_NEXT;
        }
    }
    if (!method || result) {
        PyErr_SetRaisedException(exc.release());
        return PYGEN_ERROR;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    object stop = object::steal(PyErr_GetRaisedException());
    *value = get_attr(stop.ptr(), "value").release();
    return PYGEN_RETURN;
}

// Raises `exc` where the body is suspended, as throw() does.
PySendResult throw_into(coroutine_object* c, object exc, PyObject** out) noexcept {
    *out = nullptr;
    if (!claim_step(c)) return PYGEN_ERROR;
    if (!c->st.frame || !c->st.started) {
        drop_frame(c);  // a coroutine that never ran ends with the exception, never running
        c->st.started = true;
        end_step(c);
        PyErr_SetRaisedException(exc.release());
        return PYGEN_ERROR;
    }
    PyObject* value = nullptr;
    const PySendResult step = guard(PYGEN_ERROR, [&] { return pass_to_awaited(c->st.awaited.ptr(), exc, &value); });
    const PySendResult result = deliver(c, step, value, out);
    end_step(c);
    return result;
}

// The exception of throw(value) / throw(type[, value[, traceback]]).
object thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        throw python_error{};
    }
    PyObject* kind = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    object exc;
    if (PyExceptionInstance_Check(kind)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            throw python_error{};
        }
        exc = object::borrow(kind);
    } else if (PyExceptionClass_Check(kind)) {
        if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(kind)))
            exc = object::borrow(value);
        else if (value == Py_None)
            exc = object::steal(check(PyObject_CallNoArgs(kind)));
        else if (PyTuple_Check(value))
            exc = object::steal(check(PyObject_Call(kind, value, nullptr)));
        else
            exc = object::steal(check(PyObject_CallOneArg(kind, value)));
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(kind)->tp_name);
        throw python_error{};
    }
    if (nargs > 2 && args[2] != Py_None) check(PyException_SetTraceback(exc.ptr(), args[2]));
    return exc;
}

// The result of a step as a Python call returns it: the yielded value, or StopIteration.
PyObject* as_call_result(PySendResult step, PyObject* value) {
    if (step != PYGEN_RETURN) return value;
    object result = object::steal(value);
    // Raised as it is: an await takes it at once, context chaining would only cost.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result.ptr());
    if (stop != nullptr) PyErr_SetRaisedException(stop);
    return nullptr;
}

PyObject* close_coroutine(coroutine_object* c) noexcept {
    if (!claim_step(c)) return nullptr;
    if (!c->st.frame || !c->st.started) {
        drop_frame(c);
        end_step(c);
        Py_RETURN_NONE;
    }
    end_step(c);  // throw_into claims its own step
    PyObject* value = nullptr;
    const PySendResult step = throw_into(c, object::steal(PyObject_CallNoArgs(PyExc_GeneratorExit)), &value);
    if (step == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (step == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// ---- Python entries
PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) { return send(as_coro(self), arg, out); }

PyObject* iternext(PyObject* self) {
    PyObject* value = nullptr;
    const PySendResult step = send(as_coro(self), Py_None, &value);
    if (step == PYGEN_RETURN && value == Py_None) {
        Py_DECREF(value);
        return nullptr;  // plain exhaustion
    }
    return as_call_result(step, value);
}

PyObject* await_self(PyObject* self) { return new_ref(self); }

PyObject* send_method(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    const PySendResult step = send(as_coro(self), arg, &value);
    return as_call_result(step, value);
}

PyObject* throw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    object exc;
    if (!guard(false, [&] {
            exc = thrown_exception(args, nargs);
            return true;
        }))
        return nullptr;
    PyObject* value = nullptr;
    const PySendResult step = throw_into(as_coro(self), std::move(exc), &value);
    return as_call_result(step, value);
}

PyObject* close_method(PyObject* self, PyObject*) { return close_coroutine(as_coro(self)); }

PyObject* get_name(PyObject* self, void*) {
    return new_ref(as_coro(self)->st.name ? as_coro(self)->st.name.ptr() : Py_None);
}
PyObject* get_qualname(PyObject* self, void*) {
    return new_ref(as_coro(self)->st.qualname ? as_coro(self)->st.qualname.ptr() : Py_None);
}
PyObject* get_awaited(PyObject* self, void*) {
    return new_ref(as_coro(self)->st.awaited ? as_coro(self)->st.awaited.ptr() : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(is_running(as_coro(self))); }
PyObject* get_suspended(PyObject* self, void*) {
    const coroutine_object* c = as_coro(self);
    return PyBool_FromLong(!is_running(c) && c->st.started && c->st.frame);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* repr(PyObject* self) {
    const object& qualname = as_coro(self)->st.qualname;
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname ? qualname.ptr() : Py_None, self);
}

// A coroutine dropped while suspended is closed (its body's locals released); one never started
// warns, as the interpreter's own coroutines do.
void finalize(PyObject* self) {
    coroutine_object* c = as_coro(self);
    if (!c->st.frame) return;
    saved_error pending;
    if (!c->st.started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->st.qualname.ptr()) < 0)
            PyErr_WriteUnraisable(self);
        drop_frame(c);
        return;
    }
    object result = object::steal(close_coroutine(c));
    if (!result) PyErr_WriteUnraisable(self);
}

// The type writes its own GC and lifetime slots: its references live in a C++ state beside a
// frame that clear must drop (never while the body runs), and dealloc keeps the memory for reuse.
int traverse(PyObject* self, visitproc visit, void* arg) {
    coroutine_object* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    for (object& kept : c->st.keep) Py_VISIT(kept.ptr());
    Py_VISIT(c->st.awaited.ptr());
    return 0;
}

int clear(PyObject* self) {
    coroutine_object* c = as_coro(self);
    if (is_running(c)) return 0;
    drop_frame(c);
    for (object& kept : c->st.keep) kept.reset();
    c->st.yielded.reset();
    return 0;
}

void dealloc(PyObject* self) {
    coroutine_object* c = as_coro(self);
    // Only a body that still exists has something to finalize (see finalize).
    if (c->st.frame && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    drop_frame(c);
    c->st.~coroutine_state();
    // A finalized object carries that mark in its collector header, so its memory is not reused.
    // While the interpreter finalizes nothing is kept: release_spares may have run already.
    if (PyObject_GC_IsFinalized(self) || Py_IsFinalizing() || !spares_access()->keep_object(self)) type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    method_o("send", send_method,
             "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."),
    method_positional("throw", throw_method,
                      "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
                      "iterated value or raise StopIteration."),
    method_noargs("close", close_method, "close() -> raise GeneratorExit inside coroutine."),
    k_methods_end,
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_awaited, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, "always None: the body is native code", nullptr},
    {"cr_code", get_none, nullptr, "always None: the body is native code", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    slot(Py_am_await, await_self),
    slot(Py_am_send, am_send),
    slot(Py_tp_iternext, iternext),
    slot(Py_tp_repr, repr),
    slot(Py_tp_finalize, finalize),
    slot(Py_tp_traverse, traverse),
    slot(Py_tp_clear, clear),
    slot(Py_tp_dealloc, dealloc),
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    doc_slot("A coroutine whose body is native code."),
    {0, nullptr},
};

}  // namespace

void* promise::operator new(std::size_t size) noexcept { return spares_access()->take_frame(size); }
void promise::operator delete(void* frame, std::size_t size) noexcept { spares_access()->drop_frame(frame, size); }

void release_spares() noexcept { spares_access()->release(); }

void retire_type(PyTypeObject* type) noexcept { spares_access()->retire(type); }

object make_type(PyObject* module, const char* qualified_name) {
    PyType_Spec spec = type_spec(
        qualified_name, sizeof(coroutine_object),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots);
    object type = object::steal(check(PyType_FromModuleAndSpec(module, &spec, nullptr)));
    spares_access()->admit(reinterpret_cast<PyTypeObject*>(type.ptr()));
    return type;
}

object make(PyTypeObject* type, PyObject* name, PyObject* qualname, body b, std::initializer_list<PyObject*> keep) {
    frame_handle frame = b.release();
    if (!frame) {
        PyErr_NoMemory();
        throw python_error{};
    }
    PyObject* self = nullptr;
    if (void* spare = spares_access()->take_object()) {
        // Every type of make_type has this one layout and the default allocator.
        self = PyObject_Init(static_cast<PyObject*>(spare), type);
        new (&as_coro(self)->st) coroutine_state;
        PyObject_GC_Track(self);
    } else {
        self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            frame.destroy();
            throw python_error{};
        }
        new (&as_coro(self)->st) coroutine_state;
    }
    coroutine_object* c = as_coro(self);
    c->st.frame = frame;
    c->st.name = object::borrow(name);
    c->st.qualname = object::borrow(qualname);
    std::size_t i = 0;
    for (PyObject* kept : keep) c->st.keep.at(i++) = object::borrow(kept);
    frame.promise().owner = c;
    return object::steal(self);
}

void suspend_on(coroutine_object* owner, object iter, object first, object* slot) noexcept {
    owner->st.awaited = std::move(iter);
    owner->st.yielded = std::move(first);
    owner->st.resume_slot = slot;
}

}  // namespace korvo::coro
