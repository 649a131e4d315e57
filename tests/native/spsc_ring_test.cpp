// Tests for korvo::spsc::ring_queue: both message families under every full-queue policy, holds
// and zerocopy, the wake-up protocol, stop(), and long two-thread stress runs under a watchdog.
#include "korvo/spsc_queue/spsc_ring.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <ostream>
#include <semaphore>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace korvo::spsc;
using namespace std::chrono_literals;

// ------------------------------------------------------------------ family-neutral helpers

enum class family { fixed, variable };

const char* family_name(family f) { return f == family::fixed ? "fixed" : "variable"; }
family other(family f) { return f == family::fixed ? family::variable : family::fixed; }

struct taken_msg {
    int rc = k_ok;
    const char* data = nullptr;
    std::size_t size = 0;
    std::string str() const { return data == nullptr ? std::string() : std::string(data, size); }
};

int push_msg(ring_queue& q, family f, const char* data, std::size_t size) {
    return f == family::fixed ? q.push(data, size) : q.push_var(data, size);
}
int push_msg(ring_queue& q, family f, std::string_view m) { return push_msg(q, f, m.data(), m.size()); }
int push_wake_msg(ring_queue& q, family f, const char* data, std::size_t size) {
    return f == family::fixed ? q.push_wake(data, size) : q.push_var_wake(data, size);
}
int push_wake_msg(ring_queue& q, family f, std::string_view m) { return push_wake_msg(q, f, m.data(), m.size()); }
// Waits while empty.
taken_msg pop_msg(ring_queue& q, family f) {
    taken_msg t;
    t.rc = f == family::fixed ? q.pop(&t.data, &t.size) : q.pop_var(&t.data, &t.size);
    return t;
}
taken_msg try_pop_msg(ring_queue& q, family f) {
    taken_msg t;
    t.rc = f == family::fixed ? q.try_pop(&t.data, &t.size) : q.try_pop_var(&t.data, &t.size);
    return t;
}

// A recognisable message: its number, then letters derived from it.
std::string text(std::uint64_t seq, std::size_t len) {
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; ++i) s[i] = static_cast<char>('a' + (seq * 7 + i) % 26);
    const std::string tag = std::to_string(seq) + ":";
    std::memcpy(s.data(), tag.data(), std::min(tag.size(), len));
    return s;
}

std::unique_ptr<ring_queue> make_queue(std::size_t slot, std::size_t cap, bool overwrite, bool zerocopy, bool block) {
    return std::make_unique<ring_queue>(slot, cap, overwrite, zerocopy, block);
}

// ------------------------------------------------------------------ stress settings

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    return (end != nullptr && *end == '\0' && n > 0) ? n : fallback;
}
// Messages per main stress run; sanitizer runs lower it (keep it >= 200000 there).
std::uint64_t stress_messages() { return env_number("KORVO_STRESS_MESSAGES", 10'000'000); }
// Not a performance limit: only turns a hang into a failure.
std::chrono::seconds stress_timeout() { return std::chrono::seconds(env_number("KORVO_STRESS_TIMEOUT_S", 300)); }

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
std::vector<mode> all_modes() {
    return {{family::fixed, true}, {family::fixed, false}, {family::variable, true}, {family::variable, false}};
}
std::string mode_name(const testing::TestParamInfo<mode>& info) {
    return std::string(family_name(info.param.fam)) + (info.param.zerocopy ? "_zerocopy" : "_copy");
}
// Readable parameters in failure messages.
void PrintTo(const mode& m, std::ostream* os) { *os << family_name(m.fam) << (m.zerocopy ? " zerocopy" : " copy"); }

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

// ================================================================== construction

struct bad_size_case {
    const char* what;
    std::size_t slot_size;
    std::size_t capacity;
};

void PrintTo(const bad_size_case& c, std::ostream* os) { *os << c.what; }

class construction_rejects : public testing::TestWithParam<bad_size_case> {};

TEST_P(construction_rejects, invalid_sizes) {
    const auto& c = GetParam();
    EXPECT_THROW(ring_queue(c.slot_size, c.capacity, false, true, false), std::invalid_argument);
    EXPECT_THROW(ring_queue(c.slot_size, c.capacity, true, false, true), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    ring_queue, construction_rejects,
    testing::Values(bad_size_case{"zero_slot", 0, 8}, bad_size_case{"zero_capacity", 64, 0},
                    bad_size_case{"both_zero", 0, 0},
                    bad_size_case{"slot_overflows", std::numeric_limits<std::size_t>::max(), 1},
                    bad_size_case{"slot_rounding_overflows", std::numeric_limits<std::size_t>::max() - 3, 1},
                    bad_size_case{"product_overflows", std::size_t{1} << 40, std::size_t{1} << 40},
                    bad_size_case{"capacity_overflows", 8, std::numeric_limits<std::size_t>::max()}),
    [](const testing::TestParamInfo<bad_size_case>& info) { return std::string(info.param.what); });

TEST(ring_queue_construction, reports_its_geometry_and_starts_empty) {
    // A slot is a header plus slot_size, rounded up to the header size: 8 bytes, or 16 with
    // overwrite (whose header also carries the record's position).
    struct geometry_case {
        bool overwrite;
        std::size_t stride;
    };
    for (const geometry_case c : {geometry_case{false, 8 + 16}, geometry_case{true, 32}}) {
        SCOPED_TRACE(c.overwrite ? "overwrite" : "no overwrite");
        const ring_queue q(13, 5, c.overwrite, false, true);
        EXPECT_EQ(q.slot_size(), 13u);
        EXPECT_EQ(q.capacity(), 5u);
        EXPECT_EQ(q.ring_bytes(), 5 * c.stride);
        EXPECT_EQ(q.max_var_size(), q.ring_bytes() - (c.overwrite ? 16 : 8));
        EXPECT_EQ(q.overwrite(), c.overwrite);
        EXPECT_FALSE(q.zerocopy());
        EXPECT_EQ(q.block_on_full(), !c.overwrite) << "overwrite takes precedence over block_on_full";
        EXPECT_FALSE(q.stopped());
        EXPECT_EQ(q.size(), 0u);
        EXPECT_EQ(q.pushed() + q.popped() + q.dropped() + q.wakeups_requested(), 0u);
    }
    EXPECT_EQ(alignof(ring_queue) % 64, 0u);
}

// ================================================================== basics, every family/mode

class ring_basics : public mode_test {};

TEST_P(ring_basics, keeps_order_and_content_across_many_wraps) {
    auto q = make(40, 5);
    // The variable family also gets messages longer than a slot and records that run over the
    // ring's end.
    const std::size_t max_len = fam() == family::fixed ? 40 : 100;
    std::deque<std::string> expected;
    std::uint64_t seq = 0;
    std::uint64_t bytes = 0;
    for (int round = 0; round < 3000; ++round) {
        for (int i = 0; i < round % 7 + 1; ++i) {
            const std::string m = text(seq, (seq * 37) % (max_len + 1));
            const int rc = push_msg(*q, fam(), m);
            if (rc == k_full) break;
            ASSERT_EQ(rc, k_ok) << "seq " << seq;
            expected.push_back(m);
            ++seq;
            bytes += m.size();
        }
        ASSERT_EQ(q->size(), expected.size());
        for (int i = 0; i < round % 5 + 1 && !expected.empty(); ++i) {
            const taken_msg t = i % 2 == 0 ? pop_msg(*q, fam()) : try_pop_msg(*q, fam());
            ASSERT_EQ(t.rc, k_taken);
            ASSERT_NE(t.data, nullptr);
            ASSERT_EQ(t.str(), expected.front());
            expected.pop_front();
        }
    }
    while (!expected.empty()) {
        const taken_msg t = try_pop_msg(*q, fam());
        ASSERT_EQ(t.rc, k_taken);
        ASSERT_EQ(t.str(), expected.front());
        expected.pop_front();
    }
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_ok);
    EXPECT_GT(bytes, 50u * q->ring_bytes()) << "should have wrapped many times";
    EXPECT_EQ(q->pushed(), seq);
    EXPECT_EQ(q->popped(), seq);
    EXPECT_EQ(q->dropped(), 0u);
    EXPECT_EQ(q->size(), 0u);
}

TEST_P(ring_basics, zero_length_messages_round_trip) {
    auto q = make(16, 4);
    for (std::string_view m : {"", "", "x", ""}) ASSERT_EQ(push_msg(*q, fam(), m), k_ok);
    const taken_msg a = try_pop_msg(*q, fam());
    const taken_msg b = pop_msg(*q, fam());
    const taken_msg c = try_pop_msg(*q, fam());
    const taken_msg d = pop_msg(*q, fam());
    for (const taken_msg& t : {a, b, c, d}) {
        EXPECT_EQ(t.rc, k_taken);
        EXPECT_NE(t.data, nullptr);
    }
    EXPECT_EQ(a.size, 0u);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(c.size, 1u);
    EXPECT_EQ(d.size, 0u);
    ASSERT_EQ(push_msg(*q, fam(), nullptr, 0), k_ok) << "no data pointer needed for nothing";
    const taken_msg e = pop_msg(*q, fam());
    EXPECT_EQ(e.size, 0u);
    EXPECT_NE(e.data, nullptr);
    EXPECT_EQ(q->popped(), 5u);
}

TEST_P(ring_basics, accepts_exactly_up_to_its_limit) {
    struct size_case {
        const char* what;
        std::size_t (*size)(std::size_t limit);
        bool fits;
    };
    const size_case cases[] = {
        {"limit", [](std::size_t l) { return l; }, true},
        {"limit-1", [](std::size_t l) { return l - 1; }, true},
        {"limit+1", [](std::size_t l) { return l + 1; }, false},
        {"limit+8", [](std::size_t l) { return l + 8; }, false},
        {"max", [](std::size_t) { return std::numeric_limits<std::size_t>::max(); }, false},
    };
    for (const std::size_t slot : {std::size_t{1}, std::size_t{13}, std::size_t{64}}) {
        auto q = make(slot, 3);
        const std::size_t lim = limit(*q);
        const std::string big = text(slot, lim + 8);
        std::uint64_t stored = 0;
        for (const size_case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " slot_size=" + std::to_string(slot));
            const std::size_t n = c.size(lim);
            const int rc = push_msg(*q, fam(), big.data(), n);  // too-large sizes are never read
            if (!c.fits) {
                EXPECT_EQ(rc, k_too_large);
                EXPECT_EQ(q->size(), 0u);
                EXPECT_EQ(q->pushed(), stored);
                continue;
            }
            ASSERT_EQ(rc, k_ok);
            ++stored;
            const taken_msg t = pop_msg(*q, fam());
            ASSERT_EQ(t.rc, k_taken);
            EXPECT_EQ(t.str(), big.substr(0, n));
            EXPECT_EQ(q->release(), k_ok);  // an exact-fit variable message needs the whole ring
        }
    }
}

TEST_P(ring_basics, holds_exactly_capacity_then_reports_full) {
    auto q = make(24, 6);
    const std::string m = text(1, 24);
    int stored = 0;
    while (push_msg(*q, fam(), m) == k_ok) ++stored;
    EXPECT_EQ(stored, 6) << "slot-sized messages: exactly capacity in either family";
    EXPECT_EQ(push_msg(*q, fam(), m), k_full);
    EXPECT_EQ(push_msg(*q, fam(), ""), k_full);
    EXPECT_EQ(q->size(), 6u);
    ASSERT_EQ(try_pop_msg(*q, fam()).rc, k_taken);
    ASSERT_EQ(q->release(), k_ok);
    EXPECT_EQ(push_msg(*q, fam(), m), k_ok);
    EXPECT_EQ(push_msg(*q, fam(), m), k_full);
    EXPECT_EQ(q->pushed(), 7u);
    EXPECT_EQ(q->dropped(), 0u) << "k_full is a refusal, not a drop";
}

TEST_P(ring_basics, a_held_message_keeps_its_space_only_in_zerocopy_mode) {
    auto q = make(16, 3);
    std::vector<std::string> m;
    for (int i = 0; i < 6; ++i) m.push_back(text(i, 16));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(push_msg(*q, fam(), m[i]), k_ok);

    const taken_msg held = pop_msg(*q, fam());
    ASSERT_EQ(held.str(), m[0]);
    EXPECT_EQ(push_msg(*q, fam(), m[3]), zerocopy() ? k_full : k_ok);
    EXPECT_EQ(held.str(), m[0]) << "a held message stays readable until released";
    EXPECT_EQ(q->release(), k_ok);
    if (zerocopy()) {
        EXPECT_EQ(push_msg(*q, fam(), m[3]), k_ok);
    }

    // try_pop's message is held until the consumer's next call.
    const taken_msg held2 = try_pop_msg(*q, fam());
    ASSERT_EQ(held2.str(), m[1]);
    EXPECT_EQ(push_msg(*q, fam(), m[4]), zerocopy() ? k_full : k_ok);
    EXPECT_EQ(held2.str(), m[1]);
    ASSERT_EQ(try_pop_msg(*q, fam()).str(), m[2]);
    if (zerocopy()) {
        EXPECT_EQ(push_msg(*q, fam(), m[4]), k_ok);
    }

    EXPECT_EQ(try_pop_msg(*q, fam()).str(), m[3]);
    EXPECT_EQ(try_pop_msg(*q, fam()).str(), m[4]);
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_ok);
}

TEST_P(ring_basics, release_frees_only_what_is_held) {
    auto q = make(16, 2);
    EXPECT_EQ(q->release(), k_nothing_held);
    ASSERT_EQ(push_msg(*q, fam(), "a"), k_ok);
    ASSERT_EQ(pop_msg(*q, fam()).str(), "a");
    EXPECT_EQ(q->release(), k_ok);
    EXPECT_EQ(q->release(), k_nothing_held);

    ASSERT_EQ(push_msg(*q, fam(), "b"), k_ok);
    ASSERT_EQ(try_pop_msg(*q, fam()).str(), "b");
    EXPECT_EQ(q->release(), k_ok) << "try_pop output may be let go early";

    // A second pop without release() lets go of the first message. Slot-sized messages so the
    // variable family fills up at the same point.
    ASSERT_EQ(push_msg(*q, fam(), text(3, 16)), k_ok);
    ASSERT_EQ(push_msg(*q, fam(), text(4, 16)), k_ok);
    ASSERT_EQ(pop_msg(*q, fam()).str(), text(3, 16));
    ASSERT_EQ(pop_msg(*q, fam()).str(), text(4, 16));
    EXPECT_EQ(push_msg(*q, fam(), text(5, 16)), k_ok);
    EXPECT_EQ(push_msg(*q, fam(), text(6, 16)), zerocopy() ? k_full : k_ok) << "#4 is still held";
    EXPECT_EQ(q->release(), k_ok);
    EXPECT_EQ(q->release(), k_nothing_held);
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_taken);
}

TEST_P(ring_basics, pops_of_the_other_family_take_nothing) {
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "overwrite" : "no overwrite");
        auto q = make(32, 4, overwrite);
        ASSERT_EQ(push_msg(*q, fam(), "mine"), k_ok);
        EXPECT_EQ(try_pop_msg(*q, other(fam())).rc, k_wrong_family);
        EXPECT_EQ(pop_msg(*q, other(fam())).rc, k_wrong_family) << "must not wait either";
        EXPECT_EQ(q->size(), 1u);
        EXPECT_EQ(q->release(), k_nothing_held);
        EXPECT_EQ(try_pop_msg(*q, fam()).str(), "mine");
        EXPECT_EQ(q->popped(), 1u);
    }
}

TEST_P(ring_basics, counters_follow_every_outcome) {
    auto q = make(8, 4);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(push_msg(*q, fam(), "12345678"), k_ok);
    EXPECT_EQ(push_msg(*q, fam(), "12345678"), k_full);
    EXPECT_EQ(push_msg(*q, fam(), std::string(limit(*q) + 1, 'x')), k_too_large);
    EXPECT_EQ(q->pushed(), 4u);
    EXPECT_EQ(q->size(), 4u);
    ASSERT_EQ(try_pop_msg(*q, fam()).rc, k_taken);
    ASSERT_EQ(pop_msg(*q, fam()).rc, k_taken);
    EXPECT_EQ(q->popped(), 2u);
    EXPECT_EQ(q->size(), 2u) << "a held message no longer counts as queued";
    EXPECT_EQ(q->dropped(), 0u);
    EXPECT_EQ(q->wakeups_requested(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ring_queue, ring_basics, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== overwrite

class ring_overwrite : public mode_test {};

TEST_P(ring_overwrite, drops_the_oldest_and_keeps_the_newest_in_order) {
    auto q = make(24, 4, true);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(push_msg(*q, fam(), text(i, 24)), k_ok) << i;
    EXPECT_EQ(q->dropped(), 6u);
    EXPECT_EQ(q->size(), 4u);
    for (int i = 6; i < 10; ++i) EXPECT_EQ(try_pop_msg(*q, fam()).str(), text(i, 24));
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_ok);
    EXPECT_EQ(q->pushed(), 10u);
    EXPECT_EQ(q->popped() + q->dropped(), q->pushed());
}

// The producer laps the ring many times while the consumer holds a message; the held bytes must
// not change and everything taken afterwards must be whole and in order.
TEST_P(ring_overwrite, never_writes_into_the_message_the_consumer_holds) {
    struct hold_case {
        const char* what;
        bool via_try_pop;
        std::size_t capacity;
    };
    for (const hold_case& c : {hold_case{"pop", false, 4}, hold_case{"try_pop", true, 4},
                               hold_case{"pop_two_slots", false, 2}, hold_case{"try_pop_two_slots", true, 2}}) {
        SCOPED_TRACE(c.what);
        auto q = make(24, c.capacity, true);
        const auto len = [&](std::uint64_t seq) -> std::size_t {
            return fam() == family::fixed ? 24 : 8 + (seq * 11) % 17;  // records of 16..32 bytes
        };
        std::uint64_t seq = 0;
        for (; seq < c.capacity; ++seq) ASSERT_EQ(push_msg(*q, fam(), text(seq, len(seq))), k_ok);
        const taken_msg held = c.via_try_pop ? try_pop_msg(*q, fam()) : pop_msg(*q, fam());
        ASSERT_EQ(held.str(), text(0, len(0)));
        for (; seq < 200; ++seq) {
            ASSERT_EQ(push_msg(*q, fam(), text(seq, len(seq))), k_ok) << seq;
            ASSERT_EQ(held.str(), text(0, len(0))) << "overwritten while held, at push " << seq;
        }
        EXPECT_GT(q->dropped(), 100u);
        std::uint64_t last = 0;
        std::uint64_t received = 1;
        for (;;) {
            const taken_msg t = try_pop_msg(*q, fam());  // lets go of the held message first
            if (t.rc == k_ok) break;
            ASSERT_EQ(t.rc, k_taken);
            const std::uint64_t n = std::stoull(t.str());
            ASSERT_GT(n, last);
            ASSERT_EQ(t.str(), text(n, len(n)));
            last = n;
            ++received;
        }
        EXPECT_EQ(last, seq - 1) << "the newest message survives";
        EXPECT_EQ(received + q->dropped(), seq);
    }
}

TEST_P(ring_overwrite, is_full_only_when_the_message_cannot_fit_beside_the_held_one) {
    if (fam() == family::fixed) {
        // One slot: with zerocopy the held message occupies it.
        auto one = make(16, 1, true);
        ASSERT_EQ(push_msg(*one, fam(), "first"), k_ok);
        ASSERT_EQ(pop_msg(*one, fam()).str(), "first");
        EXPECT_EQ(push_msg(*one, fam(), "second"), zerocopy() ? k_full : k_ok);
        EXPECT_EQ(one->release(), k_ok);
        if (zerocopy()) {
            EXPECT_EQ(push_msg(*one, fam(), "second"), k_ok);
        }
        EXPECT_EQ(pop_msg(*one, fam()).str(), "second");
        EXPECT_EQ(one->dropped(), 0u);
        return;
    }
    // A 192-byte ring holding a 128-byte record (100 bytes + header) has no room for an 80-byte
    // one (56 + header), but has for a 64-byte one (40 + header).
    auto ring = make(24, 4, true);
    ASSERT_EQ(ring->ring_bytes(), 192u);
    ASSERT_EQ(push_msg(*ring, fam(), text(1, 100)), k_ok);
    const taken_msg held = pop_msg(*ring, fam());
    ASSERT_EQ(held.str(), text(1, 100));
    EXPECT_EQ(push_msg(*ring, fam(), text(2, 56)), zerocopy() ? k_full : k_ok);
    EXPECT_EQ(push_msg(*ring, fam(), text(3, 40)), k_ok) << "128 + 64 fits exactly";
    EXPECT_EQ(held.str(), text(1, 100));
    ASSERT_EQ(ring->release(), k_ok);
    EXPECT_EQ(push_msg(*ring, fam(), text(4, 56)), k_ok);
    std::string last;
    for (taken_msg t = try_pop_msg(*ring, fam()); t.rc == k_taken; t = try_pop_msg(*ring, fam())) last = t.str();
    EXPECT_EQ(last, text(4, 56)) << "the newest message survives";
    EXPECT_EQ(ring->popped() + ring->dropped(), ring->pushed());
}

INSTANTIATE_TEST_SUITE_P(ring_queue, ring_overwrite, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== variable family only

class ring_variable : public mode_test {};

TEST_P(ring_variable, packs_short_messages) {
    auto q = make(24, 6);
    std::size_t stored = 0;
    while (push_msg(*q, fam(), "") == k_ok) ++stored;
    EXPECT_EQ(stored, q->ring_bytes() / 8) << "an empty message takes just its 8-byte header";
    for (std::size_t i = 0; i < stored; ++i) ASSERT_EQ(try_pop_msg(*q, fam()).size, 0u);
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_ok);
}

TEST_P(ring_variable, overwrite_drops_as_many_short_messages_as_a_long_one_needs) {
    // Overwrite records: 16-byte header, 16-byte granularity. Slots of 48, ring of 192.
    auto q = make(24, 4, true);
    ASSERT_EQ(q->ring_bytes(), 192u);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(push_msg(*q, fam(), text(i, 8)), k_ok);  // 32 bytes each
    ASSERT_EQ(q->dropped(), 0u);
    ASSERT_EQ(push_msg(*q, fam(), text(100, 56)), k_ok);  // 80 bytes: three must go
    EXPECT_EQ(q->dropped(), 3u);
    for (int i = 3; i < 6; ++i) EXPECT_EQ(try_pop_msg(*q, fam()).str(), text(i, 8));
    EXPECT_EQ(try_pop_msg(*q, fam()).str(), text(100, 56));
    ASSERT_EQ(q->release(), k_ok);  // a held message would keep part of the ring
    ASSERT_EQ(push_msg(*q, fam(), text(101, q->max_var_size())), k_ok) << "the whole ring";
    EXPECT_EQ(try_pop_msg(*q, fam()).str(), text(101, q->max_var_size()));
}

INSTANTIATE_TEST_SUITE_P(ring_queue, ring_variable,
                         testing::Values(mode{family::variable, true}, mode{family::variable, false}), mode_name);

// ================================================================== waiting, blocking, stop

class ring_blocking : public mode_test {};

TEST_P(ring_blocking, a_blocked_producer_resumes_once_space_is_freed) {
    auto q = make(16, 2, false, true);
    const std::vector<std::string> m = {text(0, 16), text(1, 16), text(2, 16), text(3, 16)};  // slot-sized
    ASSERT_EQ(push_msg(*q, fam(), m[0]), k_ok);
    ASSERT_EQ(push_msg(*q, fam(), m[1]), k_ok);
    watchdog dog([&] { q->stop(); });
    std::atomic<int> result{99};
    std::thread producer([&] { result = push_msg(*q, fam(), m[2]); });
    std::this_thread::sleep_for(20ms);  // lets it block; the check below holds however long it took
    EXPECT_EQ(result.load(), 99) << "stored into a full queue";
    const taken_msg t = pop_msg(*q, fam());
    EXPECT_EQ(t.str(), m[0]);
    if (zerocopy()) {
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(result.load(), 99) << "a held zerocopy message must keep its slot";
        EXPECT_EQ(t.str(), m[0]);
        EXPECT_EQ(q->release(), k_ok);
    }
    producer.join();
    dog.finish();
    EXPECT_FALSE(dog.fired());
    EXPECT_EQ(result.load(), k_ok);
    EXPECT_EQ(pop_msg(*q, fam()).str(), m[1]);
    EXPECT_EQ(pop_msg(*q, fam()).str(), m[2]);
}

TEST_P(ring_blocking, stop_from_a_third_thread_ends_a_blocked_push) {
    auto q = make(16, 2, false, true);
    const std::vector<std::string> m = {text(0, 16), text(1, 16), text(2, 16), text(3, 16)};  // slot-sized
    ASSERT_EQ(push_msg(*q, fam(), m[0]), k_ok);
    ASSERT_EQ(push_msg(*q, fam(), m[1]), k_ok);
    watchdog dog([&] { q->stop(); });
    std::atomic<int> result{99};
    std::thread producer([&] { result = push_msg(*q, fam(), m[2]); });
    std::this_thread::sleep_for(20ms);
    std::thread stopper([&] { EXPECT_EQ(q->stop(), k_ok); });
    stopper.join();
    producer.join();
    dog.finish();
    EXPECT_FALSE(dog.fired());
    EXPECT_EQ(result.load(), k_stopped);
    EXPECT_TRUE(q->stopped());
    EXPECT_EQ(push_msg(*q, fam(), m[3]), k_stopped);
    // What was queued before stop() is still handed out, then pops report stopped.
    EXPECT_EQ(pop_msg(*q, fam()).str(), m[0]);
    EXPECT_EQ(try_pop_msg(*q, fam()).str(), m[1]);
    EXPECT_EQ(pop_msg(*q, fam()).rc, k_stopped);
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_stopped);
    EXPECT_EQ(q->pushed(), 2u);
}

TEST_P(ring_blocking, stop_from_a_third_thread_ends_a_waiting_pop) {
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "overwrite" : "no overwrite");
        auto q = make(16, 2, overwrite, !overwrite);
        watchdog dog([&] { q->stop(); });
        std::atomic<int> result{99};
        std::thread consumer([&] { result = pop_msg(*q, fam()).rc; });
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(result.load(), 99) << "returned from pop on an empty queue";
        std::thread stopper([&] { q->stop(); });
        stopper.join();
        consumer.join();
        dog.finish();
        EXPECT_FALSE(dog.fired());
        EXPECT_EQ(result.load(), k_stopped);
    }
}

TEST_P(ring_blocking, a_waiting_pop_takes_the_next_push) {
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "overwrite" : "no overwrite");
        auto q = make(16, 2, overwrite);
        watchdog dog([&] { q->stop(); });
        std::string got;
        std::thread consumer([&] { got = pop_msg(*q, fam()).str(); });
        std::this_thread::sleep_for(20ms);  // most likely asleep on the futex by now
        ASSERT_EQ(push_msg(*q, fam(), "late"), k_ok);
        consumer.join();
        dog.finish();
        EXPECT_FALSE(dog.fired());
        EXPECT_EQ(got, "late");
        EXPECT_LE(q->wakeups_requested(), 1u) << "one sleeping consumer, at most one wake-up";
    }
}

// stop() lands at arbitrary points while both sides run flat out and sleep on each other.
TEST_P(ring_blocking, stop_at_any_moment_ends_both_sides) {
    fault_log faults;
    for (int round = 0; round < 60; ++round) {
        auto q = make(16, 4, false, true);
        watchdog dog([&] { q->stop(); });
        std::uint64_t sent = 0;
        std::uint64_t received = 0;
        std::thread producer([&] {
            for (;;) {
                const int rc = push_msg(*q, fam(), text(sent, 12));
                if (rc == k_stopped) return;
                if (rc != k_ok) return faults.add("push returned " + std::to_string(rc));
                ++sent;
            }
        });
        std::thread consumer([&] {
            for (;;) {
                const taken_msg t = pop_msg(*q, fam());
                if (t.rc == k_stopped) return;
                if (t.rc != k_taken || t.str() != text(received, 12)) return faults.add("bad pop");
                ++received;
            }
        });
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(37 * (round % 20)));
            q->stop();
        });
        stopper.join();
        producer.join();
        consumer.join();
        dog.finish();
        ASSERT_FALSE(dog.fired()) << "round " << round;
        ASSERT_EQ(faults.count(), 0u) << faults.text();
        EXPECT_LE(received, sent);
        EXPECT_EQ(q->size(), sent - received) << "only a push racing stop() may be left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(ring_queue, ring_blocking, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== wake-up protocol

enum class act { push, push_wake, try_pop, stop };

struct wake_step {
    act what;
    int expect;
};

struct wake_case {
    const char* name;
    std::vector<wake_step> steps;
    std::uint64_t wakeups;
};

void PrintTo(const wake_case& c, std::ostream* os) { *os << c.name; }
void PrintTo(family f, std::ostream* os) { *os << family_name(f); }

class ring_wake : public testing::TestWithParam<std::tuple<wake_case, family>> {};

TEST_P(ring_wake, follows_the_protocol) {
    const auto& [c, fam] = GetParam();
    ring_queue q(16, 8, false, true, false);
    int i = 0;
    for (const wake_step& s : c.steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        switch (s.what) {
            case act::push:
                EXPECT_EQ(push_msg(q, fam, "m"), s.expect);
                break;
            case act::push_wake:
                EXPECT_EQ(push_wake_msg(q, fam, "m"), s.expect);
                break;
            case act::try_pop:
                EXPECT_EQ(try_pop_msg(q, fam).rc, s.expect);
                break;
            case act::stop:
                EXPECT_EQ(q.stop(), s.expect);
                break;
        }
    }
    EXPECT_EQ(q.wakeups_requested(), c.wakeups);
}

const wake_case wake_cases[] = {
    {"empty_try_pop_arms_one_wake",
     {{act::try_pop, k_ok}, {act::push_wake, k_wake}, {act::push_wake, k_ok}, {act::push_wake, k_ok}},
     1},
    {"no_wake_unless_the_consumer_found_it_empty",
     {{act::push_wake, k_ok}, {act::try_pop, k_taken}, {act::push_wake, k_ok}},
     0},
    {"plain_push_leaves_the_request_for_push_wake",
     {{act::try_pop, k_ok}, {act::push, k_ok}, {act::push, k_ok}, {act::push_wake, k_wake}},
     1},
    {"taking_a_message_disarms",
     {{act::try_pop, k_ok}, {act::push, k_ok}, {act::try_pop, k_taken}, {act::push_wake, k_ok}},
     0},
    {"each_empty_try_pop_rearms",
     {{act::try_pop, k_ok},
      {act::push_wake, k_wake},
      {act::try_pop, k_taken},
      {act::try_pop, k_ok},
      {act::push_wake, k_wake}},
     2},
    {"repeated_empty_try_pops_still_one_wake",
     {{act::try_pop, k_ok}, {act::try_pop, k_ok}, {act::push_wake, k_wake}, {act::push_wake, k_ok}},
     1},
    {"stop_reports_an_armed_consumer",
     {{act::try_pop, k_ok}, {act::stop, k_wake}, {act::try_pop, k_stopped}, {act::push_wake, k_stopped}},
     0},
    {"stop_without_an_armed_consumer",
     {{act::push, k_ok}, {act::stop, k_ok}, {act::try_pop, k_taken}, {act::try_pop, k_stopped}, {act::stop, k_ok}},
     0},
};

INSTANTIATE_TEST_SUITE_P(ring_queue, ring_wake,
                         testing::Combine(testing::ValuesIn(wake_cases),
                                          testing::Values(family::fixed, family::variable)),
                         [](const testing::TestParamInfo<std::tuple<wake_case, family>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    family_name(std::get<1>(info.param));
                         });

// ================================================================== stress

// Payload: [sequence number: 8][body derived from it][checksum of everything before: 8].
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Fixed: uniform in [16, max]. Variable: mostly short, one in 16 anywhere up to max, so records
// of very different sizes keep straddling the ring's end.
std::size_t stress_len(family f, std::uint64_t seq, std::size_t max_len) {
    const std::uint64_t r = mix(seq);
    if (f == family::fixed || (r & 15) == 0) return 16 + static_cast<std::size_t>((r >> 8) % (max_len - 15));
    return 16 + static_cast<std::size_t>((r >> 8) % 49);
}

std::uint64_t checksum(const char* p, std::size_t n) {
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

void make_payload(char* out, std::uint64_t seq, std::size_t len) {
    std::memcpy(out, &seq, 8);
    for (std::size_t i = 8; i < len - 8; ++i) out[i] = static_cast<char>((seq >> (i % 8 * 8)) + i * 131);
    const std::uint64_t sum = checksum(out, len - 8);
    std::memcpy(out + len - 8, &sum, 8);
}

// Empty string when the message is whole and is the one expected.
std::string check_payload(const taken_msg& t, family f, std::size_t max_len, const std::uint64_t* expect_seq,
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

std::string stress_name(const testing::TestParamInfo<stress_case>& info) { return info.param.name; }
void PrintTo(const stress_case& c, std::ostream* os) { *os << c.name; }

// The consumer sleeps on a semaphore whenever try_pop finds the queue empty and is woken only
// when a push_wake returns k_wake: a lost wake-up hangs the run (and the watchdog fails it).
class ring_stress_wake : public testing::TestWithParam<stress_case> {};

TEST_P(ring_stress_wake, semaphore_consumer_gets_every_message_once_in_order) {
    const stress_case& c = GetParam();
    const std::uint64_t n = std::max<std::uint64_t>(stress_messages() / c.divisor, 10'000);
    ring_queue q(c.slot_size, c.capacity, false, c.zerocopy, c.block_on_full);
    std::counting_semaphore<> wake(0);
    watchdog dog([&] {
        q.stop();
        wake.release();
    });
    fault_log faults;
    std::uint64_t wakes = 0;
    std::uint64_t full_retries = 0;
    std::uint64_t sleeps = 0;
    std::uint64_t received = 0;
    std::atomic<std::uint64_t> consumed{0};

    std::thread producer([&] {
        burst_pacer pacer(c.max_burst, consumed, dog);
        std::vector<char> buf(c.max_len);
        for (std::uint64_t seq = 0; seq < n; ++seq) {
            const std::size_t len = stress_len(c.fam, seq, c.max_len);
            make_payload(buf.data(), seq, len);
            for (;;) {
                const int rc = push_wake_msg(q, c.fam, buf.data(), len);
                if (rc == k_wake) {
                    ++wakes;
                    wake.release();
                    break;
                }
                if (rc == k_ok) break;
                if (rc == k_full && !c.block_on_full) {
                    ++full_retries;
                    std::this_thread::yield();
                    continue;
                }
                return faults.add("push of #" + std::to_string(seq) + " returned " + std::to_string(rc));
            }
            pacer.sent(seq + 1);
        }
    });
    std::thread consumer([&] {
        while (received < n) {
            const taken_msg t = try_pop_msg(q, c.fam);
            if (t.rc == k_ok) {
                ++sleeps;
                wake.acquire();
                continue;
            }
            if (t.rc != k_taken) return faults.add("try_pop returned " + std::to_string(t.rc));
            std::uint64_t seq = 0;
            const std::string bad = check_payload(t, c.fam, c.max_len, &received, &seq);
            if (!bad.empty()) return faults.add(bad);
            ++received;
            if (c.fam == family::fixed && received % 3 == 0) (void)q.release();  // always k_ok after a take
            consumed.store(received, std::memory_order_release);
        }
    });
    producer.join();
    consumer.join();
    dog.finish();
    ASSERT_FALSE(dog.fired()) << "hung after " << received << " of " << n << " messages";
    ASSERT_EQ(faults.count(), 0u) << faults.text();
    EXPECT_EQ(received, n);
    EXPECT_EQ(q.pushed(), n);
    EXPECT_EQ(q.popped(), n);
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.wakeups_requested(), wakes);
    std::printf("[ stress   ] %llu messages, consumer slept %llu times, %llu k_wake, %llu k_full retries\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(sleeps),
                static_cast<unsigned long long>(wakes), static_cast<unsigned long long>(full_retries));
}

INSTANTIATE_TEST_SUITE_P(
    ring_queue, ring_stress_wake,
    testing::Values(stress_case{"fixed_zerocopy_blocking_producer", family::fixed, true, true, 64, 64, 64, 0, 1},
                    stress_case{"variable_copy_retrying_producer", family::variable, false, false, 64, 64, 1024, 0, 1},
                    stress_case{"fixed_copy_bursts", family::fixed, false, true, 32, 8, 32, 24, 10},
                    stress_case{"variable_zerocopy_bursts", family::variable, true, false, 64, 8, 256, 6, 20}),
    stress_name);

// Both sides use the queue's own waits: pop/pop_var sleep on the futex while empty, push sleeps
// while full.
class ring_stress_blocking : public testing::TestWithParam<stress_case> {};

TEST_P(ring_stress_blocking, blocking_pop_and_push_lose_nothing) {
    const stress_case& c = GetParam();
    const std::uint64_t n = std::max<std::uint64_t>(stress_messages() / c.divisor, 10'000);
    ring_queue q(c.slot_size, c.capacity, false, c.zerocopy, c.block_on_full);
    watchdog dog([&] { q.stop(); });
    fault_log faults;
    std::uint64_t received = 0;
    std::atomic<std::uint64_t> consumed{0};
    std::thread producer([&] {
        burst_pacer pacer(c.max_burst, consumed, dog);
        std::vector<char> buf(c.max_len);
        for (std::uint64_t seq = 0; seq < n; ++seq) {
            const std::size_t len = stress_len(c.fam, seq, c.max_len);
            make_payload(buf.data(), seq, len);
            const int rc = push_msg(q, c.fam, buf.data(), len);
            if (rc != k_ok) return faults.add("push returned " + std::to_string(rc));
            pacer.sent(seq + 1);
        }
    });
    std::thread consumer([&] {
        while (received < n) {
            const taken_msg t = pop_msg(q, c.fam);
            if (t.rc != k_taken) return faults.add("pop returned " + std::to_string(t.rc));
            std::uint64_t seq = 0;
            const std::string bad = check_payload(t, c.fam, c.max_len, &received, &seq);
            if (!bad.empty()) return faults.add(bad);
            ++received;
            if (received % 2 == 0) (void)q.release();  // always k_ok after a take
            consumed.store(received, std::memory_order_release);
        }
    });
    producer.join();
    consumer.join();
    dog.finish();
    ASSERT_FALSE(dog.fired()) << "hung after " << received << " of " << n << " messages";
    ASSERT_EQ(faults.count(), 0u) << faults.text();
    EXPECT_EQ(received, n);
    EXPECT_EQ(q.popped(), n);
}

INSTANTIATE_TEST_SUITE_P(
    ring_queue, ring_stress_blocking,
    testing::Values(stress_case{"fixed_copy", family::fixed, false, true, 32, 16, 32, 0, 4},
                    stress_case{"variable_zerocopy", family::variable, true, true, 64, 16, 512, 0, 4},
                    stress_case{"fixed_zerocopy_bursts", family::fixed, true, true, 32, 8, 32, 12, 20},
                    stress_case{"variable_copy_bursts", family::variable, false, true, 64, 8, 256, 6, 20}),
    stress_name);

// The producer never waits and laps the consumer constantly; the consumer sometimes sits on a
// message while it does. Every message taken must be whole, newer than the last one, and unchanged
// for as long as it is held; taken + dropped must account for everything pushed.
class ring_stress_overwrite : public testing::TestWithParam<stress_case> {};

TEST_P(ring_stress_overwrite, taken_messages_are_whole_and_increasing) {
    const stress_case& c = GetParam();
    const std::uint64_t n = std::max<std::uint64_t>(stress_messages() / c.divisor, 10'000);
    ring_queue q(c.slot_size, c.capacity, true, c.zerocopy, false);
    watchdog dog([&] { q.stop(); });
    fault_log faults;
    std::uint64_t received = 0;
    std::uint64_t held_checks = 0;
    std::thread producer([&] {
        std::vector<char> buf(c.max_len);
        for (std::uint64_t seq = 0; seq < n; ++seq) {
            const std::size_t len = stress_len(c.fam, seq, c.max_len);
            make_payload(buf.data(), seq, len);
            const int rc = push_msg(q, c.fam, buf.data(), len);
            if (rc != k_ok) return faults.add("push returned " + std::to_string(rc));
        }
        q.stop();
    });
    std::thread consumer([&] {
        std::uint64_t last = 0;
        bool any = false;
        for (;;) {
            taken_msg t = try_pop_msg(q, c.fam);
            if (t.rc == k_ok) t = pop_msg(q, c.fam);
            if (t.rc == k_stopped) return;
            if (t.rc != k_taken) return faults.add("pop returned " + std::to_string(t.rc));
            std::uint64_t seq = 0;
            std::string bad = check_payload(t, c.fam, c.max_len, nullptr, &seq);
            if (!bad.empty()) return faults.add(bad);
            if (any && seq <= last) return faults.add("#" + std::to_string(seq) + " after #" + std::to_string(last));
            any = true;
            last = seq;
            ++received;
            if (received % 64 == 0) {
                // Sit on it while the producer laps the ring, then look again.
                for (int i = 0; i < 3; ++i) std::this_thread::yield();
                bad = check_payload(t, c.fam, c.max_len, &seq, &seq);
                if (!bad.empty()) return faults.add("changed while held: " + bad);
                ++held_checks;
            }
            if (received % 2 == 0) (void)q.release();  // always k_ok after a take
        }
    });
    producer.join();
    consumer.join();
    dog.finish();
    ASSERT_FALSE(dog.fired()) << "hung after " << received << " messages";
    ASSERT_EQ(faults.count(), 0u) << faults.text();
    EXPECT_EQ(q.pushed(), n);
    EXPECT_GT(received, 0u);
    EXPECT_EQ(received + q.dropped(), n) << "received " << received << ", dropped " << q.dropped();
    std::printf("[ stress   ] %llu pushed, %llu taken, %llu dropped, %llu held re-checks\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(q.dropped()), static_cast<unsigned long long>(held_checks));
}

INSTANTIATE_TEST_SUITE_P(
    ring_queue, ring_stress_overwrite,
    testing::Values(stress_case{"fixed_zerocopy", family::fixed, true, false, 48, 8, 48, 0, 4},
                    stress_case{"fixed_copy", family::fixed, false, false, 48, 8, 48, 0, 4},
                    stress_case{"variable_zerocopy", family::variable, true, false, 64, 16, 560, 0, 4},
                    stress_case{"variable_copy", family::variable, false, false, 64, 16, 560, 0, 4}),
    stress_name);

}  // namespace
