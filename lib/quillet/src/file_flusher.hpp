// The library's flushing thread: what buffered file sinks hold reaches their files within
// file_flush_interval.
#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quillet/details/file_sink.hpp"
#include "stop_event.hpp"

namespace quillet::details {

// One per process, made with the first buffered file sink; its thread starts then and is
// stopped and joined when the library is unloaded (or the process exits), after a last flush.
// Sinks are held weakly: a sink goes away with its last logger whatever the flusher is doing.
//
// mutex_ guards sinks_, forked_ and worker_; it is taken before any sink's own lock. The thread
// holds it only while it flushes and sleeps on its own stop event. A fork takes it and then
// every sink's lock (writing each buffer out first), so the child inherits neither a lock held
// halfway through a write nor a copy of a buffer its parent will write too; the child, which has
// no copy of the thread, starts one of its own for the sinks it inherited.
class file_flusher {
public:
    static file_flusher& instance();
    ~file_flusher();
    file_flusher(const file_flusher&) = delete;
    file_flusher& operator=(const file_flusher&) = delete;

    // Flushes `sink` from now on. Throws std::system_error when the thread cannot be started.
    void watch(const std::shared_ptr<file_sink>& sink);
    // Flushes every live sink now, on the calling thread; failures wait for their sink's next
    // log or flush.
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
    void after_fork(bool in_child) noexcept;

    std::mutex mutex_;
    std::vector<std::weak_ptr<file_sink>> sinks_;
    std::vector<std::shared_ptr<file_sink>> forked_;  // the sinks locked across a fork
    std::unique_ptr<worker> worker_;
};

}  // namespace quillet::details
