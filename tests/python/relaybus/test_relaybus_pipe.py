"""KoPipe: construction rules and native traffic through its per-instance pointers."""

import gc

import pytest

import relaybus_testext as ext
from korvo.utils.relaybus import relaybus


def test_defaults_build_fixed_slot_queue():
    pipe = relaybus.KoPipe()
    # The queue is private; a native round trip shows the fixed-slot entries work.
    assert ext.pipe_round_trip(pipe, 1000, 64) == 1000


@pytest.mark.parametrize(("kwargs", "size", "vary"), [
    ({}, 64, False),
    ({"variable_size": True}, 300, True),
    ({"variable_size": True, "zerocopy": True}, 2000, True),
    ({"zerocopy": True}, 2048, False),
    ({"block_on_full": True, "capacity": 8}, 128, False),
    ({"block_on_full": True, "capacity": 4, "slot_size": 256, "variable_size": True}, 200, True),
])
def test_native_producer_and_consumer_without_the_lock(kwargs, size, vary):
    pipe = relaybus.KoPipe(**kwargs)
    assert ext.pipe_round_trip(pipe, 200_000, size, vary) == 200_000


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"capacity": -1}, "can't convert negative value to size_t"),
    ({"slot_size": -1}, "can't convert negative value to size_t"),
])
def test_negative_sizes_refused(kwargs, message):
    with pytest.raises(OverflowError) as info:
        relaybus.KoPipe(**kwargs)
    assert str(info.value) == message


def test_too_many_arguments():
    with pytest.raises(TypeError):
        relaybus.KoPipe(1, 2, 3, 4, 5, 6, 7)


def test_failed_init_keeps_the_pipe_as_it_was():
    pipe = relaybus.KoPipe(capacity=16)
    with pytest.raises(ValueError):
        pipe.__init__(capacity=0)
    assert ext.pipe_round_trip(pipe, 100, 32) == 100


def test_pipe_cycles_are_collected():
    class Holder(relaybus.KoPipe):
        pass

    pipe = Holder()
    pipe.self_ref = pipe
    del pipe
    assert gc.collect() >= 1


def test_create_destroy_does_not_leak(refcount_growth):
    assert refcount_growth(lambda: relaybus.KoPipe(capacity=4, slot_size=16).__init__(capacity=8)) < 0.05
