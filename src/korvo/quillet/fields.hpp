// Typed native fields of the configuration classes. One descriptor per field serves its
// attribute (get, set, delete), the constructors' stores and the pickled state.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/ref.hpp"
#include "common/critical_section.hpp"

namespace korvo::quillet {

// How a field is stored and converted:
// - boolean: bool; set from the truth value of any object.
// - text: object (null means None); set from an exact str or None.
// - level: std::int32_t, any number; read back as a Level member (ValueError outside 0..6).
// - size: std::uint64_t; set from a non-negative integer.
// - colour: std::int32_t.
// - value: object (null means None); set from None or anything the field's check accepts.
enum class field_kind : unsigned char { boolean, text, level, size, colour, value };

struct field {
    const char* name;
    const char* doc;
    field_kind kind;
    std::size_t offset;      // from the start of the object; a derived layout keeps its base's first
    bool file_path = false;  // a text naming a file: refuses an embedded NUL, as open() does
    // Raises (throws python_error) for a value the field refuses beyond its kind's own rules;
    // None is never checked. Runs before anything is stored.
    void (*check)(PyObject* value) = nullptr;
};

// The Python value of the field (a new reference). Throws python_error.
object read_field(PyObject* self, const field& f);
// The field's value as a repr shows it: a level outside the enumeration as its number. Throws
// python_error.
object repr_value(PyObject* self, const field& f);
// Converts `value` (not null) by the field's rules and stores it; nothing changes on failure.
// Throws python_error.
void write_field(PyObject* self, const field& f, PyObject* value);

// ValueError "embedded null byte" for a file-path field given a str holding NUL: the file
// would otherwise be made under the name cut at the NUL. Throws python_error.
void check_path(const field& f, PyObject* value);

// The stored value of a field of type T.
template <class T>
T& field_slot(PyObject* self, const field& f) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + f.offset);
}

// A number or flag of a field read and written whole while other threads may do the same: inside
// the object's critical section (fields.cpp), where every field of these classes is touched.
template <class T>
T load_slot(PyObject* self, const field& f) noexcept {
    const critical_section lock(self);
    return field_slot<T>(self, f);
}
template <class T>
void store_slot(PyObject* self, const field& f, T value) noexcept {
    const critical_section lock(self);
    field_slot<T>(self, f) = value;
}

// The stored reference of a text field (empty for None).
inline object& text_slot(PyObject* self, const field& f) noexcept { return field_slot<object>(self, f); }

// The attribute of a field: get, set, and delete (text fields store None, others refuse with
// NotImplementedError "__del__").
PyGetSetDef field_getset(const field& f) noexcept;

}  // namespace korvo::quillet
