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
    if (f.kind == field_kind::text && value.ptr() != Py_None) needs_setstate = true;
    return value;
}

template <const auto& State>
void write_state_field(PyObject* self, std::size_t i, PyObject* value) {
    write_field(self, *State[i], value);
}

inline PyObject* pickling_module() { return state().module; }

// A class's pickling from its unpickling function, checksums, state fields (an array of
// field pointers with static storage) and type.
template <const auto& State, PyTypeObject* (*Type)()>
constexpr pickled_class pickled_fields(const char* unpickle_name, field_checksums sums) noexcept {
    return {unpickle_name,   sums, State.size(), read_state_field<State>, write_state_field<State>,
            pickling_module, Type};
}

}  // namespace korvo::quillet
