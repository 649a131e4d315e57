// The RFC 5424 formatter of the syslog sink: PRI, header fields, structured data escaping,
// invalid UTF-8 and truncation; and the sink over a local UDP socket.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <spdlog/spdlog.h>

#include "quillet/details/syslog_sink.hpp"
#include "quillet/quillet.hpp"
#include "quillet/record_fields.hpp"

namespace {

namespace lv = spdlog::level;
namespace qd = quillet::details;
using quillet::field_value;
using quillet::record_field;

constexpr std::size_t k_max = 2048;

std::string format(const spdlog::details::log_msg& msg, quillet::record_fields fields = {}, std::size_t max = k_max,
                   qd::syslog_header header = {1, "host", "app", 42}) {
    fmt::memory_buffer out;
    qd::format_syslog_message(out, header, msg, fields, max);
    return std::string(out.data(), out.size());
}

spdlog::details::log_msg record(lv::level_enum lvl, std::string_view text, std::string_view name = "svc") {
    static const spdlog::source_loc site{"main.py", 12, "login"};
    return spdlog::details::log_msg(site, spdlog::string_view_t(name.data(), name.size()), lvl,
                                    spdlog::string_view_t(text.data(), text.size()));
}

// What follows the header: the structured data and the message.
std::string after_header(const std::string& message) {
    std::size_t at = 0;
    for (int spaces = 0; spaces < 6; ++spaces) at = message.find(' ', at) + 1;
    return message.substr(at);
}

TEST(QuilletSyslogFormat, PriorityFromFacilityAndLevel) {
    const std::array<std::pair<lv::level_enum, int>, 6> severities{
        {{lv::trace, 7}, {lv::debug, 7}, {lv::info, 6}, {lv::warn, 4}, {lv::err, 3}, {lv::critical, 2}}};
    for (const auto& [lvl, severity] : severities) {
        for (int facility : {0, 1, 16, 23}) {
            const std::string m = format(record(lvl, "x"), {}, k_max, {facility, "h", "a", 1});
            EXPECT_EQ(m.substr(0, m.find('>') + 1), "<" + std::to_string(facility * 8 + severity) + ">");
        }
    }
}

TEST(QuilletSyslogFormat, HeaderAndOrigin) {
    const std::string m = format(record(lv::info, "hello"));
    const std::regex shape(R"(<14>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d host app 42 svc )"
                           R"(\[quillet@32473 logger="svc" file="main\.py" line="12" function="login" thread="\d+"\] )"
                           R"(hello)");
    EXPECT_TRUE(std::regex_match(m, shape)) << m;
}

TEST(QuilletSyslogFormat, HeaderFieldsKeepPrintableAsciiWithinTheirLengths) {
    const std::string name(40, 'n');
    const std::string m = format(record(lv::info, "x", "a b\xC3\xA9" + name), {}, k_max, {1, "", "my app", 7});
    EXPECT_NE(m.find(" - my_app 7 a_b_" + name.substr(0, 28) + " [quillet@32473 logger=\"a b\xC3\xA9"),
              std::string::npos)
        << m;
}

TEST(QuilletSyslogFormat, ParamValuesEscapedAndNamesSanitized) {
    static const std::string long_key(40, 'k');
    const std::array<record_field, 6> fields{{
        {"user", field_value::of_int(42)},
        {"quote\"s] =x", field_value::of_text("a\"b\\c]d\ne")},
        {"ok", field_value::of_bool(true)},
        {"none", {}},
        {"ratio", field_value::of_real(0.5)},
        {long_key, field_value::of_text("\xFF\xC3")},
    }};
    const std::string m = after_header(format(record(lv::info, "msg"), fields));
    const std::string expected =
        "[fields@32473 user=\"42\" quote_s___x=\"a\\\"b\\\\c\\]d\ne\" ok=\"true\" none=\"null\" "
        "ratio=\"0.5\" " +
        std::string(32, 'k') + "=\"\xEF\xBF\xBD\xEF\xBF\xBD\"] msg";
    EXPECT_NE(m.find(expected), std::string::npos) << m;
}

TEST(QuilletSyslogFormat, InvalidUtf8BecomesReplacementCharacters) {
    // A lone continuation byte, an encoded surrogate, an overlong form, a cut sequence.
    const std::string m = format(record(lv::info,
                                        "a\x80"
                                        "b\xED\xA0\x80"
                                        "c\xC0\xAF"
                                        "d\xE2\x82"));
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_TRUE(m.ends_with("] a" + r + "b" + r + r + r + "c" + r + r + "d" + r + r)) << m;
    EXPECT_EQ(m.find("\xEF\xBB\xBF"), std::string::npos);  // no BOM
}

TEST(QuilletSyslogFormat, LongMessagesAreCutAtACharacterAndMarked) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\xC3\xA9";  // 6000 octets
    const std::array<record_field, 1> small{{{"k", field_value::of_text("v")}}};
    const std::string m = format(record(lv::info, text), small);
    EXPECT_LE(m.size(), k_max);
    EXPECT_GT(m.size(), k_max - 2);
    EXPECT_NE(m.find("truncated=\""), std::string::npos);
    EXPECT_NE(m.find("[fields@32473 k=\"v\"]"), std::string::npos);
    EXPECT_TRUE(m.ends_with("\xC3\xA9")) << "cut inside a character";

    // Fields that leave no room go; the message keeps what fits.
    const std::string huge(5000, 'v');
    const std::array<record_field, 1> big{{{"k", field_value::of_text(huge)}}};
    const std::string n = format(record(lv::info, "short"), big);
    EXPECT_LE(n.size(), k_max);
    EXPECT_EQ(n.find("fields@32473"), std::string::npos);
    EXPECT_TRUE(n.ends_with("] short")) << n;

    EXPECT_EQ(format(record(lv::info, std::string(100, 'x')), {}, 4096).find("truncated"), std::string::npos);
    EXPECT_THROW(format(record(lv::info, "x"), {}, 100), std::invalid_argument);
}

TEST(QuilletSyslogFormat, NamedTransportsAndFacilities) {
    EXPECT_EQ(qd::syslog_facility_named("kern"), 0);
    EXPECT_EQ(qd::syslog_facility_named("user"), 1);
    EXPECT_EQ(qd::syslog_facility_named("ftp"), 11);
    EXPECT_EQ(qd::syslog_facility_named("local0"), 16);
    EXPECT_EQ(qd::syslog_facility_named("local7"), 23);
    for (const char* bad : {"local8", "USER", "", "locals"})
        EXPECT_THROW(qd::syslog_facility_named(bad), std::invalid_argument) << bad;
    EXPECT_EQ(qd::syslog_transport_named("tcp"), qd::syslog_transport::tcp);
#if defined(_WIN32)
    EXPECT_THROW(qd::syslog_transport_named("unix"), std::invalid_argument);
#else
    EXPECT_EQ(qd::syslog_transport_named("unix"), qd::syslog_transport::unix_datagram);
#endif
    EXPECT_THROW(qd::syslog_transport_named("sctp"), std::invalid_argument);
}

#if !defined(_WIN32)
// A loopback UDP receiver: every record arrives as one datagram, fields from the current scope.
TEST(QuilletSyslogSink, SendsOneDatagramPerRecordWithTheScopeFields) {
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    socklen_t size = sizeof(at);
    ASSERT_EQ(::getsockname(rx, reinterpret_cast<sockaddr*>(&at), &size), 0);
    timeval wait{5, 0};
    ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

    qd::syslog_options options;
    options.port = ntohs(at.sin_port);
    options.facility = 16;
    options.app_name = "gtest";
    auto sink = std::make_shared<qd::syslog_sink>(options);
    spdlog::logger logger("udp", sink);
    logger.info("plain");
    {
        const std::array<record_field, 1> fields{{{"user", field_value::of_int(7)}}};
        quillet::record_fields_scope scope(fields);
        logger.error("with fields");
    }
    logger.flush();
    std::vector<std::string> got;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
        const auto n = ::recv(rx, buf, sizeof(buf), 0);
        ASSERT_GT(n, 0);
        got.emplace_back(buf, static_cast<std::size_t>(n));
    }
    ::close(rx);
    EXPECT_TRUE(got[0].starts_with("<134>1 ")) << got[0];
    EXPECT_TRUE(got[0].ends_with("] plain")) << got[0];
    EXPECT_EQ(got[0].find("fields@"), std::string::npos);
    EXPECT_TRUE(got[1].starts_with("<131>1 ")) << got[1];
    EXPECT_TRUE(got[1].ends_with("[fields@32473 user=\"7\"] with fields")) << got[1];
    EXPECT_EQ(sink->counts().dropped, 0u);
    options.queue_size = 0;
    EXPECT_THROW(qd::syslog_sink{options}, std::invalid_argument);
}

// A UDP collector that is not there: its refusals (ICMP port unreachable, reported on the send
// after the refused datagram) keep the records in the queue, the refused one included, and they
// all arrive once it listens. The last record goes out in a retry while the collector is still
// away, with nothing behind it to reveal the refusal: the sender looks for it on its own.
TEST(QuilletSyslogSink, RefusedUdpRecordsWaitForTheCollector) {
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    socklen_t size = sizeof(at);
    ::getsockname(rx, reinterpret_cast<sockaddr*>(&at), &size);
    ::close(rx);  // the port is free again: nothing listens there now

    qd::syslog_options options;
    options.port = ntohs(at.sin_port);
    auto sink = std::make_shared<qd::syslog_sink>(options);
    spdlog::logger logger("udp.away", sink);
    logger.info("first");
    int probes = 0;
    for (; probes < 50 && sink->counts().queued == 0; ++probes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // until the refusal is back
        logger.info("probe {}", probes);
    }
    ASSERT_GT(sink->counts().queued, 0u);
    logger.info("queued last");
    // Retries at 50, 100, 200 ms...: some send "queued last" while nothing listens yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));

    const int back = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(::bind(back, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    timeval wait{10, 0};
    ::setsockopt(back, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::set<std::string> seen;
    char buf[4096];
    while (!seen.contains("queued last")) {
        const auto n = ::recv(back, buf, sizeof(buf), 0);
        ASSERT_GT(n, 0) << "the queued records never came";
        const std::string got(buf, static_cast<std::size_t>(n));
        seen.insert(got.substr(got.rfind("] ") + 2));
    }
    ::close(back);
    EXPECT_TRUE(seen.contains("first"));  // the datagram the first refusal answered, sent again
    for (int i = 0; i < probes; ++i) EXPECT_TRUE(seen.contains(fmt::format("probe {}", i))) << i;
    EXPECT_EQ(sink->counts().dropped, 0u);
}

// A TCP collector on loopback: listens on `port` (0: any), accepts one connection and reads
// octet-counted frames from it.
struct tcp_collector {
    int listener = -1;
    int connection = -1;
    std::uint16_t port = 0;

    explicit tcp_collector(std::uint16_t at = 0) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(at);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        EXPECT_EQ(::listen(listener, 4), 0);
        socklen_t size = sizeof(a);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~tcp_collector() { close(); }
    void close() {
        if (connection >= 0) ::close(connection);
        if (listener >= 0) ::close(listener);
        connection = listener = -1;
    }
    // The messages of the next `count` frames.
    std::vector<std::string> read(std::size_t count) {
        if (connection < 0) {
            connection = ::accept(listener, nullptr, nullptr);
            timeval wait{10, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        }
        std::vector<std::string> frames;
        while (frames.size() < count) {
            while (buffered.find(' ') == std::string::npos || buffered.size() < frame_end()) {
                char chunk[4096];
                const auto n = ::recv(connection, chunk, sizeof(chunk), 0);
                if (n <= 0) return frames;
                buffered.append(chunk, static_cast<std::size_t>(n));
            }
            const std::size_t space = buffered.find(' ');
            frames.push_back(buffered.substr(space + 1, frame_end() - space - 1));
            buffered.erase(0, frame_end());
        }
        return frames;
    }

private:
    std::string buffered;
    std::size_t frame_end() const {
        const std::size_t space = buffered.find(' ');
        return space + 1 + std::stoul(buffered.substr(0, space));
    }
};

// The collector goes away mid-stream: records wait in the queue, the overflow is counted, and
// after the reconnect the queue arrives in order, then one message says how many were dropped.
TEST(QuilletSyslogSink, TcpQueuesWhileAwayCountsTheOverflowAndSaysSo) {
    auto first = std::make_unique<tcp_collector>();
    const std::uint16_t port = first->port;
    qd::syslog_options options;
    options.transport = qd::syslog_transport::tcp;
    options.port = port;
    options.queue_size = 10;
    auto sink = std::make_shared<qd::syslog_sink>(options);
    spdlog::logger logger("tcp", sink);
    for (int i = 0; i < 5; ++i) logger.info("before {}", i);
    logger.flush();
    const std::vector<std::string> before = first->read(5);
    ASSERT_EQ(before.size(), 5u);
    EXPECT_TRUE(before[4].ends_with("] before 4"));

    first.reset();  // closes the connection and stops listening
    for (int i = 0; i < 15; ++i) logger.info("down {}", i);
    logger.flush();  // the collector is unreachable: returns without waiting the timeout out
    EXPECT_EQ(sink->counts().dropped, 5u);

    tcp_collector second(port);
    const std::vector<std::string> after = second.read(11);
    ASSERT_EQ(after.size(), 11u);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(after[i].ends_with("] down " + std::to_string(i))) << after[i];
    EXPECT_TRUE(
        after[10].ends_with("[fields@32473 dropped=\"5\"] 5 syslog records dropped: the queue of 10 records was full"))
        << after[10];
    logger.info("resumed");
    EXPECT_TRUE(second.read(1).at(0).ends_with("] resumed"));
    EXPECT_EQ(sink->counts().dropped, 5u);
}
#endif

}  // namespace
