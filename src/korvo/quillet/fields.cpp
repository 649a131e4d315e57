// Reading, writing and deleting the configuration classes' fields.
#include "fields.hpp"

#include <utility>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "levels.hpp"
#include "common/critical_section.hpp"

namespace korvo::quillet {

namespace {

PyObject* field_get(PyObject* self, void* closure) {
    return guard(nullptr, [&] { return read_field(self, *static_cast<const field*>(closure)).release(); });
}

int field_set(PyObject* self, PyObject* value, void* closure) {
    return guard(-1, [&] {
        const field& f = *static_cast<const field*>(closure);
        if (value != nullptr) {
            write_field(self, f, value);
        } else if (f.kind == field_kind::text || f.kind == field_kind::value) {
            object old;  // dropped after the lock: its finaliser may run Python code
            {
                const critical_section lock(self);
                old = std::move(text_slot(self, f));
            }
        } else {
            PyErr_SetString(PyExc_NotImplementedError, "__del__");
            throw python_error{};
        }
        return 0;
    });
}

}  // namespace

// Every field is read and written inside its object's critical section, so that a thread
// setting an attribute while another reads it (a Logger being built from the handler) never
// sees half a value nor a text being dropped. Conversions run outside it: they may call Python.
object read_field(PyObject* self, const field& f) {
    switch (f.kind) {
        case field_kind::boolean: {
            const critical_section lock(self);
            return object::borrow(field_slot<bool>(self, f) ? Py_True : Py_False);
        }
        case field_kind::text:
        case field_kind::value: {
            const critical_section lock(self);
            const object& text = text_slot(self, f);
            return object::borrow(text ? text.ptr() : Py_None);
        }
        case field_kind::level:
            return level_object(load_slot<std::int32_t>(self, f));
        case field_kind::size:
            return object::steal(check(PyLong_FromUnsignedLongLong(load_slot<std::uint64_t>(self, f))));
        case field_kind::colour:
            return object::steal(check(PyLong_FromLong(load_slot<std::int32_t>(self, f))));
    }
    PyErr_BadInternalCall();
    throw python_error{};
}

object repr_value(PyObject* self, const field& f) {
    if (f.kind != field_kind::level) return read_field(self, f);
    const std::int32_t n = load_slot<std::int32_t>(self, f);  // read once: another thread may set it
    if (!is_level(n)) return object::steal(check(PyLong_FromLong(n)));
    return level_object(n);
}

void check_path(const field& f, PyObject* value) {
    if (!f.file_path || !PyUnicode_Check(value)) return;
    const Py_ssize_t nul = PyUnicode_FindChar(value, 0, 0, PyUnicode_GET_LENGTH(value), 1);
    if (nul == -2) throw python_error{};
    if (nul >= 0) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw python_error{};
    }
}

void write_field(PyObject* self, const field& f, PyObject* value) {
    if (f.check != nullptr && value != Py_None) {
        if (f.kind == field_kind::text && !PyUnicode_CheckExact(value)) raise_expected("str", value);
        f.check(value);
    }
    switch (f.kind) {
        case field_kind::boolean:
            store_slot<bool>(self, f, to_bool(value));
            return;
        case field_kind::text:
        case field_kind::value: {
            if (f.kind == field_kind::text && value != Py_None && !PyUnicode_CheckExact(value))
                raise_expected("str", value);
            check_path(f, value);
            object old = value == Py_None ? object() : object::borrow(value);
            {
                const critical_section lock(self);
                std::swap(old, text_slot(self, f));
            }
            return;  // the replaced value is dropped here, after the lock
        }
        case field_kind::level:
            store_slot<std::int32_t>(self, f, level_number(value));
            return;
        case field_kind::size:
            store_slot<std::uint64_t>(self, f, to_size(value));
            return;
        case field_kind::colour:
            store_slot<std::int32_t>(self, f, to_int32(value));
            return;
    }
}

PyGetSetDef field_getset(const field& f) noexcept {
    return {f.name, field_get, field_set, f.doc, const_cast<field*>(&f)};
}

}  // namespace korvo::quillet
