"""AsyncDispatcher and AsyncQueue on real asyncio loops, fed by native producer threads."""

import asyncio
import gc
import pickle
import random
import socket
import threading

import pytest

import relaybus_testext as ext
from korvo.utils.relaybus import relaybus

pytestmark = pytest.mark.usefixtures("quiet_bridge_logger")


def run(coro, timeout=60):
    async def bounded():
        return await asyncio.wait_for(coro, timeout)

    return asyncio.run(bounded())


async def produce(d, count, size, vary=False, via_table=0):
    """ext.produce on a worker thread (it releases the lock while its native thread pushes)."""
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, ext.produce, d, count, size, vary, True, False, via_table)


class Collector:
    """Async callback checking sequence numbers and payloads; `done` is set when all arrived."""

    def __init__(self, expected):
        self.expected, self.count, self.bad, self.kept = expected, 0, [], []
        self.done = asyncio.Event()

    async def __call__(self, message):
        if not ext.verify(message, self.count) and len(self.bad) < 5:
            self.bad.append((self.count, message[:16]))
        if self.count < 3:
            self.kept.append((self.count, message))  # must stay intact after later messages
        self.count += 1
        if self.count == self.expected:
            self.done.set()


# ---- AsyncDispatcher


@pytest.mark.parametrize(
    ("variable_size", "zerocopy", "via_table"),
    [(False, False, 0), (True, True, 0), (False, True, 1), (True, False, 2)],
    ids=["fixed-push", "var-zerocopy-push", "fixed-zerocopy-table", "var-table"],
)
def test_long_stream_arrives_in_order_and_intact(variable_size, zerocopy, via_table):
    count = 200_000

    async def main():
        collector = Collector(count)
        d = relaybus.AsyncDispatcher(collector, capacity=1024, slot_size=512, zerocopy=zerocopy,
                                     variable_size=variable_size)
        d.setup()
        results = await produce(d, count, 300, vary=variable_size, via_table=via_table)
        await collector.done.wait()
        d.close()
        assert sum(n for code, n in results.items() if code >= 0) == count
        assert collector.bad == [] and collector.count == count
        assert all(ext.verify(message, seq) for seq, message in collector.kept)

    run(main(), timeout=120)


@pytest.mark.parametrize("variable_size", [False, True])
def test_messages_pushed_before_setup_and_empty_messages_are_delivered(variable_size):
    async def main():
        got = []
        done = asyncio.Event()

        async def callback(message):
            got.append(message)
            if len(got) == 13:
                done.set()

        d = relaybus.AsyncDispatcher(callback, variable_size=variable_size)
        assert set(await produce(d, 10, 32)) <= {0}  # nobody waits yet: no wake-up asked
        await asyncio.get_running_loop().run_in_executor(None, ext.produce, d, 3, 0, False, True, True)
        d.setup()
        await done.wait()
        d.close()
        assert [ext.verify(m, i) for i, m in enumerate(got[:10])] == [True] * 10
        assert got[10:] == [b"", b"", b""]

    run(main())


class LoopWithoutReaders(asyncio.SelectorEventLoop):
    """A loop that cannot watch sockets, as a proactor: the reader waits in sock_recv instead."""

    def add_reader(self, *args):
        raise NotImplementedError


@pytest.mark.parametrize("loop_factory", [None, LoopWithoutReaders], ids=["watched", "sock_recv"])
def test_foreign_datagrams_only_cause_empty_passes(loop_factory):
    async def main():
        got = []
        d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0, got.append(m)))
        d.setup()
        port = ext.dispatcher_fields(d)["port"]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            for payload in (b"x", b"longer datagram", b""):
                other.sendto(payload, ("127.0.0.1", port))
        await asyncio.sleep(0.1)
        assert got == []
        await produce(d, 1, 16)
        for _ in range(200):
            if got:
                break
            await asyncio.sleep(0.01)
        d.close()
        assert len(got) == 1 and ext.verify(got[0], 0)

    asyncio.run(asyncio.wait_for(main(), 60), loop_factory=loop_factory)


def test_close_from_another_thread_while_a_producer_pushes():
    async def main():
        delivered = 0

        async def callback(message):
            nonlocal delivered
            delivered += 1
            if delivered == 1000:
                threading.Thread(target=d.close).start()

        d = relaybus.AsyncDispatcher(callback, capacity=256)
        d.setup()
        task = ext.dispatcher_fields(d)["task"]
        results = await produce(d, 5_000_000, 64)
        await asyncio.wait([task], timeout=30)
        assert task.done()
        assert results.get(-3, 0) == 1  # the producer saw the stop and ended
        fields = ext.dispatcher_fields(d)
        assert fields["sock_fd"] == -1 and fields["running"] == 0 and fields["task"] is None

    run(main())


@pytest.mark.parametrize(
    ("callback", "exc_type"),
    [(lambda m: None, TypeError), (lambda m: 1 / 0, ZeroDivisionError)],
    ids=["not-awaitable", "raises"],
)
def test_failing_callback_ends_the_reader_with_its_exception(callback, exc_type):
    async def main():
        d = relaybus.AsyncDispatcher(callback)
        d.setup()
        task = ext.dispatcher_fields(d)["task"]
        assert d.running
        await produce(d, 3, 16)
        with pytest.raises(exc_type):
            await asyncio.wait_for(task, 30)
        assert not d.running and repr(d).endswith("running=False)")  # ended, before any close()
        d.close()

    run(main())


def test_close_cancels_a_reader_suspended_in_its_callback():
    async def main():
        entered = asyncio.Event()

        async def callback(message):
            entered.set()
            await asyncio.sleep(3600)

        d = relaybus.AsyncDispatcher(callback)
        d.setup()
        task = ext.dispatcher_fields(d)["task"]
        await produce(d, 1, 16)
        await entered.wait()
        d.close()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

    run(main())


def test_close_between_loop_runs_closes_the_socket_at_once():
    """A loop that is not running is told at once, so its socket need not wait for a next run."""
    loop = asyncio.new_event_loop()

    async def start():
        d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
        d.setup()
        await asyncio.sleep(0.01)  # the reader waits on its socket
        return d, ext.dispatcher_fields(d)

    try:
        d, fields = loop.run_until_complete(start())
        d.close()
        assert fields["sock"].fileno() == -1 and not fields["task"].done()
        loop.run_until_complete(asyncio.wait([fields["task"]], timeout=10))
        assert fields["task"].cancelled()
    finally:
        loop.close()


def test_reader_coroutine_objects():
    async def main():
        d = relaybus.AsyncDispatcher(print)
        for attr, name in (("_AsyncDispatcher__reader", "__reader"), ("_AsyncDispatcher__reader_var", "__reader_var")):
            coro = getattr(d, attr)(asyncio.get_running_loop(), None)
            assert asyncio.iscoroutine(coro)
            assert (coro.__name__, coro.__qualname__) == (name, "AsyncDispatcher." + name)
            assert coro.cr_await is None and not coro.cr_running
            coro.close()
            with pytest.raises(RuntimeError, match="cannot reuse"):
                coro.send(None)
        with pytest.raises(TypeError):
            d._AsyncDispatcher__reader(1)

    run(main())


def test_setup_and_close_rules():
    async def main():
        d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
        assert d.close() is None and ext.dispatcher_fields(d)["task"] is None  # before setup: nothing
        with pytest.raises(TypeError, match=r"Argument 'host' has incorrect type \(expected str, got bytes\)"):
            d.setup(b"127.0.0.1")
        with pytest.raises(TypeError):
            d.setup(None)
        got, lost = [], []
        d2 = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0, got.append(m)))
        assert d2.running  # nothing has ended yet
        d2.setup()
        with pytest.raises(RuntimeError, match="reader task of this dispatcher is still running"):
            d2.setup()
        with pytest.raises(RuntimeError, match=r"AsyncDispatcher.__init__\(\): a reader task of this dispatcher is "):
            d2.__init__(lambda m: asyncio.sleep(0, lost.append(m)), capacity=8, variable_size=True)
        assert ext.dispatcher_fields(d2)["push"] == "push_notify"
        await produce(d2, 100, 16)
        for _ in range(500):
            if len(got) == 100:
                break
            await asyncio.sleep(0.01)
        assert len(got) == 100 and lost == []  # the reader's queue and callback are the ones producers feed
        with pytest.raises(AttributeError):
            d2.running = False
        d2.close()
        assert not d2.running
        d2.close()
        d2.setup()  # after close: a reader that returns at once
        task = ext.dispatcher_fields(d2)["task"]
        assert await asyncio.wait_for(task, 10) is None
        d2.close()
        assert ext.dispatcher_fields(d2)["push"] == "push_notify"
        assert ext.dispatcher_fields(relaybus.AsyncDispatcher(print, variable_size=1))["push"] == "push_var_notify"
        d3 = relaybus.AsyncDispatcher(print)
        d3.setup()
        task = ext.dispatcher_fields(d3)["task"]
        d3.close()  # before the reader's first step, its socket closed at once: it returns cleanly
        await asyncio.wait([task], timeout=10)
        assert task.cancelled() or task.result() is None

    run(main())
    with pytest.raises(RuntimeError, match="no running event loop"):
        relaybus.AsyncDispatcher(print).setup()
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        relaybus.AsyncDispatcher(print, -1)


def test_native_setup_runs_a_python_override_and_destruction_an_overriding_close(unraisable):
    calls = []

    class Sub(relaybus.AsyncDispatcher):
        def setup(self, host="127.0.0.1", recvbuf=16777216):
            calls.append(("setup", host, recvbuf))

        def close(self):
            calls.append("close")
            raise ValueError("from close")

    ext.native_setup(Sub(print), "127.0.0.1", 4096)
    gc.collect()
    assert calls == [("setup", "127.0.0.1", 4096), "close"]
    assert [str(u.exc_value) for u in unraisable] == ["from close"]
    assert unraisable[0].object == "korvo.utils.relaybus.relaybus.AsyncDispatcher.__dealloc__"


@pytest.mark.parametrize("action", ["close", "drop"])
def test_callback_may_close_or_drop_its_own_dispatcher(child, action):
    out = child(f"""
        import asyncio, gc
        import relaybus_testext as ext
        from korvo.utils.relaybus import relaybus
        async def outer():
            box = {{}}
            async def callback(message):
                if "{action}" == "close":
                    box["d"].close()
                else:
                    box.clear()
            box["d"] = relaybus.AsyncDispatcher(callback)
            box["d"].setup()
            task = ext.dispatcher_fields(box["d"])["task"]
            await asyncio.get_running_loop().run_in_executor(None, ext.produce, box["d"], 5, 16)
            await asyncio.wait([task], timeout=5)
            box.clear()
            gc.collect()
            print("ok")
        asyncio.run(outer())
        """)
    assert out.strip() == "ok"


def test_two_threads_close_at_once_and_interpreter_exit_with_it_alive(child):
    out = child("""
        import asyncio, threading
        import relaybus_testext as ext
        from korvo.utils.relaybus import relaybus
        async def main():
            d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0.01))
            d.setup()
            await asyncio.get_running_loop().run_in_executor(None, ext.produce, d, 100, 16)
            threads = [threading.Thread(target=d.close) for _ in range(2)]
            for t in threads: t.start()
            for t in threads: t.join()
            alive = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
            alive.setup()
            await asyncio.get_running_loop().run_in_executor(None, ext.produce, alive, 100, 16)
            print("ok", flush=True)
            raise SystemExit(0)  # the loop and a running reader are left to interpreter exit
        asyncio.run(main())
        """)
    assert out.strip() == "ok"


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_child_after_fork_closes(child):
    out = child("""
        import asyncio, os
        from korvo.utils.relaybus import relaybus
        async def main():
            d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
            d.setup()
            pid = os.fork()
            if pid == 0:
                d.close()
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            d.close()
            print(os.waitstatus_to_exitcode(status))
        asyncio.run(main())
        """)
    assert out.strip() == "0"


def test_dispatcher_lifecycles_do_not_leak(refcount_growth):
    loop = asyncio.new_event_loop()

    async def cycle():
        d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
        d.setup()
        await asyncio.sleep(0)
        d.close()
        await asyncio.sleep(0)

    try:
        assert refcount_growth(lambda: loop.run_until_complete(cycle()), repeat=200) < 0.5
    finally:
        loop.close()


# ---- AsyncQueue


def test_queue_round_trips_every_kind():
    async def main():
        q = relaybus.AsyncQueue()
        await q.push_str("h\u00e9llo")
        await q.push_buf(bytearray(b"abc"))
        await q.push_buf(memoryview(b"xyz"))
        await q.push_obj([1, 2])
        assert [await q.pop() for _ in range(4)] == ["h\u00e9llo".encode(), b"abc", b"xyz", bytes([1, 2])]
        for push, bad in ((q.push_str, b"b"), (q.push_buf, "s"), (q.push_obj, object())):
            with pytest.raises(TypeError):
                await push(bad)
        assert not hasattr(q, "_q")  # fields are not attributes
        waiter = asyncio.ensure_future(q.pop())
        await asyncio.sleep(0)
        await q.push_str("late")
        assert await asyncio.wait_for(waiter, 10) == b"late"

    run(main())


def test_queue_coroutine_names():
    async def main():
        q = relaybus.AsyncQueue()
        made = [q.push_buf(b""), q.push_obj(b""), q.push_str(""), q.pop(), q._AsyncQueue__dispatch(), q.shutdown()]
        assert [c.__qualname__ for c in made] == [
            "AsyncQueue.push_buf", "AsyncQueue.push_obj", "AsyncQueue.push_str", "AsyncQueue.pop",
            "AsyncQueue.__dispatch", "AsyncQueue.shutdown"]
        assert [c.__name__ for c in made][4] == "__dispatch"
        for c in made:
            c.close()
        assert not hasattr(relaybus.AsyncQueue, "__aenter__")
        # An empty queue: the first look hands None to the driver, as asyncio.sleep(0) does,
        # and what is sent back in is dropped; close() there ends the coroutine.
        pop = q.pop()
        assert pop.send(None) is None and pop.cr_await is None
        assert pop.send("ignored") is not None  # past it: waiting on the condition's future
        pop.close()
        assert not q.__reduce__()[2][1].locked()

    run(main())


def test_dispatcher_task_and_shutdown():
    async def main():
        q = relaybus.AsyncQueue(capacity=256)  # the pushes never yield: all 200 must fit
        got = []

        async def callback(message):
            got.append(message)

        ext.native_start_dispatcher(q, callback)
        for i in range(200):
            await q.push_str(str(i))
        await asyncio.sleep(0.05)
        assert await q.shutdown(1, 2, 3) is None
        assert got == [str(i).encode() for i in range(200)]
        assert await q.shutdown() is None
        with pytest.raises(TypeError):
            q.shutdown(a=1)

        async def failing(message):
            raise KeyError("cb")

        q.start_dispatcher(failing)
        await q.push_str("x")
        await asyncio.sleep(0.01)
        with pytest.raises(KeyError):
            await q.shutdown()

    run(main())


def test_native_start_dispatcher_runs_a_python_override():
    async def main():
        seen = []

        class Sub(relaybus.AsyncQueue):
            def start_dispatcher(self, callback):
                seen.append(callback)

        ext.native_start_dispatcher(Sub(), print)
        assert seen == [print]

    run(main())


@pytest.mark.parametrize(("who", "pause"), [("pop", 0.01), ("dispatcher", 0.01), ("pop", 0)],
                         ids=["pop", "dispatcher", "pop-at-its-first-look"])
def test_cancelled_waiter_releases_the_lock(who, pause):
    async def main():
        q = relaybus.AsyncQueue()
        if who == "pop":
            task = asyncio.ensure_future(q.pop())
        else:
            q.start_dispatcher(lambda m: asyncio.sleep(0))
            task = [t for t in asyncio.all_tasks() if t.get_coro().__qualname__ == "AsyncQueue.__dispatch"][0]
        await asyncio.sleep(pause)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        lock = q.__reduce__()[2][1]
        assert not lock.locked()
        await q.push_str("after")
        assert await asyncio.wait_for(q.pop(), 10) == b"after"

    run(main())


@pytest.mark.parametrize("zerocopy", [False, True])
def test_block_on_full_push_waits_on_the_loop_instead_of_blocking_it(zerocopy):
    async def main():
        q = relaybus.AsyncQueue(capacity=1, slot_size=16, zerocopy=zerocopy, block_on_full=True)

        async def producer():
            for i in range(50):
                await q.push_str(str(i))

        task = asyncio.ensure_future(producer())
        assert [await q.pop() for _ in range(50)] == [str(i).encode() for i in range(50)]
        await task
        blocked = asyncio.ensure_future(producer())
        await asyncio.sleep(0.01)
        blocked.cancel()  # a push waiting for space stays cancellable
        with pytest.raises(asyncio.CancelledError):
            await blocked

    run(main())


@pytest.mark.parametrize("with_dispatcher", [False, True], ids=["pops", "pops-and-dispatcher"])
def test_consumers_sharing_a_queue_get_every_message_once(with_dispatcher):
    count = 3000

    async def main():
        q = relaybus.AsyncQueue(capacity=8, slot_size=8, block_on_full=True)
        rng, got = random.Random(7), []

        async def take(message):
            got.append(int(message))
            if rng.random() < 0.3:
                await asyncio.sleep(0)

        async def popper():
            while True:
                await take(await q.pop())

        consumers = [asyncio.ensure_future(popper()) for _ in range(3)]
        if with_dispatcher:
            q.start_dispatcher(take)
        for i in range(count):
            await q.push_str(str(i))
            if rng.random() < 0.2:
                await asyncio.sleep(0)
        for _ in range(1000):
            if len(got) == count:
                break
            await asyncio.sleep(0.005)
        for task in consumers:
            task.cancel()
        await q.shutdown()
        assert sorted(got) == list(range(count))

    run(main())


def test_queue_outside_a_loop():
    with pytest.raises(RuntimeError, match="AsyncQueue must be created inside a running event loop.") as info:
        relaybus.AsyncQueue()
    assert isinstance(info.value.__context__, RuntimeError)
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        relaybus.AsyncQueue(None, -1)
    assert relaybus.AsyncQueue(loop=object()) is not None  # a given loop is not checked


def test_queue_pickled_forms():
    bare = relaybus.AsyncQueue.__new__(relaybus.AsyncQueue)
    unpickle = relaybus.__pyx_unpickle_AsyncQueue
    assert bare.__reduce__() == (unpickle, (relaybus.AsyncQueue, 190821679, (None,) * 5 + (False, None)))
    q = relaybus.AsyncQueue(loop="any loop")
    reduced = q.__reduce__()
    assert reduced[:2] == (unpickle, (relaybus.AsyncQueue, 190821679, None)) and len(reduced[2]) == 7
    with pytest.raises(TypeError):
        pickle.dumps(q)  # the ring queue and the lock do not pickle
    restored = unpickle(relaybus.AsyncQueue, 0x4BD5B12, ("cb", 1, 2, 3, None, 1, 4))
    assert restored.__reduce__()[2] == ("cb", 1, 2, 3, None, True, 4)

    class Sub(relaybus.AsyncQueue):
        pass

    sub = unpickle(Sub, 0x5D4EBBC, None)
    sub.extra = 5
    assert sub.__reduce__()[2][-1] == {"extra": 5}
    sub.__setstate__((None,) * 7 + ({"more": 1},))
    assert sub.more == 1
    with pytest.raises(pickle.PickleError, match=r"Incompatible checksums \(0x1 vs \(0xb5fb52f, 0x4bd5b12, "
                       r"0x5d4ebbc\) = \(_callback, _lock, _loop, _notify_cond, _q, _running, _task\)\)"):
        unpickle(relaybus.AsyncQueue, 1, None)
    with pytest.raises(TypeError, match="Expected tuple, got str"):
        bare.__setstate__("x")
    with pytest.raises(TypeError, match="Cannot convert int to"):
        bare.__setstate__((None,) * 4 + (1, 0, None))


def test_queue_operations_do_not_leak(refcount_growth):
    loop = asyncio.new_event_loop()
    q = relaybus.AsyncQueue(loop=loop)

    async def work():
        await q.push_buf(bytearray(b"abc"))
        await q.push_obj(b"xyz")
        await q.push_str("text")
        for _ in range(3):
            await q.pop()
        waiter = asyncio.ensure_future(q.pop())
        await asyncio.sleep(0)
        waiter.cancel()
        try:
            await waiter
        except asyncio.CancelledError:
            pass
        q.push_buf(b"never awaited").close()
        unstarted = q.pop()
        repr(unstarted)
        unstarted.close()

    try:
        assert refcount_growth(lambda: loop.run_until_complete(work()), repeat=200) < 0.5
    finally:
        loop.close()
