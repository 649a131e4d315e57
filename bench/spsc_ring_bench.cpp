// Benchmark for korvo::spsc::ring_queue: one producer thread, one consumer thread, 64-byte and
// 1 KiB messages through both families, against a mutex + condition_variable + deque baseline.
// Prints throughput, push latency percentiles and ratios; takes a few seconds.
#include "spsc_ring.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define KORVO_BENCH_TSC 1
#endif
#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace {

using korvo::spsc::k_full;
using korvo::spsc::k_ok;
using korvo::spsc::k_taken;
using korvo::spsc::ring_queue;
using steady = std::chrono::steady_clock;

constexpr std::size_t k_capacity = 1024;  // messages in flight, for the ring and the baseline
// Throughput rounds: each round runs every queue once, one after the other, so noise from other
// work on a shared machine lands on all of them alike; medians are reported.
constexpr int k_rounds = 5;

// ------------------------------------------------------------------ timing

// Per-push timing. On x86: lfence;rdtsc before and rdtscp;lfence after each push, ticks turned
// into ns by comparing the TSC with steady_clock over a 50 ms spin, minus the median cost of an
// empty timing pair (some hosts tick the TSC coarsely; the granularity is printed). Elsewhere:
// steady_clock around batches of 64 pushes, each push charged the batch average (p99 is then a
// batch average, not a single push). The mean comes from the untimed runs: producer time / n.
struct tick_clock {
#ifdef KORVO_BENCH_TSC
    static std::uint64_t start() noexcept {
        _mm_lfence();
        return __rdtsc();
    }
    static std::uint64_t stop() noexcept {
        unsigned aux;
        const std::uint64_t t = __rdtscp(&aux);
        _mm_lfence();
        return t;
    }
    static constexpr bool per_push = true;
#else
    static std::uint64_t start() noexcept {
        return static_cast<std::uint64_t>(steady::now().time_since_epoch().count());
    }
    static std::uint64_t stop() noexcept { return start(); }
    static constexpr bool per_push = false;
#endif
};

// ns per tick and the cost of an empty start/stop pair, measured once.
struct clock_calibration {
    double ns_per_tick = 1.0;
    double overhead_ticks = 0.0;
    double granularity_ns = 0.0;  // smallest step seen between two readings
};

clock_calibration calibrate() {
    clock_calibration c;
    const auto t0 = steady::now();
    const std::uint64_t k0 = tick_clock::start();
    while (steady::now() - t0 < std::chrono::milliseconds(50)) {}
    const std::uint64_t k1 = tick_clock::stop();
    const double ns = std::chrono::duration<double, std::nano>(steady::now() - t0).count();
    c.ns_per_tick = ns / static_cast<double>(k1 - k0);
    std::vector<std::uint64_t> empty(100000);
    for (auto& e : empty) {
        const std::uint64_t a = tick_clock::start();
        e = tick_clock::stop() - a;
    }
    std::nth_element(empty.begin(), empty.begin() + empty.size() / 2, empty.end());
    c.overhead_ticks = static_cast<double>(empty[empty.size() / 2]);
    std::uint64_t step = UINT64_MAX;
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t a = tick_clock::start();
        std::uint64_t b = tick_clock::start();
        while (b == a) b = tick_clock::start();
        step = std::min(step, b - a);
    }
    c.granularity_ns = static_cast<double>(step) * c.ns_per_tick;
    return c;
}

struct latency {
    double p50 = 0;
    double p99 = 0;
    double p999 = 0;
};

latency percentiles(std::vector<std::uint32_t>& ticks, const clock_calibration& cal) {
    latency l;
    if (ticks.empty()) return l;
    const auto at = [&](double q) {
        const std::size_t i =
            std::min(ticks.size() - 1, static_cast<std::size_t>(q * static_cast<double>(ticks.size())));
        std::nth_element(ticks.begin(), ticks.begin() + static_cast<std::ptrdiff_t>(i), ticks.end());
        return std::max(0.0, (static_cast<double>(ticks[i]) - cal.overhead_ticks) * cal.ns_per_tick);
    };
    l.p50 = at(0.50);
    l.p99 = at(0.99);
    l.p999 = at(0.999);
    return l;
}

// ------------------------------------------------------------------ threads

std::vector<int> usable_cpus() {
    std::vector<int> cpus;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int i = 0; i < CPU_SETSIZE; ++i) {
            if (CPU_ISSET(i, &set)) cpus.push_back(i);
        }
    }
#endif
    return cpus;
}

// Producer and consumer each get a CPU of their own when there are two to give.
void pin_to(int which) {
#if defined(__linux__)
    static const std::vector<int> cpus = usable_cpus();
    if (cpus.size() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpus[static_cast<std::size_t>(which) % cpus.size()], &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
#else
    (void)which;
#endif
}

// ------------------------------------------------------------------ queues under test

enum class family { fixed, variable };

// The ring with the calls the bridge makes: push (retrying on full), pop + release / pop_var.
struct ring_harness {
    family fam;
    ring_queue q;
    ring_harness(family f, std::size_t msg) : fam(f), q(msg, k_capacity, false, true, false) {}

    // Returns true when the push went in at the first try.
    bool push(const char* data, std::size_t size) {
        int rc = fam == family::fixed ? q.push(data, size) : q.push_var(data, size);
        if (rc == k_ok) return true;
        while (rc == k_full) {
            korvo::spsc::detail::cpu_relax();
            rc = fam == family::fixed ? q.push(data, size) : q.push_var(data, size);
        }
        return false;
    }
    // Returns the message's sequence number (its first 8 bytes).
    std::uint64_t pop() {
        const char* data = nullptr;
        std::size_t size = 0;
        const int rc = fam == family::fixed ? q.pop(&data, &size) : q.pop_var(&data, &size);
        if (rc != k_taken) std::abort();
        std::uint64_t seq;
        std::memcpy(&seq, data, sizeof seq);
        if (fam == family::fixed && q.release() != k_ok) std::abort();
        return seq;
    }
};

// The usual lock-based queue: bounded to the same capacity, one heap buffer per message, a
// notify only when the other side may be waiting.
struct mutex_harness {
    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    std::deque<std::vector<char>> items;

    mutex_harness(family, std::size_t) {}

    bool push(const char* data, std::size_t size) {
        std::unique_lock lock(mutex);
        const bool waited = items.size() >= k_capacity;
        not_full.wait(lock, [&] { return items.size() < k_capacity; });
        const bool was_empty = items.empty();
        items.emplace_back(data, data + size);
        lock.unlock();
        if (was_empty) not_empty.notify_one();
        return !waited;
    }
    std::uint64_t pop() {
        std::unique_lock lock(mutex);
        not_empty.wait(lock, [&] { return !items.empty(); });
        std::vector<char> item = std::move(items.front());
        items.pop_front();
        const bool was_full = items.size() + 1 == k_capacity;
        lock.unlock();
        if (was_full) not_full.notify_one();
        std::uint64_t seq;
        std::memcpy(&seq, item.data(), sizeof seq);
        return seq;
    }
};

struct run_result {
    double msgs_per_s = 0;
    double lo = 0;  // slowest and fastest round
    double hi = 0;
    double push_mean_ns = 0;  // producer busy time / messages, untimed run
    latency push_ns;
    double first_try_share = 0;  // pushes that found room at once
};

// One producer -> one consumer run of n messages of `msg` bytes. With `timed`, every push is
// timed; throughput is taken from untimed runs.
template <class harness>
run_result run_once(family fam, std::size_t msg, std::uint64_t n, bool timed, const clock_calibration& cal) {
    harness h(fam, msg);
    std::vector<std::uint32_t> ticks;
    if (timed) ticks.reserve(static_cast<std::size_t>(n));
    std::uint64_t first_try = 0;
    std::atomic<bool> go{false};
    std::thread consumer([&] {
        pin_to(1);
        while (!go.load(std::memory_order_acquire)) {}
        for (std::uint64_t i = 0; i < n; ++i) {
            if (h.pop() != i) {
                std::fprintf(stderr, "out of order at %llu\n", static_cast<unsigned long long>(i));
                std::abort();
            }
        }
    });
    pin_to(0);
    std::vector<char> buf(msg, 'x');
    go.store(true, std::memory_order_release);
    const auto t0 = steady::now();
    if (timed && tick_clock::per_push) {
        for (std::uint64_t i = 0; i < n; ++i) {
            std::memcpy(buf.data(), &i, sizeof i);
            const std::uint64_t a = tick_clock::start();
            const bool at_once = h.push(buf.data(), msg);
            const std::uint64_t b = tick_clock::stop();
            first_try += at_once;
            if (at_once) ticks.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(b - a, UINT32_MAX)));
        }
    } else if (timed) {
        constexpr std::uint64_t k_batch = 64;
        for (std::uint64_t i = 0; i < n;) {
            const std::uint64_t end = std::min(n, i + k_batch);
            const std::uint64_t a = tick_clock::start();
            for (std::uint64_t j = i; j < end; ++j) {
                std::memcpy(buf.data(), &j, sizeof j);
                first_try += h.push(buf.data(), msg);
            }
            const std::uint64_t each = (tick_clock::stop() - a) / (end - i);
            for (std::uint64_t j = i; j < end; ++j) ticks.push_back(static_cast<std::uint32_t>(each));
            i = end;
        }
    } else {
        for (std::uint64_t i = 0; i < n; ++i) {
            std::memcpy(buf.data(), &i, sizeof i);
            first_try += h.push(buf.data(), msg);
        }
    }
    const double producer_secs = std::chrono::duration<double>(steady::now() - t0).count();
    consumer.join();
    const double secs = std::chrono::duration<double>(steady::now() - t0).count();
    run_result r;
    r.msgs_per_s = static_cast<double>(n) / secs;
    r.push_mean_ns = producer_secs * 1e9 / static_cast<double>(n);
    r.first_try_share = static_cast<double>(first_try) / static_cast<double>(n);
    if (timed) r.push_ns = percentiles(ticks, cal);
    return r;
}

// Collects the untimed rounds of one queue, then adds one timed run for the latencies.
struct series {
    std::vector<run_result> runs;
    run_result summary(const run_result& timed) const {
        std::vector<run_result> v = runs;
        std::sort(v.begin(), v.end(),
                  [](const run_result& a, const run_result& b) { return a.msgs_per_s < b.msgs_per_s; });
        run_result r = timed;
        r.msgs_per_s = v[v.size() / 2].msgs_per_s;
        r.push_mean_ns = v[v.size() / 2].push_mean_ns;
        r.first_try_share = v[v.size() / 2].first_try_share;
        r.lo = v.front().msgs_per_s;
        r.hi = v.back().msgs_per_s;
        return r;
    }
};

void print_row(const char* name, std::size_t msg, const run_result& r, const run_result* base) {
    char ratio[32] = "";
    if (base != nullptr) std::snprintf(ratio, sizeof ratio, "%5.1fx", r.msgs_per_s / base->msgs_per_s);
    std::printf("%-16s %5zu B %7.2f M/s (%5.1f-%5.1f) %7.0f MB/s %6s %7.1f %6.0f %6.0f %7.0f %6.1f%%\n", name, msg,
                r.msgs_per_s / 1e6, r.lo / 1e6, r.hi / 1e6, r.msgs_per_s * static_cast<double>(msg) / 1e6, ratio,
                r.push_mean_ns, r.push_ns.p50, r.push_ns.p99, r.push_ns.p999, r.first_try_share * 100);
}

// Every round's figure as a JSON array.
std::string json_runs(const series& s) {
    std::string out = "[";
    char figure[32];
    for (const run_result& r : s.runs) {
        std::snprintf(figure, sizeof figure, "%s%.0f", out.size() > 1 ? ", " : "", r.msgs_per_s);
        out += figure;
    }
    return out + "]";
}

// One results row (see bench/results.py) when KORVO_BENCH_RESULTS names the run's results file.
void record_row(const char* path, const run_result& r, const series& runs, const run_result& base,
                const series& base_runs) {
    const char* destination = std::getenv("KORVO_BENCH_RESULTS");
    if (destination == nullptr || *destination == '\0') return;
    const char* run = std::getenv("KORVO_BENCH_RUN");  // a timestamp: nothing to escape
    std::FILE* out = std::fopen(destination, "a");
    if (out == nullptr) return;
    std::fprintf(out,
                 "{\"group\": \"spsc_queue\", \"path\": \"%s\", \"value\": %.0f, \"baseline_name\": "
                 "\"mutex+cv+deque\", \"baseline\": %.0f, \"unit\": \"msg/s\", \"better\": \"higher\", "
                 "\"ratio\": %.4f, \"target\": null, \"note\": \"\", \"ceiling\": false, "
                 "\"settings\": \"median of %d interleaved rounds; %zu messages in flight, one producer and one "
                 "consumer thread, each on its own CPU when there are two\", \"runs\": %s, \"baseline_runs\": %s, "
                 "\"run\": \"%s\"}\n",
                 path, r.msgs_per_s, base.msgs_per_s, r.msgs_per_s / base.msgs_per_s, k_rounds, k_capacity,
                 json_runs(runs).c_str(), json_runs(base_runs).c_str(), run != nullptr ? run : "");
    std::fclose(out);
}

}  // namespace

int main() {
    const clock_calibration cal = calibrate();
    std::printf("korvo spsc ring benchmark: 1 producer -> 1 consumer, %zu messages in flight, %u CPUs usable\n",
                k_capacity, static_cast<unsigned>(std::max<std::size_t>(usable_cpus().size(), 1)));
#ifdef KORVO_BENCH_TSC
    std::printf(
        "push latency: rdtsc per push (%.3f ns/tick, %.0f ticks timer cost subtracted), pushes that found room\n",
        cal.ns_per_tick, cal.overhead_ticks);
#else
    std::printf("push latency: steady_clock per batch of 64 pushes, averaged per push\n");
#endif
    std::printf("timer granularity seen: %.1f ns\n", cal.granularity_ns);
    std::printf("throughput: median of %d interleaved rounds (slowest-fastest in brackets); x = vs mutex baseline\n",
                k_rounds);
    std::printf("mean = producer time per push, untimed; no-wait = pushes that found room at once\n\n");
    std::printf("%-16s %7s %25s %12s %6s %7s %6s %6s %7s %7s\n", "queue", "message", "throughput", "bandwidth", "x",
                "mean ns", "p50", "p99", "p99.9", "no-wait");

    struct size_case {
        std::size_t msg;
        std::uint64_t ring_n;
        std::uint64_t mutex_n;
    };
    for (const size_case s : {size_case{64, 2'000'000, 500'000}, size_case{1024, 500'000, 200'000}}) {
        series base;
        series fixed;
        series var;
        for (int round = 0; round < k_rounds; ++round) {
            base.runs.push_back(run_once<mutex_harness>(family::fixed, s.msg, s.mutex_n, false, cal));
            fixed.runs.push_back(run_once<ring_harness>(family::fixed, s.msg, s.ring_n, false, cal));
            var.runs.push_back(run_once<ring_harness>(family::variable, s.msg, s.ring_n, false, cal));
        }
        const run_result b = base.summary(run_once<mutex_harness>(family::fixed, s.msg, s.mutex_n, true, cal));
        const run_result f = fixed.summary(run_once<ring_harness>(family::fixed, s.msg, s.ring_n, true, cal));
        const run_result v = var.summary(run_once<ring_harness>(family::variable, s.msg, s.ring_n, true, cal));
        print_row("mutex+cv+deque", s.msg, b, nullptr);
        print_row("ring fixed", s.msg, f, &b);
        print_row("ring variable", s.msg, v, &b);
        std::printf("\n");
        const std::string size = std::to_string(s.msg) + " B";
        record_row(("ring_queue fixed, " + size).c_str(), f, fixed, b, base);
        record_row(("ring_queue variable, " + size).c_str(), v, var, b, base);
    }
    return 0;
}
