// LoggerFactory: turns handler descriptions into spdlog sinks and builds the logger.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "checks.hpp"
#include "file_flusher.hpp"
#include "quillet/details/console_sinks.hpp"
#include "quillet/details/file_sink.hpp"
#include "quillet/details/json_formatter.hpp"
#include "quillet/details/pattern_formatter.hpp"
#include "quillet/details/syslog_sink.hpp"
#include "quillet/quillet.hpp"

namespace quillet {

using spdlog_internal::MaxSinkLevel;

namespace {

spdlog::sink_ptr make_stdout(bool color) {
    if (color) return std::make_shared<details::color_stdout_sink>();
    return std::make_shared<details::stdout_sink>();
}

spdlog::sink_ptr make_stderr(bool color) {
    if (color) return std::make_shared<details::color_stderr_sink>();
    return std::make_shared<details::stderr_sink>();
}

// A file sink; a buffered one is written out by the flusher from now on.
spdlog::sink_ptr open_file_sink(const std::string& filename, bool truncate, bool buffered, std::size_t max_size = 0,
                                std::size_t max_files = 0) {
    const auto writes = buffered ? details::file_writes::buffered : details::file_writes::durable;
    auto sink = std::make_shared<details::file_sink>(filename, truncate, writes, max_size, max_files);
    if (buffered) details::file_flusher::instance().watch(sink);
    return sink;
}

// Every error a logger meets is reported, on standard error, in spdlog's words: a full disk
// fails every record, and each lost one is said to be lost (spdlog's own handler keeps quiet
// for a second after each report).
void report_error(const std::string& logger_name, const std::string& what) noexcept {
    static std::mutex mutex;
    static std::size_t count = 0;
    try {
        std::lock_guard lock(mutex);
        const std::tm now = spdlog::details::os::localtime();
        char date[64];
        std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &now);
        std::fprintf(stderr, "[*** LOG ERROR #%04zu ***] [%s] [%s] %s\n", ++count, date, logger_name.c_str(),
                     what.c_str());
    } catch (...) {
        // Nothing is left to report with.
    }
}

// The colour sink a sink writes through, looking through level wrappers; null for others.
details::color_sink* color_sink_of(spdlog::sinks::sink* sink) {
    while (auto* wrapper = dynamic_cast<MaxSinkLevel*>(sink)) sink = wrapper->get_sink().get();
    return dynamic_cast<details::color_sink*>(sink);
}

}  // namespace

LoggerFactory& LoggerFactory::set_level(level lvl) {
    details::check_level(lvl);
    level_ = lvl;
    return *this;
}

// The callers check `lvl` before they make the sink: a refused level opens no file.
LoggerFactory& LoggerFactory::add_sink(spdlog::sink_ptr sink, const std::string& pattern, level lvl, bool json) {
    // The same text as the sink's own set_pattern would give, through quillet's formatter
    // where it handles the pattern (local time, as spdlog's sinks use).
    sink->set_formatter(json ? details::make_json_formatter() : details::make_pattern_formatter(pattern));
    sink->set_level(lvl);
    sinks_.push_back(std::move(sink));
    return *this;
}

// A JSON console sink is a plain one: escape codes would be part of the message text.
LoggerFactory& LoggerFactory::add_stdout_handler(bool color, const std::string& pattern, level lvl, level max_level,
                                                 bool json) {
    details::check_level(lvl);
    return add_sink(std::make_shared<MaxSinkLevel>(make_stdout(color && !json), max_level), pattern, lvl, json);
}

LoggerFactory& LoggerFactory::add_stderr_handler(bool color, const std::string& pattern, level lvl, bool json) {
    details::check_level(lvl);
    return add_sink(make_stderr(color && !json), pattern, lvl, json);
}

LoggerFactory& LoggerFactory::add_basic_console_handler(bool color, const std::string& pattern, level lvl, bool json) {
    details::check_level(lvl);
    return add_sink(make_stdout(color && !json), pattern, lvl, json);
}

LoggerFactory& LoggerFactory::add_console_handler(bool color, const std::string& pattern, level max_stdout_level,
                                                  level min_level, bool json) {
    details::check_level(max_stdout_level);
    details::check_level(min_level);
    auto out = std::make_shared<MaxSinkLevel>(make_stdout(color && !json), max_stdout_level);
    auto err = make_stderr(color && !json);
    // stderr takes what stdout does not: the levels above max_stdout_level, never below min_level.
    const int above_stdout = std::min<int>(max_stdout_level + 1, spdlog::level::off);
    const auto err_level = static_cast<level>(std::max<int>(above_stdout, min_level));
    // Both sinks are made before either is added, so a failure leaves the factory unchanged.
    sinks_.reserve(sinks_.size() + 2);
    add_sink(std::move(out), pattern, min_level, json);
    return add_sink(std::move(err), pattern, err_level, json);
}

LoggerFactory& LoggerFactory::add_file_handler(const std::string& filename, const std::string& pattern, level lvl,
                                               bool overwrite, bool buffered, bool json) {
    details::check_level(lvl);
    return add_sink(open_file_sink(filename, overwrite, buffered), pattern, lvl, json);
}

LoggerFactory& LoggerFactory::add_rotating_file_handler(const std::string& filename, std::uint64_t max_size,
                                                        std::uint64_t max_files, const std::string& pattern, level lvl,
                                                        bool buffered, bool json) {
    details::check_level(lvl);
    using rotating = spdlog::sinks::rotating_file_sink_mt;
    if (max_size == 0) throw std::invalid_argument("max_size must be greater than 0");
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (max_size > std::numeric_limits<std::size_t>::max())
            throw std::invalid_argument("max_size is too large for this platform");
    }
    if (max_files > rotating::MaxFiles)
        throw std::invalid_argument("max_files must be at most " + std::to_string(rotating::MaxFiles));
    auto sink = open_file_sink(filename, false, buffered, static_cast<std::size_t>(max_size),
                               static_cast<std::size_t>(max_files));
    return add_sink(std::move(sink), pattern, lvl, json);
}

LoggerFactory& LoggerFactory::add_syslog_handler(const details::syslog_options& options, level lvl) {
    details::check_level(lvl);
    auto sink = std::make_shared<details::syslog_sink>(options);
    sink->set_level(lvl);
    sinks_.push_back(std::move(sink));
    return *this;
}

LoggerFactory& LoggerFactory::add_syslog_handler(std::shared_ptr<details::syslog_sink> sink) {
    if (!sink) throw std::invalid_argument("add_syslog_handler needs a sink");
    sinks_.push_back(std::move(sink));
    return *this;
}

LoggerFactory& LoggerFactory::set_colors(int trace, int debug, int info, int warn, int error, int critical) {
    const std::array<int, 6> colors{trace, debug, info, warn, error, critical};
    for (int code : colors) details::check_color(code);
    colors_ = colors;
    return *this;
}

std::shared_ptr<spdlog::logger> LoggerFactory::build(const std::string& name, bool make_default) {
    for (const auto& sink : sinks_) {
        auto* colored = color_sink_of(sink.get());
        if (colored == nullptr) continue;
        for (std::size_t lvl = 0; lvl < colors_.size(); ++lvl) {
            if (colors_[lvl] >= 0) details::set_level_color(*colored, static_cast<level>(lvl), colors_[lvl]);
        }
    }
    auto logger = std::make_shared<spdlog::logger>(name, sinks_.begin(), sinks_.end());
    logger->set_level(level_);
    // A buffered file's warning or worse survives a crash right after it; the rest wait for the
    // flusher (a durable file's records are all in the kernel already).
    logger->flush_on(spdlog::level::warn);
    logger->set_error_handler([name](const std::string& what) { report_error(name, what); });
    spdlog::register_or_replace(logger);
    if (make_default) LoggerRegistry::set_default(logger);
    return logger;
}

}  // namespace quillet
