// The bridge's platform calls: the wake-up channel's sockets and the process id.
#include "wakeup_socket.hpp"

#include <cstddef>
#include <cstring>

#if defined(_WIN32)
#include <process.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace korvo::relaybus {

long current_process_id() noexcept {
#if defined(_WIN32)
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

}  // namespace korvo::relaybus

namespace korvo::relaybus::wakeup {

static_assert(sizeof(ipv4_address) == sizeof(sockaddr_in));
static_assert(offsetof(ipv4_address, port) == offsetof(sockaddr_in, sin_port));
static_assert(offsetof(ipv4_address, address) == offsetof(sockaddr_in, sin_addr));

void send(platform_socket handle, const ipv4_address& target) noexcept {
    static const char k_wake_byte = 1;
    sockaddr_in to;
    std::memcpy(&to, &target, sizeof to);
    (void)::sendto(handle, &k_wake_byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void receive(platform_socket handle) noexcept {
    char byte;
    (void)::recvfrom(handle, &byte, 1, 0, nullptr, nullptr);
}

platform_socket duplicate(platform_socket handle) noexcept {
#if defined(_WIN32)
    WSAPROTOCOL_INFOW info;
    if (WSADuplicateSocketW(handle, GetCurrentProcessId(), &info) != 0) return k_no_socket;
    return WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, WSA_FLAG_OVERLAPPED);
#else
    return ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
#endif
}

void close(platform_socket handle) noexcept {
    if (handle == k_no_socket) return;
#if defined(_WIN32)
    ::closesocket(handle);
#else
    ::close(handle);
#endif
}

void fill_address(ipv4_address& out, const char* host, unsigned short port) noexcept {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    (void)::inet_pton(AF_INET, host, &addr.sin_addr);
    std::memcpy(&out, &addr, sizeof out);
}

}  // namespace korvo::relaybus::wakeup
