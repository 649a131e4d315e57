// The native coroutine kit exercised on its own: two coroutine functions of korvo_testext,
// written as korvo's asyncio types write theirs.
#include <Python.h>

#include "common/coroutine.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"

namespace korvo_testext {
namespace {

using korvo::object;
namespace coro = korvo::coro;

PyObject* g_coroutine_type = nullptr;  // made by the module's exec, owned for the process's life

// `return await awaitable`.
coro::body relay_body(PyObject* awaitable) { co_return co_await coro::await(awaitable); }

// async with cm:
//     got = await awaitable
//     if error is not None: raise error
// return got (None when __aexit__ suppressed what the block raised)
coro::body within_body(PyObject* cm, PyObject* awaitable, PyObject* error) {
    coro::async_with block(cm);
    co_await block.enter();
    object got = co_await block.step([&] { return object::borrow(awaitable); });
    block.run([&] {
        if (error == Py_None) return;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        throw korvo::python_error{};
    });
    co_await block.leave();
    co_return got ? got : object::borrow(Py_None);
}

object make(const char* name, coro::body body, std::initializer_list<PyObject*> keep) {
    object text = object::steal(korvo::check(PyUnicode_InternFromString(name)));
    return coro::make(reinterpret_cast<PyTypeObject*>(g_coroutine_type), text.ptr(), text.ptr(), std::move(body), keep);
}

PyObject* relay(PyObject*, PyObject* awaitable) {
    return korvo::guard(nullptr, [&] { return make("relay", relay_body(awaitable), {awaitable}).release(); });
}

PyObject* within(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return korvo::guard(nullptr, [&] {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "within(cm, awaitable, error)");
            throw korvo::python_error{};
        }
        if (args[2] != Py_None && !PyExceptionInstance_Check(args[2])) {
            PyErr_SetString(PyExc_TypeError, "error must be an exception instance or None");
            throw korvo::python_error{};
        }
        return make("within", within_body(args[0], args[1], args[2]), {args[0], args[1], args[2]}).release();
    });
}

PyMethodDef g_functions[] = {
    korvo::method_o("relay", relay, "relay(awaitable): a native coroutine that returns await awaitable."),
    korvo::method_positional("within", within,
                             "within(cm, awaitable, error): a native coroutine awaiting inside async with cm."),
    korvo::k_methods_end,
};

}  // namespace

void add_coroutine_functions(PyObject* module) {
    g_coroutine_type = coro::make_type(module, "korvo_testext.coroutine").release();
    korvo::check(PyModule_AddFunctions(module, g_functions));
}

void release_coroutine_spares(void*) { coro::release_spares(); }

}  // namespace korvo_testext
