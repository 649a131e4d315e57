// quillet::details::file_sink: the sink of the file and rotating file handlers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <spdlog/sinks/sink.h>

#include "quillet/details/export.hpp"

namespace quillet::details {

// How records reach the file.
// - durable: each record is formatted and handed to the kernel with one write before log()
//   returns; nothing waits in the process, so a kill or crash right after loses nothing.
// - buffered: records gather in a buffer of buffer_size bytes, written when it is full, on
//   flush() (a logger flushes after a warning or worse) and by the library's flushing thread.
//   A forked child discards the copy of its parent's buffer: the parent alone writes it.
enum class file_writes { durable, buffered };

// Appends formatted records to one file; with a max_size, rotates it as the rotating handler
// does. Failures are never silent: a write that fails throws from the log() or flush() that made
// it (the logger reports it through its error handler); a buffered write that fails on the
// flushing thread keeps the unwritten bytes for the next try and throws from the next log() or
// flush(); a record that finds the buffer still full of such bytes is dropped and that log()
// throws. What a buffered sink still holds at destruction is written then, or reported on
// standard error.
class QUILLET_API file_sink final : public spdlog::sinks::sink {
public:
    static constexpr std::size_t buffer_size = 64 * 1024;

    // Opens (creating missing folders) `filename`, emptied when `truncate`. max_size 0: no
    // rotation; otherwise when a record would take the file beyond max_size bytes the files shift
    // (base -> .1 -> .2 ...) and max_files old ones are kept. Throws std::ios_base::failure
    // "Failed opening file <name> for writing: <reason>".
    file_sink(std::string filename, bool truncate, file_writes writes, std::size_t max_size = 0,
              std::size_t max_files = 0);
    ~file_sink() override;
    file_sink(const file_sink&) = delete;
    file_sink& operator=(const file_sink&) = delete;

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    void set_pattern(const std::string& pattern) override;
    void set_formatter(std::unique_ptr<spdlog::formatter> sink_formatter) override;

    const std::string& filename() const noexcept;
    bool buffered() const noexcept;
    bool rotating() const noexcept;

    // For the flushing thread: writes the buffer; a failure waits for the next log() or flush().
    void flush_in_background() noexcept;
    // Around fork: the buffer is written and the sink locked before, and unlocked after; the
    // child forgets what its copy of the buffer and of a pending failure holds.
    void before_fork() noexcept;
    void after_fork(bool in_child) noexcept;

private:
    struct state;
    const std::unique_ptr<state> state_;
};

}  // namespace quillet::details
