// Tests for korvo::spsc::ring_queue in overwrite mode: dropping the oldest, never touching the
// message the consumer holds, when it is still full, and a two-thread run lapping the consumer.
#include "spsc_ring.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "spsc_ring_test_support.hpp"

namespace {

using namespace korvo::spsc;
using namespace korvo::spsc::ring_test;

// ================================================================== overwrite

class RingOverwrite : public mode_test {};

TEST_P(RingOverwrite, DropsTheOldestAndKeepsTheNewestInOrder) {
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
TEST_P(RingOverwrite, NeverWritesIntoTheMessageTheConsumerHolds) {
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

TEST_P(RingOverwrite, IsFullOnlyWhenTheMessageCannotFitBesideTheHeldOne) {
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

INSTANTIATE_TEST_SUITE_P(RingQueue, RingOverwrite, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== variable family

class RingOverwriteVariable : public mode_test {};

TEST_P(RingOverwriteVariable, DropsAsManyShortMessagesAsALongOneNeeds) {
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

INSTANTIATE_TEST_SUITE_P(RingQueue, RingOverwriteVariable,
                         testing::Values(mode{family::variable, true}, mode{family::variable, false}), mode_name);

// ================================================================== stress

// The producer never waits and laps the consumer constantly; the consumer sometimes sits on a
// message while it does. Every message taken must be whole, newer than the last one, and unchanged
// for as long as it is held; taken + dropped must account for everything pushed.
class RingStressOverwrite : public testing::TestWithParam<stress_case> {};

TEST_P(RingStressOverwrite, TakenMessagesAreWholeAndIncreasing) {
    const stress_case& c = GetParam();
    const std::uint64_t n = c.messages();
    ring_queue q(c.slot_size, c.capacity, true, c.zerocopy, false);
    two_thread_run run([&] { q.stop(); });
    fault_log& faults = run.faults;
    std::uint64_t received = 0;
    std::uint64_t held_checks = 0;
    auto producer = [&] {
        std::vector<char> buf(c.max_len);
        for (std::uint64_t seq = 0; seq < n; ++seq) {
            const std::size_t len = stress_len(c.fam, seq, c.max_len);
            make_payload(buf.data(), seq, len);
            const int rc = push_msg(q, c.fam, buf.data(), len);
            if (rc != k_ok) return faults.add("push returned " + std::to_string(rc));
        }
        q.stop();
    };
    auto consumer = [&] {
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
    };
    ASSERT_TRUE(run(producer, consumer)) << "after " << received << " messages";
    EXPECT_EQ(q.pushed(), n);
    EXPECT_GT(received, 0u);
    EXPECT_EQ(received + q.dropped(), n) << "received " << received << ", dropped " << q.dropped();
    std::printf("[ stress   ] %llu pushed, %llu taken, %llu dropped, %llu held re-checks\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(q.dropped()), static_cast<unsigned long long>(held_checks));
}

INSTANTIATE_TEST_SUITE_P(
    RingQueue, RingStressOverwrite,
    testing::Values(stress_case{"fixed_zerocopy", family::fixed, true, false, 48, 8, 48, 0, 4},
                    stress_case{"fixed_copy", family::fixed, false, false, 48, 8, 48, 0, 4},
                    stress_case{"variable_zerocopy", family::variable, true, false, 64, 16, 560, 0, 4},
                    stress_case{"variable_copy", family::variable, false, false, 64, 16, 560, 0, 4}),
    stress_name);

}  // namespace
