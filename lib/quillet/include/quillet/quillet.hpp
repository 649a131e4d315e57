// quillet: korvo's native logger library on spdlog. Builds spdlog loggers from handler
// descriptions and keeps the process-wide default logger.
//
// Choices of the library, which its users may rely on:
// - Levels are spdlog's (trace 0 .. off 6). Every operation taking a level or a colour checks
//   it and throws std::invalid_argument ("9 is not a valid Level", ...) for a value out of range.
// - Records may carry key-value fields (record_fields.hpp). Pattern sinks append them after
//   the message as " key=value" pairs; JSON sinks write them as an object (details/json_formatter.hpp).
// - Console sinks are spdlog's console sinks with the console mutex (details/console_sinks.hpp):
//   with `color` the platform's colour sink (ANSI on POSIX, the console API on Windows), whose
//   colour range is coloured only when the stream is a terminal; without it the plain sink.
// - A stdout handler is a stdout sink wrapped in spdlog_internal::MaxSinkLevel, so it takes
//   records from `level` up to `max_level`. A console handler is two sinks: stdout through
//   MaxSinkLevel for min_level..max_stdout_level, and stderr for the levels above
//   max_stdout_level (and from min_level).
// - File sinks (details/file_sink.hpp) create missing parent folders. `overwrite` truncates the
//   file when the sink opens it, otherwise records are appended. A rotating file sink appends
//   to its base file, and when a record would make it exceed max_size bytes the files shift
//   (base -> .1 -> .2 ...), keeping max_files old files; max_size 0 and max_files above 200000
//   are refused (std::invalid_argument). A file that cannot be opened throws
//   std::ios_base::failure "Failed opening file <name> for writing: <reason>".
// - A file sink hands each record to the kernel with one write before the log call returns,
//   unless it was made `buffered`. A buffered sink's records reach its file without being lost
//   to its buffer: every logger built here flushes its sinks after a record at warn or above
//   (spdlog's flush_on), and one thread of the library flushes every buffered sink each
//   file_flush_interval. That thread starts with the first buffered sink and is joined, after a
//   last flush, when the library is unloaded; a child process after fork starts its own, and
//   never writes what its parent's buffers held at the fork. A buffer is also written out when
//   its sink goes away.
// - A syslog sink (details/syslog_sink.hpp) sends each record as one RFC 5424 message over UDP,
//   TCP or a Unix datagram socket, with the record's fields as structured data; records the
//   collector cannot take yet wait in a bounded queue, and what does not fit is counted and
//   reported to the collector. Loggers flush it like any sink: flush waits (bounded) until the
//   queued records are in the kernel.
// - Every logger built here reports each error of its sinks (a full disk, a file that cannot be
//   reopened) as one line on standard error, "[*** LOG ERROR #<n> ***] [<time>] [<name>] <what>",
//   none held back; the log call itself goes on.
// - set_colors takes one colour per level: -1 keeps spdlog's colour of that level, 0..255 gives
//   the level's colour range that 256-colour foreground code, on every colour console sink the
//   factory holds when build runs.
// - build registers the new logger in spdlog's registry under its name; a logger already
//   registered under that name is replaced there (whoever holds it keeps a working logger).
//   Its flag makes the new logger the default as well.
// - The default logger is the library's own, initially spdlog's default logger (a colour
//   stdout logger at level info) as it is when first asked for. set_default replaces it for
//   every thread; an empty pointer leaves no default. spdlog's global default is left alone.
//   Each replacement moves default_generation on, after the new default is in place: whoever
//   keeps the default it got together with the generation read before getting it may keep
//   using it for as long as the generation reads the same.
// - get_logger("") is the current default. For another name it is the logger spdlog's registry
//   holds under that name; when there is none, the flag selects the current default (true) or
//   an empty pointer (false).
// Only std exceptions leave the library.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/logger.h>

#include "quillet/details/export.hpp"
#include "quillet/details/max_sink_level.hpp"

namespace quillet {

namespace details {
struct syslog_options;
class syslog_sink;
}  // namespace details

// The library's version text, "major.minor.patch".
QUILLET_API const char* version() noexcept;

// Longest time a record below the flush level stays in a buffered file sink while the process runs.
inline constexpr std::chrono::milliseconds file_flush_interval{500};

// Writes what every buffered file sink made so far holds to its file, on the calling thread.
// Thread-safe; a file that cannot be flushed is left for its next log or flush to report.
QUILLET_API void flush_file_sinks() noexcept;

// A value handle on a logger: copied, assigned and read directly; empty when default-made.
struct SpdLogger {
    SpdLogger() noexcept = default;
    explicit SpdLogger(std::shared_ptr<spdlog::logger> logger) noexcept : logger(std::move(logger)) {}

    std::shared_ptr<spdlog::logger> logger;
};

// Collects a level, sinks and colours, then builds one spdlog logger from them. Every adding
// operation returns the factory. Not thread-safe: one thread builds. Sinks made here are shared
// by every logger the factory builds.
class QUILLET_API LoggerFactory {
public:
    using level = spdlog::level::level_enum;

    LoggerFactory() noexcept = default;

    // Level of the loggers built from now on (trace when never set).
    LoggerFactory& set_level(level lvl);
    // Each add_*_handler's `json` makes its sink write JSON lines (details/json_formatter.hpp)
    // instead of `pattern`, which it then ignores; a JSON console sink never colours.
    // Standard output from `lvl` up to `max_level`.
    LoggerFactory& add_stdout_handler(bool color, const std::string& pattern, level lvl, level max_level,
                                      bool json = false);
    // Standard error from `lvl`.
    LoggerFactory& add_stderr_handler(bool color, const std::string& pattern, level lvl, bool json = false);
    // Standard output from `lvl`.
    LoggerFactory& add_basic_console_handler(bool color, const std::string& pattern, level lvl, bool json = false);
    // Standard output for min_level..max_stdout_level, standard error above.
    LoggerFactory& add_console_handler(bool color, const std::string& pattern, level max_stdout_level, level min_level,
                                       bool json = false);
    // A file, truncated when `overwrite`, else appended to; each record in the kernel before the
    // log call returns, or through a buffer when `buffered` (details/file_sink.hpp).
    LoggerFactory& add_file_handler(const std::string& filename, const std::string& pattern, level lvl, bool overwrite,
                                    bool buffered = false, bool json = false);
    // A size-rotated file set, written as add_file_handler's.
    LoggerFactory& add_rotating_file_handler(const std::string& filename, std::uint64_t max_size,
                                             std::uint64_t max_files, const std::string& pattern, level lvl,
                                             bool buffered = false, bool json = false);
    // RFC 5424 syslog from `lvl` (details/syslog_sink.hpp).
    LoggerFactory& add_syslog_handler(const details::syslog_options& options, level lvl);
    // A syslog sink made before, shared with whatever loggers it already serves; its level stays.
    LoggerFactory& add_syslog_handler(std::shared_ptr<details::syslog_sink> sink);
    // Colours of trace .. critical for colour console sinks: -1 unset, 0..255 a 256-colour code.
    LoggerFactory& set_colors(int trace, int debug, int info, int warn, int error, int critical);

    // A new logger named `name` with the level and all sinks so far, flushing on warn,
    // registered in spdlog's registry (replacing one of the same name); also the default logger
    // when make_default.
    std::shared_ptr<spdlog::logger> build(const std::string& name, bool make_default);

    // What has been added so far, in order (a console handler adds two sinks).
    const std::vector<spdlog::sink_ptr>& sinks() const noexcept { return sinks_; }

private:
    LoggerFactory& add_sink(spdlog::sink_ptr sink, const std::string& pattern, level lvl, bool json);

    level level_ = spdlog::level::trace;
    std::vector<spdlog::sink_ptr> sinks_;
    std::array<int, 6> colors_{-1, -1, -1, -1, -1, -1};
};

// The process-wide default logger and lookup by name. Thread-safe.
class QUILLET_API LoggerRegistry {
public:
    // Makes `logger` the default for every thread; an empty pointer leaves no default.
    static void set_default(std::shared_ptr<spdlog::logger> logger) noexcept;
    // "" gives the current default (possibly empty). Another name gives spdlog's registered
    // logger of that name, or, when none is registered, the default (fallback_to_default) or
    // an empty pointer.
    static std::shared_ptr<spdlog::logger> get_logger(const std::string& name, bool fallback_to_default);
    // How many times set_default has run. Read it with acquire (or stronger) ordering before
    // get_logger(""), so that an unchanged count means an unchanged default.
    static const std::atomic<std::uint64_t>& default_generation() noexcept;
};

}  // namespace quillet
