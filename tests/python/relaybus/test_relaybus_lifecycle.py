"""SyncDispatcher lifecycle: who may close, re-initialisation, interpreter exit, fork.

Each case runs in a child interpreter with a deadline: the faults these guard against are
aborts and hangs.
"""

import os
import sys

import pytest

MODES = {
    "wakeup-fixed": "nonblocking=True, variable_size=False",
    "wakeup-var": "nonblocking=True, variable_size=True",
    "queuewait-fixed": "nonblocking=False, variable_size=False",
    "queuewait-var": "nonblocking=False, variable_size=True",
}
DETACH = {"detach": "detach=True", "join": "detach=False"}

# Indented like the bodies below, so the child fixture can dedent the two as one.
PRELUDE = """
    import os, sys, threading, time
    import relaybus_testext as ext
    from korvo.utils.relaybus import relaybus
    class Quiet:
        def warn(self, m): pass
        def debug(self, m): pass
    relaybus.logger = Quiet()
"""


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize("detach", DETACH.values(), ids=DETACH.keys())
@pytest.mark.parametrize("action", ["close", "drop"])
def test_callback_may_close_or_drop_its_own_dispatcher(child, action, detach, mode):
    out = child(PRELUDE + f"""
    ready, done = threading.Event(), threading.Event()
    seen, holder = [], []
    def callback(message):
        ready.wait(10)
        seen.append(message)
        if len(seen) == 1:
            holder[0].close() if "{action}" == "close" else holder.clear()
            done.set()
    d = relaybus.SyncDispatcher(callback, {detach}, {mode})
    ext.produce(d, 5, 16)  # queued before setup, so the callback runs after we let go
    holder.append(d)
    del d
    holder[0].setup()
    ready.set()
    assert done.wait(10)
    time.sleep(0.05)
    if holder:
        holder[0].close()
    print(len(seen))
    """)
    if action == "drop" and not getattr(sys, "_is_gil_enabled", lambda: True)():
        # Without the GIL a reference another thread drops is handed to the object's owner (the
        # main thread here), which destroys it when it next runs: delivery ends then.
        assert 1 <= int(out) <= 5
    else:
        assert out.split() == ["1"]  # delivery ends once the callback has returned


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
def test_second_init_while_running_is_refused_and_changes_nothing(child, mode):
    out = child(PRELUDE + f"""
    first, second = [], []
    d = relaybus.SyncDispatcher(first.append, detach=False, {mode})
    d.setup()
    before = ext.dispatcher_fields(d)
    try:
        d.__init__(second.append, capacity=64, detach=True, nonblocking=not before["nonblocking"])
    except RuntimeError as exc:
        print("refused")
    assert ext.dispatcher_fields(d) == before
    ext.produce(d, 100, 32)
    deadline = time.monotonic() + 10
    while len(first) < 100 and time.monotonic() < deadline:
        time.sleep(0.01)
    d.close()
    print(len(first), len(second))
    """)
    assert out.split() == ["refused", "100", "0"]


def test_failed_init_changes_nothing(child):
    out = child(PRELUDE + """
    first = []
    d = relaybus.SyncDispatcher(first.append, detach=True, nonblocking=True)
    before = ext.dispatcher_fields(d)
    try:
        d.__init__(print, capacity=0, detach=False, nonblocking=False, variable_size=True)
    except ValueError:
        print("refused")
    assert ext.dispatcher_fields(d) == before
    d.setup()
    ext.produce(d, 10, 32)
    deadline = time.monotonic() + 10
    while len(first) < 10 and time.monotonic() < deadline:
        time.sleep(0.01)
    d.close()
    print(len(first))
    """)
    assert out.split() == ["refused", "10"]


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
def test_two_threads_closing_while_the_callback_runs_both_return(child, mode):
    out = child(PRELUDE + f"""
    started, release = threading.Event(), threading.Event()
    def slow(message):
        started.set()
        release.wait(10)
    d = relaybus.SyncDispatcher(slow, detach=False, {mode})
    d.setup()
    ext.produce(d, 1, 16)
    assert started.wait(10)
    closers = [threading.Thread(target=d.close) for _ in range(2)]
    for t in closers:
        t.start()
    time.sleep(0.05)
    print(sum(t.is_alive() for t in closers))  # both wait for the message in delivery
    release.set()
    for t in closers:
        t.join(10)
    print(sum(t.is_alive() for t in closers))
    """)
    assert out.split() == ["2", "0"]


@pytest.mark.parametrize("detach", DETACH.values(), ids=DETACH.keys())
def test_two_setups_at_once_start_one_consumer(child, detach):
    out = child(PRELUDE + f"""
    outcomes = []
    for _ in range(20):
        seen = []
        d = relaybus.SyncDispatcher(seen.append, {detach})
        gate = threading.Barrier(2)
        def start():
            gate.wait()
            try:
                d.setup()
                outcomes.append("ok")
            except RuntimeError:
                outcomes.append("refused")
        threads = [threading.Thread(target=start) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        ext.produce(d, 2000, 64)
        deadline = time.monotonic() + 10
        while len(seen) < 2000 and time.monotonic() < deadline:
            time.sleep(0.005)
        d.close()
        assert len(seen) == 2000 and all(ext.verify(m, i) for i, m in enumerate(seen)), len(seen)
    print(outcomes.count("ok"), outcomes.count("refused"))
    """)
    assert out.split() == ["20", "20"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize("ending", ["close", "exit"])
def test_child_after_fork_closes_and_exits(child, mode, ending):
    out = child(PRELUDE + f"""
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    d = relaybus.SyncDispatcher(lambda m: None, detach=False, {mode})
    d.setup()
    pid = os.fork()
    if pid == 0:
        if "{ending}" == "close":
            d.close()
        sys.exit(7)  # a normal exit: exit hooks run in the child too
    _, status = os.waitpid(pid, 0)
    d.close()
    print(os.waitstatus_to_exitcode(status))
    """, timeout=30)
    assert out.split() == ["7"]


# Scripts that end with live dispatchers: a consumer in a callback, one asleep, one behind a
# producer still pushing. The interpreter must exit cleanly every time.
@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize("detach", DETACH.values(), ids=DETACH.keys())
def test_interpreter_exit_with_live_dispatchers(child, detach, mode):
    script = PRELUDE + f"""
    def slow(message):
        time.sleep(0.001)
    busy = relaybus.SyncDispatcher(slow, {detach}, {mode})
    idle = relaybus.SyncDispatcher(lambda m: None, {detach}, {mode})
    flooded = relaybus.SyncDispatcher(lambda m: None, {detach}, {mode})
    dropped = relaybus.SyncDispatcher(lambda m: None, {detach}, {mode})
    for d in (busy, idle, flooded, dropped):
        d.setup()
    del d, dropped  # destroyed without close while its consumer waits
    ext.produce(busy, 200, 64)
    threading.Thread(target=ext.produce, args=(flooded, 10**9, 64), daemon=True).start()
    time.sleep(0.002)
    print("end")
    """
    rounds = int(os.environ.get("KORVO_EXIT_ROUNDS", "10"))
    for _ in range(rounds):
        assert child(script, timeout=30).split() == ["end"]


# AsyncDispatcher: what the loop's selector is left with after close(), whichever thread closes.
ASYNC_PRELUDE = PRELUDE + """
    import asyncio, gc, warnings
    async def close_from(closer, d):
        if closer == "loop":
            d.close()
        else:
            t = threading.Thread(target=d.close)
            t.start()
            t.join()
"""
CLOSERS = ["loop", "thread"]


# The socket the reader waited on must leave the selector before it closes: a registration left
# behind stays readable through the native duplicate, and every poll returns at once.
@pytest.mark.parametrize("closer", CLOSERS)
def test_idle_loop_sleeps_after_close(child, closer):
    out = child(ASYNC_PRELUDE + f"""
    async def main():
        d = relaybus.AsyncDispatcher(lambda m: asyncio.sleep(0))
        d.setup()
        await asyncio.sleep(0.05)  # the reader waits on its socket
        await close_from("{closer}", d)
        start = time.thread_time()
        await asyncio.sleep(0.5)
        used = time.thread_time() - start
        print("idle" if used < 0.25 else f"busy {{used:.2f}} s of CPU")
    asyncio.run(main())
    """)
    assert out.split() == ["idle"]


# A new dispatcher set up on the same loop right after another closed, before the loop ran again
# (its socket may get the old descriptor number), delivers everything, also once the old one is gone.
@pytest.mark.parametrize("closer", CLOSERS)
def test_restart_on_the_same_loop_delivers_everything(child, closer):
    out = child(ASYNC_PRELUDE + f"""
    async def main():
        got = []
        async def callback(message):
            got.append(message)
        old = relaybus.AsyncDispatcher(callback)
        old.setup()
        await asyncio.sleep(0.05)
        await close_from("{closer}", old)
        new = relaybus.AsyncDispatcher(callback)
        new.setup()
        del old
        gc.collect()
        await asyncio.get_running_loop().run_in_executor(None, ext.produce, new, 3, 16)
        deadline = time.monotonic() + 5
        while len(got) < 3 and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        new.close()
        print(len(got), all(ext.verify(m, i) for i, m in enumerate(got)))
    asyncio.run(main())
    """)
    assert out.split() == ["3", "True"]


# Two threads, each with its own loop, set up one dispatcher at once: one reader, one refusal,
# no socket dropped unclosed, and close() from a third thread ends the one reader.
def test_two_loops_setting_up_one_dispatcher_start_one_reader(child):
    out = child(ASYNC_PRELUDE + """
    warnings.simplefilter("error", ResourceWarning)  # an unclosed socket reaches the hook
    leaks = []
    sys.unraisablehook = leaks.append
    def trial():
        got = []
        async def callback(message):
            got.append(message)
        d = relaybus.AsyncDispatcher(callback)
        gate = threading.Barrier(2)
        outcomes, readers_done = [], []
        def loop_thread():
            async def main():
                gate.wait()
                try:
                    d.setup()
                except RuntimeError:
                    outcomes.append("refused")
                    return
                outcomes.append("ok")
                task = ext.dispatcher_fields(d)["task"]
                await asyncio.wait([task], timeout=5)
                readers_done.append(task.done())
            asyncio.run(main())
        threads = [threading.Thread(target=loop_thread) for _ in range(2)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 5
        while len(outcomes) < 2 and time.monotonic() < deadline:
            time.sleep(0.001)
        ext.produce(d, 100, 16)
        while len(got) < 100 and time.monotonic() < deadline:
            time.sleep(0.001)
        d.close()
        for t in threads:
            t.join(10)
        del d
        gc.collect()
        return sorted(outcomes), len(got), readers_done
    for _ in range(10):
        result = trial()
        if result != (["ok", "refused"], 100, [True]):
            break
    print(result == (["ok", "refused"], 100, [True]), len(leaks), result)
    """, timeout=120)
    assert out.split()[:2] == ["True", "0"], out


# The asyncio side, one script per case: consumers asleep beside queued messages, pushes that
# fail silently or freeze the interpreter, a crash at exit. Every child runs with the debug
# allocator, which turns a use of freed memory (at exit too) into a crash; none imports the test
# modules, whose own teardown would hide such a use.
QUEUE_PRELUDE = """
    import asyncio
    from korvo.utils.relaybus import relaybus
    class Quiet:
        def warn(self, m): pass
        def debug(self, m): pass
    relaybus.logger = Quiet()
"""
QUEUE_CASES = {
    "three-pops": ("""
    async def main():
        q = relaybus.AsyncQueue()
        pops = [asyncio.ensure_future(q.pop()) for _ in range(3)]
        await asyncio.sleep(0)
        for i in range(3):
            await q.push_str(str(i))
        done, _ = await asyncio.wait(pops, timeout=5)
        print(*sorted(p.result().decode() for p in done))
    asyncio.run(main())
    """, ["0", "1", "2"]),
    "pop-beside-dispatcher": ("""
    async def main():
        q = relaybus.AsyncQueue()
        gate, got = asyncio.Event(), []
        async def hold(message):
            got.append(message.decode())
            await gate.wait()
        q.start_dispatcher(hold)
        await asyncio.sleep(0)
        waiter = asyncio.ensure_future(q.pop())
        await asyncio.sleep(0)
        await asyncio.sleep(0)  # past its second look at the queue: waiting on the condition
        await q.push_str("a")
        await q.push_str("b")  # the dispatcher holds "a": this one is the pop's
        done, _ = await asyncio.wait([waiter], timeout=5)
        gate.set()
        print(*got, *(p.result().decode() for p in done))
        await q.shutdown()
    asyncio.run(main())
    """, ["a", "b"]),
    "push-cancelled-at-the-lock": ("""
    async def main():
        q = relaybus.AsyncQueue()
        lock = q.__reduce__()[2][1]
        waiter = asyncio.ensure_future(q.pop())
        await asyncio.sleep(0)
        await lock.acquire()
        push = asyncio.ensure_future(q.push_str("kept"))
        await asyncio.sleep(0)  # stored; the signal waits for the lock
        push.cancel()
        await asyncio.sleep(0)
        lock.release()
        done, _ = await asyncio.wait([waiter], timeout=5)
        await asyncio.wait([push], timeout=5)
        print(push.cancelled(), *(p.result().decode() for p in done))
    asyncio.run(main())
    """, ["True", "kept"]),
    "full-queue": ("""
    async def fill(q, push, count):
        outcomes = []
        for i in range(count):
            try:
                outcomes.append(await push(q, str(i)))
            except asyncio.QueueFull:
                outcomes.append("full")
        return outcomes
    pushes = {
        "buf": lambda q, text: q.push_buf(bytearray(text.encode())),
        "obj": lambda q, text: q.push_obj(text.encode()),
        "str": lambda q, text: q.push_str(text),
    }
    async def main():
        for name, push in pushes.items():
            q = relaybus.AsyncQueue(capacity=4, slot_size=8)
            outcomes = await fill(q, push, 6)
            popped = [(await q.pop()).decode() for _ in range(4)]
            print(name, outcomes.count(None), outcomes.count("full"), "".join(popped))
        q = relaybus.AsyncQueue(capacity=4, slot_size=8, overwrite=True)
        outcomes = await fill(q, pushes["str"], 12)
        print("overwrite", outcomes.count(None), (await q.pop()).decode())
        try:
            await relaybus.AsyncQueue(slot_size=4).push_str("longer")
        except ValueError:
            print("too-large")
    asyncio.run(main())
    """, ["buf", "4", "2", "0123", "obj", "4", "2", "0123", "str", "4", "2", "0123", "overwrite", "12", "8",
          "too-large"]),
    "restored-blocking-ring": ("""
    from korvo.spsc_queue.spsc_queue import SPSCQueue
    async def main():
        state = list(relaybus.AsyncQueue(capacity=1).__reduce__()[2])
        restored = relaybus.AsyncQueue.__new__(relaybus.AsyncQueue)
        state[4] = SPSCQueue(16, 1, False, False, True)
        try:
            restored.__setstate__(tuple(state))
        except ValueError:
            print("refused")
        else:
            await restored.push_str("a")
            await restored.push_str("b")  # would sleep in the ring, on the loop's thread
        state[4] = SPSCQueue(16, 1, True, False, True)  # overwriting: never blocks
        restored.__setstate__(tuple(state))
        await restored.push_str("a")
        await restored.push_str("b")
        print((await restored.pop()).decode())
    asyncio.run(main())
    """, ["refused", "b"]),
    "exit-after-use": ("""
    from korvo.utils.relaybus.relaybus import AsyncDispatcher, AsyncQueue
    async def readme():
        async def on_message(data: bytes):
            print(len(data))
        d = AsyncDispatcher(on_message)
        d.setup()
        d.close()
        q = AsyncQueue()
        await q.push_str("hello")
        assert await q.pop() == b"hello"
    asyncio.run(readme())
    print("end")
    """, ["end"]),
    "exit-while-coroutines-wait": ("""
    async def leave_waiting(q):
        q.start_dispatcher(lambda m: asyncio.sleep(0))
        asyncio.ensure_future(q.pop())
        await q.push_str("x")
        await asyncio.sleep(0)
    loop = asyncio.new_event_loop()
    loop.run_until_complete(leave_waiting(relaybus.AsyncQueue(loop=loop)))
    print("end")
    """, ["end"]),
}


@pytest.mark.parametrize(("script", "expected"), QUEUE_CASES.values(), ids=QUEUE_CASES.keys())
def test_asyncio_lifecycle(child, script, expected):
    out = child(QUEUE_PRELUDE + script, timeout=30, env={"PYTHONMALLOC": "debug"})
    assert out.split() == expected
