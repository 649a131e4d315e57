// The configuration classes' __init__: parameters described by their fields, their
// conversion in a fixed order, and the stores.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/args.hpp"
#include "common/ref.hpp"
#include "fields.hpp"
#include "state.hpp"

namespace korvo::quillet {

// The defaults of a text parameter.
constexpr std::int64_t k_no_default = 0;       // a required argument
constexpr std::int64_t k_default_pattern = 1;  // the default handler pattern

// One __init__ parameter: the field it is named and converted like, its default, and whether
// this class's __init__ stores it itself (the others go on to the base's __init__).
struct init_param {
    const field* f;
    std::int64_t fallback;
    bool stored = false;
};

constexpr std::size_t k_max_params = 7;

// One call's arguments after conversion, by parameter position.
struct init_values {
    std::array<std::int64_t, k_max_params> number{};
    std::array<PyObject*, k_max_params> text{};  // borrowed: an exact str or None

    bool flag(std::size_t i) const noexcept { return number[i] != 0; }
    std::int32_t level(std::size_t i) const noexcept { return static_cast<std::int32_t>(number[i]); }
};

// A number or flag argument converted by its field's rules. Throws python_error.
std::int64_t convert_number(const field& f, PyObject* value);
// A text argument (its default applied) checked: an exact str or None. Borrowed. Throws
// python_error.
PyObject* text_param(const init_param& p, PyObject* value);

// Parses an __init__ call. Numbers and flags are converted first, in parameter order, then the
// texts are checked; the required parameters are the texts without a default, which lead.
template <std::size_t N>
init_values parse_init(const std::array<init_param, N>& params, PyObject* args, PyObject* kwargs) {
    static_assert(N <= k_max_params);
    std::array<const char*, N> names{};
    std::size_t required = 0;
    for (std::size_t i = 0; i < N; ++i) {
        names[i] = params[i].f->name;
        if (params[i].f->kind == field_kind::text && params[i].fallback == k_no_default) ++required;
    }
    std::array<PyObject*, N> v{};
    parse_tuple_args("__init__", args, kwargs, names, required, v);
    init_values out;
    for (std::size_t i = 0; i < N; ++i) {
        const init_param& p = params[i];
        if (p.f->kind != field_kind::text) out.number[i] = v[i] != nullptr ? convert_number(*p.f, v[i]) : p.fallback;
    }
    for (std::size_t i = 0; i < N; ++i)
        if (params[i].f->kind == field_kind::text) out.text[i] = text_param(params[i], v[i]);
    return out;
}

// Stores argument i in field f; conversion is done, so nothing fails here.
void store(PyObject* self, const field& f, const init_values& a, std::size_t i) noexcept;

// super(own, self).__init__(*args): the next __init__ after `own` in the instance's MRO. Throws
// python_error.
void init_base(config_class own, PyObject* self, std::initializer_list<PyObject*> args);

}  // namespace korvo::quillet
