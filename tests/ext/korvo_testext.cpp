// Test-only extension module: exercises the shared C API layer and reads korvo's published
// tables the way another extension module would.
#include <Python.h>

#include <array>
#include <ios>
#include <new>
#include <stdexcept>
#include <string_view>
#include <typeinfo>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/publish.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "korvo/capsule.hpp"

namespace korvo_testext {
// The native coroutine functions (coroutine_testext.cpp). Throws python_error.
void add_coroutine_functions(PyObject* module);
// m_free: the coroutines' spare memory goes back to the interpreter.
void release_coroutine_spares(void* module);
}  // namespace korvo_testext

namespace {

using korvo::object;

korvo::module_guard g_guard{"korvo_testext", "korvo_testext"};

[[noreturn]] void throw_kind(std::string_view kind) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "bad_cast") throw std::bad_cast();
    if (kind == "bad_typeid") throw std::bad_typeid();
    if (kind == "domain_error") throw std::domain_error("domain");
    if (kind == "invalid_argument") throw std::invalid_argument("invalid");
    if (kind == "ios_failure") throw std::ios_base::failure("io");
    if (kind == "out_of_range") throw std::out_of_range("range");
    if (kind == "overflow_error") throw std::overflow_error("overflow");
    if (kind == "range_error") throw std::range_error("range error");
    if (kind == "underflow_error") throw std::underflow_error("underflow");
    if (kind == "runtime_error") throw std::runtime_error("runtime");
    if (kind == "logic_error") throw std::logic_error("logic");
    if (kind == "pending") {
        PyErr_SetString(PyExc_KeyError, "already set");
        throw std::runtime_error("hidden by the pending error");
    }
    throw 42;  // not a std exception
}

PyObject* testext_throw(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(arg, &len);
        if (text == nullptr) throw korvo::python_error{};
        throw_kind(std::string_view(text, static_cast<std::size_t>(len)));
    });
}

PyObject* testext_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return korvo::guard(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 3> names{"a", "b", "c"};
        std::array<PyObject*, 3> values{};
        korvo::parse_args("parse", args, nargs, kwnames, names, 2, values);
        for (auto& v : values)
            if (v == nullptr) v = Py_None;
        return korvo::check(PyTuple_Pack(3, values[0], values[1], values[2]));
    });
}

PyObject* testext_to_size(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&] { return korvo::check(PyLong_FromSize_t(korvo::to_size(arg))); });
}
PyObject* testext_to_int32(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&] { return korvo::check(PyLong_FromLong(korvo::to_int32(arg))); });
}
PyObject* testext_to_bool(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&] { return korvo::new_ref(korvo::to_bool(arg) ? Py_True : Py_False); });
}
PyObject* testext_check_str(PyObject*, PyObject* arg) {
    return korvo::guard(nullptr, [&] {
        korvo::check_exact_type(arg, &PyUnicode_Type, "text");
        return korvo::new_ref(arg);
    });
}

// Raises ValueError(message) and reports it as unraisable under `context`.
PyObject* testext_unraisable(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "unraisable(context, message)");
        return nullptr;
    }
    const char* context = PyUnicode_AsUTF8(args[0]);
    if (context == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, args[1]);
    korvo::report_unraisable(context);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// A type with a native table, published the way korvo's types publish theirs.
struct table_object;
struct table_vtable {
    int (*scaled)(table_object* self, int value);
};
struct table_object {
    PyObject_HEAD
    const table_vtable* vtab;
    int factor;
};
int table_scaled(table_object* self, int value) { return value * self->factor; }
const table_vtable g_table_vtable{table_scaled};

int table_init(PyObject* self, PyObject* args, PyObject* kwds) {
    auto* t = reinterpret_cast<table_object*>(self);
    t->vtab = &g_table_vtable;
    int factor = 1;
    static const char* kwlist[] = {"factor", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|i", const_cast<char**>(kwlist), &factor)) return -1;
    t->factor = factor;
    return 0;
}
PyType_Slot table_slots[] = {{Py_tp_init, reinterpret_cast<void*>(table_init)}, {0, nullptr}};
PyType_Spec table_spec = {"korvo_testext.Table", sizeof(table_object), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                          table_slots};

PyTypeObject* g_table_type = nullptr;  // owned by the module for the process's life

// Reads Table's table the way an importer does (from the declared type's __pyx_vtable__),
// checks that the instance carries the same pointer, and calls through it.
PyObject* testext_call_table(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "call_table(obj, value)");
        return nullptr;
    }
    auto* table = static_cast<const table_vtable*>(korvo::capsule::get_vtable(g_table_type));
    if (table == nullptr) return nullptr;
    if (!PyObject_TypeCheck(args[0], g_table_type)) {
        PyErr_SetString(PyExc_TypeError, "not a Table");
        return nullptr;
    }
    auto* obj = reinterpret_cast<table_object*>(args[0]);
    if (obj->vtab != table) {
        PyErr_SetString(PyExc_AssertionError, "instance table differs from the published one");
        return nullptr;
    }
    const int value = PyLong_AsInt(args[1]);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(obj->vtab->scaled(obj, value));
}

int twice(int value) { return 2 * value; }

// import_function(module, name, signature) then calls it as int (int) with `value`.
PyObject* testext_call_capi(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "call_capi(module, name, signature, value)");
        return nullptr;
    }
    const char* module = PyUnicode_AsUTF8(args[0]);
    const char* name = module ? PyUnicode_AsUTF8(args[1]) : nullptr;
    const char* sig = name ? PyUnicode_AsUTF8(args[2]) : nullptr;
    if (sig == nullptr) return nullptr;
    auto* fn = reinterpret_cast<int (*)(int)>(korvo::capsule::import_function(module, name, sig));
    if (fn == nullptr) return nullptr;
    const int value = PyLong_AsInt(args[3]);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(fn(value));
}

PyMethodDef testext_methods[] = {
    {"throw", testext_throw, METH_O, nullptr},
    korvo::method_fastcall("parse", testext_parse),
    {"to_size", testext_to_size, METH_O, nullptr},
    {"to_int32", testext_to_int32, METH_O, nullptr},
    {"to_bool", testext_to_bool, METH_O, nullptr},
    {"check_str", testext_check_str, METH_O, nullptr},
    korvo::method_positional("unraisable", testext_unraisable),
    korvo::method_positional("call_table", testext_call_table),
    korvo::method_positional("call_capi", testext_call_capi),
    {nullptr, nullptr, 0, nullptr},
};

int testext_exec(PyObject* module) {
    return korvo::guard(-1, [&] {
        korvo::begin_exec(g_guard);
        korvo::check(PyModule_AddFunctions(module, testext_methods));
        g_table_type = korvo::add_type(module, &table_spec);
        korvo::publish_vtable(g_table_type, &g_table_vtable);
        korvo::publish_function(module, "twice", reinterpret_cast<void*>(twice), "int (int)");
        korvo_testext::add_coroutine_functions(module);
        return 0;
    });
}

PyModuleDef_Slot testext_slots[] = {KORVO_MODULE_SLOTS(korvo::create_module, testext_exec)};
PyModuleDef testext_module = {PyModuleDef_HEAD_INIT,
                              "korvo_testext",
                              nullptr,
                              0,
                              nullptr,
                              testext_slots,
                              nullptr,
                              nullptr,
                              korvo_testext::release_coroutine_spares};

}  // namespace

PyMODINIT_FUNC PyInit_korvo_testext() { return PyModuleDef_Init(&testext_module); }
