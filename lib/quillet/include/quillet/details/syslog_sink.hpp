// quillet::details::syslog_sink: RFC 5424 syslog over UDP, TCP (RFC 6587 octet counting) or a
// Unix datagram socket, for a local daemon or a remote collector.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/details/log_msg.h>
#include <spdlog/fmt/fmt.h>
#include <spdlog/sinks/sink.h>

#include "quillet/details/export.hpp"
#include "quillet/record_fields.hpp"

namespace quillet::details {

enum class syslog_transport { udp, tcp, unix_datagram };

// The transport named "udp", "tcp" or "unix"; std::invalid_argument for another name, and for
// "unix" where the system has no Unix datagram sockets (Windows).
QUILLET_API syslog_transport syslog_transport_named(std::string_view name);
// The facility code of a syslog facility name: kern 0, user 1, mail 2, daemon 3, auth 4,
// syslog 5, lpr 6, news 7, uucp 8, cron 9, authpriv 10, ftp 11, local0..local7 16..23;
// std::invalid_argument for another name.
QUILLET_API int syslog_facility_named(std::string_view name);

// The SD-IDs of what a record carries besides its message (32473 is the enterprise number RFC
// 5612 reserves for documentation): the origin of the record, and its fields.
inline constexpr std::string_view syslog_origin_sd_id = "quillet@32473";
inline constexpr std::string_view syslog_fields_sd_id = "fields@32473";

struct syslog_options {
    syslog_transport transport = syslog_transport::udp;
    std::string host = "127.0.0.1";  // udp and tcp: a name or an address (IPv4 or IPv6)
    std::uint16_t port = 514;
    std::string path;                     // unix: the socket's path ("/dev/log")
    int facility = 1;                     // user
    std::string app_name;                 // empty: "-"
    std::string hostname;                 // empty: the system's host name
    std::size_t queue_size = 10000;       // records waiting for the sender at most
    std::size_t max_message_size = 8192;  // octets of one message (rsyslog's default limit)
};

// What goes into one message besides the record itself.
struct syslog_header {
    int facility = 1;
    std::string_view hostname;
    std::string_view app_name;
    std::uint64_t pid = 0;
};

// Appends the RFC 5424 message of `msg` with `fields` to `out`, at most `max_size` octets (at
// least 2048):
//   <PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID [quillet@32473 ...][fields@32473 ...] MSG
// TIMESTAMP is local time with its offset and microseconds; MSGID is the logger name; the origin
// element holds logger, file, line, function and thread; the fields element is left out when
// there are none. Header fields keep printable ASCII only ('_' for anything else) within their
// lengths; PARAM-NAMEs likewise, '=', ']' and '"' too, cut at 32 octets; values escape '"', '\'
// and ']'. Invalid UTF-8 becomes U+FFFD. MSG carries no BOM. A message that would exceed
// max_size loses its fields element if it must, then the end of MSG (at a character boundary),
// and its origin element says truncated="<octets it had>".
QUILLET_API void format_syslog_message(fmt::memory_buffer& out, const syslog_header& header,
                                       const spdlog::details::log_msg& msg, record_fields fields, std::size_t max_size);

// Counts of a sink since it was made.
struct syslog_counts {
    std::uint64_t dropped = 0;  // records lost: queue full, or refused for good by the socket
    std::uint64_t queued = 0;   // records waiting for the sender now
};

// Sends each record as one RFC 5424 message (format_syslog_message) with the record's fields
// (current_record_fields()).
//
// Where a record is when log() returns: handed to the kernel (sent) when nothing is waiting and
// the socket takes it at once, else in the sink's queue, which its sender thread empties in
// order. log() itself never waits for the network. A datagram the kernel has taken may still be lost
// on the way (UDP has no acknowledgement); a TCP stream's bytes may be lost when the collector
// goes away before reading what the kernel had sent.
//
// The collector away: a TCP connection that is closed, refused or broken, a UDP send refused
// (ICMP port unreachable on its connected socket), or a Unix socket that is missing or refuses,
// leaves records in the queue; the sender tries again at once, then after 50 ms, doubling up to
// 2 s, and sends them once the collector takes them. When the queue holds queue_size records,
// each further record is dropped and counted; once the queue has room again one message (MSGID
// "dropped", severity warning, field dropped=<n>) says how many, in the place of the dropped ones.
//
// flush() waits until every queued record is in the kernel, at most flush_timeout, and returns
// at once while the collector is unreachable (the sender's last try failed; the records stay
// queued). A logger flushes after each record at warn or above, so such a log() waits likewise.
//
// The sender thread starts with the first queued record and is joined when the sink goes, after
// at most flush_timeout spent sending what is left (none while the collector is unreachable);
// records still queued then are reported on standard error. A forked child sends nothing its
// parent queued, makes its own TCP connection and starts its own thread when it needs one.
class QUILLET_API syslog_sink final : public spdlog::sinks::sink {
public:
    static constexpr std::chrono::milliseconds flush_timeout{2000};

    // Throws std::invalid_argument for a bad option or an unknown UDP host, std::system_error
    // when no socket can be made.
    explicit syslog_sink(syslog_options options);
    ~syslog_sink() override;
    syslog_sink(const syslog_sink&) = delete;
    syslog_sink& operator=(const syslog_sink&) = delete;

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    // Records are formatted by RFC 5424 alone: patterns and formatters are ignored.
    void set_pattern(const std::string& pattern) override;
    void set_formatter(std::unique_ptr<spdlog::formatter> sink_formatter) override;

    const syslog_options& options() const noexcept;
    syslog_counts counts() const noexcept;

    struct state;

private:
    std::unique_ptr<state> state_;
};

}  // namespace quillet::details
