// BSD sockets and Windows Sockets behind syslog_socket.hpp.
#include "syslog_socket.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace quillet::details::net {

namespace {

#if defined(_WIN32)
using native_socket = SOCKET;
constexpr std::intptr_t k_none = static_cast<std::intptr_t>(INVALID_SOCKET);
using pollfd_t = WSAPOLLFD;
int last_error() noexcept { return ::WSAGetLastError(); }
bool would_block(int e) noexcept { return e == WSAEWOULDBLOCK || e == WSAENOBUFS; }
bool in_progress(int e) noexcept { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool peer_gone(int e) noexcept {
    return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAENOTCONN || e == WSAESHUTDOWN || e == WSAECONNREFUSED;
}
int poll_sockets(pollfd_t* fds, unsigned long n, int ms) noexcept { return ::WSAPoll(fds, n, ms); }
void close_native(native_socket s) noexcept { ::closesocket(s); }
constexpr int k_send_flags = 0;

// Windows Sockets is started once, for the life of the process.
bool start_sockets() noexcept {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

bool set_nonblocking(native_socket s) noexcept {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

native_socket new_socket(int family, int type, int protocol) noexcept {
    if (!start_sockets()) return INVALID_SOCKET;
    // Not inherited by programs the process starts.
    return ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT | WSA_FLAG_OVERLAPPED);
}
#else
using native_socket = int;
constexpr std::intptr_t k_none = -1;
using pollfd_t = struct pollfd;
int last_error() noexcept { return errno; }
bool would_block(int e) noexcept { return e == EAGAIN || e == EWOULDBLOCK || e == ENOBUFS || e == EINTR; }
bool in_progress(int e) noexcept { return e == EINPROGRESS || e == EINTR; }
bool peer_gone(int e) noexcept {
    return e == EPIPE || e == ECONNRESET || e == ECONNREFUSED || e == ENOTCONN || e == ENOENT || e == ENOTSOCK ||
           e == ETIMEDOUT;
}
int poll_sockets(pollfd_t* fds, nfds_t n, int ms) noexcept { return ::poll(fds, n, ms); }
void close_native(native_socket s) noexcept { ::close(s); }
#if defined(MSG_NOSIGNAL)
constexpr int k_send_flags = MSG_NOSIGNAL;
#else
constexpr int k_send_flags = 0;
#endif

bool set_nonblocking(native_socket s) noexcept {
    const int flags = ::fcntl(s, F_GETFL);
    return flags != -1 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

native_socket new_socket(int family, int type, int protocol) noexcept {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}
#endif

native_socket as_native(std::intptr_t h) noexcept { return static_cast<native_socket>(h); }

struct address_list {
    addrinfo* first = nullptr;
    ~address_list() {
        if (first != nullptr) ::freeaddrinfo(first);
    }
};

// Resolves host:port for `type` sockets; the error text of the resolver on failure.
int resolve(const endpoint& to, int type, address_list& out) noexcept {
#if defined(_WIN32)
    if (!start_sockets()) return EAI_FAIL;
#endif
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string port = std::to_string(to.port);
    return ::getaddrinfo(to.host.c_str(), port.c_str(), &hints, &out.first);
}

int wait_for(std::intptr_t h, short events, std::chrono::milliseconds timeout) noexcept {
    pollfd_t p{};
    p.fd = as_native(h);
    p.events = events;
    const int n = poll_sockets(&p, 1, static_cast<int>(timeout.count()));
    return n > 0 ? p.revents : 0;
}

}  // namespace

struct syslog_socket::target {
    sockaddr_storage address{};
    socklen_t size = 0;
};

syslog_socket::syslog_socket() noexcept : handle_(k_none) {}

syslog_socket::~syslog_socket() { close(); }

syslog_socket::syslog_socket(syslog_socket&& other) noexcept
    : handle_(std::exchange(other.handle_, k_none)), to_(std::move(other.to_)) {}

syslog_socket& syslog_socket::operator=(syslog_socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, k_none);
        to_ = std::move(other.to_);
    }
    return *this;
}

syslog_socket syslog_socket::open_datagram(const endpoint& to) {
    auto t = std::make_unique<target>();
    int family = AF_UNSPEC;
    if (to.local) {
#if defined(_WIN32)
        throw std::invalid_argument("Unix datagram sockets do not exist on this system");
#else
        sockaddr_un un{};
        if (to.path.empty() || to.path.size() >= sizeof(un.sun_path))
            throw std::invalid_argument("syslog socket path must be 1 to " + std::to_string(sizeof(un.sun_path) - 1) +
                                        " bytes long");
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, to.path.data(), to.path.size());
        std::memcpy(&t->address, &un, sizeof(un));
        t->size = static_cast<socklen_t>(sizeof(un));
        family = AF_UNIX;
#endif
    } else {
        address_list found;
        if (const int err = resolve(to, SOCK_DGRAM, found); err != 0 || found.first == nullptr)
            throw std::invalid_argument("cannot resolve syslog host '" + to.host + "': " + gai_strerror(err));
        std::memcpy(&t->address, found.first->ai_addr, found.first->ai_addrlen);
        t->size = static_cast<socklen_t>(found.first->ai_addrlen);
        family = found.first->ai_family;
    }
    const native_socket s = new_socket(family, SOCK_DGRAM, 0);
    if (s == as_native(k_none)) throw std::system_error(last_error(), std::system_category(), "syslog socket");
    syslog_socket out;
    out.handle_ = static_cast<std::intptr_t>(s);
    if (!set_nonblocking(s)) throw std::system_error(last_error(), std::system_category(), "syslog socket");
    // A UDP socket is connected: the kernel looks the route up once, and a collector that is not
    // listening shows as refused sends (ICMP port unreachable) instead of silence. A Unix socket
    // stays unconnected, so that a daemon that restarts (a new socket at the path) is found.
    if (!to.local && ::connect(s, reinterpret_cast<const sockaddr*>(&t->address), t->size) == 0) return out;
    out.to_ = std::move(t);
    return out;
}

syslog_socket syslog_socket::connect_stream(const endpoint& to, std::chrono::milliseconds timeout) noexcept {
    address_list found;
    if (resolve(to, SOCK_STREAM, found) != 0) return {};
    for (const addrinfo* a = found.first; a != nullptr; a = a->ai_next) {
        const native_socket s = new_socket(a->ai_family, SOCK_STREAM, a->ai_protocol);
        if (s == as_native(k_none)) continue;
        syslog_socket out;
        out.handle_ = static_cast<std::intptr_t>(s);
        if (!set_nonblocking(s)) continue;
        if (::connect(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) != 0) {
            if (!in_progress(last_error())) continue;
            if ((wait_for(out.handle_, POLLOUT, timeout) & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
            int error = 0;
            socklen_t size = sizeof(error);
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0)
                continue;
        }
        return out;
    }
    return {};
}

send_result syslog_socket::send(const char* data, std::size_t size) noexcept {
    const native_socket s = as_native(handle_);
    for (;;) {
#if defined(_WIN32)
        const int length = static_cast<int>(size);
#else
        const std::size_t length = size;
#endif
        const auto n =
            to_ ? ::sendto(s, data, length, k_send_flags, reinterpret_cast<const sockaddr*>(&to_->address), to_->size)
                : ::send(s, data, length, k_send_flags);
        if (n >= 0) return {send_status::sent, static_cast<std::size_t>(n)};
        const int e = last_error();
#if !defined(_WIN32)
        if (e == EINTR) continue;
#endif
        if (would_block(e)) return {send_status::would_block, 0};
        if (peer_gone(e)) return {send_status::peer_gone, 0};
        // A datagram too large, or a socket in a state no retry mends: for a stream, a new
        // connection; for a datagram, the message is dropped.
        return {to_ ? send_status::refused : send_status::peer_gone, 0};
    }
}

bool syslog_socket::take_refusal() noexcept {
    if (handle_ == k_none) return false;
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(as_native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
        return false;
    return error != 0 && peer_gone(error);
}

bool syslog_socket::wait_writable(std::chrono::milliseconds timeout) noexcept {
    return (wait_for(handle_, POLLOUT, timeout) & POLLOUT) != 0;
}

bool syslog_socket::peer_closed() noexcept {
    char byte;
#if defined(_WIN32)
    const int n = ::recv(as_native(handle_), &byte, 1, MSG_PEEK);
    return n == 0 || (n < 0 && !would_block(last_error()));
#else
    const auto n = ::recv(handle_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && !would_block(errno));
#endif
}

bool syslog_socket::is_open() const noexcept { return handle_ != k_none; }

void syslog_socket::close() noexcept {
    if (handle_ != k_none) close_native(as_native(std::exchange(handle_, k_none)));
}

std::string host_name() {
#if defined(_WIN32)
    if (!start_sockets()) return {};
#endif
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

std::uint64_t process_id() noexcept {
#if defined(_WIN32)
    return ::GetCurrentProcessId();
#else
    return static_cast<std::uint64_t>(::getpid());
#endif
}

bool has_unix_datagram() noexcept {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

}  // namespace quillet::details::net
