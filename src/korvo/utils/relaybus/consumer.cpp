// The consumer loops: pop without the lock, deliver in short batches with it.
#include "consumer.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "common/errors.hpp"
#include "korvo/spsc_queue.hpp"
#include "state.hpp"

namespace korvo::relaybus {
namespace {

using spsc_queue::k_taken;

constexpr const char* k_context[] = {
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__try_pop",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__try_pop_var",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__pop",
    "korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__pop_var",
};

// Messages handed to Python per lock acquisition at most: taking the lock costs about as much
// as a trivial callback, so a consumer that finds more work ready keeps it for a short run.
// Python threads still get the lock at the interpreter's switch interval, since the callbacks
// run bytecode.
constexpr int k_batch = 64;

// Calls the callback with one message; the lock is held. False when delivery must end (the
// callback raised, or the bytes object could not be made); that is reported as unraisable.
bool deliver(PyObject* callback, const char* data, std::size_t size, loop_kind kind) {
    object message = object::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    object result = message ? object::steal(PyObject_CallOneArg(callback, message.ptr())) : object{};
    if (result) return true;
    report_unraisable(loop_context(kind));
    return false;
}

bool variable_family(loop_kind kind) noexcept { return kind == loop_kind::try_pop_var || kind == loop_kind::pop_var; }

// A pop that neither waits nor arms the wake-up: for a consumer that looks again soon.
int poll_once(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue, bool var, const char** data,
              std::size_t* size) {
    return var ? ops.poll_var(queue, data, size) : ops.poll(queue, data, size);
}

// An empty try_pop arms the queue's wake-up, which costs the consumer a process-wide barrier
// and the producer a datagram. A producer in mid-stream refills the queue within microseconds,
// so poll for a few rounds before committing to sleep on the socket.
constexpr int k_idle_rounds = 32;

// The wake-up loops' first pop: poll while a producer may be mid-stream, then try_pop once,
// which arms the wake-up and re-checks the queue (a push from then on returns k_wake and sends a
// datagram). Still empty: sleep on the socket until a datagram comes and report no message; the
// loop checks `running` and comes back.
int take_or_sleep(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue, const consumer_job& job,
                  const char** data, std::size_t* size) noexcept {
    const bool var = variable_family(job.kind);
    int result = poll_once(ops, queue, var, data, size);
    for (int i = 0; result == spsc_queue::k_ok && i < k_idle_rounds; ++i) {
        if (!job.consumer->running.load(std::memory_order_relaxed)) return result;
        std::this_thread::yield();
        result = poll_once(ops, queue, var, data, size);
    }
    if (result == k_taken) return result;
    result = var ? ops.try_pop_var(queue, data, size) : ops.try_pop(queue, data, size);
    if (result != k_taken) wakeup::receive(job.wakeup_handle);
    return result;
}

// The first pop of a delivery run: the wake-up loops as above, the queue-wait loops wait in
// the queue itself.
int take_first(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue, const consumer_job& job,
               const char** data, std::size_t* size) noexcept {
    switch (job.kind) {
        case loop_kind::try_pop:
        case loop_kind::try_pop_var:
            return take_or_sleep(ops, queue, job, data, size);
        case loop_kind::pop:
            return ops.pop(queue, data, size);
        case loop_kind::pop_var:
            return ops.pop_var(queue, data, size);
    }
    return spsc_queue::k_stopped;
}

// Leaves a job without the interpreter: its references are kept for good, since dropping
// them needs a lock that may never come (the interpreter is finalising).
void abandon_job(consumer_job& job) noexcept {
    static_cast<void>(job.callback.release());
    static_cast<void>(job.queue.release());
}

}  // namespace

const char* loop_context(loop_kind kind) noexcept { return k_context[static_cast<int>(kind)]; }

// ---- consumer_thread
consumer_thread::~consumer_thread() {
    if (thread_.joinable()) thread_.detach();  // only a forgotten thread of a failed teardown
    for (platform_socket handle : handles) wakeup::close(handle);
}

bool consumer_thread::inherited() const noexcept {
    const long pid = pid_.load(std::memory_order_acquire);
    return pid != 0 && pid != current_process_id();
}

bool consumer_thread::claim(std::thread& finished) {
    std::lock_guard lock(mutex_);
    if (phase_ == phase::starting || phase_ == phase::running) return false;
    finished = std::move(thread_);
    phase_ = phase::starting;
    return true;
}

void consumer_thread::abandon() {
    {
        std::lock_guard lock(mutex_);
        phase_ = phase::idle;
    }
    finished_cv_.notify_all();
}

void consumer_thread::launch(consumer_job job, bool detach) {
    std::lock_guard lock(mutex_);
    queue_ = as_queue(job.queue.ptr());
    wakeup_handle_ = job.wakeup_handle;
    wakeup_address_ = job.wakeup_address;
    try {
        // A failed start drops the job here, under the mutex: its references are never the
        // last ones (the dispatcher holds both), so that runs no Python code.
        thread_ = std::thread([job = std::move(job)]() mutable {
            consumer_ptr owner = job.consumer;
            run_consumer(std::move(job));
            owner->finish();
        });
    } catch (...) {
        phase_ = phase::idle;
        queue_ = nullptr;
        finished_cv_.notify_all();
        throw;
    }
    id_ = thread_.get_id();
    pid_.store(current_process_id(), std::memory_order_release);
    if (detach) thread_.detach();
    phase_ = phase::running;
}

bool consumer_thread::busy() {
    std::lock_guard lock(mutex_);
    return phase_ == phase::starting || phase_ == phase::running;
}

void consumer_thread::stop_and_wake() noexcept {
    running.store(false, std::memory_order_seq_cst);
    std::lock_guard lock(mutex_);
    if (phase_ != phase::running) return;
    if (queue_ != nullptr) queue_ops().stop(queue_);
    if (wakeup_handle_ != k_no_socket) wakeup::send(wakeup_handle_, wakeup_address_);
}

std::thread consumer_thread::wait_finished(std::chrono::steady_clock::duration limit) {
    std::unique_lock lock(mutex_);
    if (phase_ == phase::running && id_ == std::this_thread::get_id()) {
        if (thread_.joinable()) thread_.detach();  // never join yourself
        return {};
    }
    auto done = [&] { return phase_ != phase::starting && phase_ != phase::running; };
    if (limit == std::chrono::steady_clock::duration::max())
        finished_cv_.wait(lock, done);
    else if (!finished_cv_.wait_for(lock, limit, done))
        return {};
    // Whoever comes first takes the thread; later callers find it empty.
    return phase_ == phase::finished ? std::move(thread_) : std::thread{};
}

void consumer_thread::finish() noexcept {
    {
        std::lock_guard lock(mutex_);
        phase_ = phase::finished;
        queue_ = nullptr;
    }
    finished_cv_.notify_all();
}

void consumer_thread::forget_queue() noexcept {
    std::lock_guard lock(mutex_);
    queue_ = nullptr;
}

// ---- the loop
// The thread keeps one thread state for its whole life and takes the lock only to deliver.
void run_consumer(consumer_job job) {
    if (python_gone()) return abandon_job(job);
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* tstate = PyEval_SaveThread();
    bool with_python = true;
    {
        const auto& ops = queue_ops();
        auto* queue = as_queue(job.queue.ptr());
        PyObject* callback = job.callback.ptr();
        consumer_thread& state = *job.consumer;
        const bool var = variable_family(job.kind);
        const bool release_after = job.kind == loop_kind::pop;
        const char* data = nullptr;
        std::size_t size = 0;
        bool delivering = true;
        while (delivering && state.running.load(std::memory_order_seq_cst)) {
            if (take_first(ops, queue, job, &data, &size) != k_taken) continue;
            if (python_gone()) {
                with_python = false;
                break;
            }
            PyEval_RestoreThread(tstate);
            for (int n = 0;;) {
                if (!deliver(callback, data, size, job.kind)) {
                    // The failed message stays unreleased, and delivery ends for good: a later
                    // setup() starts a consumer that ends at once, as after close().
                    state.running.store(false, std::memory_order_seq_cst);
                    delivering = false;
                    break;
                }
                if (release_after) ops.release(queue);
                if (++n == k_batch || !state.running.load(std::memory_order_seq_cst)) break;
                // More work ready? Take it without waiting, still holding the lock; an empty
                // queue is left unarmed, the next round decides whether to sleep.
                if (poll_once(ops, queue, var, &data, &size) != k_taken) break;
            }
            PyEval_SaveThread();
        }
    }
    if (!with_python || python_gone()) return abandon_job(job);
    PyEval_RestoreThread(tstate);
    job.consumer->forget_queue();
    job.callback.reset();
    job.queue.reset();
    consumer_ptr state = std::move(job.consumer);
    PyGILState_Release(gil);
    // `state` goes last, without the lock: it may close the socket duplicates.
}

// ---- interpreter exit
namespace {

// The registry of this process's consumers: touched only under g_registry_mutex, held only by a
// thread with an attached thread state and never across a call that could detach it. So no
// thread holds it when os.fork() runs: the fork waits for every attached thread to reach a safe
// point (the interpreter lock on the default build, a stop of the world on the free-threaded one).
std::mutex g_registry_mutex;
std::vector<std::weak_ptr<consumer_thread>> g_registry;
std::atomic<bool> g_python_gone{false};

// How long exit waits for consumers to finish, all together: a callback that does not return
// within it must not hold the process forever. Consumers still running after it leave
// without Python.
constexpr auto k_exit_wait = std::chrono::seconds(5);

// Stops every consumer in `live` and waits for them all, up to k_exit_wait. No interpreter lock.
void stop_and_wait(const std::vector<consumer_ptr>& live) noexcept {
    for (const consumer_ptr& state : live) state->stop_and_wake();
    const auto deadline = std::chrono::steady_clock::now() + k_exit_wait;
    for (const consumer_ptr& state : live) {
        const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{});
        std::thread finished = state->wait_finished(left);
        if (finished.joinable()) finished.join();
    }
}

}  // namespace

void track_consumer(const consumer_ptr& state) {
    std::lock_guard lock(g_registry_mutex);
    std::erase_if(g_registry, [](const std::weak_ptr<consumer_thread>& w) { return w.expired(); });
    g_registry.push_back(state);
}

// Interpreter lock held on entry; released while the consumers are waited for.
void stop_all_consumers() noexcept {
    std::vector<consumer_ptr> live;
    {
        std::lock_guard lock(g_registry_mutex);
        for (const auto& weak : g_registry)
            if (consumer_ptr state = weak.lock(); state && !state->inherited()) live.push_back(std::move(state));
        g_registry.clear();
    }
    Py_BEGIN_ALLOW_THREADS
    stop_and_wait(live);
    Py_END_ALLOW_THREADS
    g_python_gone.store(true, std::memory_order_seq_cst);
    // The states may be the last references; dropping them closes socket duplicates only.
}

bool python_gone() noexcept { return g_python_gone.load(std::memory_order_seq_cst); }

}  // namespace korvo::relaybus
