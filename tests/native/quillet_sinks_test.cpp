// MaxSinkLevel and the console-sink type test, including concurrent writers.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "quillet/details/console_sinks.hpp"
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

}  // namespace
