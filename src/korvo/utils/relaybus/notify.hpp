// The notifying pushes shared by both dispatchers: a queue push that asks for a wake-up, then
// one datagram to the dispatcher's own socket. No interpreter lock, no allocation.
#pragma once

#include <atomic>

#include "korvo/relaybus.hpp"
#include "state.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {

// The wake-up handle is written by setup/close (lock held) while producers read it without the
// lock: every access goes through these. The address is written before the handle is published.
inline platform_socket load_wakeup_handle(dispatcher_prefix* self) noexcept {
    return std::atomic_ref<platform_socket>(self->_sock_fd).load(std::memory_order_acquire);
}
inline void store_wakeup_handle(dispatcher_prefix* self, platform_socket handle) noexcept {
    std::atomic_ref<platform_socket>(self->_sock_fd).store(handle, std::memory_order_release);
}

inline void send_wakeup(dispatcher_prefix* self) noexcept {
    const platform_socket handle = load_wakeup_handle(self);
    if (handle != k_no_socket) wakeup::send(handle, self->_addr);
}

template <int (*spsc_queue::queue_vtable::*Push)(spsc_queue::queue_object*, const char*, std::size_t)>
inline int push_and_notify(dispatcher_prefix* self, const char* data, std::size_t size) noexcept {
    const int result = (queue_ops().*Push)(as_queue(self->_q), data, size);
    if (result >= spsc_queue::k_wake) send_wakeup(self);
    return result;
}

inline int push_notify(dispatcher_prefix* self, const char* data, std::size_t size) noexcept {
    return push_and_notify<&spsc_queue::queue_vtable::push_wake>(self, data, size);
}
inline int push_var_notify(dispatcher_prefix* self, const char* data, std::size_t size) noexcept {
    return push_and_notify<&spsc_queue::queue_vtable::push_var_wake>(self, data, size);
}

}  // namespace korvo::relaybus
