// The library's flushing thread: what file sinks hold in their buffers reaches the files within
// file_flush_interval.
#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <spdlog/common.h>

#include "stop_event.hpp"

namespace quillet::details {

// One per process, made with the first file sink; its thread starts then and is stopped and
// joined when the library is unloaded (or the process exits), after a last flush. Sinks are held
// weakly: a sink goes away with its last logger whatever the flusher is doing.
//
// The thread holds mutex_ only while it flushes and sleeps on its own stop event. A fork takes
// mutex_ first, so the child never inherits a sink lock taken by the flusher halfway through a
// flush; the child, which has no copy of the thread, starts one of its own for the sinks it
// inherited.
class file_flusher {
public:
    static file_flusher& instance();
    ~file_flusher();
    file_flusher(const file_flusher&) = delete;
    file_flusher& operator=(const file_flusher&) = delete;

    // Flushes `sink` from now on. Throws std::system_error when the thread cannot be started.
    void watch(const spdlog::sink_ptr& sink);
    // Flushes every live sink now, on the calling thread.
    void flush_all() noexcept;

private:
    // What belongs to one thread: a forked child leaks its parent's copy (the thread is not
    // there to be joined, nor to release the event's lock) and makes its own.
    struct worker {
        stop_event stop;
        std::thread thread;
    };

    file_flusher();
    void start_locked();
    void run(worker* self) noexcept;
    void flush_locked() noexcept;

    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

    std::mutex mutex_;
    std::vector<std::weak_ptr<spdlog::sinks::sink>> sinks_;
    std::unique_ptr<worker> worker_;
};

}  // namespace quillet::details
