// LoggerRegistry: the default logger, lookup by name and the fallback flag, concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "quillet/quillet.hpp"

namespace {

using quillet::LoggerFactory;
using quillet::LoggerRegistry;

// Checked in a freshly started copy of this program, before anything has set a default.
TEST(QuilletRegistryDeathTest, InitialDefaultIsSpdlogsDefaultLogger) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(LoggerRegistry::get_logger("", false) == spdlog::default_logger() ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
}

TEST(QuilletRegistry, DefaultNamesAndTheFallbackFlag) {
    auto spdlog_default = spdlog::default_logger();
    auto named = LoggerFactory().build("registry.named", false);
    auto fallback = LoggerFactory().build("registry.fallback", false);
    LoggerRegistry::set_default(fallback);
    EXPECT_EQ(LoggerRegistry::get_logger("", false), fallback);
    EXPECT_EQ(LoggerRegistry::get_logger("registry.named", false), named);
    EXPECT_EQ(LoggerRegistry::get_logger("registry.missing", true), fallback);
    EXPECT_EQ(LoggerRegistry::get_logger("registry.missing", false), nullptr);
    EXPECT_EQ(spdlog::default_logger(), spdlog_default);  // spdlog's own default is left alone
    LoggerRegistry::set_default(nullptr);
    EXPECT_EQ(LoggerRegistry::get_logger("", true), nullptr);
    EXPECT_EQ(LoggerRegistry::get_logger("registry.missing", true), nullptr);
}

// Readers on several threads while another thread keeps replacing the default.
TEST(QuilletRegistry, DefaultIsSafeToReplaceWhileRead) {
    auto a = LoggerFactory().build("registry.a", false);
    auto b = LoggerFactory().build("registry.b", false);
    LoggerRegistry::set_default(a);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                auto logger = LoggerRegistry::get_logger("", true);
                if (logger != a && logger != b) wrong.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 20000; ++i) LoggerRegistry::set_default(i % 2 ? a : b);
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
