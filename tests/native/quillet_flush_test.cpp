// File sinks: every record in the file when the call returns, or, buffered, flushing on warn,
// the flushing thread, flush on demand, after fork; failed writes reported.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "quillet/quillet.hpp"
#include "quillet_test_util.hpp"

namespace {

using quillet::LoggerFactory;
using quillet_test::read_file;
using quillet_test::scratch_dir;
namespace lv = spdlog::level;

// Generous on a loaded machine; the flusher's own interval is far shorter.
constexpr auto k_patience = std::chrono::seconds(30);

bool eventually(const std::function<bool()>& holds) {
    const auto deadline = std::chrono::steady_clock::now() + k_patience;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool holds_line(const std::filesystem::path& path, const std::string& line) {
    return read_file(path).find(line + "\n") != std::string::npos;
}

enum class file_kind { plain, rotating };

void add_file(LoggerFactory& f, file_kind kind, const std::filesystem::path& path, bool buffered = true) {
    if (kind == file_kind::plain)
        f.add_file_handler(path.string(), "%l %v", lv::trace, true, buffered);
    else
        f.add_rotating_file_handler(path.string(), 1 << 20, 2, "%l %v", lv::trace, buffered);
}

const char* kind_name(file_kind kind) { return kind == file_kind::plain ? "File" : "RotatingFile"; }

struct flush_case {
    file_kind kind;
    lv::level_enum level;
    bool buffered = true;
};

std::string case_name(const testing::TestParamInfo<flush_case>& info) {
    return std::string(info.param.buffered ? "Buffered" : "Durable") + kind_name(info.param.kind) + "_" +
           std::to_string(static_cast<int>(info.param.level));
}

class QuilletFlushOnLevel : public testing::TestWithParam<flush_case> {};

// What the file holds is read by another stream while the logger lives: the record (for a
// buffered sink, a warning or worse) and everything logged before it are there as soon as the
// call returns.
TEST_P(QuilletFlushOnLevel, TheRecordReachesTheFileBeforeTheCallReturns) {
    scratch_dir dir;
    const auto path = dir / "app.log";
    LoggerFactory f;
    add_file(f, GetParam().kind, path, GetParam().buffered);
    auto logger = f.build("flush.level", false);
    EXPECT_EQ(logger->flush_level(), lv::warn);
    logger->info("before");
    logger->log(GetParam().level, "the record");
    const std::string text = read_file(path);
    EXPECT_NE(text.find("info before\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" the record\n"), std::string::npos) << text;
    spdlog::drop("flush.level");
}

INSTANTIATE_TEST_SUITE_P(
    Levels, QuilletFlushOnLevel,
    testing::Values(flush_case{file_kind::plain, lv::warn}, flush_case{file_kind::plain, lv::err},
                    flush_case{file_kind::plain, lv::critical}, flush_case{file_kind::rotating, lv::warn},
                    flush_case{file_kind::rotating, lv::critical}, flush_case{file_kind::plain, lv::trace, false},
                    flush_case{file_kind::plain, lv::debug, false}, flush_case{file_kind::rotating, lv::info, false},
                    flush_case{file_kind::rotating, lv::warn, false}),
    case_name);

class QuilletFlusher : public testing::TestWithParam<file_kind> {};

TEST_P(QuilletFlusher, RecordsBelowWarnReachTheFileWhileTheLoggerLives) {
    scratch_dir dir;
    const auto path = dir / "app.log";
    LoggerFactory f;
    add_file(f, GetParam(), path);
    auto logger = f.build("flush.thread", false);
    logger->info("waits for the flusher");
    EXPECT_TRUE(eventually([&] { return holds_line(path, "info waits for the flusher"); }));
    spdlog::drop("flush.thread");
}

TEST_P(QuilletFlusher, FlushFileSinksWritesEveryBufferNow) {
    scratch_dir dir;
    LoggerFactory first, second;
    add_file(first, GetParam(), dir / "one.log");
    add_file(second, GetParam(), dir / "two.log");
    first.build("flush.one", false)->debug("one");
    second.build("flush.two", false)->trace("two");
    quillet::flush_file_sinks();
    EXPECT_EQ(read_file(dir / "one.log"), "debug one\n");
    EXPECT_EQ(read_file(dir / "two.log"), "trace two\n");
    spdlog::drop("flush.one");
    spdlog::drop("flush.two");
}

INSTANTIATE_TEST_SUITE_P(Kinds, QuilletFlusher, testing::Values(file_kind::plain, file_kind::rotating),
                         [](const testing::TestParamInfo<file_kind>& info) { return kind_name(info.param); });

// Sinks come and go while the thread runs: a dropped one is written out by its own closing and
// forgotten by the flusher, and later ones are still flushed.
TEST(QuilletFlusherLifetime, SinksComeAndGoWhileTheThreadRuns) {
    scratch_dir dir;
    for (int round = 0; round < 20; ++round) {
        const auto path = dir / ("round" + std::to_string(round) + ".log");
        {
            LoggerFactory f;
            add_file(f, round % 2 == 0 ? file_kind::plain : file_kind::rotating, path);
            f.build("flush.round", false)->info("round {}", round);
            spdlog::drop("flush.round");
        }
        EXPECT_EQ(read_file(path), "info round " + std::to_string(round) + "\n");
    }
    LoggerFactory f;
    add_file(f, file_kind::plain, dir / "last.log");
    auto logger = f.build("flush.last", false);
    logger->info("after the others went");
    EXPECT_TRUE(eventually([&] { return holds_line(dir / "last.log", "info after the others went"); }));
    spdlog::drop("flush.last");
}

// Writers on several threads while the flusher flushes the same sink: nothing lost or torn.
TEST(QuilletFlusherConcurrency, WritersAndTheFlusherShareTheSink) {
    scratch_dir dir;
    LoggerFactory f;
    add_file(f, file_kind::plain, dir / "mt.log");
    auto logger = f.build("flush.concurrent", false);
    constexpr int threads = 4, per_thread = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                logger->info("t{} n{}", t, i);
                if (i % 1000 == 0) std::this_thread::sleep_for(quillet::file_flush_interval / 4);
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_TRUE(eventually([&] {
        return quillet_test::count_lines(read_file(dir / "mt.log")) == static_cast<std::size_t>(threads * per_thread);
    }));
    spdlog::drop("flush.concurrent");
}

#if !defined(_WIN32)
#if defined(__SANITIZE_THREAD__)
constexpr bool k_fork_supported = false;  // ThreadSanitizer refuses threads started after fork
#else
constexpr bool k_fork_supported = true;
#endif

// Forks; the child runs `child`, which ends the process, and the parent expects it to exit with 0.
void expect_child_succeeds(int round, const std::function<void()>& child) {
    const pid_t pid = ::fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        child();
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << " status " << status;
}

// A logger named `name` with one buffered file, `path`.
std::shared_ptr<spdlog::logger> buffered_file_logger(const std::string& name, const std::filesystem::path& path) {
    LoggerFactory f;
    add_file(f, file_kind::plain, path);
    return f.build(name, false);
}

// The child has no copy of the parent's flusher thread; it gets its own, and the sink lock the
// parent's thread may have held is free in it.
TEST(QuilletFlusherFork, ChildFlushesWhatItLogs) {
    if (!k_fork_supported) GTEST_SKIP() << "fork with threads is unsupported under ThreadSanitizer";
    scratch_dir dir;
    auto logger = buffered_file_logger("flush.fork", dir / "fork.log");
    logger->info("parent");
    for (int round = 0; round < 5; ++round) {
        expect_child_succeeds(round, [&] {
            logger->info("child {}", round);
            const bool seen =
                eventually([&] { return holds_line(dir / "fork.log", "info child " + std::to_string(round)); });
            ::_exit(seen ? 0 : 1);
        });
    }
    EXPECT_TRUE(eventually([&] { return holds_line(dir / "fork.log", "info parent"); }));
    spdlog::drop("flush.fork");
}

// A record still in the parent's buffer at the fork is written once, by the parent, whether the
// child logs, flushes or exits normally (writing out whatever its sinks hold).
TEST(QuilletFlusherFork, TheChildNeverWritesItsParentsBuffer) {
    if (!k_fork_supported) GTEST_SKIP() << "fork with threads is unsupported under ThreadSanitizer";
    scratch_dir dir;
    auto logger = buffered_file_logger("flush.once", dir / "once.log");
    for (int round = 0; round < 3; ++round) {
        logger->info("parent {}", round);
        expect_child_succeeds(round, [&] {
            if (round == 1) logger->info("child");
            if (round == 2) quillet::flush_file_sinks();
            std::exit(0);  // static destructors close the sinks
        });
    }
    quillet::flush_file_sinks();
    const std::string text = read_file(dir / "once.log");
    EXPECT_EQ(text, "info parent 0\ninfo parent 1\ninfo child\ninfo parent 2\n");
    spdlog::drop("flush.once");
}

// /dev/full takes no byte: every record's failure reaches the logger's error handler, at the
// log call (durable) or at the flush that fails (buffered), and logging goes on.
TEST(QuilletFileErrors, AFailedWriteIsReportedThroughTheErrorHandler) {
    for (const bool buffered : {false, true}) {
        LoggerFactory f;
        f.add_file_handler("/dev/full", "%v", lv::trace, false, buffered);
        auto logger = f.build("flush.full", false);
        std::vector<std::string> reports;
        logger->set_error_handler([&](const std::string& what) { reports.push_back(what); });
        logger->info("one");
        logger->info("two");
        logger->flush();
        ASSERT_EQ(reports.size(), buffered ? 1u : 2u) << buffered;
        for (const auto& what : reports)
            EXPECT_NE(what.find("Failed writing to file /dev/full: No space left on device"), std::string::npos)
                << what;
        spdlog::drop("flush.full");
    }
}
#endif  // fork and /dev/full: POSIX only

}  // namespace
