// The logging classes' pickled state: their members are their fields (fields.hpp), and a set
// text field is restored by __setstate__.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/pickled_state.hpp"
#include "fields.hpp"
#include "state.hpp"

namespace korvo::quillet {

template <const auto& State>
object read_state_field(PyObject* self, std::size_t i, bool& needs_setstate) {
    const field& f = *State[i];
    object value = read_field(self, f);
    if ((f.kind == field_kind::text || f.kind == field_kind::value) && value.ptr() != Py_None) needs_setstate = true;
    return value;
}

template <const auto& State>
void write_state_field(PyObject* self, std::size_t i, PyObject* value) {
    write_field(self, *State[i], value);
}

// An extra member is at its default when false (or 0).
template <const auto& Extra>
object read_extra_field(PyObject* self, std::size_t i, bool& differs) {
    object value = read_field(self, *Extra[i]);
    if (check(PyObject_IsTrue(value.ptr())) == 1) differs = true;
    return value;
}

inline PyObject* pickling_module() { return state().module; }

// A class's pickling from its unpickling function, checksums, state fields (an array of
// field pointers with static storage) and type.
template <const auto& State, PyTypeObject* (*Type)()>
constexpr pickled_class pickled_fields(const char* unpickle_name, field_checksums sums) noexcept {
    return {unpickle_name,   sums, State.size(), read_state_field<State>, write_state_field<State>,
            pickling_module, Type};
}

// The same with extra members (pickled_class::extra_count), each false by default.
template <const auto& State, const auto& Extra, PyTypeObject* (*Type)()>
constexpr pickled_class pickled_fields_and_extras(const char* unpickle_name, field_checksums sums) noexcept {
    pickled_class cls = pickled_fields<State, Type>(unpickle_name, sums);
    cls.extra_count = Extra.size();
    cls.read_extra = read_extra_field<Extra>;
    cls.write_extra = write_state_field<Extra>;
    return cls;
}

}  // namespace korvo::quillet
