// Awaiting inside a native coroutine body: any Python awaitable, and `async with`.
#include "coroutine.hpp"

#include "attr.hpp"

namespace korvo::coro {

object awaitable_iterator(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable)) return object::borrow(awaitable);
    unaryfunc get_await = Py_TYPE(awaitable)->tp_as_async ? Py_TYPE(awaitable)->tp_as_async->am_await : nullptr;
    if (get_await == nullptr) {
        // A generator made a coroutine by types.coroutine is awaited as it is.
        if (PyGen_CheckExact(awaitable)) {
            object code = get_attr(awaitable, "gi_code");
            if (reinterpret_cast<PyCodeObject*>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE)
                return object::borrow(awaitable);
        }
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(awaitable)->tp_name);
        throw python_error{};
    }
    object iter = object::steal(check(get_await(awaitable)));
    if (PyCoro_CheckExact(iter.ptr())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw python_error{};
    }
    if (!PyIter_Check(iter.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter.ptr())->tp_name);
        throw python_error{};
    }
    return iter;
}

bool await::await_ready() noexcept {
    if (!guard(false, [&] {
            iter_ = awaitable_iterator(awaitable_);
            return true;
        }))
        return true;
    PyObject* out = nullptr;
    switch (PyIter_Send(iter_.ptr(), Py_None, &out)) {
        case PYGEN_RETURN:
            value_ = object::steal(out);
            return true;
        case PYGEN_ERROR:
            return true;
        case PYGEN_NEXT:
            break;
    }
    first_yield_ = object::steal(out);
    return false;
}

void await::await_suspend(frame_handle frame) noexcept {
    suspend_on(frame.promise().owner, std::move(iter_), std::move(first_yield_), &value_);
}

void yield_now::await_suspend(frame_handle frame) noexcept {
    suspend_on(frame.promise().owner, {}, object::borrow(Py_None), &sent_);
}

async_with::enter_step async_with::enter() {
    if (!lock_.acquire) return enter_step(call_method(cm_, "__aenter__"));
    if (lock_.take && lock_.take(lock_.lock.ptr())) return enter_step({});
    return enter_step(call_method(cm_, lock_.acquire));
}

void async_with::keep_current_exception() noexcept {
    set_error_from_current_exception();
    keep_pending_error();
}

async_with::exit_step async_with::leave() {
    object pending = std::move(pending_);
    if (lock_.release) {
        // An error of release() wins over the block's.
        if (!lock_.give || !lock_.give(lock_.lock.ptr())) call_method(cm_, lock_.release);
        return exit_step(std::move(pending), {});
    }
    if (!pending) return exit_step({}, call_method(cm_, "__aexit__", Py_None, Py_None, Py_None));
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(pending.ptr()));
    object traceback = object::steal(PyException_GetTraceback(pending.ptr()));
    object call = call_method(cm_, "__aexit__", kind, pending.ptr(), traceback ? traceback.ptr() : Py_None);
    return exit_step(std::move(pending), std::move(call));
}

object async_with::exit_step::await_resume() {
    // No call: the lock was released and nothing is suppressed.
    object result = inner_ ? inner_->await_resume() : object::borrow(Py_None);  // __aexit__ failed: its error wins
    if (!pending_) return result;
    if (inner_ && check(PyObject_IsTrue(result.ptr())) != 0) return object::borrow(Py_None);
    PyErr_SetRaisedException(pending_.release());
    throw python_error{};
}

}  // namespace korvo::coro
