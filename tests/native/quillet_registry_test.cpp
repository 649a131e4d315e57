// LoggerRegistry: the default logger, lookup by name and the fallback flag, concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
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

TEST(QuilletRegistry, EveryReplacementMovesTheGeneration) {
    const auto& generation = LoggerRegistry::default_generation();
    auto a = LoggerFactory().build("registry.gen.a", false);
    const auto before = generation.load();
    LoggerRegistry::get_logger("", true);
    LoggerFactory().build("registry.gen.unset", false);
    EXPECT_EQ(generation.load(), before);  // lookups and other builds leave it alone
    LoggerRegistry::set_default(a);
    EXPECT_EQ(generation.load(), before + 1);
    LoggerRegistry::set_default(a);  // the same logger again still counts
    EXPECT_EQ(generation.load(), before + 2);
    auto b = LoggerFactory().build("registry.gen.b", true);
    EXPECT_EQ(generation.load(), before + 3);
    LoggerRegistry::set_default(nullptr);
    EXPECT_EQ(generation.load(), before + 4);
}

// A reader that caches the default with the generation it read first never keeps a default
// that was replaced before its cached generation moved.
TEST(QuilletRegistry, AnUnchangedGenerationMeansAnUnchangedDefault) {
    auto a = LoggerFactory().build("registry.cache.a", false);
    auto b = LoggerFactory().build("registry.cache.b", false);
    LoggerRegistry::set_default(a);
    const auto& generation = LoggerRegistry::default_generation();
    std::atomic<bool> stop{false};
    std::atomic<int> stale{0};
    std::thread reader([&] {
        std::uint64_t cached_generation = generation.load(std::memory_order_acquire);
        auto cached = LoggerRegistry::get_logger("", true);
        while (!stop.load()) {
            const auto now = generation.load(std::memory_order_acquire);
            if (now != cached_generation) {
                cached_generation = now;
                cached = LoggerRegistry::get_logger("", true);
            }
        }
        // Writer done: the count is final, so the cached default must be the last one set.
        if (generation.load(std::memory_order_acquire) == cached_generation &&
            cached != LoggerRegistry::get_logger("", true))
            stale.fetch_add(1);
    });
    for (int i = 0; i < 20000; ++i) LoggerRegistry::set_default(i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(stale.load(), 0);
}

}  // namespace
