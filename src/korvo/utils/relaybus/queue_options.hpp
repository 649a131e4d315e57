// The queue options KoPipe and SyncDispatcher take, in the same order with the same defaults.
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
    std::size_t capacity = 16384;
    std::size_t slot_size = 2048;
    bool zerocopy = false;
    bool overwrite = false;
    bool block_on_full = false;
    bool variable_size = false;

    // The parameter names, in argument order.
    static constexpr std::array<const char*, 6> names{"capacity",  "slot_size",     "zerocopy",
                                                      "overwrite", "block_on_full", "variable_size"};

    // The options from the parsed arguments (null where not given), converted in argument
    // order. Throws python_error.
    static queue_options from(std::span<PyObject* const, names.size()> given);

    // SPSCQueue(slot_size=..., capacity=..., overwrite=..., zerocopy=..., block_on_full=...) by
    // keyword, sizes as ints and flags as bools. Throws python_error.
    object make_queue() const;

    // The options of an object built on `queue` (None before __init__: none), in argument
    // order, as its repr shows them. Throws python_error.
    static void add_repr_args(std::vector<repr_arg>& args, PyObject* queue, bool variable_size);
};

// `before`, the queue options, then `after`: a parameter list around the queue options.
template <std::size_t B, std::size_t A>
constexpr auto with_queue_options(std::array<const char*, B> before, std::array<const char*, A> after) {
    std::array<const char*, B + queue_options::names.size() + A> all{};
    std::size_t i = 0;
    for (const char* name : before) all[i++] = name;
    for (const char* name : queue_options::names) all[i++] = name;
    for (const char* name : after) all[i++] = name;
    return all;
}

}  // namespace korvo::relaybus
