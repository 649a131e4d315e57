// The socket types the dispatchers store, free of the interpreter's headers, so that the
// platform layer of the wake-up channel builds and is tested without Python.
#pragma once

#include <cstdint>

namespace korvo::relaybus {

// The platform's socket handle as the dispatchers store it; all bits set means none.
#if defined(_WIN32)
using platform_socket = std::uintptr_t;  // SOCKET
#else
using platform_socket = int;
#endif
inline constexpr platform_socket k_no_socket = static_cast<platform_socket>(-1);

// IPv4 socket address record, laid out as the platform's sockaddr_in (16 bytes).
struct ipv4_address {
    std::uint16_t family;
    std::uint16_t port;     // network byte order
    std::uint32_t address;  // network byte order
    unsigned char zero[8];
};
static_assert(sizeof(ipv4_address) == 16);

}  // namespace korvo::relaybus
