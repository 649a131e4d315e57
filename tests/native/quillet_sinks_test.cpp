// MaxSinkLevel, the console-sink type test, including concurrent writers, and quillet's pattern
// formatter against spdlog's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "quillet/details/console_sinks.hpp"
#include "quillet/details/pattern_formatter.hpp"
#include "quillet/quillet.hpp"
#include "quillet_test_util.hpp"

namespace {

using quillet::spdlog_internal::MaxSinkLevel;
namespace lv = spdlog::level;
namespace qd = quillet::details;

struct captured {
    std::ostringstream stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
    captured() { sink->set_pattern("%l:%v"); }
};

// Through the wrapper: from the wrapper's level and the inner sink's, up to max.
TEST(QuilletMaxSinkLevel, PassesBetweenTheLowerBoundsAndMax) {
    captured c;
    c.sink->set_level(lv::debug);
    auto wrapper = std::make_shared<MaxSinkLevel>(c.sink, lv::err);
    spdlog::logger logger("max", wrapper);
    logger.set_level(lv::trace);
    for (auto lvl : {lv::trace, lv::debug, lv::warn, lv::err, lv::critical}) logger.log(lvl, "m");
    wrapper->set_level(lv::warn);
    logger.debug("below the wrapper");
    EXPECT_EQ(c.stream.str(), "debug:m\nwarning:m\nerror:m\n");
    EXPECT_EQ(wrapper->get_sink(), c.sink);
}

TEST(QuilletMaxSinkLevel, PatternsGoToTheWrappedSink) {
    captured c;
    auto wrapper = std::make_shared<MaxSinkLevel>(c.sink, lv::off);
    wrapper->set_pattern("<%v>");
    spdlog::logger("max", wrapper).info("x");
    EXPECT_EQ(c.stream.str(), "<x>\n");
    EXPECT_THROW(MaxSinkLevel(nullptr, lv::info), std::invalid_argument);
    EXPECT_THROW(MaxSinkLevel(c.sink, static_cast<lv::level_enum>(7)), std::invalid_argument);
}

TEST(QuilletConsoleSinks, TypeTestSeesConsoleTypesOnly) {
    EXPECT_TRUE(qd::is_console_sink_type(std::make_shared<qd::stdout_sink>().get()));
    EXPECT_TRUE(qd::is_console_sink_type(std::make_shared<qd::stderr_sink>().get()));
    EXPECT_TRUE(qd::is_console_sink_type(std::make_shared<qd::color_stdout_sink>().get()));
    EXPECT_TRUE(qd::is_console_sink_type(std::make_shared<qd::color_stderr_sink>().get()));
    // Another mutex policy, a wrapper (not looked through here) and a stream sink.
    EXPECT_FALSE(qd::is_console_sink_type(std::make_shared<spdlog::sinks::stdout_sink_st>().get()));
    auto wrapped = std::make_shared<MaxSinkLevel>(std::make_shared<qd::stdout_sink>(), lv::off);
    EXPECT_FALSE(qd::is_console_sink_type(wrapped.get()));
    captured c;
    EXPECT_FALSE(qd::is_console_sink_type(c.sink.get()));
}

TEST(QuilletConsoleSinks, OnlyAColourSinkThatColoursColoursMessages) {
    EXPECT_TRUE(qd::colours_output(std::make_shared<qd::color_stdout_sink>(spdlog::color_mode::always).get()));
    EXPECT_TRUE(qd::colours_output(std::make_shared<qd::color_stderr_sink>(spdlog::color_mode::always).get()));
    // A colour sink that decided against colour (not a terminal), a plain console sink, a wrapper.
    EXPECT_FALSE(qd::colours_output(std::make_shared<qd::color_stdout_sink>(spdlog::color_mode::never).get()));
    EXPECT_FALSE(qd::colours_output(std::make_shared<qd::stdout_sink>().get()));
    auto wrapped =
        std::make_shared<MaxSinkLevel>(std::make_shared<qd::color_stdout_sink>(spdlog::color_mode::always), lv::off);
    EXPECT_FALSE(qd::colours_output(wrapped.get()));
}

// Threads writing through one logger whose sinks are a wrapped stream sink and a rotating
// file: every record arrives whole, none is lost.
TEST(QuilletSinksConcurrency, ConcurrentWritersLoseNothing) {
    quillet_test::scratch_dir dir;
    captured c;
    c.sink->set_pattern("%v");
    quillet::LoggerFactory f;
    f.add_rotating_file_handler((dir / "mt.log").string(), 1 << 20, 3, "%v", lv::trace);
    auto logger = f.build("sinks.concurrent", false);
    logger->sinks().push_back(std::make_shared<MaxSinkLevel>(c.sink, lv::warn));
    constexpr int threads = 4, per_thread = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                logger->warn("t{} n{}", t, i);
                logger->error("over the cap {}", i);  // reaches the file only
            }
        });
    }
    for (auto& w : workers) w.join();
    logger->flush();
    EXPECT_EQ(quillet_test::count_lines(c.stream.str()), static_cast<std::size_t>(threads * per_thread));
    EXPECT_EQ(quillet_test::count_lines(quillet_test::read_file(dir / "mt.log")),
              static_cast<std::size_t>(2 * threads * per_thread));
    spdlog::drop("sinks.concurrent");
}

// ---- quillet's pattern formatter against spdlog's pattern_formatter ----

using spdlog::details::log_msg;
using std::chrono::nanoseconds;
using std::chrono::seconds;

#if !defined(_WIN32)
// A zone with a half-hour offset and summer time, so local time cannot pass for UTC.
class zone_guard {
public:
    explicit zone_guard(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~zone_guard() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};
#endif

// Every supported flag; '%' stands for "%%".
constexpr std::string_view supported_flags = "YCmdHIMSaAbhBcDxprRTXefFEnlLvtP^$@sg#!%";

std::vector<std::string> compiled_patterns() {
    std::vector<std::string> patterns{
        "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        "[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v",
        "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] [%s:%#] [%!] %v",
        "",
        "plain text only",
        "%%",
        "100%% %v %%%%",
        "%v%^%$",
        "%$%v%^",
        "%^%^%v%$%$ tail",
        "%v%Y",
    };
    std::string all;
    for (char flag : supported_flags) {
        const std::string f = std::string("%") + flag;
        patterns.push_back(f);
        patterns.push_back("<" + f + ">" + f + "|" + f + f);
        all += f + ".";
    }
    patterns.push_back(all);
    return patterns;
}

const std::vector<std::string> fallback_patterns{
    "%-10n", "%10n", "%=8l", "%3!v", "%-8!!", "%-n",  "%=n",   "%q",  "%z",      "%+",  "%u",
    "%i",    "%o",   "%O",   "%&",   "%",     "abc%", "%Y %k", "% v", "%v %-5l", "%5%", "[%H:%M:%S %z] %v",
};

// Records in an order that meets the formatters' caches: the epoch's second first (spdlog's
// starting cache), repeats within a second, the next and an earlier second, every hour of a
// day, a year of months and both summer-time changes; with every level, empty and long
// messages, names and source locations present, absent and odd.
std::vector<log_msg> sample_records() {
    static const std::string long_message(5000, 'x');
    static const std::vector<std::string> messages{"", "hello", long_message, "with %v and {} braces", "multi\nline"};
    static const std::vector<std::string> names{"", "app", "a.b.c", "\xc3\xbcn\xc3\xaf"};
    const std::vector<spdlog::source_loc> sources{
        {},
        {"named.py", 0, "line_zero"},
        {"main.py", 1, "<module>"},
        {"/usr/lib/py/pkg/mod.py", 12345, "handler"},
        {"dir\\win.py", 7, "f"},
        {"noslash", 2147483647, ""},
    };
    const std::vector<long long> fractions_ns{0, 1'000, 999'000, 1'000'000, 123'456'789, 999'999'999};
    std::vector<spdlog::log_clock::time_point> times{spdlog::log_clock::time_point{}};
    const auto at = [](long long secs, long long ns) {
        return spdlog::log_clock::time_point(
            std::chrono::duration_cast<spdlog::log_clock::duration>(seconds(secs) + nanoseconds(ns)));
    };
    constexpr long long base = 1700000000;  // 2023-11-14 22:13:20 UTC
    for (long long ns : fractions_ns) times.push_back(at(base, ns));
    times.push_back(at(base + 1, 0));
    times.push_back(at(base + 1, 999'999'999));
    times.push_back(at(base - 1, 500'000'000));
    for (long long h = 0; h < 24; ++h) times.push_back(at(base + h * 3600, fractions_ns[h % fractions_ns.size()]));
    for (long long m = 0; m < 12; ++m) times.push_back(at(base + m * 31 * 86400 + m * 3601, 42'000));
    for (long long change : {1699158600LL, 1710048600LL}) {  // summer time ends, begins
        for (long long d : {-1LL, 0LL, 1LL}) times.push_back(at(change + d, 7));
    }
    std::vector<log_msg> records;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const std::string& name = names[i % names.size()];
        const std::string& message = messages[i % messages.size()];
        log_msg msg(times[i], sources[i % sources.size()], spdlog::string_view_t(name.data(), name.size()),
                    static_cast<spdlog::level::level_enum>(i % spdlog::level::n_levels),
                    spdlog::string_view_t(message.data(), message.size()));
        msg.thread_id = i * 7919;
        records.push_back(msg);
    }
    return records;
}

std::string text_of(const spdlog::memory_buf_t& buffer) { return std::string(buffer.data(), buffer.size()); }

// Formats every record with both, in order, each into a buffer that already holds text; the
// text and the colour range must be the same.
void expect_same_output(spdlog::formatter& ours, spdlog::formatter& theirs, const std::vector<log_msg>& records) {
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const log_msg& msg = records[i];
        const std::string_view before = "before ";
        spdlog::memory_buf_t ours_out, theirs_out;
        ours_out.append(before.data(), before.data() + before.size());
        theirs_out.append(before.data(), before.data() + before.size());
        msg.color_range_start = 1001;
        msg.color_range_end = 1002;
        ours.format(msg, ours_out);
        const std::pair ours_range{msg.color_range_start, msg.color_range_end};
        msg.color_range_start = 1001;
        msg.color_range_end = 1002;
        theirs.format(msg, theirs_out);
        ASSERT_EQ(text_of(ours_out), text_of(theirs_out));
        EXPECT_EQ(ours_range, std::pair(msg.color_range_start, msg.color_range_end));
    }
}

TEST(QuilletPatternFormatter, WritesWhatSpdlogWrites) {
#if !defined(_WIN32)
    zone_guard zone("XST+03:30XDT,M3.2.0,M11.1.0");
#endif
    const std::vector<log_msg> records = sample_records();
    for (const std::string& pattern : compiled_patterns()) {
        for (auto time_type : {spdlog::pattern_time_type::local, spdlog::pattern_time_type::utc}) {
            for (const char* eol : {"\n", "", "\r\n"}) {
                SCOPED_TRACE("pattern '" + pattern + "' utc " +
                             std::to_string(time_type == spdlog::pattern_time_type::utc) + " eol size " +
                             std::to_string(std::string_view(eol).size()));
                auto ours = qd::make_compiled_formatter(pattern, time_type, eol);
                ASSERT_NE(ours, nullptr);
                spdlog::pattern_formatter theirs(pattern, time_type, eol);
                expect_same_output(*ours, theirs, records);
                // A clone starts afresh, as spdlog's does.
                expect_same_output(*ours->clone(), *theirs.clone(), records);
            }
        }
        // The sinks' choice is quillet's formatter, with spdlog's defaults.
        auto chosen = qd::make_pattern_formatter(pattern);
        EXPECT_EQ(dynamic_cast<spdlog::pattern_formatter*>(chosen.get()), nullptr) << pattern;
        spdlog::pattern_formatter theirs(pattern);
        expect_same_output(*chosen, theirs, records);
    }
}

TEST(QuilletPatternFormatter, LeavesWhatItDoesNotHandleToSpdlog) {
    const std::vector<log_msg> records = sample_records();
    for (const std::string& pattern : fallback_patterns) {
        SCOPED_TRACE("pattern '" + pattern + "'");
        EXPECT_EQ(qd::make_compiled_formatter(pattern), nullptr);
        auto chosen = qd::make_pattern_formatter(pattern, spdlog::pattern_time_type::utc, "\r\n");
        ASSERT_NE(dynamic_cast<spdlog::pattern_formatter*>(chosen.get()), nullptr);
        spdlog::pattern_formatter theirs(pattern, spdlog::pattern_time_type::utc, "\r\n");
        expect_same_output(*chosen, theirs, records);
    }
}

// The factory's sinks format with it: a file gets, byte for byte, what spdlog's formatter makes.
TEST(QuilletPatternFormatter, FileSinksWriteWhatSpdlogFormats) {
    quillet_test::scratch_dir dir;
    const std::vector<log_msg> records = sample_records();
    for (const std::string pattern : {"[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v", "%-5l %v", "%Y %z %v"}) {
        for (bool buffered : {false, true}) {
            SCOPED_TRACE(pattern + (buffered ? " buffered" : " durable"));
            const auto path = dir / "formatted.log";
            quillet::LoggerFactory f;
            f.add_file_handler(path.string(), pattern, lv::trace, true, buffered);
            spdlog::pattern_formatter theirs(pattern);
            spdlog::memory_buf_t expected;
            for (const log_msg& msg : records) {
                f.sinks().front()->log(msg);
                theirs.format(msg, expected);
            }
            f.sinks().front()->flush();
            EXPECT_EQ(quillet_test::read_file(path), text_of(expected));
        }
    }
}

}  // namespace
