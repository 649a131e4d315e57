"""The example producer module, built against korvo's package config, feeds a dispatcher."""

import threading

import pytest

import example_producer
from korvo.utils.relaybus import relaybus


pytestmark = pytest.mark.usefixtures("quiet_bridge_logger")


def test_example_delivers_everything_in_order():
    received = []
    done = threading.Event()

    def callback(message):
        received.append(message)
        if len(received) == 20_000:
            done.set()

    d = relaybus.SyncDispatcher(callback, capacity=64, slot_size=32, detach=False)
    d.setup()
    stats = example_producer.Producer(d, 20_000).join()
    assert done.wait(30)
    d.close()
    assert stats["stored"] == 20_000 and not stats["stopped"]
    assert received == [b"message %d" % i for i in range(20_000)]


def test_example_handles_too_large_and_stopped():
    d = relaybus.SyncDispatcher(lambda m: None, slot_size=9, detach=False)  # "message 10" is 10 bytes
    stats = example_producer.Producer(d, 12).join()
    assert (stats["stored"], stats["too_large"]) == (10, 2)
    d.close()
    assert example_producer.Producer(d, 5).join()["stopped"] is True


def test_example_refuses_other_objects():
    with pytest.raises(TypeError):
        example_producer.Producer(object(), 1)
