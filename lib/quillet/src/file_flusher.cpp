// file_flusher: the thread that writes file sinks' buffered records to their files.
#include "file_flusher.hpp"

#include <algorithm>
#include <atomic>

#include <spdlog/sinks/sink.h>

#include "quillet/quillet.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quillet::details {

namespace {
// The live flusher, for the fork handlers, which outlive it (they cannot be unregistered).
std::atomic<file_flusher*> g_live{nullptr};
}  // namespace

file_flusher& file_flusher::instance() {
    static file_flusher flusher;
    return flusher;
}

file_flusher::file_flusher() {
#if !defined(_WIN32)
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
#endif
    g_live.store(this);
}

file_flusher::~file_flusher() {
    g_live.store(nullptr);
    std::unique_ptr<worker> w;
    {
        std::lock_guard lock(mutex_);
        w = std::move(worker_);
    }
    if (w) {
        w->stop.set();
#if defined(_WIN32)
        // At process exit Windows ends every other thread before a DLL's static destructors run
        // (under the loader lock): a join would wait for ever, and the worker may have died
        // holding the lock. Let go of the thread and its state; flush only if the lock is free.
        if (w->thread.joinable()) w->thread.detach();
        static_cast<void>(w.release());
#else
        if (w->thread.joinable()) w->thread.join();
#endif
    }
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) flush_locked();
}

void file_flusher::watch(const spdlog::sink_ptr& sink) {
    std::lock_guard lock(mutex_);
    if (!worker_) start_locked();
    sinks_.push_back(sink);
}

void file_flusher::flush_all() noexcept {
    std::lock_guard lock(mutex_);
    flush_locked();
}

void file_flusher::start_locked() {
    auto w = std::make_unique<worker>();
    w->thread = std::thread(&file_flusher::run, this, w.get());
    worker_ = std::move(w);
}

void file_flusher::run(worker* self) noexcept {
    while (!self->stop.wait_for(file_flush_interval)) {
        std::lock_guard lock(mutex_);
        flush_locked();
    }
}

void file_flusher::flush_locked() noexcept {
    std::erase_if(sinks_, [](const std::weak_ptr<spdlog::sinks::sink>& weak) {
        const spdlog::sink_ptr sink = weak.lock();
        if (!sink) return true;
        try {
            sink->flush();
        } catch (...) {
            // A file that cannot be flushed now fails the next write, which reports it through
            // its logger's error handler; this thread has no one to tell.
        }
        return false;
    });
}

void file_flusher::before_fork() noexcept {
    if (file_flusher* f = g_live.load()) f->mutex_.lock();
}

void file_flusher::after_fork_in_parent() noexcept {
    if (file_flusher* f = g_live.load()) f->mutex_.unlock();
}

void file_flusher::after_fork_in_child() noexcept {
    file_flusher* f = g_live.load();
    if (f == nullptr) return;
    if (f->worker_) {
        (void)f->worker_.release();
        try {
            f->start_locked();
        } catch (...) {
            // No thread in this child: its records below warn reach the files when their sinks
            // are flushed or closed.
        }
    }
    f->mutex_.unlock();
}

}  // namespace quillet::details
