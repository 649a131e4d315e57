// Shared by the ring queue tests: family-neutral push/pop helpers, the stress settings, the
// watchdog and fault log for two-thread runs, test modes and the stress payload format.
#pragma once

#include "spsc_ring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvo::spsc::ring_test {

using namespace std::chrono_literals;

// ------------------------------------------------------------------ family-neutral helpers

enum class family { fixed, variable };

inline const char* family_name(family f) { return f == family::fixed ? "fixed" : "variable"; }
inline family other(family f) { return f == family::fixed ? family::variable : family::fixed; }

struct taken_msg {
    int rc = k_ok;
    const char* data = nullptr;
    std::size_t size = 0;
    std::string str() const { return data == nullptr ? std::string() : std::string(data, size); }
};

inline int push_msg(ring_queue& q, family f, const char* data, std::size_t size) {
    return f == family::fixed ? q.push(data, size) : q.push_var(data, size);
}
inline int push_msg(ring_queue& q, family f, std::string_view m) { return push_msg(q, f, m.data(), m.size()); }
inline int push_wake_msg(ring_queue& q, family f, const char* data, std::size_t size) {
    return f == family::fixed ? q.push_wake(data, size) : q.push_var_wake(data, size);
}
inline int push_wake_msg(ring_queue& q, family f, std::string_view m) {
    return push_wake_msg(q, f, m.data(), m.size());
}
// Waits while empty.
inline taken_msg pop_msg(ring_queue& q, family f) {
    taken_msg t;
    t.rc = f == family::fixed ? q.pop(&t.data, &t.size) : q.pop_var(&t.data, &t.size);
    return t;
}
inline taken_msg try_pop_msg(ring_queue& q, family f) {
    taken_msg t;
    t.rc = f == family::fixed ? q.try_pop(&t.data, &t.size) : q.try_pop_var(&t.data, &t.size);
    return t;
}

// Never waits, and leaves the wake-up request alone.
inline taken_msg poll_msg(ring_queue& q, family f) {
    taken_msg t;
    t.rc = f == family::fixed ? q.poll(&t.data, &t.size) : q.poll_var(&t.data, &t.size);
    return t;
}

// A recognisable message: its number, then letters derived from it.
inline std::string text(std::uint64_t seq, std::size_t len) {
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; ++i) s[i] = static_cast<char>('a' + (seq * 7 + i) % 26);
    const std::string tag = std::to_string(seq) + ":";
    std::memcpy(s.data(), tag.data(), std::min(tag.size(), len));
    return s;
}

inline std::unique_ptr<ring_queue> make_queue(std::size_t slot, std::size_t cap, bool overwrite, bool zerocopy,
                                              bool block) {
    return std::make_unique<ring_queue>(slot, cap, overwrite, zerocopy, block);
}

// ------------------------------------------------------------------ stress settings

inline std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    return (end != nullptr && *end == '\0' && n > 0) ? n : fallback;
}
// Messages per main stress run; sanitizer runs lower it (keep it >= 200000 there).
inline std::uint64_t stress_messages() { return env_number("KORVO_STRESS_MESSAGES", 10'000'000); }
// Not a performance limit: only turns a hang into a failure.
inline std::chrono::seconds stress_timeout() { return std::chrono::seconds(env_number("KORVO_STRESS_TIMEOUT_S", 300)); }

// Fails a test instead of letting it hang: if not finished in time, runs `on_fire` (which must
// stop the queue and release anything the test threads sleep on). If even that does not free
// the threads, aborts the binary so CI never waits forever.
class watchdog {
public:
    explicit watchdog(std::function<void()> on_fire) : on_fire_(std::move(on_fire)), thread_([this] { run(); }) {}
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;
    ~watchdog() { finish(); }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    bool fired() const { return fired_.load(); }

private:
    void run() {
        std::unique_lock lock(mutex_);
        if (cv_.wait_for(lock, stress_timeout(), [this] { return done_; })) return;
        fired_ = true;
        lock.unlock();
        std::fprintf(stderr, "watchdog: test did not finish in %llds, stopping the queue\n",
                     static_cast<long long>(stress_timeout().count()));
        on_fire_();
        lock.lock();
        if (!cv_.wait_for(lock, 30s, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: threads still stuck after stop(); aborting\n");
            std::abort();
        }
    }

    std::function<void()> on_fire_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;  // last: starts once everything above exists
};

// Collects failures seen on worker threads; the test thread asserts on it afterwards.
class fault_log {
public:
    void add(std::string what) {
        std::lock_guard lock(mutex_);
        if (count_++ < 5) first_ += what + "\n";
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::string text() const {
        std::lock_guard lock(mutex_);
        return first_;
    }

private:
    mutable std::mutex mutex_;
    std::size_t count_ = 0;
    std::string first_;
};

// ------------------------------------------------------------------ parameters

struct mode {
    family fam;
    bool zerocopy;
};
inline std::vector<mode> all_modes() {
    return {{family::fixed, true}, {family::fixed, false}, {family::variable, true}, {family::variable, false}};
}
inline std::string mode_name(const testing::TestParamInfo<mode>& info) {
    return std::string(family_name(info.param.fam)) + (info.param.zerocopy ? "_zerocopy" : "_copy");
}
// Readable parameters in failure messages.
inline void PrintTo(const mode& m, std::ostream* os) {
    *os << family_name(m.fam) << (m.zerocopy ? " zerocopy" : " copy");
}

class mode_test : public testing::TestWithParam<mode> {
protected:
    family fam() const { return GetParam().fam; }
    bool zerocopy() const { return GetParam().zerocopy; }
    std::unique_ptr<ring_queue> make(std::size_t slot, std::size_t cap, bool overwrite = false,
                                     bool block = false) const {
        return make_queue(slot, cap, overwrite, zerocopy(), block);
    }
    // Largest message the family takes in `q`.
    std::size_t limit(const ring_queue& q) const { return fam() == family::fixed ? q.slot_size() : q.max_var_size(); }
};

inline void PrintTo(family f, std::ostream* os) { *os << family_name(f); }

// ------------------------------------------------------------------ stress payloads

// Payload: [sequence number: 8][body derived from it][checksum of everything before: 8].
inline std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Fixed: uniform in [16, max]. Variable: mostly short, one in 16 anywhere up to max, so records
// of very different sizes keep straddling the ring's end.
inline std::size_t stress_len(family f, std::uint64_t seq, std::size_t max_len) {
    const std::uint64_t r = mix(seq);
    if (f == family::fixed || (r & 15) == 0) return 16 + static_cast<std::size_t>((r >> 8) % (max_len - 15));
    return 16 + static_cast<std::size_t>((r >> 8) % 49);
}

inline std::uint64_t checksum(const char* p, std::size_t n) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
    }
    for (; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3ull;
    return h;
}

inline void make_payload(char* out, std::uint64_t seq, std::size_t len) {
    std::memcpy(out, &seq, 8);
    for (std::size_t i = 8; i < len - 8; ++i) out[i] = static_cast<char>((seq >> (i % 8 * 8)) + i * 131);
    const std::uint64_t sum = checksum(out, len - 8);
    std::memcpy(out + len - 8, &sum, 8);
}

// Empty string when the message is whole and is the one expected.
inline std::string check_payload(const taken_msg& t, family f, std::size_t max_len, const std::uint64_t* expect_seq,
                                 std::uint64_t* seq_out) {
    if (t.size < 16) return "short message (" + std::to_string(t.size) + " bytes)";
    std::uint64_t seq;
    std::memcpy(&seq, t.data, 8);
    if (expect_seq != nullptr && seq != *expect_seq) {
        return "expected #" + std::to_string(*expect_seq) + ", got #" + std::to_string(seq);
    }
    if (t.size != stress_len(f, seq, max_len)) return "#" + std::to_string(seq) + " has the wrong length";
    std::uint64_t sum;
    std::memcpy(&sum, t.data + t.size - 8, 8);
    if (sum != checksum(t.data, t.size - 8)) return "#" + std::to_string(seq) + " is corrupt";
    *seq_out = seq;
    return {};
}

struct stress_case {
    const char* name;
    family fam;
    bool zerocopy;
    bool block_on_full;
    std::size_t slot_size;
    std::size_t capacity;
    std::size_t max_len;
    // 0: the producer runs free. Otherwise it sends bursts of 1..max_burst messages and waits for
    // the consumer to take all of them before the next: every burst's last message must wake a
    // consumer that has gone to sleep, so a lost wake-up hangs the run instead of being covered
    // up by the next push.
    std::uint64_t max_burst;
    // Messages = KORVO_STRESS_MESSAGES / divisor.
    std::uint64_t divisor;

    std::uint64_t messages() const { return std::max<std::uint64_t>(stress_messages() / divisor, 10'000); }
};

// Producer side of a bursty run: after `sent` messages, waits for the consumer when a burst ends.
class burst_pacer {
public:
    burst_pacer(std::uint64_t max_burst, const std::atomic<std::uint64_t>& consumed, const watchdog& dog)
        : max_burst_(max_burst), consumed_(consumed), dog_(dog), burst_end_(next(0)) {}
    void sent(std::uint64_t count) {
        if (max_burst_ == 0 || count != burst_end_) return;
        // Spin first so the next push lands while the consumer is on its way to sleep (the racy
        // moment); yield later so a sleeping consumer's wake-up gets the CPU.
        for (int spins = 0; consumed_.load(std::memory_order_acquire) < count && !dog_.fired(); ++spins) {
            if (spins < 4000) {
                korvo::spsc::detail::cpu_relax();
            } else {
                std::this_thread::yield();
            }
        }
        burst_end_ = next(count);
    }

private:
    std::uint64_t next(std::uint64_t from) const { return max_burst_ == 0 ? 0 : from + 1 + mix(from) % max_burst_; }
    std::uint64_t max_burst_;
    const std::atomic<std::uint64_t>& consumed_;
    const watchdog& dog_;
    std::uint64_t burst_end_;
};

// One two-thread run, the harness of every stress case: the producer and consumer bodies on
// their own threads under a watchdog (`on_hang` must stop the queue and release whatever the
// bodies sleep on), with one fault log the bodies report to before they return.
class two_thread_run {
public:
    explicit two_thread_run(std::function<void()> on_hang) : dog(std::move(on_hang)) {}
    // Runs both bodies to their end; fails with the faults, or when the run hung.
    template <class Producer, class Consumer>
    testing::AssertionResult operator()(Producer&& producer, Consumer&& consumer) {
        std::thread producer_thread(std::forward<Producer>(producer));
        std::thread consumer_thread(std::forward<Consumer>(consumer));
        producer_thread.join();
        consumer_thread.join();
        dog.finish();
        if (dog.fired()) return testing::AssertionFailure() << "hung";
        if (faults.count() != 0) return testing::AssertionFailure() << faults.text();
        return testing::AssertionSuccess();
    }

    watchdog dog;
    fault_log faults;
};

inline std::string stress_name(const testing::TestParamInfo<stress_case>& info) { return info.param.name; }
inline void PrintTo(const stress_case& c, std::ostream* os) { *os << c.name; }

}  // namespace korvo::spsc::ring_test
