// The consumer thread of a SyncDispatcher and its four loops.
//
// The consumer thread never touches the dispatcher object: it runs a consumer_job that owns
// references to the queue and the callback and shares the consumer_state (running flag, the
// native duplicates of the wake-up socket) with the dispatcher. So a detached consumer may
// outlive close() and the dispatcher itself without reading freed memory, and a push racing
// with close() can only ever send on a handle that is still open: duplicates are closed when
// the last of dispatcher and thread lets go of the state.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "common/ref.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {

struct consumer_state {
    std::atomic<bool> running{true};
    std::atomic<bool> thread_alive{false};
    std::vector<platform_socket> handles;  // every duplicate made by setup (lock held)

    ~consumer_state() {
        for (platform_socket handle : handles) wakeup::close(handle);
    }
};
using state_ptr = std::shared_ptr<consumer_state>;

enum class loop_kind { try_pop, try_pop_var, pop, pop_var };

// The qualified name a loop's failures are reported under.
const char* loop_context(loop_kind kind) noexcept;

// Everything one run of a consumer loop uses; built with the interpreter lock held.
struct consumer_job {
    object queue;
    object callback;
    state_ptr state;
    platform_socket wakeup_handle = k_no_socket;
    loop_kind kind = loop_kind::try_pop;
};

// Runs one consumer loop on the calling native thread (which holds no Python thread state)
// until the state stops running or a callback raises.
void run_consumer(consumer_job job);

}  // namespace korvo::relaybus
