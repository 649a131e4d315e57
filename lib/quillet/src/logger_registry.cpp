// LoggerRegistry: the library's default logger, and lookup through spdlog's registry.
#include <atomic>

#include <spdlog/spdlog.h>

#include "quillet/quillet.hpp"

namespace quillet {

namespace {
// Made on first use from spdlog's default logger; atomic so that every thread may read while
// another replaces it.
std::atomic<std::shared_ptr<spdlog::logger>>& default_slot() noexcept {
    static std::atomic<std::shared_ptr<spdlog::logger>> slot{spdlog::default_logger()};
    return slot;
}

std::atomic<std::uint64_t> generation{0};
}  // namespace

void LoggerRegistry::set_default(std::shared_ptr<spdlog::logger> logger) noexcept {
    default_slot().store(std::move(logger));
    // Released after the store: a reader that sees the new count also sees the new default.
    generation.fetch_add(1, std::memory_order_release);
}

const std::atomic<std::uint64_t>& LoggerRegistry::default_generation() noexcept { return generation; }

std::shared_ptr<spdlog::logger> LoggerRegistry::get_logger(const std::string& name, bool fallback_to_default) {
    if (name.empty()) return default_slot().load();
    if (auto found = spdlog::get(name)) return found;
    return fallback_to_default ? default_slot().load() : nullptr;
}

}  // namespace quillet
