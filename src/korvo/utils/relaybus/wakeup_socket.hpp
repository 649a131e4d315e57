// The platform layer of the bridge: the wake-up channel's sockets and the process id, the only
// place that knows the platform's API. A port to another platform changes this file and
// wakeup_socket.cpp, nothing else.
#pragma once

#include "korvo/platform_socket.hpp"

namespace korvo::relaybus {

// This process's id: a consumer state made in another process was inherited through fork.
long current_process_id() noexcept;

}  // namespace korvo::relaybus

namespace korvo::relaybus::wakeup {

// Sends the one-byte wake-up datagram (value 1) from `handle` to `target`; the result is ignored.
// Any thread, no interpreter lock.
void send(platform_socket handle, const ipv4_address& target) noexcept;

// Waits in a one-byte receive on `handle`; any datagram or error ends the wait.
// No interpreter lock.
void receive(platform_socket handle) noexcept;

// A second handle on the same socket, owned by the native side; k_no_socket on failure (errno
// set; on Windows the thread's last socket error, WSAGetLastError). It keeps the socket open
// after Python's socket object is closed.
platform_socket duplicate(platform_socket handle) noexcept;
void close(platform_socket handle) noexcept;

// Fills `out` with AF_INET, `port` in network order and the dotted IPv4 `host` (a failed parse
// leaves the address zero, as the bind already proved it valid).
void fill_address(ipv4_address& out, const char* host, unsigned short port) noexcept;

}  // namespace korvo::relaybus::wakeup
