// Native coroutine objects: Python coroutines whose bodies are C++20 coroutines.
//
// A body is a C++ coroutine returning `coro::body`; inside it, `co_await coro::await(obj)` awaits
// any Python awaitable (as `await obj` would) and gives its result, or an empty object with the
// Python exception set. The body ends with `co_return result;` (an empty object: the exception set
// is the coroutine's error). `coro::make` wraps a body in a Python object that asyncio accepts as a
// coroutine: send / throw / close / __await__, __name__ / __qualname__, cr_await, cr_running.
//
// Driving: send() resumes the body, which runs until it awaits something that suspends; what that
// yields goes out to the caller (the task), and later sends and throws go straight to it, as
// `yield from` does. An awaitable that completes at once costs no suspension and no StopIteration:
// it is driven with PyIter_Send inside the body's own step. Everything runs with the interpreter
// lock held, on the thread that drives the coroutine.
//
// Ownership: the Python object owns the C++ frame; destroying the frame (when the body ends, on
// close() of a suspended or unstarted coroutine, on deallocation) runs the destructors of the
// body's locals, so RAII locals are released on every exit path, cancellation included. The
// references passed to make() as `keep` are held for the body and visited by the collector.
#pragma once

#include <Python.h>

#include <coroutine>
#include <initializer_list>
#include <new>

#include "errors.hpp"
#include "ref.hpp"

namespace korvo::coro {

struct promise;
using frame_handle = std::coroutine_handle<promise>;

// The return type of a body.
class body {
public:
    using promise_type = promise;
    explicit body(frame_handle frame) noexcept : frame_(frame) {}
    body(body&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    body(const body&) = delete;
    body& operator=(const body&) = delete;
    ~body() {
        if (frame_) frame_.destroy();
    }
    frame_handle release() noexcept { return std::exchange(frame_, {}); }

private:
    frame_handle frame_;
};

struct coroutine_object;

struct promise {
    object result;                      // set by co_return
    coroutine_object* owner = nullptr;  // the Python object driving this frame

    body get_return_object() noexcept { return body(frame_handle::from_promise(*this)); }
    static body get_return_object_on_allocation_failure() noexcept { return body(frame_handle{}); }
    // Frames come from a small pool of recently freed ones (interpreter lock held).
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* frame, std::size_t size) noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(object value) noexcept { result = std::move(value); }
    // No C++ exception leaves a body: it becomes the coroutine's Python error.
    void unhandled_exception() noexcept {
        set_error_from_current_exception();
        result.reset();
    }
};

// The iterator that drives `awaitable` (as the `await` expression finds it). Throws python_error:
// TypeError for an object that cannot be awaited.
object awaitable_iterator(PyObject* awaitable);

// co_await await(obj): the result of awaiting obj, or an empty object with the exception set.
class await {
public:
    explicit await(PyObject* awaitable) noexcept : awaitable_(awaitable) {}
    bool await_ready() noexcept;
    void await_suspend(frame_handle frame) noexcept;
    object await_resume() noexcept { return std::move(value_); }

private:
    PyObject* awaitable_;  // borrowed for the duration of the expression
    object iter_;
    object first_yield_;
    object value_;
};

// `async with cm:` in two awaits. enter(cm) awaits cm.__aenter__() and gives its result (empty
// with the exception set on failure). leave(cm) awaits cm.__aexit__(...) with the exception
// pending at that point (or three Nones): it gives None when the block ends normally or the
// exception was suppressed, else an empty object with the exception (the block's, or one
// raised by __aexit__) set.
class enter {
public:
    explicit enter(PyObject* cm) noexcept;
    bool await_ready() noexcept { return inner_.await_ready(); }
    void await_suspend(frame_handle frame) noexcept { inner_.await_suspend(frame); }
    object await_resume() noexcept { return inner_.await_resume(); }

private:
    object call_;
    await inner_;
};

class leave {
public:
    explicit leave(PyObject* cm) noexcept;
    bool await_ready() noexcept { return inner_.await_ready(); }
    void await_suspend(frame_handle frame) noexcept { inner_.await_suspend(frame); }
    object await_resume() noexcept;

private:
    object pending_;  // the exception the block ended with, or empty
    object call_;
    await inner_;
};

// The type of native coroutine objects (named `qualified_name`, e.g. "pkg.mod.coroutine"),
// made once per module and passed to make(); not bound in the module. Throws python_error.
object make_type(PyObject* module, const char* qualified_name);

// A new coroutine object of `type` running `b`, named `name` / `qualname` (interned strs),
// keeping `keep` alive for it. Throws python_error (MemoryError when the frame could not be
// allocated).
object make(PyTypeObject* type, PyObject* name, PyObject* qualname, body b, std::initializer_list<PyObject*> keep);

// Frees the memory of the dropped coroutine objects kept for reuse. The module that made the
// coroutine types calls it when it is freed: that memory belongs to the interpreter's allocator,
// which does not outlive the interpreter (another may be started in the same process).
void release_spares() noexcept;

}  // namespace korvo::coro
