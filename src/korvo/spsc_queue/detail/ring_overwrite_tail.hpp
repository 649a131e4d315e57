// The ring queue's tail in overwrite mode: both sides move it.
#pragma once

#include <algorithm>
#include <atomic>

#include "ring_platform.hpp"
#include "ring_records.hpp"
#include "korvo/spsc_queue_results.hpp"

namespace korvo::spsc::detail {

// Tail word = position | flags (positions are multiples of 16).
//   no hold_form:           position = next unread record
//   hold_form + held:       the consumer holds the record at hold_; position = where unread
//                           records resume unless the held record reaches further
//   hold_form, not held:    released; same positions, waiting to be folded back into plain form
// gen flips on every claim, so a hold-form value is never reused by the next hold (no ABA).
inline constexpr u64 k_held_bit = 1;
inline constexpr u64 k_hold_form_bit = 2;
inline constexpr u64 k_gen_bit = 4;
inline constexpr u64 k_flag_mask = 7;

// Same interface as plain_tail (see there).
//
// Both sides move the tail word, always by CAS (or fetch_and), so each record is either taken
// or dropped, never both:
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
template <class Queue>
struct overwrite_tail {
    // Never k_stopped: k_ok with limit_ set, or k_full if the message cannot fit beside the held
    // one.
    static int make_room(Queue& q, u64 rec) noexcept {
        const u64 ring = q.cfg_.ring_bytes_;
        auto& tail = q.pub_tail_.value_;
        for (;;) {
            const u64 head = q.prod_.pos_;
            u64 w = tail.load(std::memory_order_acquire);
            const u64 at = w & ~k_flag_mask;
            if ((w & k_hold_form_bit) == 0) {
                if (head + rec <= at + ring) {
                    q.prod_.limit_ = at + ring;
                    return spsc_queue::k_ok;
                }
                drop_at(q, w, at, w & k_gen_bit);  // at < head here because rec <= ring
                continue;
            }
            // The hold_ store preceded the claim CAS, so this load shows that hold or a later one. A
            // later one means w is stale: every CAS below then fails, and the limit and the step over
            // an image computed from it stay on the safe side (the consumer announces a new hold only
            // after letting go of the last one, and resumes no earlier than `after`).
            const u64 held = q.pub_tail_.hold_.load(std::memory_order_acquire);
            const u64 held_bytes = held_record_bytes(q, held);
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
                q.prod_.limit_ = limit;
                return spsc_queue::k_ok;
            }
            const bool step_over = head + rec > image;
            if (step_over && held_bytes + rec > ring) return spsc_queue::k_full;
            // What must be free now: the record, or the header of the skip record before the image
            // (stepping over the image itself writes nothing).
            const u64 need = !step_over ? head + rec : head < image ? head + q.cfg_.header_ : head;
            if (need > after + ring) {
                drop_at(q, w, after, w & k_flag_mask);  // after < head: unread records behind the hold
                continue;
            }
            if (head < image) {
                q.cfg_.put_word(q.prod_.off_, k_skip_bit | (image - head));
                q.cfg_.put_word(q.prod_.off_ + 8, head);
            }
            q.advance_producer(image - head + held_bytes);
            q.publish_head();
            // The step may run past after + ring (by at most the held record); the next round
            // drops behind the hold until the new record fits.
        }
    }

    // A record claimed for a pop of the wrong family stays claimed (so it cannot be dropped from
    // under a later pop of its own family) and is handed out by that pop.
    static int claim(Queue& q, bool var, u64& off, u64& len) noexcept {
        auto& cons = q.cons_;
        if (cons.parked_) {
            if (((cons.parked_hdr_ & k_var_bit) != 0) != var) return spsc_queue::k_wrong_family;
            cons.parked_ = false;
            len = cons.parked_hdr_ & k_len_mask;
            off = cons.held_off_ + q.cfg_.header_;
            return spsc_queue::k_taken;
        }
        auto& tail = q.pub_tail_.value_;
        u64 w = tail.load(std::memory_order_acquire);
        for (;;) {
            if ((w & k_hold_form_bit) != 0) {
                // This side's last hold, released but not folded back yet.
                const u64 after = std::max(w & ~k_flag_mask, cons.held_pos_ + cons.held_bytes_);
                tail.compare_exchange_strong(w, after | (w & k_gen_bit), std::memory_order_acq_rel,
                                             std::memory_order_acquire);
                continue;
            }
            const u64 at = w & ~k_flag_mask;
            if (at >= cons.cached_head_) {
                cons.cached_head_ = q.pub_head_.value_.load(std::memory_order_acquire);
                if (at == cons.cached_head_) return spsc_queue::k_ok;
            }
            // Release, not just published by the CAS below: a producer holding a stale tail word may
            // read this and take it as proof the previous hold is over, and then writes there.
            q.pub_tail_.hold_.store(at, std::memory_order_release);
            const u64 claimed = at | k_hold_form_bit | k_held_bit | ((w & k_gen_bit) ^ k_gen_bit);
            if (!tail.compare_exchange_strong(w, claimed, std::memory_order_acq_rel, std::memory_order_acquire)) {
                continue;  // dropped under us; w is fresh, try its new oldest record
            }
            // The record at `at` is ours; the producer will not touch it until released.
            const u64 at_off = at == cons.pos_ ? cons.off_ : at % q.cfg_.ring_bytes_;
            const u64 hdr = q.cfg_.word_at(at_off);
            const u64 bytes = q.cfg_.record_bytes(hdr);
            cons.held_pos_ = at;
            cons.held_bytes_ = bytes;
            cons.held_off_ = at_off;
            cons.pos_ = at + bytes;
            cons.off_ = q.cfg_.wrap(at_off + bytes);
            if (q.cfg_.word_at(at_off + 8) != at || (hdr & k_skip_bit) != 0) {
                // A skip record, or the stale spot of an earlier held record the producer stepped over
                // (its header names another position): let go and go on.
                w = tail.fetch_and(~k_held_bit, std::memory_order_acq_rel) & ~k_held_bit;
                continue;
            }
            if (((hdr & k_var_bit) != 0) != var) {
                cons.parked_ = true;
                cons.parked_hdr_ = hdr;
                return spsc_queue::k_wrong_family;
            }
            len = hdr & k_len_mask;
            off = at_off + q.cfg_.header_;
            return spsc_queue::k_taken;
        }
    }

    static void free_taken(Queue& q) noexcept { q.pub_tail_.value_.fetch_and(~k_held_bit, std::memory_order_acq_rel); }

    // As the tail word says right now.
    static u64 next_unread(const Queue& q) noexcept {
        const u64 w = q.pub_tail_.value_.load(std::memory_order_acquire);
        const u64 at = w & ~k_flag_mask;
        if ((w & k_hold_form_bit) == 0) return at;
        return std::max(at, q.cons_.held_pos_ + q.cons_.held_bytes_);
    }

private:
    // Drops the record at `pos` (oldest unread) by moving the tail word's position past it,
    // keeping `flags`; a lost race just means the caller reloads.
    static void drop_at(Queue& q, u64 w, u64 pos, u64 flags) noexcept {
        const u64 off = pos % q.cfg_.ring_bytes_;
        const u64 hdr = q.cfg_.word_at(off);
        const bool message = q.cfg_.word_at(off + 8) == pos && (hdr & k_skip_bit) == 0;
        if (q.pub_tail_.value_.compare_exchange_strong(w, (pos + q.cfg_.record_bytes(hdr)) | flags,
                                                       std::memory_order_acq_rel, std::memory_order_acquire) &&
            message) {
            bump(q.prod_.dropped_);
        }
    }

    // Size of the record the consumer holds at `pos`. The producer has not written there since
    // (its limit stops at the first image), so the header is intact; cached per hold.
    static u64 held_record_bytes(Queue& q, u64 pos) noexcept {
        if (pos != q.prod_.hold_cache_pos_) {
            q.prod_.hold_cache_pos_ = pos;
            q.prod_.hold_cache_bytes_ = q.cfg_.record_bytes(q.cfg_.word_at(pos % q.cfg_.ring_bytes_));
        }
        return q.prod_.hold_cache_bytes_;
    }
};

}  // namespace korvo::spsc::detail
