// file_flusher: the thread that writes buffered file sinks' records to their files.
#include "file_flusher.hpp"

#include <algorithm>
#include <atomic>

#include "platform.hpp"
#include "quillet/quillet.hpp"

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
    platform::at_fork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
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
        if constexpr (platform::exit_ends_threads_first) {
            // The thread is gone or about to be, maybe holding the lock: a join would wait for
            // ever. Let go of it and its state; flush only if the lock is free.
            if (w->thread.joinable()) w->thread.detach();
            static_cast<void>(w.release());
        } else if (w->thread.joinable()) {
            w->thread.join();
        }
    }
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) flush_locked();
}

void file_flusher::watch(const std::shared_ptr<file_sink>& sink) {
    std::lock_guard lock(mutex_);
    if (!worker_) start_locked();
    sinks_.push_back(sink);
    // A fork holds every sink without allocating.
    forked_.reserve(sinks_.capacity());
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
    std::erase_if(sinks_, [](const std::weak_ptr<file_sink>& weak) {
        const std::shared_ptr<file_sink> sink = weak.lock();
        if (!sink) return true;
        sink->flush_in_background();
        return false;
    });
}

void file_flusher::before_fork() noexcept {
    file_flusher* f = g_live.load();
    if (f == nullptr) return;
    f->mutex_.lock();
    for (const auto& weak : f->sinks_) {
        if (std::shared_ptr<file_sink> sink = weak.lock()) {
            sink->before_fork();
            f->forked_.push_back(std::move(sink));
        }
    }
}

void file_flusher::after_fork_in_parent() noexcept {
    if (file_flusher* f = g_live.load()) f->after_fork(false);
}

void file_flusher::after_fork_in_child() noexcept {
    if (file_flusher* f = g_live.load()) f->after_fork(true);
}

void file_flusher::after_fork(bool in_child) noexcept {
    for (const auto& sink : forked_) sink->after_fork(in_child);
    forked_.clear();
    if (in_child && worker_) {
        (void)worker_.release();
        try {
            start_locked();
        } catch (...) {
            // No thread in this child: its buffered records reach the files when the buffers
            // fill, on a warning, or when their sinks are flushed or closed.
        }
    }
    mutex_.unlock();
}

}  // namespace quillet::details
