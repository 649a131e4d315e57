"""Native producer thread -> SyncDispatcher -> trivial Python callback, against baselines measured
in the same run: a native thread calling the callback with the lock held (the limit of any
one-by-one bridge), loop.call_soon_threadsafe from a native thread, and pyzmq inproc PUSH/PULL.
Also the wake-up latency of a lone message into an idle dispatcher.

The asyncio side: a native producer -> AsyncDispatcher -> `async def` callback against a native
thread that drives the same callback's coroutines with the lock held (the ceiling) and against
loop.call_soon_threadsafe with a plain (sync) callback; AsyncQueue against asyncio.Queue between
two coroutines of one loop; the wake-up latency of an idle AsyncDispatcher."""

import asyncio
import statistics
import threading
import time

import relaybus_testext as ext
import results
from korvo.utils.relaybus import relaybus


class Quiet:
    def warn(self, msg):
        pass

    def debug(self, msg):
        pass


relaybus.logger = Quiet()
COUNT = 2_000_000


def rate(count, seconds):
    return count / seconds


class Counter:
    """The trivial callback every case delivers to: counts, and signals the last message."""

    def __init__(self, count):
        self.count = count
        self.seen = 0
        self.done = threading.Event()

    def __call__(self, message):
        self.seen += 1
        if self.seen == self.count:
            self.done.set()


def bench_dispatcher(size, count, capacity=8192, **mode):
    callback = Counter(count)

    d = relaybus.SyncDispatcher(callback, capacity=capacity, slot_size=max(size, 64), block_on_full=True,
                                detach=False, **mode)
    d.setup()
    start = time.perf_counter()
    ext.produce(d, count, size, False, True, True)
    callback.done.wait(120)
    elapsed = time.perf_counter() - start
    d.close()
    return rate(callback.seen, elapsed)


def bench_limit(size, count):
    callback = Counter(count)
    start = time.perf_counter()
    ext.call_with_lock(callback, count, size)
    return rate(count, time.perf_counter() - start)


def bench_call_soon(size, count):
    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        seen = 0

        def callback(message):
            nonlocal seen
            seen += 1
            if seen == count:
                done.set_result(None)

        start = time.perf_counter()
        ext.call_soon_threadsafe(loop, callback, count, size)
        await done
        return rate(count, time.perf_counter() - start)

    return asyncio.run(main())


def bench_zmq(size, count):
    try:
        import zmq
    except ImportError:
        return None
    ctx = zmq.Context()
    pull = ctx.socket(zmq.PULL)
    pull.bind("inproc://bench")
    push = ctx.socket(zmq.PUSH)
    push.connect("inproc://bench")
    payload = b"x" * size

    def produce():
        for _ in range(count):
            push.send(payload)

    start = time.perf_counter()
    producer = threading.Thread(target=produce)
    producer.start()
    for _ in range(count):
        pull.recv()
    producer.join()
    elapsed = time.perf_counter() - start
    push.close()
    pull.close()
    ctx.term()
    return rate(count, elapsed)


LATENCY_IDLE = 0.002  # seconds between samples: every consumer is asleep when its message comes
LATENCY_SAMPLES = 1000


def percentiles(latencies):
    latencies = sorted(latencies)
    return latencies[len(latencies) // 2], latencies[int(len(latencies) * 0.99)]


def wakeup_latency(samples=LATENCY_SAMPLES, idle=LATENCY_IDLE):
    """A native thread pushes one message stamped with its send time into an idle SyncDispatcher;
    the callback reads the clock. Returns (p50, p99) in ns."""
    latencies = []
    got = threading.Semaphore(0)

    def callback(message):
        latencies.append(time.monotonic_ns() - int.from_bytes(message, "little", signed=True))
        got.release()

    d = relaybus.SyncDispatcher(callback, detach=False)
    d.setup()
    for _ in range(samples):
        time.sleep(idle)  # let the consumer fall asleep on its socket
        ext.produce_stamped(d)
        got.acquire()
    d.close()
    return percentiles(latencies)


def plain_thread_latency(samples=LATENCY_SAMPLES, idle=LATENCY_IDLE):
    """The baseline of both wake-up latencies: a plain Python thread blocked in recv on a loopback
    UDP socket, woken by one datagram carrying its send time, `idle` seconds after the last one.
    Returns (p50, p99) in ns."""
    import socket

    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.connect(receiver.getsockname())
    latencies = []
    got = threading.Semaphore(0)

    def reader():
        for _ in range(samples):
            message = receiver.recv(64)
            latencies.append(time.monotonic_ns() - int.from_bytes(message, "little", signed=True))
            got.release()

    thread = threading.Thread(target=reader)
    thread.start()
    for _ in range(samples):
        time.sleep(idle)  # let the reader fall asleep in recv
        sender.send(time.monotonic_ns().to_bytes(8, "little", signed=True))
        got.acquire()
    thread.join()
    receiver.close()
    sender.close()
    latencies.sort()
    return latencies[len(latencies) // 2], latencies[int(len(latencies) * 0.99)]


ASYNC_COUNT = 4_000_000  # about a second at the ceiling
REPEATS = 3  # the limits, ceilings and korvo rows report the best of these runs: the machine is shared


def best_of(measure, *args, **kwargs):
    """The best of REPEATS runs, carrying every run's figure and how they were taken."""
    return results.best([measure(*args, **kwargs) for _ in range(REPEATS)], f"best of {REPEATS} runs")


def counting_coroutine(count, on_last):
    """The `async def` callback of the asyncio cases: counts, and calls on_last at the last message.
    The ceiling drives the very same callback, so the ratio measures only the delivery."""
    seen = 0

    async def callback(message):
        nonlocal seen
        seen += 1
        if seen == count:
            on_last()

    return callback


def bench_async_dispatcher(size, count, variable_size=False):
    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        callback = counting_coroutine(count, lambda: done.set_result(None))

        d = relaybus.AsyncDispatcher(callback, capacity=8192, slot_size=max(size, 64), variable_size=variable_size)
        d.setup()
        start = time.perf_counter()
        # produce() waits for its native thread without the lock: off the loop's thread.
        await loop.run_in_executor(None, ext.produce, d, count, size, False, True, True)
        await done
        elapsed = time.perf_counter() - start
        d.close()
        return rate(count, elapsed)

    return asyncio.run(main())


def bench_async_ceiling(size, count):
    callback = counting_coroutine(count, lambda: None)
    start = time.perf_counter()
    ext.call_with_lock(callback, count, size, True)
    return rate(count, time.perf_counter() - start)


def bench_queue(make, push, pop, count, pingpong):
    """Messages per second between two coroutines of one loop. Streaming: one coroutine pushes
    `count` messages while the other pops them (both queues bounded, so the pusher also waits).
    Ping-pong: each message is answered through a second queue before the next is sent."""

    async def main():
        there, back = make(), make()
        payload = b"x" * 64

        async def sender():
            for _ in range(count):
                await push(there, payload)
                if pingpong:
                    await pop(back)

        async def receiver():
            for _ in range(count):
                message = await pop(there)
                if pingpong:
                    await push(back, message)

        start = time.perf_counter()
        await asyncio.gather(sender(), receiver())
        return rate(count, time.perf_counter() - start)

    return asyncio.run(main())


def bench_async_queue(count, pingpong):
    return bench_queue(lambda: relaybus.AsyncQueue(capacity=1024, block_on_full=True), relaybus.AsyncQueue.push_buf,
                       relaybus.AsyncQueue.pop, count, pingpong)


def bench_asyncio_queue(count, pingpong):
    return bench_queue(lambda: asyncio.Queue(1024), asyncio.Queue.put, asyncio.Queue.get, count, pingpong)


def async_wakeup_latency(samples=LATENCY_SAMPLES, idle=LATENCY_IDLE):
    """The loop sleeps in its selector; a Python thread pushes one stamped message at a time,
    `idle` seconds after the last one was delivered. Returns (p50, p99) in ns."""

    async def main():
        loop = asyncio.get_running_loop()
        latencies = []
        got = threading.Semaphore(0)

        async def callback(message):
            latencies.append(time.monotonic_ns() - int.from_bytes(message, "little", signed=True))
            got.release()

        def sample():
            for _ in range(samples):
                time.sleep(idle)  # let the loop fall asleep on its selector
                ext.produce_stamped(d)
                got.acquire()

        d = relaybus.AsyncDispatcher(callback)
        d.setup()
        await loop.run_in_executor(None, sample)
        d.close()
        return latencies

    return percentiles(asyncio.run(main()))


def print_rows(rows, base_name):
    print(f"{'case':44} {'msgs/s':>12} {'vs ' + base_name:>12}")
    base = rows[0][1]
    for name, value in rows:
        print(f"{name:44} {value:12,.0f} {value / base:12.2f}")


def main_async():
    size, count = 64, ASYNC_COUNT
    ceiling = best_of(bench_async_ceiling, size, count)
    fixed = best_of(bench_async_dispatcher, size, count)
    variable = best_of(bench_async_dispatcher, size, count, variable_size=True)
    call_soon = best_of(bench_call_soon, size, count // 200)  # a lock handoff per message: slow
    ceilings, fixed_runs, variable_runs, call_soon_runs = (m.runs for m in (ceiling, fixed, variable, call_soon))
    print(f"-- asyncio, {size}-byte messages, counting async def callback (best of {REPEATS} runs)")
    print_rows([
        ("ceiling: native thread driving cb's coroutine", ceiling),
        ("AsyncDispatcher, fixed", fixed),
        ("AsyncDispatcher, variable", variable),
        ("loop.call_soon_threadsafe, sync callback", call_soon),
    ], "ceiling")
    print(f"AsyncDispatcher fixed / call_soon_threadsafe: {fixed / call_soon:.1f}x, "
          f"variable / call_soon_threadsafe: {variable / call_soon:.1f}x")
    settings = f"best of {REPEATS}, {size} B, capacity 8192, block_on_full producer"
    ceiling_name = "native loop driving cb's coroutine"
    for label, value, runs in (("fixed", fixed, fixed_runs), ("variable", variable, variable_runs)):
        results.record("relaybus", f"AsyncDispatcher 64 B {label}", value, ceiling_name, ceiling,
                       "msg/s", target=0.7, settings=settings, runs=runs, baseline_runs=ceilings, ceiling=True)
    results.record("relaybus", "AsyncDispatcher 64 B fixed", fixed, "loop.call_soon_threadsafe", call_soon, "msg/s",
                   settings=settings, runs=fixed_runs, baseline_runs=call_soon_runs)
    for pingpong, label, n, target in ((False, "streaming", 1_000_000, 2.5), (True, "ping-pong", 60_000, 1.0)):
        baseline = best_of(bench_asyncio_queue, n, pingpong)
        ours = best_of(bench_async_queue, n, pingpong)
        baselines, ours_runs = baseline.runs, ours.runs
        print(f"-- AsyncQueue vs asyncio.Queue, two coroutines of one loop, {label}, 64-byte messages")
        print_rows([("asyncio.Queue put/get", baseline), ("AsyncQueue push_buf/pop", ours)], "Queue")
        results.record("relaybus", f"AsyncQueue {label}", ours, "asyncio.Queue", baseline, "msg/s", target=target,
                       settings=f"best of {REPEATS}, {n:,} messages of 64 B, capacity 1024 (asyncio.Queue maxsize "
                                f"1024), block_on_full", runs=ours_runs, baseline_runs=baselines)
    latency_rows("AsyncDispatcher", async_wakeup_latency, ((0, "p50", 1.0),))


# The synchronous rows: (label, keyword arguments of bench_dispatcher, least acceptable ratio to the
# limit or None). 1 KiB also runs at larger capacities, where the ring outgrows the caches.
SYNC_ROWS = {
    64: [
        ("wake-up, fixed", {}, 0.85),
        ("wake-up, variable", {"variable_size": True}, 0.85),
        ("queue-wait, fixed", {"nonblocking": False}, None),
        ("queue-wait, variable", {"nonblocking": False, "variable_size": True}, None),
    ],
    1024: [
        ("wake-up, fixed", {}, None),
        ("wake-up, fixed, capacity 16384", {"capacity": 16384}, 0.5),
        ("wake-up, fixed, capacity 65536", {"capacity": 65536}, 0.5),
        ("wake-up, variable", {"variable_size": True}, None),
        ("wake-up, variable, capacity 16384", {"capacity": 16384, "variable_size": True}, 0.5),
        ("wake-up, variable, capacity 65536", {"capacity": 65536, "variable_size": True}, 0.5),
        ("queue-wait, fixed", {"nonblocking": False}, None),
        ("queue-wait, variable", {"nonblocking": False, "variable_size": True}, None),
    ],
}


def main_sync():
    print(f"{'case':52} {'msgs/s':>12} {'vs limit':>9}")
    recorded = []
    for size in (64, 1024):
        count = COUNT if size == 64 else COUNT // 4
        limit = best_of(bench_limit, size, count)
        limit_runs = limit.runs
        ours = []
        for label, mode, target in SYNC_ROWS[size]:
            value = best_of(bench_dispatcher, size, count, **mode)
            ours.append((label, value, value.runs, mode, target))
        call_soon = bench_call_soon(size, count // 4)
        zmq = bench_zmq(size, count // 4)
        print(f"-- {size}-byte messages (best of {REPEATS} runs; baselines one run each)")
        rows = [("limit: native thread calling with lock", limit)]
        rows += [(f"SyncDispatcher {label}", value) for label, value, *_ in ours]
        rows += [("loop.call_soon_threadsafe (native thread)", call_soon), ("pyzmq inproc PUSH/PULL", zmq)]
        for name, value in rows:
            if value is None:
                print(f"{name:52} {'skipped (pyzmq not installed)':>22}")
            else:
                print(f"{name:52} {value:12,.0f} {value / limit:9.2f}")
        limit_name = "native loop calling with lock"
        for label, value, runs, mode, target in ours:
            settings = (f"best of {REPEATS} (limit too), {count:,} messages, capacity {mode.get('capacity', 8192)}, "
                        "block_on_full")
            recorded.append((f"SyncDispatcher {size} B {label}", value, runs, limit_name, limit, limit_runs, target,
                             settings))
        _, fixed, fixed_runs, *_ = ours[0]
        settings = f"best of {REPEATS} vs one baseline run of {count // 4:,} messages, capacity 8192, block_on_full"
        recorded.append((f"SyncDispatcher {size} B wake-up, fixed", fixed, fixed_runs, "loop.call_soon_threadsafe",
                         call_soon, None, None, settings))
        if zmq is not None:
            recorded.append((f"SyncDispatcher {size} B wake-up, fixed", fixed, fixed_runs, "pyzmq inproc PUSH/PULL",
                             zmq, None, None, settings))
    for path, value, runs, baseline_name, baseline, baseline_runs, target, settings in recorded:
        results.record("relaybus", path, value, baseline_name, baseline, "msg/s", target=target, settings=settings,
                       runs=runs, baseline_runs=baseline_runs, ceiling=baseline_name == limit_name)


def latency_rows(dispatcher, measure, targets):
    """The wake-up latency of a lone message into an idle `dispatcher` (measured by `measure`)
    against the plain thread, the runs interleaved so both see the same machine; each figure is
    the best of the runs. `targets`: (index in (p50, p99), name, least acceptable ratio)."""
    plain_runs, ours_runs = [], []
    for _ in range(REPEATS):
        plain_runs.append(plain_thread_latency())
        ours_runs.append(measure())
    settings = (f"best of {REPEATS} interleaved runs of {LATENCY_SAMPLES} samples, {LATENCY_IDLE * 1000:g} ms idle "
                "between samples")
    for index, name, target in targets:
        ours = [run[index] / 1000 for run in ours_runs]
        plain = [run[index] / 1000 for run in plain_runs]
        print(f"wake-up latency {name}: {dispatcher} {min(ours):.1f} us, plain thread {min(plain):.1f} us "
              f"(runs: {', '.join(f'{v:.1f}' for v in ours)} / {', '.join(f'{v:.1f}' for v in plain)})")
        results.record("relaybus", f"{dispatcher} wake-up latency {name}", min(ours),
                       "Python thread in recv on a datagram", min(plain), "us", better="lower", target=round(target, 2),
                       settings=settings, runs=ours, baseline_runs=plain)


def main_latency():
    latency_rows("SyncDispatcher", wakeup_latency, ((0, "p50", 1 / 0.7), (1, "p99", 1.0)))


def main():
    main_sync()
    main_latency()
    main_async()


if __name__ == "__main__":
    import sys

    parts = {"sync": main_sync, "latency": main_latency, "asyncio": main_async}
    chosen = sys.argv[1:] or list(parts)  # e.g. `sync latency`: only those parts
    unknown = [name for name in chosen if name not in parts]
    if unknown:
        sys.exit(f"unknown part {', '.join(unknown)}; choose from {', '.join(parts)}")
    for name in chosen:
        parts[name]()
