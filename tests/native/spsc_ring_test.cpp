// Tests for korvo::spsc::ring_queue: both message families, holds and zerocopy, blocking, the
// wake-up protocol, stop(), and long two-thread stress runs under a watchdog. Overwrite mode has
// its own file (spsc_ring_overwrite_test.cpp).
#include "spsc_ring.hpp"

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
#include <utility>
#include <vector>

#include "spsc_ring_test_support.hpp"

namespace {

using namespace korvo::spsc;
using namespace korvo::spsc::ring_test;

// ================================================================== construction

struct bad_size_case {
    const char* what;
    std::size_t slot_size;
    std::size_t capacity;
};

void PrintTo(const bad_size_case& c, std::ostream* os) { *os << c.what; }

class RingConstructionRejects : public testing::TestWithParam<bad_size_case> {};

TEST_P(RingConstructionRejects, InvalidSizes) {
    const auto& c = GetParam();
    EXPECT_THROW(ring_queue(c.slot_size, c.capacity, false, true, false), std::invalid_argument);
    EXPECT_THROW(ring_queue(c.slot_size, c.capacity, true, false, true), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    RingQueue, RingConstructionRejects,
    testing::Values(bad_size_case{"zero_slot", 0, 8}, bad_size_case{"zero_capacity", 64, 0},
                    bad_size_case{"both_zero", 0, 0},
                    bad_size_case{"slot_overflows", std::numeric_limits<std::size_t>::max(), 1},
                    bad_size_case{"slot_rounding_overflows", std::numeric_limits<std::size_t>::max() - 3, 1},
                    bad_size_case{"product_overflows", std::size_t{1} << 40, std::size_t{1} << 40},
                    bad_size_case{"capacity_overflows", 8, std::numeric_limits<std::size_t>::max()}),
    [](const testing::TestParamInfo<bad_size_case>& info) { return std::string(info.param.what); });

TEST(RingConstruction, ReportsItsGeometryAndStartsEmpty) {
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

class RingBasics : public mode_test {};

TEST_P(RingBasics, KeepsOrderAndContentAcrossManyWraps) {
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

TEST_P(RingBasics, ZeroLengthMessagesRoundTrip) {
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

TEST_P(RingBasics, AcceptsExactlyUpToItsLimit) {
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

TEST_P(RingBasics, HoldsExactlyCapacityThenReportsFull) {
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

TEST_P(RingBasics, AHeldMessageKeepsItsSpaceOnlyInZerocopyMode) {
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

TEST_P(RingBasics, ReleaseFreesOnlyWhatIsHeld) {
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

TEST_P(RingBasics, PopsOfTheOtherFamilyTakeNothing) {
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

TEST_P(RingBasics, CountersFollowEveryOutcome) {
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

INSTANTIATE_TEST_SUITE_P(RingQueue, RingBasics, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== variable family only

class RingVariable : public mode_test {};

TEST_P(RingVariable, PacksShortMessages) {
    auto q = make(24, 6);
    std::size_t stored = 0;
    while (push_msg(*q, fam(), "") == k_ok) ++stored;
    EXPECT_EQ(stored, q->ring_bytes() / 8) << "an empty message takes just its 8-byte header";
    for (std::size_t i = 0; i < stored; ++i) ASSERT_EQ(try_pop_msg(*q, fam()).size, 0u);
    EXPECT_EQ(try_pop_msg(*q, fam()).rc, k_ok);
}

INSTANTIATE_TEST_SUITE_P(RingQueue, RingVariable,
                         testing::Values(mode{family::variable, true}, mode{family::variable, false}), mode_name);

// ================================================================== waiting, blocking, stop

class RingBlocking : public mode_test {};

TEST_P(RingBlocking, ABlockedProducerResumesOnceSpaceIsFreed) {
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

TEST_P(RingBlocking, StopFromAThirdThreadEndsABlockedPush) {
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

TEST_P(RingBlocking, StopFromAThirdThreadEndsAWaitingPop) {
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

TEST_P(RingBlocking, AWaitingPopTakesTheNextPush) {
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
TEST_P(RingBlocking, StopAtAnyMomentEndsBothSides) {
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

// The producer stops the queue right after its last push while the consumer finds it empty:
// whichever way the consumer pops, it gets every message before k_stopped.
TEST_P(RingBlocking, EveryPushBeforeStopIsHandedOutFirst) {
    using pop_fn = taken_msg (*)(ring_queue&, family);
    for (const auto& [how, pop] :
         {std::pair<const char*, pop_fn>{"pop", pop_msg}, {"try_pop", try_pop_msg}, {"poll", poll_msg}}) {
        for (const bool overwrite : {false, true}) {
            SCOPED_TRACE(std::string(how) + (overwrite ? ", overwrite" : ""));
            for (int round = 0; round < 200; ++round) {
                auto q = make(16, 8, overwrite);
                const std::uint64_t n = 1 + round % 8;  // never more than fits
                std::uint64_t received = 0;
                two_thread_run run([&] { q->stop(); });
                auto producer = [&] {
                    for (std::uint64_t i = 0; i < n; ++i) {
                        if (push_msg(*q, fam(), text(i, 12)) != k_ok) return run.faults.add("push failed");
                    }
                    q->stop();
                };
                auto consumer = [&] {
                    for (;;) {
                        const taken_msg t = pop(*q, fam());
                        if (t.rc == k_stopped) return;
                        if (t.rc == k_ok) continue;
                        if (t.rc != k_taken || t.str() != text(received, 12)) return run.faults.add("bad pop");
                        ++received;
                    }
                };
                ASSERT_TRUE(run(producer, consumer)) << "round " << round;
                ASSERT_EQ(received, n) << "round " << round << ": k_stopped with messages queued";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RingQueue, RingBlocking, testing::ValuesIn(all_modes()), mode_name);

// ================================================================== wake-up protocol

enum class act { push, push_wake, try_pop, poll, stop };

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

class RingWake : public testing::TestWithParam<std::tuple<wake_case, family>> {};

TEST_P(RingWake, FollowsTheProtocol) {
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
            case act::poll: {
                const char* data = nullptr;
                std::size_t size = 0;
                EXPECT_EQ(fam == family::fixed ? q.poll(&data, &size) : q.poll_var(&data, &size), s.expect);
                break;
            }
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
    {"empty_poll_does_not_arm", {{act::poll, k_ok}, {act::push_wake, k_ok}, {act::poll, k_taken}}, 0},
    {"poll_leaves_an_armed_request", {{act::try_pop, k_ok}, {act::poll, k_ok}, {act::push_wake, k_wake}}, 1},
    {"poll_taking_a_message_disarms",
     {{act::try_pop, k_ok}, {act::push, k_ok}, {act::poll, k_taken}, {act::push_wake, k_ok}},
     0},
    {"poll_after_stop", {{act::stop, k_ok}, {act::poll, k_stopped}}, 0},
    {"stop_without_an_armed_consumer",
     {{act::push, k_ok}, {act::stop, k_ok}, {act::try_pop, k_taken}, {act::try_pop, k_stopped}, {act::stop, k_ok}},
     0},
};

INSTANTIATE_TEST_SUITE_P(RingQueue, RingWake,
                         testing::Combine(testing::ValuesIn(wake_cases),
                                          testing::Values(family::fixed, family::variable)),
                         [](const testing::TestParamInfo<std::tuple<wake_case, family>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    family_name(std::get<1>(info.param));
                         });

// ================================================================== stress

// The consumer sleeps on a semaphore whenever try_pop finds the queue empty and is woken only
// when a push_wake returns k_wake: a lost wake-up hangs the run (and the watchdog fails it).
class RingStressWake : public testing::TestWithParam<stress_case> {};

TEST_P(RingStressWake, SemaphoreConsumerGetsEveryMessageOnceInOrder) {
    const stress_case& c = GetParam();
    const std::uint64_t n = c.messages();
    ring_queue q(c.slot_size, c.capacity, false, c.zerocopy, c.block_on_full);
    std::counting_semaphore<> wake(0);
    two_thread_run run([&] {
        q.stop();
        wake.release();
    });
    const watchdog& dog = run.dog;
    fault_log& faults = run.faults;
    std::uint64_t wakes = 0;
    std::uint64_t full_retries = 0;
    std::uint64_t sleeps = 0;
    std::uint64_t received = 0;
    std::atomic<std::uint64_t> consumed{0};

    auto producer = [&] {
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
    };
    auto consumer = [&] {
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
    };
    ASSERT_TRUE(run(producer, consumer)) << "after " << received << " of " << n << " messages";
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
    RingQueue, RingStressWake,
    testing::Values(stress_case{"fixed_zerocopy_blocking_producer", family::fixed, true, true, 64, 64, 64, 0, 1},
                    stress_case{"variable_copy_retrying_producer", family::variable, false, false, 64, 64, 1024, 0, 1},
                    stress_case{"fixed_copy_bursts", family::fixed, false, true, 32, 8, 32, 24, 10},
                    stress_case{"variable_zerocopy_bursts", family::variable, true, false, 64, 8, 256, 6, 20}),
    stress_name);

// Both sides use the queue's own waits: pop/pop_var sleep on the futex while empty, push sleeps
// while full.
class RingStressBlocking : public testing::TestWithParam<stress_case> {};

TEST_P(RingStressBlocking, BlockingPopAndPushLoseNothing) {
    const stress_case& c = GetParam();
    const std::uint64_t n = c.messages();
    ring_queue q(c.slot_size, c.capacity, false, c.zerocopy, c.block_on_full);
    two_thread_run run([&] { q.stop(); });
    const watchdog& dog = run.dog;
    fault_log& faults = run.faults;
    std::uint64_t received = 0;
    std::atomic<std::uint64_t> consumed{0};
    auto producer = [&] {
        burst_pacer pacer(c.max_burst, consumed, dog);
        std::vector<char> buf(c.max_len);
        for (std::uint64_t seq = 0; seq < n; ++seq) {
            const std::size_t len = stress_len(c.fam, seq, c.max_len);
            make_payload(buf.data(), seq, len);
            const int rc = push_msg(q, c.fam, buf.data(), len);
            if (rc != k_ok) return faults.add("push returned " + std::to_string(rc));
            pacer.sent(seq + 1);
        }
    };
    auto consumer = [&] {
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
    };
    ASSERT_TRUE(run(producer, consumer)) << "after " << received << " of " << n << " messages";
    EXPECT_EQ(received, n);
    EXPECT_EQ(q.popped(), n);
}

INSTANTIATE_TEST_SUITE_P(
    RingQueue, RingStressBlocking,
    testing::Values(stress_case{"fixed_copy", family::fixed, false, true, 32, 16, 32, 0, 4},
                    stress_case{"variable_zerocopy", family::variable, true, true, 64, 16, 512, 0, 4},
                    stress_case{"fixed_zerocopy_bursts", family::fixed, true, true, 32, 8, 32, 12, 20},
                    stress_case{"variable_copy_bursts", family::variable, false, true, 64, 8, 256, 6, 20},
                    // Over 4 MiB: the ring is mapped for huge pages, and records run into the mirror.
                    stress_case{"variable_zerocopy_huge_page_ring", family::variable, true, true, 1024, 8192, 4096, 0,
                                8}),
    stress_name);

}  // namespace
