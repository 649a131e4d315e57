"""Native producer thread -> SyncDispatcher -> trivial Python callback, against baselines measured
in the same run: a native thread calling the callback with the lock held (the limit of any
one-by-one bridge), loop.call_soon_threadsafe from a native thread, and pyzmq inproc PUSH/PULL.
Also the wake-up latency of a lone message into an idle dispatcher."""

import asyncio
import statistics
import threading
import time

import relaybus_testext as ext
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


def bench_dispatcher(size, count, **mode):
    callback = Counter(count)

    d = relaybus.SyncDispatcher(callback, capacity=8192, slot_size=max(size, 64), block_on_full=True,
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


def wakeup_latency(samples=2000):
    latencies = []
    got = threading.Semaphore(0)

    def callback(message):
        latencies.append(time.monotonic_ns() - int.from_bytes(message, "little", signed=True))
        got.release()

    d = relaybus.SyncDispatcher(callback, detach=False)
    d.setup()
    for _ in range(samples):
        time.sleep(0.0005)  # let the consumer fall asleep on its socket
        ext.produce_stamped(d)
        got.acquire()
    d.close()
    latencies.sort()
    return latencies[len(latencies) // 2], latencies[int(len(latencies) * 0.99)]


def main():
    print(f"{'case':44} {'msgs/s':>12} {'vs limit':>9}")
    for size in (64, 1024):
        count = COUNT if size == 64 else COUNT // 4
        limit = bench_limit(size, count)
        rows = [
            ("limit: native thread calling with lock", limit),
            ("SyncDispatcher wake-up, fixed", bench_dispatcher(size, count)),
            ("SyncDispatcher wake-up, variable", bench_dispatcher(size, count, variable_size=True)),
            ("SyncDispatcher queue-wait, fixed", bench_dispatcher(size, count, nonblocking=False)),
            ("SyncDispatcher queue-wait, variable", bench_dispatcher(size, count, nonblocking=False,
                                                                   variable_size=True)),
            ("loop.call_soon_threadsafe (native thread)", bench_call_soon(size, count // 4)),
            ("pyzmq inproc PUSH/PULL", bench_zmq(size, count // 4)),
        ]
        print(f"-- {size}-byte messages")
        for name, value in rows:
            if value is None:
                print(f"{name:44} {'skipped (pyzmq not installed)':>22}")
            else:
                print(f"{name:44} {value:12,.0f} {value / limit:9.2f}")
    p50, p99 = wakeup_latency()
    print(f"wake-up latency of a lone message into an idle dispatcher: p50 {p50 / 1000:.1f} us, p99 {p99 / 1000:.1f} us")


if __name__ == "__main__":
    main()
