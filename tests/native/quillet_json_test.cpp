// Record fields and JSON lines: escaping of hostile bytes, the JSON formatter's lines, the
// fields of concurrent writers, and the fields pattern sinks append after the message.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "quillet/details/json_formatter.hpp"
#include "quillet/details/pattern_formatter.hpp"
#include "quillet/record_fields.hpp"

namespace {

namespace qd = quillet::details;
using quillet::field_value;
using quillet::record_field;

std::string json_string(std::string_view text) {
    spdlog::memory_buf_t out;
    qd::append_json_string(out, text);
    return {out.data(), out.size()};
}

// True when `text` is one JSON string made only of valid UTF-8 and allowed escapes.
bool is_json_string(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (n < 2 || p[0] != '"' || p[n - 1] != '"') return false;
    for (std::size_t i = 1; i + 1 < n;) {
        const unsigned char c = p[i];
        if (c < 0x20) return false;
        if (c == '"') return false;
        if (c == '\\') {
            if (i + 2 >= n) return false;
            const char e = static_cast<char>(p[i + 1]);
            if (e == 'u') {
                if (i + 6 >= n) return false;
                for (std::size_t k = 2; k < 6; ++k)
                    if (!std::isxdigit(p[i + k])) return false;
                i += 6;
            } else if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) {
                i += 2;
            } else {
                return false;
            }
            continue;
        }
        if (c < 0x80) {
            ++i;
            continue;
        }
        // UTF-8 by its code point: no overlong form, no surrogate, nothing above U+10FFFF.
        const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (len == 0 || i + len >= n) return false;
        std::uint32_t cp = c & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += len;
    }
    return true;
}

const std::string fffd = "\xEF\xBF\xBD";

TEST(QuilletJson, EscapesAndReplacesWhatJsonCannotHold) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"", R"("")"},
        {"plain / text", R"("plain / text")"},
        {"q\"b\\", R"("q\"b\\")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {"\xFF", "\"" + fffd + "\""},
        {"\xC0\xAF", "\"" + fffd + fffd + "\""},                        // overlong
        {"\xED\xA0\x80", "\"" + fffd + fffd + fffd + "\""},             // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},  // above U+10FFFF
        {"a\xE2\x82", "\"a" + fffd + "\""},                             // cut short: one replacement
        {"\xE2\x82z", "\"" + fffd + "z\""},
        {"\xF0\x9F\x98", "\"" + fffd + "\""},
        {"\x80\x80", "\"" + fffd + fffd + "\""},
    };
    for (const auto& [in, want] : table) {
        EXPECT_EQ(json_string(in), want) << "input of " << in.size() << " bytes";
        EXPECT_TRUE(is_json_string(json_string(in)));
    }
}

TEST(QuilletJson, EveryByteStringGivesOneValidString) {
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_TRUE(is_json_string(json_string(one))) << b;
        EXPECT_TRUE(is_json_string(json_string("x" + one + "\xE2\x82"))) << b;
    }
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 24, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 0x80 : random() % 256);
        EXPECT_TRUE(is_json_string(json_string(bytes))) << round;
    }
}

TEST(QuilletJson, ValuesKeepTheirType) {
    auto value = [](field_value v) {
        spdlog::memory_buf_t out;
        qd::append_json_value(out, v);
        return std::string(out.data(), out.size());
    };
    EXPECT_EQ(value({}), "null");
    EXPECT_EQ(value(field_value::of_bool(true)), "true");
    EXPECT_EQ(value(field_value::of_int(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(value(field_value::of_real(2.0)), "2.0");
    EXPECT_EQ(value(field_value::of_real(0.1)), "0.1");
    EXPECT_EQ(value(field_value::of_real(1e300)), "1e+300");
    EXPECT_EQ(value(field_value::of_real(std::numeric_limits<double>::quiet_NaN())), "\"NaN\"");
    EXPECT_EQ(value(field_value::of_real(-std::numeric_limits<double>::infinity())), "\"-Infinity\"");
    EXPECT_EQ(value(field_value::of_text("a\"\xFF")), "\"a\\\"" + fffd + "\"");
}

struct json_capture {
    std::ostringstream stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
    spdlog::logger logger{"json \"logger\"", sink};
    json_capture() {
        sink->set_formatter(qd::make_json_formatter("\n"));
        logger.set_level(spdlog::level::trace);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(stream.str());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
};

TEST(QuilletJson, OneLinePerRecordWithTheRecordsFields) {
    json_capture c;
    const std::vector<record_field> fields{
        {"user", field_value::of_int(42)}, {"bad\xFF", field_value::of_text("v\n")}, {"none", {}}};
    {
        const quillet::record_fields_scope scope(fields);
        c.logger.log(spdlog::source_loc{"app.py", 7, "work"}, spdlog::level::warn, "said \"hi\"\n\xC3");
    }
    c.logger.info("no fields");
    const auto lines = c.lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::regex first(
        R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d","level":"warning","logger":"json \\"logger\\"",)"
        R"("message":"said \\"hi\\"\\n\xEF\xBF\xBD","file":"app.py","line":7,"function":"work","thread":\d+,)"
        R"("process":\d+,"fields":\{"user":42,"bad\xEF\xBF\xBD":"v\\n","none":null\}\})");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_NE(lines[1].find(R"("message":"no fields","file":null,"line":null,"function":null,)"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find(R"("fields":{}})"), std::string::npos) << lines[1];
}

// Each writer's records carry its own fields, whatever the other threads have in scope.
TEST(QuilletJson, ConcurrentWritersKeepTheirOwnFields) {
    json_capture c;
    constexpr int k_threads = 4;
    constexpr int k_records = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < k_threads; ++t) {
        writers.emplace_back([&c, t] {
            const std::string name = "w" + std::to_string(t);
            for (int i = 0; i < k_records; ++i) {
                const std::vector<record_field> fields{{"writer", field_value::of_text(name)},
                                                       {"i", field_value::of_int(i)}};
                const quillet::record_fields_scope scope(fields);
                c.logger.info(name);
            }
        });
    }
    for (auto& w : writers) w.join();
    const auto lines = c.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(k_threads * k_records));
    const std::regex line(R"re(.*"message":"(w\d)".*"fields":\{"writer":"(w\d)","i":\d+\}\})re");
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        EXPECT_EQ(m[1], m[2]);
    }
    EXPECT_TRUE(quillet::current_record_fields().empty());
}

// Pattern sinks append " key=value" where the message is, with the compiled formatter and with
// spdlog's (which a padded %v needs); a record without fields is unchanged.
TEST(QuilletJson, PatternSinksAppendTheFieldsToTheMessage) {
    const std::vector<record_field> fields{{"user", field_value::of_int(42)},
                                           {"name", field_value::of_text("a b")},
                                           {"k=v", field_value::of_real(0.5)},
                                           {"ok", field_value::of_bool(false)}};
    struct pattern_case {
        const char* pattern;
        const char* with_fields;
        const char* without;
    };
    constexpr pattern_case table[] = {
        {"%l %v|", "info m user=42 name=\"a b\" \"k=v\"=0.5 ok=false|\n", "info m|\n"},
        {"%l %-4v|", "info m user=42 name=\"a b\" \"k=v\"=0.5 ok=false|\n", "info m   |\n"},
        {"%l %8!v|", "info m user=4|\n", "info        m|\n"},
    };
    for (const auto& [pattern, with_fields, without] : table) {
        std::ostringstream stream;
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
        sink->set_formatter(qd::make_pattern_formatter(pattern, spdlog::pattern_time_type::local, "\n"));
        spdlog::logger logger("pattern", sink);
        {
            const quillet::record_fields_scope scope(fields);
            logger.info("m");
        }
        logger.info("m");
        EXPECT_EQ(stream.str(), std::string(with_fields) + without) << pattern;
    }
}

}  // namespace
