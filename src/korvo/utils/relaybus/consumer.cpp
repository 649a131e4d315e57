// The consumer loops: pop without the lock, deliver in short batches with it.
#include "consumer.hpp"

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

int pop_once(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue, loop_kind kind, bool may_wait,
             const char** data, std::size_t* size) {
    const bool var = kind == loop_kind::try_pop_var || kind == loop_kind::pop_var;
    if (may_wait && (kind == loop_kind::pop || kind == loop_kind::pop_var))
        return var ? ops.pop_var(queue, data, size) : ops.pop(queue, data, size);
    return var ? ops.try_pop_var(queue, data, size) : ops.try_pop(queue, data, size);
}

// An empty try_pop arms the queue's wake-up, which costs the producer a barrier and usually
// a datagram. A producer in mid-stream refills the queue within microseconds, so look at the
// size for a few rounds before committing to sleep on the socket.
constexpr int k_idle_rounds = 32;

void wait_briefly_for_work(const spsc_queue::queue_vtable& ops, spsc_queue::queue_object* queue,
                           const consumer_state& state) noexcept {
    for (int i = 0; i < k_idle_rounds && ops.size(queue) == 0; ++i) {
        if (!state.running.load(std::memory_order_relaxed)) return;
        std::this_thread::yield();
    }
}

}  // namespace

const char* loop_context(loop_kind kind) noexcept { return k_context[static_cast<int>(kind)]; }

// The thread keeps one thread state for its whole life and takes the lock only to deliver.
void run_consumer(consumer_job job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* tstate = PyEval_SaveThread();
    {
        const auto& ops = queue_ops();
        auto* queue = as_queue(job.queue.ptr());
        PyObject* callback = job.callback.ptr();
        consumer_state& state = *job.state;
        const bool wait_for_datagram = job.kind == loop_kind::try_pop || job.kind == loop_kind::try_pop_var;
        const bool release_after = job.kind == loop_kind::pop;
        const char* data = nullptr;
        std::size_t size = 0;
        bool delivering = true;
        while (delivering && state.running.load(std::memory_order_seq_cst)) {
            if (wait_for_datagram) wait_briefly_for_work(ops, queue, state);
            if (pop_once(ops, queue, job.kind, true, &data, &size) != k_taken) {
                if (wait_for_datagram) wakeup::receive(job.wakeup_handle);
                continue;
            }
            PyEval_RestoreThread(tstate);
            for (int n = 0;;) {
                if (!deliver(callback, data, size, job.kind)) {
                    delivering = false;  // the failed message stays unreleased
                    break;
                }
                if (release_after) ops.release(queue);
                if (++n == k_batch || !state.running.load(std::memory_order_seq_cst)) break;
                // More work ready? Take it without waiting, still holding the lock. Asking the
                // queue's size first keeps an empty queue from arming a wake-up we may not need.
                if (ops.size(queue) == 0) break;
                if (pop_once(ops, queue, job.kind, false, &data, &size) != k_taken) break;
            }
            PyEval_SaveThread();
        }
    }
    PyEval_RestoreThread(tstate);
    job.callback.reset();
    job.queue.reset();
    state_ptr state = std::move(job.state);
    state->thread_alive.store(false, std::memory_order_release);
    PyGILState_Release(gil);
    // `state` goes last, without the lock: it may close the socket duplicates.
}

}  // namespace korvo::relaybus
