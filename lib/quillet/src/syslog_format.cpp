// RFC 5424 messages: header, structured data and MSG of one record.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <stdexcept>

#include <spdlog/details/os.h>

#include "quillet/details/syslog_sink.hpp"

namespace quillet::details {

namespace {

constexpr std::string_view k_nil = "-";
constexpr std::string_view k_replacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::size_t k_origin_value_max = 255;             // octets of one origin value

// Severity of each level, trace .. critical (RFC 5424 table 2).
constexpr std::array<int, 6> k_severity{7, 7, 6, 4, 3, 2};

// The length of the valid UTF-8 sequence at the start of `s` (non-empty), or 0 when invalid:
// overlong forms, surrogates and code points above U+10FFFF are invalid.
std::size_t utf8_sequence(std::string_view s) noexcept {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return n;
}

enum class text_mode { plain, sd_value };

bool needs_escape(unsigned char c, text_mode mode) noexcept {
    return mode == text_mode::sd_value && (c == '"' || c == '\\' || c == ']');
}

// Appends `text` as valid UTF-8 (invalid octets become U+FFFD), in a PARAM-VALUE escaping '"',
// '\' and ']'; stops before `limit` octets would be passed, at a character boundary. Returns
// false when it stopped early.
bool append_text(fmt::memory_buffer& out, std::string_view text, text_mode mode, std::size_t limit) {
    const std::size_t start = out.size();
    const auto room = [&] { return limit - (out.size() - start); };
    std::size_t i = 0;
    while (i < text.size()) {
        // A run of ASCII that needs nothing goes in one piece, and may be cut anywhere.
        std::size_t j = i;
        while (j < text.size() && static_cast<unsigned char>(text[j]) < 0x80 &&
               !needs_escape(static_cast<unsigned char>(text[j]), mode))
            ++j;
        if (j > i) {
            if (j - i > room()) {
                out.append(text.substr(i, room()));
                return false;
            }
            out.append(text.substr(i, j - i));
            i = j;
            continue;
        }
        const std::size_t n = utf8_sequence(text.substr(i));
        const bool escape = n == 1;  // an ASCII octet here is one to escape
        const std::string_view piece = n == 0 ? k_replacement : text.substr(i, n);
        if (piece.size() + (escape ? 1 : 0) > room()) return false;
        if (escape) out.push_back('\\');
        out.append(piece);
        i += n == 0 ? 1 : n;
    }
    return true;
}

// A header field or PARAM-NAME: printable US-ASCII other than '=', ']' and '"' in a name, each
// other octet (or UTF-8 character) as '_', at most `max` octets; "-" (header) or "_" (name) when
// empty.
void append_token(fmt::memory_buffer& out, std::string_view text, std::size_t max, bool name) {
    const auto allowed = [name](unsigned char c) {
        return c > 32 && c < 127 && !(name && (c == '=' || c == ']' || c == '"'));
    };
    if (!text.empty() && text.size() <= max &&
        std::all_of(text.begin(), text.end(), [&](char c) { return allowed(static_cast<unsigned char>(c)); })) {
        out.append(text);  // the usual case: nothing to replace
        return;
    }
    std::size_t written = 0;
    for (std::size_t i = 0; i < text.size() && written < max; ++written) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(allowed(c) ? static_cast<char>(c) : '_');
        const std::size_t n = c < 0x80 ? 1 : utf8_sequence(text.substr(i));
        i += n == 0 ? 1 : n;
    }
    if (written == 0) out.append(name ? std::string_view("_") : k_nil);
}

template <class Int>
void append_int(fmt::memory_buffer& out, Int n) {
    const fmt::format_int digits(n);
    out.append(std::string_view(digits.data(), digits.size()));
}

void append_header_field(fmt::memory_buffer& out, std::string_view text, std::size_t max) {
    append_token(out, text, max, false);
    out.push_back(' ');
}

// TIMESTAMP: local time, microseconds and the offset from UTC. The calendar part is kept per
// thread for the second it belongs to.
void append_timestamp(fmt::memory_buffer& out, spdlog::log_clock::time_point time) {
    using namespace std::chrono;
    struct cached {
        std::time_t second = -1;
        char date[20] = {};   // "YYYY-MM-DDTHH:MM:SS"
        char offset[7] = {};  // "+HH:MM"
    };
    thread_local cached c;
    const auto since_epoch = time.time_since_epoch();
    const auto secs = duration_cast<seconds>(since_epoch);
    const auto micros = duration_cast<microseconds>(since_epoch - secs).count();
    const std::time_t second = static_cast<std::time_t>(secs.count()) - (micros < 0 ? 1 : 0);
    if (second != c.second) {
        const std::tm tm = spdlog::details::os::localtime(second);
        std::strftime(c.date, sizeof(c.date), "%Y-%m-%dT%H:%M:%S", &tm);
        const int minutes = spdlog::details::os::utc_minutes_offset(tm);
        const int a = minutes < 0 ? -minutes : minutes;
        fmt::format_to_n(c.offset, sizeof(c.offset) - 1, "{}{:02}:{:02}", minutes < 0 ? '-' : '+', a / 60, a % 60);
        c.second = second;
    }
    char fraction[8] = {'.', '0', '0', '0', '0', '0', '0', '\0'};
    auto us = static_cast<unsigned>(micros < 0 ? micros + 1000000 : micros);
    for (int i = 6; i > 0; --i, us /= 10) fraction[i] = static_cast<char>('0' + us % 10);
    out.append(std::string_view(c.date, 19));
    out.append(std::string_view(fraction, 7));
    out.append(std::string_view(c.offset, 6));
    out.push_back(' ');
}

void append_param(fmt::memory_buffer& out, std::string_view name, std::string_view value, std::size_t limit) {
    out.push_back(' ');
    append_token(out, name, 32, true);
    out.append(std::string_view("=\""));
    append_text(out, value, text_mode::sd_value, limit);
    out.push_back('"');
}

void append_value(fmt::memory_buffer& out, std::string_view name, const field_value& v) {
    fmt::memory_buffer number;
    switch (v.type) {
        case field_value::kind::null:
            return append_param(out, name, "null", SIZE_MAX);
        case field_value::kind::boolean:
            return append_param(out, name, v.boolean ? "true" : "false", SIZE_MAX);
        case field_value::kind::integer:
            append_int(number, v.integer);
            break;
        case field_value::kind::real:
            if (std::isfinite(v.real))
                fmt::format_to(fmt::appender(number), "{}", v.real);
            else
                number.append(std::string_view(std::isnan(v.real) ? "nan" : v.real > 0 ? "inf" : "-inf"));
            break;
        case field_value::kind::text:
            return append_param(out, name, v.text, SIZE_MAX);
    }
    append_param(out, name, std::string_view(number.data(), number.size()), SIZE_MAX);
}

// [quillet@32473 logger=".." file=".." line=".." function=".." thread=".." truncated=".."]
void append_origin(fmt::memory_buffer& out, const spdlog::details::log_msg& msg, std::size_t truncated_from) {
    out.push_back('[');
    out.append(syslog_origin_sd_id);
    append_param(out, "logger", std::string_view(msg.logger_name.data(), msg.logger_name.size()), k_origin_value_max);
    if (!msg.source.empty()) {
        append_param(out, "file", msg.source.filename, k_origin_value_max);
        const fmt::format_int line(msg.source.line);
        append_param(out, "line", std::string_view(line.data(), line.size()), SIZE_MAX);
        if (msg.source.funcname != nullptr) append_param(out, "function", msg.source.funcname, k_origin_value_max);
    }
    out.append(std::string_view(" thread=\""));
    append_int(out, msg.thread_id);
    out.push_back('"');
    if (truncated_from != 0) {
        out.append(std::string_view(" truncated=\""));
        append_int(out, truncated_from);
        out.push_back('"');
    }
    out.push_back(']');
}

void append_fields(fmt::memory_buffer& out, record_fields fields) {
    if (fields.empty()) return;
    out.push_back('[');
    out.append(syslog_fields_sd_id);
    for (const record_field& f : fields) append_value(out, f.key, f.value);
    out.push_back(']');
}

}  // namespace

void format_syslog_message(fmt::memory_buffer& out, const syslog_header& header, const spdlog::details::log_msg& msg,
                           record_fields fields, std::size_t max_size) {
    if (max_size < 2048) throw std::invalid_argument("max_message_size must be at least 2048");
    const std::size_t base = out.size();
    const auto lvl = static_cast<std::size_t>(msg.level);
    const int severity = lvl < k_severity.size() ? k_severity[lvl] : 7;
    const std::string_view payload(msg.payload.data(), msg.payload.size());

    const auto head = [&] {
        out.push_back('<');
        append_int(out, header.facility * 8 + severity);
        out.append(std::string_view(">1 "));
        append_timestamp(out, msg.time);
        append_header_field(out, header.hostname, 255);
        append_header_field(out, header.app_name, 48);
        append_int(out, header.pid);
        out.push_back(' ');
        append_header_field(out, std::string_view(msg.logger_name.data(), msg.logger_name.size()), 32);
    };
    head();
    append_origin(out, msg, 0);
    append_fields(out, fields);
    out.push_back(' ');
    append_text(out, payload, text_mode::plain, SIZE_MAX);
    const std::size_t whole = out.size() - base;
    if (whole <= max_size) return;

    // Too long: say so, keep the fields only if they leave room, and cut the message.
    out.resize(base);
    head();
    append_origin(out, msg, whole);
    const std::size_t before_fields = out.size();
    append_fields(out, fields);
    if (out.size() - base + 1 > max_size) out.resize(before_fields);
    out.push_back(' ');
    append_text(out, payload, text_mode::plain, max_size - (out.size() - base));
}

syslog_transport syslog_transport_named(std::string_view name) {
    if (name == "udp") return syslog_transport::udp;
    if (name == "tcp") return syslog_transport::tcp;
    if (name == "unix") {
#if defined(_WIN32)
        throw std::invalid_argument("transport 'unix' is not available on Windows: use 'udp' or 'tcp'");
#else
        return syslog_transport::unix_datagram;
#endif
    }
    throw std::invalid_argument("transport must be 'udp', 'tcp' or 'unix', not '" + std::string(name) + "'");
}

int syslog_facility_named(std::string_view name) {
    static constexpr std::array<std::string_view, 12> named{"kern", "user", "mail", "daemon", "auth",     "syslog",
                                                            "lpr",  "news", "uucp", "cron",   "authpriv", "ftp"};
    for (std::size_t i = 0; i < named.size(); ++i)
        if (name == named[i]) return static_cast<int>(i);
    if (name.size() == 6 && name.substr(0, 5) == "local" && name[5] >= '0' && name[5] <= '7')
        return 16 + (name[5] - '0');
    throw std::invalid_argument("unknown syslog facility '" + std::string(name) +
                                "': one of kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron, authpriv, "
                                "ftp, local0 .. local7");
}

}  // namespace quillet::details
