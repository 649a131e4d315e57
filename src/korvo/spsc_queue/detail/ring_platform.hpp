// The ring queue's platform layer: cache-line size, CPU pause, the process-wide barrier and the
// sleep-flag handshake both waiting sides use.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__linux__) && !defined(KORVO_SPSC_SYMMETRIC_BARRIERS)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvo::spsc::detail {

using u64 = std::uint64_t;

// Each side's hot fields sit on their own line. 128 rather than 64: x86 prefetches lines in
// adjacent pairs and Apple/Neoverse cores use 128-byte lines, so 64 still lets the two sides
// disturb each other. (std::hardware_destructive_interference_size says 64 and makes GCC warn
// about ABI stability when used in a header.)
inline constexpr std::size_t k_line = 128;

// Polls before a waiting side goes to sleep: a few microseconds, enough to ride out the other
// side's usual gap between messages without paying for a futex round trip.
inline constexpr int k_spin_rounds = 256;

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

// The sleep-flag handshake. The side that may wait raises the flag, then re-checks its
// condition, and only then sleeps; the other side first changes the condition, then takes the
// flag down. Each side's store is ordered before its following load (Dekker), so either the
// re-check sees the change or the other side sees the flag: a wake-up is never lost.
// With `asymmetric` the raising side pays for both orderings with heavy_barrier() and the
// changing side needs only a compiler fence after its store (see publish_head); otherwise both
// use seq_cst.
class sleep_flag {
public:
    // Waiting side, before its re-check.
    void raise(bool asymmetric) noexcept {
        if (asymmetric) {
            raised_.store(1, std::memory_order_relaxed);
            heavy_barrier();
        } else {
            raised_.store(1, std::memory_order_seq_cst);
        }
    }
    // Waiting side: the re-check found what it waited for, or it gave up.
    void lower() noexcept { raised_.store(0, std::memory_order_relaxed); }
    // Waiting side: sleeps until the flag is taken down (returns at once if it already is).
    void sleep() noexcept { raised_.wait(1, std::memory_order_acquire); }

    // Changing side, after its change: true once per raise. The plain load first keeps the
    // common case (nobody waiting) free of a locked instruction.
    bool take() noexcept {
        return raised_.load(std::memory_order_seq_cst) != 0 && raised_.exchange(0, std::memory_order_seq_cst) != 0;
    }
    // take(), and wake the side sleeping on the flag. True when there was one to wake.
    bool wake() noexcept {
        if (!take()) return false;
        raised_.notify_one();
        return true;
    }

private:
    std::atomic<std::uint32_t> raised_{0};
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(sleep_flag) == sizeof(std::uint32_t));

// The waiting side's loop: a short spin, then sleep_flag rounds until ready(order) or
// stopped(order) holds. True when ready, false when stopped first.
template <class Ready, class Stopped>
bool spin_then_sleep(sleep_flag& flag, bool asymmetric, Ready&& ready, Stopped&& stopped) noexcept {
    for (int i = 0; i < k_spin_rounds; ++i) {
        if (ready(std::memory_order_acquire)) return true;
        if (stopped(std::memory_order_acquire)) return false;  // acquire: callers look again after it
        cpu_relax();
    }
    for (;;) {
        flag.raise(asymmetric);
        if (ready(std::memory_order_seq_cst)) {
            flag.lower();
            return true;
        }
        if (stopped(std::memory_order_seq_cst)) {
            flag.lower();
            return false;
        }
        flag.sleep();
    }
}

// The most a consumer prefetches of its next record: a few KiB covers every usual message
// without flooding the cache with a huge one.
inline constexpr u64 k_prefetch_limit = 4096;

inline void prefetch(const char* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 0, 3);
#else
    static_cast<void>(p);
#endif
}

struct aligned_free {
    void operator()(char* p) const noexcept { ::operator delete(p, std::align_val_t{k_line}); }
};

// Ring memory. A large ring is mapped on its own, aligned to and rounded up to huge pages and
// marked for transparent huge pages: a producer's first pass then faults once per 2 MiB rather
// than once per 4 KiB page, and a consumer reading records written long ago misses the TLB far
// less. Nothing is touched in advance: untouched pages still cost no memory. Elsewhere (no
// mmap/madvise, or a small ring) it is ordinary aligned heap memory.
#if defined(__linux__)
inline constexpr std::size_t k_huge_page = std::size_t{2} << 20;
inline constexpr std::size_t k_huge_ring_threshold = std::size_t{4} << 20;

inline std::size_t mapped_bytes(std::size_t bytes) noexcept { return (bytes + k_huge_page - 1) & ~(k_huge_page - 1); }

// Throws std::bad_alloc.
inline char* allocate_ring(std::size_t bytes) {
    if (bytes < k_huge_ring_threshold) return static_cast<char*>(::operator new(bytes, std::align_val_t{k_line}));
    const std::size_t length = mapped_bytes(bytes);
    if (length < bytes || length + k_huge_page < length) throw std::bad_alloc();
    // Map one huge page more than needed and trim both ends to a huge-page boundary.
    void* raw = ::mmap(nullptr, length + k_huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + k_huge_page - 1) & ~std::uintptr_t{k_huge_page - 1};
    if (aligned != start) ::munmap(raw, aligned - start);
    const std::size_t tail = k_huge_page - (aligned - start);
    if (tail != 0) ::munmap(reinterpret_cast<char*>(aligned + length), tail);
    auto* ring = reinterpret_cast<char*>(aligned);
    static_cast<void>(::madvise(ring, length, MADV_HUGEPAGE));  // a hint: refused, the ring still works
    return ring;
}

struct ring_free {
    std::size_t bytes = 0;
    void operator()(char* p) const noexcept {
        if (bytes < k_huge_ring_threshold)
            ::operator delete(p, std::align_val_t{k_line});
        else
            ::munmap(p, mapped_bytes(bytes));
    }
};
#else
inline char* allocate_ring(std::size_t bytes) {
    return static_cast<char*>(::operator new(bytes, std::align_val_t{k_line}));
}

struct ring_free {
    std::size_t bytes = 0;
    void operator()(char* p) const noexcept { ::operator delete(p, std::align_val_t{k_line}); }
};
#endif

}  // namespace korvo::spsc::detail
