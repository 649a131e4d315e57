"""SyncDispatcher: delivery in all four modes, lifecycle under stress, errors and refusals."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import relaybus_testext as ext
from korvo.utils.relaybus import relaybus

MODES = [
    pytest.param({"nonblocking": True, "variable_size": False}, id="wakeup-fixed"),
    pytest.param({"nonblocking": True, "variable_size": True}, id="wakeup-var"),
    pytest.param({"nonblocking": False, "variable_size": False}, id="queuewait-fixed"),
    pytest.param({"nonblocking": False, "variable_size": True}, id="queuewait-var"),
]


class Collector:
    """Callback that checks sequence numbers and payloads and signals when `expected` arrived."""

    def __init__(self, expected):
        self.expected = expected
        self.count = 0
        self.bad = []
        self.done = threading.Event()

    def __call__(self, message):
        if not ext.verify(message, self.count) and len(self.bad) < 5:
            self.bad.append((self.count, message[:16]))
        self.count += 1
        if self.count == self.expected:
            self.done.set()


pytestmark = pytest.mark.usefixtures("quiet_bridge_logger")


def run(dispatcher, count, size, vary=False):
    results = ext.produce(dispatcher, count, size, vary)
    return results


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("size", [64, 1024])
def test_million_messages_intact_in_every_mode(mode, size):
    count = 1_000_000 if size == 64 else 200_000
    collector = Collector(count)
    d = relaybus.SyncDispatcher(collector, capacity=4096, slot_size=1024, block_on_full=True, detach=False, **mode)
    d.setup()
    results = run(d, count, size, vary=mode["variable_size"])
    assert collector.done.wait(120), f"delivered {collector.count} of {count}"
    d.close()
    assert results.get(0, 0) + results.get(1, 0) == count
    assert collector.bad == [] and collector.count == count


@pytest.mark.parametrize("mode", MODES)
def test_pushes_before_setup_are_delivered_after(mode):
    collector = Collector(10)
    d = relaybus.SyncDispatcher(collector, detach=False, **mode)
    assert set(run(d, 10, 32)) <= {0}  # no wake-up requested: nobody is waiting yet
    d.setup()
    assert collector.done.wait(30)
    d.close()


def test_wakeup_asked_only_while_the_consumer_may_sleep():
    in_callback, release = threading.Event(), threading.Event()
    delivered = []

    def callback(message):
        delivered.append(message)
        in_callback.set()
        release.wait(30)

    d = relaybus.SyncDispatcher(callback, detach=False)
    d.setup()
    # The consumer sleeps on the socket until the first push; that push (or, if the consumer had
    # not reached its sleep yet, none) asks for the wake-up, and the message arrives either way.
    assert set(run(d, 1, 16)) <= {0, 1}
    assert in_callback.wait(30)
    # Busy in the callback, the consumer has taken a message and not found the queue empty since:
    # no push may ask for a wake-up now.
    assert run(d, 100, 16) == {0: 100}
    release.set()
    deadline = time.monotonic() + 30
    while len(delivered) < 101 and time.monotonic() < deadline:
        time.sleep(0.01)
    d.close()
    assert len(delivered) == 101


def test_no_lost_wakeups_for_lone_messages():
    got = threading.Semaphore(0)
    d = relaybus.SyncDispatcher(lambda m: got.release(), detach=False)
    d.setup()
    wakes = 0
    for _ in range(200):
        wakes += run(d, 1, 16).get(1, 0)
        assert got.acquire(timeout=30), "a lone message was never delivered"
        time.sleep(0.001)  # room for the consumer to reach its sleep, even on a loaded machine
    d.close()
    assert wakes >= 1


@pytest.mark.parametrize("mode", MODES)
def test_callback_exception_ends_delivery_and_is_reported(mode, unraisable):
    calls = []

    def callback(message):
        calls.append(message)
        raise ValueError("callback failed")

    d = relaybus.SyncDispatcher(callback, detach=False, **mode)
    d.setup()
    assert d.running
    run(d, 5, 16)
    deadline = time.monotonic() + 30
    while (not unraisable or d.running) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not d.running and repr(d).endswith("running=False)")  # stopped, before any close()
    with pytest.raises(AttributeError):
        d.running = True
    d.close()
    assert len(calls) == 1
    name = {(True, False): "__try_pop", (True, True): "__try_pop_var", (False, False): "__pop",
            (False, True): "__pop_var"}[(mode["nonblocking"], mode["variable_size"])]
    assert unraisable[0].object == f"korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher{name}"
    assert isinstance(unraisable[0].exc_value, ValueError)


def test_close_without_detach_waits_for_the_consumer():
    started, release = threading.Event(), threading.Event()
    finished = []

    def slow(message):
        started.set()
        release.wait(10)
        finished.append(message)

    d = relaybus.SyncDispatcher(slow, detach=False)
    d.setup()
    run(d, 1, 16)
    assert started.wait(10)
    closer = threading.Thread(target=d.close)
    closer.start()
    closer.join(0.2)
    assert closer.is_alive()  # waiting for the message in delivery
    release.set()
    closer.join(10)
    assert not closer.is_alive() and len(finished) == 1


@pytest.mark.parametrize("mode", MODES)
def test_destroy_right_after_close_while_consumer_runs(mode):
    """Detached consumers may outlive close() and the dispatcher; nothing may touch freed memory."""
    for i in range(300):
        d = relaybus.SyncDispatcher(lambda m: None, capacity=64, slot_size=64, **mode)
        d.setup()
        run(d, 50, 32)
        d.close()
        del d
    gc.collect()


@pytest.mark.parametrize("mode", MODES)
def test_close_while_a_producer_pushes(mode):
    for _ in range(30):
        d = relaybus.SyncDispatcher(lambda m: None, capacity=64, slot_size=64, **mode)
        d.setup()
        producer = threading.Thread(target=run, args=(d, 20_000, 32))
        producer.start()
        time.sleep(0.001)
        d.close()
        producer.join(30)
        assert not producer.is_alive()


def test_pushes_after_close_send_no_datagram():
    d = relaybus.SyncDispatcher(lambda m: None, detach=False)
    d.setup()
    assert ext.dispatcher_fields(d)["sock_fd"] != -1
    d.close()
    assert ext.dispatcher_fields(d)["sock_fd"] == -1
    assert set(run(d, 3, 16, False)) == {-3}  # the stopped queue refuses


def test_second_setup_while_consumer_runs_is_refused():
    d = relaybus.SyncDispatcher(lambda m: None)
    d.setup()
    with pytest.raises(RuntimeError):
        d.setup()
    d.close()


def test_setup_after_close_starts_a_consumer_that_ends():
    d = relaybus.SyncDispatcher(lambda m: None, detach=False, nonblocking=False)
    d.setup()
    d.close()
    d.setup()  # ends at once: a dispatcher cannot be restarted
    d.close()


@pytest.mark.parametrize("mode", MODES)
def test_close_twice(mode):
    d = relaybus.SyncDispatcher(lambda m: None, detach=False, **mode)
    d.setup()
    d.close()
    d.close()


def test_queue_wait_mode_makes_no_socket():
    d = relaybus.SyncDispatcher(lambda m: None, nonblocking=False, detach=False)
    d.setup()
    assert ext.dispatcher_fields(d)["sock_fd"] == -1
    d.close()


@pytest.mark.parametrize(
    ("mode", "push"),
    [((True, False), "push_notify"), ((True, True), "push_var_notify"), ((False, False), "queue_push"),
     ((False, True), "queue_push_var")],
)
def test_push_pointer_follows_mode(mode, push):
    d = relaybus.SyncDispatcher(print, nonblocking=mode[0], variable_size=mode[1])
    assert ext.dispatcher_fields(d)["push"] == push


def test_setup_records_the_bound_address():
    d = relaybus.SyncDispatcher(lambda m: None, detach=False)
    d.setup(host="127.0.0.1", recvbuf=0)
    fields = ext.dispatcher_fields(d)
    assert 0 < fields["port"] < 65536 and fields["sock_fd"] >= 0
    d.close()


@pytest.mark.parametrize(("kwargs", "exc_type"), [({"host": 1}, TypeError), ({"host": None}, TypeError),
                                                  ({"recvbuf": "x"}, TypeError)])
def test_setup_argument_errors(kwargs, exc_type):
    d = relaybus.SyncDispatcher(lambda m: None)
    with pytest.raises(exc_type):
        d.setup(**kwargs)
    d.close()


def test_setup_refuses_str_subclass():
    class Host(str):
        pass

    d = relaybus.SyncDispatcher(lambda m: None)
    with pytest.raises(TypeError) as info:
        d.setup(Host("127.0.0.1"))
    assert str(info.value) == "Argument 'host' has incorrect type (expected str, got Host)"


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"capacity": -1}, "can't convert negative value to size_t"),
    ({"slot_size": -2}, "can't convert negative value to size_t"),
])
def test_constructor_refuses_negative_sizes(kwargs, message):
    with pytest.raises(OverflowError) as info:
        relaybus.SyncDispatcher(print, **kwargs)
    assert str(info.value) == message


def test_constructor_needs_a_callback():
    with pytest.raises(TypeError):
        relaybus.SyncDispatcher()


def test_destruction_calls_an_overriding_close(unraisable):
    closed = []

    class Custom(relaybus.SyncDispatcher):
        def close(self):
            closed.append(True)
            super().close()
            raise KeyError("from close")

    d = Custom(lambda m: None)
    d.setup()
    del d
    gc.collect()
    assert closed == [True]
    assert unraisable[0].object == "korvo.utils.relaybus.relaybus.SyncDispatcher.__dealloc__"
    assert isinstance(unraisable[0].exc_value, KeyError)


def test_native_entries_dispatch_to_python_overrides():
    seen = []

    class Custom(relaybus.SyncDispatcher):
        def setup(self, host="127.0.0.1", recvbuf=16777216):
            seen.append(("setup", host, recvbuf))
            super().setup(host, recvbuf)

        def close(self):
            seen.append(("close",))
            super().close()

    d = Custom(lambda m: None, detach=False)
    ext.native_setup(d, "127.0.0.1", 0)
    ext.native_close(d)
    assert seen == [("setup", "127.0.0.1", 0), ("close",)]


def test_dispatcher_in_a_cycle_is_collected():
    class Owner:
        def __init__(self):
            self.dispatcher = relaybus.SyncDispatcher(self.on_message)

        def on_message(self, message):
            pass

    Owner()
    gc.collect()


def test_repeated_lifecycles_do_not_leak(refcount_growth):
    def cycle():
        d = relaybus.SyncDispatcher(lambda m: None, capacity=16, slot_size=32, detach=False)
        d.setup(recvbuf=0)
        run(d, 5, 16)
        d.close()

    assert refcount_growth(cycle, repeat=200, warmup=20) < 0.5


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves all address space")
def test_thread_start_failure_raises_and_leaves_nothing_half_started():
    code = textwrap.dedent(
        """
        import resource
        import relaybus_testext as ext
        from korvo.utils.relaybus import relaybus
        class Quiet:
            def warn(self, m): pass
            def debug(self, m): pass
        relaybus.logger = Quiet()
        d = relaybus.SyncDispatcher(lambda m: None)
        with open("/proc/self/status") as status:
            size_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
        # Room for the socket, none for another thread's stack.
        resource.setrlimit(resource.RLIMIT_AS, ((size_kb + 2048) * 1024, resource.RLIM_INFINITY))
        try:
            d.setup()
        except RuntimeError as exc:
            fields = ext.dispatcher_fields(d)
            print("refused", fields["sock_fd"], fields["port"])
        else:
            print("started")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ)).stdout.split()
    assert out == ["refused", "-1", "0"]


@pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="the free-threaded build's allocator reserves address space in large arenas and "
                           "per-thread segments, so no address-space limit fails just the message's bytes")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves all address space")
def test_message_that_cannot_become_bytes_is_reported_and_ends_delivery():
    code = textwrap.dedent(
        """
        import resource, sys, threading
        import relaybus_testext as ext
        from korvo.utils.relaybus import relaybus
        reports = []
        reported = threading.Event()
        def hook(unraisable):
            reports.append((unraisable.object, type(unraisable.exc_value).__name__))
            reported.set()
        sys.unraisablehook = hook
        calls = []
        d = relaybus.SyncDispatcher(calls.append, capacity=4, slot_size=48 << 20, variable_size=True,
                                    nonblocking=False, zerocopy=True, detach=False)
        ext.produce(d, 1, 40 << 20, False, True, True)  # queued before setup
        with open("/proc/self/status") as status:
            size_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
        # The message sits in the ring; a 40 MiB bytes object no longer fits in the address space,
        # while the consumer thread's stack still does.
        resource.setrlimit(resource.RLIMIT_AS, ((size_kb + 16384) * 1024, resource.RLIM_INFINITY))
        d.setup()
        reported.wait(30)
        d.close()
        print(reports, calls)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60).stdout
    assert out.splitlines()[-1] == (
        "[('korvo.utils.relaybus.relaybus.SyncDispatcher._SyncDispatcher__pop_var', 'MemoryError')] []"
    )
