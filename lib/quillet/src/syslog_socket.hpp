// The sockets of the syslog sink: BSD sockets on POSIX, Windows Sockets on Windows. The only
// file of the sink that names either.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

namespace quillet::details::net {

// How one non-blocking send ended.
enum class send_status {
    sent,         // `sent` octets are in the kernel (all of them for a datagram)
    would_block,  // the kernel has no room now: try again when writable
    peer_gone,    // no collector (closed, reset, refused, missing socket): connect again
    refused,      // this message can never be sent (too large): drop it
};

struct send_result {
    send_status status = send_status::sent;
    std::size_t sent = 0;
};

// Where a syslog socket sends: resolved once (datagrams) or at each connect (TCP).
struct endpoint {
    bool stream = false;  // TCP
    bool local = false;   // a Unix datagram socket
    std::string host;
    std::uint16_t port = 0;
    std::string path;
};

// One socket, non-blocking. One owner; not thread-safe. Nothing here raises SIGPIPE.
class syslog_socket {
public:
    syslog_socket() noexcept;
    ~syslog_socket();
    syslog_socket(syslog_socket&& other) noexcept;
    syslog_socket& operator=(syslog_socket&& other) noexcept;
    syslog_socket(const syslog_socket&) = delete;
    syslog_socket& operator=(const syslog_socket&) = delete;

    // Opens a datagram socket towards `to` (UDP: the host is resolved now). Throws
    // std::invalid_argument for a host that does not resolve or a path too long, and
    // std::system_error when no socket can be made.
    static syslog_socket open_datagram(const endpoint& to);
    // Connects to a TCP collector within `timeout`; an empty socket when it cannot.
    static syslog_socket connect_stream(const endpoint& to, std::chrono::milliseconds timeout) noexcept;

    send_result send(const char* data, std::size_t size) noexcept;
    // Waits up to `timeout` until the socket can take more; false on timeout.
    bool wait_writable(std::chrono::milliseconds timeout) noexcept;
    // Takes the socket's pending error: true when it says the collector refused or went away (a
    // datagram's ICMP port unreachable, reported after the send it answers).
    bool take_refusal() noexcept;
    // A TCP collector never writes back: anything readable means it closed or reset.
    bool peer_closed() noexcept;
    bool is_open() const noexcept;
    void close() noexcept;

private:
    struct target;  // a datagram socket's resolved address
    std::intptr_t handle_;
    std::unique_ptr<target> to_;
};

// This machine's host name; empty when it cannot be read.
std::string host_name();
// This process's id.
std::uint64_t process_id() noexcept;
// Whether Unix datagram sockets exist here.
bool has_unix_datagram() noexcept;

}  // namespace quillet::details::net
