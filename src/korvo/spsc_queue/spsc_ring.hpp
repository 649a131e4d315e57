// korvo::spsc::ring_queue: the lock-free single-producer/single-consumer message ring behind
// korvo's queue type. Header-only, pure C++20 standard library, no Python in here.
//
// This header is the ring's contract and layout; the mechanics sit in detail/: ring_platform
// (barriers, the sleep-flag handshake), ring_records (record format, byte ring), and the two
// tails, ring_plain_tail and ring_overwrite_tail, behind one interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "detail/ring_overwrite_tail.hpp"
#include "detail/ring_plain_tail.hpp"
#include "detail/ring_platform.hpp"
#include "detail/ring_records.hpp"
#include "korvo/spsc_queue_results.hpp"

namespace korvo::spsc {

// The ring returns the public result codes themselves (korvo/spsc_queue_results.hpp).
using spsc_queue::k_full;
using spsc_queue::k_nothing_held;
using spsc_queue::k_ok;
using spsc_queue::k_stopped;
using spsc_queue::k_taken;
using spsc_queue::k_too_large;
using spsc_queue::k_wake;
using spsc_queue::k_wrong_family;

// ring_queue: one producer thread, one consumer thread, any number of observers.
//
// Two families of messages share one byte ring of capacity x stride bytes, stride being one
// slot: a header (8 bytes; 16 in overwrite mode) plus slot_size, rounded up to 8 (16):
//  * fixed family (push/pop/try_pop): every message takes one slot, so exactly `capacity`
//    messages of up to slot_size bytes fit; a longer one is k_too_large.
//  * variable family (push_var/pop_var/try_pop_var): a message takes a header plus its length,
//    rounded up, so `capacity` messages of slot_size bytes always fit and more shorter ones do;
//    anything up to max_var_size() = ring_bytes() - header fits once the ring is empty, longer
//    is k_too_large.
// A record that starts near the end of the ring runs on into a mirror area behind it (the
// allocation is 2 x ring_bytes; only the part records actually spill into is ever touched), so
// every message is one contiguous span, nothing is wasted at the wrap and a message always fits
// in an empty ring. Drive a queue through one family: a pop of the other family returns
// k_wrong_family and hands nothing out.
//
// Zero-length messages are valid: taken with size 0 and a non-null pointer. Payload pointers
// handed out are 8-byte aligned.
//
// zerocopy=true: pops return a pointer into the ring. The message keeps its ring space until the
//   consumer lets go of it: release() after pop(); for try_pop/pop_var/try_pop_var at the
//   consumer's next call (release() works for those too). A held message counts against the
//   capacity.
// zerocopy=false: pops copy the message into a consumer-owned buffer (allocated here, big enough
//   for the largest message) and free its ring space at once, so a full queue's producer can
//   go on sooner. The pointer stays valid until release() or the consumer's next call.
// Calling a pop again without release() releases the previous message first.
//
// When full: overwrite=true drops the oldest unread messages (counted in dropped()) until the
//   new one fits; it never waits, and it never writes into the message the consumer holds (it
//   steps around it). block_on_full=true (ignored with overwrite) makes push wait for room: a
//   short spin, then a futex sleep until the consumer frees space or stop(). Neither: k_full.
//
// Waiting and waking: pop/pop_var wait while the queue is empty (spin, then sleep on a futex
// that a push signals only when the consumer announced it is going to sleep). try_pop* never
// waits: finding the queue empty arms a wake-up request and the next push_wake/push_var_wake
// returns k_wake once, so the caller can wake a consumer sleeping on its own primitive (event
// fd, semaphore). Plain push/push_var leave the request for a later push_wake. Taking a message
// disarms it. poll/poll_var never wait and never arm: a consumer polls while it expects more
// soon, and try_pops once before it sleeps.
//
// stop() (any thread): afterwards pushes return k_stopped, a producer blocked on a full queue
// returns k_stopped, and pops hand out what is still queued and then return k_stopped instead
// of waiting or reporting empty. A push racing with stop() may still store its message.
class alignas(detail::k_line) ring_queue {
    using u64 = detail::u64;

public:
    // Throws std::invalid_argument for slot_size or capacity of 0 or when the ring would exceed
    // 2^56 bytes, std::bad_alloc when the memory is not there. Memory: 2 x ring_bytes() of
    // address space for the ring (pages past the first ring_bytes() are only touched by variable
    // records that run over the end), plus max_var_size() for the copy buffer without zerocopy.
    // Large rings get (transparent) huge pages where the platform offers them; see allocate_ring.
    ring_queue(std::size_t slot_size, std::size_t capacity, bool overwrite, bool zerocopy, bool block_on_full) {
        using namespace detail;
        if (slot_size == 0 || capacity == 0) {
            throw std::invalid_argument("ring_queue: slot_size and capacity must be positive");
        }
        const u64 header = overwrite ? 16 : 8;
        if (slot_size > k_max_ring_bytes) throw std::invalid_argument("ring_queue: slot_size too large");
        const u64 stride = round_up(header + slot_size, header);
        if (capacity > k_max_ring_bytes / stride) {
            throw std::invalid_argument("ring_queue: slot_size x capacity too large");
        }
        const u64 ring_bytes = stride * capacity;
        if (2 * ring_bytes > std::numeric_limits<std::size_t>::max()) {
            throw std::invalid_argument("ring_queue: slot_size x capacity too large for this platform");
        }
        const auto allocation = static_cast<std::size_t>(2 * ring_bytes);
        ring_ =
            std::unique_ptr<char, detail::ring_free>(detail::allocate_ring(allocation), detail::ring_free{allocation});
        if (!zerocopy) {
            scratch_.reset(static_cast<char*>(
                ::operator new(static_cast<std::size_t>(ring_bytes - header), std::align_val_t{k_line})));
        }
        cfg_.ring_ = ring_.get();
        cfg_.scratch_ = scratch_.get();
        cfg_.ring_bytes_ = ring_bytes;
        cfg_.header_ = header;
        cfg_.stride_ = stride;
        cfg_.slot_size_ = slot_size;
        cfg_.capacity_ = capacity;
        cfg_.max_var_size_ = ring_bytes - header;
        cfg_.overwrite_ = overwrite;
        cfg_.zerocopy_ = zerocopy;
        cfg_.block_on_full_ = block_on_full && !overwrite;
        cfg_.asymmetric_ = heavy_barrier_available();
        prod_.limit_ = ring_bytes;
    }

    ring_queue(const ring_queue&) = delete;
    ring_queue& operator=(const ring_queue&) = delete;

    // ---- producer thread only ----

    // Fixed family. k_ok stored, else k_full / k_too_large / k_stopped.
    [[nodiscard]] int push(const char* data, std::size_t size) noexcept { return push_impl(data, size, false, false); }
    // Fixed family. k_wake stored and the consumer must be woken, k_ok stored, or negative.
    [[nodiscard]] int push_wake(const char* data, std::size_t size) noexcept {
        return push_impl(data, size, false, true);
    }
    // Variable family, same results as push.
    [[nodiscard]] int push_var(const char* data, std::size_t size) noexcept {
        return push_impl(data, size, true, false);
    }
    // Variable family, same results as push_wake.
    [[nodiscard]] int push_var_wake(const char* data, std::size_t size) noexcept {
        return push_impl(data, size, true, true);
    }

    // ---- consumer thread only ----

    // Fixed family; waits while empty. k_taken (message held until release()), k_stopped,
    // k_wrong_family.
    [[nodiscard]] int pop(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, false, pop_mode::wait);
    }
    // Lets go of the message handed out by the last pop*/try_pop*; its pointer is invalid
    // afterwards. k_ok, or k_nothing_held.
    [[nodiscard]] int release() noexcept {
        if (!cons_.holding_) return k_nothing_held;
        end_hold();
        return k_ok;
    }
    // Fixed family; never waits. k_taken (valid until the consumer's next call), k_ok empty
    // (wake-up armed), k_stopped, k_wrong_family.
    [[nodiscard]] int try_pop(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, false, pop_mode::arm);
    }
    // Variable family; waits while empty. k_taken (valid until the consumer's next call),
    // k_stopped, k_wrong_family.
    [[nodiscard]] int pop_var(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, true, pop_mode::wait);
    }
    // Variable family; never waits. Results as try_pop.
    [[nodiscard]] int try_pop_var(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, true, pop_mode::arm);
    }
    // As try_pop / try_pop_var, but an empty queue leaves the wake-up as it was: for a consumer
    // that looks again soon (a busy loop between messages, a short poll before it sleeps), so the
    // producer neither pays for the request nor sends a wake-up nobody waits for.
    [[nodiscard]] int poll(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, false, pop_mode::poll);
    }
    [[nodiscard]] int poll_var(const char** data, std::size_t* size) noexcept {
        return pop_impl(data, size, true, pop_mode::poll);
    }

    // ---- any thread ----

    // Stops the queue and wakes a consumer waiting in pop*/a producer blocked on full. Returns
    // k_wake when a consumer had armed a wake-up through an empty try_pop* (wake it as for
    // push_wake), else k_ok. Not [[nodiscard]]: a caller with no wake-up primitive of its own
    // has nothing to do with k_wake.
    int stop() noexcept {
        csig_.stopped_.store(true, std::memory_order_seq_cst);
        const int result = csig_.wake_armed_.take() ? k_wake : k_ok;
        csig_.asleep_.wake();
        psig_.asleep_.wake();
        return result;
    }
    bool stopped() const noexcept { return csig_.stopped_.load(std::memory_order_acquire); }

    // Messages queued and not yet taken (a held message is not counted). Exact when both sides
    // are idle, approximate while they run.
    std::size_t size() const noexcept {
        const u64 gone = cons_.popped_.load(std::memory_order_relaxed) + prod_.dropped_.load(std::memory_order_relaxed);
        const u64 in = prod_.pushed_.load(std::memory_order_relaxed);
        return in > gone ? static_cast<std::size_t>(in - gone) : 0;
    }
    std::size_t slot_size() const noexcept { return static_cast<std::size_t>(cfg_.slot_size_); }
    std::size_t capacity() const noexcept { return static_cast<std::size_t>(cfg_.capacity_); }
    // The byte ring both families share: capacity x stride.
    std::size_t ring_bytes() const noexcept { return static_cast<std::size_t>(cfg_.ring_bytes_); }
    // Longest push_var payload: ring_bytes() minus one header.
    std::size_t max_var_size() const noexcept { return static_cast<std::size_t>(cfg_.max_var_size_); }
    bool overwrite() const noexcept { return cfg_.overwrite_; }
    bool zerocopy() const noexcept { return cfg_.zerocopy_; }
    bool block_on_full() const noexcept { return cfg_.block_on_full_; }

    // Counters, relaxed: messages stored, taken, dropped by overwrite, and consumer wake-ups the
    // producer requested (k_wake results plus futex wakes of a sleeping pop).
    std::uint64_t pushed() const noexcept { return prod_.pushed_.load(std::memory_order_relaxed); }
    std::uint64_t popped() const noexcept { return cons_.popped_.load(std::memory_order_relaxed); }
    std::uint64_t dropped() const noexcept { return prod_.dropped_.load(std::memory_order_relaxed); }
    std::uint64_t wakeups_requested() const noexcept { return prod_.wakeups_.load(std::memory_order_relaxed); }

private:
    using plain_tail = detail::plain_tail<ring_queue>;
    using overwrite_tail = detail::overwrite_tail<ring_queue>;
    friend plain_tail;
    friend overwrite_tail;

    // ---------------------------------------------------------------- producer side

    int push_impl(const char* data, std::size_t size, bool var, bool wake) noexcept {
        using namespace detail;
        u64 rec;
        if (var) {
            if (size > cfg_.max_var_size_) return k_too_large;
            rec = round_up(cfg_.header_ + size, cfg_.header_);
        } else {
            if (size > cfg_.slot_size_) return k_too_large;
            rec = cfg_.stride_;
        }
        if (csig_.stopped_.load(std::memory_order_relaxed)) return k_stopped;
        if (prod_.pos_ + rec > prod_.limit_) {
            const int room =
                cfg_.overwrite_ ? overwrite_tail::make_room(*this, rec) : plain_tail::make_room(*this, rec);
            if (room != k_ok) return room;
        }
        if (size != 0) std::memcpy(cfg_.ring_ + prod_.off_ + cfg_.header_, data, size);
        cfg_.put_word(prod_.off_, var ? (k_var_bit | size) : u64{size});
        if (cfg_.overwrite_) cfg_.put_word(prod_.off_ + 8, prod_.pos_);
        advance_producer(rec);
        // Publish, then take the flags down: the changing side of the sleep-flag handshake.
        publish_head();
        bump(prod_.pushed_);
        int result = k_ok;
        if (wake && csig_.wake_armed_.take()) {
            bump(prod_.wakeups_);
            result = k_wake;
        }
        if (csig_.asleep_.wake()) bump(prod_.wakeups_);
        return result;
    }

    // Makes the pushed records visible, ordered before the producer's following flag loads: by a
    // compiler fence paired with the sleeper's heavy barrier, or else by a seq_cst store.
    void publish_head() noexcept {
        if (cfg_.asymmetric_) {
            pub_head_.value_.store(prod_.pos_, std::memory_order_release);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            pub_head_.value_.store(prod_.pos_, std::memory_order_seq_cst);
        }
    }

    void advance_producer(u64 by) noexcept {
        prod_.pos_ += by;
        prod_.off_ = cfg_.wrap(prod_.off_ + by);
    }

    // ---------------------------------------------------------------- consumer side

    // What a pop does when the queue is empty: sleep until a message comes, arm the wake-up
    // request and report empty, or only report empty.
    enum class pop_mode { wait, arm, poll };

    int pop_impl(const char** data, std::size_t* size, bool var, pop_mode mode) noexcept {
        end_hold();
        for (;;) {
            u64 off = 0;
            u64 len = 0;
            const int claimed =
                cfg_.overwrite_ ? overwrite_tail::claim(*this, var, off, len) : plain_tail::claim(*this, var, off, len);
            if (claimed == k_taken) {
                deliver(off, len, data, size);
                return k_taken;
            }
            if (claimed != k_ok) return claimed;
            if (mode == pop_mode::wait) {
                if (!wait_for_message()) return k_stopped;
                continue;
            }
            if (csig_.stopped_.load(std::memory_order_acquire)) {
                if (drained_after_stop()) return k_stopped;
                continue;
            }
            if (mode == pop_mode::poll) return k_ok;
            // Arm the wake-up, then re-check: either this sees the new message or that push takes
            // the flag and returns k_wake.
            csig_.wake_armed_.raise(cfg_.asymmetric_);
            cons_.armed_ = true;
            if (!empty(std::memory_order_seq_cst)) continue;
            if (csig_.stopped_.load(std::memory_order_seq_cst)) {
                if (drained_after_stop()) return k_stopped;
                continue;
            }
            return k_ok;
        }
    }

    bool empty(std::memory_order order) const noexcept {
        const u64 next = cfg_.overwrite_ ? overwrite_tail::next_unread(*this) : plain_tail::next_unread(*this);
        return pub_head_.value_.load(order) == next;
    }

    // Returns false when the queue is stopped and empty.
    bool wait_for_message() noexcept {
        return detail::spin_then_sleep(
                   csig_.asleep_, cfg_.asymmetric_, [this](std::memory_order order) { return !empty(order); },
                   [this](std::memory_order order) { return csig_.stopped_.load(order); }) ||
               !drained_after_stop();
    }

    // Called once the stop flag has been seen (by an acquire load or stronger). The look that found
    // the queue empty came before that load, and the producer may have pushed and then stopped in
    // between: look again, now that every push made before stop() is visible, so that what was
    // queued is handed out before k_stopped.
    bool drained_after_stop() const noexcept { return empty(std::memory_order_acquire); }

    void deliver(u64 off, u64 len, const char** data, std::size_t* size) noexcept {
        prefetch_next(cfg_.header_ + len);
        detail::bump(cons_.popped_);
        if (cons_.armed_) {
            csig_.wake_armed_.lower();
            cons_.armed_ = false;
        }
        if (cfg_.zerocopy_) {
            *data = cfg_.ring_ + off;
        } else {
            if (len != 0) std::memcpy(cfg_.scratch_, cfg_.ring_ + off, static_cast<std::size_t>(len));
            free_taken();
            *data = cfg_.scratch_;
        }
        *size = static_cast<std::size_t>(len);
        cons_.holding_ = true;
    }

    // A consumer behind a fast producer reads records written long ago, out of the caches when
    // the ring is large: ask for the next one (assumed the size of this one) while the caller is
    // busy with this one. Only a published record: touching lines the producer is still writing
    // would pull them away from it.
    void prefetch_next(u64 guess) const noexcept {
        if (cons_.pos_ >= cons_.cached_head_) return;
        const char* next = cfg_.ring_ + cons_.off_;
        const u64 bytes = guess < detail::k_prefetch_limit ? guess : detail::k_prefetch_limit;
        for (u64 at = 0; at < bytes; at += 64) detail::prefetch(next + at);
    }

    void end_hold() noexcept {
        if (!cons_.holding_) return;
        cons_.holding_ = false;
        if (cfg_.zerocopy_) free_taken();  // in copy mode the space was freed when copied
    }

    void free_taken() noexcept {
        if (cfg_.overwrite_) {
            overwrite_tail::free_taken(*this);
        } else {
            plain_tail::free_taken(*this);
        }
    }

    // ---------------------------------------------------------------- layout
    //
    // One cache line per part, each written by one side only (the tail, with overwrite, by both),
    // in the order the hot paths touch them.

    // Written by the producer per message, read by the consumer when its cached copy runs out.
    struct alignas(detail::k_line) published_head {
        std::atomic<u64> value_{0};  // end of the last published record
    };
    // Producer-private (counters are read by observers).
    struct alignas(detail::k_line) producer_state {
        u64 pos_ = 0;                   // next write position
        u64 off_ = 0;                   // pos_ within the ring
        u64 limit_ = 0;                 // writes may go up to here without looking at the consumer
        u64 hold_cache_pos_ = ~u64{0};  // overwrite: last held record seen, and its size
        u64 hold_cache_bytes_ = 0;
        std::atomic<u64> pushed_{0};
        std::atomic<u64> dropped_{0};
        std::atomic<u64> wakeups_{0};
    };
    // Written by the consumer (and, with overwrite, the producer), read by the producer when its
    // limit runs out.
    struct alignas(detail::k_line) published_tail {
        // Without overwrite: end of the space the consumer has finished with. With overwrite: the
        // tail word described at detail::overwrite_tail.
        std::atomic<u64> value_{0};
        std::atomic<u64> hold_{0};  // overwrite: position of the record the consumer claimed last
    };
    // Consumer-private (popped_ is read by observers).
    struct alignas(detail::k_line) consumer_state {
        u64 pos_ = 0;          // next read position (overwrite: a hint, the producer may drop past it)
        u64 off_ = 0;          // pos_ within the ring
        u64 cached_head_ = 0;  // last head seen
        u64 held_pos_ = 0;     // overwrite: last record claimed, its size and offset
        u64 held_bytes_ = 0;
        u64 held_off_ = 0;
        u64 parked_hdr_ = 0;  // overwrite: header of a claimed record of the other family
        bool parked_ = false;
        bool holding_ = false;  // a message was handed out and not yet let go
        bool armed_ = false;    // this side raised wake_armed_ and has taken nothing since
        std::atomic<u64> popped_{0};
    };
    // Consumer-facing flags: read by the producer after every push, written rarely.
    struct alignas(detail::k_line) consumer_signals {
        std::atomic<bool> stopped_{false};
        detail::sleep_flag asleep_;      // a pop is (about to be) asleep on this futex
        detail::sleep_flag wake_armed_;  // an empty try_pop* asked for a k_wake
    };
    // Producer-facing flag: read by the consumer after freeing space in block_on_full mode.
    struct alignas(detail::k_line) producer_signals {
        detail::sleep_flag asleep_;  // a push is (about to be) asleep on this futex
    };

    static_assert(std::atomic<u64>::is_always_lock_free);
    static_assert(alignof(detail::byte_ring) == detail::k_line && sizeof(detail::byte_ring) == detail::k_line);
    static_assert(alignof(published_head) == detail::k_line && sizeof(published_head) == detail::k_line);
    static_assert(alignof(producer_state) == detail::k_line && sizeof(producer_state) == detail::k_line);
    static_assert(alignof(published_tail) == detail::k_line && sizeof(published_tail) == detail::k_line);
    static_assert(alignof(consumer_state) == detail::k_line && sizeof(consumer_state) == detail::k_line);
    static_assert(alignof(consumer_signals) == detail::k_line && sizeof(consumer_signals) == detail::k_line);
    static_assert(alignof(producer_signals) == detail::k_line && sizeof(producer_signals) == detail::k_line);

    detail::byte_ring cfg_;  // the ring's geometry and modes, read-only after construction
    published_head pub_head_;
    producer_state prod_;
    published_tail pub_tail_;
    consumer_state cons_;
    consumer_signals csig_;
    producer_signals psig_;
    std::unique_ptr<char, detail::ring_free> ring_;
    std::unique_ptr<char, detail::aligned_free> scratch_;
};

static_assert(alignof(ring_queue) == detail::k_line);

}  // namespace korvo::spsc
