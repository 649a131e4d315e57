// The ring queue's record format and the byte ring records live in.
#pragma once

#include <cstdint>
#include <cstring>

#include "ring_platform.hpp"

namespace korvo::spsc::detail {

// Every record starts with a header word:
//   fixed message:    payload length
//   variable message: k_var_bit | payload length
//   skip record:      k_skip_bit | record size (overwrite mode only; never handed out)
// In overwrite mode a second word follows: the record's own position (see overwrite_tail) and
// records are 16-byte multiples, otherwise records are 8-byte multiples.
inline constexpr u64 k_skip_bit = u64{1} << 63;
inline constexpr u64 k_var_bit = u64{1} << 62;
inline constexpr u64 k_len_mask = k_var_bit - 1;
// The ring may not exceed this many bytes (keeps 2x the ring and every header field in range).
inline constexpr u64 k_max_ring_bytes = u64{1} << 56;

constexpr u64 round_up(u64 v, u64 to) noexcept { return (v + to - 1) & ~(to - 1); }

// The byte ring and the queue's modes: set once in the constructor, read by both sides, on its
// own line so no write disturbs it.
//
// Positions are monotonic 64-bit byte counts (2^64 bytes is half a century at 10 GB/s), so
// head - tail is the exact fill level: full and empty need no spare slot and no wrap bit.
// Each side also keeps its position's offset in the ring and wraps it with a compare: that
// keeps `capacity` exactly what the caller asked for (no rounding up to a power of two, which
// could double the memory and change when the queue reports full) without a division per
// message. Only the rare paths that jump to a position the other side chose use a modulo.
struct alignas(k_line) byte_ring {
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

    u64 word_at(u64 off) const noexcept {
        u64 w;
        std::memcpy(&w, ring_ + off, sizeof w);
        return w;
    }
    void put_word(u64 off, u64 w) const noexcept { std::memcpy(ring_ + off, &w, sizeof w); }

    u64 record_bytes(u64 hdr) const noexcept {
        if ((hdr & k_skip_bit) != 0) return hdr & ~k_skip_bit;
        if ((hdr & k_var_bit) != 0) return round_up(header_ + (hdr & k_len_mask), header_);
        return stride_;
    }
    u64 wrap(u64 off) const noexcept { return off >= ring_bytes_ ? off - ring_bytes_ : off; }
};

}  // namespace korvo::spsc::detail
