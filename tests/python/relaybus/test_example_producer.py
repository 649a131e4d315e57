"""The example producer module, built against korvo's package config, feeds either dispatcher."""

import asyncio
import threading

import pytest

import example_producer
from korvo.utils.relaybus import relaybus


pytestmark = pytest.mark.usefixtures("quiet_bridge_logger")


def feed_sync(count, size=0, **options):
    """Runs one Producer into a SyncDispatcher; returns (join's counts, messages received)."""
    received = []
    done = threading.Event()

    def callback(message):
        received.append(message)
        if len(received) == count:
            done.set()

    d = relaybus.SyncDispatcher(callback, detach=False, **options)
    d.setup()
    stats = example_producer.Producer(d, count, size=size).join()
    assert done.wait(30)
    d.close()
    return stats, received


def feed_async(count, **options):
    """The same into an AsyncDispatcher whose reader runs on a real loop; join() runs off the loop
    thread, since the producer may wait on a full queue that only the loop drains."""
    received = []

    async def main():
        done = asyncio.get_running_loop().create_future()

        async def callback(message):
            received.append(message)
            if len(received) == count:
                done.set_result(None)

        d = relaybus.AsyncDispatcher(callback, **options)
        d.setup()
        producer = example_producer.Producer(d, count)
        stats = await asyncio.get_running_loop().run_in_executor(None, producer.join)
        await asyncio.wait_for(done, 30)
        d.close()
        return stats

    return asyncio.run(main()), received


@pytest.mark.parametrize("feed", [feed_sync, feed_async], ids=["sync", "async"])
@pytest.mark.parametrize("variable_size", [False, True], ids=["fixed", "variable"])
def test_example_delivers_everything_in_order(feed, variable_size):
    # A small queue: the producer meets a full queue and retries many times.
    stats, received = feed(20_000, capacity=64, slot_size=32, variable_size=variable_size)
    assert stats["stored"] == 20_000 and not stats["stopped"]
    assert received == [b"message %d" % i for i in range(20_000)]


@pytest.mark.parametrize("kind", [relaybus.SyncDispatcher, relaybus.AsyncDispatcher])
def test_example_handles_too_large_and_stopped(kind):
    d = kind(lambda m: None, slot_size=9)  # "message 10" is 10 bytes
    stats = example_producer.Producer(d, 12).join()
    assert (stats["stored"], stats["too_large"]) == (10, 2)
    d.close()
    assert example_producer.Producer(d, 5).join()["stopped"] is True


@pytest.mark.parametrize("size", [1, 9, 40], ids=["cut", "exact-then-cut", "padded"])
def test_example_sizes_every_message(size):
    stats, received = feed_sync(12, size=size, slot_size=64)
    assert stats["stored"] == 12
    assert received == [(b"message %d" % i).ljust(size, b".")[:size] for i in range(12)]


@pytest.mark.parametrize("make, size, error", [
    (object, 0, TypeError),
    (lambda: relaybus.SyncDispatcher.__new__(relaybus.SyncDispatcher), 0, ValueError),
    (lambda: relaybus.AsyncDispatcher.__new__(relaybus.AsyncDispatcher), 0, ValueError),
    (lambda: relaybus.SyncDispatcher(lambda m: None), -1, ValueError),
], ids=["other", "uninitialised-sync", "uninitialised-async", "negative-size"])
def test_example_refuses_what_it_cannot_feed(make, size, error):
    with pytest.raises(error):
        example_producer.Producer(make(), 1, size=size)
