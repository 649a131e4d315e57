// Module state in the module's own memory, found without a module argument through one
// process-wide pointer: each korvo module loads into one interpreter, once per process.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <new>

#include "errors.hpp"
#include "ref.hpp"

namespace korvo {

// T is the state: default-constructible, with
//   static constexpr const char* module_name;  // for "<module_name> is not loaded"
//   PyObject* module;                           // borrowed: the state lives inside it
//   template <class F> void visit_fields(F&& f); // f(object&) for every owned reference
//   void on_clear() noexcept;                   // optional: runs when the module is cleared
//                                               // (m_clear, also from m_free), before its
//                                               // fields are reset
// definition() gives the module's PyModuleDef with this state's size and slots.
template <class T>
class module_state {
public:
    // The definition of a multi-phase module whose state is T; keep it in static storage.
    static PyModuleDef definition(const char* name, PyModuleDef_Slot* slots, PyMethodDef* methods = nullptr,
                                  const char* doc = nullptr) noexcept {
        return {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = name,
            .m_doc = doc,
            .m_size = sizeof(T),
            .m_methods = methods,
            .m_slots = slots,
            .m_traverse = traverse,
            .m_clear = clear,
            .m_free = free,
        };
    }

    // Constructs the state in the module's memory (exec). Throws python_error.
    static T& init(PyObject* module) {
        void* memory = PyModule_GetState(module);
        if (memory == nullptr) throw python_error{};
        T* st = new (memory) T{};
        st->module = module;
        return *st;
    }
    // The state inside `module`, before it is published. Throws python_error.
    static T& of_module(PyObject* module) {
        T* st = find(module);
        if (st == nullptr) throw python_error{};
        return *st;
    }
    // Makes `st` the state that state() finds, once the module is complete.
    static void publish(T& st) noexcept { current_.store(&st, std::memory_order_release); }
    // The module's state; RuntimeError (throws python_error) once the module is gone.
    static T& state() {
        T* st = current_.load(std::memory_order_acquire);
        if (st == nullptr) {
            PyErr_Format(PyExc_RuntimeError, "%s is not loaded", T::module_name);
            throw python_error{};
        }
        return *st;
    }
    // The module's state, or null once the module is gone. Never raises.
    static T* loaded() noexcept { return current_.load(std::memory_order_acquire); }

    // Module slots m_traverse, m_clear and m_free.
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        T* st = find(module);
        if (st == nullptr) return 0;
        int result = 0;
        st->visit_fields([&](object& field) {
            if (result == 0 && field) result = visit(field.ptr(), arg);
        });
        return result;
    }
    static int clear(PyObject* module) {
        T* st = find(module);
        if (st == nullptr) return 0;
        T* published = st;
        current_.compare_exchange_strong(published, nullptr, std::memory_order_acq_rel);
        if constexpr (requires { st->on_clear(); }) st->on_clear();
        st->visit_fields([](object& field) { field.reset(); });
        return 0;
    }
    static void free(void* module) {
        T* st = find(static_cast<PyObject*>(module));
        if (st == nullptr) return;
        clear(static_cast<PyObject*>(module));
        std::destroy_at(st);
    }

private:
    static T* find(PyObject* module) noexcept { return static_cast<T*>(PyModule_GetState(module)); }
    // Published once the module is complete and withdrawn at its clear; read by any thread
    // (without the GIL on the free-threaded build), so atomic: a reader sees a whole state or none.
    static inline std::atomic<T*> current_{nullptr};
};

}  // namespace korvo
