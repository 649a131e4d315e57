// The queue options every bridge type takes, described once: each option is one descriptor
// (parameter name, default, converter); each type lists the options it takes in its own signature
// order, and parsing, queue construction and repr all read that list.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "common/ref.hpp"
#include "common/repr.hpp"

namespace korvo::relaybus {

struct queue_options {
    std::size_t capacity = 0;
    std::size_t slot_size = 0;
    bool zerocopy = false;
    bool overwrite = false;
    bool block_on_full = false;
    bool variable_size = false;

    // SPSCQueue(slot_size=..., capacity=..., overwrite=..., zerocopy=..., block_on_full=...) by
    // keyword, sizes as ints and flags as bools. Throws python_error.
    object make_queue() const;
};

// One option: a size (converted with to_size) or a flag (to_bool), stored into its member of
// queue_options. `on_queue`: the SPSCQueue has it as an attribute of the same name, which a repr
// shows.
struct queue_option {
    const char* name;
    std::size_t queue_options::* size = nullptr;
    bool queue_options::* flag = nullptr;
    std::size_t default_size = 0;
    bool on_queue = true;

    // The same option with another default size.
    constexpr queue_option with_default(std::size_t value) const {
        queue_option other = *this;
        other.default_size = value;
        return other;
    }
    // Stores the given value (null: the default) into `options`. Throws python_error.
    void apply(queue_options& options, PyObject* given) const;
};

inline constexpr queue_option k_capacity{"capacity", &queue_options::capacity, nullptr, 16384};
inline constexpr queue_option k_slot_size{"slot_size", &queue_options::slot_size, nullptr, 2048};
inline constexpr queue_option k_zerocopy{"zerocopy", nullptr, &queue_options::zerocopy};
inline constexpr queue_option k_overwrite{"overwrite", nullptr, &queue_options::overwrite};
inline constexpr queue_option k_block_on_full{"block_on_full", nullptr, &queue_options::block_on_full};
inline constexpr queue_option k_variable_size{"variable_size", nullptr, &queue_options::variable_size, 0, false};

// KoPipe's and SyncDispatcher's options, in their signature order.
inline constexpr std::array k_bridge_options{k_capacity,  k_slot_size,     k_zerocopy,
                                             k_overwrite, k_block_on_full, k_variable_size};

// The options from the parsed arguments (`given[i]` for `list[i]`, null where not given),
// converted in list order. Throws python_error.
queue_options parse_queue_options(std::span<const queue_option> list, std::span<PyObject* const> given);

// The repr arguments of the options in `list` that `queue` (an SPSCQueue) carries, in list
// order. Throws python_error.
void add_queue_repr_args(std::vector<repr_arg>& args, PyObject* queue, std::span<const queue_option> list);

inline constexpr std::array<const char*, 0> k_no_parameters{};

// A parameter list: `before`, the names of `list`, then `after`.
template <std::size_t B, std::size_t N, std::size_t A>
constexpr auto parameter_names(std::array<const char*, B> before, const std::array<queue_option, N>& list,
                               std::array<const char*, A> after) {
    std::array<const char*, B + N + A> all{};
    std::size_t i = 0;
    for (const char* name : before) all[i++] = name;
    for (const queue_option& option : list) all[i++] = option.name;
    for (const char* name : after) all[i++] = name;
    return all;
}
template <std::size_t N>
constexpr auto parameter_names(const std::array<queue_option, N>& list) {
    return parameter_names(k_no_parameters, list, k_no_parameters);
}

}  // namespace korvo::relaybus
