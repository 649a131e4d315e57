// The ring queue's tail without overwrite: only the consumer moves it.
#pragma once

#include <algorithm>
#include <atomic>

#include "ring_platform.hpp"
#include "ring_records.hpp"
#include "korvo/spsc_queue_results.hpp"

namespace korvo::spsc::detail {

// A tail is what ring_queue needs from its mode, all static over the queue's own fields:
//   make_room(q, rec)          producer, its cached limit has no room for `rec` bytes: k_ok with
//                              prod_.limit_ refreshed, else k_full / k_stopped
//   claim(q, var, off, len)    consumer: k_taken with the payload's offset and length, k_ok
//                              when empty, k_wrong_family
//   free_taken(q)              consumer: done with the ring space of the message taken last
//   next_unread(q)             consumer: position of the record it would take next
// The tail value is the end of the space the consumer has finished with.
// How much room a producer blocked on a full ring would like before it writes again.
inline constexpr u64 k_refill_gap = 4096;

template <class Queue>
struct plain_tail {
    static int make_room(Queue& q, u64 rec) noexcept {
        if (!q.cfg_.block_on_full_) {
            return refresh_limit(q, rec, std::memory_order_acquire) ? spsc_queue::k_ok : spsc_queue::k_full;
        }
        // A blocked producer first waits, for a bounded spin, for a stretch of room rather than one
        // record: refilling each slot the moment it is freed writes into the cache lines the
        // consumer reads next and drags them away from it. After the spin any room will do, so a
        // consumer that frees one slot and pauses still lets the push through.
        const u64 stretch = rec + std::min(k_refill_gap, (q.cfg_.ring_bytes_ - rec) / 2);
        for (int i = 0; i < k_spin_rounds; ++i) {
            if (refresh_limit(q, stretch, std::memory_order_acquire)) return spsc_queue::k_ok;
            if (q.csig_.stopped_.load(std::memory_order_relaxed)) break;
            cpu_relax();
        }
        // Raised with the heavy barrier where there is one: free_taken() then publishes the tail
        // with a plain store, the consumer's side of the handshake.
        const bool room = spin_then_sleep(
            q.psig_.asleep_, q.cfg_.asymmetric_, [&](std::memory_order order) { return refresh_limit(q, rec, order); },
            [&](std::memory_order order) { return q.csig_.stopped_.load(order); });
        return room ? spsc_queue::k_ok : spsc_queue::k_stopped;
    }

    // The consumer moves tail only once it is done with the space, so the next record is read
    // in place.
    static int claim(Queue& q, bool var, u64& off, u64& len) noexcept {
        auto& cons = q.cons_;
        if (cons.pos_ == cons.cached_head_) {
            cons.cached_head_ = q.pub_head_.value_.load(std::memory_order_acquire);
            if (cons.pos_ == cons.cached_head_) return spsc_queue::k_ok;
        }
        const u64 hdr = q.cfg_.word_at(cons.off_);
        if (((hdr & k_var_bit) != 0) != var) return spsc_queue::k_wrong_family;
        len = hdr & k_len_mask;
        off = cons.off_ + q.cfg_.header_;
        cons.pos_ += q.cfg_.record_bytes(hdr);
        cons.off_ = q.cfg_.wrap(cons.off_ + q.cfg_.record_bytes(hdr));
        return spsc_queue::k_taken;
    }

    static void free_taken(Queue& q) noexcept {
        if (q.cfg_.block_on_full_) {
            // Store, then the flag: pairs with make_room()'s raise-then-recheck. With the heavy
            // barrier on the raising side a compiler fence is enough here; a seq_cst store (a
            // locked instruction per message) only where there is none.
            if (q.cfg_.asymmetric_) {
                q.pub_tail_.value_.store(q.cons_.pos_, std::memory_order_release);
                std::atomic_signal_fence(std::memory_order_seq_cst);
            } else {
                q.pub_tail_.value_.store(q.cons_.pos_, std::memory_order_seq_cst);
            }
            q.psig_.asleep_.wake();
        } else {
            q.pub_tail_.value_.store(q.cons_.pos_, std::memory_order_release);
        }
    }

    static u64 next_unread(const Queue& q) noexcept { return q.cons_.pos_; }

private:
    static bool refresh_limit(Queue& q, u64 rec, std::memory_order order) noexcept {
        q.prod_.limit_ = q.pub_tail_.value_.load(order) + q.cfg_.ring_bytes_;
        return q.prod_.pos_ + rec <= q.prod_.limit_;
    }
};

}  // namespace korvo::spsc::detail
