"""The bridge's objects shared between threads: producers, closers, setups and loops at once."""

import asyncio
import functools
import threading

import pytest

import relaybus_testext as ext
from korvo.utils.relaybus import relaybus

pytestmark = [pytest.mark.free_threading, pytest.mark.usefixtures("quiet_bridge_logger")]

DEADLINE = 120


def start(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread


def join_all(threads):
    for thread in threads:
        thread.join(DEADLINE)
    assert not any(t.is_alive() for t in threads), "a thread did not finish in time"


class Collector:
    """Counts messages and checks each one's sequence number and payload."""

    def __init__(self, first_batch):
        self.count = 0
        self.bad = []
        self.started = threading.Event()
        self.first_batch = first_batch

    def __call__(self, message):
        if not ext.verify(message, self.count) and len(self.bad) < 5:
            self.bad.append(self.count)
        self.count += 1
        if self.count == self.first_batch:
            self.started.set()


@pytest.mark.parametrize("mode", [
    pytest.param({"nonblocking": True, "variable_size": False}, id="wakeup-fixed"),
    pytest.param({"nonblocking": False, "variable_size": True}, id="queuewait-var"),
])
def test_sync_dispatchers_closed_by_other_threads_while_producers_push(mode):
    # Each dispatcher has a native producer that never holds the interpreter lock and two
    # threads that close it at once once delivery is under way. Every message the queue took is
    # delivered in order or still queued; the producer learns of the close.
    collectors = [Collector(200) for _ in range(3)]
    dispatchers = [relaybus.SyncDispatcher(c, capacity=64, slot_size=64, block_on_full=True, detach=False, **mode)
                   for c in collectors]
    results = [None] * len(dispatchers)

    def produce(i):
        results[i] = ext.produce(dispatchers[i], 1_000_000, 40, mode["variable_size"])

    def close_when_started(i):
        collectors[i].started.wait(DEADLINE)
        dispatchers[i].close()

    for d in dispatchers:
        d.setup()
    threads = [start(produce, i) for i in range(len(dispatchers))]
    threads += [start(close_when_started, i) for i in range(len(dispatchers)) for _ in range(2)]
    join_all(threads)
    for d, collector, result in zip(dispatchers, collectors, results):
        queue = ext.dispatcher_fields(d)["q"]
        stored = result.get(0, 0) + result.get(1, 0)
        assert result.get(-3, 0) == 1  # stopped: the producer ended there
        assert collector.bad == []
        assert stored == queue.pushed == collector.count + len(queue)
        assert not d.running


@pytest.mark.parametrize("nonblocking", [True, False], ids=["wakeup", "queuewait"])
def test_setup_init_and_close_race_on_one_sync_dispatcher(nonblocking):
    # setup() twice, __init__() and close() from four threads at once: each call either does its
    # part or is refused with RuntimeError, and the dispatcher ends closed with nothing running.
    errors = []
    for _ in range(20):
        d = relaybus.SyncDispatcher(lambda m: None, detach=False, nonblocking=nonblocking)
        barrier = threading.Barrier(4)

        def call(method, *args):
            barrier.wait(DEADLINE)
            try:
                method(*args)
            except RuntimeError as e:
                if "still running" not in str(e):
                    errors.append(e)

        reinit = functools.partial(d.__init__, lambda m: None, capacity=16, slot_size=64, detach=False,
                                   nonblocking=nonblocking)
        join_all([start(call, d.setup), start(call, d.setup), start(call, reinit), start(call, d.close)])
        d.close()
        assert not d.running
    assert errors == []


def test_async_dispatchers_and_queues_on_loops_in_several_threads():
    # Every thread runs its own loop with an AsyncDispatcher fed by a native producer and an
    # AsyncQueue between two of its coroutines; each loop gets all its messages, in order.
    count = 2000
    outcomes = {}

    async def on_loop(index):
        got = []
        d = relaybus.AsyncDispatcher(lambda m: _append_async(got, m), capacity=64, slot_size=64)
        d.setup()
        loop = asyncio.get_running_loop()
        produced = await loop.run_in_executor(None, ext.produce, d, count, 40, False, True)
        while len(got) < count:
            await asyncio.sleep(0.001)
        d.close()
        queue = relaybus.AsyncQueue(capacity=8, slot_size=32, block_on_full=True)

        async def pusher():
            for i in range(count):
                await queue.push_obj(b"%d" % i)

        popped = []
        push_task = asyncio.create_task(pusher())
        for _ in range(count):
            popped.append(int(await queue.pop()))
        await push_task
        bad = [i for i, m in enumerate(got) if not ext.verify(m, i)]
        outcomes[index] = (produced.get(0, 0) + produced.get(1, 0), len(got), bad, popped == list(range(count)))

    def run(index):
        asyncio.run(asyncio.wait_for(on_loop(index), DEADLINE))

    join_all([start(run, i) for i in range(4)])
    assert outcomes == {i: (count, count, [], True) for i in range(4)}


async def _append_async(got, message):
    got.append(message)
