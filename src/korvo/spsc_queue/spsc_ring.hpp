// korvo::spsc::ring_queue: the lock-free single-producer/single-consumer message ring behind
// korvo's queue type. Header-only, pure C++20 standard library, no Python in here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "korvo/spsc_queue_results.hpp"

#if defined(__linux__) && !defined(KORVO_SPSC_SYMMETRIC_BARRIERS)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

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

namespace detail {

using u64 = std::uint64_t;

// Each side's hot fields sit on their own line. 128 rather than 64: x86 prefetches lines in
// adjacent pairs and Apple/Neoverse cores use 128-byte lines, so 64 still lets the two sides
// disturb each other. (std::hardware_destructive_interference_size says 64 and makes GCC warn
// about ABI stability when used in a header.)
inline constexpr std::size_t k_line = 128;

// Every record starts with a header word:
//   fixed message:    payload length
//   variable message: k_var_bit | payload length
//   skip record:      k_skip_bit | record size (overwrite mode only; never handed out)
// In overwrite mode a second word follows: the record's own position (see make_room_overwriting)
// and records are 16-byte multiples, otherwise records are 8-byte multiples.
inline constexpr u64 k_skip_bit = u64{1} << 63;
inline constexpr u64 k_var_bit = u64{1} << 62;
inline constexpr u64 k_len_mask = k_var_bit - 1;
// The ring may not exceed this many bytes (keeps 2x the ring and every header field in range).
inline constexpr u64 k_max_ring_bytes = u64{1} << 56;

// Overwrite mode: tail word = position | flags (positions are multiples of 16).
//   no hold_form:           position = next unread record
//   hold_form + held:       the consumer holds the record at hold_; position = where unread
//                           records resume unless the held record reaches further
//   hold_form, not held:    released; same positions, waiting to be folded back into plain form
// gen flips on every claim, so a hold-form value is never reused by the next hold (no ABA).
inline constexpr u64 k_held_bit = 1;
inline constexpr u64 k_hold_form_bit = 2;
inline constexpr u64 k_gen_bit = 4;
inline constexpr u64 k_flag_mask = 7;

// Polls before a waiting side goes to sleep: a few microseconds, enough to ride out the other
// side's usual gap between messages without paying for a futex round trip.
inline constexpr int k_spin_rounds = 256;

constexpr u64 round_up(u64 v, u64 to) noexcept { return (v + to - 1) & ~(to - 1); }

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#endif
}

// Counters have a single writer, so a plain load+store keeps them exact without a locked op.
inline void bump(std::atomic<u64>& counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Asymmetric store-load barrier for the wake-up protocol. Every push must order its publish of
// head before its look at the sleep flags, and a consumer about to sleep must order its flag
// before its re-check of head (Dekker). A seq_cst store would cost the producer a locked
// instruction per message; instead the side about to sleep, which is rare and about to make a
// system call anyway, runs a process-wide barrier (Linux membarrier) that makes every running
// thread of the process pass a full fence, so the producer only needs a compiler fence.
// Where that is unavailable both sides fall back to seq_cst.
// KORVO_SPSC_SYMMETRIC_BARRIERS forces the fallback, so it is tested where membarrier exists.
#if defined(__linux__) && !defined(KORVO_SPSC_SYMMETRIC_BARRIERS)
inline bool heavy_barrier_available() noexcept {
    static const bool registered = ::syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return registered;
}
inline void heavy_barrier() noexcept { ::syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }
#else
inline bool heavy_barrier_available() noexcept { return false; }
inline void heavy_barrier() noexcept {}
#endif

struct aligned_free {
    void operator()(char* p) const noexcept { ::operator delete (p, std::align_val_t{k_line}); }
};

}  // namespace detail

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
// disarms it.
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
        ring_.reset(
            static_cast<char*>(::operator new (static_cast<std::size_t>(2 * ring_bytes), std::align_val_t{k_line})));
        if (!zerocopy) {
            scratch_.reset(static_cast<char*>(
                ::operator new (static_cast<std::size_t>(ring_bytes - header), std::align_val_t{k_line})));
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
    int push(const char* data, std::size_t size) noexcept { return push_impl(data, size, false, false); }
    // Fixed family. k_wake stored and the consumer must be woken, k_ok stored, or negative.
    int push_wake(const char* data, std::size_t size) noexcept { return push_impl(data, size, false, true); }
    // Variable family, same results as push.
    int push_var(const char* data, std::size_t size) noexcept { return push_impl(data, size, true, false); }
    // Variable family, same results as push_wake.
    int push_var_wake(const char* data, std::size_t size) noexcept { return push_impl(data, size, true, true); }

    // ---- consumer thread only ----

    // Fixed family; waits while empty. k_taken (message held until release()), k_stopped,
    // k_wrong_family.
    int pop(const char** data, std::size_t* size) noexcept { return pop_impl(data, size, false, true); }
    // Lets go of the message handed out by the last pop*/try_pop*; its pointer is invalid
    // afterwards. k_ok, or k_nothing_held.
    int release() noexcept {
        if (!cons_.holding_) return k_nothing_held;
        end_hold();
        return k_ok;
    }
    // Fixed family; never waits. k_taken (valid until the consumer's next call), k_ok empty
    // (wake-up armed), k_stopped, k_wrong_family.
    int try_pop(const char** data, std::size_t* size) noexcept { return pop_impl(data, size, false, false); }
    // Variable family; waits while empty. k_taken (valid until the consumer's next call),
    // k_stopped, k_wrong_family.
    int pop_var(const char** data, std::size_t* size) noexcept { return pop_impl(data, size, true, true); }
    // Variable family; never waits. Results as try_pop.
    int try_pop_var(const char** data, std::size_t* size) noexcept { return pop_impl(data, size, true, false); }

    // ---- any thread ----

    // Stops the queue and wakes a consumer waiting in pop*/a producer blocked on full. Returns
    // k_wake when a consumer had armed a wake-up through an empty try_pop* (wake it as for
    // push_wake), else k_ok.
    int stop() noexcept {
        csig_.stopped_.store(true, std::memory_order_seq_cst);
        int result = k_ok;
        if (csig_.wake_armed_.load(std::memory_order_seq_cst) != 0 &&
            csig_.wake_armed_.exchange(0, std::memory_order_seq_cst) != 0) {
            result = k_wake;
        }
        if (csig_.asleep_.load(std::memory_order_seq_cst) != 0 &&
            csig_.asleep_.exchange(0, std::memory_order_seq_cst) != 0) {
            csig_.asleep_.notify_one();
        }
        if (psig_.asleep_.load(std::memory_order_seq_cst) != 0 &&
            psig_.asleep_.exchange(0, std::memory_order_seq_cst) != 0) {
            psig_.asleep_.notify_one();
        }
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
    // Positions are monotonic 64-bit byte counts (2^64 bytes is half a century at 10 GB/s), so
    // head - tail is the exact fill level: full and empty need no spare slot and no wrap bit.
    // Each side also keeps its position's offset in the ring and wraps it with a compare: that
    // keeps `capacity` exactly what the caller asked for (no rounding up to a power of two, which
    // could double the memory and change when the queue reports full) without a division per
    // message. Only the rare paths that jump to a position the other side chose use a modulo.

    u64 word_at(u64 off) const noexcept {
        u64 w;
        std::memcpy(&w, cfg_.ring_ + off, sizeof w);
        return w;
    }
    void put_word(u64 off, u64 w) noexcept { std::memcpy(cfg_.ring_ + off, &w, sizeof w); }

    u64 record_bytes(u64 hdr) const noexcept {
        using namespace detail;
        if ((hdr & k_skip_bit) != 0) return hdr & ~k_skip_bit;
        if ((hdr & k_var_bit) != 0) return round_up(cfg_.header_ + (hdr & k_len_mask), cfg_.header_);
        return cfg_.stride_;
    }
    u64 wrap(u64 off) const noexcept { return off >= cfg_.ring_bytes_ ? off - cfg_.ring_bytes_ : off; }

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
            const int room = make_room(rec);
            if (room != k_ok) return room;
        }
        if (size != 0) std::memcpy(cfg_.ring_ + prod_.off_ + cfg_.header_, data, size);
        put_word(prod_.off_, var ? (k_var_bit | size) : u64{size});
        if (cfg_.overwrite_) put_word(prod_.off_ + 8, prod_.pos_);
        advance_producer(rec);
        // Publish, then look at the sleep flags: the store-load (Dekker) pairing with a consumer
        // that sets a flag and then re-reads head (announce()), so a wake-up is never lost.
        publish_head();
        bump(prod_.pushed_);
        int result = k_ok;
        if (wake && csig_.wake_armed_.load(std::memory_order_seq_cst) != 0 &&
            csig_.wake_armed_.exchange(0, std::memory_order_seq_cst) != 0) {
            bump(prod_.wakeups_);
            result = k_wake;
        }
        if (csig_.asleep_.load(std::memory_order_seq_cst) != 0 &&
            csig_.asleep_.exchange(0, std::memory_order_seq_cst) != 0) {
            bump(prod_.wakeups_);
            csig_.asleep_.notify_one();
        }
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

    // The consumer raises a sleep flag, ordered before its re-check of head (pairs with
    // publish_head()).
    void announce(std::atomic<std::uint32_t>& flag) noexcept {
        if (cfg_.asymmetric_) {
            flag.store(1, std::memory_order_relaxed);
            detail::heavy_barrier();
        } else {
            flag.store(1, std::memory_order_seq_cst);
        }
    }

    void advance_producer(u64 by) noexcept {
        prod_.pos_ += by;
        prod_.off_ = wrap(prod_.off_ + by);
    }

    // The cached limit said no room for `rec` bytes: refresh it, then drop, wait or fail.
    int make_room(u64 rec) noexcept {
        if (cfg_.overwrite_) return make_room_overwriting(rec);
        prod_.limit_ = pub_tail_.value_.load(std::memory_order_acquire) + cfg_.ring_bytes_;
        if (prod_.pos_ + rec <= prod_.limit_) return k_ok;
        if (!cfg_.block_on_full_) return k_full;
        return wait_for_room(rec);
    }

    int wait_for_room(u64 rec) noexcept {
        using namespace detail;
        for (int i = 0; i < k_spin_rounds; ++i) {
            cpu_relax();
            prod_.limit_ = pub_tail_.value_.load(std::memory_order_acquire) + cfg_.ring_bytes_;
            if (prod_.pos_ + rec <= prod_.limit_) return k_ok;
            if (csig_.stopped_.load(std::memory_order_relaxed)) return k_stopped;
        }
        for (;;) {
            // Announce the sleep, then re-check: pairs with free_taken()/stop().
            psig_.asleep_.store(1, std::memory_order_seq_cst);
            prod_.limit_ = pub_tail_.value_.load(std::memory_order_seq_cst) + cfg_.ring_bytes_;
            if (prod_.pos_ + rec <= prod_.limit_) {
                psig_.asleep_.store(0, std::memory_order_relaxed);
                return k_ok;
            }
            if (csig_.stopped_.load(std::memory_order_seq_cst)) {
                psig_.asleep_.store(0, std::memory_order_relaxed);
                return k_stopped;
            }
            psig_.asleep_.wait(1, std::memory_order_acquire);
        }
    }

    // Overwrite mode. Both sides move the tail word, always by CAS (or fetch_and), so each record
    // is either taken or dropped, never both:
    //  * the producer drops the oldest unread record by moving the position past it;
    //  * the consumer claims the oldest record by a single CAS that only flips it into hold form,
    //    having written the record's position to hold_ just before. Reading no header first
    //    keeps the race window to one cache-line round trip, so a producer overwriting flat out
    //    cannot starve the consumer;
    //  * while the consumer holds a record the producer drops the records behind it instead
    //    (moving the hold-form position) and never writes a byte of the held record, header
    //    included: when its next write would reach the held record's image one or more laps on,
    //    it publishes a skip record over any gap before the image and then steps over the image
    //    without writing it. The consumer later recognises that stale spot because every record
    //    carries its own position in its second header word;
    //  * release is one fetch_and; whichever side comes next folds the released form back.
    // Returns k_ok with limit_ set, or k_full if the message cannot fit beside the held one.
    int make_room_overwriting(u64 rec) noexcept {
        using namespace detail;
        const u64 ring = cfg_.ring_bytes_;
        auto& tail = pub_tail_.value_;
        for (;;) {
            const u64 head = prod_.pos_;
            u64 w = tail.load(std::memory_order_acquire);
            const u64 at = w & ~k_flag_mask;
            if ((w & k_hold_form_bit) == 0) {
                if (head + rec <= at + ring) {
                    prod_.limit_ = at + ring;
                    return k_ok;
                }
                drop_at(w, at, w & k_gen_bit);  // at < head here because rec <= ring
                continue;
            }
            // The hold_ store preceded the claim CAS, so this load shows that hold or a later one. A
            // later one means w is stale: every CAS below then fails, and the limit and the step over
            // an image computed from it stay on the safe side (the consumer announces a new hold only
            // after letting go of the last one, and resumes no earlier than `after`).
            const u64 held = pub_tail_.hold_.load(std::memory_order_acquire);
            const u64 held_bytes = held_record_bytes(held);
            const u64 after = std::max(at, held + held_bytes);
            if ((w & k_held_bit) == 0) {
                tail.compare_exchange_strong(w, after | (w & k_gen_bit), std::memory_order_acq_rel,
                                             std::memory_order_acquire);
                continue;
            }
            // First image of the held record, a whole number of laps on, not yet passed (the producer
            // never stops inside one).
            const u64 image = held + ((head - (held + held_bytes)) / ring + 1) * ring;
            const u64 limit = std::min(after + ring, image);
            if (head + rec <= limit) {
                prod_.limit_ = limit;
                return k_ok;
            }
            const bool step_over = head + rec > image;
            if (step_over && held_bytes + rec > ring) return k_full;
            // What must be free now: the record, or the header of the skip record before the image
            // (stepping over the image itself writes nothing).
            const u64 need = !step_over ? head + rec : head < image ? head + cfg_.header_ : head;
            if (need > after + ring) {
                drop_at(w, after, w & k_flag_mask);  // after < head: unread records behind the hold
                continue;
            }
            if (head < image) {
                put_word(prod_.off_, k_skip_bit | (image - head));
                put_word(prod_.off_ + 8, head);
            }
            advance_producer(image - head + held_bytes);
            publish_head();
            // The step may run past after + ring (by at most the held record); the next round
            // drops behind the hold until the new record fits.
        }
    }

    // Drops the record at `pos` (oldest unread) by moving the tail word's position past it,
    // keeping `flags`; a lost race just means the caller reloads.
    void drop_at(u64 w, u64 pos, u64 flags) noexcept {
        const u64 off = pos % cfg_.ring_bytes_;
        const u64 hdr = word_at(off);
        const bool message = word_at(off + 8) == pos && (hdr & detail::k_skip_bit) == 0;
        if (pub_tail_.value_.compare_exchange_strong(w, (pos + record_bytes(hdr)) | flags, std::memory_order_acq_rel,
                                                     std::memory_order_acquire) &&
            message) {
            detail::bump(prod_.dropped_);
        }
    }

    // Size of the record the consumer holds at `pos`. The producer has not written there since
    // (its limit stops at the first image), so the header is intact; cached per hold.
    u64 held_record_bytes(u64 pos) noexcept {
        if (pos != prod_.hold_cache_pos_) {
            prod_.hold_cache_pos_ = pos;
            prod_.hold_cache_bytes_ = record_bytes(word_at(pos % cfg_.ring_bytes_));
        }
        return prod_.hold_cache_bytes_;
    }

    // ---------------------------------------------------------------- consumer side

    int pop_impl(const char** data, std::size_t* size, bool var, bool wait) noexcept {
        end_hold();
        for (;;) {
            u64 off = 0;
            u64 len = 0;
            const int claimed = cfg_.overwrite_ ? claim_contended(var, off, len) : claim(var, off, len);
            if (claimed == k_taken) {
                deliver(off, len, data, size);
                return k_taken;
            }
            if (claimed != k_ok) return claimed;
            if (wait) {
                if (!wait_for_message()) return k_stopped;
                continue;
            }
            if (csig_.stopped_.load(std::memory_order_acquire)) return k_stopped;
            // Arm the wake-up, then re-check: either this sees the new message or that push sees the
            // flag and returns k_wake.
            announce(csig_.wake_armed_);
            cons_.armed_ = true;
            if (!empty(std::memory_order_seq_cst)) continue;
            if (csig_.stopped_.load(std::memory_order_seq_cst)) return k_stopped;
            return k_ok;
        }
    }

    // Next record the consumer would take (overwrite: as the tail word says right now).
    u64 next_unread() const noexcept {
        if (!cfg_.overwrite_) return cons_.pos_;
        const u64 w = pub_tail_.value_.load(std::memory_order_acquire);
        const u64 at = w & ~detail::k_flag_mask;
        if ((w & detail::k_hold_form_bit) == 0) return at;
        return std::max(at, cons_.held_pos_ + cons_.held_bytes_);
    }
    bool empty(std::memory_order order) const noexcept { return pub_head_.value_.load(order) == next_unread(); }

    // Returns false when the queue is stopped and empty.
    bool wait_for_message() noexcept {
        using namespace detail;
        for (int i = 0; i < k_spin_rounds; ++i) {
            if (!empty(std::memory_order_acquire)) return true;
            if (csig_.stopped_.load(std::memory_order_relaxed)) return false;
            cpu_relax();
        }
        for (;;) {
            // Announce the sleep, then re-check: pairs with push_impl()/stop().
            announce(csig_.asleep_);
            if (!empty(std::memory_order_seq_cst)) {
                csig_.asleep_.store(0, std::memory_order_relaxed);
                return true;
            }
            if (csig_.stopped_.load(std::memory_order_seq_cst)) {
                csig_.asleep_.store(0, std::memory_order_relaxed);
                return false;
            }
            csig_.asleep_.wait(1, std::memory_order_acquire);
        }
    }

    // Without overwrite only the consumer moves tail, and only once it is done with the space, so
    // the next record is read in place. k_taken, k_ok (empty), k_wrong_family.
    int claim(bool var, u64& off, u64& len) noexcept {
        using namespace detail;
        if (cons_.pos_ == cons_.cached_head_) {
            cons_.cached_head_ = pub_head_.value_.load(std::memory_order_acquire);
            if (cons_.pos_ == cons_.cached_head_) return k_ok;
        }
        const u64 hdr = word_at(cons_.off_);
        if (((hdr & k_var_bit) != 0) != var) return k_wrong_family;
        len = hdr & k_len_mask;
        off = cons_.off_ + cfg_.header_;
        cons_.pos_ += record_bytes(hdr);
        cons_.off_ = wrap(cons_.off_ + record_bytes(hdr));
        return k_taken;
    }

    // Overwrite mode, see make_room_overwriting. A record claimed for a pop of the wrong family
    // stays claimed (so it cannot be dropped from under a later pop of its own family) and is
    // handed out by that pop.
    int claim_contended(bool var, u64& off, u64& len) noexcept {
        using namespace detail;
        if (cons_.parked_) {
            if (((cons_.parked_hdr_ & k_var_bit) != 0) != var) return k_wrong_family;
            cons_.parked_ = false;
            len = cons_.parked_hdr_ & k_len_mask;
            off = cons_.held_off_ + cfg_.header_;
            return k_taken;
        }
        auto& tail = pub_tail_.value_;
        u64 w = tail.load(std::memory_order_acquire);
        for (;;) {
            if ((w & k_hold_form_bit) != 0) {
                // This side's last hold, released but not folded back yet.
                const u64 after = std::max(w & ~k_flag_mask, cons_.held_pos_ + cons_.held_bytes_);
                tail.compare_exchange_strong(w, after | (w & k_gen_bit), std::memory_order_acq_rel,
                                             std::memory_order_acquire);
                continue;
            }
            const u64 at = w & ~k_flag_mask;
            if (at >= cons_.cached_head_) {
                cons_.cached_head_ = pub_head_.value_.load(std::memory_order_acquire);
                if (at == cons_.cached_head_) return k_ok;
            }
            // Release, not just published by the CAS below: a producer holding a stale tail word may
            // read this and take it as proof the previous hold is over, and then writes there.
            pub_tail_.hold_.store(at, std::memory_order_release);
            const u64 claimed = at | k_hold_form_bit | k_held_bit | ((w & k_gen_bit) ^ k_gen_bit);
            if (!tail.compare_exchange_strong(w, claimed, std::memory_order_acq_rel, std::memory_order_acquire)) {
                continue;  // dropped under us; w is fresh, try its new oldest record
            }
            // The record at `at` is ours; the producer will not touch it until released.
            const u64 at_off = at == cons_.pos_ ? cons_.off_ : at % cfg_.ring_bytes_;
            const u64 hdr = word_at(at_off);
            const u64 bytes = record_bytes(hdr);
            cons_.held_pos_ = at;
            cons_.held_bytes_ = bytes;
            cons_.held_off_ = at_off;
            cons_.pos_ = at + bytes;
            cons_.off_ = wrap(at_off + bytes);
            if (word_at(at_off + 8) != at || (hdr & k_skip_bit) != 0) {
                // A skip record, or the stale spot of an earlier held record the producer stepped over
                // (its header names another position): let go and go on.
                w = tail.fetch_and(~k_held_bit, std::memory_order_acq_rel) & ~k_held_bit;
                continue;
            }
            if (((hdr & k_var_bit) != 0) != var) {
                cons_.parked_ = true;
                cons_.parked_hdr_ = hdr;
                return k_wrong_family;
            }
            len = hdr & k_len_mask;
            off = at_off + cfg_.header_;
            return k_taken;
        }
    }

    void deliver(u64 off, u64 len, const char** data, std::size_t* size) noexcept {
        detail::bump(cons_.popped_);
        if (cons_.armed_) {
            csig_.wake_armed_.store(0, std::memory_order_relaxed);
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

    void end_hold() noexcept {
        if (!cons_.holding_) return;
        cons_.holding_ = false;
        if (cfg_.zerocopy_) free_taken();  // in copy mode the space was freed when copied
    }

    // The consumer is done with the ring space of the message it took last.
    void free_taken() noexcept {
        if (cfg_.overwrite_) {
            pub_tail_.value_.fetch_and(~detail::k_held_bit, std::memory_order_acq_rel);
        } else if (cfg_.block_on_full_) {
            // seq_cst store, then load: pairs with wait_for_room()'s announce-then-recheck.
            pub_tail_.value_.store(cons_.pos_, std::memory_order_seq_cst);
            if (psig_.asleep_.load(std::memory_order_seq_cst) != 0 &&
                psig_.asleep_.exchange(0, std::memory_order_seq_cst) != 0) {
                psig_.asleep_.notify_one();
            }
        } else {
            pub_tail_.value_.store(cons_.pos_, std::memory_order_release);
        }
    }

    // ---------------------------------------------------------------- data

    // Set once in the constructor, read by both sides: its own line so no write disturbs it.
    struct alignas(detail::k_line) settings {
        char* ring_ = nullptr;     // 2 x ring_bytes_; the upper half only takes records' overhang
        char* scratch_ = nullptr;  // copy mode: max_var_size_ bytes the pops copy into
        u64 ring_bytes_ = 0;
        u64 header_ = 8;  // header bytes, also the record size granularity
        u64 stride_ = 0;
        u64 slot_size_ = 0;
        u64 capacity_ = 0;
        u64 max_var_size_ = 0;
        bool overwrite_ = false;
        bool zerocopy_ = false;
        bool block_on_full_ = false;
        bool asymmetric_ = false;  // heavy_barrier() works: publish head without a locked instruction
    };
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
        // tail word described at make_room_overwriting.
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
        bool armed_ = false;    // this side set wake_armed_ and has taken nothing since
        std::atomic<u64> popped_{0};
    };
    // Consumer-facing flags: read by the producer after every push, written rarely.
    struct alignas(detail::k_line) consumer_signals {
        std::atomic<bool> stopped_{false};
        std::atomic<std::uint32_t> asleep_{0};      // a pop is (about to be) asleep on this futex
        std::atomic<std::uint32_t> wake_armed_{0};  // an empty try_pop* asked for a k_wake
    };
    // Producer-facing flag: read by the consumer after freeing space in block_on_full mode.
    struct alignas(detail::k_line) producer_signals {
        std::atomic<std::uint32_t> asleep_{0};  // a push is (about to be) asleep on this futex
    };

    static_assert(std::atomic<u64>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free);
    static_assert(alignof(settings) == detail::k_line && sizeof(settings) == detail::k_line);
    static_assert(alignof(published_head) == detail::k_line && sizeof(published_head) == detail::k_line);
    static_assert(alignof(producer_state) == detail::k_line && sizeof(producer_state) == detail::k_line);
    static_assert(alignof(published_tail) == detail::k_line && sizeof(published_tail) == detail::k_line);
    static_assert(alignof(consumer_state) == detail::k_line && sizeof(consumer_state) == detail::k_line);
    static_assert(alignof(consumer_signals) == detail::k_line && sizeof(consumer_signals) == detail::k_line);
    static_assert(alignof(producer_signals) == detail::k_line && sizeof(producer_signals) == detail::k_line);

    settings cfg_;
    published_head pub_head_;
    producer_state prod_;
    published_tail pub_tail_;
    consumer_state cons_;
    consumer_signals csig_;
    producer_signals psig_;
    std::unique_ptr<char, detail::aligned_free> ring_;
    std::unique_ptr<char, detail::aligned_free> scratch_;
};

static_assert(alignof(ring_queue) == detail::k_line);

}  // namespace korvo::spsc
