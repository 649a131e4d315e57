// Extension types described once: flags, method-table entries, and the GC and lifetime slots
// generated from a description of the fields an instance owns.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "attr.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace korvo {

// Type flags. Every korvo type may be subclassed from Python. A type is immutable when its
// class attributes are part of a configuration API other code reads by name (the logging
// types); the bridge and queue types stay mutable, as they always were, so existing code
// that patches their class attributes keeps working. A type that owns references adds GC.
inline constexpr unsigned long k_type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
inline constexpr unsigned long k_gc_type_flags = k_type_flags | Py_TPFLAGS_HAVE_GC;
inline constexpr unsigned long k_immutable_type_flags = k_type_flags | Py_TPFLAGS_IMMUTABLETYPE;
inline constexpr unsigned long k_immutable_gc_type_flags = k_immutable_type_flags | Py_TPFLAGS_HAVE_GC;

// Method-table entries; the one cast the table needs lives here, not at each entry.
using fastcall_method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using positional_fastcall_method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using varargs_method = PyObject* (*)(PyObject*, PyObject*, PyObject*);
using unary_method = PyObject* (*)(PyObject*, PyObject*);

// A function of another calling convention as the PyCFunction a table entry stores; the flags
// stored beside it tell the interpreter its real signature.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline PyMethodDef method_fastcall(const char* name, fastcall_method fn, const char* doc = nullptr) noexcept {
    return {name, as_cfunction(fn), METH_FASTCALL | METH_KEYWORDS, doc};
}
// Positional arguments only, as a vector.
inline PyMethodDef method_positional(const char* name, positional_fastcall_method fn,
                                     const char* doc = nullptr) noexcept {
    return {name, as_cfunction(fn), METH_FASTCALL, doc};
}
// An argument tuple and a keyword dict (or null).
inline PyMethodDef method_varargs(const char* name, varargs_method fn, const char* doc = nullptr) noexcept {
    return {name, as_cfunction(fn), METH_VARARGS | METH_KEYWORDS, doc};
}
inline PyMethodDef method_noargs(const char* name, unary_method fn, const char* doc = nullptr) noexcept {
    return {name, fn, METH_NOARGS, doc};
}
inline PyMethodDef method_o(const char* name, unary_method fn, const char* doc = nullptr) noexcept {
    return {name, fn, METH_O, doc};
}
inline constexpr PyMethodDef k_methods_end{nullptr, nullptr, 0, nullptr};

// A method table: `entries` followed by the terminator.
template <std::size_t N>
std::array<PyMethodDef, N + 1> method_table(const std::array<PyMethodDef, N>& entries) noexcept {
    std::array<PyMethodDef, N + 1> table{};
    for (std::size_t i = 0; i < N; ++i) table[i] = entries[i];
    table[N] = k_methods_end;
    return table;
}

// Type-slot entries, likewise without a cast at each entry.
template <class Fn>
PyType_Slot slot(int id, Fn* fn) noexcept {
    return {id, reinterpret_cast<void*>(fn)};
}
inline PyType_Slot doc_slot(const char* doc) noexcept { return {Py_tp_doc, const_cast<char*>(doc)}; }

// A heap type's spec; `slots` must outlive the type (static storage).
inline PyType_Spec type_spec(const char* name, std::size_t basicsize, unsigned long flags,
                             PyType_Slot* slots) noexcept {
    return {name, static_cast<int>(basicsize), 0, static_cast<unsigned int>(flags), slots};
}

// The slots of a type whose instance layout is T, generated from its description Desc:
//   template <class F> static void fields(T& self, F&& f);  // optional: f(member) per owned
//                                                            // PyObject*; a type with fields has GC
//   static void teardown(T& self) noexcept;                  // optional: non-Python members,
//                                                            // run before the fields go
//   static void finalize(PyObject* self);                    // optional: tp_finalize
//   template <class F> static void objects(T& self, F&& f); // optional: f(member) per owned
//                                                            // `object` member, empty until set
//                                                            // and after clear; with GC too
template <class T, class Desc>
struct type_slots {
    static constexpr bool has_fields = requires(T& t) { Desc::fields(t, [](PyObject*&) {}); };
    static constexpr bool has_objects = requires(T& t) { Desc::objects(t, [](object&) {}); };
    static constexpr bool has_gc = has_fields || has_objects;
    static constexpr bool finalizes = requires { &Desc::finalize; };

    static T* cast(PyObject* self) noexcept { return reinterpret_cast<T*>(self); }

    // A new instance of `type` (this layout's type or a subclass) with its native table set
    // and every owned member None; the other members are zero until the caller sets them.
    // Throws python_error.
    template <class Table>
    static object allocate(PyTypeObject* type, const Table* table) {
        object self = object::steal(check(type->tp_alloc(type, 0)));
        cast(self.ptr())->vtab = table;
        init_fields(self.ptr());
        return self;
    }

    template <class F>
    static void each_field(PyObject* self, F&& f) {
        if constexpr (has_fields) Desc::fields(*cast(self), f);
    }
    template <class F>
    static void each_object(PyObject* self, F&& f) {
        if constexpr (has_objects) Desc::objects(*cast(self), f);
    }

    // Every owned member starts as None.
    static void init_fields(PyObject* self) noexcept {
        each_field(self, [](PyObject*& m) { field_ref(m).steal(new_ref(Py_None)); });
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        int result = 0;
        each_field(self, [&](PyObject*& m) {
            if (result == 0 && m != nullptr) result = visit(m, arg);
        });
        each_object(self, [&](object& m) {
            if (result == 0 && m) result = visit(m.ptr(), arg);
        });
        return result;
    }

    // Members go back to None rather than null: native code reads them without checking.
    static int clear(PyObject* self) {
        each_field(self, [](PyObject*& m) { field_ref(m).reset_to_none(); });
        each_object(self, [](object& m) { m.reset(); });
        return 0;
    }

    // Untrack, tear down, clear, free, drop the type reference.
    static void dealloc(PyObject* self) {
        if constexpr (finalizes) {
            if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        }
        PyTypeObject* type = Py_TYPE(self);
        if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
        if constexpr (requires(T& t) { Desc::teardown(t); }) Desc::teardown(*cast(self));
        each_field(self, [](PyObject*& m) { field_ref(m).clear(); });
        each_object(self, [](object& m) { m.reset(); });
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The type's own slots followed by the generated ones (dealloc; traverse and clear with
    // fields or objects; tp_finalize = Desc::finalize when it finalizes) and the terminator.
    template <std::size_t N>
    static auto slots(const std::array<PyType_Slot, N>& own) noexcept {
        constexpr std::size_t generated = 1 + (has_gc ? 2 : 0) + (finalizes ? 1 : 0);
        std::array<PyType_Slot, N + generated + 1> all{};
        std::size_t i = 0;
        for (const PyType_Slot& s : own) all[i++] = s;
        all[i++] = slot(Py_tp_dealloc, dealloc);
        if constexpr (has_gc) {
            all[i++] = slot(Py_tp_traverse, traverse);
            all[i++] = slot(Py_tp_clear, clear);
        }
        if constexpr (finalizes) all[i++] = slot(Py_tp_finalize, Desc::finalize);
        all[i] = {0, nullptr};
        return all;
    }
};

// An instance layout as the object it is, for the C API.
template <class T>
PyObject* as_py(T* self) noexcept {
    return reinterpret_cast<PyObject*>(self);
}

// The bound method a Python subclass put in place of a native method, or an empty object when
// the native method `own` still applies. Native table entries call this before doing their own
// work so that a subclass's override runs whoever calls. The exact type costs no lookup at all;
// a null `exact` (the module is gone) always looks. `name` should be interned. Throws
// python_error.
inline object find_override(PyObject* self, PyTypeObject* exact, PyObject* name, PyCFunction own) {
    if (Py_IS_TYPE(self, exact)) return {};
    object found = object::steal(check(PyObject_GetAttr(self, name)));
    if (PyCFunction_Check(found.ptr()) && PyCFunction_GET_FUNCTION(found.ptr()) == own) return {};
    return found;
}
inline object find_override(PyObject* self, PyTypeObject* exact, PyObject* name, fastcall_method own) {
    return find_override(self, exact, name, as_cfunction(own));
}

// The name find_override looks up: the module's interned copy (`st->*name`) while the module is
// loaded (`st` not null), else made afresh, for an object finalized during the module's
// teardown. Throws python_error.
template <class State>
object override_name(State* st, object State::* name, const char* text) {
    if (st != nullptr) return st->*name;
    return interned(text);
}

}  // namespace korvo
