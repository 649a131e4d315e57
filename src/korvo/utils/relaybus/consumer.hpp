// The consumer thread of a SyncDispatcher and its four loops.
//
// The consumer thread never touches the dispatcher object: it runs a consumer_job that owns
// references to the queue and the callback and shares the consumer_thread (running flag, the
// native duplicates of the wake-up socket, the thread's lifecycle) with the dispatcher. So a
// detached consumer may outlive close() and the dispatcher itself without reading freed
// memory, and a push racing with close() can only ever send on a handle that is still open:
// duplicates are closed when the last of dispatcher and thread lets go of the state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/ref.hpp"
#include "korvo/spsc_queue.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {

enum class loop_kind { try_pop, try_pop_var, pop, pop_var };

// The qualified name a loop's failures are reported under.
const char* loop_context(loop_kind kind) noexcept;

class consumer_thread;
using consumer_ptr = std::shared_ptr<consumer_thread>;

// Everything one run of a consumer loop uses; built with the interpreter lock held.
struct consumer_job {
    object queue;
    object callback;
    consumer_ptr consumer;
    platform_socket wakeup_handle = k_no_socket;
    ipv4_address wakeup_address{};
    loop_kind kind = loop_kind::try_pop;
};

// The one owner of a dispatcher's consumer thread: idle -> starting -> running -> finished.
//
// Rule: every phase change, the thread handle and what an outsider needs to stop the consumer
// are read and written under `mutex_`. It is never held while waiting or calling Python, and
// never on the hot path: the loop reads only `running`, a lone atomic. Only the owner joins,
// and only a thread that has reached `finished`. A process that did not start the thread
// (a child after fork) never touches `mutex_`: it may have been held at fork time.
class consumer_thread {
public:
    enum class phase { idle, starting, running, finished };

    std::atomic<bool> running{true};       // false after close() or once a callback raised
    std::vector<platform_socket> handles;  // every duplicate made by setup (lock held)

    consumer_thread() = default;
    consumer_thread(const consumer_thread&) = delete;
    consumer_thread& operator=(const consumer_thread&) = delete;
    ~consumer_thread();

    // True when the thread was started by another process (we are a forked child).
    bool inherited() const noexcept;
    // idle/finished -> starting; false when a consumer is starting or running. A finished
    // thread still to be joined is handed back in `finished` for the caller to join.
    bool claim(std::thread& finished);
    // starting -> idle: setup failed before a thread existed.
    void abandon();
    // starting -> running: starts the thread on `job` (detached at once when `detach`).
    // On failure (std::system_error) the phase goes back to idle.
    void launch(consumer_job job, bool detach);
    // Whether a consumer exists (starting or running).
    bool busy();
    // Stops the consumer and wakes it without the dispatcher. No interpreter lock needed.
    void stop_and_wake() noexcept;
    // Waits until the consumer has finished (up to `limit`) and hands back the thread to join,
    // if this caller is the one to join it. Called without the interpreter lock. When the
    // caller is the consumer thread itself, the thread is detached instead and it returns at
    // once: it ends after the callback returns.
    std::thread wait_finished(std::chrono::steady_clock::duration limit = std::chrono::steady_clock::duration::max());

    // Called by the consumer thread as its very last step with the state (thread state released).
    void finish() noexcept;
    // The queue goes away with the job: forget it before the consumer drops it (lock held).
    void forget_queue() noexcept;

private:
    std::mutex mutex_;
    std::condition_variable finished_cv_;
    phase phase_ = phase::idle;
    std::thread thread_;
    std::thread::id id_;
    std::atomic<long> pid_{0};
    spsc_queue::queue_object* queue_ = nullptr;  // valid while the job holds it
    platform_socket wakeup_handle_ = k_no_socket;
    ipv4_address wakeup_address_{};
};

// Runs one consumer loop on the calling native thread (which holds no Python thread state)
// until the state stops running or a callback raises.
void run_consumer(consumer_job job);

// Interpreter exit: every consumer started by this process is stopped and waited for before
// the interpreter finalises; consumers still running after that never touch Python again.
void track_consumer(const consumer_ptr& state);
void stop_all_consumers() noexcept;  // interpreter lock held
bool python_gone() noexcept;

}  // namespace korvo::relaybus
