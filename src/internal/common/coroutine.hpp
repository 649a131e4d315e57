// Native coroutine objects: Python coroutines whose bodies are C++20 coroutines.
//
// A body is a C++ coroutine returning `coro::body`, written as every other korvo function is:
// a failing call throws python_error (check() and the usual helpers), and so does
// `co_await coro::await(obj)`, which awaits any Python awaitable (as `await obj` would) and
// gives its result. The body ends with `co_return result;`; an exception that leaves it becomes
// the coroutine's Python error, at the one boundary of `promise::unhandled_exception`.
// `coro::make` wraps a body in a Python object that asyncio accepts as a coroutine: send /
// throw / close / __await__, __name__ / __qualname__, cr_await, cr_running.
//
// `async with cm:` is a `coro::async_with` block: enter, the block's steps, leave. A step that
// fails keeps its exception for leave (a C++ handler cannot co_await __aexit__), and the block's
// remaining steps are skipped, as Python skips the rest of the block.
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
#include <optional>
#include <utility>

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
    // Frames come from the spare memory of recently freed ones (interpreter lock held).
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* frame, std::size_t size) noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(object value) noexcept { result = std::move(value); }
    // The one boundary: no C++ exception leaves a body, it becomes the coroutine's Python error.
    void unhandled_exception() noexcept {
        set_error_from_current_exception();
        result.reset();
    }
};

// The iterator that drives `awaitable` (as the `await` expression finds it). Throws python_error:
// TypeError for an object that cannot be awaited.
object awaitable_iterator(PyObject* awaitable);

// co_await await(obj): the result of awaiting obj. Throws python_error.
class await {
public:
    explicit await(PyObject* awaitable) noexcept : awaitable_(awaitable) {}
    explicit await(object awaitable) noexcept : owned_(std::move(awaitable)), awaitable_(owned_.ptr()) {}
    bool await_ready() noexcept;
    void await_suspend(frame_handle frame) noexcept;
    object await_resume() {
        if (!value_) throw python_error{};
        return std::move(value_);
    }
    // The result, or an empty object with the exception set.
    object take() noexcept { return std::move(value_); }

private:
    object owned_;
    PyObject* awaitable_;  // borrowed for the duration of the expression
    object iter_;
    object first_yield_;
    object value_;
};

// co_await yield_now(): hands None out to the driver once, as the bare yield under asyncio.sleep(0)
// does (an asyncio task lets the others that are ready run, then resumes this one); what is sent
// back in is dropped. Throws python_error when the driver throws in instead.
class yield_now {
public:
    bool await_ready() noexcept { return false; }
    void await_suspend(frame_handle frame) noexcept;
    void await_resume() {
        if (!sent_) throw python_error{};
    }

private:
    object sent_;
};

// `async with cm:` as a block:
//     coro::async_with block(cm);
//     co_await block.enter();                               // cm.__aenter__(); throws
//     block.run([&] { ... });                               // a step that awaits nothing
//     co_await block.step([&] { return awaitable; });       // a step that awaits what fn gives
//     co_await block.leave();                               // cm.__aexit__(...); throws
// leave() awaits __aexit__ with the exception a step ended with (or three Nones); it throws that
// exception unless __aexit__ suppressed it, and __aexit__'s own error wins. `cm` is borrowed and
// outlives the block.
//
// A lock-like cm (an asyncio lock or condition: __aenter__ awaits acquire(), __aexit__ calls
// release() and never suppresses) can be given with its `lock_protocol`: the block then makes
// those calls itself, sparing a coroutine object and a frame on each side, and `take` / `give`,
// when set, first try to take or let go of `lock` without any call (true when done; they throw
// python_error). Only for cm of exactly such a type. Names interned and borrowed.
struct lock_protocol {
    PyObject* acquire = nullptr;
    PyObject* release = nullptr;
    bool (*take)(PyObject* lock) = nullptr;
    bool (*give)(PyObject* lock) = nullptr;
    object lock;
};
class async_with {
public:
    explicit async_with(PyObject* cm, lock_protocol lock = {}) noexcept : cm_(cm), lock_(std::move(lock)) {}
    async_with(const async_with&) = delete;
    async_with& operator=(const async_with&) = delete;

    // Awaits __aenter__ or acquire(), or nothing when the lock was taken at once.
    class enter_step {
    public:
        explicit enter_step(object call) noexcept {
            if (call) inner_.emplace(std::move(call));
        }
        bool await_ready() noexcept { return !inner_ || inner_->await_ready(); }
        void await_suspend(frame_handle frame) noexcept { inner_->await_suspend(frame); }
        object await_resume() { return inner_ ? inner_->await_resume() : object::borrow(Py_None); }

    private:
        std::optional<coro::await> inner_;
    };
    enter_step enter();

    template <class Fn>
    void run(Fn&& fn) noexcept {
        if (pending_) return;
        try {
            fn();
        } catch (...) {
            keep_current_exception();
        }
    }

    // Awaits the awaitable fn() gives; gives the result, or an empty object when the step failed.
    template <class Fn>
    class block_step {
    public:
        block_step(async_with& block, Fn&& fn) noexcept : block_(block), fn_(std::forward<Fn>(fn)) {}
        bool await_ready() noexcept {
            if (block_.pending_) return true;
            block_.run([&] { inner_.emplace(object(fn_())); });
            return !inner_ || inner_->await_ready();
        }
        void await_suspend(frame_handle frame) noexcept { inner_->await_suspend(frame); }
        object await_resume() noexcept {
            if (!inner_) return {};
            object result = inner_->take();
            if (!result) block_.keep_pending_error();
            return result;
        }

    private:
        async_with& block_;
        Fn fn_;
        std::optional<coro::await> inner_;
    };
    template <class Fn>
    block_step<Fn> step(Fn&& fn) noexcept {
        return block_step<Fn>(*this, std::forward<Fn>(fn));
    }

    // Awaits __aexit__'s result, or nothing when the block released its lock itself.
    class exit_step {
    public:
        exit_step(object pending, object call) noexcept : pending_(std::move(pending)) {
            if (call) inner_.emplace(std::move(call));
        }
        bool await_ready() noexcept { return !inner_ || inner_->await_ready(); }
        void await_suspend(frame_handle frame) noexcept { inner_->await_suspend(frame); }
        object await_resume();

    private:
        object pending_;
        std::optional<coro::await> inner_;
    };
    exit_step leave();

private:
    void keep_current_exception() noexcept;
    void keep_pending_error() noexcept { pending_ = object::steal(PyErr_GetRaisedException()); }

    PyObject* cm_;
    lock_protocol lock_;  // no names: the context-manager protocol
    object pending_;      // the exception a step ended with, or empty
};

// The type of native coroutine objects (named `qualified_name`, e.g. "pkg.mod.coroutine"),
// made once per module and passed to make(); not bound in the module. Throws python_error.
// A module that drops the type calls retire_type first (from its m_clear).
object make_type(PyObject* module, const char* qualified_name);

// Frees the kept memory of `type`'s dropped objects and keeps none of them from now on. Called
// while the caller still holds the type: a kept object is freed through its type.
void retire_type(PyTypeObject* type) noexcept;

// A new coroutine object of `type` running `b`, named `name` / `qualname` (interned strs),
// keeping `keep` alive for it. Throws python_error (MemoryError when the frame could not be
// allocated).
object make(PyTypeObject* type, PyObject* name, PyObject* qualname, body b, std::initializer_list<PyObject*> keep);

// Frees the memory of every dropped coroutine object kept for reuse. A module that keeps its type
// for the process's life (never retiring it) calls it when the module is freed: that memory
// belongs to the interpreter's allocator, which does not outlive the interpreter.
void release_spares() noexcept;

// Suspends the frame of `owner` on `iter`: later sends and throws go to the iterator, `first`
// goes out to the caller now, and the iterator's result will be stored into `*slot`. Without
// `iter` the next send resumes the frame with None in `*slot`, and a throw with its exception.
void suspend_on(coroutine_object* owner, object iter, object first, object* slot) noexcept;

}  // namespace korvo::coro
