// file_sink: records appended to a file with one write each, or through a buffer.
#include "quillet/details/file_sink.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <spdlog/common.h>
#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "quillet/details/pattern_formatter.hpp"
#include "checks.hpp"
#include "platform.hpp"

namespace quillet::details {

namespace {

std::string write_failure(const std::string& filename, const std::error_code& error, const char* consequence) {
    std::string text = "Failed writing to file " + filename + ": " + error.message();
    if (consequence != nullptr) text.append(" (").append(consequence).append(")");
    return text;
}

// Replaces `target` by `src`; false when the rename fails.
bool replace_file(const std::string& src, const std::string& target) {
    (void)spdlog::details::os::remove(target);
    return spdlog::details::os::rename(src, target) == 0;
}

}  // namespace

struct file_sink::state {
    state(std::string name, file_writes writes, std::size_t max_size, std::size_t max_files)
        : filename(std::move(name)),
          buffered(writes == file_writes::buffered),
          max_size(max_size),
          max_files(max_files) {}

    // Everything below is guarded by `mutex`; the constants need no lock.
    std::mutex mutex;
    const std::string filename;
    const bool buffered;
    const std::size_t max_size;  // 0: never rotates
    const std::size_t max_files;
    std::unique_ptr<spdlog::formatter> formatter = std::make_unique<spdlog::pattern_formatter>();
    platform::append_file file;    // closed only after a failed reopen; the next record retries
    std::uint64_t file_size = 0;   // what this sink has written to the file since opening it
    spdlog::memory_buf_t line;     // the record being written, reused
    spdlog::memory_buf_t pending;  // buffered records not yet written
    std::string failure;           // a failed write not yet reported

    void open(bool truncate) {
        (void)spdlog::details::os::create_dir(spdlog::details::os::dir_name(filename));
        if (const std::error_code error = file.open(filename, truncate))
            throw file_error("Failed opening file " + filename + " for writing: " + error.message());
        file_size = file.size();
    }

    platform::write_result write(const char* data, std::size_t size) {
        if (!file.is_open()) open(false);
        platform::write_result result = file.write(data, size);
        file_size += result.written;
        return result;
    }

    // Writes the buffer; on failure keeps the unwritten rest for the next try and notes why.
    bool drain(const char* consequence = "its records are kept for the next write") noexcept {
        if (pending.size() == 0) return true;
        platform::write_result result;
        try {
            result = write(pending.data(), pending.size());
        } catch (const std::exception& e) {
            failure = e.what();
            return false;
        }
        if (!result.error) {
            pending.clear();
            return true;
        }
        const std::size_t rest = pending.size() - result.written;
        std::memmove(pending.data(), pending.data() + result.written, rest);
        pending.resize(rest);
        failure = write_failure(filename, result.error, consequence);
        return false;
    }

    void throw_failure() {
        if (!failure.empty()) throw spdlog::spdlog_ex(std::exchange(failure, std::string()));
    }

    // When `line` would take the file beyond max_size: what the buffer holds goes to the old
    // file, then the files shift. An empty file is never rotated (a record larger than max_size
    // gets a file of its own).
    void rotate_if_full() {
        if (file_size + pending.size() + line.size() <= max_size) return;
        if (!drain()) return;  // the file takes nothing now: no reason to start another
        if (!file.is_open() || file.size() == 0) return;
        file.close();
        using names = spdlog::sinks::rotating_file_sink_mt;
        for (std::size_t i = max_files; i > 0; --i) {
            const std::string src = names::calc_filename(filename, i - 1);
            if (!spdlog::details::os::path_exists(src)) continue;
            const std::string target = names::calc_filename(filename, i);
            if (replace_file(src, target)) continue;
            // A file kept open by someone else (a virus scanner on Windows) may let go soon.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (replace_file(src, target)) continue;
            const std::string reason = std::generic_category().message(errno);
            open(true);  // the file must not grow without bound
            throw spdlog::spdlog_ex("Failed rotating file " + filename + ": renaming " + src + " to " + target + ": " +
                                    reason);
        }
        open(true);
    }

    void log(const spdlog::details::log_msg& msg) {
        if (buffered && max_size == 0 && pending.size() < buffer_size && failure.empty()) {
            // The usual buffered record: formatted straight into the buffer, which has room and
            // holds nothing that a failed write left behind.
            formatter->format(msg, pending);
            if (pending.size() >= buffer_size) drain();
            throw_failure();
            return;
        }
        line.clear();
        formatter->format(msg, line);
        if (max_size != 0) rotate_if_full();
        if (!buffered) {
            const platform::write_result result = write(line.data(), line.size());
            if (result.error) throw spdlog::spdlog_ex(write_failure(filename, result.error, nullptr));
            return;
        }
        if (pending.size() + line.size() > buffer_size) drain();
        if (pending.size() != 0 && pending.size() + line.size() > buffer_size) {
            // The buffer is full of records that the file did not take just now.
            throw spdlog::spdlog_ex(std::exchange(failure, std::string()) + "; this record found no room and is lost");
        }
        pending.append(line);
        if (pending.size() >= buffer_size) drain();
        throw_failure();
    }
};

file_sink::file_sink(std::string filename, bool truncate, file_writes writes, std::size_t max_size,
                     std::size_t max_files)
    : state_(std::make_unique<state>(std::move(filename), writes, max_size, max_files)) {
    if (state_->buffered) state_->pending.reserve(buffer_size);
    state_->open(truncate);
}

file_sink::~file_sink() {
    state& s = *state_;
    s.drain("the records it held are lost");
    // No logger is left to report to.
    if (!s.failure.empty()) std::fprintf(stderr, "[*** LOG ERROR ***] %s\n", s.failure.c_str());
}

void file_sink::log(const spdlog::details::log_msg& msg) {
    std::lock_guard lock(state_->mutex);
    state_->log(msg);
}

void file_sink::flush() {
    std::lock_guard lock(state_->mutex);
    state_->drain();
    state_->throw_failure();
}

void file_sink::set_pattern(const std::string& pattern) { set_formatter(make_pattern_formatter(pattern)); }

void file_sink::set_formatter(std::unique_ptr<spdlog::formatter> sink_formatter) {
    std::lock_guard lock(state_->mutex);
    state_->formatter = std::move(sink_formatter);
}

const std::string& file_sink::filename() const noexcept { return state_->filename; }
bool file_sink::buffered() const noexcept { return state_->buffered; }
bool file_sink::rotating() const noexcept { return state_->max_size != 0; }

void file_sink::flush_in_background() noexcept {
    std::lock_guard lock(state_->mutex);
    state_->drain();
}

void file_sink::before_fork() noexcept {
    state_->mutex.lock();
    state_->drain();
}

void file_sink::after_fork(bool in_child) noexcept {
    if (in_child) {
        state_->pending.clear();
        state_->failure.clear();
    }
    state_->mutex.unlock();
}

}  // namespace quillet::details
