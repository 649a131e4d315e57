// JSON lines and the text form of record fields (details/json_formatter.hpp).
#include "quillet/details/json_formatter.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <utility>

#include <fmt/format.h>
#include <spdlog/details/fmt_helper.h>
#include <spdlog/details/log_msg.h>

namespace quillet::details {

namespace {

namespace fmt_helper = spdlog::details::fmt_helper;
using spdlog::memory_buf_t;

void append(memory_buf_t& dest, std::string_view text) { dest.append(text.data(), text.data() + text.size()); }

// The length of the UTF-8 sequence at the start of `p` (n > 0 bytes) and whether it is valid;
// an invalid one's length is its maximal subpart (at least 1), which U+FFFD replaces.
struct utf8_sequence {
    std::size_t size;
    bool valid;
};
utf8_sequence next_sequence(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char lead = p[0];
    std::size_t more = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
    } else if (lead == 0xE0) {
        more = 2;
        low = 0xA0;
    } else if (lead == 0xED) {
        more = 2;
        high = 0x9F;  // no UTF-16 surrogates
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        more = 2;
    } else if (lead == 0xF0) {
        more = 3;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        more = 3;
    } else if (lead == 0xF4) {
        more = 3;
        high = 0x8F;  // nothing above U+10FFFF
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k <= more; ++k) {
        if (k >= n || p[k] < low || p[k] > high) return {k, false};
        low = 0x80;
        high = 0xBF;
    }
    return {more + 1, true};
}

constexpr std::string_view k_replacement = "\xEF\xBF\xBD";

void append_escaped(memory_buf_t& dest, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0;  // start of the bytes not yet appended, which need no change
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            const utf8_sequence seq = next_sequence(p + i, n - i);
            if (seq.valid) {
                i += seq.size;
                continue;
            }
            dest.append(text.data() + run, text.data() + i);
            append(dest, k_replacement);
            i += seq.size;
            run = i;
            continue;
        }
        dest.append(text.data() + run, text.data() + i);
        switch (c) {
            case '"':
                append(dest, "\\\"");
                break;
            case '\\':
                append(dest, "\\\\");
                break;
            case '\n':
                append(dest, "\\n");
                break;
            case '\r':
                append(dest, "\\r");
                break;
            case '\t':
                append(dest, "\\t");
                break;
            case '\b':
                append(dest, "\\b");
                break;
            case '\f':
                append(dest, "\\f");
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                dest.append(escape, escape + sizeof(escape));
            }
        }
        ++i;
        run = i;
    }
    dest.append(text.data() + run, text.data() + n);
}

// A real as JSON: the shortest text that reads back the same, always with a fraction or an
// exponent so that readers keep it a real.
void append_real(memory_buf_t& dest, double value) {
    if (std::isnan(value)) return append(dest, "\"NaN\"");
    if (std::isinf(value)) return append(dest, value > 0 ? "\"Infinity\"" : "\"-Infinity\"");
    const std::size_t start = dest.size();
    fmt::format_to(fmt::appender(dest), "{}", value);
    const std::string_view written(dest.data() + start, dest.size() - start);
    if (written.find_first_of(".e") == std::string_view::npos) append(dest, ".0");
}

// A key or text that reads unambiguously without quotes in " key=value" form.
bool is_bare(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F || c == '"' || c == '=' || c == '\\') return false;
    }
    return true;
}

void append_text_token(memory_buf_t& dest, std::string_view text) {
    if (is_bare(text)) return append(dest, text);
    append_json_string(dest, text);
}

constexpr std::string_view level_name(spdlog::level::level_enum lvl) noexcept {
    constexpr std::string_view names[] = {"trace", "debug", "info", "warning", "error", "critical", "off"};
    const auto i = static_cast<std::size_t>(lvl);
    return i < std::size(names) ? names[i] : "off";
}

// One JSON line per record. The date, time and offset text is made once per second.
class json_formatter final : public spdlog::formatter {
public:
    explicit json_formatter(std::string eol) : eol_(std::move(eol)) {}

    void format(const spdlog::details::log_msg& msg, memory_buf_t& dest) override {
        append(dest, "{\"time\":\"");
        append_time(msg.time, dest);
        append(dest, "\",\"level\":\"");
        append(dest, level_name(msg.level));
        append(dest, "\",\"logger\":");
        append_json_string(dest, std::string_view(msg.logger_name.data(), msg.logger_name.size()));
        append(dest, ",\"message\":");
        append_json_string(dest, std::string_view(msg.payload.data(), msg.payload.size()));
        if (msg.source.empty()) {
            append(dest, ",\"file\":null,\"line\":null,\"function\":null");
        } else {
            append(dest, ",\"file\":");
            append_json_string(dest, msg.source.filename != nullptr ? msg.source.filename : "");
            append(dest, ",\"line\":");
            fmt_helper::append_int(msg.source.line, dest);
            append(dest, ",\"function\":");
            append_json_string(dest, msg.source.funcname != nullptr ? msg.source.funcname : "");
        }
        append(dest, ",\"thread\":");
        fmt_helper::append_int(msg.thread_id, dest);
        append(dest, ",\"process\":");
        fmt_helper::append_int(static_cast<std::uint32_t>(spdlog::details::os::pid()), dest);
        append(dest, ",\"fields\":");
        append_json_fields(dest, current_record_fields());
        dest.push_back('}');
        append(dest, eol_);
    }

    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<json_formatter>(eol_); }

private:
    void append_time(spdlog::log_clock::time_point time, memory_buf_t& dest) {
        using std::chrono::duration_cast;
        const auto since_epoch = time.time_since_epoch();
        const auto seconds = duration_cast<std::chrono::seconds>(since_epoch);
        if (seconds != cached_second_ || cached_length_ == 0) {
            const std::time_t t = static_cast<std::time_t>(seconds.count());
            const std::tm tm = spdlog::details::os::localtime(t);
            const int offset = spdlog::details::os::utc_minutes_offset(tm);
            const int magnitude = offset < 0 ? -offset : offset;
            const auto end = fmt::format_to_n(cached_.data(), cached_.size() - 1,
                                              "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}|{}{:02}:{:02}", tm.tm_year + 1900,
                                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                              offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
            cached_length_ = end.size;
            cached_second_ = seconds;
        }
        const std::string_view cached(cached_.data(), cached_length_);
        const std::size_t bar = cached.find('|');
        append(dest, cached.substr(0, bar));
        dest.push_back('.');
        const auto micros = duration_cast<std::chrono::microseconds>(since_epoch - seconds).count();
        fmt_helper::pad6(static_cast<std::size_t>(micros < 0 ? 0 : micros), dest);
        append(dest, cached.substr(bar + 1));
    }

    std::string eol_;
    std::chrono::seconds cached_second_{0};
    std::array<char, 64> cached_{};
    std::size_t cached_length_ = 0;
};

}  // namespace

void append_json_string(memory_buf_t& dest, std::string_view text) {
    dest.push_back('"');
    append_escaped(dest, text);
    dest.push_back('"');
}

void append_json_value(memory_buf_t& dest, const field_value& value) {
    switch (value.type) {
        case field_value::kind::null:
            return append(dest, "null");
        case field_value::kind::boolean:
            return append(dest, value.boolean ? "true" : "false");
        case field_value::kind::integer:
            return fmt_helper::append_int(value.integer, dest);
        case field_value::kind::real:
            return append_real(dest, value.real);
        case field_value::kind::text:
            return append_json_string(dest, value.text);
    }
}

void append_json_fields(memory_buf_t& dest, record_fields fields) {
    dest.push_back('{');
    bool first = true;
    for (const record_field& f : fields) {
        if (!first) dest.push_back(',');
        first = false;
        append_json_string(dest, f.key);
        dest.push_back(':');
        append_json_value(dest, f.value);
    }
    dest.push_back('}');
}

void append_fields_text(memory_buf_t& dest, record_fields fields) {
    for (const record_field& f : fields) {
        dest.push_back(' ');
        append_text_token(dest, f.key);
        dest.push_back('=');
        if (f.value.type == field_value::kind::text) {
            append_text_token(dest, f.value.text);
        } else if (f.value.type == field_value::kind::real && std::isfinite(f.value.real)) {
            fmt::format_to(fmt::appender(dest), "{}", f.value.real);
        } else if (f.value.type == field_value::kind::real) {
            append(dest, std::isnan(f.value.real) ? "nan" : (f.value.real > 0 ? "inf" : "-inf"));
        } else {
            append_json_value(dest, f.value);
        }
    }
}

std::unique_ptr<spdlog::formatter> make_json_formatter(std::string eol) {
    return std::make_unique<json_formatter>(std::move(eol));
}

}  // namespace quillet::details
